#include "metrics_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"

namespace quillon::xfs {

OMetricsFile::OMetricsFile(std::string sPath, int iIntervalS, std::function<std::string()> text)
    : m_sPath(std::move(sPath)), m_iIntervalS(iIntervalS), m_text(std::move(text)) {}

OMetricsFile::~OMetricsFile() {
    vStop();
}

bool OMetricsFile::bWrite(std::string& sError) {
    const std::string sText = m_text();
    const std::string sTemp = m_sPath + ".tmp";
    const int fd = ::open(sTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        sError = sTemp + ": " + std::strerror(errno);
        return false;
    }
    size_t uiDone = 0;
    while (uiDone < sText.size()) {
        const ssize_t n = ::write(fd, sText.data() + uiDone, sText.size() - uiDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        uiDone += static_cast<size_t>(n);
    }
    const int iError = uiDone == sText.size() ? 0 : errno ? errno : EIO;
    if (::close(fd) != 0 || iError || std::rename(sTemp.c_str(), m_sPath.c_str()) != 0) {
        sError = m_sPath + ": " + std::strerror(iError ? iError : errno);
        std::remove(sTemp.c_str());
        return false;
    }
    return true;
}

void OMetricsFile::vStart() {
    m_thread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        bool bFailing = false;
        for (bool bLast = false; !bLast;) {
            bLast = m_cv.wait_for(lock, std::chrono::seconds(m_iIntervalS),
                                  [this] { return m_bStopping; });
            std::string sError;
            const bool bOk = bWrite(sError);
            // Said once when it starts failing and once when it works again.
            if (!bOk && !bFailing)
                QLOG_WARN("metrics file: %s", sError.c_str());
            else if (bOk && bFailing)
                QLOG_INFO("metrics file written again");
            bFailing = !bOk;
        }
    });
}

void OMetricsFile::vStop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace quillon::xfs
