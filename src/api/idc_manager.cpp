#include "api/idc_manager.h"

#include <cstring>
#include <mutex>
#include <new>

#include "api/reader_info.h"
#include "api/reader_registry.h"
#include "infra/bounded_copy.h"
#include "infra/call_trace.h"
#include "infra/reader_comm.h"
#include "infra/result_codes.h"
#include "infra/trace_log.h"
#include "platform/config_store.h"
#include "platform/system.h"
#include "readers/idc_driver.h"
#include "readers/reader_variants.h"

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
const bool kForkHandlersSet = (AtFork(&BeforeFork, &AfterFork, &AfterFork), true);

// An output the caller did not give is an argument refused before any
// reader access: BadArgument with flags 1.
tDriverResult Refused() {
    return tDriverResult::BadArgument();
}

// The caller's records are byte-packed and may lie at any address: a driver
// works on an aligned copy of the record as it stands, which goes back whole.
template <class Record> struct tAligned {
    explicit tAligned(Record* pCaller) : m_pCaller(pCaller) {
        std::memcpy(&m_copy, pCaller, sizeof m_copy);
    }
    ~tAligned() { std::memcpy(m_pCaller, &m_copy, sizeof m_copy); }
    tAligned(const tAligned&) = delete;
    tAligned& operator=(const tAligned&) = delete;
    Record* pGet() { return &m_copy; }

private:
    Record* m_pCaller;
    alignas(alignof(uint32_t)) Record m_copy;
};

// The driver's call on an aligned copy of the caller's record; a null
// record is refused before the driver is asked.
template <class Record, class Call> tDriverResult tOnCopy(Record* pRecord, Call call) {
    if (!pRecord)
        return Refused();
    tAligned<Record> copy(pRecord);
    return call(copy.pGet());
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

int OIdcManager::iWriteRecord(const tDriverResult& tResult, tDevReturn* pRet) {
    if (tResult.bWrites) {
        pRet->iCode1 = pRet->iCode2 = ToInt(tResult.eCode);
        pRet->iErrFlag1 = pRet->iErrFlag2 = tResult.iFlag;
        const uint32_t uiLen = tResult.uiTextLen < sizeof pRet->acReplyText
                                   ? tResult.uiTextLen
                                   : static_cast<uint32_t>(sizeof pRet->acReplyText);
        if (uiLen)
            std::memcpy(pRet->acReplyText, tResult.abText, uiLen);
    }
    return tResult.iResult;
}

bool OIdcManager::bChipIOArgumentsGood(const uint8_t* pCommand, int iCommandLen,
                                       const uint8_t* pReply, const uint32_t* pReplyLen) {
    return pReply && pReplyLen && iCommandLen >= 0 && (pCommand || iCommandLen == 0);
}

int OIdcManager::iLockRefused(const char* pOperation, tDevReturn* pRet) {
    const int iResult = iWriteRecord(tDriverResult::Shown(Code::CommFailed, 1, 1), pRet);
    OCallTrace scope(pTraceLog(), pOperation, kTraceLevel);
    const char* pNote = ONamedMutex::pRefusalNote();
    if (*pNote && pTraceLog())
        pTraceLog()->iWriteTrace(kTraceLevel, "%s", pNote);
    scope.vSetOutcome(*pRet);
    return iResult;
}

void OIdcManager::vApplyDevName() {
    if (!m_pRegistry || !m_pRegistry->pComm())
        return;
    std::lock_guard<std::mutex> guard(g_nameLock);
    std::memcpy(m_pRegistry->pComm()->acDevName, m_acDevName, kNameField);
}

template <class Call>
tDriverResult OIdcManager::tCallDriver(const tDevReturn& tCurrent, Call call) {
    if (!m_pActive)
        return tDriverResult::Shown(Code::CommFailed, 1, 1);
    tDriverResult r = call(*m_pActive);
    // A failure must never reach the caller with a success code. Results
    // other than 1 (the track operations' library codes) are the caller's
    // to read as they are.
    const int iShownCode = r.bWrites ? ToInt(r.eCode) : tCurrent.iCode2;
    if (r.iResult == 1 && IsSuccessCode(iShownCode)) {
        r.bWrites = true;
        r.eCode = Code::CommFailed;
        r.iFlag = 1;
    }
    return r;
}

template <class Produce>
int OIdcManager::iRun(const char* pOperation, tDevReturn* pRet, Produce tProduce, bool bTakeName) {
    OScopedLock lock(*m_pLock, [this] { return uiLockWaitMs(); });
    if (!lock.bHeld())
        return iLockRefused(pOperation, pRet);
    vApplyDevName();
    if (bTakeName && m_pRegistry && m_pRegistry->pComm()) {
        std::memset(m_acTraceName, 0, sizeof m_acTraceName);
        CopyText(m_acTraceName, kNameField, m_pRegistry->pComm()->acDevName);
    }
    OCallTrace scope(pTraceLog(), pOperation, kTraceLevel);
    const int iResult = iWriteRecord(tProduce(), pRet);
    scope.vSetDevName(m_acTraceName);
    scope.vSetOutcome(*pRet);
    return iResult;
}

OTraceLog* OIdcManager::pTraceLog() const {
    return m_pRegistry ? m_pRegistry->pTraceLog() : nullptr;
}

int OIdcManager::SetCommPara(tDevReturn* pRet) {
    // The selection runs first, under the lock and inside the trace scope;
    // the type it found is written back to the configuration, so that the
    // next selection tries that family first; then the chosen driver opens
    // its connection.
    return iRun("SetCommPara", pRet, [&] {
        if (m_pRegistry) {
            const OReaderRegistry::tSelection tFound = m_pRegistry->tSelectDriver();
            if (tFound.bFound)
                m_pRegistry->vRememberType(tFound.eType);
            if (tFound.pDriver)
                m_pActive = tFound.pDriver;
            m_eSelectedType = tFound.eType;
        }
        return tCallDriver(*pRet, [](OIdcDriver& d) { return d.SetCommPara(); });
    });
}

int OIdcManager::Init(int iMode, tDevReturn* pRet) {
    return iRun(
        "Init", pRet,
        [&] { return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.Init(iMode); }); }, true);
}

int OIdcManager::GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) {
    OScopedLock lock(*m_pLock, [this] { return uiLockWaitMs(); });
    if (!lock.bHeld())
        return iLockRefused("GetStatus", pRet);
    vApplyDevName();
    const int iResult = iWriteRecord(
        tOnCopy(pStatus,
                [&](tIdcStatus* pCopy) {
                    return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.GetStatus(pCopy); });
                }),
        pRet);
    // A plain positive status is not traced; anything else is, after the call.
    if (pRet->iCode2 != ToInt(Code::Positive)) {
        OCallTrace scope(pTraceLog(), "GetStatus", kTraceLevel);
        scope.vSetDevName(m_acTraceName);
        scope.vSetOutcome(*pRet);
    }
    return iResult;
}

int OIdcManager::AcceptCard(int iMode, tDevReturn* pRet) {
    return iRun("AcceptCard", pRet, [&] {
        return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.AcceptCard(iMode); });
    });
}

int OIdcManager::ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                        uint32_t* pReplyLen, tDevReturn* pRet) {
    return iRun("ChipIO", pRet, [&] {
        if (!bChipIOArgumentsGood(pCommand, iCommandLen, pReply, pReplyLen))
            return Refused();
        return tCallDriver(*pRet, [&](OIdcDriver& d) {
            return d.ChipIO(iSelector, pCommand, iCommandLen, pReply, pReplyLen);
        });
    });
}

int OIdcManager::ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                           tDevReturn* pRet) {
    return iRun("ChipPower", pRet, [&] {
        return pArg4 ? tCallDriver(
                           *pRet,
                           [&](OIdcDriver& d) { return d.ChipPower(iAction, uArg2, uArg3, pArg4); })
                     : Refused();
    });
}

int OIdcManager::EjectCard(tDevReturn* pRet) {
    return iRun("EjectCard", pRet,
                [&] { return tCallDriver(*pRet, [](OIdcDriver& d) { return d.EjectCard(); }); });
}

int OIdcManager::GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet) {
    return iRun("GetCapabilities", pRet, [&] {
        return tOnCopy(pCaps, [&](tIdcCaps* pCopy) {
            return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.GetCapabilities(pCopy); });
        });
    });
}

int OIdcManager::GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) {
    return iRun("GetLifeInfo", pRet, [&] {
        return tOnCopy(pLife, [&](tIdcLife* pCopy) {
            return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.GetLifeInfo(pCopy); });
        });
    });
}

int OIdcManager::ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) {
    return iRun("ReadTrack", pRet, [&] {
        return tOnCopy(pTracks, [&](tIdcTracks* pCopy) {
            return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.ReadTrack(pCopy); });
        });
    });
}

int OIdcManager::Reset(tDevReturn* pRet) {
    return iRun("Reset", pRet,
                [&] { return tCallDriver(*pRet, [](OIdcDriver& d) { return d.Reset(); }); });
}

int OIdcManager::ResetCount(int iCounter, tDevReturn* pRet) {
    return iRun("ResetCount", pRet, [&] {
        return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.ResetCount(iCounter); });
    });
}

int OIdcManager::RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) {
    return iRun("RetainCard", pRet, [&] {
        return pRetainCount
                   ? tCallDriver(*pRet, [&](OIdcDriver& d) { return d.RetainCard(pRetainCount); })
                   : Refused();
    });
}

int OIdcManager::ReleaseAntiFishing(tDevReturn* pRet) {
    return iRun("ReleaseAntiFishing", pRet, [&] {
        return tCallDriver(*pRet, [](OIdcDriver& d) { return d.ReleaseAntiFishing(); });
    });
}

int OIdcManager::WriteTrack(int iTrack, const uint8_t* pData, uint32_t uiLen, tDevReturn* pRet) {
    alignas(alignof(uint32_t)) tIdcTracks tracks;
    std::memset(&tracks, 0, sizeof tracks);
    // Each area takes one byte fewer than its size; length 0 is refused (with
    // flags 0). Any other track number: an empty record goes on.
    uint32_t* apLen[3] = {&tracks.uiLen1, &tracks.uiLen2, &tracks.uiLen3};
    uint8_t* apArea[3] = {tracks.abTrack1, tracks.abTrack2, tracks.abTrack3};
    const size_t auiArea[3] = {sizeof tracks.abTrack1, sizeof tracks.abTrack2,
                               sizeof tracks.abTrack3};
    return iRun("WriteTrack", pRet, [&] {
        if (iTrack >= 1 && iTrack <= 3) {
            const int i = iTrack - 1;
            if (uiLen == 0 || uiLen >= auiArea[i] || !pData)
                return tDriverResult::Shown(Code::BadArgument, 0, 1);
            *apLen[i] = uiLen;
            std::memcpy(apArea[i], pData, uiLen);
        }
        return tCallDriver(*pRet, [&](OIdcDriver& d) { return d.WriteTrack(&tracks); });
    });
}

int OIdcManager::GetReaderInfo(tQuillonReaderInfo* pInfo, tDevReturn* pRet) {
    return iRun("GetReaderInfo", pRet, [&] {
        uint32_t uiSize = 0;
        if (pInfo)
            std::memcpy(&uiSize, &pInfo->uiSize, sizeof uiSize);
        if (!pInfo || uiSize < QUILLON_READER_INFO_MIN_SIZE || !m_pRegistry)
            return Refused();
        alignas(alignof(uint32_t)) tIdcCaps caps;
        // A type without a driver has no capabilities of its own.
        const bool bCaps = m_pActive && pVariantOf(m_eSelectedType) &&
                           m_pActive->GetCapabilities(&caps).iResult == 0;
        tQuillonReaderInfo info =
            ReaderInfoOf(m_eSelectedType, bCaps ? &caps : nullptr, *m_pRegistry->pComm());
        // As much as both sides know: a newer caller's further fields stay.
        info.uiSize = uiSize < sizeof info ? uiSize : static_cast<uint32_t>(sizeof info);
        std::memcpy(pInfo, &info, info.uiSize);
        return tDriverResult::Shown(Code::Ok, 0, 0);
    });
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
