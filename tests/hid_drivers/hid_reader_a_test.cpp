#include "readers/family_a/hid_reader_a.h"
#include "support/scripted_reader.h"

using namespace quillon;

using RigA = Rig<OHidReaderA>;

TEST(HidReaderA, ExchangeReportsAndReplyBounds) {
    RigA rig;
    const std::string d(256, 'd'), none(5, 7);
    // Reply (empty: silence); input report length; caller's buffer; code; data length.
    const std::tuple<std::string, size_t, uint32_t, int, uint32_t> rows[] = {
        {"P4000", 64, 16, 1201, 0},
        {"", 64, 16, 1223, 0},
        {"N4010ab", 64, 16, 1283, 2}, // the read after a time-out works
        {"P4000" + d.substr(0, 56), 64, 56, 1201, 56},
        {"P4000" + d.substr(0, 12), 64, 11, 1223, 0}, // beyond the caller's buffer
        {"P4000" + d, 512, 1024, 1223, 0},            // beyond acReplyText
    };
    for (const auto& [reply, inLen, size, code, dataLen] : rows) {
        SCOPED_TRACE(reply);
        rig.hid.inLen = inLen;
        rig.hid.Answer(reply);
        std::vector<uint8_t> data(1024);
        uint32_t len = size;
        tDevReturn r = Rec();
        EXPECT_EQ(
            code != 1201,
            Into(rig.reader.tExecCommand(B("C40").data(), 0x10003, data.data(), &len, 4321), r));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(dataLen, len);
        const std::string text = code == 1223 ? none : reply + std::string(1, 7);
        EXPECT_EQ(text, std::string(r.acReplyText, text.size()));
        EXPECT_EQ(text.substr(5, len) + '\0', std::string(data.begin(), data.begin() + len + 1));
        EXPECT_EQ(Cat({B({2, 0, 3}), B("C40"), Bytes(58)}), rig.hid.writes.back());
        EXPECT_EQ(4321u, rig.hid.reads.back().second);
        EXPECT_EQ(4321u, rig.hid.writeTimeouts.back());
    }
}

// A reply that comes after its command gave up stays queued; the next command must get
// its own reply, never the late one, and stay within its one time-out.
TEST(HidReaderA, LateReplyIsNotTakenByTheNextCommand) {
    // Delay of the eject's reply (its command waits 30 s); idle time before the next command;
    // that command's reply ("" none) and its delay; code; time the command took; reports
    // dropped unread.
    const std::tuple<uint64_t, uint64_t, std::string, uint64_t, int, uint64_t, size_t> rows[] = {
        {31000, 9000, "P4000ab", 0, 1201, 0, 1},    // queued before the command
        {31000, 0, "P4000ab", 2000, 1201, 2000, 0}, // comes in while the reply is awaited
        {31000, 0, "", 0, 1223, 5000, 0},           // the late one alone: no reply
        {31000, 0, "P4000ab", 5500, 1223, 5000, 0}, // one deadline, not one per report
    };
    for (const auto& [ejectDelay, idle, reply, delay, code, took, drained] : rows) {
        SCOPED_TRACE(std::to_string(ejectDelay) + " " + std::to_string(delay));
        RigA rig;
        rig.hid.Answer("P3000", ejectDelay);
        uint8_t data[256] = {};
        uint32_t len = sizeof data;
        tDevReturn r = Rec();
        Into(rig.reader.tExecCommand(B("C30").data(), 3, data, &len, 30000), r);
        rig.hid.clock.vAdvance(idle);

        rig.hid.Answer(reply, delay);
        const uint64_t start = rig.hid.clock.uiNow();
        len = sizeof data;
        r = Rec();
        EXPECT_EQ(code != 1201,
                  Into(rig.reader.tExecCommand(B("C40").data(), 3, data, &len, 5000), r));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(took, rig.hid.clock.uiNow() - start);
        EXPECT_EQ(drained, rig.hid.dropped.size());
        EXPECT_EQ(code == 1201 ? "ab" : "", std::string(data, data + len));

        // And the command after it is in step too.
        rig.hid.Answer("P1000");
        r = Rec();
        len = sizeof data;
        EXPECT_EQ(0, Into(rig.reader.tExecCommand(B("C10").data(), 3, data, &len, 5000), r));
        EXPECT_EQ("P1000", std::string(r.acReplyText, 5));
        EXPECT_EQ(3u, rig.hid.writes.size());
    }
}

TEST(HidReaderA, InitMode3AndTheUsbConfiguration) {
    const std::string all =
        "[ProtocolMode]\nProtocolMode=1\n[IntakeMode]\nIntakeMode=2\n[ActMode]\n"
        "ActMode=2\n[DispenseCardDev]\nDispenseCardDev=1\n";
    // Keys; commands; intake, act, dispenser.
    const std::tuple<std::string, Texts, uint16_t, uint16_t, uint16_t> rows[] = {
        {"", {"C07", "CQ0", "CV0", "CY105", "CSL1", "CSN2", "CUA032"}, 1, 1, 0},
        {all, {"C07", "CQ0", "CV0", "CY100", "CSL0", "CSN1", "CUA032"}, 3, 2, 1},
    };
    for (const auto& [ini, sent, intake, act, dispenser] : rows) {
        SCOPED_TRACE(ini);
        RigA rig(ini);
        for (const char* reply :
             {"P0700", "PQ000012", "PV000HBU-NA120", "PY100", "PSL00", "PSN00", "PUA00info"})
            rig.hid.Answer(reply);
        tDevReturn r = Rec();
        EXPECT_EQ(0, Into(rig.reader.Init(3), r));
        EXPECT_EQ(1201, r.iCode2);
        EXPECT_EQ(sent, rig.hid.Sent());
        EXPECT_EQ(30000u, rig.hid.reads[0].second);
        const tIdcCaps& caps = rig.reader.tCaps();
        const uint16_t* st = rig.reader.tStatus().usField;
        EXPECT_STREQ("Omron-V2XF", caps.acModelName);
        EXPECT_EQ((std::vector<uint16_t>{intake, act, dispenser, 0, 0}),
                  std::vector<uint16_t>(caps.usField + 1, caps.usField + 6));
        EXPECT_EQ((std::vector<uint16_t>{12, act, intake, dispenser}),
                  (std::vector<uint16_t>{st[2], st[3], st[4], st[11]}));
    }
}

// "CQ0" goes out even after a failed "C41"; a full counter is not cleared here.
TEST(HidReaderA, RetainCardAsksTheCounterWhateverC41Did) {
    const std::tuple<const char*, const char*, int, uint32_t, uint16_t, uint16_t> rows[] = {
        {"N4110", "PQ000123", 1283, 77, 0, 0},
        {"P4100", "PQ000999", 1201, 999, 999, 3},
        {"P4100", "PQ0001:3", 1201, 77, 0, 3}, // no counter: left as it was
    };
    for (const auto& [c41, cq0, code, counterOut, stored, entry] : rows) {
        SCOPED_TRACE(c41);
        RigA rig;
        rig.hid.Answer(c41);
        rig.hid.Answer(cq0);
        tDevReturn r = Rec();
        uint32_t counter = 77;
        EXPECT_EQ(code != 1201, Into(rig.reader.RetainCard(&counter), r));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(counterOut, counter);
        const uint16_t* st = rig.reader.tStatus().usField;
        EXPECT_EQ((std::vector<uint16_t>{stored, stored, entry}),
                  (std::vector<uint16_t>{rig.reader.tCaps().usField[7], st[2], st[10]}));
        EXPECT_EQ((Texts{"C41", "CQ0"}), rig.hid.Sent());
    }
}

// A write without data answers 1268 and leaves the record. Track lengths that are not three
// digits end the read as the exchange ends a broken reply: 1223, nothing more sent, the track
// record untouched.
TEST(HidReaderA, EmptyWriteAndBrokenTrackLengths) {
    RigA rig;
    tIdcTracks t, before;
    std::memset(&t, 0, sizeof t);
    tDevReturn r = Rec();
    EXPECT_EQ(1268, Into(rig.reader.WriteTrack(&t), r));
    EXPECT_TRUE(Untouched(r));
    EXPECT_TRUE(rig.hid.writes.empty());

    rig.hid.Answer("P6a00x0000000a5000000hello");
    std::memset(&t, 0xAB, sizeof t);
    before = t;
    EXPECT_EQ(1, Into(rig.reader.ReadTrack(&t), r));
    EXPECT_EQ(Codes(1223, 1), Codes(r));
    EXPECT_EQ((Texts{"C6a7"}), rig.hid.Sent());
    EXPECT_EQ(0, std::memcmp(&before, &t, sizeof t));
}
