// Bytes as hexadecimal and as readable text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace idcctl {

using Bytes = std::vector<uint8_t>;

// "00 A4 04 00", "00a40400" and "00:A4:04:00" all give 00 A4 04 00. Blanks
// and colons may stand between bytes, not inside one. Nothing for an odd
// digit count, another character or no digits at all.
std::optional<Bytes> ParseHex(std::string_view text);

// Upper-case pairs joined by sep ('\0': no separator).
std::string ToHex(const uint8_t* data, size_t size, char sep = ' ');
inline std::string ToHex(const Bytes& b, char sep = ' ') {
    return ToHex(b.data(), b.size(), sep);
}

// Lines of at most 16 bytes, each "offset  hex  text", behind `indent`.
std::vector<std::string> HexDump(const Bytes& data, const std::string& indent);

// The first `limit` bytes in hex, with "... (N bytes)" when there are more.
std::string HexHead(const Bytes& data, size_t limit = 16);

// Printable ASCII as it is, a backslash doubled, every other byte as \xNN.
std::string Printable(const uint8_t* data, size_t size);
inline std::string Printable(std::string_view s) {
    return Printable(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// A fixed-size text field of a record: the bytes up to the first zero byte,
// never beyond the field's size.
std::string_view FieldText(const char* field, size_t size);

// True when every byte is printable ASCII.
bool IsPrintable(const uint8_t* data, size_t size);

} // namespace idcctl
