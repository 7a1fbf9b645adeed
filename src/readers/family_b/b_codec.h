// The family-B wire format, with no I/O: framing a command, taking a reply
// frame apart as its bytes arrive, the reply-code map, and the layout of the
// USB HID reports.
//
// Serial frame, both ways:
//
//   0xF2 | length n, high byte first | n bytes | CRC-16/XMODEM of all before it, high byte first
//
// A reply's n bytes (its payload) are the kind ('P' or 'N'), two echo
// characters, two status characters, then the reply data.
//
// Over USB the command goes out in one output report (report ID 0x04, the
// length, the command, zeros; no CRC) and the reply comes back in input
// reports: the first holds a byte not looked at, the payload length (high
// byte first) and the start of the payload; the rest of the payload follows
// in reports stored 64 bytes apart.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "readers/control_chars.h"
#include "readers/driver_result.h"
#include "readers/hid_report.h"

namespace quillon {
namespace famb {

constexpr uint8_t kStart = 0xF2;
using quillon::kAck;
constexpr uint8_t kCancel[2] = {kDle, kEot}; // the reader drops what it still means to send
constexpr uint32_t kFrameHead = 3;           // start byte, length high, length low
constexpr uint32_t kCrcLen = 2;
constexpr uint32_t kReplyHeader = 5;   // kind, two echo characters, two status characters
constexpr uint32_t kCommandMax = 1024; // longest command (the chip I/O buffer)
constexpr uint32_t kReplyMax = 1024;   // one reply frame, head and CRC included

// Frames uiLen & 0xFFFF command bytes into pOut. Returns the frame's length,
// or 0 when the command is longer than kCommandMax or the frame does not fit
// uiOutSize.
uint32_t EncodeFrame(const uint8_t* pCommand, uint32_t uiLen, uint8_t* pOut, uint32_t uiOutSize);

enum class Decoded { NeedMore, Frame, Broken };

// Takes one reply frame as its bytes arrive. The head decides how many bytes
// follow: a payload shorter than a reply header, or a frame longer than
// kReplyMax, is broken at once. A whole frame is a frame when its start byte
// is 0xF2 and its CRC matches.
class OFrameDecoder {
public:
    // Bytes in the order they came; at most uiWanted() of them are taken.
    Decoded Feed(const uint8_t* pBytes, uint32_t uiCount);
    // The line stopped giving bytes before the frame was whole. A head cut
    // short reads as zeros where bytes are missing (its length still decides
    // what follows); a frame cut short in its body is judged as it stands,
    // its last two bytes taken as the CRC.
    Decoded CutShort();
    // Bytes still missing: of the head first, then of payload and CRC.
    uint32_t uiWanted() const;
    bool bHeadDone() const { return m_uiHave >= kFrameHead; }

    // Once Frame: the payload (kind, echo, status, data).
    const uint8_t* pPayload() const { return m_abFrame + kFrameHead; }
    uint32_t uiPayloadLen() const { return m_uiPayloadLen; }

private:
    Decoded eAfterHead();
    Decoded eJudge();

    uint8_t m_abFrame[kReplyMax] = {};
    uint32_t m_uiHave = 0;
    uint32_t m_uiFrameLen = 0; // once the head is in: head, payload and CRC as announced
    uint32_t m_uiPayloadLen = 0;
    Decoded m_eState = Decoded::NeedMore;
};

// Reply kind and the two status characters (first in the high byte) to a
// library code; UnknownReply for anything the map does not know.
Code MapReply(uint8_t byKind, uint16_t usStatus);

// An exchange that ended without a reply.
tCommandReply NoReplyWith(Code eCode);
// A reply payload of at least kReplyHeader bytes: its data to pData (at most
// uiDataSize bytes, none when pData is null), its header to be shown, its
// mapped code.
tCommandReply TakeReply(const uint8_t* pPayload, uint32_t uiPayloadLen, uint8_t* pData,
                        uint32_t uiDataSize);

// ---------------------------------------------------------------- USB HID

constexpr uint8_t kReportId = 0x04;
constexpr uint32_t kReportHead = 3; // a byte not looked at, payload length
constexpr uint32_t kEchoAt = kReportHead + 1;
constexpr uint32_t kReportStride = 64; // further reply reports are stored this far apart

// The output report of a command of uiLen & 0xFFFF bytes (readers/hid_report.h
// with report ID 0x04); the bytes to send, 0 when it does not fit one report.
inline uint32_t EncodeHidCommand(const uint8_t* pCommand, uint32_t uiLen,
                                 uint8_t (&abReport)[hid::kCommandReportSize]) {
    return hid::EncodeCommandReport(kReportId, pCommand, uiLen, abReport);
}

// How the reply whose first report is pFirst comes in. Not bUsable when the
// announced payload is shorter than a reply header or does not fit
// uiBufferSize behind the head. uiFurther reports follow the first, the k-th
// stored at kReportStride * k. A reply that ends on a report boundary is
// announced with one more report that carries none of it (bSpill).
struct tHidPlan {
    bool bUsable;
    uint32_t uiPayloadLen;
    uint32_t uiFurther;
    bool bSpill;
};
tHidPlan PlanHidReply(const uint8_t* pFirst, uint32_t uiBufferSize);

// Whether the echo characters of a first report answer the command whose
// command characters are pCommandChars (the two after its "C"; null: any
// echo answers). In the replies of chip I/O (command character 'I') the
// second echo character tells how the exchange goes on: '5' more data to
// fetch, '?' a block refused.
bool EchoAnswers(const uint8_t* pEcho, const uint8_t* pCommandChars);

} // namespace famb
} // namespace quillon
