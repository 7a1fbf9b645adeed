#include "reader_a_fixture.h"

class StatusA : public ReaderA {
protected:
    // An Init that finds the module working ("CV0" fails: no configuration).
    void InitWithModule() {
        Reader(P());
        Module("P01");
        Module("P00");
        Reader(P("000"));
        Reader(N("10"));
        tDevReturn r = Rec();
        a.Init(1, &r);
        ASSERT_EQ(1, a.status().usField[11]);
        line->events.clear();
    }
    uint16_t st(int i) { return a.status().usField[i]; }
    OSerialReaderA a{&comm};
};

TEST_F(StatusA, StatusCharacterRules) {
    struct Row {
        const char* name;
        int entry;       // card entry made first (mode 1 or 2), 0 none
        std::string c11; // reply to "C11"
        std::string c10; // reply to "C10"
        int result, code;
        uint16_t f1, f5, f6, f7, f8, f10, driverF10;
    } rows[] = {
        // clang-format off
        // C11 data: d[0..3] "0000", d[5] field 6, d[6] field 5, d[7] field 7, d[8] field 8.
        {"normal", 0, P("0000" "0000" "1"), P(), 0, 1201, 1, 0, 0, 0, 1, 0, 0},
        {"not 0000", 0, "P0010" "0001" "0000x", P(), 0, 1201, 3, 0, 0, 0, 0, 3, 3},
        {"d5 1, d7 0: field 1 = 1", 0, "P0001" "0000" "0150" "0", P(), 0, 1201, 1, 5, 1, 0, 2, 0, 0},
        {"P02", 1, "P0002" "0000" "0001" "1", P(), 0, 1201, 3, 0, 0, 1, 1, 3, 3},
        {"entry 1, 0 1 1", 1, P("0000" "0011"), P(), 0, 1201, 1, 1, 0, 1, 0, 3, 1},
        {"entry 2, 0 0 1", 2, P("0000" "0001"), P(), 0, 1201, 1, 0, 0, 1, 0, 3, 2},
        {"entry 1, 0 0 1", 1, P("0000" "0001"), P(), 0, 1201, 1, 0, 0, 1, 0, 1, 1},
        {"C11 fails, C10 1249", 1, N("10"), N("44"), 1, 1249, 0, 0, 0, 0, 0, 1, 1},
        {"C11 fails, C10 fails", 1, N("10"), N("10"), 1, 1283, 0, 0, 0, 0, 0, 3, 1},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OSerialReaderA d(&comm);
        tDevReturn r = Rec();
        if (row.entry) {
            Reader(P());
            ASSERT_EQ(0, d.AcceptCard(row.entry, &r));
        }
        line->events.clear();
        Reader(row.c11);
        Reader(row.c10);
        tIdcStatus s;
        std::memset(&s, 0xAB, sizeof s);
        EXPECT_EQ(row.result, d.GetStatus(&s, &r));
        EXPECT_RECORD(r, row.code, row.result);
        EXPECT_EQ((Texts{"C11/5000", "C10/5000"}), Transcript());
        EXPECT_EQ(row.f1, s.usField[1]);
        EXPECT_EQ(row.f5, s.usField[5]);
        EXPECT_EQ(row.f6, s.usField[6]);
        EXPECT_EQ(row.f7, s.usField[7]);
        EXPECT_EQ(row.f8, s.usField[8]);
        EXPECT_EQ(row.f10, s.usField[10]);
        EXPECT_EQ(row.driverF10, d.status().usField[10]);
        EXPECT_EQ(255, s.usField[9]);
        EXPECT_EQ(0, d.status().usField[1]); // the driver's copy keeps its reader state
    }
}

TEST_F(StatusA, ModuleSensorsJoinTheStatus) {
    InitWithModule();
    struct Row {
        std::vector<std::string> module;
        uint16_t f11, f12, f13, f14;
    } rows[] = {
        {{"PQ011000"}, 1, 3, 2, 2},
        {{"PQ001111"}, 1, 1, 1, 1},
        {{}, 3, 0, 0, 0}, // the module does not answer: failing
    };
    for (const Row& row : rows) {
        line->events.clear();
        for (const std::string& m : row.module)
            Module(m);
        Reader(P("000000000"));
        Reader(P());
        tIdcStatus s;
        tDevReturn r = Rec();
        EXPECT_EQ(0, a.GetStatus(&s, &r));
        EXPECT_EQ(row.f11, s.usField[11]);
        EXPECT_EQ(row.f11, st(11));
        EXPECT_EQ(row.f12, s.usField[12]);
        EXPECT_EQ(row.f13, s.usField[13]);
        EXPECT_EQ(row.f14, s.usField[14]);
        EXPECT_EQ(0, st(12)); // sensors go to the caller's copy only
        EXPECT_EQ((Texts{"M:Q0/2000", "C11/5000", "C10/5000"}), Transcript());
    }
}

TEST_F(StatusA, CardEntryEjectAndRetain) {
    const char* commands[] = {"C:2", "C:0", "C:1", "C40", "C:3"};
    for (int mode = 1; mode <= 5; ++mode) {
        line->events.clear();
        tDevReturn r = Rec();
        const uint16_t before = st(10);
        Reader(N("10"));
        EXPECT_EQ(1, a.AcceptCard(mode, &r));
        EXPECT_EQ(before, st(10)); // a failed entry leaves the state
        Reader(P());
        EXPECT_EQ(0, a.AcceptCard(mode, &r));
        EXPECT_EQ(mode, st(10));
        const std::string c = std::string(commands[mode - 1]) + "/30000";
        EXPECT_EQ((Texts{c, c}), Transcript());
    }
    for (int mode : {0, 7}) {
        line->events.clear();
        tDevReturn r = Rec();
        EXPECT_EQ(1, a.AcceptCard(mode, &r));
        EXPECT_RECORD(r, 1224, 1);
        EXPECT_TRUE(line->Writes().empty());
    }

    line->events.clear();
    tDevReturn r = Rec();
    Reader(N("10"));
    EXPECT_EQ(1, a.EjectCard(&r));
    EXPECT_EQ(3, st(10)); // whatever the outcome
    EXPECT_EQ((Texts{"C30/30000"}), Transcript());

    struct Row {
        std::vector<std::string> replies; // to "C41", "CQ0", "CQ1"
        int result, code;
        uint32_t counter;
        uint16_t driverCounter, f10;
        Texts transcript;
    } rows[] = {
        {{P(), P("123")}, 0, 1201, 123, 123, 3, {"C41/30000", "CQ0/10000"}},
        {{P(), P("999"), P()}, 0, 1201, 999, 0, 3, {"C41/30000", "CQ0/10000", "CQ1/10000"}},
        {{N("10"), N("10")}, 1, 1283, 77, 5, 1, {"C41/30000", "CQ0/10000"}},
        {{N("47"), P("456")}, 1, 1230, 456, 456, 3, {"C41/30000", "CQ0/10000"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        OSerialReaderA d(&comm);
        uint32_t counter = 0;
        Reader(P());
        Reader(P("005"));
        d.RetainCard(&counter, &r); // driver counter 5
        Reader(P());
        d.AcceptCard(1, &r);
        line->events.clear();
        for (const std::string& s : row.replies)
            Reader(s);
        counter = 77;
        r = Rec();
        EXPECT_EQ(row.result, d.RetainCard(&counter, &r));
        EXPECT_RECORD(r, row.code, row.result); // the code of "C41"
        EXPECT_EQ(row.counter, counter);
        EXPECT_EQ(row.driverCounter, d.caps().usField[7]);
        EXPECT_EQ(row.driverCounter, d.status().usField[2]);
        EXPECT_EQ(row.f10, d.status().usField[10]);
        EXPECT_EQ(row.transcript, Transcript());
    }
}

// The entry flag lives for the whole process: every mode-6 case is here, in order.
TEST_F(StatusA, CardEntryThroughTheModule) {
    ASSERT_FALSE(OSerialReaderA::bModuleEntryDone());
    struct Step {
        const char* name;
        std::string c10;
        std::vector<std::string> module;
        int code;
        Texts transcript;
    } steps[] = {
        {"module not working", P(), {}, 1267, {"C10/20000"}},
        {"reader reports P02", "P0002", {}, 1267, {"C10/20000"}},
        {"first entry, sensors clear",
         P(),
         {"PQ001111", "PP1"},
         0,
         {"C10/20000", "M:Q0/2000", "M:P1/10000"}},
        {"later entry: module initialised first",
         P(),
         {"PQ001111", "P01", "P00", "PP1"},
         0,
         {"C10/20000", "M:Q0/2000", "M:01/5000", "M:00/5000", "C01/20000", "M:P1/10000"}},
        {"sensor bit 1: module failing",
         P(),
         {"PQ011111", "P01", "P00"},
         1267,
         {"C10/20000", "M:Q0/2000", "M:01/5000", "M:00/5000", "C01/20000"}},
        {"failing module refused", P(), {}, 1267, {"C10/20000"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (std::string(step.name) == "reader reports P02")
            InitWithModule();
        line->events.clear();
        Reader(step.c10);
        if (step.transcript.size() > 4)
            Reader(P()); // "C01"
        for (const std::string& m : step.module)
            Module(m);
        tDevReturn r = Rec();
        EXPECT_EQ(step.code ? 1 : 0, a.AcceptCard(6, &r));
        EXPECT_RECORD(r, step.code, step.code ? 1 : 0);
        EXPECT_EQ(step.transcript, Transcript());
        EXPECT_EQ(&step - steps >= 2, OSerialReaderA::bModuleEntryDone()); // set by the first entry
    }
    EXPECT_TRUE(OSerialReaderA::bModuleEntryDone());
    EXPECT_EQ(3, st(11));
}

TEST_F(StatusA, CountersLifeInfoCapabilitiesAntiFishing) {
    tIdcCaps c;
    std::memset(&c, 0xAB, sizeof c);
    tDevReturn r = Rec();
    EXPECT_EQ(0, a.GetCapabilities(&c, &r));
    EXPECT_RECORD(r, 7, 7);
    tIdcCaps expected;
    std::memset(&expected, 0, sizeof expected);
    expected.usField[6] = 999;
    std::strcpy(expected.acLibVersion, "V1.0.1 b6");
    EXPECT_EQ(0, std::memcmp(&expected, &c, sizeof c));

    for (int i = 0; i < 2; ++i) {
        r = Rec();
        EXPECT_EQ(1, a.ReleaseAntiFishing(&r));
        EXPECT_RECORD(r, 1216, 1);
    }
    r = Rec();
    EXPECT_EQ(1, a.ResetCount(1, &r));
    EXPECT_RECORD(r, 1224, 1);
    EXPECT_TRUE(line->Writes().empty());

    uint32_t counter = 0;
    Reader(P());
    Reader(P("321"));
    a.RetainCard(&counter, &r);
    Reader(N("10"));
    EXPECT_EQ(1, a.ResetCount(0, &r));
    EXPECT_EQ(321, st(2)); // kept when "CQ1" fails

    // "CM0": eight-character counters.
    std::string d = "00001234"
                    "99999999"
                    "88888888"
                    "   -0012"
                    "12ab    "
                    "xx      ";
    d += std::string(48, '7') + "00000096"
                                "+0000104";
    line->events.clear();
    Reader(P(d));
    tIdcLife life;
    std::memset(&life, 0xAB, sizeof life);
    EXPECT_EQ(0, a.GetLifeInfo(&life, &r));
    EXPECT_EQ((Texts{"CM0/5000"}), Transcript());
    const uint32_t values[11] = {1234, 321, 1234, static_cast<uint32_t>(-12), 12, 0, 96, 0,
                                 104,  0,   0};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(values[i], life.uiValue[i]) << i;

    // A failed read, or a reply longer than the buffer, leaves the record alone.
    for (const std::string& reply : {N("10"), P(std::string(300, '1'))}) {
        line->events.clear();
        Reader(reply);
        std::memset(&life, 0xAB, sizeof life);
        r = Rec();
        EXPECT_EQ(1, a.GetLifeInfo(&life, &r));
        EXPECT_EQ(0xABABABABu, life.uiValue[0]);
        EXPECT_EQ(reply[0] == 'N' ? 1283 : 1299, r.iCode2);
    }
    EXPECT_EQ(B({0x10, 0x04}), line->Writes().back()); // the reply was aborted

    Reader(P());
    EXPECT_EQ(0, a.ResetCount(0, &r));
    EXPECT_EQ(0, st(2));
    EXPECT_EQ(0, a.caps().usField[7]);
}
