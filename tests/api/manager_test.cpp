#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>
#include <sstream>

#include "api/fake_driver.h"
#include "api/idc_manager.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

using namespace quillon;

namespace {
const char* kIni = "[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=10\n"
                   "[CardReaderType]\nCardReaderType=9\n";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // keep what follows the level: "... L3 <text>"
        std::smatch m;
        if (std::regex_search(line, m, std::regex(" L(\\d+) (.*)$")))
            out.push_back(m[1].str() + "|" + m[2].str());
    }
    return out;
}

// A manager with an open trace and the fake driver active.
struct ManagerTest : ::testing::Test {
    TestEnv env{kIni};
    ScopedScriptedLine line;
    OIdcManager manager;
    FakeDriver fake;
    void SetUp() override {
        tDevReturn r = Record(0);
        manager.SetCommPara(&r); // type 9: nothing probed, the trace file opens
        manager.vSetActiveDriver(&fake);
    }
    std::vector<std::string> Trace() { return Lines(env.sReadFile("Vantrel/CARDREADER.log")); }
};
} // namespace

TEST_F(ManagerTest, EveryOperationIsTracedWithItsNameAndCode) {
    uint8_t bytes[8] = {};
    uint32_t len = 0;
    tIdcCaps caps;
    tIdcLife life;
    tIdcTracks tracks;
    tIdcStatus st;
    uint32_t counter = 0;
    struct Row {
        const char* name;
        std::function<int(tDevReturn*)> call;
    } rows[] = {
        {"AcceptCard", [&](tDevReturn* r) { return manager.AcceptCard(3, r); }},
        {"ChipIO", [&](tDevReturn* r) { return manager.ChipIO(0, bytes, 4, bytes, &len, r); }},
        {"ChipPower", [&](tDevReturn* r) { return manager.ChipPower(1, 0, 0, &len, r); }},
        {"EjectCard", [&](tDevReturn* r) { return manager.EjectCard(r); }},
        {"GetStatus", [&](tDevReturn* r) { return manager.GetStatus(&st, r); }},
        {"GetCapabilities", [&](tDevReturn* r) { return manager.GetCapabilities(&caps, r); }},
        {"GetLifeInfo", [&](tDevReturn* r) { return manager.GetLifeInfo(&life, r); }},
        {"ReadTrack", [&](tDevReturn* r) { return manager.ReadTrack(&tracks, r); }},
        {"Reset", [&](tDevReturn* r) { return manager.Reset(r); }},
        {"ResetCount", [&](tDevReturn* r) { return manager.ResetCount(0, r); }},
        {"RetainCard", [&](tDevReturn* r) { return manager.RetainCard(&counter, r); }},
        {"ReleaseAntiFishing", [&](tDevReturn* r) { return manager.ReleaseAntiFishing(r); }},
        {"WriteTrack", [&](tDevReturn* r) { return manager.WriteTrack(2, bytes, 5, r); }},
        {"SetCommPara", [&](tDevReturn* r) { return manager.SetCommPara(r); }},
        {"Init", [&](tDevReturn* r) { return manager.Init(1, r); }},
        {"EjectCard", [&](tDevReturn* r) { return manager.EjectCard(r); }},
    };
    bool initDone = false;
    int code = 1240;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake.iCode = ++code;
        fake.iResult = 1;
        fake.calls.clear();
        tDevReturn r = Record(0);
        const size_t before = Trace().size();
        size_t linesDuringCall = 0;
        fake.onCall = [&](const char*) { linesDuringCall = Trace().size(); };
        EXPECT_EQ(1, row.call(&r));
        // The status is traced after the call, the others enter before it.
        EXPECT_EQ(before + (std::string(row.name) == "GetStatus" ? 0 : 1), linesDuringCall);
        // SetCommPara's selection keeps a type-9 configuration's driver: the fake.
        EXPECT_EQ(std::vector<std::string>{row.name}, fake.calls);
        EXPECT_EQ(code, r.iCode2);
        std::vector<std::string> lines = Trace();
        ASSERT_EQ(before + 2, lines.size());
        EXPECT_EQ(std::string("3|->Enter ") + row.name, lines[before]);
        initDone = initDone || std::string(row.name) == "Init";
        EXPECT_EQ(std::string("3|->Leave ") + row.name + "(" + (initDone ? "CARDREADER" : "") +
                      " " + std::to_string(code) + ")",
                  lines[before + 1]);
    }
    // A plain positive status is not traced.
    fake.onCall = nullptr;
    fake.iCode = 1201;
    fake.iResult = 0;
    const size_t before = Trace().size();
    tDevReturn r = Record(0);
    EXPECT_EQ(0, manager.GetStatus(&st, &r));
    EXPECT_EQ(before, Trace().size());
}

TEST_F(ManagerTest, WriteTrackBounds) {
    uint8_t data[200];
    for (int i = 0; i < 200; ++i)
        data[i] = static_cast<uint8_t>('0' + i % 10);
    struct Row {
        int track;
        uint32_t len;
        bool passed;
    } rows[] = {{1, 79, true},  {1, 80, false},  {2, 40, true}, {2, 41, false},
                {3, 107, true}, {3, 108, false}, {1, 0, false}, {2, 0, false},
                {3, 0, false},  {4, 150, true},  {0, 3, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.track) + "/" + std::to_string(row.len));
        fake.calls.clear();
        fake.lastTracks = tIdcTracks{};
        fake.iCode = 1201;
        fake.iResult = 0;
        tDevReturn r = Record(9);
        int result = manager.WriteTrack(row.track, data, row.len, &r);
        if (!row.passed) {
            EXPECT_EQ(1, result);
            EXPECT_TRUE(fake.calls.empty());
            EXPECT_EQ(Codes(1224, 0), Codes(r));
            continue;
        }
        EXPECT_EQ(0, result);
        ASSERT_EQ(1u, fake.calls.size());
        const tIdcTracks& t = fake.lastTracks;
        const uint32_t lens[3] = {t.uiLen1, t.uiLen2, t.uiLen3};
        const uint8_t* areas[3] = {t.abTrack1, t.abTrack2, t.abTrack3};
        const size_t sizes[3] = {80, 41, 108};
        for (int k = 0; k < 3; ++k) {
            const bool mine = row.track == k + 1;
            EXPECT_EQ(mine ? row.len : 0u, lens[k]);
            for (size_t i = 0; i < sizes[k]; ++i)
                EXPECT_EQ(mine && i < row.len ? data[i] : 0, areas[k][i]);
        }
    }
}

TEST_F(ManagerTest, MissingOutputsAreRefusedBeforeTheDriver) {
    uint32_t len = 0;
    const std::vector<std::pair<const char*, std::function<int(tDevReturn*)>>> rows = {
        {"ChipPower", [&](tDevReturn* p) { return manager.ChipPower(1, 0, 0, nullptr, p); }},
        {"GetStatus", [&](tDevReturn* p) { return manager.GetStatus(nullptr, p); }},
        {"ReadTrack", [&](tDevReturn* p) { return manager.ReadTrack(nullptr, p); }},
        {"RetainCard", [&](tDevReturn* p) { return manager.RetainCard(nullptr, p); }},
        {"ChipIO", [&](tDevReturn* p) { return manager.ChipIO(0, nullptr, 4, nullptr, &len, p); }}};
    for (const auto& [name, call] : rows) {
        SCOPED_TRACE(name);
        tDevReturn r = Record(0);
        EXPECT_EQ(1, call(&r));
        EXPECT_EQ(Codes(1224, 1), Codes(r));
        EXPECT_EQ(std::string("3|->Leave ") + name + "( 1224)", Trace().back());
    }
    EXPECT_TRUE(fake.calls.empty());
}

// A driver result of 1 never reaches the caller with a success code in the
// record; a failure code stays, and a track operation's library code as
// result keeps the record as the driver left it.
TEST_F(ManagerTest, AFailureNeverCarriesASuccessCode) {
    struct Row {
        int result, code; // as the driver leaves them
        int wantCode;     // in the caller's record
    } rows[] = {{1, 1201, 1223}, {1, 0, 1223},       {1, 1213, 1223}, {1, 1211, 1211},
                {1, 1225, 1225}, {1249, 1201, 1201}, {1251, 0, 0},    {0, 1202, 1202}};
    tIdcTracks tracks;
    tIdcStatus st;
    for (const Row& row : rows) {
        for (auto call : std::vector<std::function<int(tDevReturn*)>>{
                 [&](tDevReturn* r) { return manager.ReadTrack(&tracks, r); },
                 [&](tDevReturn* r) { return manager.GetStatus(&st, r); }}) {
            SCOPED_TRACE(std::to_string(row.result) + "/" + std::to_string(row.code));
            fake.iResult = row.result;
            fake.iCode = row.code;
            tDevReturn r = Record(5);
            EXPECT_EQ(row.result, call(&r));
            EXPECT_EQ(row.wantCode, r.iCode1);
            EXPECT_EQ(row.wantCode, r.iCode2);
        }
    }
}

// The name set last names the trace file and the trace lines from the next
// operation on; the lock keeps its name. A long name is cut to 31
// characters, and nothing past the 32-byte name is written. (Names set and
// read while other threads operate: the mixed load of the integration tests.)
TEST_F(ManagerTest, TheLastNameSetNamesTheTraceButNotTheLock) {
    manager.SetLogicalDevName("FINAL");
    tDevReturn r = Record(0);
    manager.SetCommPara(&r);
    manager.Init(1, &r);
    const std::vector<std::string> lines = Lines(env.sReadFile("Vantrel/FINAL.log"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("3|->Leave Init(FINAL 1201)", lines.back());
    EXPECT_STREQ("CARDREADER", manager.pLockName());

    manager.SetLogicalDevName(std::string(40, 'n').c_str());
    char big[64];
    std::memset(big, 'z', sizeof big);
    manager.GetLogicalDevName(big);
    EXPECT_EQ(std::string(31, 'n'), std::string(big));
    EXPECT_EQ('z', big[32]);
}
