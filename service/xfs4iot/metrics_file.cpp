#include "metrics_file.h"

#include "log.h"

namespace quillon::xfs {

OMetricsFile::OMetricsFile(std::string sPath, int iIntervalS, std::function<std::string()> text)
    : m_sPath(std::move(sPath)), m_iIntervalS(iIntervalS), m_text(std::move(text)) {}

OMetricsFile::~OMetricsFile() {
    vStop();
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
