#include "api/idc_manager.h"
#include "api/reader_registry.h"
#include "support/scripted_reader.h"
#include "readers/family_a/hid_reader_a.h"
#include "readers/family_b/hid_reader_b.h"

using namespace quillon;

namespace {
using Ids = std::vector<std::pair<int, int>>;
// One exchange: its code into r.iCode2, the reply header at the start of r.acReplyText (the
// rest as it was), the data count into *pLen; 0 or 1 by the code.
int Exchange(OHidReaderB& reader, const std::string& command, uint32_t len, uint8_t* pData,
             uint32_t size, uint32_t* pLen, tDevReturn* r, uint32_t timeoutMs) {
    const quillon::tCommandReply got =
        reader.tExchange(B(command).data(), len, pData, size, timeoutMs);
    *pLen = got.uiDataLen;
    r->iCode2 = quillon::ToInt(got.eCode);
    std::memcpy(r->acReplyText, got.abShown, got.uiShownLen);
    return quillon::IsSuccess(got.eCode) ? 0 : 1;
}
const std::string kUsb = "[CardReaderType]\nCardReaderType=6\n[USB]\nVID=4660\nPID=22136\n";
} // namespace

TEST(HidReaderB, ExchangeAssemblesTheReplyFromReports) {
    Rig<OHidReaderB> rig(kUsb, 4660, 22136);
    std::string long200 = "P1100";
    while (long200.size() < 200)
        long200 += static_cast<char>('A' + long200.size() % 26);
    // Reply (empty: silence); code; reads: the first, then 64 bytes further into the buffer each.
    const std::tuple<std::string, int, size_t> rows[] = {
        {"P1100abcde", 1201, 1},
        {long200, 1201, 4},
        {"", 1223, 1},
        {"P1100abcde", 1201, 1}, // the read after a time-out works
    };
    for (const auto& [reply, code, reads] : rows) {
        SCOPED_TRACE(reply);
        rig.hid.Answer(reply);
        rig.hid.reads.clear();
        uint8_t data[1024] = {};
        uint32_t len = 99;
        tDevReturn r = Rec();
        EXPECT_EQ(code != 1201,
                  Exchange(rig.reader, "C11", 0x20003, data, sizeof data, &len, &r, 5000));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(code == 1201 ? reply.substr(5) : "", std::string(data, data + len));
        const std::string header = code == 1223 ? std::string(5, 7) : reply.substr(0, 5);
        EXPECT_EQ(header, std::string(r.acReplyText, 5));
        EXPECT_EQ(Cat({B({4, 0, 3}), B("C11"), Bytes(58)}), rig.hid.writes.back());
        ASSERT_EQ(reads, rig.hid.reads.size());
        for (size_t k = 0; k < reads; ++k)
            EXPECT_EQ(std::make_pair(size_t{1024 - 64 * k}, 5000u), rig.hid.reads[k]);
        EXPECT_EQ(5000u, rig.hid.writeTimeouts.back());
    }
}

// The first report must come within the command's time-out, the whole reply within a
// second more; a reply that does not come whole fails and hands out nothing.
TEST(HidReaderB, CutOrLateReplyFailsWithinTheBound) {
    std::string long200 = "P1100";
    while (long200.size() < 200)
        long200 += static_cast<char>('A' + long200.size() % 26);
    // Delay of the first report, of the other three; the one lost (0: none); code; time taken.
    const std::tuple<uint64_t, uint64_t, size_t, int, uint64_t> rows[] = {
        {0, 0, 2, 1299, 5000},       // a report lost: not taken with zeros or shifted data
        {0, 0, 3, 1299, 5000},       // the last one lost
        {4000, 7000, 0, 1299, 6000}, // the rest drips in too late: 1 s after the time-out
        {4000, 5900, 0, 1201, 5900}, // slow but whole within the bound
        {5100, 5100, 0, 1223, 5000}, // the first report too late
    };
    for (const auto& [first, rest, lost, code, took] : rows) {
        SCOPED_TRACE(std::to_string(first) + " " + std::to_string(rest) + " " +
                     std::to_string(lost));
        Rig<OHidReaderB> rig(kUsb, 4660, 22136);
        FakeHid::Reports reports = rig.hid.Cut(long200, rest);
        reports[0].delayMs = first;
        if (lost)
            reports.erase(reports.begin() + long(lost) - 1);
        rig.hid.replies.push_back(reports);
        uint8_t data[1024] = {};
        uint32_t len = 99;
        tDevReturn r = Rec();
        EXPECT_EQ(code != 1201, Exchange(rig.reader, "C11", 3, data, sizeof data, &len, &r, 5000));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(took, rig.hid.clock.uiElapsed());
        EXPECT_EQ(code == 1201 ? long200.substr(5) : "", std::string(data, data + len));
        EXPECT_EQ(code == 1201 ? "P1100" : std::string(5, 7), std::string(r.acReplyText, 5));
    }
}

// Only a report whose echo answers the command is its reply; others are late replies to
// earlier commands. Chip I/O replies mark the second echo character '5' (more to fetch) or
// '?' (block refused).
TEST(HidReaderB, ReportsWithAnotherEchoAreDropped) {
    using Arrivals = std::vector<std::pair<std::string, uint64_t>>;
    // Command; replies arriving after it, with their delays; code; time taken.
    const std::tuple<std::string, Arrivals, int, uint64_t> rows[] = {
        {"C11", {{"P3000", 0}, {"P1100ab", 100}}, 1201, 100},
        {"C13", {{"P1100ab", 0}}, 1223, 5000},
        {"CI3", {{"PI500ab", 0}}, 1201, 0},
        {"CI5", {{"PI?00ab", 0}}, 1201, 0},
        {"CI3", {{"PI700ab", 0}}, 1223, 5000},
    };
    for (const auto& [command, arrivals, code, took] : rows) {
        SCOPED_TRACE(command + " " + std::get<0>(arrivals.back()));
        Rig<OHidReaderB> rig(kUsb, 4660, 22136);
        FakeHid::Reports reports;
        for (const auto& [text, delay] : arrivals)
            reports.push_back(rig.hid.Cut(text, delay)[0]);
        rig.hid.replies.push_back(reports);
        uint8_t data[1024] = {};
        uint32_t len = 0;
        tDevReturn r = Rec();
        EXPECT_EQ(code != 1201,
                  Exchange(rig.reader, command, 3, data, sizeof data, &len, &r, 5000));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(took, rig.hid.clock.uiElapsed());
        EXPECT_EQ(code == 1201 ? "ab" : "", std::string(data, data + len));
    }
}

// A reply that just fills the 1024-byte buffer announces a 17th report that carries none
// of it: taken off the line if it is there, never waited for.
TEST(HidReaderB, ReplyFillingTheBufferLeavesNothingBehind) {
    Rig<OHidReaderB> rig(kUsb, 4660, 22136);
    std::string full = "P1100" + std::string(1016, 'z');
    rig.hid.Answer(full);
    uint8_t data[1024] = {};
    uint32_t len = 0;
    tDevReturn r = Rec();
    EXPECT_EQ(0, Exchange(rig.reader, "C11", 3, data, sizeof data, &len, &r, 50));
    EXPECT_EQ(1016u, len);
    EXPECT_EQ(17u, rig.hid.reads.size());
    EXPECT_EQ(0u, rig.hid.clock.uiElapsed());
}

// Each SetCommPara searches the configured ids again; the transport goes with the driver.
TEST(HidDrivers, SetCommParaSearchesTheConfiguredIds) {
    // Family A or B; configuration; ids searched; result (the device is always 0590/0035 for
    // family A, 4660/22136 for family B).
    const std::tuple<bool, std::string, std::pair<int, int>, int> rows[] = {
        {true, "", {0x04A4, 0x008B}, 1},
        {true, "[CardReaderType]\nCardReaderType=4\n", {0x04A4, 0x008B}, 1},
        {true, "[CardReaderType]\nCardReaderType=5\n", {0x0590, 0x0035}, 0},
        {false, "", {0, 0}, 1},
        {false, kUsb, {4660, 22136}, 0},
    };
    for (const auto& [familyA, ini, ids, result] : rows) {
        SCOPED_TRACE(ini);
        TestEnv env(ini);
        FakeHid hid;
        hid.vid = familyA ? 0x0590 : 4660, hid.pid = familyA ? 0x0035 : 22136;
        {
            OReaderComm comm{nullptr, "CARDREADER"};
            std::unique_ptr<OIdcDriver> reader;
            reader.reset(familyA ? static_cast<OIdcDriver*>(new OHidReaderA(&comm))
                                 : new OHidReaderB(&comm));
            tDevReturn r = Rec();
            EXPECT_EQ(result, Into(reader->SetCommPara(), r));
            EXPECT_EQ(result, Into(reader->SetCommPara(), r));
            EXPECT_TRUE(Untouched(r));
            EXPECT_EQ((Ids{ids, ids}), hid.opens);
            EXPECT_EQ(1, hid.made);
        }
        EXPECT_EQ(0, hid.alive);
    }
}

TEST(HidReaderB, SelectedByTypeSixThroughTheManager) {
    TestEnv env(kUsb);
    FakeHid hid;
    hid.vid = 4660, hid.pid = 22136;
    hid.Answer("P3000");
    OIdcManager manager;
    tDevReturn r = Rec();
    EXPECT_EQ(0, manager.SetCommPara(&r));
    EXPECT_EQ(manager.pRegistry()->pDriverForType(ReaderType::UsbB), manager.pActiveDriver());
    EXPECT_EQ((Ids{{4660, 22136}}), hid.opens);
    EXPECT_EQ(0, manager.EjectCard(&r));
    EXPECT_EQ(1201, r.iCode2);
    EXPECT_EQ((Texts{"C30"}), hid.Sent());
    EXPECT_EQ(4, hid.writes[0][0]);
}
