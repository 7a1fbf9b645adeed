// Windows: from a console the program runs as on Linux (Ctrl+C is SIGINT).
// Started by the service control manager it runs under the service control
// dispatcher: it reports its states, and SERVICE_CONTROL_STOP (or the
// machine shutting down) stops it as SIGTERM does on Linux, the commands in
// flight completing as canceled. Refusals, warnings, the start and the stop
// also go to the event log (source QuillonXfs4IoT, Application log).
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "command_line.h"
#include "host.h"
#include "log.h"

namespace quillon::xfs {

namespace {

constexpr char kServiceName[] = "QuillonXfs4IoT";
constexpr char kDisplayName[] = "Quillon XFS4IoT card reader";
constexpr char kDescription[] =
    "Serves the ID-card reader of the Quillon configuration to XFS4IoT applications over "
    "WebSocket (ws://127.0.0.1:5846).";
constexpr char kEventLogKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuillonXfs4IoT";
constexpr DWORD kEventId = 1; // "%1": the message table in host_messages.mc

// The one service this process runs.
struct tServiceRun {
    int argc = 0;
    char** argv = nullptr;
    ServeFn pServe = nullptr;
    int iExit = 0;
    std::mutex mutex; // the status, reported from two threads
    SERVICE_STATUS_HANDLE hStatus = nullptr;
    SERVICE_STATUS status{};
    bool bServing = false; // SIGTERM has a handler (server.cpp) that stops it
    HANDLE hEventLog = nullptr;
};
tServiceRun g_run;

void vReport(DWORD dwState, DWORD dwExitCode = NO_ERROR, DWORD dwSpecific = 0) {
    std::lock_guard<std::mutex> lock(g_run.mutex);
    SERVICE_STATUS& s = g_run.status;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = dwState;
    s.dwControlsAccepted =
        dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.dwWin32ExitCode = dwSpecific ? ERROR_SERVICE_SPECIFIC_ERROR : dwExitCode;
    s.dwServiceSpecificExitCode = dwSpecific;
    const bool bPending = dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING;
    s.dwCheckPoint = bPending ? s.dwCheckPoint + 1 : 0;
    // Starting waits for the reader's port no longer than this; stopping
    // drains the connections in 3 s.
    s.dwWaitHint = bPending ? 15000 : 0;
    if (g_run.hStatus)
        SetServiceStatus(g_run.hStatus, &s);
}

DWORD WINAPI Control(DWORD dwControl, DWORD, LPVOID, LPVOID) {
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
        vReport(SERVICE_STOP_PENDING);
        QLOG_EVENT("stopping: %s", dwControl == SERVICE_CONTROL_STOP
                                       ? "the service control manager asks"
                                       : "the system shuts down");
        std::lock_guard<std::mutex> lock(g_run.mutex);
        if (g_run.bServing)
            std::raise(SIGTERM); // the stop of server.cpp, as on Linux
        return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The manager starts services in System32: relative paths of the
// configuration (TraceDir, the trace library's Vantrel\ folder) resolve in
// the configuration's folder instead (C:\ProgramData\Quillon).
void vEnterConfigFolder() {
    for (int i = 1; i + 1 < g_run.argc; ++i) {
        const std::string sConfig = g_run.argv[i + 1];
        const size_t uiSlash = sConfig.find_last_of("\\/");
        if (std::strcmp(g_run.argv[i], "--config") == 0 && uiSlash != std::string::npos)
            SetCurrentDirectoryA(sConfig.substr(0, uiSlash).c_str());
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_run.hStatus = RegisterServiceCtrlHandlerExA(kServiceName, Control, nullptr);
    if (!g_run.hStatus)
        return;
    g_run.hEventLog = RegisterEventSourceA(nullptr, kServiceName);
    vReport(SERVICE_START_PENDING);
    vEnterConfigFolder();
    // The command line the service was installed with (its image path):
    // the service's start parameters are not used.
    g_run.iExit = g_run.pServe(g_run.argc, g_run.argv);
    {
        std::lock_guard<std::mutex> lock(g_run.mutex);
        g_run.bServing = false;
    }
    // A non-zero status is a failure: the manager's recovery restarts it.
    vReport(SERVICE_STOPPED, NO_ERROR, static_cast<DWORD>(g_run.iExit));
}

// The service control manager (services.exe) started this process. Asked
// first: the dispatcher, called from a console, fails at once on Windows but
// only after a time-out under Wine.
bool bStartedByServiceManager() {
    const HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return false;
    std::vector<PROCESSENTRY32> processes;
    PROCESSENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL bOk = Process32First(hSnapshot, &e); bOk; bOk = Process32Next(hSnapshot, &e))
        processes.push_back(e);
    CloseHandle(hSnapshot);
    DWORD dwParent = 0;
    for (const PROCESSENTRY32& p : processes)
        if (p.th32ProcessID == GetCurrentProcessId())
            dwParent = p.th32ParentProcessID;
    for (const PROCESSENTRY32& p : processes)
        if (dwParent && p.th32ProcessID == dwParent)
            return _stricmp(p.szExeFile, "services.exe") == 0;
    return false;
}

} // namespace

int HostMain(int argc, char** argv, ServeFn pServe) {
    g_run.argc = argc;
    g_run.argv = argv;
    g_run.pServe = pServe;
    if (!bStartedByServiceManager())
        return pServe(argc, argv); // a console
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return 1;
    return g_run.iExit;
}

void HostReady() {
    {
        std::lock_guard<std::mutex> lock(g_run.mutex);
        g_run.bServing = g_run.hStatus != nullptr;
    }
    if (g_run.hStatus)
        vReport(SERVICE_RUNNING);
}

void HostLog(const char* pLevel, const char* pText) {
    if (!g_run.hEventLog)
        return;
    const WORD wType = std::strcmp(pLevel, "error") == 0     ? EVENTLOG_ERROR_TYPE
                       : std::strcmp(pLevel, "warning") == 0 ? EVENTLOG_WARNING_TYPE
                                                             : EVENTLOG_INFORMATION_TYPE;
    const char* texts[] = {pText};
    ReportEventA(g_run.hEventLog, wType, 0, kEventId, nullptr, 1, 0, texts, nullptr);
}

bool bHostSetEnv(const char* pName, const std::string& sValue) {
    // The C runtime's environment, which the library's getenv reads.
    return _putenv((std::string(pName) + "=" + sValue).c_str()) == 0;
}

} // namespace quillon::xfs

namespace quillon::xfs {

namespace {

// Closes a service manager's handle.
struct tScHandle {
    SC_HANDLE h = nullptr;
    explicit tScHandle(SC_HANDLE handle) : h(handle) {}
    ~tScHandle() {
        if (h)
            CloseServiceHandle(h);
    }
    tScHandle(const tScHandle&) = delete;
    tScHandle& operator=(const tScHandle&) = delete;
};

int Failed(const char* pWhat) {
    const DWORD dwError = GetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError, 0,
                   text, sizeof text, nullptr);
    std::fprintf(stderr, "%s: error %lu %s\n", pWhat, dwError, text);
    return dwError == ERROR_ACCESS_DENIED ? 4 : 1;
}

// Restarted 5 s after a failure, 30 s after the second, then each minute;
// the count starts again after a day without one. A stop with a non-zero
// status (a refusal at start) counts as a failure.
void vSetRecovery(SC_HANDLE hService) {
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 3600;
    failure.cActions = sizeof actions / sizeof actions[0];
    failure.lpsaActions = actions;
    ChangeServiceConfig2A(hService, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ChangeServiceConfig2A(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
    ChangeServiceConfig2A(hService, SERVICE_CONFIG_DESCRIPTION, &description);
}

// The program's message table makes the event log's entries readable.
void vRegisterEventSource(const std::string& sProgram) {
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &hKey, nullptr) != ERROR_SUCCESS)
        return;
    const DWORD dwTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(hKey, "EventMessageFile", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(sProgram.c_str()),
                   static_cast<DWORD>(sProgram.size() + 1));
    RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes),
                   sizeof dwTypes);
    RegCloseKey(hKey);
}

} // namespace

int HostInstallService(const std::vector<std::string>& args) {
    char program[MAX_PATH];
    const DWORD dwLen = GetModuleFileNameA(nullptr, program, sizeof program);
    if (dwLen == 0 || dwLen >= sizeof program)
        return Failed("the program's path");
    const std::string sCommand = WindowsCommandLine(program, args);
    const tScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager.h)
        return Failed("the service control manager");
    // Local Service: no more rights than the reader's port and the
    // loopback socket need.
    tScHandle service(CreateServiceA(manager.h, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, sCommand.c_str(), nullptr, nullptr,
                                     nullptr, "NT AUTHORITY\\LocalService", nullptr));
    if (!service.h && GetLastError() == ERROR_SERVICE_EXISTS) {
        // Installed before: the new command line replaces the old one.
        service.h = OpenServiceA(manager.h, kServiceName, SERVICE_ALL_ACCESS);
        if (service.h &&
            !ChangeServiceConfigA(service.h, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, sCommand.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr, kDisplayName))
            return Failed("changing the service");
    }
    if (!service.h)
        return Failed("installing the service");
    vSetRecovery(service.h);
    vRegisterEventSource(program);
    std::printf("service %s installed (automatic start): %s\n", kServiceName, sCommand.c_str());
    return 0;
}

int HostUninstallService() {
    const tScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.h)
        return Failed("the service control manager");
    const tScHandle service(
        OpenServiceA(manager.h, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.h)
        return Failed("opening the service QuillonXfs4IoT");
    SERVICE_STATUS status{};
    if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) {
        // Stopped within the drain time of its connections, and a margin.
        for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(100);
            if (!QueryServiceStatus(service.h, &status))
                break;
        }
    }
    if (!DeleteService(service.h) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return Failed("removing the service");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventLogKey);
    std::printf("service %s removed\n", kServiceName);
    return 0;
}

} // namespace quillon::xfs
