#include "api/idc_manager.h"

#include <cstring>
#include <mutex>
#include <new>

#include "api/reader_registry.h"
#include "infra/bounded_copy.h"
#include "infra/call_trace.h"
#include "infra/reader_comm.h"
#include "infra/result_codes.h"
#include "infra/trace_log.h"
#include "platform/config_store.h"
#include "platform/system.h"
#include "readers/idc_driver.h"

namespace quillon {

namespace {
constexpr int kTraceLevel = 3;
constexpr size_t kNameField = 32; // the communication object's device-name field
constexpr const char* kLockSection = "CARDREADER";

// Guards every manager's logical device name. Held only to copy the name,
// never while waiting for anything; a fork() waits for it, so the child
// finds it free.
std::mutex g_nameLock;
// Guards every manager's remembered LockWaitMs; held only while it is
// checked or read, never while waiting for the named lock.
std::mutex g_lockWaitGuard;
void BeforeFork() {
    g_nameLock.lock();
    g_lockWaitGuard.lock();
}
void AfterFork() {
    g_lockWaitGuard.unlock();
    g_nameLock.unlock();
}
const bool g_forkHandlers = (AtFork(&BeforeFork, &AfterFork, &AfterFork), true);

// No check before the driver call.
struct NoCheck {
    bool operator()(int&) const { return true; }
};

void SetRecord(tDevReturn* pRet, int iCode, int iFlag) {
    pRet->iCode1 = pRet->iCode2 = iCode;
    pRet->iErrFlag1 = pRet->iErrFlag2 = iFlag;
}

// An output the caller did not give is an argument refused before any
// reader access: BadArgument with flags 1.
template <class P> auto Needs(P* p, tDevReturn* pRet) {
    return [p, pRet](int& result) {
        if (p)
            return true;
        SetRecord(pRet, ToInt(Code::BadArgument), 1);
        result = 1;
        return false;
    };
}
} // namespace

OIdcManager::OIdcManager() : m_pRegistry(nullptr), m_pActive(nullptr), m_pLock(nullptr) {
    m_pRegistry = new (std::nothrow) OReaderRegistry();
    const char* name = "CARDREADER";
    if (m_pRegistry && m_pRegistry->pComm())
        name = m_pRegistry->pComm()->acDevName;
    m_pLock = new (std::nothrow) ONamedMutex(name);
    std::memset(m_acTraceName, 0, sizeof m_acTraceName);
    std::memset(m_acDevName, 0, sizeof m_acDevName);
    CopyText(m_acDevName, kNameField, name);
}

OIdcManager::~OIdcManager() {
    delete m_pRegistry;
    delete m_pLock;
}

bool OIdcManager::bValid() const {
    return m_pRegistry && m_pRegistry->pComm() && m_pLock;
}

const char* OIdcManager::pLockName() const {
    return m_pLock ? m_pLock->sName().c_str() : "";
}

uint32_t OIdcManager::uiLockWaitMs() {
    if (!m_pRegistry || !m_pRegistry->pComm())
        return 0;
    // Reading the file on every call would cost more than the rest of a
    // call together: it is read again only when it is another file or the
    // system reports a change (a path too long to remember is always read).
    const char* pPath = ConfigPathText();
    tFileStamp stamp;
    const bool bFound = FileStampOf(pPath, stamp);
    std::lock_guard<std::mutex> guard(g_lockWaitGuard);
    tLockWait& w = m_lockWait;
    const size_t pathLen = std::strlen(pPath);
    if (w.bRead && pathLen < sizeof w.acPath && std::strcmp(w.acPath, pPath) == 0 &&
        w.bFileFound == bFound && (!bFound || w.stamp == stamp))
        return w.uiMs;
    int ms = 0;
    if (m_pRegistry->pComm()->iGetIntValue(kLockSection, "LockWaitMs", ms) != 0 || ms <= 0)
        ms = 0;
    w.uiMs = static_cast<uint32_t>(ms);
    w.bFileFound = bFound;
    w.stamp = stamp;
    w.bRead = pathLen < sizeof w.acPath;
    if (w.bRead)
        std::memcpy(w.acPath, pPath, pathLen + 1);
    return w.uiMs;
}

int OIdcManager::iLockRefused(const char* pOperation, tDevReturn* pRet) {
    SetRecord(pRet, ToInt(Code::CommFailed), 1);
    OCallTrace scope(pTraceLog(), pOperation, kTraceLevel);
    const char* pNote = ONamedMutex::pRefusalNote();
    if (*pNote && pTraceLog())
        pTraceLog()->iWriteTrace(kTraceLevel, "%s", pNote);
    scope.vSetOutcome(*pRet);
    return 1;
}

void OIdcManager::vApplyDevName() {
    if (!m_pRegistry || !m_pRegistry->pComm())
        return;
    std::lock_guard<std::mutex> guard(g_nameLock);
    std::memcpy(m_pRegistry->pComm()->acDevName, m_acDevName, kNameField);
}

template <class Call> int OIdcManager::iCallDriver(tDevReturn* pRet, Call call) {
    if (!m_pActive) {
        SetRecord(pRet, ToInt(Code::CommFailed), 1);
        return 1;
    }
    const int result = call(m_pActive);
    // A failure must never reach the caller with a success code. Results
    // other than 1 (the track operations' library codes) are the caller's
    // to read as they are.
    if (result == 1 && IsSuccessCode(pRet->iCode2))
        SetRecord(pRet, ToInt(Code::CommFailed), 1);
    return result;
}

template <class Check, class Call>
int OIdcManager::iRun(const char* pOperation, tDevReturn* pRet, Check check, Call call,
                      bool bTakeName) {
    OScopedLock lock(*m_pLock, [this] { return uiLockWaitMs(); });
    if (!lock.bHeld())
        return iLockRefused(pOperation, pRet);
    vApplyDevName();
    if (bTakeName && m_pRegistry && m_pRegistry->pComm()) {
        std::memset(m_acTraceName, 0, sizeof m_acTraceName);
        CopyText(m_acTraceName, kNameField, m_pRegistry->pComm()->acDevName);
    }
    OCallTrace scope(pTraceLog(), pOperation, kTraceLevel);
    int result = 1;
    if (check(result))
        result = iCallDriver(pRet, call);
    scope.vSetDevName(m_acTraceName);
    scope.vSetOutcome(*pRet);
    return result;
}

OTraceLog* OIdcManager::pTraceLog() const {
    return m_pRegistry ? m_pRegistry->pTraceLog() : nullptr;
}

int OIdcManager::SetCommPara(tDevReturn* pRet) {
    // The selection runs first, under the lock and inside the trace scope;
    // then the chosen driver opens its connection.
    auto select = [this](int&) {
        if (m_pRegistry)
            m_pRegistry->iSelectDriver(m_pActive);
        return true;
    };
    return iRun("SetCommPara", pRet, select, [&](OIdcDriver* d) { return d->SetCommPara(pRet); });
}

int OIdcManager::Init(int iMode, tDevReturn* pRet) {
    return iRun(
        "Init", pRet, NoCheck{}, [&](OIdcDriver* d) { return d->Init(iMode, pRet); }, true);
}

int OIdcManager::GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    OScopedLock lock(*m_pLock, [this] { return uiLockWaitMs(); });
    if (!lock.bHeld())
        return iLockRefused("GetStatus", pRet);
    vApplyDevName();
    int result = 1;
    if (!pStatus) {
        SetRecord(pRet, ToInt(Code::BadArgument), 1);
    } else {
        result = iCallDriver(pRet, [&](OIdcDriver* d) { return d->GetStatus(pStatus, pRet); });
    }
    // A plain positive status is not traced; anything else is, after the call.
    if (pRet->iCode2 != ToInt(Code::Positive)) {
        OCallTrace scope(pTraceLog(), "GetStatus", kTraceLevel);
        scope.vSetDevName(m_acTraceName);
        scope.vSetOutcome(*pRet);
    }
    return result;
}

int OIdcManager::AcceptCard(int iMode, tDevReturn* pRet) {
    return iRun("AcceptCard", pRet, NoCheck{},
                [&](OIdcDriver* d) { return d->AcceptCard(iMode, pRet); });
}

int OIdcManager::ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                        uint32_t* pReplyLen, tDevReturn* pRet) {
    auto check = [&](int& result) {
        if (pReply && pReplyLen && iCommandLen >= 0 && (pCommand || iCommandLen == 0))
            return true;
        SetRecord(pRet, ToInt(Code::BadArgument), 1);
        result = 1;
        return false;
    };
    return iRun("ChipIO", pRet, check, [&](OIdcDriver* d) {
        return d->ChipIO(iSelector, pCommand, iCommandLen, pReply, pReplyLen, pRet);
    });
}

int OIdcManager::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                           tDevReturn* pRet) {
    return iRun("ChipPower", pRet, Needs(pArg4, pRet),
                [&](OIdcDriver* d) { return d->ChipPower(iAction, uArg2, uArg3, pArg4, pRet); });
}

int OIdcManager::EjectCard(tDevReturn* pRet) {
    return iRun("EjectCard", pRet, NoCheck{}, [&](OIdcDriver* d) { return d->EjectCard(pRet); });
}

int OIdcManager::GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet) {
    return iRun("GetCapabilities", pRet, Needs(pCaps, pRet),
                [&](OIdcDriver* d) { return d->GetCapabilities(pCaps, pRet); });
}

int OIdcManager::GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) {
    return iRun("GetLifeInfo", pRet, Needs(pLife, pRet),
                [&](OIdcDriver* d) { return d->GetLifeInfo(pLife, pRet); });
}

int OIdcManager::ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    return iRun("ReadTrack", pRet, Needs(pTracks, pRet),
                [&](OIdcDriver* d) { return d->ReadTrack(pTracks, pRet); });
}

int OIdcManager::Reset(tDevReturn* pRet) {
    return iRun("Reset", pRet, NoCheck{}, [&](OIdcDriver* d) { return d->Reset(pRet); });
}

int OIdcManager::ResetCount(int iCounter, tDevReturn* pRet) {
    return iRun("ResetCount", pRet, NoCheck{},
                [&](OIdcDriver* d) { return d->ResetCount(iCounter, pRet); });
}

int OIdcManager::RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) {
    return iRun("RetainCard", pRet, Needs(pRetainCount, pRet),
                [&](OIdcDriver* d) { return d->RetainCard(pRetainCount, pRet); });
}

int OIdcManager::ReleaseAntiFishing(tDevReturn* pRet) {
    return iRun("ReleaseAntiFishing", pRet, NoCheck{},
                [&](OIdcDriver* d) { return d->ReleaseAntiFishing(pRet); });
}

int OIdcManager::WriteTrack(int iTrack, const uint8_t* pData, uint32_t uiLen, tDevReturn* pRet) {
    tIdcTracks tracks;
    std::memset(&tracks, 0, sizeof tracks);
    // Each area takes one byte fewer than its size; length 0 is refused.
    auto check = [&](int& result) {
        uint32_t* pLen = nullptr;
        uint8_t* pArea = nullptr;
        size_t area = 0;
        switch (iTrack) {
        case 1:
            pLen = &tracks.uiLen1, pArea = tracks.abTrack1, area = sizeof tracks.abTrack1;
            break;
        case 2:
            pLen = &tracks.uiLen2, pArea = tracks.abTrack2, area = sizeof tracks.abTrack2;
            break;
        case 3:
            pLen = &tracks.uiLen3, pArea = tracks.abTrack3, area = sizeof tracks.abTrack3;
            break;
        default:
            return true; // any other track number: an empty record goes on
        }
        if (uiLen == 0 || uiLen >= area || !pData) {
            SetRecord(pRet, ToInt(Code::BadArgument), 0);
            result = 1;
            return false;
        }
        *pLen = uiLen;
        std::memcpy(pArea, pData, uiLen);
        return true;
    };
    return iRun("WriteTrack", pRet, check,
                [&](OIdcDriver* d) { return d->WriteTrack(&tracks, pRet); });
}

void OIdcManager::GetLogicalDevName(char* pName) {
    OCallTrace scope(pTraceLog(), "GetLogicalDevName", kTraceLevel);
    if (pName) {
        std::lock_guard<std::mutex> guard(g_nameLock);
        CopyText(pName, kNameField, m_acDevName);
    }
}

void OIdcManager::SetLogicalDevName(const char* pName) {
    OCallTrace scope(pTraceLog(), "SetLogicalDevName", kTraceLevel);
    if (pName) {
        // The field holds 31 characters and a terminator; a longer name is cut.
        std::lock_guard<std::mutex> guard(g_nameLock);
        std::memset(m_acDevName, 0, kNameField);
        CopyText(m_acDevName, kNameField, pName);
    }
}

} // namespace quillon
