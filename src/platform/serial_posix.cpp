// The serial line on POSIX systems: a termios device in raw mode, opened
// non-blocking and exclusively, with reads and writes timed by poll().
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "platform/deadline.h"
#include "platform/posix_fd.h"
#include "platform/serial_line.h"
#include "platform/system.h"

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

// How many fork()s this process came out of as the child. A line opened
// before the last of them is the parent's: the child has a copy of its
// descriptor, which shares the parent's lock and exclusive use.
std::atomic<unsigned> g_uiForks{0};
void CountForkInChild() {
    g_uiForks.fetch_add(1, std::memory_order_relaxed);
}
const bool kForkHandlerSet = (AtFork(nullptr, nullptr, &CountForkInChild), true);

bool bBaudToSpeed(uint32_t uiBaud, speed_t& speed) {
    static const struct {
        uint32_t uiBaud;
        speed_t speed;
    } kRates[] = {
        {1200, B1200},     {1800, B1800},   {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200}, {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
    };
    for (const auto& rate : kRates) {
        if (rate.uiBaud == uiBaud) {
            speed = rate.speed;
            return true;
        }
    }
    return false;
}

// The character size and parity bits of the settings; false when termios has
// no equivalent.
bool bFrameBits(const tLineSettings& settings, tcflag_t& bits) {
    switch (settings.eDataBits) {
    case DataBits::Five:
        bits = CS5;
        break;
    case DataBits::Six:
        bits = CS6;
        break;
    case DataBits::Seven:
        bits = CS7;
        break;
    case DataBits::Eight:
        bits = CS8;
        break;
    default:
        return false;
    }
    switch (settings.eParity) {
    case Parity::None:
        return true;
    case Parity::Odd:
        bits |= PARENB | PARODD;
        return true;
    case Parity::Even:
        bits |= PARENB;
        return true;
    default:
        return false;
    }
}

} // namespace

// Turns the settings into the termios record, keeping the fields it does not
// govern; false when a setting has no termios equivalent. Not static: a
// pseudo-terminal forces 8 bits without parity, so the tests check the
// mapping here rather than on the line.
bool bPosixLineTermios(const tLineSettings& settings, termios& tio) {
    speed_t speed;
    tcflag_t bits = 0;
    if (!bBaudToSpeed(settings.uiBaud, speed) || !bFrameBits(settings, bits))
        return false;
    if (settings.eStopBits != StopBits::One && settings.eStopBits != StopBits::Two)
        return false;
    const tcflag_t stop = settings.eStopBits == StopBits::Two ? CSTOPB : 0;

#ifndef CRTSCTS
    if (settings.bRtsHandshake) {
        return false;
    }
#endif

    // Raw: no line editing, no echo, no signals, no translation either way.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (settings.bRtsHandshake) {
        tio.c_cflag |= CRTSCTS;
    }
#endif
    tio.c_cflag |= CLOCAL | CREAD | bits | stop;
    // Reads never block in the driver; poll() does the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}

namespace {

// Waits for the events on the descriptor until the deadline. Returns the
// reported events, or 0 when the time ran out or poll() failed.
short sWaitFor(int iFd, short sEvents, Clock::time_point deadline) {
    for (;;) {
        const int iLeft = iPollMsLeft(deadline);
        if (iLeft == 0) {
            return 0;
        }
        pollfd pfd{iFd, sEvents, 0};
        const int iRc = ::poll(&pfd, 1, iLeft);
        if (iRc > 0) {
            return pfd.revents;
        }
        if (iRc < 0 && errno != EINTR) {
            return 0;
        }
        // Interrupted, or poll() woke a little early: wait for what is left.
    }
}

size_t uiChunk(size_t uiLen) {
    return uiLen > static_cast<size_t>(SSIZE_MAX) ? static_cast<size_t>(SSIZE_MAX) : uiLen;
}

class OPosixSerialLine : public OSerialLine {
public:
    OPosixSerialLine() = default;
    ~OPosixSerialLine() override { vClose(); }
    OPosixSerialLine(const OPosixSerialLine&) = delete;
    OPosixSerialLine& operator=(const OPosixSerialLine&) = delete;

    int iOpen(const tLineSettings& settings) override {
        vClose();

        const std::string& port = settings.sPort;
        if (port.empty() || port.find('\0') != std::string::npos) {
            return 1;
        }
        OFd fd(::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd.bValid() || !bLockExclusive(fd.iGet())) {
            return 1;
        }
        termios tio{};
        if (tcgetattr(fd.iGet(), &tio) != 0 || !bPosixLineTermios(settings, tio) ||
            !bApplyTermios(fd.iGet(), tio) || tcflush(fd.iGet(), TCIOFLUSH) != 0) {
            vUnlock(fd.iGet());
            return 1;
        }
        if (settings.bDtrOn) {
            // Not every device has modem lines (a pseudo-terminal has none);
            // the line works without them.
            int iBits = TIOCM_DTR;
            (void)::ioctl(fd.iGet(), TIOCMBIS, &iBits);
        }
        m_fd = std::move(fd);
        m_uiOpenedAfterFork = g_uiForks.load(std::memory_order_relaxed);
        return 0;
    }

    // In a child of fork() only the child's copy of the descriptor goes: the
    // lock and the exclusive use belong to the open port the parent still has.
    void vClose() override {
        vDropAhead();
        if (m_fd.bValid()) {
            if (!bInherited()) {
                vUnlock(m_fd.iGet());
            }
            m_fd.vReset();
        }
    }

    int iWrite(const uint8_t* pData, size_t uiLen) override {
        if (!m_fd.bValid() || (pData == nullptr && uiLen != 0)) {
            return 1;
        }
        if (bInherited()) {
            return kHungUp; // the parent's port: gone for this process
        }
        // A stalled line (flow control held off) gives up after a fixed two
        // seconds plus a millisecond per byte.
        const uint32_t uiBudgetMs =
            uiLen > UINT32_MAX - 2000u ? UINT32_MAX : 2000u + static_cast<uint32_t>(uiLen);
        const auto deadline = Clock::now() + std::chrono::milliseconds(uiBudgetMs);
        size_t uiDone = 0;
        while (uiDone < uiLen) {
            const ssize_t iRc = ::write(m_fd.iGet(), pData + uiDone, uiChunk(uiLen - uiDone));
            if (iRc > 0) {
                uiDone += static_cast<size_t>(iRc);
                continue;
            }
            if (iRc < 0 && errno == EINTR) {
                continue;
            }
            if (iRc < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return kHungUp; // EIO, ENXIO: the device has gone
            }
            const short sEvents = sWaitFor(m_fd.iGet(), POLLOUT, deadline);
            if (bGone(sEvents)) {
                return kHungUp;
            }
            if ((sEvents & POLLOUT) == 0) {
                return 1; // held off until the time ran out
            }
        }
        return 0;
    }

    int iRead(uint8_t* pBuf, size_t uiWant, size_t& uiGot, uint32_t uiTimeoutMs) override {
        uiGot = 0;
        if (!m_fd.bValid() || pBuf == nullptr || uiWant == 0) {
            return 1;
        }
        if (bInherited()) {
            return kHungUp;
        }
        // Bytes read ahead by an earlier call go first, without a system call.
        if (m_uiAheadAt < m_uiAheadLen) {
            uiGot = uiTakeAhead(pBuf, uiWant);
            return 0;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(uiTimeoutMs);
        bool bLastTry = false;
        // A reply is seldom waiting already (a byte takes a millisecond at
        // 9600 baud): poll() first saves a read() that finds nothing, except
        // when the caller will not wait at all.
        bool bWait = uiTimeoutMs > 0;
        for (;;) {
            if (bWait) {
                const short sEvents = sWaitFor(m_fd.iGet(), POLLIN, deadline);
                if ((sEvents & POLLNVAL) != 0) {
                    return kHungUp;
                }
                if (sEvents == 0) {
                    return 1;
                }
                // After a hang-up or error only what is already queued is taken.
                bLastTry = bGone(sEvents);
            }
            bWait = true;
            // Whatever has arrived, up to the read-ahead, in one call.
            const ssize_t iRc = ::read(m_fd.iGet(), m_abAhead, sizeof m_abAhead);
            if (iRc > 0) {
                m_uiAheadAt = 0;
                m_uiAheadLen = static_cast<size_t>(iRc);
                uiGot = uiTakeAhead(pBuf, uiWant);
                return 0;
            }
            if (iRc < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return kHungUp; // EIO, ENXIO: the device has gone
            }
            if (bLastTry) {
                // A hung-up terminal reads as end of file: nothing more comes.
                return kHungUp;
            }
        }
    }

    int iSetModemLine(ModemLine eLine, bool bRaise) override {
        if (!m_fd.bValid()) {
            return 1;
        }
        if (bInherited()) {
            return kHungUp;
        }
        int iBits = eLine == ModemLine::Rts ? TIOCM_RTS : TIOCM_DTR;
        if (::ioctl(m_fd.iGet(), bRaise ? TIOCMBIS : TIOCMBIC, &iBits) == 0) {
            return 0;
        }
        // A device without modem lines refuses (ENOTTY, EINVAL); one that
        // has gone answers EIO or ENXIO.
        return errno == EIO || errno == ENXIO || errno == ENODEV ? kHungUp : 1;
    }

    void vPurgeInput() override {
        vDropAhead();
        if (m_fd.bValid() && !bInherited()) {
            tcflush(m_fd.iGet(), TCIFLUSH);
        }
    }

private:
    // The descriptor came from the parent through fork().
    bool bInherited() const {
        return m_uiOpenedAfterFork != g_uiForks.load(std::memory_order_relaxed);
    }

    // A hang-up, an error condition or a descriptor that is no longer valid.
    static bool bGone(short sEvents) { return (sEvents & (POLLERR | POLLHUP | POLLNVAL)) != 0; }

    // Keeps other processes off the port. flock() first: it shuts out every
    // opener that locks the same way, and is taken before touching the
    // terminal's own exclusive flag, which belongs to whoever holds the port.
    // TIOCEXCL then refuses further opens outright (a privileged process is
    // let through, and pseudo-terminals may not support it).
    static bool bLockExclusive(int iFd) {
        int iRc;
        do {
            iRc = ::flock(iFd, LOCK_EX | LOCK_NB);
        } while (iRc != 0 && errno == EINTR);
        // Only a lock held elsewhere refuses the port; a device that cannot
        // be locked at all is used unlocked.
        if (iRc != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
            return false;
        }
#ifdef TIOCEXCL
        if (::ioctl(iFd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
            (void)::flock(iFd, LOCK_UN);
            return false;
        }
#endif
        return true;
    }

    // tcsetattr() reports EINVAL when the device dropped the parity or the
    // character size asked for. A pseudo-terminal (an emulated reader, a
    // virtual COM port) always does: it carries bytes, not bits, so the
    // settings it did take are enough there. Any other device must take all.
    static bool bApplyTermios(int iFd, const termios& want) {
        if (tcsetattr(iFd, TCSANOW, &want) == 0) {
            return true;
        }
        if (errno != EINVAL || !bPseudoTerminal(iFd)) {
            return false;
        }
        termios got{};
        const tcflag_t kIgnored = CSIZE | PARENB | PARODD;
        return tcgetattr(iFd, &got) == 0 &&
               (got.c_cflag & ~kIgnored) == (want.c_cflag & ~kIgnored) &&
               cfgetospeed(&got) == cfgetospeed(&want);
    }

    static bool bPseudoTerminal(int iFd) {
        struct stat st {};
        if (fstat(iFd, &st) != 0 || !S_ISCHR(st.st_mode)) {
            return false;
        }
        const unsigned uiMajor = major(st.st_rdev);
        return uiMajor >= 136 && uiMajor <= 143; // Unix98 pseudo-terminal slaves
    }

    // Lets the next opener in before the descriptor goes.
    static void vUnlock(int iFd) {
#ifdef TIOCNXCL
        (void)::ioctl(iFd, TIOCNXCL);
#endif
        (void)::flock(iFd, LOCK_UN);
    }

    // Hands out read-ahead bytes, up to uiWant.
    size_t uiTakeAhead(uint8_t* pBuf, size_t uiWant) {
        const size_t uiTake = std::min(uiWant, m_uiAheadLen - m_uiAheadAt);
        std::memcpy(pBuf, m_abAhead + m_uiAheadAt, uiTake);
        m_uiAheadAt += uiTake;
        return uiTake;
    }

    void vDropAhead() {
        m_uiAheadAt = m_uiAheadLen = 0;
    }

    OFd m_fd;
    unsigned m_uiOpenedAfterFork = 0; // g_uiForks when the port was opened
    // Bytes read from the device and not yet handed out: a reply is taken
    // with one read() however many calls the exchange makes for it.
    uint8_t m_abAhead[1024];
    size_t m_uiAheadAt = 0;
    size_t m_uiAheadLen = 0;
};

} // namespace

std::unique_ptr<OSerialLine> MakeSystemSerialLine() {
    return std::make_unique<OPosixSerialLine>();
}

} // namespace quillon
