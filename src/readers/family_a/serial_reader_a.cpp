#include "readers/family_a/serial_reader_a.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "readers/family_a/dle_codec.h"

namespace quillon {

namespace {
constexpr uint32_t kAckTimeoutMs = 3000;
constexpr int kMaxSends = 3; // a frame refused three times is given up
} // namespace

OSerialReaderA::OSerialReaderA(OReaderComm* pComm)
    : OSerialReaderA(pComm, std::unique_ptr<OAuxModule>(new (std::nothrow) OAuxModule(pComm))) {}

OSerialReaderA::OSerialReaderA(OReaderComm* pComm, std::unique_ptr<OAuxModule> pModule)
    : OFamilyAReader(pComm, SerialProfileA(), pModule.get()), m_pAuxModule(std::move(pModule)) {}

OSerialReaderA::~OSerialReaderA() = default;

tCommandReply OSerialReaderA::tExchange(const uint8_t* pText, uint32_t uiLen, uint8_t* pReply,
                                        uint32_t uiReplySize, uint32_t uiTimeoutMs) {
    tCommandReply x;
    uint8_t frame[kSendSize];
    const uint32_t n = uiLen & 0xFFFF;
    const uint32_t frameLen = (n && !pText) ? 0 : dle::EncodeFrame(pText, n, frame, sizeof frame);
    if (frameLen == 0) {
        x.eCode = Code::BadArgument; // the frame would not fit: nothing is sent
        return x;
    }
    x.eCode = eHandOver(frame, frameLen);
    if (x.eCode != Code::Ok)
        return x;
    if (m_pComm->iWrite(dle::kEnq, sizeof dle::kEnq) != 0) {
        x.eCode = Code::CommFailed;
        return x;
    }
    x.eCode = eReceive(x, pReply, uiReplySize, uiTimeoutMs);
    if (x.eCode == Code::NoReply)
        eRejectReply(); // the reply was asked for and did not arrive whole
    return x;
}

Code OSerialReaderA::eRejectReply() {
    m_pComm->iWrite(dle::kEot, sizeof dle::kEot);
    return Code::NoReply;
}

Code OSerialReaderA::eHandOver(const uint8_t* pFrame, uint32_t uiLen) {
    for (int sends = 1;; ++sends) {
        m_pComm->vDiscardInput(); // nothing left over from an earlier exchange
        if (m_pComm->iWrite(pFrame, uiLen) != 0)
            return Code::CommFailed;
        uint8_t ack[2] = {};
        uint32_t got = sizeof ack;
        OReaderComm::OFrame ackFrame(m_pComm, kAckTimeoutMs, sizeof ack);
        if (m_pComm->iReadReply(ack, &got, kAckTimeoutMs) != 0)
            return Code::NoAck; // silence: the frame is not sent again
        if (dle::IsAck(ack, got))
            return Code::Ok;
        if (sends == kMaxSends)
            return Code::BadArgument; // refused three times
    }
}

Code OSerialReaderA::eReceive(tCommandReply& x, uint8_t* pReply, uint32_t uiReplySize,
                              uint32_t uiTimeoutMs) {
    // Each wait may take the caller's time-out, the whole frame not much more.
    OReaderComm::OFrame replyFrame(m_pComm, uiTimeoutMs, kRecvSize);
    dle::OReplyDecoder decoder;
    dle::OReplyDecoder::Step step = dle::OReplyDecoder::Step::NeedMore;
    while (step == dle::OReplyDecoder::Step::NeedMore) {
        // The bytes come in as they have arrived, many at a time.
        uint8_t chunk[OReaderComm::kMaxWanted];
        uint32_t n = std::min(decoder.uiRoom(), OReaderComm::kMaxWanted);
        if (m_pComm->iReadSome(chunk, &n, uiTimeoutMs) != 0 || n == 0)
            return Code::NoReply;
        step = decoder.eFeed(chunk, n);
    }
    if (step == dle::OReplyDecoder::Step::Broken)
        return Code::NoReply; // longer than the receive buffer
    const uint8_t* pText = decoder.pText();
    const uint32_t textLen = decoder.uiTextLen();
    if (textLen < kReplyHeaderA || textLen - kReplyHeaderA > uiReplySize)
        return Code::NoReply; // no header, or more than the caller can take
    x.uiDataLen = textLen - kReplyHeaderA;
    if (x.uiDataLen)
        std::memcpy(pReply, pText + kReplyHeaderA, x.uiDataLen);
    std::memcpy(x.abShown, pText, kReplyHeaderA);
    x.uiShownLen = kReplyHeaderA;
    return ReplyCodeA(pText);
}

} // namespace quillon
