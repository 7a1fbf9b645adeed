#include "readers/family_b/crc16_xmodem.h"

#include <array>

namespace quillon {
namespace {

// The CRC of each byte value shifted through the polynomial: one table step
// per byte instead of eight bit steps (a long reply's check costs a few
// hundred nanoseconds instead of microseconds).
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        uint16_t crc = static_cast<uint16_t>(v << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[v] = crc;
    }
    return table;
}
constexpr std::array<uint16_t, 256> kTable = MakeTable();

} // namespace

uint16_t Crc16Xmodem(const uint8_t* pData, size_t uiLen) {
    uint16_t crc = 0;
    for (size_t i = 0; i < uiLen; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ pData[i]) & 0xFF]);
    return crc;
}

} // namespace quillon
