// Writing the metrics file on POSIX systems.
#include "metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace quillon::xfs {

namespace {

// The folder of the target.
std::string FolderOf(const std::string& sPath) {
    const size_t i = sPath.rfind('/');
    return i == std::string::npos ? "." : i == 0 ? "/" : sPath.substr(0, i);
}

// A folder anyone may write without the sticky bit lets anyone replace
// the file or plant a link where it is written.
bool bSafeFolder(const std::string& sFolder, std::string& sError) {
    struct stat st {};
    if (::stat(sFolder.c_str(), &st) != 0) {
        sError = sFolder + ": " + std::strerror(errno);
        return false;
    }
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX)) {
        sError = sFolder + " may be written by anyone (no sticky bit): choose another folder";
        return false;
    }
    return true;
}

// A new file of a random name in the folder, made here and nowhere else
// (no link followed, none there before): its descriptor, -1 with errno.
int iCreateTemp(const std::string& sFolder, std::string& sTemp) {
    std::random_device random;
    for (int iTry = 0; iTry < 100; ++iTry) {
        char name[32];
        std::snprintf(name, sizeof name, "/.quillon-prom-%08x%08x", random(), random());
        sTemp = sFolder + name;
        const int fd =
            ::open(sTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd < 0 ? fd : (::fchmod(fd, 0644), fd);
    }
    return -1;
}

bool bWriteAll(int fd, const std::string& sText) {
    size_t uiDone = 0;
    while (uiDone < sText.size()) {
        const ssize_t n = ::write(fd, sText.data() + uiDone, sText.size() - uiDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            return false;
        }
        uiDone += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool OMetricsFile::bWrite(std::string& sError) {
    const std::string sFolder = FolderOf(m_sPath);
    if (!bSafeFolder(sFolder, sError))
        return false;
    std::string sTemp;
    const int fd = iCreateTemp(sFolder, sTemp);
    if (fd < 0) {
        sError = sFolder + ": " + std::strerror(errno);
        return false;
    }
    bool bOk = bWriteAll(fd, m_text());
    int iError = bOk ? 0 : errno;
    if (::close(fd) != 0 && bOk)
        bOk = false, iError = errno;
    if (bOk && std::rename(sTemp.c_str(), m_sPath.c_str()) != 0)
        bOk = false, iError = errno;
    if (!bOk) {
        sError = m_sPath + ": " + std::strerror(iError);
        ::unlink(sTemp.c_str());
    }
    return bOk;
}

} // namespace quillon::xfs
