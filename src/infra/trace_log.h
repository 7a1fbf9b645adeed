// OTraceLog: the library's only way of writing a trace, through the trace
// library loaded at run time. Without the library, or before a trace file is
// open, every write is dropped silently.
#pragma once

#include <cstdint>

#include "platform/system.h"

#if defined(__GNUC__)
#define QUILLON_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QUILLON_PRINTF(fmt, args)
#endif

namespace quillon {

// Thread-safe: the device name calls trace without the manager's lock, so a
// small lock of its own orders opening, writing and closing.
class OTraceLog {
public:
    // Loads the trace library found next to this library, else in the
    // private folder "quillon" beside it (an installed library's
    // <libdir>/quillon/), else on the default search path, and starts it.
    OTraceLog();
    // Loads the trace library from this path only (tests).
    explicit OTraceLog(const char* pLibraryPath);
    virtual ~OTraceLog();
    OTraceLog(const OTraceLog&) = delete;
    OTraceLog& operator=(const OTraceLog&) = delete;

    // The result of "writeMsg", or 0 when nothing was written.
    int iWriteTrace(int iLevel, const char* pFormat, ...) QUILLON_PRINTF(3, 4);

    // Opens (or reopens) the device's trace file, as the port opening does
    // when "RemainDays" is configured: keep time on the open trace, close it,
    // open the new file. The file is "Vantrel\<name>.log" below the working
    // folder, or "<TraceDir>/<name>.log" with [DllExtFunc] TraceDir (a
    // relative folder is taken from the working folder). In the file name,
    // every character but a letter, a digit, '-', '_' and '.' becomes '_'; a
    // name that is empty or only dots opens no file at all.
    void vOpenTraceFile(int iKeepDays, const char* pDevName, int iSetting);

    bool bLoaded() const { return m_hModule != nullptr; }
    bool bTraceOpen() const;

private:
    void vStart();
    void vCloseTrace();

    ModuleHandle m_hModule = nullptr;
    intptr_t m_hTrace = 0;
};

} // namespace quillon
