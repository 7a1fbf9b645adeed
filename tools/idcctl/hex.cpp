#include "hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace idcctl {

namespace {
int Digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

std::optional<Bytes> ParseHex(std::string_view text) {
    Bytes out;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == ':') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size())
            return std::nullopt;
        const int hi = Digit(c);
        const int lo = Digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 2;
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

std::string ToHex(const uint8_t* data, size_t size, char sep) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i && sep)
            out += sep;
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

std::vector<std::string> HexDump(const Bytes& data, const std::string& indent) {
    std::vector<std::string> lines;
    for (size_t off = 0; off < data.size(); off += 16) {
        const size_t n = std::min<size_t>(16, data.size() - off);
        char head[24];
        std::snprintf(head, sizeof head, "%04zX  ", off);
        std::string line = indent + head + ToHex(data.data() + off, n);
        line.append((16 - n) * 3 + 2, ' ');
        for (size_t i = 0; i < n; ++i) {
            const uint8_t c = data[off + i];
            line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        lines.push_back(line);
    }
    return lines;
}

std::string HexHead(const Bytes& data, size_t limit) {
    if (data.size() <= limit)
        return ToHex(data);
    return ToHex(data.data(), limit) + " ... (" + std::to_string(data.size()) + " bytes)";
}

std::string Printable(const uint8_t* data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string_view FieldText(const char* field, size_t size) {
    const void* end = std::memchr(field, 0, size);
    return std::string_view(field, end ? static_cast<size_t>(static_cast<const char*>(end) - field)
                                       : size);
}

bool IsPrintable(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] < 0x20 || data[i] >= 0x7F)
            return false;
    return true;
}

} // namespace idcctl
