#include "readers/stx_exchange.h"

#include <cstring>

#include "infra/reader_comm.h"
#include "platform/clock.h"
#include "platform/system.h"

namespace quillon {
namespace {
constexpr uint32_t kAckTimeoutMs = 2000; // for the whole acknowledgement
constexpr unsigned kDtrPauseMs = 5;

enum class Answer { Ack, Other, None };

void vSetDtr(OReaderComm* pComm, bool bRaised) {
    pComm->iSetDtr(bRaised);
    SleepMs(kDtrPauseMs);
}

// A control byte followed by the format's address, if it has one.
uint32_t Control(const tStxFormat& format, uint8_t byControl, uint8_t* pOut) {
    pOut[0] = byControl;
    if (format.iAddress < 0)
        return 1;
    pOut[1] = static_cast<uint8_t>(format.iAddress);
    return 2;
}

// The acknowledgement's bytes arrive within kAckTimeoutMs all together, one
// read a byte so that a dripping answer gets no more than that.
Answer eAwaitAck(OReaderComm* pComm, const tStxFormat& format) {
    uint8_t expected[2];
    const uint32_t uiLen = Control(format, kAck, expected);
    uint8_t got[2] = {};
    uint32_t uiGot = 0;
    const uint64_t deadline = NowMs() + kAckTimeoutMs;
    for (uint32_t waitMs = kAckTimeoutMs; uiGot < uiLen && waitMs > 0; waitMs = MsLeft(deadline)) {
        uint32_t one = 1;
        if (pComm->iReadReply(got + uiGot, &one, waitMs) != 0 || one == 0)
            break;
        ++uiGot;
    }
    if (uiGot == 0)
        return Answer::None;
    return uiGot == uiLen && std::memcmp(got, expected, uiLen) == 0 ? Answer::Ack : Answer::Other;
}

// Reads what the frame still needs until it is whole or broken, a wait
// comes back short, or it could never fit the receive area.
void vReceive(OReaderComm* pComm, const tStxProfile& profile, uint32_t uiTimeoutMs,
              OStxDecoder& reply) {
    // Each wait may take the caller's time-out, the whole frame not much more.
    OReaderComm::OFrame frame(pComm, uiTimeoutMs, profile.uiLargestReply);
    uint8_t piece[OReaderComm::kMaxWanted];
    while (reply.eState() == StxState::NeedMore) {
        const uint32_t uiNeed = reply.uiNeed();
        if (uiNeed > kStxReplyArea - reply.uiCount())
            return; // longer than the receive area can ever hold
        const uint32_t uiWant = uiNeed < sizeof piece ? uiNeed : sizeof piece;
        uint32_t n = uiWant;
        if (pComm->iReadReply(piece, &n, uiTimeoutMs) != 0)
            return;
        reply.eFeed(piece, n);
        if (n < uiWant)
            return; // the rest did not come in time
    }
}
} // namespace

Code StxExchange(OReaderComm* pComm, const tStxProfile& profile, const uint8_t* pText,
                 uint32_t uiLen, uint32_t uiTimeoutMs, OStxDecoder& reply) {
    // A text whose frame would not fit the send area is refused unsent.
    uint8_t send[kStxSendArea];
    const uint32_t uiFrameLen = StxEncode(profile.tFormat, pText, uiLen, send, sizeof send);
    if (uiFrameLen == 0)
        return Code::BadArgument;

    vSetDtr(pComm, true);
    pComm->vDiscardInput(); // nothing stale may pass for this reply
    // From here on a failure leaves DTR raised, unless the profile drops it
    // after any reply.
    if (pComm->iWrite(send, uiFrameLen) != 0)
        return Code::CommFailed;

    const Answer answer = eAwaitAck(pComm, profile.tFormat);
    if (answer == Answer::None || (answer == Answer::Other && !profile.bReplyWithoutAck))
        return Code::BadAck;
    if (answer == Answer::Ack) {
        uint8_t enq[2];
        if (pComm->iWrite(enq, Control(profile.tFormat, kEnq, enq)) != 0)
            return Code::CommFailed;
    }

    vReceive(pComm, profile, uiTimeoutMs, reply);
    const StxState eState = reply.eState();
    if (eState == StxState::Frame || profile.bDtrDropsAfterAnyReply)
        vSetDtr(pComm, false);
    if (eState == StxState::Frame)
        return Code::Ok;
    return eState == StxState::Broken ? Code::BrokenFrame : profile.eIncomplete;
}

} // namespace quillon
