#include "reader_c_fixture.h"

#include <cstring>
#include <functional>

using Op = std::function<int(OSerialReaderC&, tDevReturn*)>;

TEST_F(ReaderC, Init) {
    const char* ejecting = "00@20000 10@10000 79@20000 32@20000 10@10000 10@10000";
    struct Row {
        const char* name;
        int mode;
        std::vector<std::pair<std::string, Answer>> answers;
        const char* log;
        int result, code;
    } rows[] = {
        // clang-format off
        {"card inside: ejected, eject decides", 1,
         {{"10", State('2')}, {"10", State('5')}, {"10", State('5')}}, ejecting, 0, 1201},
        {"card inside, eject fails", 1,
         {{"10", State('2')}, {"32", N("32", 0x0B)}}, ejecting, 1, 1284},
        {"init refused, eject works: still a failure", 1,
         {{"00", N("00", 0x0C)}, {"10", State('5')}}, ejecting, 1, 1241},
        {"mode 2, no card", 2,
         {{"10", State('5')}, {"10", State('5')}}, "02@20000 10@10000 10@10000", 0, 1201},
        {"mode 4 refused", 4, {}, "", 1, 1224},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        vFresh();
        for (const auto& [cmd, a] : r.answers)
            vOn(cmd, a);
        EXPECT_EQ(r.result, drv->Init(r.mode, &ret));
        EXPECT_EQ(r.log, Log());
        EXPECT_EQ(R(r.code, r.code == 1201 ? 0 : 1), Rec());
    }
    vFresh();
    vOn("00", P("00", B("MODEL-C01-FW42xyz")));
    drv->Init(3, &ret);
    tIdcCaps caps;
    EXPECT_EQ(0, drv->GetCapabilities(&caps, &ret));
    EXPECT_EQ((std::vector<uint16_t>{3, 2, 2, 2, 2, 0, 99, 0}),
              std::vector<uint16_t>(caps.usField, caps.usField + 8));
    EXPECT_EQ("MODEL-C01 FW42 V1.0.1 b6",
              std::string(caps.acModelName) + " " + caps.acFirmware + " " + caps.acLibVersion);
    EXPECT_EQ((std::vector<int>{4, 4, 255, 3, 2}),
              (std::vector<int>{st().usField[3], st().usField[4], st().usField[9], st().usField[10],
                                st().usField[11]}));
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
        ASSERT_EQ(0, drv->AcceptCard(1, &ret));
        vOn("10", State(state));
        tIdcStatus out;
        std::memset(&out, 0xEE, sizeof out);
        EXPECT_EQ(0, drv->GetStatus(&out, &ret));
        EXPECT_EQ(R(code, 0), Rec());
        EXPECT_EQ(fields, (std::vector<int>{out.usField[1], out.usField[6], out.usField[7],
                                            out.usField[10]}));
        EXPECT_EQ(fields[3], st().usField[10]);
        EXPECT_EQ(255, out.usField[9]); // the rest is the driver's record
    }
}

TEST_F(ReaderC, StatusRepeatsThePreviousFailureUnlessSilent) {
    vOn("25", N("25", 0x0C));
    EXPECT_EQ(1, drv->AcceptCard(1, &ret));
    EXPECT_EQ(R(1241, 1), Rec());
    tIdcStatus out;
    for (int i = 0; i < 2; ++i) {
        vOn("10", State('5'));
        EXPECT_EQ(1, drv->GetStatus(&out, &ret));
        EXPECT_EQ(R(1241, 1), Rec());
        EXPECT_EQ(1, out.usField[1]); // refreshed all the same
    }
    vOn("10", {});
    EXPECT_EQ(1, drv->GetStatus(&out, &ret));
    EXPECT_EQ(R(1226, 1), Rec());
    EXPECT_EQ(0, drv->AcceptCard(2, &ret)); // a success ends it
    vOn("10", State('5'));
    EXPECT_EQ(0, drv->GetStatus(&out, &ret));
    EXPECT_EQ(R(1201, 0), Rec());
}

TEST_F(ReaderC, CardMovesAndPowerOff) {
    auto accept = [](int mode) {
        return [mode](OSerialReaderC& d, tDevReturn* r) { return d.AcceptCard(mode, r); };
    };
    uint32_t type = 7;
    const std::vector<std::tuple<Op, const char*, int, bool>> rows = {
        // op, log, field 10, chip off
        {accept(1), "25@20000 10@10000", 1, false},
        {accept(2), "24@20000 10@10000", 2, false},
        {accept(3), "23@20000 10@10000", 3, false},
        {accept(4), "30@20000 10@10000", 3, false},
        {accept(5), "22@20000 10@10000", 3, false},
        {[](auto& d, auto* r) { return d.EjectCard(r); }, "79@20000 32@20000 10@10000", 3, true},
        {[](auto& d, auto* r) { return d.RetainCard(nullptr, r); }, "79@20000 35@20000 10@10000", 0,
         false},
        {[&](auto& d, auto* r) { return d.ChipPower(3, 0, 0, &type, r); },
         "91@10000 30@10000 10@10000", 0, true}};
    for (const auto& [op, log, f10, off] : rows) {
        SCOPED_TRACE(log);
        vFresh();
        vOn("31", P("31", B("3")));
        ASSERT_EQ(0, drv->ChipPower(1, 0, 0, &type, &ret)); // chip type 8, powered
        line().vClear();
        vOn("79", N("79", 0x0C)); // its failure does not count
        EXPECT_EQ(0, op(*drv, &ret));
        EXPECT_EQ(log, Log());
        EXPECT_EQ(f10, st().usField[10]);
        EXPECT_EQ((std::vector<int>{off ? 2 : 1, off ? 255 : 8}),
                  (std::vector<int>{st().usField[8], st().usField[9]}));
        EXPECT_EQ(std::string(log).rfind("91", 0) == 0 ? 255u : 8u, type); // only power off
    }
    vFresh();
    EXPECT_EQ(1, drv->AcceptCard(6, &ret));
    EXPECT_EQ(R(1224, 1), Rec());
    EXPECT_EQ(1, drv->ChipPower(4, 0, 0, &type, &ret));
    EXPECT_EQ(R(1224, 1), Rec());
    EXPECT_TRUE(line().events.empty());
}

TEST_F(ReaderC, ChipPowerOnAndChipIOForms) {
    const Bytes cmd = B({0xAA, 0xBB}), atr = B({0x3B, 0x11, 0x22, 0x33});
    struct Row {
        char chip;
        const char* log; // power on
        uint32_t type;
        Bytes atr, ioText, ioData; // answer to reset; chip command text and its reply data
    } rows[] = {
        // clang-format off
        {'=', "40@10000 31@10000 90@10000 10@10000", 0, atr,
         Cat({B("93"), B({0, 2}), cmd}), B({0, 3, 'r', 's', 't'})},
        {'>', "40@10000 31@10000 90@10000 10@10000", 1, atr,
         Cat({B("94"), B({0, 2}), cmd}), B({0, 16, 'r', 's', 't'})}, // says 16, holds 3
        {';', "40@10000 31@10000 C0@10000", 4, {}, Cat({B("C"), cmd}), B("rst")},
        {'<', "40@10000 31@10000 D0@10000", 6, {}, Cat({B("D"), cmd}), B("rst")},
        {'0', "40@10000 31@10000", 8, {}, Cat({B(">05"), cmd}), B("rst")},
        {'6', "40@10000 31@10000", 8, {}, Cat({B(">05"), cmd}), B("rst")},
        {'7', "40@10000 31@10000", 255, {}, {}, {}},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.chip);
        vFresh();
        vOn("31", P("31", B(std::string(1, r.chip))));
        vOn("90", P("90", Cat({B({6, 0}), atr}))); // announces 5 bytes, holds 4
        uint8_t buf[IDC_CHIP_REPLY_MAX];
        uint32_t len = 99, type = 77;
        const int on = drv->ChipPower(1, uintptr_t(buf), uintptr_t(&len), &type, &ret);
        EXPECT_EQ(r.log, Log());
        EXPECT_EQ(R(on ? 1273 : 0, on), Rec());
        EXPECT_EQ((std::vector<uint32_t>{r.type, r.type, on ? 2u : 1u}),
                  (std::vector<uint32_t>{type, st().usField[9], st().usField[8]}));
        EXPECT_EQ(r.atr.empty() ? "" : Hex(r.atr), len == 99 ? "" : Hex(Bytes(buf, buf + len)));
        line().vClear();
        const std::string key(r.ioText.begin(), r.ioText.end());
        vOn(key, P(key.substr(0, 2), r.ioData));
        const int io = drv->ChipIO(0, cmd.data(), 2, buf, &len, &ret);
        if (on != 0) { // nothing powered
            EXPECT_EQ(1, io);
            EXPECT_EQ(R(1267, 1), Rec());
            EXPECT_TRUE(line().events.empty());
            continue;
        }
        EXPECT_EQ(0, io);
        EXPECT_EQ(Hex(Frame(r.ioText)), Hex(line().Writes()[0]));
        EXPECT_EQ("@10000 10@10000", Log().substr(Log().find('@')));
        EXPECT_EQ("rst", std::string(buf, buf + len)); // at most what arrived
    }
}

TEST_F(ReaderC, ChipIORefusesCommandsBeyondTheirArea) {
    static const uint8_t big[1016] = {};
    // chip answer, largest accepted length (one more is refused unsent), text prefix
    for (const auto& [chip, fits, prefix] :
         std::vector<std::tuple<char, int, int>>{{'=', 1015, 4}, {';', 255, 1}, {'3', 253, 3}}) {
        SCOPED_TRACE(chip);
        vFresh();
        vOn("31", P("31", B(std::string(1, chip))));
        uint32_t type = 0, len = 0;
        ASSERT_EQ(0, drv->ChipPower(1, 0, 0, &type, &ret));
        line().vClear();
        uint8_t resp[IDC_CHIP_REPLY_MAX];
        EXPECT_EQ(1, drv->ChipIO(0, big, fits + 1, resp, &len, &ret));
        EXPECT_EQ(R(1224, 1), Rec());
        EXPECT_TRUE(line().events.empty());
        EXPECT_EQ(0, drv->ChipIO(0, big, fits, resp, &len, &ret));
        EXPECT_EQ(size_t(5 + prefix + fits), line().Writes()[0].size());
    }
}

TEST_F(ReaderC, ReadTrack) {
    const Bytes t1(80, '1'); // announced as 0x60: capped at 80, track 2 follows it
    struct Row {
        const char* name;
        Answer read;
        char state;
        int result, code;
        std::vector<uint32_t> lens;
    } rows[] = {
        // clang-format off
        {"three tracks", P("76", Cat({B({0, 0x60, 0, 2, 0, 3}), t1, B("22333")})), '2',
         0, 1203, {80, 2, 3}},
        {"no track data, card in", P("76", B({0, 0, 0, 0, 0, 0})), '2', 1, 1249, {0, 0, 0}},
        {"data, but no card", P("76", B({0, 1, 0, 0, 0, 0, 'A'})), '5', 1, 1267, {0, 0, 0}},
        {"read refused", N("76", 0x0C), '2', 1, 1267, {0, 0, 0}},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        vFresh();
        vOn("76", r.read);
        vOn("10", State(r.state));
        tIdcTracks tr;
        std::memset(&tr, 0xEE, sizeof tr);
        EXPECT_EQ(r.result, drv->ReadTrack(&tr, &ret));
        EXPECT_EQ(r.result ? "76@10000 10@10000 79@10000" : "76@10000 10@10000", Log());
        EXPECT_EQ(R(r.code, 0), Rec());
        EXPECT_EQ(r.lens, (std::vector<uint32_t>{tr.uiLen1, tr.uiLen2, tr.uiLen3}));
        Bytes expect(sizeof tr.abTrack1 + sizeof tr.abTrack2 + sizeof tr.abTrack3, 0);
        if (r.result == 0) {
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
    const std::vector<Op> ops = {[&](auto& d, auto* r) { return d.GetLifeInfo(&life, r); },
                                 [](auto& d, auto* r) { return d.ResetCount(1, r); },
                                 [&](auto& d, auto* r) { return d.WriteTrack(&tracks, r); },
                                 [](auto& d, auto* r) { return d.ReleaseAntiFishing(r); }};
    for (const Op& op : ops) {
        ret = tDevReturn{};
        EXPECT_EQ(1, op(*drv, &ret));
        EXPECT_EQ(R(1266, 0), Rec());
    }
    EXPECT_TRUE(line().events.empty());
}
