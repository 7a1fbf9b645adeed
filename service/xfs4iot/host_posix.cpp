// Linux and other POSIX systems: the program runs in the foreground (from a
// console, or as systemd's service with its log on standard error, which
// journald keeps); SIGTERM and SIGINT stop it (server.cpp).

#include <csignal>
#include <cstdio>
#include <cstdlib>

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
