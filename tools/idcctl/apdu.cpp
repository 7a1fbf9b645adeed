#include "apdu.h"

#include <cstdio>

namespace idcctl {

std::optional<Bytes> WithLe(const Bytes& apdu, uint8_t le) {
    if (apdu.size() < 4)
        return std::nullopt;
    Bytes out = apdu;
    if (apdu.size() == 4) { // case 1: header only
        out.push_back(le);
        return out;
    }
    if (apdu.size() == 5) { // case 2: header and Le
        out[4] = le;
        return out;
    }
    const size_t lc = apdu[4];
    if (lc == 0) // extended length
        return std::nullopt;
    if (apdu.size() == 5 + lc) { // case 3: data, no Le
        out.push_back(le);
        return out;
    }
    if (apdu.size() == 6 + lc) { // case 4: data and Le
        out.back() = le;
        return out;
    }
    return std::nullopt;
}

ApduResult TransmitApdu(const ChipExchange& exchange, const Bytes& apdu, bool followUp,
                        int maxFollowUps) {
    ApduResult r;
    Bytes command = apdu;
    int followUps = 0;
    for (;;) {
        ChipReply reply = exchange(command);
        r.turns.push_back(ApduTurn{command, reply});
        if (!reply.ok) {
            r.status = ApduStatus::ExchangeFailed;
            return r;
        }
        if (reply.data.size() < 2) {
            r.data.insert(r.data.end(), reply.data.begin(), reply.data.end());
            r.status = ApduStatus::NoStatusWord;
            return r;
        }
        r.sw1 = reply.data[reply.data.size() - 2];
        r.sw2 = reply.data[reply.data.size() - 1];
        r.status = ApduStatus::Ok;

        std::optional<Bytes> next;
        if (followUp && r.sw1 == 0x61) {
            next = Bytes{0x00, 0xC0, 0x00, 0x00, r.sw2};
        } else if (followUp && r.sw1 == 0x6C) {
            next = WithLe(command, r.sw2);
        }
        // A 6Cxx answer carries nothing worth keeping: the command is sent again.
        if (!(next && r.sw1 == 0x6C))
            r.data.insert(r.data.end(), reply.data.begin(), reply.data.end() - 2);
        if (!next)
            return r;
        if (followUps == maxFollowUps) {
            r.status = ApduStatus::TooManyFollowUps;
            return r;
        }
        ++followUps;
        command = std::move(*next);
    }
}

namespace {

// The status words that tell their meaning whole (ISO/IEC 7816-4), one row each.
struct tSwText {
    int iSw;
    const char* pText;
};
constexpr tSwText kExactSw[] = {
    {0x9000, "success"},
    {0x6281, "warning: part of the data may be corrupted"},
    {0x6282, "warning: end of file reached before Le bytes"},
    {0x6283, "warning: selected file deactivated"},
    {0x6700, "wrong length"},
    {0x6881, "logical channel not supported"},
    {0x6882, "secure messaging not supported"},
    {0x6982, "security status not satisfied"},
    {0x6983, "authentication method blocked"},
    {0x6984, "reference data not usable"},
    {0x6985, "conditions of use not satisfied"},
    {0x6986, "command not allowed (no current EF)"},
    {0x6A80, "incorrect parameters in the data field"},
    {0x6A81, "function not supported"},
    {0x6A82, "file or application not found"},
    {0x6A83, "record not found"},
    {0x6A84, "not enough memory space in the file"},
    {0x6A86, "incorrect parameters P1-P2"},
    {0x6A88, "referenced data not found"},
    {0x6B00, "wrong parameters P1-P2"},
    {0x6D00, "instruction not supported"},
    {0x6E00, "class not supported"},
    {0x6F00, "no precise diagnosis"},
};

// A status word by its first byte, where the second carries a number or nothing.
std::string DescribeSw1(uint8_t sw1, uint8_t sw2) {
    char buf[96];
    switch (sw1) {
    case 0x61:
        std::snprintf(buf, sizeof buf, "%d more bytes available (GET RESPONSE)", sw2 ? sw2 : 256);
        return buf;
    case 0x6C:
        std::snprintf(buf, sizeof buf, "wrong Le, %d bytes available", sw2 ? sw2 : 256);
        return buf;
    case 0x63:
        if ((sw2 & 0xF0) == 0xC0) {
            std::snprintf(buf, sizeof buf, "verification failed, %d tries left", sw2 & 0x0F);
            return buf;
        }
        return "warning, non-volatile memory changed";
    case 0x62:
        return "warning, non-volatile memory unchanged";
    case 0x64:
        return "execution error, non-volatile memory unchanged";
    case 0x65:
        return "execution error, non-volatile memory changed";
    case 0x66:
        return "security error";
    case 0x67:
        return "wrong length";
    case 0x68:
        return "functions in CLA not supported";
    case 0x69:
        return "command not allowed";
    case 0x6A:
        return "wrong parameters";
    default:
        return (sw1 & 0xF0) == 0x90 ? "application-specific status" : "unknown status";
    }
}

} // namespace

std::string DescribeSw(uint8_t sw1, uint8_t sw2) {
    const int sw = sw1 << 8 | sw2;
    for (const tSwText& row : kExactSw)
        if (row.iSw == sw)
            return row.pText;
    return DescribeSw1(sw1, sw2);
}

} // namespace idcctl
