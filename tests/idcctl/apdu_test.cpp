#include <gtest/gtest.h>

#include "apdu.h"

namespace idcctl {
namespace {

Bytes H(const char* hex) {
    if (!*hex)
        return {};
    return *parse_hex(hex);
}

// One expected command and the chip's answer to it ("FAIL": the library
// call fails).
struct Turn {
    const char* command;
    const char* reply;
};

struct ApduCase {
    const char* what;
    const char* apdu;
    bool follow_up;
    std::vector<Turn> script;
    ApduStatus status;
    const char* data; // accumulated response data
    const char* sw;   // SW1 SW2 at the end
};

// A chip that expects the scripted commands in order.
ChipExchange scripted(const std::vector<Turn>& script, size_t& next) {
    return [&script, &next](const Bytes& command) {
        ChipReply r;
        if (next >= script.size()) {
            ADD_FAILURE() << "unexpected command " << to_hex(command);
            return r;
        }
        const Turn& t = script[next++];
        EXPECT_EQ(to_hex(command), to_hex(H(t.command))) << "turn " << next;
        if (std::string(t.reply) == "FAIL") {
            r.result = 1;
            r.code = 1225;
            return r;
        }
        r.ok = true;
        r.code = 1201;
        r.data = H(t.reply);
        return r;
    };
}

void PrintTo(const ApduCase& c, std::ostream* os) {
    *os << c.what;
}

class ApduFollowUp : public ::testing::TestWithParam<ApduCase> {};

TEST_P(ApduFollowUp, Exchanges) {
    const ApduCase& c = GetParam();
    size_t next = 0;
    const ApduResult r = transmit_apdu(scripted(c.script, next), H(c.apdu), c.follow_up, 3);
    EXPECT_EQ(next, c.script.size()) << "commands sent";
    EXPECT_EQ(r.turns.size(), c.script.size());
    EXPECT_EQ(static_cast<int>(r.status), static_cast<int>(c.status));
    EXPECT_EQ(to_hex(r.data), to_hex(H(c.data)));
    if (*c.sw) {
        const Bytes sw = H(c.sw);
        EXPECT_EQ(r.sw1, sw[0]);
        EXPECT_EQ(r.sw2, sw[1]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApduFollowUp,
    ::testing::Values(
        ApduCase{"plain success",
                 "00 A4 04 00 02 3F 00",
                 true,
                 {{"00 A4 04 00 02 3F 00", "90 00"}},
                 ApduStatus::Ok,
                 "",
                 "90 00"},
        ApduCase{"61xx fetched with GET RESPONSE",
                 "00 A4 04 00 02 3F 00",
                 true,
                 {{"00 A4 04 00 02 3F 00", "61 03"}, {"00 C0 00 00 03", "6F 01 AA 90 00"}},
                 ApduStatus::Ok,
                 "6F 01 AA",
                 "90 00"},
        ApduCase{"61xx twice: the data of both kept in order",
                 "80 CA 9F 7F 00",
                 true,
                 {{"80 CA 9F 7F 00", "61 02"},
                  {"00 C0 00 00 02", "01 02 61 01"},
                  {"00 C0 00 00 01", "03 90 00"}},
                 ApduStatus::Ok,
                 "01 02 03",
                 "90 00"},
        ApduCase{"6100 asks for 256 bytes: Le 00",
                 "00 B0 00 00 00",
                 true,
                 {{"00 B0 00 00 00", "61 00"}, {"00 C0 00 00 00", "AB 90 00"}},
                 ApduStatus::Ok,
                 "AB",
                 "90 00"},
        ApduCase{"6Cxx on case 2: Le replaced",
                 "00 B0 00 00 00",
                 true,
                 {{"00 B0 00 00 00", "6C 04"}, {"00 B0 00 00 04", "01 02 03 04 90 00"}},
                 ApduStatus::Ok,
                 "01 02 03 04",
                 "90 00"},
        ApduCase{"6Cxx on case 1: Le added",
                 "00 84 00 00",
                 true,
                 {{"00 84 00 00", "6C 08"}, {"00 84 00 00 08", "11 22 33 44 55 66 77 88 90 00"}},
                 ApduStatus::Ok,
                 "11 22 33 44 55 66 77 88",
                 "90 00"},
        ApduCase{"6Cxx on case 3: Le added behind the data",
                 "00 CB 3F FF 02 5C 00",
                 true,
                 {{"00 CB 3F FF 02 5C 00", "6C 01"}, {"00 CB 3F FF 02 5C 00 01", "7F 90 00"}},
                 ApduStatus::Ok,
                 "7F",
                 "90 00"},
        ApduCase{"6Cxx on case 4: last byte replaced",
                 "00 CB 3F FF 02 5C 00 10",
                 true,
                 {{"00 CB 3F FF 02 5C 00 10", "6C 01"}, {"00 CB 3F FF 02 5C 00 01", "7F 90 00"}},
                 ApduStatus::Ok,
                 "7F",
                 "90 00"},
        ApduCase{"6Cxx then 61xx",
                 "00 B0 00 00 00",
                 true,
                 {{"00 B0 00 00 00", "6C 02"},
                  {"00 B0 00 00 02", "61 02"},
                  {"00 C0 00 00 02", "0A 0B 90 00"}},
                 ApduStatus::Ok,
                 "0A 0B",
                 "90 00"},
        ApduCase{"6Cxx on a malformed command: returned as it is",
                 "00 B0 00 00 05 01",
                 true,
                 {{"00 B0 00 00 05 01", "6C 02"}},
                 ApduStatus::Ok,
                 "",
                 "6C 02"},
        ApduCase{"without follow-ups 61xx is the answer",
                 "00 A4 04 00 02 3F 00",
                 false,
                 {{"00 A4 04 00 02 3F 00", "61 10"}},
                 ApduStatus::Ok,
                 "",
                 "61 10"},
        ApduCase{"without follow-ups 6Cxx is the answer",
                 "00 B0 00 00 00",
                 false,
                 {{"00 B0 00 00 00", "6C 10"}},
                 ApduStatus::Ok,
                 "",
                 "6C 10"},
        ApduCase{"the library fails the GET RESPONSE",
                 "00 A4 04 00 02 3F 00",
                 true,
                 {{"00 A4 04 00 02 3F 00", "61 03"}, {"00 C0 00 00 03", "FAIL"}},
                 ApduStatus::ExchangeFailed,
                 "",
                 "61 03"},
        ApduCase{"a one-byte response has no status word",
                 "00 A4 04 00 02 3F 00",
                 true,
                 {{"00 A4 04 00 02 3F 00", "90"}},
                 ApduStatus::NoStatusWord,
                 "90",
                 ""},
        ApduCase{"an empty response has no status word",
                 "00 A4 04 00 02 3F 00",
                 true,
                 {{"00 A4 04 00 02 3F 00", ""}},
                 ApduStatus::NoStatusWord,
                 "",
                 ""},
        ApduCase{"a card that never stops: three follow-ups, then stop",
                 "00 B0 00 00 00",
                 true,
                 {{"00 B0 00 00 00", "01 61 01"},
                  {"00 C0 00 00 01", "02 61 01"},
                  {"00 C0 00 00 01", "03 61 01"},
                  {"00 C0 00 00 01", "04 61 01"}},
                 ApduStatus::TooManyFollowUps,
                 "01 02 03 04",
                 "61 01"}));

TEST(StatusWords, Descriptions) {
    EXPECT_EQ(describe_sw(0x90, 0x00), "success");
    EXPECT_EQ(describe_sw(0x6A, 0x82), "file or application not found");
    EXPECT_EQ(describe_sw(0x61, 0x00), "256 more bytes available (GET RESPONSE)");
    EXPECT_EQ(describe_sw(0x6C, 0x12), "wrong Le, 18 bytes available");
    EXPECT_EQ(describe_sw(0x63, 0xC2), "verification failed, 2 tries left");
}

} // namespace
} // namespace idcctl
