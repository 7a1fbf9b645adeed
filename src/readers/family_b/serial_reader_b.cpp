#include "readers/family_b/serial_reader_b.h"

#include "infra/result_codes.h"

namespace quillon {

namespace {
constexpr uint32_t kAckTimeoutMs = 3000;
} // namespace

tCommandReply OSerialReaderB::tExchange(const uint8_t* pCommand, uint32_t uiCommandLen,
                                        uint8_t* pData, uint32_t uiDataSize, uint32_t uiTimeoutMs) {
    uint8_t frame[famb::kFrameHead + famb::kCommandMax + famb::kCrcLen] = {};
    const uint32_t frameLen = famb::EncodeFrame(pCommand, uiCommandLen, frame, sizeof frame);
    if (frameLen == 0)
        return famb::NoReplyWith(Code::BadArgument);

    // Whatever is left from an earlier exchange is not this reply.
    m_pComm->vDiscardInput();
    if (m_pComm->iWrite(frame, frameLen) != 0)
        return famb::NoReplyWith(Code::CommFailed);

    uint8_t ack = 0;
    uint32_t count = 1;
    Code code = Code::Ok;
    if (m_pComm->iReadReply(&ack, &count, kAckTimeoutMs) != 0)
        code = Code::NoReply;
    else if (ack != famb::kAck)
        return famb::NoReplyWith(Code::BadAck); // NAK or anything else; not sent again

    famb::OFrameDecoder decoder;
    if (code == Code::Ok)
        code = eReceiveFrame(decoder, uiTimeoutMs);
    if (code == Code::NoReply) {
        // Cancel whatever the reader still means to send.
        m_pComm->iWrite(famb::kCancel, sizeof famb::kCancel);
        return famb::NoReplyWith(code);
    }
    if (code != Code::Ok)
        return famb::NoReplyWith(code); // a broken frame is not acknowledged

    const tCommandReply reply =
        famb::TakeReply(decoder.pPayload(), decoder.uiPayloadLen(), pData, uiDataSize);
    m_pComm->iWrite(&famb::kAck, 1);
    return reply;
}

Code OSerialReaderB::eReceiveFrame(famb::OFrameDecoder& decoder, uint32_t uiTimeoutMs) {
    // Each wait may take the caller's time-out, the whole frame not much more.
    quillon::OReaderComm::OFrame replyFrame(m_pComm, uiTimeoutMs, famb::kReplyMax);
    uint8_t piece[quillon::OReaderComm::kMaxWanted];

    uint32_t count = decoder.uiWanted();
    if (m_pComm->iReadReply(piece, &count, uiTimeoutMs) != 0 ||
        (count < famb::kFrameHead && m_pComm->bFrameLate()))
        return Code::NoReply;
    famb::Decoded state = decoder.Feed(piece, count);
    // A head cut short reads as zeros: its length decides what follows (too
    // short a frame is refused; a missing body is a missing reply).
    if (!decoder.bHeadDone())
        state = decoder.CutShort();

    // Payload and CRC, in pieces the receive buffer can hand over.
    uint32_t got = 0;
    while (state == famb::Decoded::NeedMore) {
        uint32_t wanted = decoder.uiWanted();
        if (wanted > quillon::OReaderComm::kMaxWanted)
            wanted = quillon::OReaderComm::kMaxWanted;
        count = wanted;
        if (m_pComm->iReadReply(piece, &count, uiTimeoutMs) != 0)
            break;
        got += count;
        state = decoder.Feed(piece, count);
        if (count < wanted)
            break;
    }
    if (state == famb::Decoded::NeedMore) {
        if (got == 0 || m_pComm->bFrameLate())
            return Code::NoReply;   // nothing, or not all of it within the frame's time
        state = decoder.CutShort(); // judged over what actually arrived
    }
    return state == famb::Decoded::Frame ? Code::Ok : Code::BrokenFrame;
}

} // namespace quillon
