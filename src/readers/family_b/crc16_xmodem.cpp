#include "readers/family_b/crc16_xmodem.h"

#include <array>

namespace quillon {
namespace {

// kTables[0][v]: the CRC of the byte v shifted through the polynomial;
// kTables[k][v]: the same byte followed by k zero bytes. The CRC is linear,
// so eight bytes are taken at once as the XOR of their eight entries: eight
// independent lookups instead of a chain of eight (a long reply's check then
// costs well under a nanosecond a byte).
using Tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (unsigned v = 0; v < 256; ++v) {
        uint16_t crc = static_cast<uint16_t>(v << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        t[0][v] = crc;
    }
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned v = 0; v < 256; ++v)
            t[k][v] = static_cast<uint16_t>((t[k - 1][v] << 8) ^ t[0][t[k - 1][v] >> 8]);
    return t;
}
constexpr Tables kTables = MakeTables();

} // namespace

uint16_t Crc16Xmodem(const uint8_t* pData, size_t uiLen) {
    uint16_t crc = 0;
    size_t i = 0;
    for (; i + 8 <= uiLen; i += 8) {
        const uint8_t* p = pData + i;
        crc =
            static_cast<uint16_t>(kTables[7][(crc >> 8) ^ p[0]] ^ kTables[6][(crc & 0xFF) ^ p[1]] ^
                                  kTables[5][p[2]] ^ kTables[4][p[3]] ^ kTables[3][p[4]] ^
                                  kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]]);
    }
    for (; i < uiLen; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTables[0][((crc >> 8) ^ pData[i]) & 0xFF]);
    return crc;
}

} // namespace quillon
