// OHidReaderA: family A over USB HID (CardReaderType 4 and 5). The
// operations, command texts and reply-code map are those of OFamilyAReader;
// each command travels in one output report and its reply in one input
// report, with no framing, check byte or handshake. There is no auxiliary
// module. Where this reader behaves otherwise than the serial one is its
// profile (hid_reader_a.cpp).
#pragma once

#include "readers/family_a/family_a_reader.h"
#include "readers/hid_link.h"

namespace quillon {

class OHidReaderA : public OFamilyAReader {
public:
    explicit OHidReaderA(quillon::OReaderComm* pComm);

    // Looks for the device of the configured reader type's variant.
    // 0 when the device was found; the record is not written.
    tDriverResult SetCommPara() override;

    // The output report is written (what is queued from before is dropped
    // first), and the first input report within the caller's time-out whose
    // echo is the command's two characters is the reply. The whole reply
    // text is handed back for acReplyText. A write or read that fails, a
    // command that does not fit one report (BadArgument), and a reply text
    // shorter than its header, longer than acReplyText, than the report read
    // or than the caller's buffer take: CommFailed, nothing copied.
    tCommandReply tExchange(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                            uint32_t uiReplySize, uint32_t uiTimeoutMs) override;

protected:
    // CommFailed; nothing is sent.
    quillon::Code eRejectReply() override { return quillon::Code::CommFailed; }

private:
    OHidLink m_link;
};

} // namespace quillon
