// The family-A serial wire format, without any I/O: a command text travels
// as DLE STX text DLE ETX BCC, every DLE of the text doubled; the BCC is the
// exclusive-or of the text bytes (a doubled DLE counted once) and ETX. The
// handshake uses two-byte control pairs: DLE ACK (frame taken), DLE ENQ
// (send the reply), DLE EOT (reply abandoned). A reply frame has the command
// frame's layout and is decoded as its bytes come in.
#pragma once

#include <cstdint>

#include "readers/control_chars.h"

namespace quillon {
namespace dle {

// The control pairs (each shadows its single character in this namespace).
constexpr uint8_t kAck[2] = {kDle, quillon::kAck};
constexpr uint8_t kNak[2] = {kDle, quillon::kNak};
constexpr uint8_t kEnq[2] = {kDle, quillon::kEnq};
constexpr uint8_t kEot[2] = {kDle, quillon::kEot};

// Whether the uiLen bytes received are the reader's DLE ACK.
bool IsAck(const uint8_t* p, uint32_t uiLen);

// The frame of uiLen text bytes into pOut; its length, or 0 when it would
// not fit uiOutSize bytes (nothing of it is then to be sent).
uint32_t EncodeFrame(const uint8_t* pText, uint32_t uiLen, uint8_t* pOut, uint32_t uiOutSize);

// Whether pFrame[0..uiLen) is one well-formed frame with the right BCC. A
// DLE in the text must be doubled within the text (DLE DLE ETX is data).
bool IsWholeFrame(const uint8_t* pFrame, uint32_t uiLen);

// Takes a reply frame in as it arrives. A DLE ETX followed by a byte that
// does not complete a well-formed frame was data: reception goes on with
// the bytes kept. Broken: the frame did not end within kCapacity bytes.
class OReplyDecoder {
public:
    static constexpr uint32_t kCapacity = 1024;
    enum class Step { NeedMore, Frame, Broken };

    // Appends at most uiRoom() of the uiLen bytes (the rest is dropped).
    Step eFeed(const uint8_t* p, uint32_t uiLen);
    // Bytes that still fit.
    uint32_t uiRoom() const { return kCapacity - m_uiArrived; }
    // Once Frame: the reply text, doubled DLEs collapsed.
    const uint8_t* pText() const { return m_ab; }
    uint32_t uiTextLen() const { return m_uiTextLen; }

private:
    Step eScan();

    uint8_t m_ab[kCapacity] = {};
    uint32_t m_uiArrived = 0;
    uint32_t m_uiScan = 0; // next position that may end the frame
    uint32_t m_uiTextLen = 0;
    Step m_eStep = Step::NeedMore;
};

} // namespace dle
} // namespace quillon
