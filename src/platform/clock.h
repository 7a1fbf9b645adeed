// The library's monotonic clock in milliseconds. Deadlines that span several
// reads (a whole reply frame, a lock wait) are measured on it. Tests install
// a clock of their own so that time-outs add up without real waiting.
#pragma once

#include <cstdint>
#include <functional>

namespace quillon {

using ClockSource = std::function<uint64_t()>;

// Milliseconds since an arbitrary start; never goes back.
uint64_t NowMs();

// Replaces the clock (an empty source restores the system's). Returns the
// previous source. Set it while no other thread uses the library.
ClockSource SetClockSource(ClockSource source);

// Milliseconds left until uiDeadline (0 when it has passed).
inline uint32_t MsLeft(uint64_t uiDeadline) {
    const uint64_t now = NowMs();
    if (now >= uiDeadline)
        return 0;
    const uint64_t left = uiDeadline - now;
    return left > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(left);
}

} // namespace quillon
