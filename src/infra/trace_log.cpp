#include "infra/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/config_store.h"
#include "vantrel.h"

namespace quillon {

namespace {
// Guards every trace log's handle and the calls that use it. One for the
// process, so that a fork() can wait for it: the child then finds it free
// even when another thread of the parent was writing a line.
std::mutex g_traceLock;
void BeforeFork() {
    g_traceLock.lock();
}
void AfterFork() {
    g_traceLock.unlock();
}
const bool kForkHandlersSet = (AtFork(&BeforeFork, &AfterFork, &AfterFork), true);

constexpr int kMaxTraceBytes = 4194304;
constexpr int kKeptTraceFiles = 6;
constexpr std::size_t kLineChunk = 2048;
// The device name field holds less; a longer text is cut here.
constexpr std::size_t kMaxNameChars = 127;

#if defined(_WIN32)
constexpr char kFolderSeparator = '\\';
#else
constexpr char kFolderSeparator = '/';
#endif

bool IsFileNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

// The trace file's path for a device name, or empty when the name names no
// file. The name set by the host must not reach a path as it is: ".." or a
// folder separator would lead out of the trace folder.
std::string TracePath(const char* pDevName, const std::string& traceDir) {
    std::string file;
    for (std::size_t i = 0; pDevName && i < kMaxNameChars && pDevName[i] != '\0'; ++i)
        file.push_back(IsFileNameChar(pDevName[i]) ? pDevName[i] : '_');
    if (file.find_first_not_of('.') == std::string::npos)
        return std::string();
    file += ".log";
    if (traceDir.empty())
        return "Vantrel\\" + file; // relative: the trace library takes the working folder
    const char last = traceDir.back();
    return last == '/' || last == '\\' ? traceDir + file : traceDir + kFolderSeparator + file;
}
} // namespace

OTraceLog::OTraceLog() {
    const char* library = TraceLibraryFileName();
    const std::string nextToUs =
        ModuleFolderOf(reinterpret_cast<const void*>(&TraceLibraryFileName));
    if (!nextToUs.empty()) {
        m_hModule = LoadModule((nextToUs + library).c_str());
        // An installed library keeps the trace library in a private folder.
        if (!m_hModule)
            m_hModule = LoadModule((nextToUs + "quillon" + nextToUs.back() + library).c_str());
    }
    if (!m_hModule)
        m_hModule = LoadModule(library);
    vStart();
}

OTraceLog::OTraceLog(const char* pLibraryPath) {
    m_hModule = LoadModule(pLibraryPath);
    vStart();
}

void OTraceLog::vStart() {
    m_hTrace = 0;
    if (auto start = reinterpret_cast<PFN_startTrace>(FindSymbol(m_hModule, "startTrace")))
        start();
}

OTraceLog::~OTraceLog() {
    std::lock_guard<std::mutex> lock(g_traceLock);
    vCloseTrace();
    if (auto stop = reinterpret_cast<PFN_stopTrace>(FindSymbol(m_hModule, "stopTrace")))
        stop(-1);
    if (m_hModule)
        FreeModule(m_hModule);
}

bool OTraceLog::bTraceOpen() const {
    std::lock_guard<std::mutex> lock(g_traceLock);
    return m_hTrace != 0;
}

// Called with g_traceLock held.
void OTraceLog::vCloseTrace() {
    if (m_hTrace == 0)
        return;
    int closed;
    if (auto close = reinterpret_cast<PFN_closeTrace>(FindSymbol(m_hModule, "closeTrace")))
        closed = close(m_hTrace);
    else
        closed = CloseOsHandle(m_hTrace);
    if (closed != 0)
        m_hTrace = 0;
}

void OTraceLog::vOpenTraceFile(int iKeepDays, const char* pDevName, int iSetting) {
    std::string traceDir;
    if (ConfigGetString(ConfigPath(), "DllExtFunc", "TraceDir", traceDir) != 0)
        traceDir.clear();
    const std::string path = TracePath(pDevName, traceDir);

    std::lock_guard<std::mutex> lock(g_traceLock);
    if (m_hTrace != 0) {
        if (auto keep =
                reinterpret_cast<PFN_setTraceKeepTime>(FindSymbol(m_hModule, "setTraceKeepTime")))
            keep(m_hTrace, iKeepDays);
    }
    vCloseTrace();
    if (path.empty())
        return;
    if (auto open = reinterpret_cast<PFN_openTrace>(FindSymbol(m_hModule, "openTrace")))
        m_hTrace = open(path.c_str(), iSetting, kMaxTraceBytes, kKeptTraceFiles);
}

int OTraceLog::iWriteTrace(int iLevel, const char* pFormat, ...) {
    std::lock_guard<std::mutex> lock(g_traceLock);
    if (m_hTrace == 0 || !pFormat)
        return 0;
    auto write = reinterpret_cast<PFN_writeMsg>(FindSymbol(m_hModule, "writeMsg"));
    if (!write)
        return 0;

    // An ordinary line is formatted on the stack; a longer one grows the
    // buffer 2048 bytes at a time until it fits.
    char stackLine[kLineChunk];
    std::vector<char> bigLine;
    char* line = stackLine;
    std::size_t size = sizeof stackLine;
    for (;;) {
        va_list args;
        va_start(args, pFormat);
        int needed = std::vsnprintf(line, size, pFormat, args);
        va_end(args);
        if (needed < 0)
            return 0;
        if (static_cast<std::size_t>(needed) < size)
            break;
        size += kLineChunk;
        bigLine.assign(size, '\0');
        line = bigLine.data();
    }
    return write(m_hTrace, iLevel, line);
}

} // namespace quillon
