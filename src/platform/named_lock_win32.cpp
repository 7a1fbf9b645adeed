// The named mutex on Windows: a kernel mutex object.
#include "platform/system.h"

#include "platform/clock.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace quillon {

extern std::atomic<int> g_namedLockWaits; // named_lock.cpp

// A kernel mutex: it serialises the threads of this process and every other
// process that opens the same name, and the system releases it (abandoned)
// when its holder dies. Ownership belongs to the thread, so lock and unlock
// happen on the same thread (OScopedLock).
struct ONamedMutex::Impl {
    HANDLE hMutex = nullptr;
    ~Impl() {
        if (hMutex)
            ::CloseHandle(hMutex);
    }
};

ONamedMutex::ONamedMutex(const char* pName) : m_impl(new Impl), m_name(pName ? pName : "") {
    if (m_name.empty()) {
        m_impl->hMutex = ::CreateMutexA(nullptr, FALSE, nullptr);
        return;
    }
    // One mutex for every session of the machine; a session that may not
    // create global objects shares the mutex of its own session. A name taken
    // by an object of another kind leaves no mutex: every lock then fails.
    m_impl->hMutex = ::CreateMutexA(nullptr, FALSE, ("Global\\" + m_name).c_str());
    if (!m_impl->hMutex && ::GetLastError() == ERROR_ACCESS_DENIED)
        m_impl->hMutex = ::CreateMutexA(nullptr, FALSE, m_name.c_str());
}

ONamedMutex::~ONamedMutex() = default;

bool ONamedMutex::bLock(uint32_t uiTimeoutMs) {
    if (!m_impl->hMutex)
        return false;
    // Waits in steps, so that the deadline and vAbandonWaits are seen.
    // WAIT_ABANDONED: the previous holder died while holding it; the mutex
    // now belongs to this thread all the same.
    const uint64_t deadline = uiTimeoutMs ? NowMs() + uiTimeoutMs : 0;
    for (;;) {
        const DWORD r = ::WaitForSingleObject(m_impl->hMutex, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
            return true;
        if (r != WAIT_TIMEOUT)
            return false;
        const uint32_t wait = uiNextWaitMs(deadline);
        if (wait == 0)
            return false;
        ++g_namedLockWaits;
        const DWORD s = ::WaitForSingleObject(m_impl->hMutex, wait);
        --g_namedLockWaits;
        if (s == WAIT_OBJECT_0 || s == WAIT_ABANDONED)
            return true;
        if (s != WAIT_TIMEOUT)
            return false;
    }
}

bool ONamedMutex::bTryLock() {
    if (!m_impl->hMutex)
        return false;
    const DWORD r = ::WaitForSingleObject(m_impl->hMutex, 0);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void ONamedMutex::vUnlock() {
    if (m_impl->hMutex)
        (void)::ReleaseMutex(m_impl->hMutex);
}

} // namespace quillon
