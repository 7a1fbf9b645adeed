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
    int SetCommPara(tDevReturn* pRet) override;

    int Init(int iMode, tDevReturn* pRet) override;
    int GetStatus(tIdcStatus* pStatus, tDevReturn* pRet) override;
    int AcceptCard(int iMode, tDevReturn* pRet) override;
    // The chip type recorded by ChipPower picks the command form; the
    // selector is not used.
    int ChipIO(int iSelector, const uint8_t* pCommand, int iCommandLen, uint8_t* pReply,
               uint32_t* pReplyLen, tDevReturn* pRet) override;
    // Actions 1 and 2 power on: uArg2 = answer-to-reset buffer (out), uArg3 =
    // its length (uint32_t*, out), pArg4 = chip type (uint32_t*, out).
    // Action 3 powers off and sets the chip type to 255.
    int ChipPower(int iAction, uintptr_t uArg2, uintptr_t uArg3, void* pArg4,
                  tDevReturn* pRet) override;
    int EjectCard(tDevReturn* pRet) override;
    int ReadTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) override;
    // Not supported by this family: NotSupported with flags 0, result 1, nothing sent.
    int GetLifeInfo(tIdcLife* pLife, tDevReturn* pRet) override;
    int ResetCount(int iCounter, tDevReturn* pRet) override;
    int WriteTrack(tIdcTracks* pTracks, tDevReturn* pRet) override;
    int ReleaseAntiFishing(tDevReturn* pRet) override;

private:
    // An outcome as a result record shows it: the code and the class fields.
    struct tOutcome {
        quillon::Code eCode;
        int iFlag;
    };
    // How an operation ends: what the caller's record shows, what the
    // communication object keeps as the last outcome (the next GetStatus
    // reports it again when its class fields are 1), and the result.
    struct tEnd {
        tOutcome tRecord;
        tOutcome tLast;
        int iResult;
    };
    // A status read: its outcome and its result.
    struct tStatusRead {
        tOutcome tShown;
        int iResult;
    };

    // A command's own outcome: class fields 1 for a failure-class code.
    static tOutcome Outcome(quillon::Code eCode) {
        return {eCode, quillon::IsSuccess(eCode) ? 0 : 1};
    }
    // An end whose record is also the last outcome.
    static tEnd Shown(const tOutcome& shown, int iResult) { return {shown, shown, iResult}; }

    quillon::famc::tReply tSend(const char* pCommand, uint32_t uiArea, uint32_t uiTimeoutMs) {
        return quillon::famc::Exchange(m_pComm, pCommand, uiArea, uiTimeoutMs);
    }
    // The one place an operation that sent something writes the caller's
    // record (and the communication object's last outcome). Returns the result.
    int iEnd(const tEnd& end, tDevReturn* pRet);
    int iNotSupported(tDevReturn* pRet) {
        return iSetRecord(pRet, ToInt(quillon::Code::NotSupported), 0, 1);
    }

    // "10" into pOut (null: only the driver's record keeps what it tells);
    // kept is the outcome the previous step left, reported again when it failed.
    tStatusRead tReadStatus(const tOutcome& kept, tIdcStatus* pOut);
    // The status refresh that ends an operation whose result is iResult and
    // whose own outcome is `outcome`, after steps that left `last`: the
    // refreshed outcome is shown only when it is of the same class as the
    // result; otherwise the operation's own outcome stays.
    tOutcome tRefreshAfter(int iResult, const tOutcome& outcome, const tOutcome& last);
    // The same after one command, whose outcome decides the result.
    tOutcome tRefreshAfter(const tOutcome& sent) { return tRefreshAfter(sent.iFlag, sent, sent); }
    tEnd tEject();
    void vChipOff() {
        m_status.usField[kStChipPower] = 2;
        m_status.usField[kStChipType] = 255;
    }
};

} // namespace quillon
