// The STX frame of family C and of the auxiliary module, with no I/O:
// framing a command text, and judging a reply frame as its bytes arrive.
//
//   STX | length L, high byte first | [address] | text | ETX | BCC
//
// L counts the address byte (when the format has one) and the text; BCC is
// the exclusive-or of every byte from STX through ETX. Family C frames carry
// no address; the module's carry 0x46. A reply has the same layout.
#pragma once

#include <cstdint>

#include "readers/control_chars.h"

namespace quillon {

// Send area of an exchange, and the most a reply may take of the receive area.
constexpr uint32_t kStxSendArea = 1024;
constexpr uint32_t kStxReplyArea = 1023;

// What sets the two users of the frame apart.
struct tStxFormat {
    // Address byte between the length and the text; -1: none.
    int iAddress;
    // How a reply is read. Lenient: bytes before the first STX are passed
    // over, and ETX in its place ends the frame (the check byte behind it is
    // neither awaited nor compared; only without ETX does the check byte
    // decide). Strict: the first byte is taken as the frame's start and the
    // check byte always decides (ETX is not looked at by itself).
    bool bLenient;
};

// The frame of uiLen text bytes in pOut. Returns its length, or 0 when it
// does not fit uiOutSize bytes.
uint32_t StxEncode(const tStxFormat& format, const uint8_t* pText, uint32_t uiLen, uint8_t* pOut,
                   uint32_t uiOutSize);

enum class StxState {
    NeedMore, // the bytes so far may still become a frame
    Frame,    // a whole frame is there
    Broken,   // no more bytes can make a frame of them
};

// Collects a reply's bytes and judges them after each piece.
class OStxDecoder {
public:
    explicit OStxDecoder(const tStxFormat& format) : m_format(format) { vJudge(); }

    // Takes the next bytes received (beyond kStxReplyArea they are dropped)
    // and judges all of them.
    StxState eFeed(const uint8_t* pBytes, uint32_t uiLen);

    StxState eState() const { return m_eState; }
    // NeedMore: how many more bytes the frame takes at the least.
    uint32_t uiNeed() const { return m_uiNeed; }
    // Every byte received, from the first.
    const uint8_t* pBytes() const { return m_abBytes; }
    uint32_t uiCount() const { return m_uiCount; }
    // Frame: its text (behind the length and the address).
    const uint8_t* pText() const { return m_abBytes + m_uiTextAt; }
    uint32_t uiTextLen() const { return m_uiTextLen; }

private:
    void vJudge();
    void vNeed(uint32_t uiMore) {
        m_eState = StxState::NeedMore;
        m_uiNeed = uiMore;
    }

    tStxFormat m_format;
    StxState m_eState = StxState::NeedMore;
    uint32_t m_uiNeed = 1;
    uint32_t m_uiCount = 0;
    uint32_t m_uiTextAt = 0;
    uint32_t m_uiTextLen = 0;
    uint8_t m_abBytes[kStxReplyArea] = {};
};

} // namespace quillon
