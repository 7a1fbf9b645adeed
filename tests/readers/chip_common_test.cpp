#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "readers/chip_common.h"
#include "support/scripted_line.h"

using quillon::kNoChip;

// The type the try (or the caller's value) and the answer to reset give.
TEST(ChipCommon, ChipTypeFromAnswer) {
    const std::vector<std::tuple<uint32_t, Bytes, uint32_t, uint32_t>> rows = {
        // type in, answer bytes, their count, type out
        {0, {0x3B, 0x65}, 2, 0},
        {1, {0x3B, 0xE2}, 2, 1},
        {0, {0x3B, 0x3B}, 2, kNoChip},
        {1, {0x3B, 0x65}, 1, kNoChip}, // no format byte: nothing to go by
        {0, {0x92, 0x23, 0x10}, 3, 5}, // not a processor chip, but a memory chip
        {4, {0xA2, 0x13, 0x10}, 3, 4},
        {9, {0x92, 0x23, 0x10}, 3, 5},
        {kNoChip, {0xA2, 0x13, 0x10}, 3, 4},
        {7, {0x92, 0x23, 0x10}, 2, 7}, // a short answer matches no pattern
        {8, {0x3B}, 1, 8},
        {2, {0xA2, 0x13, 0x10}, 3, 2},
    };
    for (const auto& [in, answer, len, out] : rows) {
        SCOPED_TRACE(std::to_string(in) + " " + Hex(answer) + " / " + std::to_string(len));
        EXPECT_EQ(out, quillon::ChipTypeFromAnswer(in, answer.data(), len));
    }
}

TEST(ChipCommon, WriteTracksOneCommandATrack) {
    const quillon::tTrackWriteRule kFieldRule = {{79, 40, 107}, false}; // family B
    const quillon::tTrackWriteRule kAreaRule = {{80, 41, 108}, true};   // family A
    const uint32_t kNegative = 0x80000000u;
    struct Row {
        const char* name;
        quillon::tTrackWriteRule rule;
        std::vector<uint32_t> lens;
        std::vector<bool> accept; // the reader's answer to each command, in order
        quillon::TracksWritten result;
        std::vector<std::string> commands;
        std::vector<uint32_t> lensAfter;
    };
    using W = quillon::TracksWritten;
    // clang-format off
    const std::vector<Row> rows = {
        {"nothing", kFieldRule, {0, 0, 0}, {}, W::Nothing, {}, {0, 0, 0}},
        {"two tracks", kFieldRule, {3, 0, 2}, {true, true}, W::All, {"C71AAA", "C73CC"}, {3, 0, 2}},
        {"a failure goes on", kFieldRule, {1, 2, 3}, {true, false, true}, W::SomeFailed,
         {"C71A", "C72BB", "C73CCC"}, {1, 0, 3}},
        {"cut at the field", kFieldRule, {kNegative, 0, 0}, {true}, W::All,
         {"C71" + std::string(79, 'A')}, {kNegative, 0, 0}},
        {"cut at the area", kAreaRule, {200, 0, 0}, {true}, W::All,
         {"C71" + std::string(80, 'A')}, {200, 0, 0}},
        {"signed: no track", kAreaRule, {kNegative, 0, 0}, {}, W::Nothing, {}, {kNegative, 0, 0}},
        {"signed: one character", kAreaRule, {0, 1, 0}, {true}, W::All, {"C72B"}, {0, 1, 0}},
        {"a zero byte ends the text", kFieldRule, {0, 0, 9}, {true}, W::All, {"C73CCCC"}, {0, 0, 9}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        tIdcTracks t{};
        std::memset(t.abTrack1, 'A', sizeof t.abTrack1);
        std::memset(t.abTrack2, 'B', sizeof t.abTrack2);
        std::memset(t.abTrack3, 'C', sizeof t.abTrack3);
        t.abTrack3[4] = 0;
        t.uiLen1 = row.lens[0], t.uiLen2 = row.lens[1], t.uiLen3 = row.lens[2];
        std::vector<std::string> commands;
        const quillon::TracksWritten result =
            quillon::WriteTracks(&t, row.rule, [&](const uint8_t* p, uint32_t n) {
                commands.emplace_back(p, p + n);
                return row.accept.at(commands.size() - 1);
            });
        EXPECT_EQ(row.result, result);
        EXPECT_EQ(row.commands, commands);
        EXPECT_EQ(row.lensAfter, (std::vector<uint32_t>{t.uiLen1, t.uiLen2, t.uiLen3}));
    }
}
