// OSerialReaderC: family C over the serial line (CardReaderType 3). Two-digit
// ASCII commands go through family C's exchange (exchange_c.h); this class
// holds the operations: which commands go out in which order, what they take
// from the replies, and which outcome reaches the caller's record.
#pragma once

#include <cstdint>

#include "readers/family_c/exchange_c.h"
#include "readers/reader_base.h"

namespace quillon {

class OSerialReaderC : public OSerialReaderBase {
public:
    explicit OSerialReaderC(quillon::OReaderComm* pComm);

    // Opens the port at 9600 baud, 8 data bits, no parity, one stop bit,
    // whatever speed the configuration gives.
    tDriverResult SetCommPara() override;

    tDriverResult Init(int iMode) override;
    tDriverResult GetStatus(tIdcStatus* pStatus) override;
    tDriverResult AcceptCard(int iMode) override;
    // The chip type recorded by ChipPower picks the command form; the
    // selector is not used.
    tDriverResult ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
                         uint32_t* pReplyLen) override;
    // Actions 1 and 2 power on: uArg2 = answer-to-reset buffer (out), uArg3 =
    // its length (uint32_t*, out), pArg4 = chip type (uint32_t*, out).
    // Action 3 powers off and sets the chip type to 255.
    tDriverResult ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4) override;
    tDriverResult EjectCard() override;
    tDriverResult ReadTrack(tIdcTracks* pTracks) override;
    tDriverResult RetainCard(uint32_t* pRetainCount) override;
    // Not supported by this family: NotSupported with flags 0, result 1, nothing sent.
    tDriverResult GetLifeInfo(tIdcLife* pLife) override;
    tDriverResult ResetCount(int iCounter) override;
    tDriverResult WriteTrack(tIdcTracks* pTracks) override;
    tDriverResult ReleaseAntiFishing() override;

private:
    using tData = quillon::famc::tData;

    // A command's own end: its code with flags by the code's class, the
    // result the flag.
    static tDriverResult Sent(quillon::Code eCode) {
        const tOutcome tShown = quillon::OutcomeOf(eCode);
        return tDriverResult::Shown(tShown.eCode, tShown.iFlag, tShown.iFlag);
    }
    static tOutcome Shown(const tDriverResult& r) { return {r.eCode, r.iFlag}; }

    tCommandReply tSend(const char* pCommand, uint32_t uiArea, uint32_t uiTimeoutMs, tData& data) {
        return quillon::famc::Exchange(m_pComm, pCommand, uiArea, uiTimeoutMs, data);
    }
    // A command whose reply is not looked at beyond its code.
    tCommandReply tSend(const char* pCommand, uint32_t uiArea, uint32_t uiTimeoutMs) {
        tData data;
        return tSend(pCommand, uiArea, uiTimeoutMs, data);
    }
    // How an operation that sent something ends: what the caller's record
    // shows, and what the communication object keeps as the last outcome
    // (the next GetStatus reports it again when its flags are 1).
    tDriverResult tEnd(const tDriverResult& tShownEnd, const tOutcome& tLast) {
        m_pComm->vRecordOutcome(tLast);
        return tShownEnd;
    }
    tDriverResult tEnd(const tDriverResult& tShownEnd) { return tEnd(tShownEnd, Shown(tShownEnd)); }
    static tDriverResult tNotSupported() {
        return tDriverResult::Shown(quillon::Code::NotSupported, 0, 1);
    }

    // "10" into pOut (null: only the driver's record keeps what it tells);
    // kept is the outcome the previous step left, reported again when it failed.
    tDriverResult tReadStatus(const tOutcome& kept, tIdcStatus* pOut);
    // The status refresh that ends an operation `op` (its own outcome and
    // result) after steps that left `kept` as the last outcome: the
    // refreshed outcome is shown only when it is of the same class as the
    // result; otherwise the operation's own outcome stays.
    tDriverResult tRefreshed(const tDriverResult& op, const tOutcome& kept);
    tDriverResult tRefreshed(const tDriverResult& op) { return tRefreshed(op, Shown(op)); }
    tDriverResult tEject();
    // Chip power-on (actions 1 and 2): detection, activation, answer to reset.
    tDriverResult tChipOn(uint8_t* pAtr, uint32_t* pAtrLen, uint32_t* pType);
    void vChipOff() {
        m_status.usField[kStChipPower] = 2;
        m_status.usField[kStChipType] = 255;
    }
};

} // namespace quillon
