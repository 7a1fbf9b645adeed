// The command exchange that family C and the auxiliary module share on the
// serial line: with DTR raised a frame goes out, the acknowledgement is
// awaited, ENQ asks for the reply and the reply frame is received within the
// frame's deadline; DTR drops after it. What differs between the two is the
// profile they pass in. No record is written here: the exchange returns its
// outcome and the caller decides what reaches the result record.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"
#include "readers/stx_codec.h"

namespace quillon {

class OReaderComm;

struct tStxProfile {
    tStxFormat tFormat; // the acknowledgement and ENQ carry the address too
    // A first answer other than the acknowledgement: no ENQ is sent, but the
    // reply is awaited all the same (else the exchange ends with BadAck).
    bool bReplyWithoutAck;
    // DTR drops once reception ends, with or without a frame (else only after
    // a sound frame: a failed exchange leaves it raised).
    bool bDtrDropsAfterAnyReply;
    // Code of a reply that did not come whole, or could never fit the
    // receive area.
    Code eIncomplete;
    // Bytes the reply frame's deadline allows for (OReaderComm::vBeginFrame).
    uint32_t uiLargestReply;
};

// One command exchange. Code::Ok once a whole, sound reply frame stands in
// `reply` (what it says is the caller's to map); else why not: BadArgument
// (the frame does not fit the send area: nothing is sent, DTR not touched),
// CommFailed (a write failed), BadAck (no acknowledgement), BrokenFrame, or
// the profile's eIncomplete. `reply` holds every byte received either way.
Code StxExchange(OReaderComm* pComm, const tStxProfile& profile, const uint8_t* pText,
                 uint32_t uiLen, uint32_t uiTimeoutMs, OStxDecoder& reply);

} // namespace quillon
