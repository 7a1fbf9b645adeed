#include "frames.h"

#include <cstdio>

namespace quillon::emu {

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string ToText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

uint8_t XorOf(const uint8_t* p, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= p[i];
    return x;
}

uint16_t Crc16Xmodem(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

void AppendFrameA(const uint8_t* pText, size_t uiLen, Bytes& out) {
    out.push_back(ctl::kDle);
    out.push_back(ctl::kStx);
    for (size_t i = 0; i < uiLen; ++i) {
        out.push_back(pText[i]);
        if (pText[i] == ctl::kDle)
            out.push_back(pText[i]);
    }
    out.push_back(ctl::kDle);
    out.push_back(ctl::kEtx);
    out.push_back(static_cast<uint8_t>(XorOf(pText, uiLen) ^ ctl::kEtx));
}

namespace {
// Start byte, length (high byte first), [address], text; then ETX and the
// exclusive-or of all before it, or the CRC of all before it.
void AppendLengthFrame(uint8_t byStart, int iAddress, const uint8_t* pText, size_t uiLen, bool bCrc,
                       Bytes& out) {
    const size_t at = out.size();
    const size_t n = uiLen + (iAddress >= 0 ? 1 : 0);
    out.push_back(byStart);
    out.push_back(static_cast<uint8_t>((n >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    if (iAddress >= 0)
        out.push_back(static_cast<uint8_t>(iAddress));
    out.insert(out.end(), pText, pText + uiLen);
    if (bCrc) {
        const uint16_t crc = Crc16Xmodem(out.data() + at, out.size() - at);
        out.push_back(static_cast<uint8_t>(crc >> 8));
        out.push_back(static_cast<uint8_t>(crc & 0xFF));
        return;
    }
    out.push_back(ctl::kEtx);
    out.push_back(XorOf(out.data() + at, out.size() - at));
}

template <void (*pfnAppend)(const uint8_t*, size_t, Bytes&)> Bytes Framed(const Bytes& text) {
    Bytes f;
    f.reserve(text.size() * 2 + 6);
    pfnAppend(text.data(), text.size(), f);
    return f;
}
} // namespace

void AppendFrameModule(const uint8_t* pText, size_t uiLen, Bytes& out) {
    AppendLengthFrame(ctl::kStx, ctl::kModuleAddr, pText, uiLen, false, out);
}

void AppendFrameB(const uint8_t* pText, size_t uiLen, Bytes& out) {
    AppendLengthFrame(ctl::kStartB, -1, pText, uiLen, true, out);
}

void AppendFrameC(const uint8_t* pText, size_t uiLen, Bytes& out) {
    AppendLengthFrame(ctl::kStx, -1, pText, uiLen, false, out);
}

Bytes FrameA(const Bytes& text) {
    return Framed<AppendFrameA>(text);
}
Bytes FrameModule(const Bytes& text) {
    return Framed<AppendFrameModule>(text);
}
Bytes FrameB(const Bytes& text) {
    return Framed<AppendFrameB>(text);
}
Bytes FrameC(const Bytes& text) {
    return Framed<AppendFrameC>(text);
}

std::string Hex(const Bytes& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i)
            s += ' ';
        s += buf;
    }
    return s;
}

} // namespace quillon::emu
