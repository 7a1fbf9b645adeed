// The part of the named mutex's wait that is the same on every system.
#include <atomic>
#include <cstdio>

#include "platform/clock.h"
#include "platform/system.h"

namespace quillon {

std::atomic<int> g_namedLockWaits{0};

namespace {
// Why this thread's last try for a named mutex was refused at once.
thread_local char g_acRefusalNote[512];
} // namespace

void SetLockRefusalNote(const char* pNote) {
    std::snprintf(g_acRefusalNote, sizeof g_acRefusalNote, "%s", pNote);
}

const char* ONamedMutex::pRefusalNote() {
    return g_acRefusalNote;
}

int NamedLockWaitsNow() {
    return g_namedLockWaits.load();
}

uint32_t ONamedMutex::uiNextWaitMs(uint64_t uiDeadline) const {
    if (m_bAbandoned.load())
        return 0;
    if (uiDeadline == 0)
        return kPollMs;
    const uint64_t now = NowMs();
    if (now >= uiDeadline)
        return 0;
    const uint64_t left = uiDeadline - now;
    return left < kPollMs ? static_cast<uint32_t>(left) : kPollMs;
}

} // namespace quillon
