// The bridge under a real pcscd: the test starts pcscd with a private
// reader.conf.d naming an emulated family-A reader and drives it as any
// PC/SC client does, through libpcsclite. pcscd listens on one fixed socket
// and needs root: the test skips when not root and refuses to start beside
// a pcscd that answers there. Its pcscd is stopped by pid, also on failure.
// Suites of several trees may run at once: a machine-wide lock lets one of
// them at a time look for a pcscd and start its own.
// What a real pcscd adds to the handler's own tests: a client of another
// user, a reader unplugged and plugged in again.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <winscard.h>
extern "C" {
#include <reader.h>
}

#include "emulator.h"
#include "quillon/pcsc_control.h"

namespace {

using quillon::emu::Bytes;
using quillon::emu::Card;
using quillon::emu::Emulator;
using quillon::emu::Family;
using quillon::emu::Options;
using Clock = std::chrono::steady_clock;

constexpr const char* kSocket = "/run/pcscd/pcscd.comm";
constexpr const char* kReader = "Quillon test reader";
constexpr const char* kMachineLock = "/run/quillon-pcscd-test.lock";

class PcscdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "pcscd needs root (it listens on " << kSocket << ")";
        // Held until TearDown; the other suite's test holds it for seconds.
        lock_ = ::open(kMachineLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(lock_, 0) << kMachineLock << ": " << std::strerror(errno);
        ASSERT_EQ(::flock(lock_, LOCK_EX), 0) << std::strerror(errno);
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_) == SCARD_S_SUCCESS)
            GTEST_SKIP() << "a pcscd already answers on " << kSocket
                         << ": this test starts its own and runs only where none runs";
        char tmpl[] = "/tmp/quillon-pcscd-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        work_ = tmpl;
    }

    // A new emulated reader (the last one stops) with a card inside.
    std::string StartEmulator(const Card& card) {
        if (emu_)
            emu_->Stop();
        Options opt;
        opt.entryDelay = quillon::emu::kForever;
        emu_ = std::make_unique<Emulator>(Family::A, opt);
        const std::string port = emu_->Start();
        emu_->SetCard(card);
        emu_->PlaceCard(quillon::emu::CardPosition::Inside);
        return port;
    }

    // pcscd with one reader, DEVICENAME as given, as a child process that
    // TearDown stops by its pid; false when pcscd did not come up (its
    // context cannot be had).
    bool StartPcscd(const std::string& deviceName) {
        const std::string conf = work_ + "/reader.conf.d";
        (void)::mkdir(conf.c_str(), 0700);
        std::ofstream(conf + "/quillon") << "FRIENDLYNAME \"" << kReader << "\"\n"
                                         << "DEVICENAME " << deviceName << "\n"
                                         << "LIBPATH " << QUILLON_IFD_PATH << "\n";
        const std::string log = work_ + "/pcscd.log";
        pcscd_ = ::fork();
        if (pcscd_ == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::setenv("QUILLON_PCSC_RUN_DIR", (work_ + "/run").c_str(), 1);
            ::setenv("QUILLON_PCSC_TRACE_DIR", (work_ + "/trace").c_str(), 1);
            ::setenv("QUILLON_LOCK_DIR", work_.c_str(), 1);
            ::execlp("pcscd", "pcscd", "--foreground", "--debug", "-c", conf.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return WaitUntilListening();
    }
    bool PcscdRunning() const { return pcscd_ > 0 && ::waitpid(pcscd_, nullptr, WNOHANG) == 0; }

    // pcscd opens its socket's mode once it listens: the test waits for that
    // change in /run/pcscd, or pcscd's end, then has its context.
    bool WaitUntilListening() {
        (void)::mkdir("/run/pcscd", 0755);
        const int watch = ::inotify_init1(IN_CLOEXEC);
        (void)::inotify_add_watch(watch, "/run/pcscd", IN_ATTRIB);
        const int ended = static_cast<int>(::syscall(SYS_pidfd_open, pcscd_, 0));
        pollfd fds[2] = {{watch, POLLIN, 0}, {ended, POLLIN, 0}};
        bool up = false;
        while (!(up = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_) ==
                      SCARD_S_SUCCESS) &&
               ::poll(fds, 2, 20000) > 0 && !(fds[1].revents & POLLIN)) {
            char events[4096];
            (void)!::read(watch, events, sizeof events);
        }
        ::close(watch);
        ::close(ended);
        return up;
    }

    void TearDown() override {
        if (ctx_)
            SCardReleaseContext(ctx_);
        if (pcscd_ > 0) {
            ::kill(pcscd_, SIGTERM);
            // Its end, or 10 s: then it is killed.
            const int ended = static_cast<int>(::syscall(SYS_pidfd_open, pcscd_, 0));
            pollfd fd{ended, POLLIN, 0};
            if (ended < 0 || ::poll(&fd, 1, 10000) != 1)
                ::kill(pcscd_, SIGKILL);
            ::waitpid(pcscd_, nullptr, 0);
            if (ended >= 0)
                ::close(ended);
        }
        if (emu_)
            emu_->Stop();
        if (!work_.empty() && !HasFailure())
            (void)std::system(("rm -rf '" + work_ + "'").c_str());
        else if (!work_.empty())
            std::printf("pcscd's log and the traces stay in %s\n", work_.c_str());
        if (lock_ >= 0)
            ::close(lock_); // its pcscd is gone: the next may start one
    }

    std::string Log() const {
        std::ifstream in(work_ + "/pcscd.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The reader's name in pcscd's list (the friendly name and "00 00").
    bool WaitForReader() {
        SCARD_READERSTATE pnp{};
        pnp.szReader = "\\\\?PnP?\\Notification";
        for (int i = 0; i < 20; ++i) {
            char names[1024];
            DWORD len = sizeof names;
            if (SCardListReaders(ctx_, nullptr, names, &len) == SCARD_S_SUCCESS &&
                std::strncmp(names, kReader, std::strlen(kReader)) == 0) {
                reader_ = names;
                return true;
            }
            pnp.dwCurrentState = pnp.dwEventState;
            (void)SCardGetStatusChange(ctx_, 1000, &pnp, 1);
        }
        return false;
    }

    // Waits (events, with a time limit) until the reader's state has `want`.
    DWORD WaitState(DWORD want) {
        SCARD_READERSTATE st{};
        st.szReader = reader_.c_str();
        st.dwCurrentState = SCARD_STATE_UNAWARE;
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < deadline) {
            if (SCardGetStatusChange(ctx_, 2000, &st, 1) == SCARD_S_SUCCESS) {
                if (st.dwEventState & want)
                    return st.dwEventState;
                st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
            }
        }
        return st.dwEventState;
    }

    static Bytes Transmit(SCARDHANDLE h, const Bytes& apdu) {
        Bytes out(258);
        DWORD len = out.size();
        const LONG rv =
            SCardTransmit(h, SCARD_PCI_T0, apdu.data(), apdu.size(), nullptr, out.data(), &len);
        EXPECT_EQ(rv, SCARD_S_SUCCESS) << pcsc_stringify_error(rv);
        out.resize(rv == SCARD_S_SUCCESS ? len : 0);
        return out;
    }

    std::string work_, reader_;
    std::unique_ptr<Emulator> emu_;
    pid_t pcscd_ = -1;
    int lock_ = -1; // kMachineLock
    SCARDCONTEXT ctx_ = 0;
};

// The reader named by a link to its serial device (the bridge writes the
// configuration: the motor codes stay off). A client of another user may not
// move the card. The adapter is pulled out and another put in under the
// same link: the card reads absent meanwhile, then present again and its
// chip answers, with the same pcscd.
TEST_F(PcscdTest, MotorCodesStayOffForOthersAndAReplugWithoutRestartBringsTheReaderBack) {
    const std::string link = work_ + "/tty";
    const Card card = Card::Default(); // a T=0 chip
    ASSERT_EQ(::symlink(StartEmulator(card).c_str(), link.c_str()), 0);
    ASSERT_TRUE(StartPcscd(link)) << Log();
    ASSERT_TRUE(WaitForReader()) << Log();
    ASSERT_TRUE(WaitState(SCARD_STATE_PRESENT) & SCARD_STATE_PRESENT) << Log();

    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        SCARDCONTEXT ctx = 0;
        SCARDHANDLE h = 0;
        DWORD proto = 0, got = 0;
        uint8_t out[512];
        if (::setgroups(0, nullptr) | ::setgid(nobody->pw_gid) | ::setuid(nobody->pw_uid) ||
            SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != 0 ||
            SCardConnect(ctx, reader_.c_str(), SCARD_SHARE_DIRECT, 0, &h, &proto) != 0)
            ::_exit(2);
        const LONG rv =
            SCardControl(h, SCARD_CTL_CODE(QUILLON_CTL_RETAIN), nullptr, 0, out, sizeof out, &got);
        ::_exit(rv == SCARD_E_UNSUPPORTED_FEATURE ? 0 : 3);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "2: no setuid, no PC/SC or no connection, 3: the control code was not refused";
    EXPECT_EQ(emu_->Position(), quillon::emu::CardPosition::Inside);
    EXPECT_EQ(emu_->GetCounters().retains, 0u);

    emu_->Stop(); // pulled out
    EXPECT_TRUE(WaitState(SCARD_STATE_EMPTY) & SCARD_STATE_EMPTY) << "absent while unplugged";
    const std::string port = StartEmulator(card);
    const auto plugged = Clock::now();
    const std::string fresh = link + ".new";
    ASSERT_EQ(::symlink(port.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitState(SCARD_STATE_PRESENT) & SCARD_STATE_PRESENT) << Log();
    // The chip answers again: its answer to reset, and the payment
    // application's FCI, which in T=0 the application fetches itself.
    SCARDHANDLE h = 0;
    DWORD proto = 0;
    ASSERT_EQ(SCardConnect(ctx_, reader_.c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &proto),
              SCARD_S_SUCCESS)
        << Log();
    EXPECT_EQ(proto, SCARD_PROTOCOL_T0);
    Bytes atr(MAX_ATR_SIZE);
    DWORD atrLen = atr.size(), state = 0, nameLen = 0;
    EXPECT_EQ(SCardStatus(h, nullptr, &nameLen, &state, &proto, atr.data(), &atrLen),
              SCARD_S_SUCCESS);
    atr.resize(atrLen);
    EXPECT_EQ(atr, card.Answer());
    const Bytes& aid = card.apps[0].aid;
    Bytes select{0x00, 0xA4, 0x04, 0x00, static_cast<uint8_t>(aid.size())};
    select.insert(select.end(), aid.begin(), aid.end());
    select.push_back(0x00);
    const Bytes sw = Transmit(h, select);
    ASSERT_EQ(sw.size(), 2u);
    EXPECT_EQ(sw[0], 0x61);
    const Bytes fci = Transmit(h, Bytes{0x00, 0xC0, 0x00, 0x00, sw[1]});
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    ASSERT_GE(fci.size(), 4u);
    EXPECT_EQ(fci[0], 0x6F) << "FCI template";
    EXPECT_EQ(Bytes(fci.end() - 2, fci.end()), (Bytes{0x90, 0x00}));
    EXPECT_LT(Clock::now() - plugged, std::chrono::seconds(10));
    EXPECT_TRUE(PcscdRunning());
    const std::string log = Log();
    EXPECT_EQ(log.find("gone (1223)"), log.rfind("gone (1223)")) << "the loss is told once";
}

} // namespace
