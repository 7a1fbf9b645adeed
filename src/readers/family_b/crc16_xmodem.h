// CRC-16/XMODEM of the family-B frames: polynomial 0x1021, initial value 0,
// no reflection, no final XOR ("123456789" gives 0x31C3).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

uint16_t Crc16Xmodem(const uint8_t* pData, size_t uiLen);

} // namespace quillon
