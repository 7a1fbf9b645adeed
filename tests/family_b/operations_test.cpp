#include "reader_b_fixture.h"

#include <functional>

using Commands = std::vector<std::string>;

namespace {
uint16_t CapField(const OSerialReaderB& r, int offset) {
    return r.caps().usField[offset / 2];
}
} // namespace

TEST_F(ReaderBTest, InitRefusesBadModesAndResendsOnceOn1291) {
    for (int mode : {0, 4}) {
        vRestart();
        EXPECT_EQ(1, reader.Init(mode, &ret));
        vExpectRet(1224, 1);
        EXPECT_TRUE(line->events.empty());
    }
    // 'N' "30" twice: one resend, then the failure stands.
    vRestart({Neg("30"), Neg("30"), Ok()});
    EXPECT_EQ(1, reader.Init(3, &ret));
    vExpectRet(1291, 1);
    EXPECT_EQ((Commands{"C0632400010011", "C0632400010011"}), fake.commands);
    EXPECT_EQ(2, line->Purges()); // the resend starts clean too
}

TEST_F(ReaderBTest, InitIdentifiesTheModelAndConfigures) {
    struct Row {
        const char* name;
        const char* ini;
        const char* identifier;
        std::vector<Bytes> configAnswers;
        Commands configCommands;
        const char* model;
        uint16_t identified, intakeCap, actCap, intakeState, actState;
    } rows[] = {
        {"2741, keys missing",
         "",
         "27410179",
         {Ok(), Ok(), Ok("x51231ab")},
         {"C:X0", "Cc90", "Ce2"},
         "ICT3Q8-3A0179",
         1,
         1,
         1,
         3,
         3},
        {"2741, intake 1 failing, act 7",
         "[IntakeMode]\nIntakeMode=1\n[ActMode]\nActMode=7\n",
         "27410179",
         {Neg("10"), Ok("x51231ab")},
         {"C:X1", "Ce2"},
         "ICT3Q8-3A0179",
         1,
         2,
         1,
         4,
         7},
        {"05", "", "05880188", {}, {}, "ICT3Q5-3A0188", 0, 0, 0, 0, 0},
        {"other", "", "99990000", {}, {}, "", 1, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        env.vWriteConfig(std::string("[CARDREADER]\nPort=/dev/scripted\n") + row.ini);
        OSerialReaderB fresh(&comm);
        vRestart({Neg("30"), Ok(), Ok("07"), Ok(row.identifier)});
        for (const Bytes& a : row.configAnswers)
            fake.answers.push_back(a);
        EXPECT_EQ(0, fresh.Init(2, &ret));
        vExpectRet(1201, 0); // the outcome of "CA1", whatever the configuration did
        Commands expected = {"C0532400010011", "C0532400010011", "CC0", "CA1"};
        expected.insert(expected.end(), row.configCommands.begin(), row.configCommands.end());
        EXPECT_EQ(expected, fake.commands);
        std::vector<uint32_t> timeouts = {30000, 30000, 10000, 10000};
        timeouts.resize(expected.size(), 10000);
        EXPECT_EQ(timeouts, ReplyTimeouts());

        const tIdcCaps& caps = fresh.caps();
        const tIdcStatus& st = fresh.status();
        EXPECT_STREQ(row.model, caps.acModelName);
        EXPECT_EQ(std::string(row.identifier), std::string(caps.acFirmware, 8));
        EXPECT_EQ(7, CapField(fresh, 14));
        EXPECT_EQ(7, st.usField[2]);
        EXPECT_EQ(99, CapField(fresh, 12));
        EXPECT_EQ(255, st.usField[9]);
        EXPECT_EQ(row.identified, CapField(fresh, 0));
        EXPECT_EQ(row.intakeCap, CapField(fresh, 2));
        EXPECT_EQ(row.actCap, CapField(fresh, 4));
        EXPECT_EQ(row.intakeState, st.usField[4]);
        EXPECT_EQ(row.actState, st.usField[3]);
        const bool configured = !row.configCommands.empty();
        EXPECT_EQ(configured ? 2 : 0, CapField(fresh, 6));
        EXPECT_EQ(configured ? 2 : 0, CapField(fresh, 8));
        EXPECT_EQ(configured ? 2 : 0, st.usField[11]);
        EXPECT_STREQ(configured ? "2005-12-31" : "", caps.acDate);
        EXPECT_EQ(configured ? "x51231ab" : std::string(8, '\0'), std::string(caps.acInfo, 8));

        // Identified once: a second Init sends only the initialise command and "CC0"
        // (an unidentified reader is asked again).
        vRestart({Ok(), Ok("12"), Ok(row.identifier)});
        EXPECT_EQ(0, fresh.Init(1, &ret));
        Commands again = {"C0432400010011", "CC0"};
        if (!*row.model)
            again.push_back("CA1");
        EXPECT_EQ(again, fake.commands);
        EXPECT_EQ(12, CapField(fresh, 14));
    }
}

TEST_F(ReaderBTest, GetStatusDecodesBitsAndKeepsField10Sticky) {
    const Bytes d1 = B({0x05, 0x18, 0x00, 'D'});
    struct Row {
        const char* name;
        Bytes c13, c11;
        int result, code;
        std::vector<int> fields; // 1, 5, 6, 7, 9, 10
    } rows[] = {
        {"P 02, all bits, D", Answer('P', "13", "02", d1), Ok(), 0, 1201, {3, 1, 1, 1, 1, 2}},
        {"P 00, F", Ok(B({0, 0, 0, 'F'})), Ok(), 0, 1201, {1, 0, 0, 0, 255, 1}},
        {"P 01, byte 1 = 0x01",
         Answer('P', "13", "01", B({0, 1, 0, 'x'})),
         Ok(),
         0,
         1201,
         {2, 0, 0, 0, 255, 3}},
        {"field 10 stays 3", Ok(B({0, 0, 0, 'x'})), Ok(), 0, 1201, {1, 0, 0, 0, 255, 3}},
        {"F still overrides", Ok(B({0, 0, 0, 'F'})), Ok(), 0, 1201, {1, 0, 0, 0, 255, 1}},
        {"C11 failing", Ok(B({0, 0, 0, 'F'})), Neg("10"), 1, 1283, {1, 0, 0, 0, 255, 3}},
        {"C13 silent", kSilence, Ok(), 1, 1299, {7, 7, 7, 7, 7, 3}},
    };
    const int index[] = {1, 5, 6, 7, 9, 10};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vRestart({row.c13, row.c11});
        tIdcStatus st;
        for (uint16_t& f : st.usField)
            f = 7;
        EXPECT_EQ(row.result, reader.GetStatus(&st, &ret));
        EXPECT_EQ(row.code, ret.iCode2);
        for (size_t i = 0; i < 6; ++i)
            EXPECT_EQ(row.fields[i], st.usField[index[i]]) << "field " << index[i];
        EXPECT_EQ(row.c13.empty() ? 7 : 0, st.usField[2]);
        EXPECT_EQ(row.c13.empty() ? Commands{"C13"} : (Commands{"C13", "C11"}), fake.commands);
        EXPECT_EQ(row.c13.empty() ? std::vector<uint32_t>{} : (std::vector<uint32_t>{5000, 5000}),
                  ReplyTimeouts());
    }
}

TEST_F(ReaderBTest, SingleCommandOperations) {
    uint32_t counter = 0;
    struct Row {
        const char* name;
        std::function<int(tDevReturn*)> call;
        const char* command; // null: refused, nothing sent
        uint32_t timeout;
    } rows[] = {
        {"accept 1", [&](tDevReturn* r) { return reader.AcceptCard(1, r); }, "C:2", 30000},
        {"accept 2", [&](tDevReturn* r) { return reader.AcceptCard(2, r); }, "C:0", 30000},
        {"accept 3", [&](tDevReturn* r) { return reader.AcceptCard(3, r); }, "C:1", 30000},
        {"accept 4", [&](tDevReturn* r) { return reader.AcceptCard(4, r); }, "C40", 30000},
        {"accept 5", [&](tDevReturn* r) { return reader.AcceptCard(5, r); }, "C22", 30000},
        {"accept 0", [&](tDevReturn* r) { return reader.AcceptCard(0, r); }, nullptr, 0},
        {"accept 6", [&](tDevReturn* r) { return reader.AcceptCard(6, r); }, nullptr, 0},
        {"eject", [&](tDevReturn* r) { return reader.EjectCard(r); }, "C30", 20000},
        {"anti-fishing", [&](tDevReturn* r) { return reader.ReleaseAntiFishing(r); }, "Cc:1",
         10000},
        {"reset count", [&](tDevReturn* r) { return reader.ResetCount(3, r); }, "CC100", 10000},
        {"chip action 4", [&](tDevReturn* r) { return reader.ChipPower(4, 0, 0, &counter, r); },
         nullptr, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vRestart({Ok()});
        if (!row.command) {
            EXPECT_EQ(1, row.call(&ret));
            vExpectRet(1224, 1);
            EXPECT_TRUE(line->events.empty());
            continue;
        }
        EXPECT_EQ(0, row.call(&ret));
        vExpectRet(1201, 0);
        EXPECT_EQ(Commands{row.command}, fake.commands);
        EXPECT_EQ(std::vector<uint32_t>{row.timeout}, ReplyTimeouts());
        vRestart({Neg("10")});
        EXPECT_EQ(1, row.call(&ret));
        vExpectRet(1283, 1);
    }
}

TEST_F(ReaderBTest, RetainCardAndCounters) {
    struct Row {
        const char* name;
        std::vector<Bytes> answers;
        Commands commands;
        int result, code;
        uint32_t counter; // 77: not written
    } rows[] = {
        {"retained", {Ok(), Ok("12")}, {"C31", "CC0"}, 0, 1201, 12},
        {"N 50, CC101 succeeds", {Neg("50"), Ok(), Ok("03")}, {"C31", "CC101", "CC0"}, 0, 1201, 3},
        {"N 50, CC101 fails",
         {Neg("50"), Neg("10"), Ok("04")},
         {"C31", "CC101", "CC0"},
         1,
         1283,
         4},
        {"other failure, CC0 silent", {Neg("10"), kSilence}, {"C31", "CC0"}, 1, 1283, 77},
        {"CC0 not digits", {Ok(), Ok("?1")}, {"C31", "CC0"}, 0, 1201, 77},
    };
    uint16_t last = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vRestart();
        fake.answers.assign(row.answers.begin(), row.answers.end());
        uint32_t counter = 77;
        EXPECT_EQ(row.result, reader.RetainCard(&counter, &ret));
        EXPECT_EQ(row.code, ret.iCode2);
        EXPECT_EQ(row.commands, fake.commands);
        EXPECT_EQ(row.counter, counter);
        if (row.counter != 77)
            last = static_cast<uint16_t>(row.counter);
        EXPECT_EQ(last, CapField(reader, 14));
        EXPECT_EQ(last, reader.status().usField[2]);
    }
    EXPECT_EQ((std::vector<uint32_t>{20000, 10000}), ReplyTimeouts());
    vRestart({Neg("50"), Ok(), Ok("03")});
    reader.RetainCard(nullptr, &ret);
    EXPECT_EQ((std::vector<uint32_t>{20000, 5000, 10000}), ReplyTimeouts());

    // ResetCount clears it; GetStatus reports it.
    vRestart({Ok(), Ok(B({0, 0, 0, 0})), Ok()});
    EXPECT_EQ(0, reader.ResetCount(0, &ret));
    tIdcStatus st{};
    EXPECT_EQ(0, reader.GetStatus(&st, &ret));
    EXPECT_EQ(0, st.usField[2]);
    EXPECT_EQ(0, CapField(reader, 14));
}

TEST_F(ReaderBTest, GetLifeInfoTakesBigEndianCounters) {
    Bytes d(136, 0);
    const Bytes v0 = {0x00, 0x01, 0x02, 0x03};
    std::copy(v0.begin(), v0.end(), d.begin());
    d[64] = 0x12, d[65] = 0x34; // value 6
    d[19] = 5;                  // value 3
    d[127] = 10;                // value 10
    d[132] = 0x01, d[135] = 9;  // value 9
    struct Row {
        Bytes answer;
        int result;
        std::vector<uint32_t> values; // empty: record untouched
    } rows[] = {
        {Ok(d), 0, {66051, 0, 0, 5, 0, 0, 4660, 0, 0, 0x01000009, 10}},
        {Ok(v0), 0, {66051, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, // short: the rest is zero
        {Neg("10"), 1, {}},
    };
    for (const Row& row : rows) {
        vRestart({row.answer});
        tIdcLife life;
        std::memset(&life, 0xEE, sizeof life);
        EXPECT_EQ(row.result, reader.GetLifeInfo(&life, &ret));
        EXPECT_EQ(Commands{"CfA"}, fake.commands);
        EXPECT_EQ(std::vector<uint32_t>{5000}, ReplyTimeouts());
        std::vector<uint32_t> values(life.uiValue, life.uiValue + 11);
        EXPECT_EQ(row.values.empty() ? std::vector<uint32_t>(11, 0xEEEEEEEE) : row.values, values);
    }
}
