// Linux and other POSIX systems: the program runs in the foreground (from a
// console, or as systemd's service with its log on standard error, which
// journald keeps); SIGTERM and SIGINT stop it (server.cpp).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"

namespace quillon::xfs {

int HostMain(int argc, char** argv, ServeFn pServe) {
    // A client that goes away mid-write is an error code, not the end.
    std::signal(SIGPIPE, SIG_IGN);
    return pServe(argc, argv);
}

void HostReady() {}

void HostLog(const char*, const char*) {}

bool bHostSetEnv(const char* pName, const std::string& sValue) {
    return setenv(pName, sValue.c_str(), 1) == 0;
}

bool bHostWriteFileAtomically(const std::string& sPath, const std::string& sText,
                              std::string& sError) {
    const std::string sTemp = sPath + ".tmp";
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
    if (::close(fd) != 0 || iError || std::rename(sTemp.c_str(), sPath.c_str()) != 0) {
        sError = sPath + ": " + std::strerror(iError ? iError : errno);
        std::remove(sTemp.c_str());
        return false;
    }
    return true;
}

int HostInstallService(const std::vector<std::string>&) {
    std::fprintf(stderr, "--install-service: Windows only; here systemd runs the service "
                         "(systemctl enable --now quillon-xfs4iot)\n");
    return 2;
}

int HostUninstallService() {
    std::fprintf(stderr, "--uninstall-service: Windows only; here systemd runs the service "
                         "(systemctl disable --now quillon-xfs4iot)\n");
    return 2;
}

} // namespace quillon::xfs
