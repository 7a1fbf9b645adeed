#include <gtest/gtest.h>

#include <functional>

#include "fake_hid.h"
#include "infra/reader_comm.h"
#include "readers/family_a/hid_reader_a.h"
#include "support/test_env.h"

namespace {
using Texts = std::vector<std::string>;
Texts operator+(Texts a, const Texts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A family-A USB reader, opened on the fake bus (ids of CardReaderType 4).
struct RigA {
    explicit RigA(const std::string& ini = "") : env("[CARDREADER]\n" + ini) {
        tDevReturn r = Rec();
        reader.SetCommPara(&r);
    }
    TestEnv env;
    FakeHid hid;
    OReaderComm comm{nullptr, "CARDREADER"};
    OHidReaderA reader{&comm};
};
} // namespace

TEST(HidReaderA, ExchangeReportsAndReplyBounds) {
    RigA rig;
    const std::string d(256, 'd'), none(5, 7);
    struct Row {
        std::string reply; // empty: silence
        size_t inLen;
        uint32_t bufSize;
        int code;
        uint32_t len; // reply data handed back; acReplyText holds the reply text
    } rows[] = {
        {"P4000", 64, 16, 1201, 0},
        {"", 64, 16, 1223, 0},
        {"N4010ab", 64, 16, 1283, 2}, // the read after a time-out works
        {"P4000" + d.substr(0, 56), 64, 56, 1201, 56},
        {"P400", 64, 16, 1223, 0},                      // shorter than the header
        {"P4000" + d.substr(0, 12), 64, 11, 1223, 0},   // beyond the caller's buffer
        {"P4000" + d.substr(0, 60), 64, 1024, 1223, 0}, // beyond the report read
        {"P4000" + d, 512, 1024, 1223, 0},              // beyond acReplyText
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        rig.hid.inLen = row.inLen;
        rig.hid.Answer(row.reply);
        std::vector<uint8_t> data(1024);
        uint32_t len = row.bufSize;
        tDevReturn r = Rec();
        EXPECT_EQ(row.code != 1201,
                  rig.reader.iExecCommand(B("C40").data(), 0x10003, data.data(), &len, &r, 4321));
        EXPECT_EQ(row.code, r.iCode2);
        EXPECT_EQ(row.len, len);
        const std::string text = row.code == 1223 ? none : row.reply + std::string(1, 7);
        EXPECT_EQ(text, std::string(r.acReplyText, text.size()));
        EXPECT_EQ(text.substr(5, len) + '\0', std::string(data.begin(), data.begin() + len + 1));
        EXPECT_EQ(Cat({B({2, 0, 3}), B("C40"), Bytes(58)}), rig.hid.writes.back());
        EXPECT_EQ(4321u, rig.hid.reads.back().second);
    }
    // A command longer than one output report is not sent.
    tDevReturn r = Rec();
    uint32_t len = 0;
    EXPECT_EQ(1, rig.reader.iExecCommand(Bytes(62, 'C').data(), 62, nullptr, &len, &r, 1));
    EXPECT_EQ(1224, r.iCode2);
    EXPECT_EQ(std::size(rows), rig.hid.writes.size());
}

TEST(HidReaderA, InitMode3AndTheUsbConfiguration) {
    const std::string ok = "P0000", no = "N0010",
                      odd = "[IntakeMode]\nIntakeMode=7\n[ActMode]\nActMode=0\n";
    const std::string all =
        "[ProtocolMode]\nProtocolMode=1\n[IntakeMode]\nIntakeMode=2\n[ActMode]\n"
        "ActMode=2\n[DispenseCardDev]\nDispenseCardDev=1\n";
    struct Row {
        std::string ini;
        Texts replies, sent; // of the configuration commands
        uint16_t intake, act, dispenser;
    } rows[] = {
        {"", {ok, ok, ok, "PUA00info"}, {"CY105", "CSL1", "CSN2", "CUA032"}, 1, 1, 0},
        {all, {ok, ok, ok, ok}, {"CY100", "CSL0", "CSN1", "CUA032"}, 3, 2, 1},
        {"", {ok, no, no, ok}, {"CY105", "CSL1", "CSN2", "CUA032"}, 4, 3, 0},
        {odd, {ok, ok}, {"CY105", "CUA032"}, 7, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        RigA rig(row.ini);
        for (const std::string& reply : Texts{"P0700", "PQ000012", "PV000HBU-NA120"} + row.replies)
            rig.hid.Answer(reply);
        tDevReturn r = Rec();
        EXPECT_EQ(0, rig.reader.Init(3, &r));
        EXPECT_EQ(1201, r.iCode2);
        EXPECT_EQ((Texts{"C07", "CQ0", "CV0"} + row.sent), rig.hid.Sent());
        EXPECT_EQ(30000u, rig.hid.reads[0].second);
        const tIdcCaps& caps = rig.reader.caps();
        const uint16_t* st = rig.reader.status().usField;
        EXPECT_STREQ("Omron-V2XF", caps.acModelName);
        EXPECT_EQ((std::vector<uint16_t>{row.intake, row.act, row.dispenser, 0, 0}),
                  std::vector<uint16_t>(caps.usField + 1, caps.usField + 6));
        EXPECT_EQ((std::vector<uint16_t>{12, row.act, row.intake, row.dispenser}),
                  (std::vector<uint16_t>{st[2], st[3], st[4], st[11]}));
    }
}

TEST(HidReaderA, RetainCardAsksTheCounterWhateverC41Did) {
    struct Row {
        const char *c41, *cq0;
        int code;
        uint32_t counter;
        uint16_t stored, entry;
    } rows[] = {
        {"P4100", "PQ000123", 1201, 123, 123, 3},
        {"N4110", "PQ000123", 1283, 77, 0, 0},
        {"P4100", "PQ000999", 1201, 999, 999, 3}, // a full counter is not cleared here
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.c41);
        RigA rig;
        rig.hid.Answer(row.c41);
        rig.hid.Answer(row.cq0);
        tDevReturn r = Rec();
        uint32_t counter = 77;
        EXPECT_EQ(row.code != 1201, rig.reader.RetainCard(&counter, &r));
        EXPECT_EQ(row.code, r.iCode2);
        EXPECT_EQ(row.counter, counter);
        const uint16_t* st = rig.reader.status().usField;
        EXPECT_EQ((std::vector<uint16_t>{row.stored, row.stored, row.entry}),
                  (std::vector<uint16_t>{rig.reader.caps().usField[7], st[2], st[10]}));
        EXPECT_EQ((Texts{"C41", "CQ0"}), rig.hid.Sent());
    }
}

// What the serial reader refuses with a code: here the record stays as it was
// and nothing is sent (WriteTrack without data answers 1268).
TEST(HidReaderA, RequestsOutOfRangeLeaveTheRecord) {
    RigA rig;
    uint8_t buf[64] = {};
    uint32_t len = 0, type = 0;
    tIdcTracks none{};
    const uintptr_t pBuf = reinterpret_cast<uintptr_t>(buf),
                    pLen = reinterpret_cast<uintptr_t>(&len);
    const std::pair<int, std::function<int(tDevReturn*)>> rows[] = {
        {0, [&](tDevReturn* r) { return rig.reader.Init(4, r); }},
        {0, [&](tDevReturn* r) { return rig.reader.AcceptCard(6, r); }},
        {0, [&](tDevReturn* r) { return rig.reader.ChipPower(4, 0, 0, &type, r); }},
        {1, [&](tDevReturn* r) { return rig.reader.ChipPower(2, pBuf, pLen, nullptr, r); }},
        {0, [&](tDevReturn* r) { return rig.reader.ChipIO(0, buf, 4, buf, &len, r); }},
        {1268, [&](tDevReturn* r) { return rig.reader.WriteTrack(&none, r); }},
    };
    for (const auto& row : rows) {
        tDevReturn r = Rec();
        EXPECT_EQ(row.first, row.second(&r));
        EXPECT_TRUE(Untouched(r));
    }
    EXPECT_TRUE(rig.hid.writes.empty());
}

// Sensor characters as over the serial line; no "0000" test, no rule from
// fields 6 and 7, and 1203 leaves the caller's entry state alone.
TEST(HidReaderA, GetStatusRules) {
    RigA rig;
    rig.hid.Answer("P1102000101001");
    rig.hid.Answer("P1000");
    tIdcStatus st{};
    tDevReturn r = Rec();
    EXPECT_EQ(0, rig.reader.GetStatus(&st, &r));
    EXPECT_EQ((std::vector<uint16_t>{3, 0, 0, 0, 0, 1, 0, 1, 255, 0}),
              std::vector<uint16_t>(st.usField + 1, st.usField + 11));
    EXPECT_EQ(3, rig.reader.status().usField[10]);
}

// An entry mode outside the table, any counter number, the chip steps.
TEST(HidReaderA, EntryCounterAndChipDifferences) {
    RigA rig;
    for (const char* reply : {"P0000", "PQ100", "PC000", "PC200;e", "PC600"})
        rig.hid.Answer(reply);
    tDevReturn r = Rec();
    uint8_t atr[64] = {};
    uint32_t atrLen = 0, type = 9;
    EXPECT_EQ(0, rig.reader.AcceptCard(7, &r)); // three zero bytes go out
    EXPECT_EQ(0, rig.reader.ResetCount(3, &r));
    EXPECT_EQ(0, rig.reader.ChipPower(1, reinterpret_cast<uintptr_t>(atr),
                                      reinterpret_cast<uintptr_t>(&atrLen), &type, &r));
    EXPECT_EQ(0, rig.reader.ChipPower(3, 0, 0, &type, &r));
    EXPECT_EQ(0u, type); // from the activation: the switch-off hands nothing back
    EXPECT_EQ(7, rig.reader.status().usField[10]);
    EXPECT_EQ((Texts{std::string(3, '\0'), "CQ1", "CC0", "CC2", "CC6"}), rig.hid.Sent());
    EXPECT_EQ(10000u, rig.hid.reads[2].second); // "CC0"
}
