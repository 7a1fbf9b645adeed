// The termios line against a pseudo-terminal: the test holds the master
// side and a spare descriptor of the slave to read the settings back.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/dev_base.h"
#include "platform/serial_line.h"

// The line's own settings mapping (a pseudo-terminal keeps neither the
// character size nor parity, so those are checked on the mapping).
bool bPosixLineTermios(const tCommCfg2& cfg, termios& tio);

namespace {

using Clock = std::chrono::steady_clock;

long lMsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Pty {
    Pty() {
        iMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (iMaster < 0 || grantpt(iMaster) != 0 || unlockpt(iMaster) != 0) {
            return;
        }
        sPath = ptsname(iMaster);
        iSlave = open(sPath.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        close(iSlave);
        close(iMaster);
    }
    bool bReady() const { return iSlave >= 0; }
    termios tSettings() const {
        termios tio{};
        tcgetattr(iSlave, &tio);
        return tio;
    }
    // Collects what the line sent, up to n bytes or until 2 s pass.
    std::vector<uint8_t> vecTake(size_t n) const {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        const auto start = Clock::now();
        while (got < n && lMsSince(start) < 2000) {
            pollfd pfd{iMaster, POLLIN, 0};
            if (poll(&pfd, 1, 100) > 0) {
                const ssize_t r = read(iMaster, out.data() + got, n - got);
                if (r <= 0) {
                    break;
                }
                got += static_cast<size_t>(r);
            }
        }
        out.resize(got);
        return out;
    }
    void vSend(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(write(iMaster, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    int iMaster = -1;
    int iSlave = -1;
    std::string sPath;
};

tCommCfg2 Cfg(const std::string& port, uint32_t baud = 9600, uint8_t data = 8, uint8_t parity = 0,
              uint8_t stop = 0) {
    tCommCfg2 cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.iKind = 1;
    cfg.uiBaudRate = baud;
    cfg.byDataBits = data;
    cfg.byParity = parity;
    cfg.byStopBits = stop;
    std::snprintf(cfg.acPort, sizeof(cfg.acPort), "%s", port.c_str());
    return cfg;
}

class SerialPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.bReady());
        ASSERT_EQ(line->iOpen(Cfg(pty.sPath)), 0);
    }
    Pty pty;
    std::unique_ptr<OSerialLine> line = MakeSystemSerialLine();
};

TEST(SerialPosix, SettingsReachTheLine) {
    struct Case {
        uint32_t baud;
        uint8_t data, parity, stop;
        int rts, cts, xonOut, xonIn;
        speed_t speed;
        tcflag_t cflags, iflags;
    } const cases[] = {
        {9600, 8, 0, 0, 0, 0, 0, 0, B9600, CS8, 0},
        {9600, 8, 2, 0, 0, 0, 0, 0, B9600, CS8 | PARENB, 0},
        {19200, 7, 1, 2, 0, 0, 0, 0, B19200, CS7 | PARENB | PARODD | CSTOPB, 0},
        {115200, 8, 0, 0, 2, 0, 0, 0, B115200, CS8 | CRTSCTS, 0},
        {230400, 6, 2, 0, 0, 1, 0, 0, B230400, CS6 | PARENB | CRTSCTS, 0},
        {1200, 5, 0, 1, 0, 0, 0, 0, B1200, CS5 | CSTOPB, 0}, // one and a half -> two
        {38400, 8, 0, 0, 1, 0, 1, 1, B38400, CS8, IXON | IXOFF},
    };
    const tcflag_t cmask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    const auto check = [&](const termios& tio, const Case& c, tcflag_t kept) {
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & cmask & kept, (c.cflags | CLOCAL | CREAD) & kept);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), c.iflags);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.data) << "/" << int(c.parity)
                                        << "/" << int(c.stop) << " rts " << c.rts);
        Pty pty;
        ASSERT_TRUE(pty.bReady());
        // Start from a cooked terminal so every raw setting has to be made.
        termios cooked = pty.tSettings();
        cooked.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        cooked.c_cflag |= PARENB | PARODD | CSTOPB | CRTSCTS;
        cooked.c_cc[VMIN] = 1;
        cooked.c_cc[VTIME] = 5;
        ASSERT_EQ(tcsetattr(pty.iSlave, TCSANOW, &cooked), 0);

        tCommCfg2 cfg = Cfg(pty.sPath, c.baud, c.data, c.parity, c.stop);
        cfg.iRtsControl = c.rts;
        cfg.iCtsOutFlow = c.cts;
        cfg.iXonXoffOut = c.xonOut;
        cfg.iXonXoffIn = c.xonIn;
        cfg.iDtrControl = 1; // a pseudo-terminal has no DTR; the open goes ahead
        termios mapped = cooked;
        ASSERT_TRUE(bPosixLineTermios(cfg, mapped));
        check(mapped, c, ~tcflag_t(0));

        auto line = MakeSystemSerialLine();
        ASSERT_EQ(line->iOpen(cfg), 0);
        check(pty.tSettings(), c, ~tcflag_t(CSIZE | PARENB));
    }
}

TEST(SerialPosix, BadSettingsAreRefusedAndLeaveNothingOpen) {
    Pty pty;
    ASSERT_TRUE(pty.bReady());
    struct Case {
        const char* what;
        void (*spoil)(tCommCfg2&);
    } const cases[] = {
        {"baud 9601", [](tCommCfg2& c) { c.uiBaudRate = 9601; }},
        {"baud 0", [](tCommCfg2& c) { c.uiBaudRate = 0; }},
        {"9 data bits", [](tCommCfg2& c) { c.byDataBits = 9; }},
        {"4 data bits", [](tCommCfg2& c) { c.byDataBits = 4; }},
        {"parity 3", [](tCommCfg2& c) { c.byParity = 3; }},
        {"stop bits 3", [](tCommCfg2& c) { c.byStopBits = 3; }},
        {"no port", [](tCommCfg2& c) { c.acPort[0] = '\0'; }},
        {"missing port", [](tCommCfg2& c) { std::strcpy(c.acPort, "/dev/quillon-none"); }},
        {"not a terminal", [](tCommCfg2& c) { std::strcpy(c.acPort, "/dev/null"); }},
    };
    const uint8_t byte = 0x55;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tCommCfg2 cfg = Cfg(pty.sPath);
        c.spoil(cfg);
        auto line = MakeSystemSerialLine();
        EXPECT_NE(line->iOpen(cfg), 0);
        EXPECT_NE(line->iWrite(&byte, 1), 0);
        auto other = MakeSystemSerialLine();
        EXPECT_EQ(other->iOpen(Cfg(pty.sPath)), 0) << "port still held";
    }
}

TEST(SerialPosix, PortNameFillingTheWholeFieldNeedsNoTerminator) {
    Pty pty;
    ASSERT_TRUE(pty.bReady());
    // Extra slashes pad the path to exactly 128 characters.
    const std::string name = std::string(129 - pty.sPath.size(), '/') + pty.sPath.substr(1);
    ASSERT_EQ(name.size(), 128u);
    tCommCfg2 cfg = Cfg("");
    std::memcpy(cfg.acPort, name.data(), sizeof(cfg.acPort));
    std::memset(cfg.abReserved256, 'X', sizeof(cfg.abReserved256));
    EXPECT_EQ(MakeSystemSerialLine()->iOpen(cfg), 0);
}

TEST(SerialPosix, PortIsExclusiveUntilClosedOrReopenedElsewhere) {
    Pty first, second;
    ASSERT_TRUE(first.bReady() && second.bReady());
    auto holder = MakeSystemSerialLine();
    auto other = MakeSystemSerialLine();
    ASSERT_EQ(holder->iOpen(Cfg(first.sPath)), 0);
    EXPECT_NE(other->iOpen(Cfg(first.sPath)), 0);
    holder->vClose();
    holder->vClose();
    EXPECT_EQ(other->iOpen(Cfg(first.sPath)), 0);

    // Opening another port lets go of the first one.
    ASSERT_EQ(other->iOpen(Cfg(second.sPath)), 0);
    EXPECT_EQ(holder->iOpen(Cfg(first.sPath)), 0);
}

TEST_F(SerialPosixTest, ReadTakesWhatArrivesWithoutWaitingForTheRest) {
    // Bytes a cooked or flow-controlled terminal would eat or translate,
    // sent while the read already waits.
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.vSend({0x0D, 0x11, 0x13});
    });
    uint8_t buf[5] = {};
    size_t got = 99;
    const auto start = Clock::now();
    EXPECT_EQ(line->iRead(buf, sizeof(buf), got, 200), 0);
    const long ms = lMsSince(start);
    sender.join();
    EXPECT_GE(ms, 20);
    EXPECT_LT(ms, 150);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{0x0D, 0x11, 0x13}));
}

extern "C" void vIgnoreAlarm(int) {}

TEST_F(SerialPosixTest, SilenceTimesOutAfterTheWholeWaitEvenWhenInterrupted) {
    for (bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "signals every 5 ms" : "quiet");
        struct sigaction act, old;
        std::memset(&act, 0, sizeof(act));
        act.sa_handler = vIgnoreAlarm; // no SA_RESTART: poll() sees EINTR
        sigemptyset(&act.sa_mask);
        itimerval tick{{0, 5000}, {0, 5000}}, off{};
        if (interrupted) {
            ASSERT_EQ(sigaction(SIGALRM, &act, &old), 0);
            ASSERT_EQ(setitimer(ITIMER_REAL, &tick, nullptr), 0);
        }
        uint8_t buf[4];
        size_t got = 7;
        const auto start = Clock::now();
        const int rc = line->iRead(buf, sizeof(buf), got, 50);
        const long ms = lMsSince(start);
        if (interrupted) {
            setitimer(ITIMER_REAL, &off, nullptr);
            sigaction(SIGALRM, &old, nullptr);
        }
        EXPECT_NE(rc, 0);
        EXPECT_EQ(got, 0u);
        EXPECT_GE(ms, 40);
        EXPECT_LT(ms, 500);
    }
}

TEST_F(SerialPosixTest, WritesReachTheOtherEndByteExact) {
    // 256 bytes fit at once; 200000 overrun the terminal's buffer and have to
    // wait for room while the other end drains it.
    for (size_t n : {size_t(256), size_t(200000)}) {
        SCOPED_TRACE(n);
        std::vector<uint8_t> sent(n);
        for (size_t i = 0; i < n; ++i) {
            sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
        }
        std::vector<uint8_t> received;
        std::thread reader([&] { received = pty.vecTake(n); });
        EXPECT_EQ(line->iWrite(sent.data(), sent.size()), 0);
        reader.join();
        EXPECT_TRUE(received == sent) << "received " << received.size() << " bytes";
    }
}

TEST_F(SerialPosixTest, PurgeDropsUnreadInputOnly) {
    pty.vSend({1, 2, 3});
    pollfd pfd{pty.iSlave, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 200), 1) << "bytes never reached the slave";
    line->vPurgeInput();
    uint8_t buf[8];
    size_t got = 0;
    EXPECT_NE(line->iRead(buf, sizeof(buf), got, 50), 0);
    EXPECT_EQ(got, 0u);

    pty.vSend({4});
    EXPECT_EQ(line->iRead(buf, sizeof(buf), got, 200), 0);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 4);
}

TEST_F(SerialPosixTest, RequestsTheLineCannotServeFail) {
    // A pseudo-terminal has no modem lines.
    for (uint32_t func : {0u, 3u, 4u, 5u, 6u, 7u}) {
        EXPECT_NE(line->iLineControl(func), 0) << func;
    }
    uint8_t buf[1];
    size_t got = 5;
    EXPECT_NE(line->iRead(buf, 0, got, 200), 0);
    EXPECT_EQ(got, 0u);

    line->vClose();
    got = 5;
    const auto start = Clock::now();
    EXPECT_NE(line->iRead(buf, 1, got, 200), 0);
    EXPECT_LT(lMsSince(start), 100);
    EXPECT_EQ(got, 0u);
    EXPECT_NE(line->iWrite(buf, 1), 0);
    EXPECT_NE(line->iLineControl(kLineSetRts), 0);
    line->vPurgeInput();
}

} // namespace
