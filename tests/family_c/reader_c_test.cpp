// Family C's driver against the scripted family-C reader (support/scripted_reader.h).
#include <functional>
#include <tuple>

#include "support/scripted_reader.h"

using namespace quillon;

namespace {
using Op = std::function<int(OSerialReaderC&, tDevReturn*)>;
} // namespace

// The exchange returns its code and the bytes received; it writes no record.
TEST_F(ReaderC, ExchangeOutcomes) {
    const Bytes ok = B({0x02, 0x00, 0x03, 0x50, 0x31, 0x30, 0x03, 0x53}); // "P10", no data
    // clang-format off
    std::vector<std::tuple<std::string, Bytes, Bytes, int, uint32_t, const char*, std::vector<uint32_t>>> rows = {
        // answer to the frame, to ENQ, code, bytes handed back, events (L line control, P purge,
        // W write, R read), line-control functions
        {"positive", B({6}), ok, 0, 8, "LPWRWRRL", {5, 6}},
        {"silent", {}, {}, 1226, 0, "LPWR", {5}},
        {"NAK instead of ACK", B({0x15}), ok, 1226, 0, "LPWR", {5}},
        {"wrong BCC", B({6}), Cat({Bytes(ok.begin(), ok.end() - 1), B({0x54})}), 1222, 8, "LPWRWRR", {5}},
        {"no reply after ENQ", B({6}), {}, 1299, 0, "LPWRWR", {5}},
        {"reply cut short", B({6}), Bytes(ok.begin(), ok.begin() + 5), 1299, 5, "LPWRWRRR", {5}},
        {"beyond the receive buffer", B({6}), B({0x02, 0x03, 0xFD}), 1299, 3, "LPWRWR", {5}},
        {"unknown kind", B({6}), FrameStx(B("X10")), 1222, 8, "LPWRWRRL", {5, 6}},
        {"no error byte", B({6}), FrameStx(B("N10")), 1221, 8, "LPWRWRRL", {5, 6}},
    };
    // clang-format on
    // The map's rows that matter: range edges, gaps between them.
    const std::pair<int, int> negative[] = {{0x00, 1266}, {0x05, 1291}, {0x07, 1291}, {0x09, 1221},
                                            {0x30, 1275}, {0x31, 1276}, {0x33, 1276}, {0x34, 1221},
                                            {0x53, 1273}, {0x54, 1221}, {0x6B, 1273}, {0x74, 1221}};
    for (const auto& [err, code] : negative)
        rows.push_back(
            {"negative", B({6}), FrameStx(B({'N', '1', '0', err})), code, 9, "LPWRWRRL", {5, 6}});
    for (const auto& [name, first, reply, code, copied, kinds, lineCtl] : rows) {
        SCOPED_TRACE(name + " " + std::to_string(code));
        vFresh();
        vOn("10", {first, reply});
        quillon::famc::tData data;
        const quillon::tCommandReply got = quillon::famc::Exchange(s_comm, "10", 64, 7000, data);
        EXPECT_EQ(code, quillon::ToInt(got.eCode));
        // The data of the bytes received: behind the echo, before ETX and the check byte.
        const Bytes held =
            copied > 8 ? Bytes(reply.begin() + 6, reply.begin() + copied - 2) : Bytes{};
        EXPECT_EQ(Hex(held), Hex(Bytes(data.abData, data.abData + got.uiDataLen)));
        std::string events;
        for (const LineEvent& e : line().events)
            events += "OCWRPL"[e.kind];
        EXPECT_EQ(kinds, events);
        EXPECT_EQ(lineCtl, line().LineControls());
    }
    vFresh();
    line().bFailWrite = true;
    quillon::famc::tData data;
    EXPECT_EQ(quillon::Code::CommFailed,
              quillon::famc::Exchange(s_comm, "10", 64, 7000, data).eCode);
    line().bFailWrite = false;
    // At most the command's reply area is handed back.
    vFresh();
    vOn("10", PC("10", Bytes(100, 'd')));
    EXPECT_EQ(64u - 8, quillon::famc::Exchange(s_comm, "10", 64, 7000, data).uiDataLen);
}

TEST_F(ReaderC, Init) {
    const char* ejecting = "00@20000 10@10000 79@20000 32@20000 10@10000 10@10000";
    // clang-format off
    const std::vector<std::tuple<int, std::vector<std::pair<std::string, AnswerC>>, const char*, int>> rows = {
        {1, {{"10", State('2')}, {"10", State('5')}, {"10", State('5')}}, ejecting, 1201}, // card inside
        {1, {{"10", State('2')}, {"32", NC("32", 0x0B)}}, ejecting, 1284}, // the eject decides
        {1, {{"00", NC("00", 0x0C)}, {"10", State('5')}}, ejecting, 1241}, // init refused: a failure
        {2, {{"10", State('5')}, {"10", State('5')}}, "02@20000 10@10000 10@10000", 1201}, // no card
        {4, {}, "", 1224},
    };
    // clang-format on
    for (const auto& [mode, answers, log, code] : rows) {
        SCOPED_TRACE(code);
        vFresh();
        for (const auto& [cmd, a] : answers)
            vOn(cmd, a);
        EXPECT_EQ(code == 1201 ? 0 : 1, Into(drv->Init(mode), ret));
        EXPECT_EQ(log, Log());
        EXPECT_EQ(Codes(code, code == 1201 ? 0 : 1), Rec());
    }
    vFresh();
    vOn("00", PC("00", B("MODEL-C01-FW42xyz")));
    Into(drv->Init(3), ret);
    tIdcCaps caps;
    EXPECT_EQ(0, Into(drv->GetCapabilities(&caps), ret));
    EXPECT_EQ((std::vector<uint16_t>{3, 2, 2, 2, 2, 0, 99, 0}),
              std::vector<uint16_t>(caps.usField, caps.usField + 8));
    EXPECT_EQ("MODEL-C01 FW42", std::string(caps.acModelName) + " " + caps.acFirmware);
    EXPECT_EQ((std::vector<int>{4, 4, 255, 3, 2}),
              (std::vector<int>{st()[3], st()[4], st()[9], st()[10], st()[11]}));
}

TEST_F(ReaderC, GetStatusRows) {
    // Each row starts from driver fields 1, 6, 7, 10 = 2, 1, 1, 1 (AcceptCard 1, state "1").
    const std::vector<std::tuple<char, int, std::vector<int>>> rows = {
        {'0', 1205, {4, 0, 1, 1}}, {'1', 1202, {2, 1, 1, 1}}, {'2', 1203, {3, 0, 0, 3}},
        {'4', 1203, {3, 0, 0, 3}}, {'3', 1207, {3, 1, 1, 3}}, {'5', 1201, {1, 0, 0, 1}},
        {'6', 1214, {2, 1, 1, 1}}, {'9', 0, {2, 1, 1, 1}}};
    for (const auto& [state, code, fields] : rows) {
        SCOPED_TRACE(state);
        vFresh();
        vOn("10", State('1'));
        ASSERT_EQ(0, Into(drv->AcceptCard(1), ret));
        vOn("10", State(state));
        tIdcStatus out;
        std::memset(&out, 0xEE, sizeof out);
        std::memset(ret.acReplyText, 'x', sizeof ret.acReplyText);
        EXPECT_EQ(state == '6' ? 1 : 0, Into(drv->GetStatus(&out), ret)); // 1214 fails
        EXPECT_EQ(Codes(code, 0), Rec());
        EXPECT_EQ(std::string(256, 'x'), std::string(ret.acReplyText, 256)); // left alone
        const uint16_t* f = out.usField;
        EXPECT_EQ(fields, (std::vector<int>{f[1], f[6], f[7], f[10]}));
        EXPECT_EQ(fields[3], st()[10]);
        EXPECT_EQ(255, f[9]); // the rest is the driver's record
    }
}

// A failed command makes GetStatus report its code until one succeeds; a silent reader is 1226.
TEST_F(ReaderC, StatusRepeatsThePreviousFailureUnlessSilent) {
    vOn("25", NC("25", 0x0C));
    EXPECT_EQ(1, Into(drv->AcceptCard(1), ret));
    tIdcStatus out{};
    const std::vector<std::tuple<AnswerC, int, int>> rows = {
        {State('5'), 1, 1241}, {State('5'), 1, 1241}, {AnswerC{}, 1, 1226}, {State('5'), 0, 1201}};
    for (const auto& [answer, result, code] : rows) {
        SCOPED_TRACE(code);
        if (code == 1201) {
            EXPECT_EQ(0, Into(drv->AcceptCard(2), ret)); // a success ends it
        }
        vOn("10", answer);
        EXPECT_EQ(result, Into(drv->GetStatus(&out), ret));
        EXPECT_EQ(Codes(code, result), Rec());
        if (code != 1226) {
            EXPECT_EQ(1, out.usField[1]); // refreshed all the same
        }
    }
}

// The next status read repeats only a failure an operation left as the last outcome: an
// unknown chip or a failed track read tell their code in the record alone, and an operation
// that sends nothing leaves the earlier failure in place.
TEST_F(ReaderC, NextStatusRepeatsOnlyTheFailureLeftBehind) {
    uint32_t type = 0, len = 0;
    uint8_t buf[IDC_CHIP_REPLY_MAX];
    tIdcTracks tracks{};
    const Op acceptFails = [](auto& d, auto* r) { return Into(d.AcceptCard(1), *r); }; // 1241
    // clang-format off
    const std::vector<std::tuple<const char*, std::vector<std::pair<std::string, AnswerC>>, std::vector<Op>, int, int>> rows = {
        // answers, operations, the last one's code, the next status read's code
        {"unknown chip", {{"31", PC("31", B("7"))}},
         {[&](auto& d, auto* r) { return Into(d.ChipPower(1, 0, 0, &type), *r); }}, 1273, 1201},
        {"track read failed", {{"76", NC("76", 0x0C)}, {"10", State('2')}},
         {[&](auto& d, auto* r) { return Into(d.ReadTrack(&tracks), *r); }}, 1267, 1201},
        {"state 6", {{"10", State('6')}},
         {[](auto& d, auto* r) { return Into(d.GetStatus(nullptr), *r); }}, 1214, 1201},
        {"not supported", {{"25", NC("25", 0x0C)}},
         {acceptFails, [&](auto& d, auto* r) { return Into(d.WriteTrack(&tracks), *r); }}, 1266, 1241},
        {"no chip powered", {{"25", NC("25", 0x0C)}},
         {acceptFails, [&](auto& d, auto* r) { return Into(d.ChipIO(0, buf, 1, buf, &len), *r); }}, 1267, 1241},
    };
    // clang-format on
    for (const auto& [name, answers, ops, code, next] : rows) {
        SCOPED_TRACE(name);
        vFresh();
        for (const auto& [cmd, a] : answers)
            vOn(cmd, a);
        for (const Op& op : ops)
            EXPECT_EQ(1, op(*drv, &ret));
        EXPECT_EQ(code, ret.iCode2);
        script["10"] = {State('5')};
        Into(drv->GetStatus(nullptr), ret);
        EXPECT_EQ(next, ret.iCode2);
    }
}

// A successful command followed by a status read that goes unanswered: the result and the
// record both tell the command's success, and the next status read does not repeat 1226.
TEST_F(ReaderC, SilentRefreshLeavesTheCommandsSuccess) {
    uint8_t atr[IDC_CHIP_REPLY_MAX];
    uint32_t atrLen = 0, type = 0;
    // clang-format off
    const std::vector<std::pair<Op, const char*>> rows = {
        {[](auto& d, auto* r) { return Into(d.Init(3), *r); }, "00@20000 10 10"},
        {[](auto& d, auto* r) { return Into(d.Init(1), *r); }, "00@20000 10 79@20000 32@20000 10 10"},
        {[](auto& d, auto* r) { return Into(d.AcceptCard(1), *r); }, "25@20000 10"},
        {[](auto& d, auto* r) { return Into(d.EjectCard(), *r); }, "79@20000 32@20000 10"},
        {[](auto& d, auto* r) { return Into(d.RetainCard(nullptr), *r); }, "79@20000 35@20000 10"},
        {[&](auto& d, auto* r) { return Into(d.ChipPower(1, uintptr_t(atr), uintptr_t(&atrLen), &type), *r); },
         "40@10000 31@10000 90@10000 10"},
        {[&](auto& d, auto* r) { return Into(d.ChipPower(3, 0, 0, &type), *r); }, "91@10000 30@10000 10"}};
    // clang-format on
    for (const auto& [op, log] : rows) {
        SCOPED_TRACE(log);
        vFresh();
        vOn("31", PC("31", B("=")));
        for (int i = 0; i < 3; ++i)
            vOn("10", AnswerC{}); // no acknowledgement: 1226
        EXPECT_EQ(0, op(*drv, &ret));
        EXPECT_EQ(log, Log());
        EXPECT_EQ(Codes(0, 0), Rec());
        script["10"] = {State('5')};
        tIdcStatus out;
        EXPECT_EQ(0, Into(drv->GetStatus(&out), ret));
        EXPECT_EQ(Codes(1201, 0), Rec());
    }
}

TEST_F(ReaderC, CardMovesAndPowerOff) {
    auto accept = [](int mode) {
        return [mode](OSerialReaderC& d, tDevReturn* r) { return Into(d.AcceptCard(mode), *r); };
    };
    uint32_t type = 7;
    // clang-format off
    const std::vector<std::tuple<Op, const char*, int, bool>> rows = { // op, log, field 10, chip off
        {accept(1), "25@20000 10@10000", 1, false}, {accept(2), "24@20000 10@10000", 2, false},
        {accept(3), "23@20000 10@10000", 3, false}, {accept(4), "30@20000 10@10000", 3, false},
        {accept(5), "22@20000 10@10000", 3, false},
        {[](auto& d, auto* r) { return Into(d.EjectCard(), *r); }, "79@20000 32@20000 10@10000", 3, true},
        {[](auto& d, auto* r) { return Into(d.RetainCard(nullptr), *r); }, "79@20000 35@20000 10@10000", 0, false},
        {[&](auto& d, auto* r) { return Into(d.ChipPower(3, 0, 0, &type), *r); }, "91@10000 30@10000 10@10000", 0, true}};
    // clang-format on
    for (const auto& [op, log, f10, off] : rows) {
        SCOPED_TRACE(log);
        vFresh();
        vOn("31", PC("31", B("3")));
        ASSERT_EQ(0, Into(drv->ChipPower(1, 0, 0, &type), ret)); // chip type 8, powered
        line().vClear();
        vOn("79", NC("79", 0x0C)); // its failure does not count
        EXPECT_EQ(0, op(*drv, &ret));
        EXPECT_EQ(log, Log());
        EXPECT_EQ((std::vector<int>{f10, off ? 2 : 1, off ? 255 : 8}),
                  (std::vector<int>{st()[10], st()[8], st()[9]}));
        EXPECT_EQ(log[0] == '9' ? 255u : 8u, type); // only power off reports it
    }
    vFresh();
    EXPECT_EQ(1, Into(drv->AcceptCard(6), ret));
    EXPECT_EQ(Codes(1224, 1), Rec());
    EXPECT_EQ(1, Into(drv->ChipPower(4, 0, 0, &type), ret));
    EXPECT_EQ(Codes(1224, 1), Rec());
    EXPECT_TRUE(line().events.empty());
}

TEST_F(ReaderC, ChipPowerOnAndChipIOForms) {
    const Bytes cmd = B({0xAA, 0xBB}), atr = B({0x3B, 0x11, 0x22, 0x33});
    const char* powered = "40@10000 31@10000 90@10000 10@10000";
    // clang-format off
    const std::vector<std::tuple<char, const char*, uint32_t, Bytes, Bytes, Bytes>> rows = {
        // chip answer, power-on log, type, ATR, chip command text, its reply data
        {'=', powered, 0, atr, Cat({B("93"), B({0, 2}), cmd}), B({0, 3, 'r', 's', 't'})},
        {'>', powered, 1, atr, Cat({B("94"), B({0, 2}), cmd}), B({0, 16, 'r', 's', 't'})}, // says 16, holds 3
        {';', "40@10000 31@10000 C0@10000", 4, {}, Cat({B("C"), cmd}), B("rst")},
        {'<', "40@10000 31@10000 D0@10000", 6, {}, Cat({B("D"), cmd}), B("rst")},
        {'0', "40@10000 31@10000", 8, {}, Cat({B(">05"), cmd}), B("rst")},
        {'6', "40@10000 31@10000", 8, {}, Cat({B(">05"), cmd}), B("rst")},
        {'7', "40@10000 31@10000", 255, {}, {}, {}},
    };
    // clang-format on
    for (const auto& [chip, log, chipType, expectedAtr, ioText, ioData] : rows) {
        SCOPED_TRACE(chip);
        vFresh();
        vOn("31", PC("31", B(std::string(1, chip))));
        vOn("90", PC("90", Cat({B({6, 0}), atr}))); // announces 5 bytes, holds 4
        uint8_t buf[IDC_CHIP_REPLY_MAX];
        uint32_t len = 99, type = 77;
        const int on = Into(drv->ChipPower(1, uintptr_t(buf), uintptr_t(&len), &type), ret);
        EXPECT_EQ(log, Log());
        EXPECT_EQ(Codes(on ? 1273 : 0, on), Rec());
        EXPECT_EQ((Ms{chipType, chipType, on ? 2u : 1u}), (Ms{type, st()[9], st()[8]}));
        EXPECT_EQ(Hex(expectedAtr), len == 99 ? "" : Hex(Bytes(buf, buf + len)));
        line().vClear();
        const std::string key(ioText.begin(), ioText.end());
        vOn(key, PC(key.substr(0, 2), ioData));
        const int io = Into(drv->ChipIO(0, cmd.data(), 2, buf, &len), ret);
        EXPECT_EQ(on, io); // nothing powered: 1267, nothing sent
        EXPECT_EQ(Codes(on ? 1267 : 0, on), Rec());
        EXPECT_EQ(on ? "" : Hex(FrameStx(ioText)), on ? "" : Hex(line().Writes().at(0)));
        EXPECT_EQ(on ? "" : "@10000 10@10000", on ? Log() : Log().substr(Log().find('@')));
        EXPECT_EQ(on ? "" : "rst", on ? "" : std::string(buf, buf + len)); // at most what arrived
    }
}

TEST_F(ReaderC, ChipIORefusesCommandsBeyondTheirArea) {
    static const uint8_t big[1016] = {};
    // chip answer, largest accepted length (one more is refused unsent), text prefix
    for (const auto& [chip, fits, prefix] :
         std::vector<std::tuple<char, int, int>>{{'=', 1015, 4}, {';', 255, 1}, {'3', 253, 3}}) {
        SCOPED_TRACE(chip);
        vFresh();
        vOn("31", PC("31", B(std::string(1, chip))));
        uint32_t type = 0, len = 0;
        ASSERT_EQ(0, Into(drv->ChipPower(1, 0, 0, &type), ret));
        line().vClear();
        uint8_t resp[IDC_CHIP_REPLY_MAX];
        EXPECT_EQ(1, Into(drv->ChipIO(0, big, fits + 1, resp, &len), ret));
        EXPECT_EQ(Codes(1224, 1), Rec());
        EXPECT_TRUE(line().events.empty());
        EXPECT_EQ(0, Into(drv->ChipIO(0, big, fits, resp, &len), ret));
        EXPECT_EQ(size_t(5 + prefix + fits), line().Writes()[0].size());
    }
}

TEST_F(ReaderC, ReadTrack) {
    const Bytes t1(80, '1'); // announced as 0x60: capped at 80, track 2 follows it
    // clang-format off
    const std::vector<std::tuple<AnswerC, char, int, std::vector<uint32_t>>> rows = {
        // answer to "76", card state, code (1203: read), lengths
        {PC("76", Cat({B({0, 0x60, 0, 2, 0, 3}), t1, B("22333")})), '2', 1203, {80, 2, 3}},
        {PC("76", B({0, 0, 0, 0, 0, 0})), '2', 1249, {0, 0, 0}},        // no track data, card in
        {PC("76", B({0, 1, 0, 0, 0, 0, 'A'})), '5', 1267, {0, 0, 0}},   // data, but no card
        {NC("76", 0x0C), '2', 1267, {0, 0, 0}},                         // read refused
    };
    // clang-format on
    for (const auto& [read, state, code, lens] : rows) {
        SCOPED_TRACE(code);
        vFresh();
        vOn("76", read);
        vOn("10", State(state));
        tIdcTracks tr;
        std::memset(&tr, 0xEE, sizeof tr);
        const bool ok = code == 1203;
        EXPECT_EQ(ok ? 0 : 1, Into(drv->ReadTrack(&tr), ret));
        EXPECT_EQ(ok ? "76@10000 10@10000" : "76@10000 10@10000 79@10000", Log());
        EXPECT_EQ(Codes(code, 0), Rec());
        EXPECT_EQ(lens, (Ms{tr.uiLen1, tr.uiLen2, tr.uiLen3}));
        Bytes expect(sizeof tr.abTrack1 + sizeof tr.abTrack2 + sizeof tr.abTrack3, 0);
        if (ok) {
            std::copy(t1.begin(), t1.end(), expect.begin());
            std::memcpy(&expect[80], "22", 2);
            std::memcpy(&expect[121], "333", 3);
        }
        EXPECT_EQ(Hex(expect), Hex(Bytes(tr.abTrack1, tr.abTrack1 + expect.size())));
    }
}

TEST_F(ReaderC, NotSupportedSendsNothing) {
    tIdcLife life;
    tIdcTracks tracks{};
    const std::vector<Op> ops = {[&](auto& d, auto* r) { return Into(d.GetLifeInfo(&life), *r); },
                                 [](auto& d, auto* r) { return Into(d.ResetCount(1), *r); },
                                 [&](auto& d, auto* r) { return Into(d.WriteTrack(&tracks), *r); },
                                 [](auto& d, auto* r) { return Into(d.ReleaseAntiFishing(), *r); }};
    for (const Op& op : ops) {
        ret = tDevReturn{};
        EXPECT_EQ(1, op(*drv, &ret));
        EXPECT_EQ(Codes(1266, 0), Rec());
    }
    EXPECT_TRUE(line().events.empty());
}
