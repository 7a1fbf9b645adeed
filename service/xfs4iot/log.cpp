#include "log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "host.h"

namespace quillon::xfs {

namespace {

void vWrite(const char* pLevel, bool bSystemLog, const char* pFormat, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, pFormat, args);
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long lMs =
        static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    static std::mutex s_mutex; // whole lines, whichever thread writes
    std::lock_guard<std::mutex> lock(s_mutex);
    char stamp[32] = "";
    if (const std::tm* pTm = std::localtime(&seconds)) // under the lock: its buffer is shared
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", pTm);
    std::fprintf(stderr, "%s.%03ld quillon-xfs4iot %s: %s\n", stamp, lMs, pLevel, text);
    std::fflush(stderr);
    if (bSystemLog || std::strcmp(pLevel, "info") != 0)
        HostLog(pLevel, text);
}

} // namespace

void Log(const char* pLevel, const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    vWrite(pLevel, false, pFormat, args);
    va_end(args);
}

void LogEvent(const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    vWrite("info", true, pFormat, args);
    va_end(args);
}

} // namespace quillon::xfs
