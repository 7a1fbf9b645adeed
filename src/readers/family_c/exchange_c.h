// Family C's command exchange and reply-code map. A command text (two ASCII
// digits, some with parameters or binary data behind them) goes out in an
// STX frame without address; the reply comes back in the same frame:
//
//   STX | L (2) | kind 'P' or 'N' | command echo (2) | data ... | ETX | BCC
//
// Data byte k (for kind 'N' the error byte) stands at frame position 6 + k.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "readers/stx_codec.h"

namespace quillon {

class OReaderComm;
namespace famc {

// A reply frame as the exchange hands it back.
struct tReply {
    static constexpr uint32_t kData = 6; // frame position of data byte 0

    Code eCode = Code::Ok;               // the exchange's failure, or the reply's code
    uint8_t abFrame[kStxReplyArea] = {}; // the bytes received, from STX
    uint32_t uiLen = 0;                  // how many, at most the area the command asked for

    // Number of data bytes in the frame.
    uint32_t uiDataCount() const { return uiLen > kData + 2 ? uiLen - kData - 2 : 0; }
    const uint8_t* pData() const { return abFrame + kData; }
};

// The library code of a whole reply frame: kind 'P' is Ok, kind 'N' its
// error byte's code.
Code MapReply(const uint8_t* pFrame, uint32_t uiLen);

// One command: raises DTR, sends the text's frame, waits up to 2000 ms for
// ACK, asks with ENQ and receives the reply frame (each wait up to
// uiTimeoutMs, the whole frame within its deadline), then drops DTR. A
// failed exchange leaves DTR raised. A first answer other than ACK is BadAck
// (no ENQ, no reply read); a reply that does not come whole, or longer than
// the receive area, is NoReply; a wrong check byte BrokenFrame. Of the bytes
// received, at most uiArea are handed back (the command's reply area).
tReply Exchange(OReaderComm* pComm, const uint8_t* pText, uint32_t uiLen, uint32_t uiArea,
                uint32_t uiTimeoutMs);
// The same for a text without binary data.
tReply Exchange(OReaderComm* pComm, const char* pText, uint32_t uiArea, uint32_t uiTimeoutMs);

} // namespace famc
} // namespace quillon
