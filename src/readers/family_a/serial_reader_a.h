// OSerialReaderA: family A over the serial line (CardReaderType 1). Supplies
// the DLE-framed exchange with its ACK/ENQ handshake, and owns the auxiliary
// module that shares the line and hands it to the operations.
#pragma once

#include <memory>

#include "readers/family_a/aux_module.h"
#include "readers/family_a/family_a_reader.h"

namespace quillon {

class OSerialReaderA : public OFamilyAReader {
public:
    static constexpr uint32_t kSendSize = 512;  // a framed command must fit
    static constexpr uint32_t kRecvSize = 1024; // a whole reply frame must fit

    explicit OSerialReaderA(quillon::OReaderComm* pComm);
    ~OSerialReaderA() override;

    tDriverResult SetCommPara() override { return tOpenPort(); }

    // DLE STX text DLE ETX BCC: a refused frame is sent again, three times in
    // all (BadArgument); no acknowledgement within 3000 ms ends it at once (NoAck); a
    // reply byte missing, a reply not whole by the frame's deadline (the
    // time-out plus the wire time of 1024 bytes plus a second), a reply that
    // would not fit the receive buffer or the caller's, or one shorter than
    // its header ends it with NoReply and DLE EOT. A frame longer than 512
    // bytes is refused (BadArgument), unsent.
    tCommandReply tExchange(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                            uint32_t uiReplySize, uint32_t uiTimeoutMs) override;

protected:
    // DLE EOT, and NoReply.
    quillon::Code eRejectReply() override;

private:
    OSerialReaderA(quillon::OReaderComm* pComm, std::unique_ptr<OAuxModule> pModule);
    // Sends the frame until the reader acknowledges it.
    quillon::Code eHandOver(const uint8_t* pFrame, uint32_t uiLen);
    // Receives the reply frame: the header into x, the data into pReply.
    quillon::Code eReceive(tCommandReply& x, uint8_t* pReply, uint32_t uiReplySize,
                           uint32_t uiTimeoutMs);

    std::unique_ptr<OAuxModule> m_pAuxModule;
};

} // namespace quillon
