// The IFD handler over a scripted library: what reaches the IDC_ functions,
// and what pcscd gets back, for the cases a real reader makes hard to stage.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "fake_idc.h"
#include "quillon/idc.h"
#include "quillon/pcsc_control.h"
#include "reader_config.h"

// pcscd's log, as the handler finds it in its host.
std::vector<std::string> g_log;
extern "C" __attribute__((visibility("default"))) void log_msg(int, const char* pFormat, ...) {
    char line[1024];
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(line, sizeof line, pFormat, args);
    va_end(args);
    g_log.push_back(line);
}

namespace {

using Strings = std::vector<std::string>;
constexpr DWORD kLun = 0x10000;
const std::vector<uint8_t> kAtrT0{0x3B, 0x69, 0x00, 0x00, 0x51, 0x55, 0x49};
char kDevice[] = "/dev/null"; // a character device the fake answers for

uint64_t g_nowMs = 0; // the recovery's clock
uint64_t TestNowMs() {
    return g_nowMs;
}

// The log lines holding text.
size_t Logged(const std::string& text) {
    size_t n = 0;
    for (const std::string& line : g_log)
        n += line.find(text) != std::string::npos;
    return n;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = tFakeIdc{};
        g_log.clear();
        quillon::pcsc::g_pfnNowMs = &TestNowMs;
        char tmpl[] = "/tmp/quillon-ifd-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("QUILLON_PCSC_RUN_DIR", (dir_ + "/run").c_str(), 1);
        ::setenv("QUILLON_PCSC_TRACE_DIR", "/var/log/quillon-test", 1);
        ::unsetenv("QUILLON_CONFIG");
    }
    void TearDown() override {
        (void)IFDHCloseChannel(kLun);
        (void)std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    void Open(char* pName = kDevice) {
        ASSERT_EQ(IFDHCreateChannelByName(kLun, pName), IFD_SUCCESS);
        g_fake.calls.clear();
    }
    // A configuration file of the test's own (mode 0600) in its folder.
    std::string Ini(const std::string& text, const std::string& name = "reader.ini") {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "[CARDREADER]\nPort=/dev/null\n" << text;
        EXPECT_EQ(::chmod(path.c_str(), 0600), 0);
        return path;
    }
    void OpenWithMotor() {
        // The trace folder is made by the library below the test's own.
        std::string ini = Ini("[pcsc]\nmotorcontrol = 1 ; the card moves\n[DllExtFunc]\n"
                              "RemainDays=3\nTraceDir=" +
                              dir_ + "/trace/new\n");
        Open(ini.data());
    }
    void PowerUp(uint32_t uiType, const std::vector<uint8_t>& atr = kAtrT0) {
        g_fake.uiChipType = uiType;
        g_fake.answer = atr;
        UCHAR buf[MAX_ATR_SIZE];
        DWORD len = sizeof buf;
        ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, buf, &len), IFD_SUCCESS);
        g_fake.calls.clear();
    }
    std::string dir_;
};

// Names that name no reader, and configurations another user could change
// (pcscd runs as root): the library is not even asked, and the log says why.
TEST_F(BridgeTest, DeviceNameThatIsNoReaderOrNotSafeFailsTheChannelCleanly) {
    ASSERT_EQ(::mkdir((dir_ + "/folder.ini").c_str(), 0700), 0);
    std::ofstream(dir_ + "/plain.txt") << "x";
    const std::string good = Ini("");
    ASSERT_EQ(::symlink(good.c_str(), (dir_ + "/link.ini").c_str()), 0);
    ASSERT_EQ(::chmod(Ini("", "shared.ini").c_str(), 0620), 0);
    for (const char* pFolder : {"/open", "/open-trace"})
        ASSERT_EQ(::mkdir((dir_ + pFolder).c_str(), 0777) | ::chmod((dir_ + pFolder).c_str(), 0777),
                  0);
    ASSERT_EQ(::symlink(dir_.c_str(), (dir_ + "/trace-link").c_str()), 0);
    const auto trace = [&](const char* pDir) {
        return "[DllExtFunc]\nRemainDays=3\nTraceDir=" + dir_ + pDir + "\n";
    };
    struct Row {
        std::string name, why;
    };
    std::vector<Row> rows = {
        {"/dev/quillon-missing", "No such file"},
        {dir_ + "/missing.ini", "No such file"},
        {dir_ + "/folder.ini", "no configuration file"},
        {dir_ + "/plain.txt", "neither a serial device"},
        {dir_, "neither a serial device"},
        {dir_ + "/link.ini", "the name is a link"},
        {dir_ + "/shared.ini", "the file may be written by other users"},
        {Ini("", "open/reader.ini"), "folder " + dir_ + "/open may be written by other users"},
        {Ini(trace("/trace-link/new"), "t1.ini"), dir_ + "/trace-link/new is or passes a link"},
        {Ini(trace("/open-trace/new"), "t2.ini"), dir_ + "/open-trace may be written by other"},
    };
    if (::geteuid() == 0) { // a file of another user's (only root can give one away)
        rows.push_back({Ini("", "other.ini"), "belongs to user 65534"});
        ASSERT_EQ(::chown(rows.back().name.c_str(), 65534, 65534), 0);
    }
    for (auto& row : rows) {
        g_fake.calls.clear();
        g_log.clear();
        EXPECT_NE(IFDHCreateChannelByName(kLun, row.name.data()), IFD_SUCCESS) << row.name;
        EXPECT_EQ(g_fake.calls, Strings{}) << row.name;
        EXPECT_EQ(Logged(row.why), 1u) << row.name;
    }
    // A device where nobody answers: the library is closed again.
    g_fake.calls.clear();
    g_fake.iInitResult = 1;
    EXPECT_EQ(IFDHCreateChannelByName(kLun, kDevice), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(g_fake.calls, (Strings{"SetCommPara", "Init 3", "CloseComm"}));
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_COMMUNICATION_ERROR) << "no channel open";
}

TEST_F(BridgeTest, SerialDeviceGetsItsConfigurationAndOneChannelOnly) {
    ASSERT_EQ(IFDHCreateChannelByName(kLun, kDevice), IFD_SUCCESS);
    EXPECT_EQ(g_fake.calls, (Strings{"SetCommPara", "Init 3"}));
    EXPECT_EQ(g_fake.configSeen, dir_ + "/run/_dev_null.ini");
    EXPECT_EQ(std::getenv("QUILLON_CONFIG"), nullptr) << "pcscd's environment changed";
    std::ifstream in(g_fake.configSeen);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("[CARDREADER]\nPort=/dev/null\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("TraceDir=/var/log/quillon-test\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    g_fake.calls.clear();
    EXPECT_NE(IFDHCreateChannelByName(kLun + 0x10000, kDevice), IFD_SUCCESS);
    EXPECT_TRUE(g_fake.calls.empty()) << "the open reader is left alone";
    UCHAR v = 0;
    DWORD len = 1;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SIMULTANEOUS_ACCESS, &len, &v), IFD_SUCCESS);
    EXPECT_EQ(v, 1);
}

TEST_F(BridgeTest, PresenceIsOneStatusExchangeAndOnlyACardInsideCounts) {
    Open();
    struct Row {
        uint16_t usPosition;
        int iResult;
        RESPONSECODE want;
    } rows[] = {
        {1, 0, IFD_ICC_NOT_PRESENT}, {2, 0, IFD_ICC_NOT_PRESENT},     {3, 0, IFD_ICC_PRESENT},
        {4, 0, IFD_ICC_PRESENT},     {3, 1, IFD_COMMUNICATION_ERROR},
    };
    for (const auto& row : rows) {
        g_fake.calls.clear();
        g_fake.usPosition = row.usPosition;
        g_fake.iStatusResult = row.iResult;
        EXPECT_EQ(IFDHICCPresence(kLun), row.want) << row.usPosition << "/" << row.iResult;
        EXPECT_EQ(g_fake.calls, Strings{"GetStatus"}) << "no chip power-up to poll";
    }
}

// A port that has gone (1223): the library's channel closes, the card reads
// as absent and the chip as off; later polls try to open the reader again,
// once a second at most, and the log tells the loss and the return once.
TEST_F(BridgeTest, ReaderThatGoesIsLookedForOnceASecondUntilItIsBack) {
    Open();
    PowerUp(0);
    g_fake.usPosition = 3;
    struct Row {
        uint64_t uiNowMs;
        int iOpenResult, iStatusResult, iStatusCode;
        RESPONSECODE want;
        Strings calls;
    } rows[] = {
        {5000, 0, 1, 1223, IFD_ICC_NOT_PRESENT, {"GetStatus", "CloseComm"}},
        {5999, 0, 0, 1203, IFD_ICC_NOT_PRESENT, {}},
        {6000, 1, 0, 1203, IFD_ICC_NOT_PRESENT, {"SetCommPara", "CloseComm"}},
        {6900, 0, 0, 1203, IFD_ICC_NOT_PRESENT, {}},
        {7000, 0, 0, 1203, IFD_ICC_PRESENT, {"SetCommPara", "Init 3", "GetStatus"}},
        {7001, 0, 1, 1225, IFD_COMMUNICATION_ERROR, {"GetStatus"}}, // a silent reader stays
    };
    for (const Row& row : rows) {
        g_nowMs = row.uiNowMs;
        g_fake.calls.clear();
        g_fake.iOpenResult = row.iOpenResult;
        g_fake.iStatusResult = row.iStatusResult;
        g_fake.iStatusCode = row.iStatusCode;
        EXPECT_EQ(IFDHICCPresence(kLun), row.want) << row.uiNowMs;
        EXPECT_EQ(g_fake.calls, row.calls) << row.uiNowMs;
    }
    UCHAR apdu[5] = {}, rx[258];
    DWORD rxLen = sizeof rx;
    EXPECT_EQ(IFDHTransmitToICC(kLun, {0, 0}, apdu, 5, rx, &rxLen, nullptr),
              IFD_COMMUNICATION_ERROR)
        << "the chip went with the reader";
    EXPECT_EQ(Logged(" gone (1223)"), 1u);
    EXPECT_EQ(Logged(" open again"), 1u);
}

// A chip PC/SC cannot carry is switched off again; a chip it can carry hands
// out its answer and is offered its own protocol only.
TEST_F(BridgeTest, PowerUpHandsOutTheAnswerOrSwitchesAChipPCSCCannotCarryOffAgain) {
    Open();
    struct Row {
        const char* what;
        uint32_t uiType;
        std::vector<uint8_t> answer;
        DWORD offered; // 0: the power-up fails
    } rows[] = {
        {"memory chip", 4, {0xA2, 0x13, 0x10, 0x91}, 0},
        {"longer than an ATR can be", 0, std::vector<uint8_t>(34, 0x3B), 0},
        {"no answer at all", 1, {}, 0},
        {"T=0", 0, kAtrT0, SCARD_PROTOCOL_T0},
        {"T=1", 1, kAtrT0, SCARD_PROTOCOL_T1},
    };
    for (const auto& row : rows) {
        g_fake.calls.clear();
        g_fake.uiChipType = row.uiType;
        g_fake.answer = row.answer;
        UCHAR atr[MAX_ATR_SIZE] = {};
        DWORD len = sizeof atr;
        EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &len),
                  row.offered ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION)
            << row.what;
        EXPECT_EQ(std::vector<uint8_t>(atr, atr + len),
                  row.offered ? row.answer : std::vector<uint8_t>{})
            << row.what;
        EXPECT_EQ(g_fake.calls,
                  (row.offered ? Strings{"ChipPower 1"} : Strings{"ChipPower 1", "ChipPower 3"}))
            << row.what;
        for (DWORD protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1})
            EXPECT_EQ(IFDHSetProtocolParameters(kLun, protocol, 0, 0, 0, 0),
                      !row.offered              ? IFD_COMMUNICATION_ERROR
                      : protocol == row.offered ? IFD_SUCCESS
                                                : IFD_PROTOCOL_NOT_SUPPORTED)
                << row.what << " " << protocol;
    }
    g_fake.calls.clear();
    UCHAR atr[MAX_ATR_SIZE];
    DWORD len = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_RESET, atr, &len), IFD_SUCCESS);
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, atr, &len), IFD_SUCCESS);
    EXPECT_EQ(g_fake.calls, (Strings{"ChipPower 2", "ChipPower 3"})) << "reset is a warm reset";
    g_fake.calls.clear();
    g_fake.iPowerResult = 1; // the library's power-up fails (1267): nothing to switch off
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &len), IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(g_fake.calls, Strings{"ChipPower 1"});
}

TEST_F(BridgeTest, TransmitFailsCleanlyForSilentChipsLongApdusAndSmallBuffers) {
    Open();
    PowerUp(0);
    SCARD_IO_HEADER t0{0, 0};
    std::vector<UCHAR> apdu(261, 0x00);
    std::vector<UCHAR> rx(300, 0xEE);
    struct Row {
        const char* what;
        size_t apduLen;
        DWORD room;
        int iChipResult;
        size_t replyLen;
        RESPONSECODE want;
        Strings calls;
    } rows[] = {
        {"chip silent", 5, 258, 1, 0, IFD_COMMUNICATION_ERROR, {"ChipIO 5"}},
        {"APDU too long", 262, 258, 0, 2, IFD_COMMUNICATION_ERROR, {}},
        // clang-format off
        {"reply larger than pcscd's buffer", 5, 10, 0, 11, IFD_ERROR_INSUFFICIENT_BUFFER, {"ChipIO 5"}},
        {"reply longer than any chip reply", 5, 258, 0, IDC_CHIP_REPLY_MAX + 1,
         IFD_COMMUNICATION_ERROR, {"ChipIO 5"}},
        // clang-format on
        {"longest short APDU", 261, 258, 0, 2, IFD_SUCCESS, {"ChipIO 261"}},
    };
    for (const auto& row : rows) {
        g_fake.calls.clear();
        g_fake.iChipResult = row.iChipResult;
        g_fake.reply.assign(row.replyLen, 0x90);
        apdu.resize(row.apduLen);
        std::fill(rx.begin(), rx.end(), 0xEE);
        DWORD rxLen = row.room;
        EXPECT_EQ(IFDHTransmitToICC(kLun, t0, apdu.data(), apdu.size(), rx.data(), &rxLen, nullptr),
                  row.want)
            << row.what;
        EXPECT_EQ(g_fake.calls, row.calls) << row.what;
        EXPECT_EQ(rxLen, row.want == IFD_SUCCESS ? row.replyLen : 0u) << row.what;
        EXPECT_EQ(rx[row.room], 0xEE) << row.what << ": nothing beyond pcscd's buffer";
    }
    SCARD_IO_HEADER t1{1, 0};
    DWORD rxLen = 258;
    EXPECT_EQ(IFDHTransmitToICC(kLun, t1, apdu.data(), 5, rx.data(), &rxLen, nullptr),
              IFD_PROTOCOL_NOT_SUPPORTED);
}

TEST_F(BridgeTest, ControlCodesDriveTheMotorWithResultCodeAndRecord) {
    OpenWithMotor();
    PowerUp(0);
    struct Row {
        DWORD code;
        std::vector<UCHAR> in;
        Strings calls;
        std::vector<UCHAR> payloadStart;
        size_t payloadLen;
    } rows[] = {
        {QUILLON_CTL_EJECT, {}, {"ChipPower 3", "EjectCard"}, {}, 0},
        {QUILLON_CTL_ACCEPT, {5, 0, 0, 0}, {"AcceptCard 5"}, {}, 0},
        {QUILLON_CTL_ACCEPT, {}, {"AcceptCard 1"}, {}, 0},
        {QUILLON_CTL_RETAIN, {}, {"RetainCard"}, {4, 3, 2, 1}, 4},
        {QUILLON_CTL_READ_TRACKS, {}, {"ReadTrack"}, {0, 0, 0, 0, 3, 0, 0, 0}, sizeof(tIdcTracks)},
        {QUILLON_CTL_STATUS, {}, {"GetStatus"}, {0, 0, 1, 0}, sizeof(tIdcStatus)},
        {QUILLON_CTL_RESET, {2, 0, 0, 0}, {"Init 2"}, {}, 0},
    };
    g_fake.iMotorResult = g_fake.iStatusResult = g_fake.iInitResult = 1; // each refused: 1236
    g_fake.iMotorCode = g_fake.iStatusCode = g_fake.iInitCode = 1236;
    for (const auto& row : rows) {
        g_fake.calls.clear();
        std::vector<UCHAR> out(512, 0xEE);
        DWORD got = 0;
        std::vector<UCHAR> in = row.in;
        ASSERT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(row.code), in.data(), in.size(), out.data(),
                              out.size(), &got),
                  IFD_SUCCESS)
            << row.code;
        EXPECT_EQ(g_fake.calls, row.calls) << row.code;
        ASSERT_EQ(got, QUILLON_CTL_HEADER + row.payloadLen) << row.code;
        EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 8),
                  (std::vector<UCHAR>{1, 0, 0, 0, 0xD4, 0x04, 0, 0}))
            << row.code << ": result 1, code 1236";
        EXPECT_TRUE(std::equal(row.payloadStart.begin(), row.payloadStart.end(), out.begin() + 8))
            << row.code;
    }
}

TEST_F(BridgeTest, ControlRefusedBeforeTheReaderMoves) {
    OpenWithMotor();
    std::vector<UCHAR> out(512);
    DWORD got = 0;
    UCHAR mode[3] = {1, 0, 0};
    struct Row {
        DWORD code;
        UCHAR* in;
        DWORD inLen;
        DWORD room;
        RESPONSECODE want;
    } rows[] = {
        {QUILLON_CTL_EJECT, nullptr, 0, QUILLON_CTL_HEADER - 1, IFD_ERROR_INSUFFICIENT_BUFFER},
        {QUILLON_CTL_READ_TRACKS, nullptr, 0, QUILLON_CTL_HEADER + 240,
         IFD_ERROR_INSUFFICIENT_BUFFER},
        {QUILLON_CTL_ACCEPT, mode, 3, 512, IFD_COMMUNICATION_ERROR},
        {QUILLON_CTL_EJECT, mode, 3, 512, IFD_COMMUNICATION_ERROR},
        {QUILLON_CTL_BASE, nullptr, 0, 512, IFD_ERROR_NOT_SUPPORTED},
        {QUILLON_CTL_RESET + 1, nullptr, 0, 512, IFD_ERROR_NOT_SUPPORTED},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(row.code), row.in, row.inLen, out.data(),
                              row.room, &got),
                  row.want)
            << row.code;
        EXPECT_EQ(got, 0u);
    }
    EXPECT_TRUE(g_fake.calls.empty());
}

// The codes that move the card run only where the reader's configuration
// turns them on ([PCSC] MotorControl=1); status and tracks always answer.
TEST_F(BridgeTest, MotorCodesAreOffUnlessTheConfigurationTurnsThemOn) {
    std::vector<UCHAR> out(512);
    DWORD got = 0;
    for (std::string name : {std::string(kDevice), Ini("[PCSC]\nMotorControl=0\n"),
                             Ini("[Other]\nMotorControl=1\n", "other.ini")}) {
        Open(name.data());
        for (DWORD code : {QUILLON_CTL_ACCEPT, QUILLON_CTL_EJECT, QUILLON_CTL_RETAIN,
                           QUILLON_CTL_RESET, QUILLON_CTL_STATUS, QUILLON_CTL_READ_TRACKS}) {
            const bool bAnswers = code == QUILLON_CTL_STATUS || code == QUILLON_CTL_READ_TRACKS;
            EXPECT_EQ(
                IFDHControl(kLun, SCARD_CTL_CODE(code), nullptr, 0, out.data(), out.size(), &got),
                bAnswers ? IFD_SUCCESS : IFD_ERROR_NOT_SUPPORTED)
                << name << " " << code;
        }
        EXPECT_EQ(g_fake.calls, (Strings{"GetStatus", "ReadTrack"})) << name;
        EXPECT_EQ(Logged("refused: [PCSC] MotorControl=1 is not configured"), 4u);
        g_log.clear();
        ASSERT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    }
}

} // namespace
