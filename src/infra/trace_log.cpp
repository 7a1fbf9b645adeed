#include "infra/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "vantrel.h"

namespace {
constexpr int kMaxTraceBytes = 4194304;
constexpr int kKeptTraceFiles = 6;
constexpr std::size_t kLineChunk = 2048;
} // namespace

OTraceLog::OTraceLog() {
    std::string nextToUs =
        quillon::ModuleFolderOf(reinterpret_cast<const void*>(&quillon::TraceLibraryFileName));
    if (!nextToUs.empty())
        m_hModule = quillon::LoadModule((nextToUs + quillon::TraceLibraryFileName()).c_str());
    if (!m_hModule)
        m_hModule = quillon::LoadModule(quillon::TraceLibraryFileName());
    vStart();
}

OTraceLog::OTraceLog(const char* pLibraryPath) {
    m_hModule = quillon::LoadModule(pLibraryPath);
    vStart();
}

void OTraceLog::vStart() {
    m_hTrace = 0;
    if (auto start = reinterpret_cast<PFN_startTrace>(
            quillon::FindSymbol(m_hModule, "startTrace")))
        start();
}

OTraceLog::~OTraceLog() {
    vCloseTrace();
    if (auto stop = reinterpret_cast<PFN_stopTrace>(quillon::FindSymbol(m_hModule, "stopTrace")))
        stop(-1);
    if (m_hModule)
        quillon::FreeModule(m_hModule);
}

void OTraceLog::vCloseTrace() {
    if (m_hTrace == 0)
        return;
    int closed;
    if (auto close = reinterpret_cast<PFN_closeTrace>(quillon::FindSymbol(m_hModule, "closeTrace")))
        closed = close(m_hTrace);
    else
        closed = quillon::CloseOsHandle(m_hTrace);
    if (closed != 0)
        m_hTrace = 0;
}

void OTraceLog::vOpenTraceFile(int iKeepDays, const char* pPath, int iSetting) {
    if (m_hTrace != 0) {
        if (auto keep = reinterpret_cast<PFN_setTraceKeepTime>(
                quillon::FindSymbol(m_hModule, "setTraceKeepTime")))
            keep(m_hTrace, iKeepDays);
    }
    vCloseTrace();
    if (auto open = reinterpret_cast<PFN_openTrace>(quillon::FindSymbol(m_hModule, "openTrace")))
        m_hTrace = open(pPath, iSetting, kMaxTraceBytes, kKeptTraceFiles);
}

int OTraceLog::iWriteTrace(int iLevel, const char* pFormat, ...) {
    if (m_hTrace == 0 || !pFormat)
        return 0;
    auto write = reinterpret_cast<PFN_writeMsg>(quillon::FindSymbol(m_hModule, "writeMsg"));
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
