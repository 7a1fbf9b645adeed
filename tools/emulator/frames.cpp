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

Bytes FrameA(const Bytes& text) {
    Bytes f{ctl::kDle, ctl::kStx};
    f.reserve(text.size() * 2 + 5);
    for (uint8_t b : text) {
        f.push_back(b);
        if (b == ctl::kDle)
            f.push_back(b);
    }
    f.push_back(ctl::kDle);
    f.push_back(ctl::kEtx);
    f.push_back(static_cast<uint8_t>(XorOf(text.data(), text.size()) ^ ctl::kEtx));
    return f;
}

namespace {
void PutLength(Bytes& f, size_t n) {
    f.push_back(static_cast<uint8_t>((n >> 8) & 0xFF));
    f.push_back(static_cast<uint8_t>(n & 0xFF));
}
} // namespace

Bytes FrameModule(const Bytes& text) {
    Bytes f{ctl::kStx};
    PutLength(f, text.size() + 1);
    f.push_back(ctl::kModuleAddr);
    f.insert(f.end(), text.begin(), text.end());
    f.push_back(ctl::kEtx);
    f.push_back(XorOf(f.data(), f.size()));
    return f;
}

Bytes FrameB(const Bytes& text) {
    Bytes f{ctl::kStartB};
    PutLength(f, text.size());
    f.insert(f.end(), text.begin(), text.end());
    uint16_t crc = Crc16Xmodem(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    return f;
}

Bytes FrameC(const Bytes& text) {
    Bytes f{ctl::kStx};
    PutLength(f, text.size());
    f.insert(f.end(), text.begin(), text.end());
    f.push_back(ctl::kEtx);
    f.push_back(XorOf(f.data(), f.size()));
    return f;
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
