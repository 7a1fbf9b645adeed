// The 18 exported IDC_ functions and the library's own beside them. One process-wide device manager
// stands behind them; only SetCommPara and the two name functions create it, only CloseComm
// destroys it. Operations share the manager while they use it; creation and destruction have it to
// themselves, so CloseComm on one thread never frees the manager under another thread's operation.
// A CloseComm (or a creation) that waits goes before every operation that arrives after it: threads
// that keep polling cannot hold it off for ever.
#include "quillon/idc.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "api/idc_manager.h"
#include "infra/result_codes.h"
#include "platform/config_store.h"
#include "platform/system.h"

namespace quillon {
namespace {
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int iUsers = 0;         // operations using the manager now
    int iWaiting = 0;       // creations and destructions waiting for their turn
    bool bChanging = false; // one of them at work
};
Gate g_gate;
OIdcManager* g_pManager = nullptr;

// An operation's use of the manager, for as long as it lives.
class SharedUse {
public:
    SharedUse() {
        std::unique_lock<std::mutex> lock(g_gate.mutex);
        g_gate.changed.wait(lock, [] { return !g_gate.bChanging && g_gate.iWaiting == 0; });
        ++g_gate.iUsers;
    }
    ~SharedUse() {
        std::lock_guard<std::mutex> lock(g_gate.mutex);
        if (--g_gate.iUsers == 0)
            g_gate.changed.notify_all();
    }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;
};

// Creation or destruction of the manager, alone.
class ExclusiveUse {
public:
    ExclusiveUse() {
        std::unique_lock<std::mutex> lock(g_gate.mutex);
        ++g_gate.iWaiting;
        g_gate.changed.wait(lock, [] { return !g_gate.bChanging && g_gate.iUsers == 0; });
        --g_gate.iWaiting;
        g_gate.bChanging = true;
    }
    ~ExclusiveUse() {
        std::lock_guard<std::mutex> lock(g_gate.mutex);
        g_gate.bChanging = false;
        g_gate.changed.notify_all();
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
};

// fork(): the child has only the forking thread, which uses no manager. It
// gets a fresh gate; a manager caught half made or half destroyed is
// forgotten there (its memory is left alone) and answers as absent.
void BeforeFork() {
    g_gate.mutex.lock();
}
void AfterForkInParent() {
    g_gate.mutex.unlock();
}
void AfterForkInChild() {
    const bool changing = g_gate.bChanging;
    g_gate.mutex.unlock();
    new (&g_gate) Gate();
    if (changing)
        g_pManager = nullptr;
}
const bool kForkHandlersSet = (AtFork(&BeforeFork, &AfterForkInParent, &AfterForkInChild), true);

// No manager to carry the operation out: Unavailable, flags 1.
int NoManager(tDevReturn* pRet) {
    const tDriverResult tNone = tDriverResult::Shown(Code::Unavailable, 1, 1);
    return pRet ? OIdcManager::iWriteRecord(tNone, pRet) : tNone.iResult;
}

// Runs op on the manager if there is one; otherwise Unavailable. Nothing is thrown
// out of the library: a failure of the gate itself (out of resources)
// counts as the operation not carried out.
template <class Op> int WithManager(tDevReturn* pRet, Op op) {
    if (!pRet)
        return 1; // no record to report into: nothing is done
    try {
        SharedUse use;
        if (!g_pManager)
            return NoManager(pRet);
        return op(*g_pManager);
    } catch (...) {
        return NoManager(pRet);
    }
}

// Creates the manager when there is none. False when it cannot be created.
bool EnsureManager() {
    ExclusiveUse use;
    if (!g_pManager) {
        g_pManager = new (std::nothrow) OIdcManager();
        if (g_pManager && !g_pManager->bValid()) { // out of memory half-way
            delete g_pManager;
            g_pManager = nullptr;
        }
    }
    return g_pManager != nullptr;
}

template <class Op> void WithCreatedManager(Op op) noexcept {
    try {
        for (;;) {
            {
                SharedUse use;
                if (g_pManager) {
                    op(*g_pManager);
                    return;
                }
            }
            if (!EnsureManager())
                return;
        }
    } catch (...) {
        // the gate could not be taken: nothing was done
    }
}

} // namespace
} // namespace quillon

// The C exports reach the manager through the helpers above.
using namespace quillon;

extern "C" {

IDC_API int IDC_CALL IDC_SetCommPara(tDevReturn* pRet) {
    if (!pRet)
        return 1;
    bool ran = false;
    int result = 1;
    WithCreatedManager([&](OIdcManager& m) {
        result = m.SetCommPara(pRet);
        ran = true;
    });
    return ran ? result : NoManager(pRet); // the manager could not be created
}

IDC_API int IDC_CALL IDC_CloseComm(void) {
    try {
        {
            // Calls still waiting for the named lock give up (CommFailed):
            // a holder in another process that never lets go cannot hold
            // the closing off. A manager being made or destroyed by another
            // thread is not touched, nor is the pointer read while it may
            // be written.
            std::lock_guard<std::mutex> lock(g_gate.mutex);
            if (!g_gate.bChanging && g_pManager)
                g_pManager->vAbandonLockWaits();
        }
        ExclusiveUse use;
        delete g_pManager;
        g_pManager = nullptr;
    } catch (...) {
        // the gate could not be taken: the manager stays for a later call
    }
    return 0;
}

IDC_API int IDC_CALL IDC_Init(int iMode, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.Init(iMode, pRet); });
}

IDC_API int IDC_CALL IDC_GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.GetStatus(pStatus, pRet); });
}

IDC_API int IDC_CALL IDC_AcceptCard(int iMode, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.AcceptCard(iMode, pRet); });
}

IDC_API int IDC_CALL IDC_ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen,
                                uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) {
        return m.ChipIO(iSelector, pCommand, iCommandLen, pReply, pReplyLen, pRet);
    });
}

IDC_API int IDC_CALL IDC_ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                                   tDevReturn* pRet) {
    return WithManager(
        pRet, [&](OIdcManager& m) { return m.ChipPower(iAction, uArg2, uArg3, pArg4, pRet); });
}

IDC_API int IDC_CALL IDC_EjectCard(tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.EjectCard(pRet); });
}

IDC_API int IDC_CALL IDC_GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.GetCapabilities(pCaps, pRet); });
}

IDC_API int IDC_CALL IDC_GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.GetLifeInfo(pLife, pRet); });
}

IDC_API int IDC_CALL IDC_ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.ReadTrack(pTracks, pRet); });
}

IDC_API int IDC_CALL IDC_Reset(tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.Reset(pRet); });
}

IDC_API int IDC_CALL IDC_ResetCount(int iCounter, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.ResetCount(iCounter, pRet); });
}

IDC_API int IDC_CALL IDC_RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.RetainCard(pRetainCount, pRet); });
}

IDC_API int IDC_CALL IDC_ReleaseAntiFishing(tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.ReleaseAntiFishing(pRet); });
}

IDC_API int IDC_CALL IDC_WriteTrack(int iTrack, const uint8_t* pData, uint32_t uiLen,
                                    tDevReturn* pRet) {
    return WithManager(pRet,
                       [&](OIdcManager& m) { return m.WriteTrack(iTrack, pData, uiLen, pRet); });
}

IDC_API void IDC_CALL IDC_GetLogicalDevName(char* pName) {
    WithCreatedManager([&](OIdcManager& m) { m.GetLogicalDevName(pName); });
}

IDC_API void IDC_CALL IDC_SetLogicalDevName(const char* pName) {
    WithCreatedManager([&](OIdcManager& m) { m.SetLogicalDevName(pName); });
}

IDC_API int IDC_CALL Quillon_GetReaderInfo(tQuillonReaderInfo* pInfo, tDevReturn* pRet) {
    return WithManager(pRet, [&](OIdcManager& m) { return m.GetReaderInfo(pInfo, pRet); });
}

#if !defined(_WIN32)
IDC_API int IDC_CALL Quillon_SetConfigPath(const char* pPath) {
    try {
        SetConfigPath(pPath);
        return 0;
    } catch (...) {
        return 1; // out of memory: the path named before stays
    }
}
#endif

} // extern "C"
