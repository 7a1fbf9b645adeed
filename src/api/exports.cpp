// The 18 exported IDC_ functions. One process-wide device manager stands
// behind them; only SetCommPara and the two name functions create it, only
// CloseComm destroys it. Operations hold a shared guard while they use the
// manager, creation and destruction an exclusive one, so CloseComm on one
// thread never frees the manager under another thread's operation.
#include "quillon/idc.h"

#include <mutex>
#include <new>
#include <shared_mutex>

#include "api/idc_manager.h"

namespace {
std::shared_mutex g_guard;
OIdcManager* g_pManager = nullptr;

int NoManager(tDevReturn* pRet) {
    if (pRet) {
        pRet->iCode1 = pRet->iCode2 = 1267;
        pRet->iErrFlag1 = pRet->iErrFlag2 = 1;
    }
    return 1;
}

// Runs op on the manager if there is one; otherwise 1267. Nothing is thrown
// out of the library: a failure of the guard itself (out of resources)
// counts as the operation not carried out.
template <class Op> int WithManager(tDevReturn* pRet, Op op) {
    if (!pRet)
        return 1; // no record to report into: nothing is done
    try {
        std::shared_lock<std::shared_mutex> guard(g_guard);
        if (!g_pManager)
            return NoManager(pRet);
        return op(*g_pManager);
    } catch (...) {
        return NoManager(pRet);
    }
}

// Creates the manager when there is none. False when it cannot be created.
bool EnsureManager() {
    std::unique_lock<std::shared_mutex> guard(g_guard);
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
                std::shared_lock<std::shared_mutex> guard(g_guard);
                if (g_pManager) {
                    op(*g_pManager);
                    return;
                }
            }
            if (!EnsureManager())
                return;
        }
    } catch (...) {
        // the guard could not be taken: nothing was done
    }
}

} // namespace

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
        std::unique_lock<std::shared_mutex> guard(g_guard);
        delete g_pManager;
        g_pManager = nullptr;
    } catch (...) {
        // the guard could not be taken: the manager stays for a later call
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
    return WithManager(pRet, [&](OIdcManager& m) {
        return m.ChipPower(iAction, uArg2, uArg3, pArg4, pRet);
    });
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

} // extern "C"
