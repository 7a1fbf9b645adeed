#include "reader_b_fixture.h"

using Commands = std::vector<std::string>;

namespace {
std::string Track(const uint8_t* p, uint32_t len) {
    return std::string(p, p + len);
}
} // namespace

TEST_F(ReaderBTest, ReadTrackCombinedReadAndFallBacks) {
    struct Row {
        const char* name;
        std::vector<Bytes> answers;
        Commands commands;
        int result;
        std::string t1, t2, t3;
    } rows[] = {
        {"combined", {Ok("ABC~1234~xyz"), Ok("000")}, {"C65", "C67"}, 0, "ABC", "1234", "xyz"},
        {"empty separators, CD2 empty",
         {Ok("~~"), Ok("000"), Ok()},
         {"C65", "C67", "CD2"},
         0,
         "",
         "",
         ""},
        {"C65 failing, 111",
         {Neg("10"), Ok("111"), Ok("T1"), Ok("T2"), Ok("T3")},
         {"C65", "C67", "C61", "C62", "C63"},
         0,
         "T1",
         "T2",
         "T3"},
        {"C62 N 53 keeps its data",
         {Neg("10"), Ok("010"), Neg("53", B("5555"))},
         {"C65", "C67", "C62"},
         0,
         "",
         "5555",
         ""},
        {"CD2 failing, CD: reads",
         {Neg("10"), Ok("000"), Neg("10"), Ok("22")},
         {"C65", "C67", "CD2", "CD:"},
         0,
         "",
         "22",
         ""},
        {"CD2 N 53",
         {Neg("10"), Ok("000"), Neg("53", B("53"))},
         {"C65", "C67", "CD2"},
         0,
         "",
         "53",
         ""},
        {"nothing read",
         {Neg("10"), Neg("10"), Neg("10"), Neg("10")},
         {"C65", "C67", "CD2", "CD:"},
         1251,
         "",
         "",
         ""},
        {"empty C62, failing C63",
         {Neg("10"), Ok("011"), Ok(), Neg("10")},
         {"C65", "C67", "C62", "C63"},
         1251,
         "",
         "",
         ""},
        {"track 3 alone counts",
         {Ok("~~xyz"), Ok("000"), Neg("10"), Neg("10")},
         {"C65", "C67", "CD2", "CD:"},
         0,
         "",
         "",
         "xyz"},
        {"overlong track 1 is cut",
         {Ok(std::string(85, 'a') + "~b"), Ok("000")},
         {"C65", "C67"},
         0,
         std::string(79, 'a'),
         "aaaaa",
         "b"}, // position 79 is skipped
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vRestart();
        fake.answers.assign(row.answers.begin(), row.answers.end());
        tIdcTracks t;
        std::memset(&t, 0, sizeof t);
        t.uiLen1 = t.uiLen2 = t.uiLen3 = 99;
        EXPECT_EQ(row.result, reader.ReadTrack(&t, &ret));
        EXPECT_EQ(row.commands, fake.commands);
        EXPECT_EQ(std::vector<uint32_t>(row.commands.size(), 15000), ReplyTimeouts());
        EXPECT_EQ(row.t1, Track(t.abTrack1, t.uiLen1));
        EXPECT_EQ(row.t2, Track(t.abTrack2, t.uiLen2));
        EXPECT_EQ(row.t3, Track(t.abTrack3, t.uiLen3));
    }
}

TEST_F(ReaderBTest, WriteTrackPerTrackCommands) {
    struct Row {
        const char* name;
        uint32_t len[3];
        std::vector<Bytes> answers;
        Commands commands;
        int result;
        uint32_t after[3];
    } rows[] = {
        {"nothing to write", {0, 0, 0}, {}, {}, 1268, {0, 0, 0}},
        {"5, 0, 7", {5, 0, 7}, {Ok(), Ok()}, {"C71AAAAA", "C73CCCCCCC"}, 0, {5, 0, 7}},
        {"failing middle track",
         {2, 3, 4},
         {Ok(), Neg("10"), Ok()},
         {"C71AA", "C72BBB", "C73CCCC"},
         1,
         {2, 0, 4}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vRestart();
        fake.answers.assign(row.answers.begin(), row.answers.end());
        ret.iCode1 = ret.iCode2 = 7;
        tIdcTracks t;
        std::memset(&t, 0, sizeof t);
        std::memset(t.abTrack1, 'A', 79);
        std::memset(t.abTrack2, 'B', 40);
        std::memset(t.abTrack3, 'C', 107);
        t.uiLen1 = row.len[0], t.uiLen2 = row.len[1], t.uiLen3 = row.len[2];
        EXPECT_EQ(row.result, reader.WriteTrack(&t, &ret));
        EXPECT_EQ(row.commands, fake.commands);
        EXPECT_EQ(std::vector<uint32_t>(row.commands.size(), 20000), ReplyTimeouts());
        EXPECT_EQ(row.after[0], t.uiLen1);
        EXPECT_EQ(row.after[1], t.uiLen2);
        EXPECT_EQ(row.after[2], t.uiLen3);
        if (row.result == 1268) {
            EXPECT_TRUE(line->events.empty());
            EXPECT_EQ(7, ret.iCode2); // the record is left alone
        }
    }
}
