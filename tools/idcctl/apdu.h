// One APDU exchange with the chip, with the follow-ups PC/SC users expect:
// 61xx fetches the rest with GET RESPONSE (00 C0 00 00 xx), 6Cxx sends the
// command again with Le = xx. The number of follow-ups is bounded.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hex.h"

namespace idcctl {

// What one call of the chip exchange gave.
struct ChipReply {
    bool ok = false; // the library reported success
    Bytes data;      // response data followed by SW1 SW2
    int result = 0;  // the library's result value
    int code = 0;    // the library code of the call
};

using ChipExchange = std::function<ChipReply(const Bytes& command)>;

struct ApduTurn {
    Bytes command;
    ChipReply reply;
};

enum class ApduStatus {
    Ok,               // the card answered with a status word
    ExchangeFailed,   // the library refused or failed a call
    NoStatusWord,     // a response shorter than two bytes
    TooManyFollowUps, // the card kept asking for more
};

struct ApduResult {
    ApduStatus status = ApduStatus::ExchangeFailed;
    Bytes data; // response data of all turns, without the status words
    uint8_t sw1 = 0;
    uint8_t sw2 = 0;
    std::vector<ApduTurn> turns;
};

constexpr int kMaxFollowUps = 32;

ApduResult TransmitApdu(const ChipExchange& exchange, const Bytes& apdu, bool followUp,
                        int maxFollowUps = kMaxFollowUps);

// The short APDU with its Le set to `le`: added to a case 1 or 3 command,
// replaced in a case 2 or 4 command. Nothing for an extended or malformed one.
std::optional<Bytes> WithLe(const Bytes& apdu, uint8_t le);

// A short description of a status word (ISO/IEC 7816-4).
std::string DescribeSw(uint8_t sw1, uint8_t sw2);

} // namespace idcctl
