// OFamilyAReader: the operations of a family-A reader, written once for the
// serial and the USB twin. A twin supplies the transport (tExchange: one
// command and its reply; eRejectReply: how a reply that is not laid out as
// the command's answer ends), its constant profile (what it does otherwise)
// and, on the serial line, the auxiliary module.
//
// Every exchange hands back a tCommandReply; an operation gathers what its
// exchanges returned in its tDriverResult and ends it once (tFinish). The operations live in
// family_a_init.cpp, family_a_status.cpp, family_a_tracks.cpp, family_a_chip.cpp and here.
#pragma once

#include <cstdint>

#include "readers/family_a/family_a_profile.h"
#include "readers/family_a/reply_a.h"
#include "readers/reader_base.h"

namespace quillon {

class OAuxModule;

class OFamilyAReader : public OReaderBase {
public:
    static constexpr uint32_t kReplyHeader = quillon::kReplyHeaderA;

    // pModule: the auxiliary module on the reader's line, null for none.
    OFamilyAReader(quillon::OReaderComm* pComm, const tFamilyAProfile& profile,
                   OAuxModule* pModule);

    tDriverResult Init(int iMode) override;
    tDriverResult GetStatus(tIdcStatus* pStatus) override;
    tDriverResult AcceptCard(int iMode) override;
    tDriverResult ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                         uint32_t* pReplyLen) override;
    tDriverResult ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4) override;
    tDriverResult EjectCard() override;
    tDriverResult GetLifeInfo(tIdcLife* pLife) override;
    tDriverResult ReadTrack(tIdcTracks* pTracks) override;
    tDriverResult ResetCount(int iCounter) override;
    tDriverResult RetainCard(uint32_t* pRetainCount) override;
    // Family A readers refuse to release the anti-fishing lock: AntiFishingRefused, flags 1.
    tDriverResult ReleaseAntiFishing() override;
    tDriverResult WriteTrack(tIdcTracks* pTracks) override;

    // Reply kind and status (the first character in the high byte) to a
    // library code; UnknownReply for anything unknown.
    static int iMapReplyCode(uint8_t byKind, uint16_t usStatus) {
        return ToInt(quillon::MapReplyA(byKind, usStatus));
    }

    // One command as an operation of its own: the twin's exchange, ended
    // as an operation ends. *pReplyLen is in: the size of pReply, out: the
    // reply data length.
    tDriverResult tExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                               uint32_t* pReplyLen, uint32_t uiTimeoutMs);

    // --- The transport. ---
    // One command (uiLen & 0xFFFF text bytes) and its reply; the reply data
    // goes to pReply (at most uiReplySize bytes, else the exchange fails).
    virtual tCommandReply tExchange(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                                    uint32_t uiReplySize, uint32_t uiTimeoutMs) = 0;

    // The auxiliary-module entry flag: one for the whole process, clear at
    // load, set by the first card entry through the module (AcceptCard mode
    // 6); from then on every entry through the module re-initialises it first.
    static bool bModuleEntryDone() { return s_bModuleEntryDone; }

protected:
    // Ends a reply whose data is not laid out as the command's answer, as
    // the exchange ends a reply that did not arrive whole; that code.
    virtual quillon::Code eRejectReply() = 0;

    // A command through the exchange; its code and reply text go to o. The
    // reply data lands in pReply (a 256-byte scratch buffer when null), its
    // length in *pDataLen. Returns the exchange's code.
    quillon::Code eSend(tDriverResult& o, const uint8_t* pText, uint32_t uiLen,
                        uint32_t uiTimeoutMs, uint8_t* pReply = nullptr, uint32_t uiReplySize = 0,
                        uint32_t* pDataLen = nullptr);
    quillon::Code eCommand(tDriverResult& o, const char* pText, uint32_t uiTimeoutMs,
                           uint8_t* pReply = nullptr, uint32_t uiReplySize = 0,
                           uint32_t* pDataLen = nullptr);
    // The reply was not laid out as the command's answer.
    quillon::Code eBroken(tDriverResult& o) { return o.eCode = eRejectReply(); }
    // A call refused without anything sent, as the profile says.
    static tDriverResult tRefused(const tRefusalA& t) {
        return t.eCode != quillon::Code::Ok ? tDriverResult::Shown(t.eCode, 1, t.iResult)
                                            : tDriverResult::Untouched(t.iResult);
    }

    // "CQ0": the three-digit retain counter; -1 when the command failed or
    // its reply carries no counter (the reply is then rejected).
    int iReadRetainCounter(tDriverResult& o);
    void vStoreRetainCounter(uint16_t usCount) {
        usCap(kCapRetainCount) = usCount;
        usStatus(kStRetainCount) = usCount;
    }
    // A fixed-width decimal field as the reader sends it (each character
    // minus '0', weighted by powers of ten); -1 when a character is no digit.
    static int iDigits(const uint8_t* p, int iCount);

    const tFamilyAProfile& m_profile;
    OAuxModule* const m_pModule;

private:
    // Init's parts.
    void vIdentify(const uint8_t* pData);
    void vApplyConfig();
    void vApplyKey(const tConfigKeyA& k, tDriverResult& own);
    void vReadReaderInfo(tDriverResult& own);
    // The auxiliary module: probed at Init, its sensors at GetStatus, and
    // card entry through it (AcceptCard mode 6).
    void vProbeModule(tDriverResult& o);
    void vReadModuleSensors(tIdcStatus* pStatus, tDriverResult& o);
    tDriverResult tModuleEntry();
    // The "C11" reply into the caller's status fields.
    void vDecodeSensors(const uint8_t* pData, quillon::Code eCode, tIdcStatus* pStatus);
    tDriverResult tOtherEntryMode(int iMode);
    // Chip operations.
    tDriverResult tActivateChip(uint8_t* pAnswer, uint32_t* pAnswerLen, uint32_t* pType);
    tDriverResult tResetChip(uint8_t* pAnswer, uint32_t* pAnswerLen);
    tDriverResult tSwitchOffChip(uint32_t* pType);
    tDriverResult tChipCommand(const char* pPrefix, const uint8_t* pCommand, int iCommandLen,
                               uint32_t uiBufSize, uint8_t* pReply, uint32_t* pReplyLen);
    tDriverResult tChipBlocks(const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                              uint32_t* pReplyLen);

    static bool s_bModuleEntryDone;
};

} // namespace quillon
