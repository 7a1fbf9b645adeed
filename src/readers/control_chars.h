// The ASCII control characters the serial reader protocols frame and
// hand over with (DLE frames of family A, STX frames of family C and the
// auxiliary module, family B's acknowledgement and cancel).
#pragma once

#include <cstdint>

namespace quillon {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kNak = 0x15;

} // namespace quillon
