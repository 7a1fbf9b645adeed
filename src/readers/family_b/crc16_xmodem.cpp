#include "readers/family_b/crc16_xmodem.h"

namespace quillon {

uint16_t Crc16Xmodem(const uint8_t* pData, size_t uiLen) {
    uint16_t crc = 0;
    for (size_t i = 0; i < uiLen; ++i) {
        crc = static_cast<uint16_t>(crc ^ (pData[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

} // namespace quillon
