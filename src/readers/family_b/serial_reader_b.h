// OSerialReaderB: family B over the serial line (CardReaderType 2). The
// operations are those of OFamilyBReader; this class supplies the serial
// exchange (0xF2 frame with CRC-16/XMODEM, single-byte ACK) and opens the
// port.
#pragma once

#include "readers/family_b/family_b_reader.h"

namespace quillon {

class OSerialReaderB : public OFamilyBReader {
public:
    using OFamilyBReader::OFamilyBReader;

    tDriverResult SetCommPara() override { return tOpenPort(); }

    // Frames the command, sends it, waits 3000 ms for ACK and the caller's
    // time-out for the reply (the whole reply frame at most that plus the
    // wire time of 1024 bytes plus a second, else NoReply), checks start byte
    // and CRC, ACKs the reply. A reply that did not come (NoReply) is
    // cancelled with DLE EOT.
    tCommandReply tExchange(const uint8_t* pCommand, uint32_t uiCommandLen, uint8_t* pData,
                            uint32_t uiDataSize, uint32_t uiTimeoutMs) override;

private:
    // The reply frame into the decoder: Ok once it is whole and sound,
    // NoReply when it did not come in time, BrokenFrame otherwise.
    quillon::Code eReceiveFrame(quillon::famb::OFrameDecoder& decoder, uint32_t uiTimeoutMs);
};

} // namespace quillon
