#include "support/scripted_reader.h"

using namespace quillon;

using StatusA = ReaderA;

TEST_F(StatusA, StatusCharacterRules) {
    // Card entry made first (mode 1 or 2, 0 none); replies to "C11" and "C10"; result, code;
    // caller's fields 1, 5, 6, 7, 8, 10 and the driver's field 10.
    // clang-format off
    using Row = std::tuple<const char*, int, std::string, std::string, int, int, std::vector<int>>;
    const Row rows[] = {
        // C11 data: d[0..3] "0000", d[5] field 6, d[6] field 5, d[7] field 7, d[8] field 8.
        {"normal", 0, P("0000" "0000" "1"), P(), 0, 1201, {1, 0, 0, 0, 1, 0, 0}},
        {"not 0000", 0, "P0010" "0001" "0000x", P(), 0, 1201, {3, 0, 0, 0, 0, 3, 3}},
        {"d5 1, d7 0: field 1 = 1", 0, "P0001" "0000" "0150" "0", P(), 0, 1201, {1, 5, 1, 0, 2, 0, 0}},
        {"P02", 1, "P0002" "0000" "0001" "1", P(), 0, 1201, {3, 0, 0, 1, 1, 3, 3}},
        {"entry 1, 0 1 1", 1, P("0000" "0011"), P(), 0, 1201, {1, 1, 0, 1, 0, 3, 1}},
        {"entry 2, 0 0 1", 2, P("0000" "0001"), P(), 0, 1201, {1, 0, 0, 1, 0, 3, 2}},
        {"entry 1, 0 0 1", 1, P("0000" "0001"), P(), 0, 1201, {1, 0, 0, 1, 0, 1, 1}},
        {"C11 fails, C10 1249", 1, N("10"), N("44"), 1, 1249, {0, 0, 0, 0, 0, 1, 1}},
        {"C11 fails, C10 fails", 1, N("10"), N("10"), 1, 1283, {0, 0, 0, 0, 0, 3, 1}},
    };
    // clang-format on
    for (const auto& [name, entry, c11, c10, result, code, fields] : rows) {
        SCOPED_TRACE(name);
        OSerialReaderA d(&comm);
        tDevReturn r = Rec();
        if (entry) {
            Reader(P());
            ASSERT_EQ(0, Into(d.AcceptCard(entry), r));
        }
        Replies({c11, c10});
        tIdcStatus s;
        std::memset(&s, 0xAB, sizeof s);
        EXPECT_EQ(result, Into(d.GetStatus(&s), r));
        EXPECT_RECORD(r, code, result);
        EXPECT_EQ((Texts{"C11/5000", "C10/5000"}), Transcript());
        const uint16_t* f = s.usField;
        EXPECT_EQ(fields,
                  (std::vector<int>{f[1], f[5], f[6], f[7], f[8], f[10], d.tStatus().usField[10]}));
        EXPECT_EQ(255, f[9]);
        EXPECT_EQ(0, d.tStatus().usField[1]); // the driver's copy keeps its reader state
    }
}

TEST_F(StatusA, CardEntryAndRetain) {
    const char* commands[] = {"C:2", "C:0", "C:1", "C40", "C:3"};
    tDevReturn r = Rec();
    for (int mode = 1; mode <= 5; ++mode) {
        Replies({P()});
        EXPECT_EQ(0, Into(a.AcceptCard(mode), r));
        EXPECT_EQ(mode, a.tStatus().usField[10]);
        EXPECT_EQ((Texts{std::string(commands[mode - 1]) + "/30000"}), Transcript());
    }
    for (int mode : {0, 7}) {
        EXPECT_EQ(1, Into(a.AcceptCard(mode), r));
        EXPECT_RECORD(r, 1224, 1);
    }

    // Replies to "C41", "CQ0", "CQ1"; result and code (of "C41"); counter handed back; driver's
    // counter; status field 10; commands.
    const std::tuple<Texts, int, int, uint32_t, int, int, Texts> rows[] = {
        {{P(), P("999"), P()}, 0, 1201, 999, 0, 3, {"C41/30000", "CQ0/10000", "CQ1/10000"}},
        {{N("10"), N("10")}, 1, 1283, 77, 5, 1, {"C41/30000", "CQ0/10000"}},
        {{N("47"), P("456")}, 1, 1230, 456, 456, 3, {"C41/30000", "CQ0/10000"}},
        {{P(), P("4x6")}, 0, 1201, 77, 5, 1, {"C41/30000", "CQ0/10000"}}, // no counter: broken
    };
    for (const auto& [replies, result, code, counterOut, stored, f10, transcript] : rows) {
        SCOPED_TRACE(code);
        OSerialReaderA d(&comm);
        uint32_t counter = 0;
        Replies({P(), P("005"), P()});
        Into(d.RetainCard(&counter), r); // driver counter 5
        Into(d.AcceptCard(1), r);
        Replies(replies);
        counter = 77;
        r = Rec();
        EXPECT_EQ(result, Into(d.RetainCard(&counter), r));
        EXPECT_RECORD(r, code, result);
        EXPECT_EQ(counterOut, counter);
        EXPECT_EQ((std::vector<int>{stored, stored, f10}),
                  (std::vector<int>{d.tCaps().usField[7], d.tStatus().usField[2],
                                    d.tStatus().usField[10]}));
        EXPECT_EQ(transcript, Transcript());
    }
}

// "CM0": counters of eight digits; value 1 is the retain counter the reader gave last, value 2
// repeats value 0.
TEST_F(StatusA, LifeCounters) {
    Replies({P(), P("005"), P()});
    tDevReturn r = Rec();
    uint32_t retained = 0;
    ASSERT_EQ(0, Into(a.RetainCard(&retained), r));
    std::string counters;
    for (int i = 0; i < 14; ++i)
        counters += "00000" + std::to_string(100 + i);
    Replies({P(counters)});
    tIdcLife life;
    std::memset(&life, 0xAB, sizeof life);
    EXPECT_EQ(0, Into(a.GetLifeInfo(&life), r));
    EXPECT_RECORD(r, 1201, 0);
    EXPECT_EQ((Texts{"CM0/5000"}), Transcript());
    EXPECT_EQ((std::vector<uint32_t>{100, 5, 100, 103, 104, 105, 112, 0, 113, 0, 0}),
              std::vector<uint32_t>(life.uiValue, life.uiValue + 11));
}

// The entry flag lives for the whole process: every mode-6 case is here, in order.
TEST_F(StatusA, CardEntryThroughTheModule) {
    ASSERT_FALSE(OSerialReaderA::bModuleEntryDone());
    // Reply to "C10"; module replies; code; commands.
    // clang-format off
    const std::tuple<const char*, std::string, Texts, int, Texts> steps[] = {
        {"module not working", P(), {}, 1267, {"C10/20000"}},
        {"reader reports P02", "P0002", {}, 1267, {"C10/20000"}},
        {"first entry, sensors clear", P(), {"PQ001111", "PP1"}, 0, {"C10/20000", "M:Q0/2000", "M:P1/10000"}},
        {"later entry: module initialised first", P(), {"PQ001111", "P01", "P00", "PP1"}, 0,
         {"C10/20000", "M:Q0/2000", "M:01/5000", "M:00/5000", "C01/20000", "M:P1/10000"}},
        {"sensor bit 1: module failing", P(), {"PQ011111", "P01", "P00"}, 1267,
         {"C10/20000", "M:Q0/2000", "M:01/5000", "M:00/5000", "C01/20000"}},
        {"failing module refused", P(), {}, 1267, {"C10/20000"}},
    };
    // clang-format on
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& [name, c10, replies, code, transcript] = steps[i];
        SCOPED_TRACE(name);
        if (i == 1) { // an Init that finds the module working ("CV0" fails: no configuration)
            Replies({P(), P("000"), N("10")});
            module = {B("P01"), B("P00")};
            tDevReturn r = Rec();
            Into(a.Init(1), r);
            ASSERT_EQ(1, a.tStatus().usField[11]);
        }
        Replies({c10, P()}); // "C10", then "C01" if sent
        for (const std::string& s : replies)
            Module(s);
        tDevReturn r = Rec();
        EXPECT_EQ(code ? 1 : 0, Into(a.AcceptCard(6), r));
        EXPECT_RECORD(r, code, code ? 1 : 0);
        EXPECT_EQ(transcript, Transcript());
        EXPECT_EQ(i >= 2, OSerialReaderA::bModuleEntryDone()); // set by the first entry
    }
    EXPECT_EQ(3, a.tStatus().usField[11]);
}
