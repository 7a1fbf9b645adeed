// Answer to reset of a processor card (ISO/IEC 7816-3): initial character,
// format byte, interface bytes TAi..TDi, historical bytes and check byte.
#pragma once

#include <string>
#include <vector>

#include "hex.h"
#include "json.h"

namespace idcctl {

struct AtrByte {
    std::string name; // "TS", "T0", "TA1", ... "TCK"
    uint8_t value = 0;
    std::string meaning;
};

struct Atr {
    Bytes raw;
    bool iso = false;              // TS is 3B (direct) or 3F (inverse convention)
    std::string convention;        // "direct", "inverse" or empty
    std::vector<AtrByte> bytes;    // TS, T0 and the interface bytes, in order
    std::vector<int> protocols;    // offered, in the order of the TDi (T=15 is not one)
    bool protocolImplicit = false; // no TD1: T=0 by default
    int historicalDeclared = 0;    // K from T0
    Bytes historical;
    bool tckExpected = false; // a protocol other than T=0 is indicated
    bool tckPresent = false;
    uint8_t tck = 0;
    bool tckOk = false; // T0 .. TCK exclusive-or to zero
    std::vector<std::string> problems;
};

Atr DecodeAtr(const uint8_t* data, size_t size);
inline Atr DecodeAtr(const Bytes& b) {
    return DecodeAtr(b.data(), b.size());
}

// Indented lines for the terminal, and the same for scripts.
std::vector<std::string> AtrLines(const Atr& atr);
Json AtrJson(const Atr& atr);

} // namespace idcctl
