// What differs between the systems the service runs on, in one place (one
// of host_posix.cpp and host_win32.cpp is built): how the program is started
// and stopped (a console, or systemd with its signals; a console, or
// Windows' service control manager), the system log beside standard error,
// the environment.
#pragma once

#include <string>
#include <vector>

namespace quillon::xfs {

using ServeFn = int (*)(int argc, char** argv);

// Runs pServe as this system runs the service: under Windows' service
// control manager when it started the program, else at once. Its result is
// the exit status.
int HostMain(int argc, char** argv, ServeFn pServe);

// The service is listening: the service control manager hears it is
// running. Nothing elsewhere.
void HostReady();

// One log line for the system's log too (Windows' event log, when the
// service control manager runs the program); standard error has it already.
void HostLog(const char* pLevel, const char* pText);

// Sets a variable of the environment the library reads.
bool bHostSetEnv(const char* pName, const std::string& sValue);

// --install-service and --uninstall-service: the service registered with
// the service control manager (started automatically, restarted after a
// failure) to run this program with these arguments, or removed. The exit
// status, the reason on standard error.
int HostInstallService(const std::vector<std::string>& args);
int HostUninstallService();

} // namespace quillon::xfs
