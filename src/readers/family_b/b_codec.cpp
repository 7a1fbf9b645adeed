#include "readers/family_b/b_codec.h"

#include <cstring>

#include "readers/family_b/crc16_xmodem.h"

namespace quillon {
namespace famb {
namespace {

// Positive replies "00", "01", "02".
constexpr Code kPositiveMap[3] = {Code::Positive, Code::ReplyP01, Code::CardInside};

constexpr Code kNone = Code::UnknownReply; // a status the map does not know
// Negative replies by the two status digits; kNone where the map has none.
constexpr Code kNegativeMap[7][10] = {
    {Code::NotSupported, Code::Unavailable, Code::Unavailable, Code::ReplyBN03, Code::Refused,
     Code::ReplyBN05, Code::ReplyBN06, kNone, kNone, kNone},
    {Code::ReplyN10, Code::ReplyN11, Code::ReplyN12, Code::ReplyN20, Code::ReplyN21, Code::ReplyN33,
     Code::ReplyN32, Code::ReplyN15, Code::ReplyBN18, Code::ReplyBN19},
    {Code::ReplyN42, Code::NothingRead, Code::ReplyN55, Code::ReplyN45, Code::NoTrackData,
     Code::ReplyBN25, Code::ReplyN40, Code::ReplyN41, Code::ReplyN43, Code::ReplyBN25},
    {Code::ResetAgain, Code::ReplyBN31, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone},
    {Code::ReplyN60, Code::ReplyN81, kNone, Code::ReplyBN43, kNone, Code::ReplyBN45, kNone, kNone,
     Code::ReplyBN48, kNone},
    {Code::RetainBusy, Code::ReplyN13, kNone, Code::TrackDataWithError, Code::ReplyN1G,
     Code::ReplyN1E, kNone, kNone, kNone, kNone},
    {Code::ReplyN82, Code::ReplyBN61, Code::ChipFailed, Code::ReplyBN63, Code::ReplyBN63,
     Code::ReplyBN65, Code::ReplyBN66, kNone, kNone, Code::ReplyBN66},
};

uint32_t Be16(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 8) | p[1];
}

} // namespace

uint32_t EncodeFrame(const uint8_t* pCommand, uint32_t uiLen, uint8_t* pOut, uint32_t uiOutSize) {
    const uint32_t n = uiLen & 0xFFFF;
    if (n > kCommandMax || (!pCommand && n) || kFrameHead + n + kCrcLen > uiOutSize)
        return 0;
    pOut[0] = kStart;
    pOut[1] = static_cast<uint8_t>(n >> 8);
    pOut[2] = static_cast<uint8_t>(n);
    if (n)
        std::memcpy(pOut + kFrameHead, pCommand, n);
    const uint16_t crc = Crc16Xmodem(pOut, kFrameHead + n);
    pOut[kFrameHead + n] = static_cast<uint8_t>(crc >> 8);
    pOut[kFrameHead + n + 1] = static_cast<uint8_t>(crc);
    return kFrameHead + n + kCrcLen;
}

// ------------------------------------------------------------ the decoder

uint32_t OFrameDecoder::uiWanted() const {
    if (m_eState != Decoded::NeedMore)
        return 0;
    return (bHeadDone() ? m_uiFrameLen : kFrameHead) - m_uiHave;
}

Decoded OFrameDecoder::Feed(const uint8_t* pBytes, uint32_t uiCount) {
    // The head first; once it tells the length, the rest of the frame.
    while (m_eState == Decoded::NeedMore && uiCount > 0) {
        const bool bHadHead = bHeadDone();
        uint32_t n = uiWanted();
        if (n > uiCount)
            n = uiCount;
        std::memcpy(m_abFrame + m_uiHave, pBytes, n);
        m_uiHave += n;
        pBytes += n;
        uiCount -= n;
        if (!bHadHead && bHeadDone())
            m_eState = eAfterHead();
        if (m_eState == Decoded::NeedMore && bHeadDone() && m_uiHave == m_uiFrameLen)
            m_eState = eJudge();
    }
    return m_eState;
}

Decoded OFrameDecoder::CutShort() {
    if (m_eState != Decoded::NeedMore)
        return m_eState;
    if (!bHeadDone()) {
        m_uiHave = kFrameHead; // the missing head bytes stay zero
        m_eState = eAfterHead();
        return m_eState;
    }
    m_eState = eJudge();
    return m_eState;
}

Decoded OFrameDecoder::eAfterHead() {
    const uint32_t announced = Be16(m_abFrame + 1);
    if (announced < kReplyHeader || kFrameHead + announced + kCrcLen > kReplyMax)
        return Decoded::Broken; // nothing of it is taken
    m_uiFrameLen = kFrameHead + announced + kCrcLen;
    return Decoded::NeedMore;
}

// Over the bytes that arrived: start byte, at least a reply header, CRC.
Decoded OFrameDecoder::eJudge() {
    const uint32_t received = m_uiHave;
    if (received < kFrameHead + kReplyHeader + kCrcLen || m_abFrame[0] != kStart)
        return Decoded::Broken;
    const uint32_t sent = Be16(m_abFrame + received - kCrcLen);
    if (Crc16Xmodem(m_abFrame, received - kCrcLen) != sent)
        return Decoded::Broken;
    m_uiPayloadLen = received - kFrameHead - kCrcLen;
    return Decoded::Frame;
}

// ------------------------------------------------------------- the replies

Code MapReply(uint8_t byKind, uint16_t usStatus) {
    const int first = usStatus >> 8;
    const int second = usStatus & 0xFF;
    if (byKind == 'P') {
        if (first == '0' && second >= '0' && second <= '2')
            return kPositiveMap[second - '0'];
        return Code::UnknownReply;
    }
    if (byKind != 'N')
        return Code::UnknownReply;
    if (first == 'B' && second == '0')
        return Code::ReplyBNB0;
    if (first < '0' || first > '6' || second < '0' || second > '9')
        return Code::UnknownReply;
    return kNegativeMap[first - '0'][second - '0'];
}

tCommandReply NoReplyWith(Code eCode) {
    tCommandReply reply;
    reply.eCode = eCode;
    return reply;
}

tCommandReply TakeReply(const uint8_t* pPayload, uint32_t uiPayloadLen, uint8_t* pData,
                        uint32_t uiDataSize) {
    tCommandReply reply;
    uint32_t n = uiPayloadLen - kReplyHeader;
    if (!pData)
        n = 0;
    else if (n > uiDataSize)
        n = uiDataSize;
    if (n)
        std::memcpy(pData, pPayload + kReplyHeader, n);
    reply.uiDataLen = n;
    std::memcpy(reply.abShown, pPayload, kReplyHeader);
    reply.uiShownLen = kReplyHeader;
    reply.eCode = MapReply(pPayload[0], static_cast<uint16_t>(Be16(pPayload + 3)));
    return reply;
}

// ----------------------------------------------------------------- USB HID

tHidPlan PlanHidReply(const uint8_t* pFirst, uint32_t uiBufferSize) {
    tHidPlan plan{};
    plan.uiPayloadLen = Be16(pFirst + 1);
    const uint32_t total = kReportHead + plan.uiPayloadLen; // bytes of the reply
    plan.bUsable = plan.uiPayloadLen >= kReplyHeader && total <= uiBufferSize;
    plan.uiFurther = (total - 1) / kReportStride;
    plan.bSpill = total % kReportStride == 0;
    return plan;
}

bool EchoAnswers(const uint8_t* pEcho, const uint8_t* pCommandChars) {
    if (!pCommandChars)
        return true;
    if (pEcho[0] != pCommandChars[0])
        return false;
    return pEcho[1] == pCommandChars[1] ||
           (pCommandChars[0] == 'I' && (pEcho[1] == '5' || pEcho[1] == '?'));
}

} // namespace famb
} // namespace quillon
