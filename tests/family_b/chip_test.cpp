#include "reader_b_fixture.h"

#include <algorithm>

using Commands = std::vector<std::string>;

namespace {
const char* const kAttempts[10] = {"CI0", "CI0", "CI@", "CI0",   "CR0",
                                   "CR0", "CR0", "CR0", "CU001", "CU001"};

Bytes Apdu(size_t n) {
    Bytes a(n);
    for (size_t i = 0; i < n; ++i)
        a[i] = static_cast<uint8_t>(i * 7 + 1);
    return a;
}
std::string Cmd(const char* prefix, const Bytes& apdu, size_t from = 0, size_t n = ~size_t(0)) {
    n = std::min(n, apdu.size() - from);
    return prefix + std::string(apdu.begin() + from, apdu.begin() + from + n);
}
// A chip reply whose second echo character asks for more ('5') or not.
Bytes More(const std::string& data) {
    return Answer('P', "I5", "00", B(data));
}
Bytes Last(const std::string& data) {
    return Answer('P', "I0", "00", B(data));
}

class ChipB : public ReaderBTest {
protected:
    // Activation whose attempt `index` succeeds with this answer to reset.
    int Activate(int index, const Bytes& atr) {
        vRestart({Ok()});
        for (int i = 0; i < index; ++i)
            fake.answers.push_back(Neg("10"));
        fake.answers.push_back(Ok(atr));
        atrLen = 0;
        protocol = 77;
        return reader.ChipPower(1, reinterpret_cast<uintptr_t>(atr_),
                                reinterpret_cast<uintptr_t>(&atrLen), &protocol, &ret);
    }
    int Io(const Bytes& apdu, std::initializer_list<Bytes> answers) {
        vRestart(answers);
        ret.iCode1 = ret.iCode2 = 7;
        replyLen = 0;
        return reader.ChipIO(0, apdu.data(), static_cast<int>(apdu.size()), reply, &replyLen, &ret);
    }
    std::string Reply() { return std::string(reply, reply + replyLen); }

    uint8_t atr_[IDC_CHIP_REPLY_MAX] = {};
    uint32_t atrLen = 0;
    uint32_t protocol = 0;
    uint8_t reply[IDC_CHIP_REPLY_MAX] = {};
    uint32_t replyLen = 0;
};
} // namespace

TEST_F(ChipB, ActivationOutcomes) {
    struct Row {
        const char* name;
        int index;
        Bytes atr;
        uint32_t protocol;
    } rows[] = {
        {"CI0, 0x65", 0, {0x3B, 0x65}, 0},
        {"CI0, 0xE2", 0, {0x3B, 0xE2}, 1},
        {"CI0, 0x3B", 0, {0x3B, 0x3B}, 255},
        {"second CI0, 0x6F", 1, {0x3B, 0x6F}, 0},
        {"third CI0", 3, {0x3B, 0x65}, 3},
        {"CR0, A2 13 10", 4, {0xA2, 0x13, 0x10}, 4},
        {"CR0, 92 23 10", 6, {0x92, 0x23, 0x10}, 5},
        {"CI0, 92 23 10", 0, {0x92, 0x23, 0x10}, 5},
        {"CR0, other", 7, {0x3B}, 7},
        {"second CU001", 9, {0x3B}, 9},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(0, Activate(row.index, row.atr));
        EXPECT_EQ(row.protocol, protocol);
        EXPECT_EQ(row.protocol, reader.status().usField[9]);
        EXPECT_EQ(Hex(row.atr), Hex(Bytes(atr_, atr_ + atrLen)));
        Commands expected = {"C@0"};
        expected.insert(expected.end(), kAttempts, kAttempts + row.index + 1);
        EXPECT_EQ(expected, fake.commands);
        EXPECT_EQ(std::vector<uint32_t>(expected.size(), 10000), ReplyTimeouts());
    }

    // "C@0" failing: nothing else sent, protocol numbers unchanged.
    vRestart({Neg("10")});
    protocol = 77;
    EXPECT_EQ(1, reader.ChipPower(1, 0, 0, &protocol, &ret));
    EXPECT_EQ(Commands{"C@0"}, fake.commands);
    EXPECT_EQ(77u, protocol);
    EXPECT_EQ(9, reader.status().usField[9]);

    // All ten attempts failing: 255 and the last attempt's code.
    EXPECT_EQ(1, Activate(10, {}));
    EXPECT_EQ(255u, protocol);
    EXPECT_EQ(255, reader.status().usField[9]);
    EXPECT_EQ(1283, ret.iCode2);
    EXPECT_EQ(11u, fake.commands.size());
}

TEST_F(ChipB, ChipIoByProtocol) {
    struct Row {
        const char* name;
        int index;
        Bytes atr;
        size_t apduLen;
        const char* prefix; // null: nothing sent
        int result, code;   // code 7: the record is left alone
    } rows[] = {
        {"0, 262 bytes", 0, {0, 0x65}, 262, nullptr, 1, 7},
        {"0, 261 bytes", 0, {0, 0x65}, 261, "CI3", 0, 1201},
        {"1, 999 bytes", 0, {0, 0xE2}, 999, "CI4", 0, 1201},
        {"2", 2, {}, 5, nullptr, 0, 7},
        {"3", 3, {}, 5, nullptr, 0, 7},
        {"4", 4, {0xA2, 0x13, 0x10}, 1021, "CR3", 0, 1201},
        {"4, past the command buffer", 4, {0xA2, 0x13, 0x10}, 1022, nullptr, 1, 1224},
        {"5", 4, {0x92, 0x23, 0x10}, 5, "CR3", 0, 1201},
        {"6", 6, {}, 5, "CR4", 0, 1201},
        {"7", 7, {}, 5, "CR4", 0, 1201},
        {"8", 8, {}, 5, "CU3", 0, 1201},
        {"9", 9, {}, 5, nullptr, 1, 1267},
        {"255", 0, {0, 0x3B}, 5, nullptr, 1, 1267},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Activate(row.index, row.atr);
        const Bytes apdu = Apdu(row.apduLen);
        // A '5' is no continuation for the CR/CU commands.
        EXPECT_EQ(row.result, Io(apdu, {More("R1"), Last("R2")}));
        EXPECT_EQ(row.code, ret.iCode2);
        const bool continued = row.prefix && row.prefix[1] == 'I';
        Commands expected;
        if (row.prefix)
            expected.push_back(Cmd(row.prefix, apdu));
        if (continued)
            expected.push_back("CI7");
        EXPECT_EQ(expected, fake.commands);
        EXPECT_EQ(continued ? "R1R2" : row.prefix ? "R1" : "", Reply());
    }
}

TEST_F(ChipB, Protocol1SendsThousandByteBlocks) {
    Activate(0, {0, 0xE2});
    const Bytes a2500 = Apdu(2500);
    EXPECT_EQ(0, Io(a2500, {Ok("b1"), Ok("b2"), Last("END")}));
    EXPECT_EQ((Commands{Cmd("CI5", a2500, 0, 1000), Cmd("CI5", a2500, 1000, 1000),
                        Cmd("CI6", a2500, 2000)}),
              fake.commands);
    EXPECT_EQ("END", Reply()); // block replies are not handed out

    const Bytes a1000 = Apdu(1000);
    EXPECT_EQ(0, Io(a1000, {Ok(), Last("E")}));
    EXPECT_EQ((Commands{Cmd("CI5", a1000), "CI6"}), fake.commands);

    // A block answered with '?' ends it: nothing more is sent or handed out.
    EXPECT_EQ(1, Io(a2500, {Answer('P', "I?", "00", B("x")), Ok()}));
    EXPECT_EQ(1u, fake.commands.size());
    EXPECT_EQ(1201, ret.iCode2);
    EXPECT_EQ(0u, replyLen);
}

TEST_F(ChipB, ContinuationWithCI7) {
    Activate(0, {0, 0x65});
    const Bytes apdu = Apdu(4);
    EXPECT_EQ(0, Io(apdu, {More("AB"), More("CD"), Last("EF")}));
    EXPECT_EQ((Commands{Cmd("CI3", apdu), "CI7", "CI7"}), fake.commands);
    EXPECT_EQ("ABCDEF", Reply());

    // A failing continuation keeps what came before it.
    EXPECT_EQ(1, Io(apdu, {More("AB"), Neg("10")}));
    EXPECT_EQ(1283, ret.iCode2);
    EXPECT_EQ("AB", Reply());

    // Past IDC_CHIP_REPLY_MAX: 1222, the buffer filled to its end and no further.
    const std::string k(1000, 'k');
    EXPECT_EQ(1, Io(apdu, {More(k), More(k), More(k), More(k), More(std::string(1000, 'z'))}));
    EXPECT_EQ(1222, ret.iCode2);
    EXPECT_EQ(1, ret.iErrFlag2);
    EXPECT_EQ(static_cast<uint32_t>(IDC_CHIP_REPLY_MAX), replyLen);
    EXPECT_EQ(std::string(4000, 'k') + std::string(96, 'z'), Reply());
    EXPECT_EQ(5u, fake.commands.size());
}

TEST_F(ChipB, ReactivationAndDeactivation) {
    struct Row {
        const char* name;
        int index;
        Bytes atr;
        const char* reactivation; // null: refused without sending
        int refusedCode;          // 7: record left alone
        const char* deactivation;
    } rows[] = {
        {"0", 0, {0, 0x65}, "CI8", 0, "CI1"},     {"1", 0, {0, 0xE2}, "CI8", 0, "CI1"},
        {"3", 3, {}, "CIH", 0, "Ce21"},           {"5", 4, {0x92, 0x23, 0x10}, nullptr, 7, "CR1"},
        {"8", 8, {}, nullptr, 7, "CR1"},          {"9", 9, {}, nullptr, 1267, "CI1"},
        {"255", 0, {0, 0}, nullptr, 1267, "CI1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Activate(row.index, row.atr);
        const uint32_t active = protocol;
        vRestart({Ok("ATR2")});
        ret.iCode2 = 7;
        protocol = 0;
        atrLen = 0;
        const int result = reader.ChipPower(2, reinterpret_cast<uintptr_t>(atr_),
                                            reinterpret_cast<uintptr_t>(&atrLen), &protocol, &ret);
        EXPECT_EQ(active, protocol);
        if (row.reactivation) {
            EXPECT_EQ(0, result);
            EXPECT_EQ(Commands{row.reactivation}, fake.commands);
            EXPECT_EQ("ATR2", std::string(atr_, atr_ + atrLen));
        } else {
            EXPECT_EQ(1, result);
            EXPECT_TRUE(fake.commands.empty());
            EXPECT_EQ(row.refusedCode, ret.iCode2);
        }

        // The protocol's own command may fail: only "C@2" counts.
        vRestart({Neg("10"), Ok()});
        EXPECT_EQ(0, reader.ChipPower(3, 0, 0, &protocol, &ret));
        EXPECT_EQ((Commands{row.deactivation, "C@2"}), fake.commands);
        vExpectRet(1201, 0);
        EXPECT_EQ(255u, protocol);
        EXPECT_EQ(255, reader.status().usField[9]);
        EXPECT_EQ(2, reader.status().usField[8]);
    }
    vRestart({Ok(), Neg("10")});
    EXPECT_EQ(1, reader.ChipPower(3, 0, 0, &protocol, &ret));
    EXPECT_EQ((Commands{"CI1", "C@2"}), fake.commands);
    EXPECT_EQ(1283, ret.iCode2);
    EXPECT_EQ(255u, protocol);
}
