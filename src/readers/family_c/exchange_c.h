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
#include "readers/driver_result.h"
#include "readers/stx_codec.h"

namespace quillon {

class OReaderComm;
namespace famc {

constexpr uint32_t kDataAt = 6; // frame position of data byte 0
// The largest reply area a command asks for, and the data it can hold.
constexpr uint32_t kLargestArea = 1024;
using tData = tReplyBuf<kLargestArea - kDataAt - 2>;

// The library code of a whole reply frame: kind 'P' is Ok, kind 'N' its
// error byte's code.
Code MapReply(const uint8_t* pFrame, uint32_t uiLen);

// One command: raises DTR, sends the text's frame, waits up to 2000 ms for
// ACK, asks with ENQ and receives the reply frame (each wait up to
// uiTimeoutMs, the whole frame within its deadline), then drops DTR. A
// failed exchange leaves DTR raised. A first answer other than ACK is BadAck
// (no ENQ, no reply read); a reply that does not come whole, or longer than
// the receive area, is NoReply; a wrong check byte BrokenFrame. Of the bytes
// received, at most uiArea (up to kLargestArea) count as the frame (the
// command's reply area): its data bytes, between the echo and the last two
// bytes, go to data. Family C shows no reply text in the caller's record.
tCommandReply Exchange(OReaderComm* pComm, const uint8_t* pText, uint32_t uiLen, uint32_t uiArea,
                       uint32_t uiTimeoutMs, tData& data);
// The same for a text without binary data.
tCommandReply Exchange(OReaderComm* pComm, const char* pText, uint32_t uiArea, uint32_t uiTimeoutMs,
                       tData& data);

} // namespace famc
} // namespace quillon
