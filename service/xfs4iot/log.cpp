#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <sys/time.h>

namespace quillon::xfs {

void Log(const char* pLevel, const char* pFormat, ...) {
    char text[1024];
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(text, sizeof text, pFormat, args);
    va_end(args);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &t);
    static std::mutex s_mutex; // whole lines, whichever thread writes
    std::lock_guard<std::mutex> lock(s_mutex);
    std::fprintf(stderr, "%s.%03ld quillon-xfs4iot %s: %s\n", stamp,
                 static_cast<long>(tv.tv_usec / 1000), pLevel, text);
    std::fflush(stderr);
}

} // namespace quillon::xfs
