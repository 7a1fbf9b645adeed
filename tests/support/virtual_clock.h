// A clock the test controls: installed as the library's clock while it
// lives. Fakes advance it by what a real wait would have cost (a time-out
// that expires, a byte that arrives late), so deadlines add up in virtual
// time and no test waits for them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

class VirtualClock {
public:
    VirtualClock() : m_previous(quillon::SetClockSource([this] { return m_now.load(); })) {}
    ~VirtualClock() { quillon::SetClockSource(m_previous); }
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    uint64_t uiNow() const { return m_now.load(); }
    void vAdvance(uint64_t uiMs) { m_now += uiMs; }
    // Milliseconds since the clock was installed.
    uint64_t uiElapsed() const { return m_now.load() - kStart; }

private:
    static constexpr uint64_t kStart = 1000000;
    std::atomic<uint64_t> m_now{kStart};
    quillon::ClockSource m_previous;
};
