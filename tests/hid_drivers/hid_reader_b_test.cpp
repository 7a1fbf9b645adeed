#include "readers/family_a/hid_reader_a.h"
#include "readers/family_b/hid_reader_b.h"
#include "support/scripted_reader.h"

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

// The first report must come within the command's time-out, the whole reply within a
// second more; a reply that does not come whole fails and hands out nothing. A reply that
// just fills the 1024-byte buffer announces a 17th report that carries none of it: taken
// off the line, never waited for.
TEST(HidReaderB, ExchangeAssemblesTheReplyFromReportsWithinTheBound) {
    std::string long200 = "P1100";
    while (long200.size() < 200)
        long200 += static_cast<char>('A' + long200.size() % 26);
    const std::string full = "P1100" + std::string(1016, 'z');
    // Reply (empty: silence) after a silent command or not; delay of the first report, of
    // the others; the one lost (0: none); time-out; code; time taken; reads (0: not
    // counted), the first, then 64 bytes further into the buffer each.
    const std::tuple<std::string, bool, uint64_t, uint64_t, size_t, uint32_t, int, uint64_t, size_t>
        rows[] = {
            {"P1100abcde", false, 0, 0, 0, 5000, 1201, 0, 1},
            {long200, false, 0, 0, 0, 5000, 1201, 0, 4},
            {"", false, 0, 0, 0, 5000, 1223, 5000, 1},
            {"P1100abcde", true, 0, 0, 0, 5000, 1201, 0, 1},      // the read after a time-out works
            {long200, false, 0, 0, 2, 5000, 1299, 5000, 0},       // lost: not taken with zeros
            {long200, false, 0, 0, 3, 5000, 1299, 5000, 0},       // the last one lost
            {long200, false, 4000, 7000, 0, 5000, 1299, 6000, 0}, // 1 s after the time-out
            {long200, false, 4000, 5900, 0, 5000, 1201, 5900, 0}, // slow but whole in time
            {long200, false, 5100, 5100, 0, 5000, 1223, 5000, 0}, // the first report too late
            {full, false, 0, 0, 0, 50, 1201, 0, 17},
        };
    for (const auto& [reply, silentFirst, first, rest, lost, timeout, code, took, reads] : rows) {
        SCOPED_TRACE(reply.substr(0, 10) + " " + std::to_string(first) + " " +
                     std::to_string(rest) + " " + std::to_string(lost));
        Rig<OHidReaderB> rig(kUsb, 4660, 22136);
        uint8_t data[1024] = {};
        uint32_t len = 99;
        tDevReturn r = Rec();
        if (silentFirst) {
            rig.hid.Answer("");
            Exchange(rig.reader, "C11", 3, data, sizeof data, &len, &r, timeout);
        }
        FakeHid::Reports reports = reply.empty() ? FakeHid::Reports{} : rig.hid.Cut(reply, rest);
        if (!reports.empty())
            reports[0].delayMs = first;
        if (lost)
            reports.erase(reports.begin() + long(lost) - 1);
        rig.hid.replies.push_back(reports);
        rig.hid.reads.clear();
        const uint64_t start = rig.hid.clock.uiNow();
        EXPECT_EQ(code != 1201,
                  Exchange(rig.reader, "C11", 0x20003, data, sizeof data, &len, &r, timeout));
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(took, rig.hid.clock.uiNow() - start);
        EXPECT_EQ(code == 1201 ? reply.substr(5) : "", std::string(data, data + len));
        EXPECT_EQ(code == 1201 ? reply.substr(0, 5) : std::string(5, 7),
                  std::string(r.acReplyText, 5));
        EXPECT_EQ(Cat({B({4, 0, 3}), B("C11"), Bytes(58)}), rig.hid.writes.back());
        EXPECT_EQ(timeout, rig.hid.writeTimeouts.back());
        if (reads) {
            ASSERT_EQ(reads, rig.hid.reads.size());
            for (size_t k = 0; k < std::min<size_t>(reads, 16); ++k)
                EXPECT_EQ(std::make_pair(size_t{1024 - 64 * k}, timeout), rig.hid.reads[k]);
        }
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
