// Both HID readers through the kernel: idcctl and the exports against an
// emulated reader on a hidraw node (QUILLON_HIDRAW_ROOT), and the exchanges
// against a scripted node for the replies that come late, out of step or in
// pieces.
#include <cstdio>
#include <fstream>
#include <functional>

#include <sys/wait.h>

#include "fuse_rig.h"
#include "quillon/idc.h"
#include "readers/family_a/hid_reader_a.h"
#include "readers/family_b/hid_reader_b.h"
#include "support/records.h"
#include "support/scoped_var.h"
#include "support/test_env.h"

using namespace quillon;
namespace emu = quillon::emu;
using emu::Bytes;
using emu::Family;
using emu::HidReader;

namespace {

const std::string kTypeA = "[CardReaderType]\nCardReaderType=5\n";
const std::string kTypeB = "[CardReaderType]\nCardReaderType=6\n[USB]\nVID=4660\nPID=22136\n";

struct CloseAtEnd {
    ~CloseAtEnd() { IDC_CloseComm(); }
};

// The exports pointed at a reader's node, with the configuration given; the
// reader is closed at the end.
struct ExportsOn {
    ExportsOn(HidReader& reader, const std::string& ini)
        : env("[CARDREADER]\n" + ini), root("QUILLON_HIDRAW_ROOT", reader.Node().Root()) {}
    TestEnv env;
    ScopedVar root;
    CloseAtEnd close;
};

// Runs "idcctl --config <root>/reader.ini status", the program in a process of its own, with
// the node's root: exit status and standard output.
int RunStatus(const std::string& root, std::string& out) {
    const std::string command = "QUILLON_HIDRAW_ROOT='" + root + "' QUILLON_LOCK_DIR='" + root +
                                "' '" IDCCTL "' --config '" + root + "/reader.ini' status";
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    const int status = pipe ? pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// On a type-5 (family A) and a type-6 (family B) reader with a card inside:
// idcctl status; a card read and given back through the exports; then the
// reader is pulled out (1223 at once) and plugged in again (found by the
// next IDC_SetCommPara).
TEST(HidReadersFuse, IdcctlAndAWholeTransactionThroughTheExportsAndAReplug) {
    // Family; configuration; idcctl's status line; codes of Init, GetStatus, ReadTrack,
    // EjectCard; the commands the reader received (idcctl's first).
    const std::tuple<Family, std::string, std::string, std::vector<int>, std::vector<std::string>>
        rows[] = {
            {Family::A,
             kTypeA,
             "status: ok  (result 0, code 1203, reply \"P1002000000110\")",
             {1202, 1203, 1203, 1202},
             {"C11", "C10", "C00", "CQ0", "CV0", "C11", "C10", "C6a7", "C30"}},
            {Family::B,
             kTypeB,
             "status: ok  (result 0, code 1203, reply \"P1102\")",
             {1202, 1203, 1203, 1202},
             {"C13", "C11", "C0432400010011", "CC0", "CA1", "C:X0", "Cc90", "Ce2", "C13", "C11",
              "C65", "C67", "C30"}},
        };
    for (const auto& [family, ini, status, codes, commands] : rows) {
        SCOPED_TRACE(ini);
        HidReader reader(family);
        START_OR_SKIP(reader);
        reader.Emu().PlaceCard(emu::CardPosition::Inside);
        std::ofstream(reader.Node().Root() + "/reader.ini") << "[CARDREADER]\n" << ini;
        std::string out;
        EXPECT_EQ(0, RunStatus(reader.Node().Root(), out)) << out;
        EXPECT_NE(std::string::npos, out.find(status)) << out;

        ExportsOn exports(reader, ini);
        tDevReturn r = Record(9);
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        tIdcStatus st{};
        tIdcTracks tracks{};
        // In this order (a braced list is evaluated from left to right); the card goes in
        // after the initialisation.
        const std::vector<int> got = {
            (IDC_Init(1, &r), r.iCode2),
            (reader.Emu().PlaceCard(emu::CardPosition::Inside), IDC_GetStatus(&st, &r), r.iCode2),
            (IDC_ReadTrack(&tracks, &r), r.iCode2), (IDC_EjectCard(&r), r.iCode2)};
        EXPECT_EQ(emu::Card::Default().track2,
                  std::string(reinterpret_cast<const char*>(tracks.abTrack2), tracks.uiLen2));
        EXPECT_EQ(codes, got);
        EXPECT_EQ(commands, reader.Emu().Commands());

        reader.Node().Unplug();
        EXPECT_EQ(1, IDC_GetStatus(&st, &r));
        EXPECT_EQ(Codes(1223, 1), Codes(r));
        EXPECT_EQ(1, IDC_SetCommPara(&r));
        reader.Node().Replug();
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        EXPECT_EQ(0, IDC_GetStatus(&st, &r));
        EXPECT_LT(commands.size(), reader.Emu().Commands().size());
    }
}

namespace {
// The reader's count of retained cards, as its life counters tell it.
std::string RetainBin(HidReader& reader) {
    tIdcLife life{};
    tDevReturn r = Record(9);
    IDC_GetLifeInfo(&life, &r);
    const bool a = reader.Emu().With([](emu::Engine& e) { return e.eFamily() == Family::A; });
    return "bin " + std::to_string(life.uiValue[a ? 8 : 7]);
}

} // namespace

// Each operation the whole transaction above leaves out, on a reader just
// initialised with a card inside: its code, the commands the reader received
// (those of the operation's own preparation left out) and what the caller got.
TEST(HidReadersFuse, EveryOtherOperationThroughTheExports) {
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
    const std::string selectText(select.begin(), select.end());
    const std::string atr = emu::Hex(emu::Card::Default().Answer());
    const std::string track = "4000001234567899=3012";
    // An operation through the exports: its code in the record, what the caller got in the
    // text.
    using Operation = std::function<void(HidReader&, tDevReturn&, std::string&)>;
    const Operation accept = [](auto&, auto& r, auto&) { IDC_AcceptCard(1, &r); };
    const Operation power = [](auto&, auto& r, auto& seen) {
        uint8_t atr[IDC_CHIP_REPLY_MAX];
        uint32_t len = 0, type = 0;
        IDC_ChipPower(1, uintptr_t(atr), uintptr_t(&len), &type, &r);
        seen = emu::Hex(Bytes(atr, atr + len)) + " type " + std::to_string(type);
    };
    const Operation chipIo = [&](auto& reader, auto& r, auto& seen) {
        power(reader, r, seen);
        reader.Emu().ClearLog();
        uint8_t reply[IDC_CHIP_REPLY_MAX];
        uint32_t len = 0;
        IDC_ChipIO(0, select.data(), int(select.size()), reply, &len, &r);
        seen = emu::Hex(Bytes(reply, reply + len));
    };
    const Operation retain = [](auto& reader, auto& r, auto& seen) {
        uint32_t count = 0;
        IDC_RetainCard(&count, &r);
        seen = std::to_string(count) + " " + RetainBin(reader);
    };
    const Operation resetCount = [&](auto& reader, auto& r, auto& seen) {
        retain(reader, r, seen);
        reader.Emu().ClearLog();
        IDC_ResetCount(0, &r);
        seen = RetainBin(reader);
    };
    const Operation write = [&](auto& reader, auto& r, auto& seen) {
        IDC_WriteTrack(2, reinterpret_cast<const uint8_t*>(track.data()), uint32_t(track.size()),
                       &r);
        seen = reader.Emu().With([](emu::Engine& e) { return e.Model().tCard().track2; });
    };
    const Operation lifeInfo = [](auto& reader, auto& r, auto& seen) {
        reader.Emu().With(
            [](emu::Engine& e) { e.Model().counters = {11, 12, 13, 14, 15, 16, 17, 18}; });
        tIdcLife life{};
        IDC_GetLifeInfo(&life, &r);
        for (uint32_t v : life.uiValue)
            seen += (seen.empty() ? "" : " ") + std::to_string(v);
    };
    const Operation release = [](auto&, auto& r, auto&) { IDC_ReleaseAntiFishing(&r); };
    // Family; operation; its code; the commands the reader received; what the caller got.
    const std::tuple<Family, Operation, int, std::vector<std::string>, std::string> rows[] = {
        {Family::A, accept, 1203, {"C:2"}, ""},
        {Family::A, power, 1203, {"CC0", "CC2"}, atr + " type 0"},
        {Family::A, chipIo, 1203, {"CF0" + selectText}, "61 1D"},
        {Family::A, retain, 1201, {"C41", "CQ0", "CM0"}, "1 bin 1"},
        {Family::A, resetCount, 1201, {"CQ1", "CM0"}, "bin 0"},
        {Family::A, write, 1203, {"C72" + track}, track},
        {Family::A, lifeInfo, 1203, {"CM0"}, "11 0 11 14 15 16 17 0 18 0 0"},
        {Family::A, release, 1216, {}, ""},
        {Family::B, accept, 1203, {"C:2"}, ""},
        {Family::B, power, 1203, {"C@0", "CI0"}, atr + " type 0"},
        {Family::B, chipIo, 1203, {"CI3" + selectText}, "61 1D"},
        {Family::B, retain, 1201, {"C31", "CC0", "CfA"}, "1 bin 1"},
        {Family::B, resetCount, 1201, {"CC100", "CfA"}, "bin 0"},
        {Family::B, write, 1203, {"C72" + track}, track},
        {Family::B, lifeInfo, 1203, {"CfA"}, "11 12 13 14 15 16 17 18 0 7 0"},
        {Family::B, release, 1203, {"Cc:1"}, ""},
    };
    int row = 0;
    for (const auto& [family, operation, code, commands, seen] : rows) {
        SCOPED_TRACE("row " + std::to_string(row++));
        HidReader reader(family);
        START_OR_SKIP(reader);
        ExportsOn exports(reader, family == Family::A ? kTypeA : kTypeB);
        tDevReturn r = Record(9);
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        ASSERT_EQ(0, IDC_Init(1, &r));
        reader.Emu().PlaceCard(emu::CardPosition::Inside);
        reader.Emu().ClearLog();
        std::string got;
        operation(reader, r, got);
        EXPECT_EQ(code, r.iCode2);
        EXPECT_EQ(commands, reader.Emu().Commands());
        EXPECT_EQ(seen, got);
    }
}

namespace {
// One reply the node sends to "C10": its text; which of its reports are held
// until the driver waits in poll (0 none, 1 all, 2 those after the first);
// the report ID of its first report (0: the family's).
struct Reply {
    std::string text;
    int held = 0;
    uint8_t id = 0;
};

} // namespace

// Each row: "C40" gets no reply within its 30 ms (1223) and its reply comes
// after that; "C10" then gets the row's replies and must take its own.
TEST(HidReadersFuse, LateOutOfStepAndSplitRepliesThroughTheKernel) {
    const std::string big = "P1000" + std::string(195, 'z');
    // Family; replies to "C10"; code; reply data.
    const std::tuple<Family, std::vector<Reply>, int, std::string> rows[] = {
        {Family::A, {{"P1000ab"}}, 1201, "ab"},
        {Family::A, {{"P1000cd", 1}}, 1201, "cd"},
        {Family::A, {{"P4000"}, {"N1010ef", 1}}, 1283, "ef"},
        {Family::A, {{"P1000gh", 0, 0x07}}, 1201, "gh"},
        {Family::A, {}, 1223, ""},
        {Family::B, {{"P1000ab"}}, 1201, "ab"},
        {Family::B, {{"P4000"}, {"P1000cd", 1}}, 1201, "cd"},
        {Family::B, {{big, 2}}, 1201, big.substr(5)},
        {Family::B, {{"P1000gh", 0, 0x07}}, 1201, "gh"},
        {Family::B, {}, 1223, ""},
    };
    for (const auto& [family, replies, code, data] : rows) {
        SCOPED_TRACE(std::string(family == Family::A ? "A " : "B ") +
                     (replies.empty() ? "" : replies.back().text.substr(0, 8)));
        emu::HidrawNode node(HidReader::Device(family));
        node.SetHandler([&node, family = family, &replies = replies](const Bytes& report) {
            if (HidReader::Command(report) != Bytes{'C', '1', '0'})
                return;
            for (const Reply& reply : replies) {
                std::vector<Bytes> reports = HidReader::Reports(family, emu::ToBytes(reply.text));
                if (reply.id)
                    reports[0][0] = reply.id;
                for (size_t i = 0; i < reports.size(); ++i) {
                    if (reply.held == 1 || (reply.held == 2 && i > 0))
                        node.SendWhenWaited(reports[i]);
                    else
                        node.Send(reports[i]);
                }
            }
        });
        START_OR_SKIP(node);
        TestEnv env("[CARDREADER]\n" + (family == Family::A ? kTypeA : kTypeB));
        ScopedVar root("QUILLON_HIDRAW_ROOT", node.Root());
        OReaderComm comm{nullptr, "CARDREADER"};
        OHidReaderA a{&comm};
        OHidReaderB b{&comm};
        const bool isA = family == Family::A;
        // The exchange's code, reply text shown and data.
        const auto exchange = [&](const std::string& command, uint32_t timeoutMs) {
            uint8_t d[1024];
            const auto* p = reinterpret_cast<const uint8_t*>(command.data());
            const uint32_t n = uint32_t(command.size());
            const tCommandReply got = isA ? a.tExchange(p, n, d, sizeof d, timeoutMs)
                                          : b.tExchange(p, n, d, sizeof d, timeoutMs);
            return std::make_tuple(ToInt(got.eCode),
                                   std::string(got.abShown, got.abShown + got.uiShownLen),
                                   std::string(d, d + got.uiDataLen));
        };
        ASSERT_EQ(0, isA ? a.SetCommPara().iResult : b.SetCommPara().iResult);
        EXPECT_EQ(1223, std::get<0>(exchange("C40", 30)));
        node.Send(HidReader::Reports(family, emu::ToBytes("P4000"))[0]);

        const auto [gotCode, shown, gotData] = exchange("C10", code == 1223 ? 30 : 20000);
        EXPECT_EQ(code, gotCode);
        EXPECT_EQ(data, gotData);
        const std::string text = replies.empty() ? "" : replies.back().text;
        EXPECT_EQ(family == Family::A ? text : text.substr(0, 5), shown);
        EXPECT_EQ(0u, node.Queued());
    }
}
