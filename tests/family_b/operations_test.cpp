#include <cstring>
#include <functional>
#include <tuple>

#include "support/scripted_reader.h"

using namespace quillon;

TEST_F(ReaderBTest, InitResendsOnceOn1291) {
    vRestart({Neg("30"), Neg("30"), Ok()});
    EXPECT_EQ(1, Into(reader.Init(3), ret));
    vExpectRet(1291, 1);
    EXPECT_EQ((Commands{"C0632400010011", "C0632400010011"}), commands);
    EXPECT_EQ(2, line().Purges()); // the resend starts clean too
}

TEST_F(ReaderBTest, InitIdentifiesTheModelAndConfigures) {
    struct Row {
        const char *ini, *identifier;
        std::vector<Bytes> configAnswers;
        Commands configCommands;
        const char* model;
        std::vector<int> fields; // caps 0, 1, 2; status 4, 3
    } rows[] = {
        // clang-format off
        {"", "27410179", {Ok(), Ok(), Ok("x51231ab")}, {"C:X0", "Cc90", "Ce2"}, "ICT3Q8-3A0179", {1, 1, 1, 3, 3}},
        {"[IntakeMode]\nIntakeMode=1\n[ActMode]\nActMode=7\n", "27410179", {Neg("10"), Ok("x51231ab")},
         {"C:X1", "Ce2"}, "ICT3Q8-3A0179", {1, 2, 1, 4, 7}},
        {"", "05880188", {}, {}, "ICT3Q5-3A0188", {0, 0, 0, 0, 0}},
        {"", "99990000", {}, {}, "", {1, 0, 0, 0, 0}},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.identifier) + row.ini);
        s_env->vWriteConfig(std::string("[CARDREADER]\nPort=/dev/scripted\n") + row.ini);
        OSerialReaderB fresh(s_comm);
        vRestart({Neg("30"), Ok(), Ok("07"), Ok(row.identifier)});
        answers.insert(answers.end(), row.configAnswers.begin(), row.configAnswers.end());
        EXPECT_EQ(0, Into(fresh.Init(2), ret));
        vExpectRet(1201, 0); // the outcome of "CA1", whatever the configuration did
        Commands expected = {"C0532400010011", "C0532400010011", "CC0", "CA1"};
        expected.insert(expected.end(), row.configCommands.begin(), row.configCommands.end());
        EXPECT_EQ(expected, commands);
        Ms timeouts(expected.size(), 10000);
        timeouts[0] = timeouts[1] = 30000;
        EXPECT_EQ(timeouts, ReplyTimeouts());
        const tIdcCaps& caps = fresh.tCaps();
        const uint16_t *cf = caps.usField, *st = fresh.tStatus().usField;
        const int c = row.configCommands.empty() ? 0 : 2;
        std::vector<int> fields = row.fields;
        fields.insert(fields.end(), {c, c, c, 7, 7});
        EXPECT_EQ(fields, (std::vector<int>{cf[0], cf[1], cf[2], st[4], st[3], cf[3], cf[4], st[11],
                                            cf[7], st[2]}));
        EXPECT_STREQ(row.model, caps.acModelName);
        EXPECT_EQ(row.identifier, std::string(caps.acFirmware, 8));
        EXPECT_STREQ(c ? "2005-12-31" : "", caps.acDate);
        EXPECT_EQ(c ? "x51231ab" : std::string(8, '\0'), std::string(caps.acInfo, 8));
        // Identified once: the next Init sends only the initialise command and "CC0".
        vRestart({Ok(), Ok("12"), Ok(row.identifier)});
        EXPECT_EQ(0, Into(fresh.Init(1), ret));
        Commands again = {"C0432400010011", "CC0"};
        if (!*row.model)
            again.push_back("CA1");
        EXPECT_EQ(again, commands);
        EXPECT_EQ(12, cf[7]);
        vRestart({Ok(), Ok("1/"), Ok(row.identifier)}); // no counter: a broken reply
        EXPECT_EQ(*row.model ? 1 : 0, Into(fresh.Init(1), ret));
        vExpectRet(*row.model ? 1222 : 1201, *row.model ? 1 : 0);
        EXPECT_EQ(12, cf[7]);
    }
}

TEST_F(ReaderBTest, GetStatusDecodesBitsAndKeepsField10Sticky) {
    // clang-format off
    const std::vector<std::tuple<Bytes, Bytes, int, std::vector<int>>> rows = {
        // C13 answer, C11 answer, code, fields 1, 2, 5, 6, 7, 9, 10
        {Answer('P', "13", "02", B({5, 0x18, 0, 'D'})), Ok(), 1201, {3, 0, 1, 1, 1, 1, 2}},
        {Ok(B({0, 0, 0, 'F'})), Ok(), 1201, {1, 0, 0, 0, 0, 255, 1}},
        {Answer('P', "13", "01", B({0, 1, 0, 'x'})), Ok(), 1201, {2, 0, 0, 0, 0, 255, 3}},
        {Ok(B({0, 0, 0, 'x'})), Ok(), 1201, {1, 0, 0, 0, 0, 255, 3}}, // field 10 stays 3
        {Ok(B({0, 0, 0, 'F'})), Ok(), 1201, {1, 0, 0, 0, 0, 255, 1}}, // 'F' still overrides
        {Ok(B({0, 0, 0, 'F'})), Neg("10"), 1283, {1, 0, 0, 0, 0, 255, 3}},
        {kSilence, Ok(), 1299, {7, 7, 7, 7, 7, 7, 3}},
    };
    // clang-format on
    for (const auto& [c13, c11, code, fields] : rows) {
        SCOPED_TRACE(Hex(c13));
        vRestart({c13, c11});
        tIdcStatus st;
        std::fill(std::begin(st.usField), std::end(st.usField), 7);
        EXPECT_EQ(code == 1201 ? 0 : 1, Into(reader.GetStatus(&st), ret));
        EXPECT_EQ(code, ret.iCode2);
        const uint16_t* f = st.usField;
        EXPECT_EQ(fields, (std::vector<int>{f[1], f[2], f[5], f[6], f[7], f[9], f[10]}));
        EXPECT_EQ(c13.empty() ? Commands{"C13"} : (Commands{"C13", "C11"}), commands);
        EXPECT_EQ(c13.empty() ? Ms{} : (Ms{5000, 5000}), ReplyTimeouts());
    }
}

TEST_F(ReaderBTest, SingleCommandOperations) {
    uint32_t protocol = 0;
    // clang-format off
    const std::vector<std::tuple<std::function<int()>, const char*, uint32_t>> rows = {
        {[&] { return Into(reader.AcceptCard(1), ret); }, "C:2", 30000},
        {[&] { return Into(reader.AcceptCard(2), ret); }, "C:0", 30000},
        {[&] { return Into(reader.AcceptCard(3), ret); }, "C:1", 30000},
        {[&] { return Into(reader.AcceptCard(4), ret); }, "C40", 30000},
        {[&] { return Into(reader.AcceptCard(5), ret); }, "C22", 30000},
        {[&] { return Into(reader.AcceptCard(0), ret); }, nullptr, 0}, // refused, nothing sent
        {[&] { return Into(reader.AcceptCard(6), ret); }, nullptr, 0},
        {[&] { return Into(reader.EjectCard(), ret); }, "C30", 20000},
        {[&] { return Into(reader.ReleaseAntiFishing(), ret); }, "Cc:1", 10000},
        {[&] { return Into(reader.ResetCount(3), ret); }, "CC100", 10000},
        {[&] { return Into(reader.ChipPower(4, 0, 0, &protocol), ret); }, nullptr, 0},
        {[&] { return Into(reader.Init(0), ret); }, nullptr, 0},
        {[&] { return Into(reader.Init(4), ret); }, nullptr, 0},
    };
    // clang-format on
    for (const auto& [call, command, timeout] : rows) {
        SCOPED_TRACE(command ? command : "refused");
        vRestart({Ok()});
        EXPECT_EQ(command ? 0 : 1, call());
        vExpectRet(command ? 1201 : 1224, command ? 0 : 1);
        EXPECT_EQ(command ? "Pxx00" : std::string(5, '\0'), std::string(ret.acReplyText, 5));
        EXPECT_EQ(command ? Commands{command} : Commands{}, commands);
        EXPECT_EQ(!command, line().events.empty());
        EXPECT_EQ(command ? Ms{timeout} : Ms{}, ReplyTimeouts());
    }
}

TEST_F(ReaderBTest, RetainCardAndCounters) {
    // clang-format off
    const std::vector<std::tuple<std::vector<Bytes>, Commands, int, uint32_t>> rows = {
        // answers, commands, code, counter (77: not written)
        {{Ok(), Ok("90")}, {"C31", "CC0"}, 1201, 90}, // the digits' edges
        {{Neg("50"), Ok(), Ok("03")}, {"C31", "CC101", "CC0"}, 1201, 3},
        {{Neg("50"), Neg("10"), Ok("09")}, {"C31", "CC101", "CC0"}, 1283, 9},
        {{Neg("10"), kSilence}, {"C31", "CC0"}, 1283, 77},
        {{Ok(), Ok("?1")}, {"C31", "CC0"}, 1201, 77},
    };
    // clang-format on
    uint16_t last = 0;
    for (const auto& [next, sent, code, expected] : rows) {
        SCOPED_TRACE(Hex(next[0]));
        vRestart(next);
        uint32_t counter = 77;
        EXPECT_EQ(code == 1201 ? 0 : 1, Into(reader.RetainCard(&counter), ret));
        EXPECT_EQ(code, ret.iCode2);
        EXPECT_EQ(sent, commands);
        EXPECT_EQ(expected, counter);
        last = expected == 77 ? last : uint16_t(expected);
        EXPECT_EQ(last, reader.tCaps().usField[7]);
        EXPECT_EQ(last, reader.tStatus().usField[2]);
    }
    EXPECT_EQ((Ms{20000, 10000}), ReplyTimeouts());
    vRestart({Ok(), Ok(B({0, 0, 0, 0})), Ok()}); // ResetCount clears it; GetStatus reports it
    EXPECT_EQ(0, Into(reader.ResetCount(0), ret));
    tIdcStatus st{};
    EXPECT_EQ(0, Into(reader.GetStatus(&st), ret));
    EXPECT_EQ(0, st.usField[2] + reader.tCaps().usField[7]);
}

TEST_F(ReaderBTest, GetLifeInfoTakesBigEndianCounters) {
    Bytes d(136, 0);
    d[1] = 1, d[2] = 2, d[3] = 3, d[19] = 5, d[64] = 0x12, d[65] = 0x34, d[127] = 10;
    d[132] = 0x01, d[135] = 9;
    const std::vector<std::pair<Bytes, std::vector<uint32_t>>> rows = {
        {Ok(d), {66051, 0, 0, 5, 0, 0, 4660, 0, 0, 0x01000009, 10}},
        {Ok(B({0, 1, 2, 3})), {66051, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, // short: the rest is zero
        {Neg("10"), std::vector<uint32_t>(11, 0xEEEEEEEE)},           // left alone
    };
    for (const auto& [answer, values] : rows) {
        vRestart({answer});
        tIdcLife life;
        std::memset(&life, 0xEE, sizeof life);
        EXPECT_EQ(answer[4] == 'N' ? 1 : 0, Into(reader.GetLifeInfo(&life), ret));
        EXPECT_EQ(Commands{"CfA"}, commands);
        EXPECT_EQ(Ms{5000}, ReplyTimeouts());
        EXPECT_EQ(values, std::vector<uint32_t>(life.uiValue, life.uiValue + 11));
    }
}

TEST_F(ReaderBTest, ReadTrackCombinedReadAndFallBacks) {
    // clang-format off
    const std::vector<std::tuple<std::vector<Bytes>, Commands, int, std::vector<std::string>, int>> rows = {
        {{Ok("ABC~1234~xyz"), Ok("000")}, {"C65", "C67"}, 0, {"ABC", "1234", "xyz"}, 1201},
        {{Ok("~~"), Ok("000"), Ok()}, {"C65", "C67", "CD2"}, 0, {"", "", ""}, 1201},
        {{Neg("10"), Ok("111"), Ok("T1"), Ok("T2"), Ok("T3")}, {"C65", "C67", "C61", "C62", "C63"}, 0, {"T1", "T2", "T3"}, 1201},
        {{Neg("10"), Ok("010"), Neg("53", B("5555"))}, {"C65", "C67", "C62"}, 0, {"", "5555", ""}, 1201},
        {{Neg("10"), Ok("000"), Neg("10"), Ok("22")}, {"C65", "C67", "CD2", "CD:"}, 0, {"", "22", ""}, 1201},
        {{Neg("10"), Ok("000"), Neg("53", B("53"))}, {"C65", "C67", "CD2"}, 0, {"", "53", ""}, 1201},
        {{Neg("10"), Neg("10"), Neg("10"), Neg("10")}, {"C65", "C67", "CD2", "CD:"}, 1251, {"", "", ""}, 1283},
        {{Neg("10"), Ok("011"), Ok(), Neg("10")}, {"C65", "C67", "C62", "C63"}, 1251, {"", "", ""}, 1283},
        {{Ok("~~xyz"), Ok("000"), Neg("10"), Neg("10")}, {"C65", "C67", "CD2", "CD:"}, 0, {"", "", "xyz"}, 1201}, // read, then failures
        {{Neg("10"), Neg("10"), Neg("53", B("77"))}, {"C65", "C67", "CD2"}, 0, {"", "77", ""}, 0}, // no positive answer
        {{Ok(std::string(85, 'a') + "~b"), Ok("000")}, {"C65", "C67"}, 0, // track 1 cut at 79
         {std::string(79, 'a'), "aaaaa", "b"}, 1201},
    };
    // clang-format on
    for (const auto& [next, sent, result, tracks, code] : rows) {
        SCOPED_TRACE(Hex(next[0]) + Hex(next[1]));
        vRestart(next);
        tIdcTracks t{};
        t.uiLen1 = t.uiLen2 = t.uiLen3 = 99;
        EXPECT_EQ(result, Into(reader.ReadTrack(&t), ret));
        vExpectRet(code, code == 1283 ? 1 : 0); // 0 only beside a success code
        EXPECT_EQ(sent, commands);
        EXPECT_EQ(Ms(sent.size(), 15000), ReplyTimeouts());
        EXPECT_EQ(tracks,
                  (std::vector<std::string>{std::string(t.abTrack1, t.abTrack1 + t.uiLen1),
                                            std::string(t.abTrack2, t.abTrack2 + t.uiLen2),
                                            std::string(t.abTrack3, t.abTrack3 + t.uiLen3)}));
    }
}

TEST_F(ReaderBTest, WriteTrackPerTrackCommands) {
    const std::vector<std::tuple<std::vector<Bytes>, Commands, int, std::vector<uint32_t>>> rows = {
        {{}, {}, 1268, {0, 0, 0}}, // nothing to write: nothing sent, the record left alone
        {{Ok(), Ok()}, {"C71AAAAA", "C73CCCCCCC"}, 0, {5, 0, 7}},
        {{Ok(), Neg("10"), Ok()}, {"C71AA", "C72BBB", "C73CCCC"}, 1, {2, 3, 4}}, // 3 becomes 0
    };
    for (const auto& [next, sent, result, lens] : rows) {
        SCOPED_TRACE(sent.size());
        vRestart(next);
        ret.iCode2 = 7;
        tIdcTracks t{};
        std::memset(t.abTrack1, 'A', 79);
        std::memset(t.abTrack2, 'B', 40);
        std::memset(t.abTrack3, 'C', 107);
        t.uiLen1 = lens[0], t.uiLen2 = lens[1], t.uiLen3 = lens[2];
        EXPECT_EQ(result, Into(reader.WriteTrack(&t), ret));
        EXPECT_EQ(sent, commands);
        EXPECT_EQ(Ms(sent.size(), 20000), ReplyTimeouts());
        EXPECT_EQ((result == 1 ? std::vector<uint32_t>{2, 0, 4} : lens),
                  (std::vector<uint32_t>{t.uiLen1, t.uiLen2, t.uiLen3}));
        EXPECT_EQ(result == 1268, ret.iCode2 == 7);
        if (result == 1) {
            vExpectRet(1283, 1); // the failed track 2, not track 3's success
        }
    }
}
