// The termios line against a pseudo-terminal: the test holds the master side
// and a spare descriptor of the slave to read the settings back.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/serial_line.h"

namespace quillon {
// The line's own mapping (a pseudo-terminal keeps no character size or parity).
bool bPosixLineTermios(const tLineSettings& settings, termios& tio);
} // namespace quillon

using namespace quillon;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

struct Pty {
    Pty() {
        iMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (iMaster >= 0 && grantpt(iMaster) == 0 && unlockpt(iMaster) == 0) {
            sPath = ptsname(iMaster);
            iSlave = open(sPath.c_str(), O_RDWR | O_NOCTTY);
        }
    }
    ~Pty() {
        close(iSlave);
        close(iMaster);
    }
    void vSend(const Bytes& b) const {
        EXPECT_EQ(write(iMaster, b.data(), b.size()), ssize_t(b.size()));
    }

    int iMaster = -1, iSlave = -1;
    std::string sPath;
};

tLineSettings Cfg(const std::string& port, uint32_t baud = 9600, DataBits data = DataBits::Eight,
                  Parity parity = Parity::None, StopBits stop = StopBits::One) {
    tLineSettings s;
    s.sPort = port;
    s.uiBaud = baud;
    s.eDataBits = data;
    s.eParity = parity;
    s.eStopBits = stop;
    return s;
}

class SerialPosixTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(line->iOpen(Cfg(pty.sPath)), 0); }
    Pty pty;
    std::unique_ptr<OSerialLine> line = MakeSystemSerialLine();
};

TEST(SerialPosix, SettingsReachTheLine) {
    using D = DataBits;
    using P = Parity;
    using S = StopBits;
    struct Case {
        uint32_t baud;
        DataBits data;
        Parity parity;
        StopBits stop;
        bool handshake;
        speed_t speed;
        tcflag_t cflags;
    } const cases[] = {
        {9600, D::Eight, P::None, S::One, false, B9600, CS8},
        {9600, D::Eight, P::Even, S::One, false, B9600, CS8 | PARENB},
        {19200, D::Seven, P::Odd, S::Two, false, B19200, CS7 | PARENB | PARODD | CSTOPB},
        {115200, D::Eight, P::None, S::One, true, B115200, CS8 | CRTSCTS},
        {230400, D::Six, P::Even, S::One, true, B230400, CS6 | PARENB | CRTSCTS},
        {1200, D::Five, P::None, S::Two, false, B1200, CS5 | CSTOPB},
    };
    const auto check = [](const termios& tio, const Case& c, tcflag_t kept) {
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        const tcflag_t cmask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
        EXPECT_EQ(tio.c_cflag & cmask & kept, (c.cflags | CLOCAL | CREAD) & kept);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
        EXPECT_EQ((tio.c_oflag & OPOST) | (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)), 0u);
        EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
    };
    Pty pty; // one for all: each open also undoes the last one's settings
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        tLineSettings cfg = Cfg(pty.sPath, c.baud, c.data, c.parity, c.stop);
        cfg.bRtsHandshake = c.handshake;
        cfg.bDtrOn = true; // a pseudo-terminal has no DTR; the open goes ahead
        termios tio;
        std::memset(&tio, 0xFF, sizeof(tio)); // every flag set: the mapping clears its own
        ASSERT_TRUE(bPosixLineTermios(cfg, tio));
        check(tio, c, ~tcflag_t(0));
        auto line = MakeSystemSerialLine();
        ASSERT_EQ(line->iOpen(cfg), 0);
        ASSERT_EQ(tcgetattr(pty.iSlave, &tio), 0);
        check(tio, c, ~tcflag_t(CSIZE | PARENB));
    }
}

TEST(SerialPosix, BadSettingsAndAHeldPortAreRefused) {
    Pty pty, second;
    // The same port under a long name (extra slashes).
    const tLineSettings good = Cfg(std::string(200, '/') + pty.sPath.substr(1));
    void (*const spoilers[])(tLineSettings&) = {
        [](tLineSettings& c) { c.uiBaud = 9601; },
        [](tLineSettings& c) { c.eDataBits = static_cast<DataBits>(9); },
        [](tLineSettings& c) { c.eDataBits = static_cast<DataBits>(4); },
        [](tLineSettings& c) { c.eParity = static_cast<Parity>(3); },
        [](tLineSettings& c) { c.eStopBits = static_cast<StopBits>(3); },
        [](tLineSettings& c) { c.sPort.clear(); },
        [](tLineSettings& c) { c.sPort = "/dev/quillon-none"; },
        [](tLineSettings& c) { c.sPort = "/dev/null"; }, // not a terminal
    };
    const uint8_t byte = 0x55;
    for (auto& spoil : spoilers) {
        SCOPED_TRACE(&spoil - spoilers);
        tLineSettings cfg = Cfg(pty.sPath);
        spoil(cfg);
        auto line = MakeSystemSerialLine();
        EXPECT_NE(line->iOpen(cfg), 0);
        EXPECT_NE(line->iWrite(&byte, 1), 0);
        EXPECT_EQ(MakeSystemSerialLine()->iOpen(good), 0) << "port held, or long name refused";
    }
    // A port is one line's until it closes (twice is harmless) or opens another.
    auto holder = MakeSystemSerialLine(), other = MakeSystemSerialLine();
    ASSERT_EQ(holder->iOpen(good), 0);
    EXPECT_NE(other->iOpen(Cfg(pty.sPath)), 0);
    holder->vClose();
    holder->vClose();
    EXPECT_EQ(other->iOpen(Cfg(pty.sPath)), 0);
    ASSERT_EQ(other->iOpen(Cfg(second.sPath)), 0);
    EXPECT_EQ(holder->iOpen(Cfg(pty.sPath)), 0);
}

extern "C" void vIgnoreAlarm(int) {}

// Waits until thread tid sits in poll(), or bDone is set: the line waits for
// input.
void WaitUntilPolling(pid_t tid, const std::atomic<bool>& bDone) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    while (!bDone) {
        long nr = -1;
        std::ifstream(path) >> nr;
#if defined(SYS_poll)
        if (nr == SYS_poll)
            return;
#endif
        if (nr == SYS_ppoll)
            return;
        std::this_thread::yield();
    }
}

// Each read follows a purge of three unread bytes, which it must not see.
TEST_F(SerialPosixTest, ReadsTakeFreshInputWithoutWaitingForTheRestOrTimeOutWhole) {
    struct Case {
        const char* what;
        Bytes later;   // sent once the read waits
        long signalUs; // SIGALRM period, without SA_RESTART: poll() sees EINTR
        uint32_t waitMs;
        std::chrono::milliseconds min, max;
    } const cases[] = {
        // Upper bounds leave room for a loaded machine: a wait restarted at
        // every signal, or one that waits for the rest, never ends at all.
        {"silence", {}, 0, 50, 40ms, 2000ms},
        {"silence, signals every 5 ms", {}, 5000, 50, 40ms, 2000ms},
        // Bytes a cooked or flow-controlled terminal would eat; 3 of 5 wanted.
        {"3 bytes later", {0x0D, 0x11, 0x13}, 0, 10000, 0ms, 5000ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pty.vSend({1, 2, 3});
        pollfd pfd{pty.iSlave, POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 200), 1) << "bytes never reached the slave";
        line->vPurgeInput();

        struct sigaction act = {}, old = {};
        act.sa_handler = vIgnoreAlarm;
        itimerval tick{{0, c.signalUs}, {0, c.signalUs}}, off{};
        ASSERT_EQ(sigaction(SIGALRM, &act, &old), 0);
        ASSERT_EQ(setitimer(ITIMER_REAL, &tick, nullptr), 0);
        const pid_t reader = static_cast<pid_t>(syscall(SYS_gettid));
        std::atomic<bool> bReadDone{false};
        std::thread sender([&] {
            if (c.later.empty())
                return; // no thread to take the signals
            WaitUntilPolling(reader, bReadDone);
            pty.vSend(c.later);
        });
        Bytes buf(5);
        size_t got = 99;
        const auto start = Clock::now();
        const int rc = line->iRead(buf.data(), buf.size(), got, c.waitMs);
        bReadDone = true;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        buf.resize(got);
        EXPECT_EQ(buf, c.later);
        EXPECT_EQ(rc != 0, c.later.empty()) << rc;
        sender.join();
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
        EXPECT_TRUE(ms >= c.min && ms < c.max) << ms.count() << " ms";
    }
}

// What arrived is taken in one read and handed out in order over the calls
// that want it; a purge drops what was read ahead with the rest.
TEST_F(SerialPosixTest, ReadAheadGoesOutInOrderAndThePurgeDropsIt) {
    const auto arrived = [&] {
        pollfd pfd{pty.iSlave, POLLIN, 0};
        return poll(&pfd, 1, 2000) == 1;
    };
    const auto read = [&](size_t want) {
        Bytes buf(want);
        size_t got = 0;
        EXPECT_EQ(line->iRead(buf.data(), want, got, 1000), 0);
        buf.resize(got);
        return buf;
    };
    pty.vSend({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ASSERT_TRUE(arrived());
    EXPECT_EQ(read(3), (Bytes{1, 2, 3}));
    EXPECT_EQ(read(4), (Bytes{4, 5, 6, 7}));
    line->vPurgeInput();
    pty.vSend({20, 21});
    ASSERT_TRUE(arrived());
    EXPECT_EQ(read(5), (Bytes{20, 21}));
}

TEST_F(SerialPosixTest, WritesReachTheOtherEndByteExact) {
    // More than the terminal's buffer holds: the write waits for room.
    Bytes sent(200000), received;
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
    std::thread reader([&] { // up to the whole, or until 2 s pass
        for (auto end = Clock::now() + 2s; received.size() < sent.size() && Clock::now() < end;) {
            pollfd pfd{pty.iMaster, POLLIN, 0};
            uint8_t buf[4096];
            const ssize_t r = poll(&pfd, 1, 100) > 0 ? read(pty.iMaster, buf, sizeof buf) : 0;
            received.insert(received.end(), buf, buf + std::max<ssize_t>(r, 0));
        }
    });
    EXPECT_EQ(line->iWrite(sent.data(), sent.size()), 0);
    reader.join();
    EXPECT_TRUE(received == sent) << "received " << received.size() << " bytes";
}

// The other end goes away (an adapter pulled out; here the master closes and
// the terminal hangs up): every kind of call says the device has gone, so
// the port can be opened anew. Before, a modem line the pseudo-terminal
// lacks is refused, not taken for a device gone.
TEST(SerialPosix, HungUpTerminalIsReportedAsGone) {
    struct Row {
        const char* name;
        int (*call)(OSerialLine&);
    } const rows[] = {
        {"read",
         [](OSerialLine& l) {
             uint8_t b[4];
             size_t got = 99;
             const int rc = l.iRead(b, sizeof b, got, 2000);
             EXPECT_EQ(got, 0u);
             return rc;
         }},
        {"write",
         [](OSerialLine& l) {
             const uint8_t b[] = {0x10, 0x05};
             return l.iWrite(b, sizeof b);
         }},
        {"line control", [](OSerialLine& l) { return l.iSetModemLine(ModemLine::Dtr, true); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Pty pty;
        auto line = MakeSystemSerialLine();
        ASSERT_EQ(line->iOpen(Cfg(pty.sPath)), 0);
        for (ModemLine which : {ModemLine::Rts, ModemLine::Dtr})
            for (bool raise : {true, false})
                EXPECT_EQ(line->iSetModemLine(which, raise), 1) << raise;
        close(pty.iMaster);
        pty.iMaster = -1;
        EXPECT_EQ(row.call(*line), OSerialLine::kHungUp);
    }
}

} // namespace
