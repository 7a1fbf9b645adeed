// The readers' frames as the reader sends them: the emulator's builders.
#pragma once

#include "emulator/frames.h"
#include "support/scripted_line.h"

using quillon::emu::FrameA;
using quillon::emu::FrameB;
// Family C's frame; the auxiliary module's is FrameModule.
inline Bytes FrameStx(const Bytes& text) {
    return quillon::emu::FrameC(text);
}
using quillon::emu::FrameModule;
inline uint8_t Xor(const Bytes& bytes, uint8_t x = 0) {
    return static_cast<uint8_t>(x ^ quillon::emu::XorOf(bytes.data(), bytes.size()));
}
