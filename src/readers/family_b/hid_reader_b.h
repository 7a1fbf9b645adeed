// OHidReaderB: family B over USB HID (CardReaderType 6). The operations are
// those of OFamilyBReader, step for step; this class supplies the exchange
// over HID reports (no CRC, no acknowledgement) and opens the USB device
// named by "VID" and "PID" in section "USB".
#pragma once

#include "readers/family_b/family_b_reader.h"
#include "readers/hid_link.h"

namespace quillon {

class OHidReaderB : public OFamilyBReader {
public:
    using OFamilyBReader::OFamilyBReader;

    // Type 6 (or not configured): searches "USB"/"VID", "USB"/"PID" (0 when
    // missing) and returns 0 when found, else 1. Any other type opens
    // nothing: 0 when "VID" is configured, else 1. The record is not written.
    tDriverResult SetCommPara() override;

    // One output report (what is queued from before is dropped first); the
    // first input report whose echo answers the command announces the
    // payload length L, and the reports that carry the rest of it follow
    // 64 bytes apart. A failed write or no answering first report within
    // the time-out: CommFailed; a command that does not fit one report: BadArgument,
    // unsent; a payload shorter than its header or longer than the receive
    // buffer: CommFailed, nothing taken; a reply not complete within the time-out
    // plus one second: NoReply, nothing taken.
    tCommandReply tExchange(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                            uint32_t uiDataSize, uint32_t uiTimeoutMs) override;

private:
    OHidLink m_link;
};

} // namespace quillon
