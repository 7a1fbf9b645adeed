// The readers' frames as the reader sends them, built from their text.
#pragma once

#include "readers/family_b/crc16_xmodem.h"
#include "support/scripted_line.h"

inline uint8_t Xor(const Bytes& bytes, uint8_t x = 0) {
    for (uint8_t b : bytes)
        x ^= b;
    return x;
}
// Family A: DLE STX, the text with each DLE doubled, DLE ETX, XOR of text and ETX.
inline Bytes FrameA(const Bytes& text) {
    Bytes f{0x10, 0x02};
    for (uint8_t b : text)
        f.insert(f.end(), b == 0x10 ? 2 : 1, b);
    return Cat({f, B({0x10, 0x03, Xor(text, 0x03)})});
}
// Family B: 0xF2, big-endian length, body, CRC of all before it high byte first.
inline Bytes FrameB(const Bytes& body) {
    const Bytes f = Cat({B({0xF2, int(body.size() >> 8), int(body.size() & 0xFF)}), body});
    const uint16_t crc = quillon::Crc16Xmodem(f.data(), f.size());
    return Cat({f, B({crc >> 8, crc & 0xFF})});
}
// Family C: STX, big-endian length, text, ETX, XOR of all before it; the
// auxiliary module's (address 0x46) with FrameStx(Cat({B({0x46}), text})).
inline Bytes FrameStx(const Bytes& text) {
    const Bytes f = Cat({B({0x02, int(text.size() >> 8), int(text.size() & 0xFF)}), text, B({3})});
    return Cat({f, B({Xor(f)})});
}
