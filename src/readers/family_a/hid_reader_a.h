// OHidReaderA: family A over USB HID (CardReaderType 4 and 5). The commands,
// their time-outs and the reply-code map are those of OFamilyAReader; each
// command travels in one output report and its reply in one input report,
// with no framing, check byte or handshake. There is no auxiliary module.
// The steps in which this reader behaves otherwise than the serial one are
// the overrides below.
#pragma once

#include "readers/family_a/family_a_reader.h"
#include "readers/hid_link.h"

class OHidReaderA : public OFamilyAReader {
public:
    static constexpr uint8_t kReportId = 0x02;

    explicit OHidReaderA(OReaderComm* pComm);

    // CardReaderType 4 or not configured: 04A4/008B; any other value:
    // 0590/0035. 0 when the device was found; the record is not written.
    int SetCommPara(tDevReturn* pRet) override;

    // The output report is written (what is queued from before is dropped
    // first), and the first input report within the caller's time-out whose
    // echo is the command's two characters is the reply: report ID, reply
    // text length L (high byte first), reply text (kind, echo, status,
    // data). The whole reply text goes to acReplyText. A write or read that
    // fails, a command that does not fit one report (BadArgument), and a reply text
    // shorter than its header, longer than acReplyText, than the report read
    // or than the caller's buffer take: CommFailed, nothing copied.
    int iExecCommand(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply, uint32_t* pReplyLen,
                     tDevReturn* pRet, uint32_t uiTimeoutMs) override;

    // "C41", then "CQ0" with a record of its own whatever "C41" did. Only
    // after a successful "C41" do the entry state and the counter change; a
    // full counter is not cleared here.
    int RetainCard(uint32_t* pRetainCount, tDevReturn* pRet) override;

protected:
    const char* pResetCommand(int iMode) const override;
    void vAfterReset(tDevReturn*) override {} // no module, reader and chip state kept
    void vApplyConfig() override;
    void vDecodeSensors(const uint8_t* pData, tIdcStatus* pStatus, tDevReturn* pRet) override;
    // Nothing to write: Refused as the result, the record untouched.
    int iRefuseEmptyWrite(tDevReturn*) override { return ToInt(quillon::Code::Refused); }
    int iRefuseChipReset(tDevReturn*) override { return 1; } // record untouched
    // As the exchange ends a broken reply: CommFailed, nothing sent.
    int iBrokenReply(tDevReturn* pRet) override {
        return iReport(ToInt(quillon::Code::CommFailed), pRet);
    }
    uint32_t uiChipPrepareTimeoutMs() const override { return 10000; }
    bool bSwitchOffReportsType() const override { return false; }
    bool bCounterExists(int) const override { return true; }
    int iModuleEntry(tDevReturn*) override { return 0; }      // nothing sent, record untouched
    int iRefuseOutOfRange(tDevReturn*) override { return 0; } // nothing sent, record untouched
    int iOtherEntryMode(int iMode, tDevReturn* pRet) override;
    int iRefuseNoChip(tDevReturn*) override { return 0; } // nothing sent, record untouched

private:
    OHidLink m_link;
};
