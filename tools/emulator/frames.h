// Check bytes and frame layouts of the reader lines, the same in both
// directions: the emulator uses them to frame its replies, and tests and
// tools use them to frame the commands they send to an emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::emu {

using Bytes = std::vector<uint8_t>;

namespace ctl {
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kStartB = 0xF2;     // first byte of every family-B frame
constexpr uint8_t kModuleAddr = 0x46; // 'F', the auxiliary module's address
} // namespace ctl

Bytes ToBytes(const std::string& text);
std::string ToText(const Bytes& bytes);

// Exclusive-or of n bytes.
uint8_t XorOf(const uint8_t* p, size_t n);

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final
// exclusive-or. "123456789" gives 0x31C3.
uint16_t Crc16Xmodem(const uint8_t* p, size_t n);

// Each frame of uiLen text bytes, appended to `out` (no other allocation
// than out's own growth), or returned as a frame of its own.
//
// Family A: DLE STX, text with every DLE doubled, DLE ETX, then the
// exclusive-or of the text bytes (each counted once) and ETX.
void AppendFrameA(const uint8_t* pText, size_t uiLen, Bytes& out);
Bytes FrameA(const Bytes& text);

// Auxiliary module on the family-A line: STX, length (address + text, high
// byte first), address 'F', text, ETX, exclusive-or of everything before.
void AppendFrameModule(const uint8_t* pText, size_t uiLen, Bytes& out);
Bytes FrameModule(const Bytes& text);

// Family B: 0xF2, length (high byte first), text, CRC-16/XMODEM of
// everything before it (high byte first).
void AppendFrameB(const uint8_t* pText, size_t uiLen, Bytes& out);
Bytes FrameB(const Bytes& text);

// Family C: STX, length (high byte first), text, ETX, exclusive-or of
// everything before.
void AppendFrameC(const uint8_t* pText, size_t uiLen, Bytes& out);
Bytes FrameC(const Bytes& text);

inline Bytes FrameA(const std::string& t) {
    return FrameA(ToBytes(t));
}
inline Bytes FrameModule(const std::string& t) {
    return FrameModule(ToBytes(t));
}
inline Bytes FrameB(const std::string& t) {
    return FrameB(ToBytes(t));
}
inline Bytes FrameC(const std::string& t) {
    return FrameC(ToBytes(t));
}

// "10 02 43" style dump, for logs and test messages.
std::string Hex(const Bytes& bytes);

} // namespace quillon::emu
