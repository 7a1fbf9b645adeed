#include <algorithm>
#include <tuple>

#include "support/scripted_reader.h"

namespace {
// clang-format off
const Commands kAttempts = {"CI0", "CI0", "CI@", "CI0", "CR0", "CR0", "CR0", "CR0", "CU001", "CU001"};
// clang-format on

Bytes Apdu(size_t n) {
    Bytes a(n);
    for (size_t i = 0; i < n; ++i)
        a[i] = uint8_t(i * 7 + 1);
    return a;
}
std::string Cmd(const char* prefix, const Bytes& apdu, size_t from = 0, size_t n = ~size_t(0)) {
    return prefix +
           std::string(apdu.begin() + from, apdu.begin() + from + std::min(n, apdu.size() - from));
}
// A chip reply whose second echo character asks for more ('5') or not.
// clang-format off
Bytes More(const std::string& data) { return Answer('P', "I5", "00", B(data)); }
Bytes Last(const std::string& data) { return Answer('P', "I0", "00", B(data)); }
// clang-format on

class ChipB : public ReaderBTest {
protected:
    // Power on; attempt `index` succeeds with this answer to reset, the earlier ones fail.
    int Activate(int index, const Bytes& atr) {
        vRestart({Ok()});
        answers.insert(answers.end(), index, Neg("10"));
        answers.push_back(Ok(atr));
        atrLen = 0;
        protocol = 77;
        return Into(reader.ChipPower(1, uintptr_t(atr_), uintptr_t(&atrLen), &protocol), ret);
    }
    int Io(const Bytes& apdu, const std::vector<Bytes>& next) {
        vRestart(next);
        ret.iCode1 = ret.iCode2 = 7;
        replyLen = 0;
        return Into(reader.ChipIO(0, apdu.data(), int(apdu.size()), reply, &replyLen), ret);
    }
    std::string Reply() const { return std::string(reply, reply + replyLen); }

    uint8_t atr_[IDC_CHIP_REPLY_MAX] = {}, reply[IDC_CHIP_REPLY_MAX] = {};
    uint32_t atrLen = 0, protocol = 0, replyLen = 0;
};
} // namespace

TEST_F(ChipB, ActivationOutcomes) {
    // clang-format off
    const std::vector<std::tuple<int, Bytes, uint32_t>> rows = { // attempt, ATR, protocol
        {10, {}, 255}, // all ten attempts fail
        {0, {0x3B, 0x65}, 0}, {0, {0x3B, 0xE2}, 1}, {0, {0x3B, 0x3B}, 255}, {1, {0x3B, 0x6F}, 0},
        {3, {0x3B, 0x65}, 3}, {4, {0xA2, 0x13, 0x10}, 4}, {6, {0x92, 0x23, 0x10}, 5},
        {0, {0x92, 0x23, 0x10}, 5}, {7, {0x3B}, 7}, {9, {0x3B}, 9},
    };
    // clang-format on
    for (const auto& [index, atr, expected] : rows) {
        SCOPED_TRACE(Hex(atr) + " at " + std::to_string(index));
        EXPECT_EQ(index == 10 ? 1 : 0, Activate(index, atr));
        EXPECT_EQ(expected, protocol);
        EXPECT_EQ(expected, reader.tStatus().usField[9]);
        EXPECT_EQ(Hex(atr), Hex(Bytes(atr_, atr_ + atrLen)));
        Commands sent = {"C@0"};
        sent.insert(sent.end(), kAttempts.begin(), kAttempts.begin() + std::min(index + 1, 10));
        EXPECT_EQ(sent, commands);
        EXPECT_EQ(Ms(sent.size(), 10000), ReplyTimeouts());
        EXPECT_EQ(index == 10 ? 1283 : 1201, ret.iCode2); // the last attempt's code
    }
    vRestart({Neg("10")}); // "C@0" failing: nothing else sent, protocol numbers unchanged
    protocol = 77;
    EXPECT_EQ(1, Into(reader.ChipPower(1, 0, 0, &protocol), ret));
    EXPECT_EQ(Commands{"C@0"}, commands);
    EXPECT_EQ(77u, protocol);
    EXPECT_EQ(9, reader.tStatus().usField[9]);
}

TEST_F(ChipB, ChipIoByProtocol) {
    // clang-format off
    const std::vector<std::tuple<int, Bytes, size_t, const char*, int, int>> rows = {
        // attempt, ATR, APDU length, prefix (null: nothing sent), result, code (7: left alone)
        {0, {0, 0x65}, 262, nullptr, 1, 1224}, {0, {0, 0x65}, 261, "CI3", 0, 1201},
        {0, {0, 0xE2}, IDC_CHIP_REPLY_MAX + 1, nullptr, 1, 1224},
        {0, {0, 0xE2}, 999, "CI4", 0, 1201}, {2, {}, 5, nullptr, 0, 7}, {3, {}, 5, nullptr, 0, 7},
        {4, {0xA2, 0x13, 0x10}, 1021, "CR3", 0, 1201}, {4, {0xA2, 0x13, 0x10}, 1022, nullptr, 1, 1224},
        {4, {0x92, 0x23, 0x10}, 5, "CR3", 0, 1201}, {6, {}, 5, "CR4", 0, 1201},
        {7, {}, 5, "CR4", 0, 1201}, {8, {}, 5, "CU3", 0, 1201}, {9, {}, 5, nullptr, 1, 1267},
        {0, {0, 0x3B}, 5, nullptr, 1, 1267},
    };
    // clang-format on
    for (const auto& [index, atr, apduLen, prefix, result, code] : rows) {
        Activate(index, atr);
        SCOPED_TRACE("protocol " + std::to_string(protocol) + ", " + std::to_string(apduLen));
        const Bytes apdu = Apdu(apduLen);
        // A '5' is no continuation for the CR/CU commands.
        EXPECT_EQ(result, Io(apdu, {More("R1"), Last("R2")}));
        EXPECT_EQ(code, ret.iCode2);
        const bool continued = prefix && prefix[1] == 'I';
        Commands expected;
        if (prefix)
            expected.push_back(Cmd(prefix, apdu));
        if (continued)
            expected.push_back("CI7");
        EXPECT_EQ(expected, commands);
        EXPECT_EQ(continued ? "R1R2" : prefix ? "R1" : "", Reply());
    }
}

TEST_F(ChipB, Protocol1SendsThousandByteBlocks) {
    Activate(0, {0, 0xE2});
    const Bytes a2500 = Apdu(2500), a1000 = Apdu(1000);
    EXPECT_EQ(0, Io(a2500, {Ok("b1"), Ok("b2"), Last("END")}));
    EXPECT_EQ((Commands{Cmd("CI5", a2500, 0, 1000), Cmd("CI5", a2500, 1000, 1000),
                        Cmd("CI6", a2500, 2000)}),
              commands);
    EXPECT_EQ("END", Reply()); // block replies are not handed out
    EXPECT_EQ(0, Io(a1000, {Ok(), Last("E")}));
    EXPECT_EQ((Commands{Cmd("CI5", a1000), "CI6"}), commands);
    // A block answered with '?' ends it: nothing more is sent or handed out.
    EXPECT_EQ(1, Io(a2500, {Answer('P', "I?", "00", B("x")), Ok()}));
    EXPECT_EQ(1u, commands.size());
    EXPECT_EQ(0u, replyLen);
}

TEST_F(ChipB, ContinuationWithCI7) {
    Activate(0, {0, 0x65});
    const Bytes apdu = Apdu(4);
    EXPECT_EQ(0, Io(apdu, {More("AB"), More("CD"), Last("EF")}));
    EXPECT_EQ((Commands{Cmd("CI3", apdu), "CI7", "CI7"}), commands);
    EXPECT_EQ("ABCDEF", Reply());
    // A failing continuation keeps what came before it.
    EXPECT_EQ(1, Io(apdu, {More("AB"), Neg("10")}));
    EXPECT_EQ(1283, ret.iCode2);
    EXPECT_EQ("AB", Reply());
    // Past IDC_CHIP_REPLY_MAX: 1222, the buffer filled to its end and no further.
    const std::string k(1000, 'k');
    EXPECT_EQ(1, Io(apdu, {More(k), More(k), More(k), More(k), More(std::string(1000, 'z'))}));
    vExpectRet(1222, 1);
    EXPECT_EQ(std::string(4000, 'k') + std::string(96, 'z'), Reply());
    EXPECT_EQ(5u, commands.size());
    // A reader that asks on and on with nothing to add: 1222 after IDC_CHIP_REPLY_MAX rounds.
    EXPECT_EQ(1, Io(apdu, std::vector<Bytes>(IDC_CHIP_REPLY_MAX + 2, More(""))));
    EXPECT_EQ(IDC_CHIP_REPLY_MAX + 1u, commands.size());
    vExpectRet(1222, 1);
}

TEST_F(ChipB, ReactivationAndDeactivation) {
    // clang-format off
    const std::vector<std::tuple<int, Bytes, const char*, int, const char*>> rows = {
        // attempt, ATR, reactivation (null: refused unsent), its code (7: left alone), deactivation
        {0, {0, 0x65}, "CI8", 1201, "CI1"}, {0, {0, 0xE2}, "CI8", 1201, "CI1"},
        {3, {}, "CIH", 1201, "Ce21"}, {4, {0x92, 0x23, 0x10}, nullptr, 7, "CR1"},
        {8, {}, nullptr, 7, "CR1"}, {9, {}, nullptr, 1267, "CI1"}, {0, {0, 0}, nullptr, 1267, "CI1"},
    };
    // clang-format on
    for (const auto& [index, atr, reactivation, code, deactivation] : rows) {
        Activate(index, atr);
        const uint32_t active = protocol;
        SCOPED_TRACE(active);
        vRestart({Ok("ATR2")});
        ret.iCode2 = 7;
        protocol = atrLen = 0;
        EXPECT_EQ(reactivation ? 0 : 1,
                  Into(reader.ChipPower(2, uintptr_t(atr_), uintptr_t(&atrLen), &protocol), ret));
        EXPECT_EQ(active, protocol);
        EXPECT_EQ(code, ret.iCode2);
        EXPECT_EQ(reactivation ? Commands{reactivation} : Commands{}, commands);
        EXPECT_EQ(reactivation ? "ATR2" : "", std::string(atr_, atr_ + atrLen));
        vRestart({Neg("10"), Ok()}); // the protocol's own command may fail: only "C@2" counts
        EXPECT_EQ(0, Into(reader.ChipPower(3, 0, 0, &protocol), ret));
        EXPECT_EQ((Commands{deactivation, "C@2"}), commands);
        vExpectRet(1201, 0);
        EXPECT_EQ(255u, protocol);
        EXPECT_EQ(255, reader.tStatus().usField[9]);
        EXPECT_EQ(2, reader.tStatus().usField[8]);
    }
    vRestart({Ok(), Neg("10")});
    EXPECT_EQ(1, Into(reader.ChipPower(3, 0, 0, &protocol), ret));
    EXPECT_EQ((Commands{"CI1", "C@2"}), commands);
    EXPECT_EQ(1283, ret.iCode2);
    EXPECT_EQ(255u, protocol);
    // "C@2" unanswered: its code beside the reply text of the last reply that came.
    vRestart({Neg("10"), kSilence});
    EXPECT_EQ(1, Into(reader.ChipPower(3, 0, 0, &protocol), ret));
    vExpectRet(1299, 1);
    EXPECT_EQ("Nxx10", std::string(ret.acReplyText, 5));
}
