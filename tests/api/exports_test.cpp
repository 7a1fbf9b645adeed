#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "quillon/idc.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/scripted_reader.h"
#include "support/test_env.h"

using namespace quillon;

// The records as a host lays them out, whatever the build's bitness: byte
// offsets and sizes as documented for the binary interface. A field that is
// a long, a size_t or a pointer, or padding, moves them in one build only.
static_assert(sizeof(tDevReturn) == 272 && offsetof(tDevReturn, iErrFlag2) == 12 &&
              offsetof(tDevReturn, acReplyText) == 16);
static_assert(sizeof(tIdcStatus) == 30 && offsetof(tIdcStatus, usField[14]) == 28);
static_assert(sizeof(tIdcCaps) == 176 && offsetof(tIdcCaps, usField[7]) == 14 &&
              offsetof(tIdcCaps, acModelName) == 16 && offsetof(tIdcCaps, acLibVersion) == 80 &&
              offsetof(tIdcCaps, acDate) == 144);
static_assert(sizeof(tIdcLife) == 44 && offsetof(tIdcLife, uiValue[10]) == 40);
static_assert(sizeof(tIdcTracks) == 241 && offsetof(tIdcTracks, uiLen3) == 8 &&
              offsetof(tIdcTracks, abTrack1) == 12 && offsetof(tIdcTracks, abTrack2) == 92 &&
              offsetof(tIdcTracks, abTrack3) == 133);

namespace {
std::vector<std::function<int(tDevReturn*)>> Operations() {
    static uint8_t bytes[16];
    static uint32_t len;
    static tIdcStatus st;
    static tIdcCaps caps;
    static tIdcLife life;
    static tIdcTracks tracks;
    return {
        [](tDevReturn* r) { return IDC_Init(1, r); },
        [](tDevReturn* r) { return IDC_GetStatus(&st, r); },
        [](tDevReturn* r) { return IDC_AcceptCard(1, r); },
        [](tDevReturn* r) { return IDC_ChipIO(0, bytes, 4, bytes, &len, r); },
        [](tDevReturn* r) { return IDC_ChipPower(1, 0, 0, &len, r); },
        [](tDevReturn* r) { return IDC_EjectCard(r); },
        [](tDevReturn* r) { return IDC_GetCapabilities(&caps, r); },
        [](tDevReturn* r) { return IDC_GetLifeInfo(&life, r); },
        [](tDevReturn* r) { return IDC_ReadTrack(&tracks, r); },
        [](tDevReturn* r) { return IDC_Reset(r); },
        [](tDevReturn* r) { return IDC_ResetCount(0, r); },
        [](tDevReturn* r) { return IDC_RetainCard(&len, r); },
        [](tDevReturn* r) { return IDC_ReleaseAntiFishing(r); },
        [](tDevReturn* r) { return IDC_WriteTrack(1, bytes, 5, r); },
    };
}

void ExpectNoManager() {
    for (auto& op : Operations()) {
        tDevReturn r = Record(3);
        const tDevReturn before = r;
        EXPECT_EQ(1, op(&r));
        EXPECT_EQ(Codes(1267, 1), Codes(r));
        EXPECT_EQ(0, std::memcmp(r.acReplyText, before.acReplyText, sizeof r.acReplyText));
    }
}
} // namespace

TEST(Exports, LifecycleOfTheManager) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=1\n");
    ScopedScriptedLine line;
    EXPECT_EQ(0, IDC_CloseComm()); // before anything
    EXPECT_EQ(0, IDC_CloseComm());
    ExpectNoManager();
    EXPECT_TRUE(line->events.empty()); // no reader access without a manager

    char name[32] = {};
    IDC_GetLogicalDevName(name); // creates the manager
    EXPECT_STREQ("CARDREADER", name);
    IDC_SetLogicalDevName("LOBBY");
    IDC_GetLogicalDevName(name);
    EXPECT_STREQ("LOBBY", name);

    // The selection opens the port with its own record: the caller's is
    // left exactly as passed, as Reset leaves it.
    for (auto call : {&IDC_SetCommPara, &IDC_Reset}) {
        tDevReturn r = Record(3);
        const tDevReturn before = r;
        EXPECT_EQ(0, call(&r));
        EXPECT_EQ(0, std::memcmp(&r, &before, sizeof r));
    }

    EXPECT_EQ(0, IDC_CloseComm());
    EXPECT_EQ(0, IDC_CloseComm());
    ExpectNoManager();
    // A new manager starts from the default name again.
    IDC_GetLogicalDevName(name);
    EXPECT_STREQ("CARDREADER", name);
    EXPECT_EQ(0, IDC_CloseComm());
}

// A reader type that selects no driver, or a USB reader that is not there:
// SetCommPara fails, and a caller that cleared its record does not read a
// success code from it. Without a driver every operation fails with 1223,
// the reply text left as passed.
TEST(Exports, ASetCommParaThatFailsSaysSoInTheRecord) {
    // No HID reader is present: no search finds one.
    FakeHid noDevice;
    noDevice.vid = noDevice.pid = 0xFFFF;
    tIdcStatus st;
    for (int type : {0, 7, -1, 4, 5, 6}) {
        SCOPED_TRACE(type);
        TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=" +
                    std::to_string(type) + "\n");
        ScopedScriptedLine line;
        tDevReturn r = Record(0);
        EXPECT_EQ(1, IDC_SetCommPara(&r));
        EXPECT_EQ(Codes(1223, 1), Codes(r));
        tDevReturn init = Record(0), status = Record(0);
        EXPECT_EQ(1, IDC_Init(1, &init));
        EXPECT_EQ(1, IDC_GetStatus(&st, &status));
        for (const tDevReturn* p : {&init, &status}) {
            EXPECT_EQ(Codes(1223, 1), Codes(*p));
            EXPECT_EQ(std::string(sizeof p->acReplyText, 'k'),
                      std::string(p->acReplyText, sizeof p->acReplyText));
        }
        EXPECT_EQ(0, IDC_CloseComm());
    }
}

// The records are byte-packed: a host may place them at any address, and
// each is filled there byte-exact, nothing around it touched (family B on
// the scripted line).
TEST(Exports, RecordsAtOddAddressesAreFilledInPlace) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=2\n");
    ScopedScriptedLine line;
    Bytes counters(136, 0);
    counters[3] = 7, counters[135] = 9;
    const std::map<std::string, Bytes> answers = {{"C65", Ok("ABC~1234~xyz")},
                                                  {"CfA", Ok(counters)}};
    line->responder = [&](const Bytes& w) -> Bytes {
        if (w.size() < 5 || w[0] != 0xF2)
            return {};
        const auto it = answers.find(std::string(w.begin() + 3, w.end() - 2));
        return it == answers.end() ? Ok() : it->second;
    };
    tDevReturn r = Record(0);
    ASSERT_EQ(0, IDC_SetCommPara(&r));
    using Call = std::function<int(uint8_t*, tDevReturn*)>;
    using At = std::vector<std::pair<size_t, Bytes>>; // bytes at offsets
    // clang-format off
    const std::vector<std::tuple<const char*, size_t, Call, At>> rows = {
        {"ReadTrack", sizeof(tIdcTracks), [](uint8_t* p, tDevReturn* pr) { return IDC_ReadTrack((tIdcTracks*)p, pr); },
         {{0, B({3, 0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0})}, {12, B("ABC")}, {92, B("1234")}, {133, B("xyz")}}},
        {"GetLifeInfo", sizeof(tIdcLife), [](uint8_t* p, tDevReturn* pr) { return IDC_GetLifeInfo((tIdcLife*)p, pr); },
         {{0, B({7, 0, 0, 0})}, {36, B({9, 0, 0, 0})}}},
        {"GetStatus", sizeof(tIdcStatus), [](uint8_t* p, tDevReturn* pr) { return IDC_GetStatus((tIdcStatus*)p, pr); },
         {{2, B({1, 0})}}},
        {"GetCapabilities", sizeof(tIdcCaps), [](uint8_t* p, tDevReturn* pr) { return IDC_GetCapabilities((tIdcCaps*)p, pr); },
         {{80, B("V1.0.1 b6")}}},
    };
    // clang-format on
    for (const auto& [what, size, call, want] : rows) {
        SCOPED_TRACE(what);
        Bytes raw(size + 2, 0xEE);
        r = Record(0);
        EXPECT_EQ(0, call(raw.data() + 1, &r));
        for (const auto& [at, bytes] : want)
            EXPECT_EQ(bytes, Bytes(raw.begin() + 1 + at, raw.begin() + 1 + at + bytes.size()));
        EXPECT_EQ(0xEE, raw.front());
        EXPECT_EQ(0xEE, raw.back());
    }
    EXPECT_EQ(0, IDC_CloseComm());
}

// What the library tells of the reader it serves, per reader type: the row
// of its variant and its family's facts, the library's version. The record
// lies at an odd address, and the caller's is 8 bytes longer than the
// library's (a newer header): those stay as they were.
TEST(Exports, ReaderInfoTellsEachVariantAndItsFamily) {
    FakeHid noDevice; // no HID reader is present
    noDevice.vid = noDevice.pid = 0xFFFF;
    constexpr uint32_t kW = QUILLON_FEATURE_WRITES_TRACKS, kR = QUILLON_FEATURE_RETAIN_COUNTER,
                       kL = QUILLON_FEATURE_LIFE_COUNTERS,
                       kF = QUILLON_FEATURE_RELEASES_ANTIFISHING;
    constexpr int kSerial = QUILLON_TRANSPORT_SERIAL, kUsb = QUILLON_TRANSPORT_USB_HID;
    const std::vector<std::vector<int64_t>> rows = {
        // type, family, transport, vendor, product, features, retained-card life value
        {1, QUILLON_FAMILY_A, kSerial, 0, 0, kW | kR | kL, 8},
        {2, QUILLON_FAMILY_B, kSerial, 0, 0, kW | kR | kL | kF, 7},
        {3, QUILLON_FAMILY_C, kSerial, 0, 0, 0, -1},
        {4, QUILLON_FAMILY_A, kUsb, 0x04A4, 0x008B, kW | kR | kL, 8},
        {5, QUILLON_FAMILY_A, kUsb, 0x0590, 0x0035, kW | kR | kL, 8},
        {6, QUILLON_FAMILY_B, kUsb, 0x1234, 0x5678, kW | kR | kL | kF, 7}, // as configured
        {9, QUILLON_FAMILY_UNKNOWN, 0, 0, 0, 0, -1},                       // no driver
    };
    constexpr uint32_t kChips = QUILLON_CHIP_T0 | QUILLON_CHIP_T1 | QUILLON_CHIP_MEMORY;
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=" +
                    std::to_string(row[0]) + "\n[USB]\nVID=4660\nPID=22136\n");
        ScopedScriptedLine line;
        tDevReturn r = Record(0);
        IDC_SetCommPara(&r);
        Bytes raw(1 + sizeof(tQuillonReaderInfo) + 8, 0xEE);
        const uint32_t uiSize = sizeof(tQuillonReaderInfo) + 8;
        std::memcpy(raw.data() + 1, &uiSize, sizeof uiSize);
        r = Record(5);
        EXPECT_EQ(0, Quillon_GetReaderInfo((tQuillonReaderInfo*)(raw.data() + 1), &r));
        EXPECT_EQ(Codes(0, 0), Codes(r));
        tQuillonReaderInfo got;
        std::memcpy(&got, raw.data() + 1, sizeof got);
        EXPECT_EQ(row, (std::vector<int64_t>{got.iReaderType, got.iFamily, got.iTransport,
                                             got.usUsbVendorId, got.usUsbProductId, got.uiFeatures,
                                             got.iRetainedLifeValue}));
        EXPECT_EQ(sizeof got, got.uiSize);
        EXPECT_EQ(row[1] ? kChips : 0u, got.uiChipProtocols);
        EXPECT_STREQ("V1.0.1 b6", got.acLibVersion);
        EXPECT_EQ(0xEE, raw[0]);
        EXPECT_EQ(Bytes(8, 0xEE), Bytes(raw.end() - 8, raw.end()));
        EXPECT_EQ(0, IDC_CloseComm());
    }
}

// A record smaller than the call's first one, or none, is refused with 1224
// and left alone; without IDC_SetCommPara there is no reader to tell of.
TEST(Exports, ReaderInfoRefusesTooSmallARecord) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=2\n");
    ScopedScriptedLine line;
    // uiSize, a record given, IDC_SetCommPara first: the code.
    const std::vector<std::tuple<uint32_t, bool, bool, int>> rows = {{128, true, false, 1267},
                                                                     {0, true, true, 1224},
                                                                     {127, true, true, 1224},
                                                                     {128, false, true, 1224}};
    for (const auto& [uiSize, bRecord, bOpened, code] : rows) {
        tDevReturn r = Record(0);
        EXPECT_TRUE(!bOpened || IDC_SetCommPara(&r) == 0);
        tQuillonReaderInfo info;
        std::memset(&info, 0xEE, sizeof info);
        info.uiSize = uiSize;
        const tQuillonReaderInfo before = info;
        EXPECT_EQ(1, Quillon_GetReaderInfo(bRecord ? &info : nullptr, &r));
        EXPECT_EQ(Codes(code, 1), Codes(r));
        EXPECT_EQ(0, std::memcmp(&before, &info, sizeof info));
    }
    EXPECT_EQ(1, Quillon_GetReaderInfo(nullptr, nullptr));
    EXPECT_EQ(0, IDC_CloseComm());
}

#if !defined(_WIN32)
// A configuration path named by the host comes before QUILLON_CONFIG, which
// stays as it was; naming none returns to it.
TEST(Exports, ANamedConfigurationPathComesBeforeTheEnvironment) {
    TestEnv env("[CARDREADER]\n"); // no port: an opening fails
    const std::string named = env.dir() + "/named.ini";
    std::ofstream(named)
        << "[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=1\n";
    ScopedScriptedLine line;
    for (const char* pPath : {named.c_str(), static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(0, Quillon_SetConfigPath(pPath));
        tDevReturn r = Record(0);
        EXPECT_EQ(pPath ? 0 : 1, IDC_SetCommPara(&r));
        EXPECT_EQ(env.configPath(), std::getenv("QUILLON_CONFIG"));
        EXPECT_EQ(0, IDC_CloseComm());
    }
}
#endif

// Two threads keep polling the status while CloseComm waits: it comes before
// their next calls, right after the calls under way. Every write to the line
// stops until the test lets one through, so one poller is always inside a
// call while the other comes back for its next.
TEST(Exports, CloseCommIsNotStarvedByPollingThreads) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=1\n");
    ScopedScriptedLine line;
    tDevReturn r = Record(0);
    ASSERT_EQ(0, IDC_SetCommPara(&r));

    std::mutex m;
    std::condition_variable cv;
    int blocked = 0, passes = 0;
    bool open = false, closed = false;
    line->responder = [&](const Bytes&) -> Bytes {
        std::unique_lock<std::mutex> lock(m);
        ++blocked;
        cv.notify_all();
        cv.wait(lock, [&] { return open || passes > 0; });
        if (!open)
            --passes;
        --blocked;
        return {};
    };
    std::atomic<bool> stop{false};
    auto poll = [&] {
        while (!stop) {
            tIdcStatus st;
            tDevReturn w = Record(0);
            IDC_GetStatus(&st, &w);
        }
    };
    std::thread p1(poll), p2(poll);
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return blocked > 0; });
    }
    std::thread closer([&] {
        IDC_CloseComm();
        std::lock_guard<std::mutex> lock(m);
        closed = true;
        cv.notify_all();
    });
    // One write at a time, each time until the next write waits or CloseComm
    // is through.
    int given = 0;
    {
        std::unique_lock<std::mutex> lock(m);
        while (!closed && given < 5000) {
            ++passes;
            ++given;
            cv.notify_all();
            cv.wait(lock, [&] { return closed || (passes == 0 && blocked > 0); });
        }
        EXPECT_TRUE(closed) << "CloseComm still waits after " << given << " writes";
        open = true;
        cv.notify_all();
    }
    stop = true;
    p1.join();
    p2.join();
    closer.join();
    EXPECT_LT(given, 5000);
    line->responder = nullptr;
    EXPECT_EQ(0, IDC_CloseComm());
}
