// A family-A reply text, whichever way it travelled: reply kind 'P' or 'N',
// the two command characters it answers (echo), two status characters,
// then the reply data. The kind and status map to a library code.
#pragma once

#include <cstdint>

#include "infra/result_codes.h"

namespace quillon {

constexpr uint32_t kReplyHeaderA = 5; // kind, two echo characters, two status characters

// Kind and the two status characters (the first in the high byte, "00" =
// 0x3030) to a library code; UnknownReply for anything the map lacks.
Code MapReplyA(uint8_t byKind, uint16_t usStatus);
// The code of a reply text of at least kReplyHeaderA bytes.
Code ReplyCodeA(const uint8_t* pText);

} // namespace quillon
