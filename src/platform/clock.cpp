#include "platform/clock.h"

#include <chrono>
#include <utility>

namespace quillon {
namespace {
ClockSource& Source() {
    static ClockSource s_source;
    return s_source;
}
} // namespace

uint64_t NowMs() {
    const ClockSource& source = Source();
    if (source)
        return source();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

ClockSource SetClockSource(ClockSource source) {
    ClockSource previous = std::move(Source());
    Source() = std::move(source);
    return previous;
}

} // namespace quillon
