// APDU follow-ups (61xx, 6Cxx) against a chip that expects a script of commands.
#include <sstream>

#include <gtest/gtest.h>

#include "apdu.h"

namespace idcctl {
namespace {

TEST(Apdu, FollowUps) {
    using S = ApduStatus;
    // clang-format off
    const struct {
        const char* what;
        bool follow_up;
        const char* script; // "command > reply; ...", the first command is the APDU
        S status;
        const char* data;
        const char* sw; // "": none
    } rows[] = {
        {"61xx: GET RESPONSE", true, "00A40400 02 3F00 > 6103; 00C00000 03 > 6F01AA 9000",
         S::Ok, "6F01AA", "9000"},
        {"61xx twice: data of both in order", true,
         "80CA9F7F 00 > 6102; 00C00000 02 > 0102 6101; 00C00000 01 > 03 9000",
         S::Ok, "010203", "9000"},
        {"6100: Le 00", true, "00B00000 00 > 6100; 00C00000 00 > AB 9000", S::Ok, "AB", "9000"},
        {"6Cxx, case 1: Le added", true, "00840000 > 6C02; 00840000 02 > 1122 9000",
         S::Ok, "1122", "9000"},
        {"6Cxx, case 2: Le replaced", true, "00B00000 00 > EE 6C04; 00B00000 04 > 01020304 9000",
         S::Ok, "01020304", "9000"},
        {"6Cxx, case 3: Le added behind the data", true,
         "00CB3FFF 02 5C00 > 6C01; 00CB3FFF 02 5C00 01 > 7F 9000", S::Ok, "7F", "9000"},
        {"6Cxx, case 4: last byte replaced", true,
         "00CB3FFF 02 5C00 10 > 6C01; 00CB3FFF 02 5C00 01 > 7F 9000", S::Ok, "7F", "9000"},
        {"6Cxx then 61xx", true,
         "00B00000 00 > 6C02; 00B00000 02 > 6102; 00C00000 02 > 0A0B 9000", S::Ok, "0A0B", "9000"},
        {"6Cxx on a malformed command: kept", true, "00B00000 05 01 > 6C02", S::Ok, "", "6C02"},
        {"no follow-ups: 61xx is the answer", false, "00A40400 02 3F00 > 6110", S::Ok, "", "6110"},
        {"no follow-ups: 6Cxx is the answer", false, "00B00000 00 > 6C10", S::Ok, "", "6C10"},
        {"the library fails the GET RESPONSE", true, "00A40400 02 3F00 > 6103; 00C00000 03 > FAIL",
         S::ExchangeFailed, "", "6103"},
        {"one byte: no status word", true, "00A40400 02 3F00 > 90", S::NoStatusWord, "90", ""},
        {"a card that never stops: three follow-ups, then stop", true,
         "00B00000 00 > 01 6101; 00C00000 01 > 02 6101; 00C00000 01 > 03 6101; "
         "00C00000 01 > 04 6101",
         S::TooManyFollowUps, "01020304", "6101"},
    };
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::pair<std::string, std::string>> script;
        std::istringstream in(r.script);
        for (std::string turn; std::getline(in, turn, ';');)
            script.emplace_back(turn.substr(0, turn.find('>')), turn.substr(turn.find('>') + 1));
        size_t next = 0;
        const ChipExchange chip = [&](const Bytes& command) {
            ChipReply reply;
            if (next == script.size()) {
                ADD_FAILURE() << "unexpected command " << ToHex(command);
                return reply;
            }
            const auto& [expected, answer] = script[next++];
            EXPECT_EQ(ToHex(command, '\0'), ToHex(*ParseHex(expected), '\0')) << "turn " << next;
            reply.ok = answer.find("FAIL") == std::string::npos;
            reply.result = reply.ok ? 0 : 1;
            reply.code = reply.ok ? 1201 : 1225;
            reply.data = reply.ok ? *ParseHex(answer) : Bytes{};
            return reply;
        };
        const ApduResult res = TransmitApdu(chip, *ParseHex(script[0].first), r.follow_up, 3);
        EXPECT_EQ(next, script.size());
        EXPECT_EQ(res.turns.size(), script.size());
        EXPECT_EQ(static_cast<int>(res.status), static_cast<int>(r.status));
        EXPECT_EQ(ToHex(res.data, '\0'), r.data);
        if (*r.sw) {
            EXPECT_EQ(ToHex(Bytes{res.sw1, res.sw2}, '\0'), r.sw);
        }
    }
}

TEST(Apdu, CountsInStatusWordDescriptions) {
    EXPECT_EQ(DescribeSw(0x61, 0x00), "256 more bytes available (GET RESPONSE)");
    EXPECT_EQ(DescribeSw(0x6C, 0x12), "wrong Le, 18 bytes available");
    EXPECT_EQ(DescribeSw(0x63, 0xC2), "verification failed, 2 tries left");
}

} // namespace
} // namespace idcctl
