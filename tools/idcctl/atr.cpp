#include "atr.h"

#include <algorithm>
#include <cstdio>

namespace idcctl {

namespace {

std::string Format(const char* fmt, int a, int b = 0, int c = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

// Clock rate conversion factor Fi with its maximum frequency, and baud rate
// adjustment factor Di, from TA1.
std::string DescribeTa1(uint8_t v) {
    static const int kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                0,   512, 768, 1024, 1536, 2048, 0,    0};
    static const char* const kFmax[16] = {"4", "5", "6",   "8",  "12", "16", "20", "",
                                          "",  "5", "7.5", "10", "15", "20", "",   ""};
    static const int kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
    const int fi = kFi[v >> 4];
    const int di = kDi[v & 0x0F];
    std::string s = fi ? "Fi=" + std::to_string(fi) + " (f max " + kFmax[v >> 4] + " MHz)"
                       : std::string("Fi reserved");
    s += di ? ", Di=" + std::to_string(di) : std::string(", Di reserved");
    if (fi && di)
        s += ", " + std::to_string(fi / di) + (fi % di ? "+" : "") + " clocks per bit";
    return s;
}

std::string DescribeY(uint8_t y, int next) {
    std::string s;
    static const char kLetters[] = {'A', 'B', 'C', 'D'};
    for (int bit = 0; bit < 4; ++bit) {
        if (y & (1 << bit)) {
            if (!s.empty())
                s += ' ';
            s += std::string("T") + kLetters[bit] + std::to_string(next);
        }
    }
    return s.empty() ? "no interface bytes follow" : s + " follow";
}

// Meaning of TAi/TBi/TCi. `group` is i; `proto` is the T of TD(i-1) (-1 for
// the first group).
std::string Describe(char letter, int group, int proto, uint8_t v) {
    if (group == 1) {
        switch (letter) {
        case 'A':
            return DescribeTa1(v);
        case 'B':
            return "programming voltage (no longer used)";
        default:
            return v == 255 ? "extra guard time N=255 (minimum guard time)"
                            : Format("extra guard time N=%d", v);
        }
    }
    if (group == 2 && letter == 'A')
        return "specific mode, T=" + std::to_string(v & 0x0F) +
               ((v & 0x80) ? ", cannot change" : ", can change") +
               ((v & 0x10) ? ", parameters implicit" : ", parameters from TA1");
    if (group == 2 && letter == 'B')
        return "programming voltage (no longer used)";
    if (group == 2 && letter == 'C' && proto == 0)
        return Format("waiting time integer WI=%d", v);
    if (proto == 1) {
        switch (letter) {
        case 'A':
            return Format("T=1 information field size IFSC=%d", v);
        case 'B':
            return Format("T=1 block waiting BWI=%d, character waiting CWI=%d", v >> 4, v & 0x0F);
        default:
            return (v & 1) ? "T=1 error detection CRC" : "T=1 error detection LRC";
        }
    }
    if (proto == 15 && letter == 'A') {
        static const char* const kStop[4] = {"clock stop not supported", "clock stop in state L",
                                             "clock stop in state H", "clock stop, no preference"};
        std::string s = kStop[v >> 6];
        std::string classes;
        if (v & 0x01)
            classes += " A";
        if (v & 0x02)
            classes += " B";
        if (v & 0x04)
            classes += " C";
        return s + ", classes" + (classes.empty() ? std::string(" none") : classes);
    }
    if (proto == 15 && letter == 'B')
        return "use of contact C6 (SPU)";
    return proto >= 0 ? Format("for T=%d", proto) : std::string();
}

} // namespace

namespace {

// TS and T0; false when the rest cannot be read (the problem noted).
bool ReadStart(Atr& atr, const uint8_t* data, size_t size) {
    if (size == 0) {
        atr.problems.push_back("empty answer");
        return false;
    }
    const uint8_t ts = data[0];
    if (ts == 0x3B) {
        atr.convention = "direct";
    } else if (ts == 0x3F) {
        atr.convention = "inverse";
    }
    atr.iso = !atr.convention.empty();
    atr.bytes.push_back({"TS", ts,
                         atr.iso ? atr.convention + " convention"
                                 : "not an ISO 7816-3 initial character (3B or 3F)"});
    if (!atr.iso) { // the rest would not mean anything
        atr.problems.push_back("not an ISO 7816-3 answer to reset");
        return false;
    }
    if (size < 2) {
        atr.problems.push_back("ends before T0");
        return false;
    }
    const uint8_t t0 = data[1];
    atr.historicalDeclared = t0 & 0x0F;
    atr.bytes.push_back({"T0", t0,
                         DescribeY(t0 >> 4, 1) + ", " + std::to_string(atr.historicalDeclared) +
                             " historical bytes"});
    return true;
}

// The next byte, named name; false when the answer ends before it.
bool Take(Atr& atr, const uint8_t* data, size_t size, size_t& pos, const std::string& name,
          uint8_t& v) {
    if (pos >= size) {
        atr.problems.push_back("ends before " + name);
        return false;
    }
    v = data[pos++];
    return true;
}

// The interface bytes TAi, TBi, TCi and TDi from pos on; false when the
// answer ends among them.
bool ReadInterfaceBytes(Atr& atr, const uint8_t* data, size_t size, size_t& pos) {
    uint8_t y = data[1] >> 4;
    int group = 1;
    int proto = -1; // T of the last TD read
    for (;;) {
        static const char kLetters[] = {'A', 'B', 'C'};
        for (int bit = 0; bit < 3; ++bit) {
            if (!(y & (1 << bit)))
                continue;
            const std::string name = std::string("T") + kLetters[bit] + std::to_string(group);
            uint8_t v = 0;
            if (!Take(atr, data, size, pos, name, v))
                return false;
            atr.bytes.push_back({name, v, Describe(kLetters[bit], group, proto, v)});
        }
        if (!(y & 0x08))
            return true;
        const std::string name = "TD" + std::to_string(group);
        uint8_t td = 0;
        if (!Take(atr, data, size, pos, name, td))
            return false;
        proto = td & 0x0F;
        y = td >> 4;
        ++group;
        atr.bytes.push_back({name, td,
                             DescribeY(y, group) + ", T=" + std::to_string(proto) +
                                 (proto == 15 ? " (global interface bytes)" : "")});
        if (proto != 0)
            atr.tckExpected = true;
        if (proto != 15 &&
            std::find(atr.protocols.begin(), atr.protocols.end(), proto) == atr.protocols.end())
            atr.protocols.push_back(proto);
    }
}

// The historical bytes, the check byte TCK and what follows them.
void ReadTail(Atr& atr, const uint8_t* data, size_t size, size_t pos) {
    const size_t k = static_cast<size_t>(atr.historicalDeclared);
    const size_t have = std::min(k, size - pos);
    atr.historical.assign(data + pos, data + pos + have);
    pos += have;
    if (have < k) {
        atr.problems.push_back("ends after " + std::to_string(have) + " of " + std::to_string(k) +
                               " historical bytes");
        return;
    }
    if (atr.tckExpected) {
        if (pos >= size) {
            atr.problems.push_back("check byte TCK missing");
            return;
        }
        atr.tckPresent = true;
        atr.tck = data[pos++];
        uint8_t x = 0;
        for (size_t i = 1; i < pos; ++i)
            x ^= data[i];
        atr.tckOk = x == 0;
        if (!atr.tckOk)
            atr.problems.push_back(Format("TCK wrong: the bytes T0..TCK give %02X, not 00", x));
    }
    if (pos < size)
        atr.problems.push_back(std::to_string(size - pos) + " bytes after the answer to reset");
}

} // namespace

Atr DecodeAtr(const uint8_t* data, size_t size) {
    Atr atr;
    atr.raw.assign(data, data + size);
    if (!ReadStart(atr, data, size))
        return atr;
    size_t pos = 2;
    const bool complete = ReadInterfaceBytes(atr, data, size, pos);
    if (atr.protocols.empty()) {
        atr.protocols.push_back(0);
        atr.protocolImplicit = true;
    }
    if (complete)
        ReadTail(atr, data, size, pos);
    return atr;
}

namespace {

std::string ProtocolList(const Atr& atr) {
    std::string s;
    for (int p : atr.protocols) {
        if (!s.empty())
            s += ", ";
        s += "T=" + std::to_string(p);
    }
    if (atr.protocolImplicit)
        s += " (no TD1)";
    return s;
}

// Category of the historical bytes (their first byte).
std::string HistoricalCategory(const Bytes& h) {
    if (h.empty())
        return "";
    switch (h[0]) {
    case 0x00:
        return "status indicator in the last three bytes";
    case 0x10:
        return "reference to a DIR data";
    case 0x80:
        return "compact-TLV objects";
    default:
        return "proprietary";
    }
}

} // namespace

std::vector<std::string> AtrLines(const Atr& atr) {
    std::vector<std::string> lines;
    lines.push_back("ATR " + ToHex(atr.raw));
    for (const auto& b : atr.bytes) {
        char head[32];
        std::snprintf(head, sizeof head, "  %-4s %02X  ", b.name.c_str(), b.value);
        lines.push_back(head + b.meaning);
    }
    if (!atr.iso) {
        for (const auto& p : atr.problems)
            lines.push_back("  " + p);
        return lines;
    }
    if (!atr.historical.empty()) {
        const Bytes& h = atr.historical;
        lines.push_back("  historical bytes (" + std::to_string(h.size()) + "): " + ToHex(h));
        lines.push_back("    \"" + Printable(h.data(), h.size()) + "\", " + HistoricalCategory(h));
    }
    lines.push_back("  protocols: " + ProtocolList(atr));
    if (atr.tckPresent) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "  TCK  %02X  %s", atr.tck, atr.tckOk ? "correct" : "WRONG");
        lines.push_back(buf);
    } else if (!atr.tckExpected) {
        lines.push_back("  TCK  none (only T=0 offered)");
    }
    for (const auto& p : atr.problems)
        lines.push_back("  problem: " + p);
    return lines;
}

Json AtrJson(const Atr& atr) {
    Json j = Json::Object();
    j.Set("hex", ToHex(atr.raw));
    j.Set("iso", atr.iso);
    j.Set("convention", atr.convention.empty() ? Json() : Json(atr.convention));
    Json bytes = Json::Array();
    for (const auto& b : atr.bytes) {
        Json e = Json::Object();
        e.Set("name", b.name);
        e.Set("value", ToHex(&b.value, 1));
        e.Set("meaning", b.meaning);
        bytes.Push(std::move(e));
    }
    j.Set("bytes", std::move(bytes));
    Json protocols = Json::Array();
    for (int p : atr.protocols)
        protocols.Push(p);
    j.Set("protocols", std::move(protocols));
    j.Set("protocol_implicit", atr.protocolImplicit);
    j.Set("historical", ToHex(atr.historical));
    j.Set("historical_text", Printable(atr.historical.data(), atr.historical.size()));
    Json tck = Json::Object();
    tck.Set("expected", atr.tckExpected);
    tck.Set("present", atr.tckPresent);
    tck.Set("value", atr.tckPresent ? Json(ToHex(&atr.tck, 1)) : Json());
    tck.Set("ok", atr.tckPresent ? Json(atr.tckOk) : Json());
    j.Set("tck", std::move(tck));
    Json problems = Json::Array();
    for (const auto& p : atr.problems)
        problems.Push(p);
    j.Set("problems", std::move(problems));
    return j;
}

} // namespace idcctl
