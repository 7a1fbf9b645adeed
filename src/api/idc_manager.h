// OIdcManager: the one object behind the exports. Serialises every operation
// with the named mutex "CARDREADER", traces it, applies the manager's own
// argument checks and forwards it to the active driver. It alone writes the
// caller's record (iWriteRecord). An operation that returns 1 always leaves
// a failure code in the caller's record.
#pragma once

#include <cstdint>

#include "platform/system.h"
#include "quillon/idc.h"
#include "readers/driver_result.h"
#include "readers/reader_type.h"

namespace quillon {

class OIdcDriver;
class OReaderRegistry;
class OCallTrace;
class OTraceLog;

class OIdcManager {
public:
    OIdcManager();
    virtual ~OIdcManager();
    OIdcManager(const OIdcManager&) = delete;
    OIdcManager& operator=(const OIdcManager&) = delete;

    int SetCommPara(tDevReturn* pRet);
    int Init(int iMode, tDevReturn* pRet);
    int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet);
    int AcceptCard(int iMode, tDevReturn* pRet);
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* pRet);
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4, tDevReturn* pRet);
    int EjectCard(tDevReturn* pRet);
    int GetCapabilities(tIdcCaps* pCaps, tDevReturn* pRet);
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet);
    int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet);
    int Reset(tDevReturn* pRet);
    int ResetCount(int iCounter, tDevReturn* pRet);
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet);
    int ReleaseAntiFishing(tDevReturn* pRet);
    int WriteTrack(int iTrack, const uint8_t* pData, uint32_t uiLen, tDevReturn* pRet);
    // What the library knows of the reader it serves; nothing is sent.
    int GetReaderInfo(tQuillonReaderInfo* pInfo, tDevReturn* pRet);
    void GetLogicalDevName(char* pName);
    void SetLogicalDevName(const char* pName);

    // The one place a caller's record is written: from a driver's result,
    // the manager's own refusals, or the exports' (no manager). Returns the
    // operation's result.
    static int iWriteRecord(const tDriverResult& tResult, tDevReturn* pRet);
    // The manager's argument check of ChipIO: the reply buffer and its length
    // given, the command's length not negative, its bytes given unless empty.
    static bool bChipIOArgumentsGood(const uint8_t* pCommand, int iCommandLen,
                                     const uint8_t* pReply, const uint32_t* pReplyLen);

    // False when construction could not allocate what every operation needs.
    bool bValid() const;

    OReaderRegistry* pRegistry() const { return m_pRegistry; }
    OIdcDriver* pActiveDriver() const { return m_pActive; }
    // Makes this driver the active one, as a selection would.
    void vSetActiveDriver(OIdcDriver* pDriver) {
        m_pActive = pDriver;
        m_eSelectedType = ReaderType::None;
    }
    const char* pLockName() const;
    // Operations waiting for the named mutex now, or from now on, give up
    // with CommFailed; for a manager about to be destroyed.
    void vAbandonLockWaits() {
        if (m_pLock)
            m_pLock->vAbandonWaits();
    }

private:
    // The common sequence: lock, enter line, the operation's result (a
    // refusal or the driver's), the record written, leave line. Init
    // (bTakeName) first copies the device name into the trace name.
    template <class Produce>
    int iRun(const char* pOperation, tDevReturn* pRet, Produce tProduce, bool bTakeName = false);
    // The driver call of an operation, or CommFailed when no driver is
    // active; tCurrent is the caller's record as it stands.
    template <class Call> tDriverResult tCallDriver(const tDevReturn& tCurrent, Call call);
    // How long an operation waits for the named lock: [CARDREADER] LockWaitMs,
    // 0 (without limit) when absent or not positive. Read again only when
    // the configuration file is another or has changed.
    uint32_t uiLockWaitMs();
    // An operation that could not have the lock: CommFailed, nothing sent.
    int iLockRefused(const char* pOperation, tDevReturn* pRet);
    // Under the lock: hands the logical name to the communication object.
    void vApplyDevName();
    OTraceLog* pTraceLog() const;

    OReaderRegistry* m_pRegistry;
    OIdcDriver* m_pActive;
    // The reader type the last selection settled on (None: none yet, or the
    // driver set by hand).
    ReaderType m_eSelectedType = ReaderType::None;
    char m_acTraceName[128];
    ONamedMutex* m_pLock;
    // The logical device name. SetLogicalDevName writes it here, without the
    // named lock; each locked operation copies it into the communication
    // object's field, which only locked operations read and write.
    char m_acDevName[32];
    // LockWaitMs as last read, and the configuration file it came from.
    struct tLockWait {
        bool bRead = false;
        bool bFileFound = false;
        uint32_t uiMs = 0;
        tFileStamp stamp;
        char acPath[512] = {};
    } m_lockWait;
};

} // namespace quillon
