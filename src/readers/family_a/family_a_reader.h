// OFamilyAReader: the operations of a family-A reader, written once against
// the command exchange iExecCommand. A transport supplies the exchange and
// SetCommPara (OSerialReaderA: DLE frames on the serial line, plus the
// auxiliary module; the USB twin: HID reports). The steps in which the USB
// twin behaves differently are the protected virtual steps below; each
// default is what the serial driver does.
#pragma once

#include <cstdint>

#include "readers/reader_base.h"

class OFamilyAReader : public OReaderBase {
public:
    static constexpr uint32_t kReplyHeader = 5; // kind, two echo characters, two status characters

    // 16-bit fields of the capability record (index = byte offset / 2).
    enum CapField : int {
        kCapIdentified = 0, // 1 once "CV0" identified the model
        kCapIntake = 1,     // IntakeMode command: 1 accepted, 2 failed
        kCapAct = 2,        // ActMode command: same scheme
        kCapModule = 3,     // auxiliary module: 0 not probed, 1 probed, 2 absent
        kCapConfigured = 4, // 2 once the configuration ran
        kCapProtocol = 5,   // 1 "CY105", 2 "CY100"
        kCapCounterMax = 6, // 999
        kCapRetainCount = 7,
    };

    explicit OFamilyAReader(OReaderComm* pComm);

    int Init(int iMode, tDevReturn* pRet) override;
    int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) override;
    int AcceptCard(int iMode, tDevReturn* pRet) override;
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* pRet) override;
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                  tDevReturn* pRet) override;
    int EjectCard(tDevReturn* pRet) override;
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) override;
    int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int ResetCount(int iCounter, tDevReturn* pRet) override;
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) override;
    int ReleaseAntiFishing(tDevReturn* pRet) override;
    int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;

    // Family A readers refuse to release the anti-fishing lock: AntiFishingRefused, flags 1.
    static int iRefuseAntiFishing(tDevReturn* pRet);

    // Reply kind ('P' or 'N') and the two status characters, the first in the
    // high byte ("00" = 0x3030), to a library code; UnknownReply for anything unknown.
    static int iMapReplyCode(uint8_t byKind, uint16_t usStatus);

    // One command to the reader and its reply. Sends uiLen & 0xFFFF text
    // bytes; *pReplyLen is in: the size of pReply, out: the reply data length
    // (the reply text without its five header bytes). Stores the reply header
    // at the start of acReplyText and records the exchange's code through
    // vReportResult. Returns 0 or 1.
    virtual int iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                             uint32_t* pReplyLen, tDevReturn* pRet, uint32_t uiTimeoutMs) = 0;

protected:
    // --- Steps the USB twin changes; the defaults are the serial driver's. ---
    // Reset command of an Init mode; null refuses the mode.
    virtual const char* pResetCommand(int iMode) const;
    // Init after a successful reset: reader state on "P02", the auxiliary
    // module's probe (vProbeModule), no chip type any more.
    virtual void vAfterReset(tDevReturn* pRet);
    // Configuration once the model is "Omron-V2XF" or "Omron-V2CF".
    virtual void vApplyConfig();
    // Turns the "C11" reply data into the caller's status fields.
    virtual void vDecodeSensors(const uint8_t* pData, tIdcStatus* pStatus, tDevReturn* pRet);
    // Init mode or ChipPower action outside the range: BadArgument, flags 1.
    virtual int iRefuseOutOfRange(tDevReturn* pRet);
    // AcceptCard mode outside 1 to 6: BadArgument, flags 1.
    virtual int iOtherEntryMode(int iMode, tDevReturn* pRet);
    // ChipIO with no chip activated: Unavailable, flags 1.
    virtual int iRefuseNoChip(tDevReturn* pRet);
    // WriteTrack with no track to write: BadArgument, flags 1.
    virtual int iRefuseEmptyWrite(tDevReturn* pRet);
    // Chip reset with a memory chip or no chip: Unavailable, flags 1.
    virtual int iRefuseChipReset(tDevReturn* pRet);
    // A reply whose data is not laid out as the command's answer: DLE EOT and
    // NoReply, as the exchange ends a reply that did not arrive whole.
    virtual int iBrokenReply(tDevReturn* pRet);
    // Time-out of the "CC0" that prepares an activation.
    virtual uint32_t uiChipPrepareTimeoutMs() const { return 20000; }
    // Whether the switch-off hands the chip type 255 back to the caller.
    virtual bool bSwitchOffReportsType() const { return true; }
    // Counter numbers ResetCount accepts (only 0 exists).
    virtual bool bCounterExists(int iCounter) const { return iCounter == 0; }

    // --- The auxiliary module; a reader without one keeps these defaults. ---
    virtual void vProbeModule(tDevReturn*) {}
    virtual void vReadModuleSensors(tIdcStatus*, tDevReturn*) {}
    // Card entry from the module (AcceptCard mode 6): without a module Unavailable.
    virtual int iModuleEntry(tDevReturn* pRet);

    // --- Helpers for the operations. ---
    // An ASCII command; the reply data lands in pReply (a scratch buffer of
    // 256 bytes when null).
    int iCommand(const char* pText, uint32_t uiTimeoutMs, tDevReturn* pRet,
                 uint8_t* pReply = nullptr, uint32_t uiReplySize = 0,
                 uint32_t* pReplyLen = nullptr);
    // "CQ0": on success the three-digit retain counter goes to the capability
    // record, status field 2 and *pCount (when given).
    int iReadRetainCounter(tDevReturn* pRet, uint32_t* pCount);
    // A fixed-width decimal field as the reader sends it (each character
    // minus '0', weighted by powers of ten); -1 when a character is no digit.
    static int iDigits(const uint8_t* p, int iCount);
    // The retain counter: the first three characters of a "CQ0" reply of
    // uiLen data bytes; -1 when they are not three digits (a broken reply).
    static int iRetainCounter(const uint8_t* pData, uint32_t uiLen) {
        return uiLen < 3 ? -1 : iDigits(pData, 3);
    }
    // The sensor characters of the "C11" reply data: fields 5 to 8, and
    // field 10 when the card-entry state no longer fits the sensors.
    static void vDecodeSensorCharacters(const uint8_t* pData, uint16_t* pField);
    // "CUA032": its reply data, at most 31 bytes, into capability offset 112.
    void vReadReaderInfo(tDevReturn* pRet);
    uint16_t& usStatus(int iField) { return m_status.usField[iField]; }
    uint16_t& usCap(int iField) { return m_caps.usField[iField]; }

private:
    // A mode key of the configuration: value 0 sends pCmd0 (state 3), 1 sends
    // pCmd1 (state 1), any other value sends nothing and is the state.
    void vApplyModeKey(const char* pKey, const char* pCmd0, const char* pCmd1, int iCapField,
                       int iStatusField, tDevReturn* pRet);
    int iActivateChip(uint8_t* pAnswer, uint32_t* pAnswerLen, uint32_t* pType, tDevReturn* pRet);
    int iResetChip(uint8_t* pAnswer, uint32_t* pAnswerLen, tDevReturn* pRet);
    // Three command characters followed by the caller's bytes, built in a
    // zero-filled buffer of uiBufSize bytes; the reply data to the caller.
    int iChipCommand(const char* pPrefix, const uint8_t* pCommand, int iCommandLen,
                     uint32_t uiBufSize, uint8_t* pReply, uint32_t* pReplyLen, tDevReturn* pRet);
    int iChipBlocks(const uint8_t* pCommand, int iCommandLen, uint8_t* pReply, uint32_t* pReplyLen,
                    tDevReturn* pRet);
};
