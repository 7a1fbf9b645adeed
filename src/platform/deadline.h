// Deadlines of the system waits (poll) on the steady clock: the backends
// that wait on a descriptor count the real time their waits take.
#pragma once

#include <chrono>
#include <climits>

namespace quillon {

// Milliseconds left until the deadline, rounded up so a wait never ends
// early; 0 once it has passed.
inline int iPollMsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // namespace quillon
