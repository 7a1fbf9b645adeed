// The bridge under a real pcscd: the test starts pcscd with a private
// reader.conf.d naming an emulated family-A reader and drives it as any
// PC/SC client does, through libpcsclite. pcscd listens on one fixed socket
// and needs root: the test skips when not root and refuses to start beside
// a pcscd that answers there. Its pcscd is stopped by pid, also on failure.
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
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <winscard.h>
extern "C" {
#include <reader.h>
}

#include "emulator.h"
#include "quillon/idc.h"
#include "quillon/pcsc_control.h"

namespace {

using quillon::emu::Bytes;
using quillon::emu::Card;
using quillon::emu::ChipKind;
using quillon::emu::Emulator;
using quillon::emu::Family;
using quillon::emu::Options;
using Clock = std::chrono::steady_clock;

constexpr const char* kSocket = "/run/pcscd/pcscd.comm";
constexpr const char* kReader = "Quillon test reader";

bool PcscdAnswers() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kSocket, sizeof addr.sun_path - 1);
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return up;
}

// pcscd as a child process; the destructor stops it by its pid.
class Pcscd {
public:
    Pcscd(const std::string& confDir, const std::string& work) {
        const std::string log = work + "/pcscd.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::setenv("QUILLON_PCSC_RUN_DIR", (work + "/run").c_str(), 1);
            ::setenv("QUILLON_PCSC_TRACE_DIR", (work + "/trace").c_str(), 1);
            ::setenv("QUILLON_LOCK_DIR", work.c_str(), 1);
            ::execlp("pcscd", "pcscd", "--foreground", "--debug", "-c", confDir.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Pcscd() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool Started() const { return pid_ > 0; }
    bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

class PcscdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "pcscd needs root (it listens on " << kSocket << ")";
        if (PcscdAnswers())
            GTEST_SKIP() << "a pcscd already answers on " << kSocket
                         << ": this test starts its own and runs only where none runs";
        char tmpl[] = "/tmp/quillon-pcscd-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        work_ = tmpl;
    }

    // A new emulated reader (the last one stops) with the card where given.
    std::string StartEmulator(quillon::emu::CardPosition at, const Card& card = Card::Default()) {
        if (emu_)
            emu_->Stop();
        Options opt;
        opt.entryDelay = quillon::emu::kForever;
        emu_ = std::make_unique<Emulator>(Family::A, opt);
        const std::string port = emu_->Start();
        emu_->SetCard(card);
        emu_->PlaceCard(at);
        return port;
    }

    // pcscd with one reader, DEVICENAME as given; false when pcscd did not
    // come up (its context cannot be had).
    bool StartPcscd(const std::string& deviceName) {
        const std::string conf = work_ + "/reader.conf.d";
        (void)::mkdir(conf.c_str(), 0700);
        std::ofstream(conf + "/quillon") << "FRIENDLYNAME \"" << kReader << "\"\n"
                                         << "DEVICENAME " << deviceName << "\n"
                                         << "LIBPATH " << QUILLON_IFD_PATH << "\n";
        pcscd_ = std::make_unique<Pcscd>(conf, work_);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_) !=
               SCARD_S_SUCCESS) {
            if (!pcscd_->Running() || Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    void TearDown() override {
        if (ctx_)
            SCardReleaseContext(ctx_);
        pcscd_.reset();
        if (emu_)
            emu_->Stop();
        if (!work_.empty() && !HasFailure())
            (void)std::system(("rm -rf '" + work_ + "'").c_str());
        else if (!work_.empty())
            std::printf("pcscd's log and the traces stay in %s\n", work_.c_str());
    }

    std::string Log() const { return Read(work_ + "/pcscd.log"); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
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

    // A control code over a direct connection: the output as it came, and
    // SCardControl's result.
    static Bytes Control(SCARDCONTEXT ctx, const std::string& reader, DWORD code, LONG& rv) {
        SCARDHANDLE h = 0;
        DWORD proto = 0, got = 0;
        Bytes out(512);
        rv = SCardConnect(ctx, reader.c_str(), SCARD_SHARE_DIRECT, 0, &h, &proto);
        if (rv == SCARD_S_SUCCESS) {
            rv = SCardControl(h, SCARD_CTL_CODE(code), nullptr, 0, out.data(), out.size(), &got);
            SCardDisconnect(h, SCARD_LEAVE_CARD);
        }
        out.resize(rv == SCARD_S_SUCCESS ? got : 0);
        return out;
    }
    Bytes Transmit(SCARDHANDLE h, DWORD proto, const Bytes& apdu) {
        Bytes out(258);
        DWORD len = out.size();
        const SCARD_IO_REQUEST* pci = proto == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        const LONG rv = SCardTransmit(h, pci, apdu.data(), apdu.size(), nullptr, out.data(), &len);
        EXPECT_EQ(rv, SCARD_S_SUCCESS) << pcsc_stringify_error(rv);
        out.resize(rv == SCARD_S_SUCCESS ? len : 0);
        return out;
    }

    // Connects, checks the answer to reset and selects the card's payment
    // application; returns the FCI with its status word.
    Bytes ConnectAndSelect(const Card& card, DWORD wantProto) {
        SCARDHANDLE h = 0;
        DWORD proto = 0;
        LONG rv = SCardConnect(ctx_, reader_.c_str(), SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &proto);
        EXPECT_EQ(rv, SCARD_S_SUCCESS) << pcsc_stringify_error(rv) << Log();
        if (rv != SCARD_S_SUCCESS)
            return {};
        EXPECT_EQ(proto, wantProto);
        Bytes atr(MAX_ATR_SIZE);
        DWORD atrLen = atr.size(), state = 0, p = 0, nameLen = 0;
        EXPECT_EQ(SCardStatus(h, nullptr, &nameLen, &state, &p, atr.data(), &atrLen),
                  SCARD_S_SUCCESS);
        atr.resize(atrLen);
        EXPECT_EQ(atr, card.Answer());

        Bytes select{0x00, 0xA4, 0x04, 0x00, static_cast<uint8_t>(card.apps[0].aid.size())};
        select.insert(select.end(), card.apps[0].aid.begin(), card.apps[0].aid.end());
        select.push_back(0x00);
        Bytes fci = Transmit(h, proto, select);
        if (proto == SCARD_PROTOCOL_T0) {
            // T=0: the application fetches the answer itself.
            EXPECT_EQ(fci.size(), 2u);
            EXPECT_EQ(fci.empty() ? 0 : fci[0], 0x61);
            if (fci.size() == 2 && fci[0] == 0x61)
                fci = Transmit(h, proto, Bytes{0x00, 0xC0, 0x00, 0x00, fci[1]});
        }
        SCardDisconnect(h, SCARD_LEAVE_CARD);
        return fci;
    }

    std::string work_, port_, reader_;
    std::unique_ptr<Emulator> emu_;
    std::unique_ptr<Pcscd> pcscd_;
    SCARDCONTEXT ctx_ = 0;
};

void ExpectFci(const Bytes& fci) {
    ASSERT_GE(fci.size(), 4u);
    EXPECT_EQ(fci[0], 0x6F) << "FCI template";
    EXPECT_EQ(fci[fci.size() - 2], 0x90);
    EXPECT_EQ(fci[fci.size() - 1], 0x00);
}

// The reader named by a link to its serial device (the bridge writes the
// configuration: the motor codes stay off). A client of another user may not
// move the card. The adapter is pulled out and another put in under the
// same link: the card reads absent meanwhile, then present again and its
// chip answers, with the same pcscd.
TEST_F(PcscdTest, MotorCodesStayOffForOthersAndAReplugWithoutRestartBringsTheReaderBack) {
    const std::string link = work_ + "/tty";
    Card t0 = Card::Default();
    t0.chip = ChipKind::ProcessorT0;
    port_ = StartEmulator(quillon::emu::CardPosition::Inside, t0);
    ASSERT_EQ(::symlink(port_.c_str(), link.c_str()), 0);
    ASSERT_TRUE(StartPcscd(link)) << Log();
    ASSERT_TRUE(WaitForReader()) << Log();
    ASSERT_TRUE(WaitState(SCARD_STATE_PRESENT) & SCARD_STATE_PRESENT) << Log();

    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        SCARDCONTEXT ctx = 0;
        LONG rv = ::setgroups(0, nullptr) | ::setgid(nobody->pw_gid) | ::setuid(nobody->pw_uid);
        if (rv != 0 || SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != 0)
            ::_exit(2);
        (void)Control(ctx, reader_, QUILLON_CTL_RETAIN, rv);
        ::_exit(rv == SCARD_E_UNSUPPORTED_FEATURE ? 0 : 3);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "2: no setuid or no PC/SC, 3: the control code was not refused";
    EXPECT_EQ(emu_->Position(), quillon::emu::CardPosition::Inside);
    EXPECT_EQ(emu_->GetCounters().retains, 0u);

    emu_->Stop(); // pulled out
    EXPECT_TRUE(WaitState(SCARD_STATE_EMPTY) & SCARD_STATE_EMPTY) << "absent while unplugged";
    port_ = StartEmulator(quillon::emu::CardPosition::Inside, t0);
    const auto plugged = Clock::now();
    const std::string fresh = link + ".new";
    ASSERT_EQ(::symlink(port_.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitState(SCARD_STATE_PRESENT) & SCARD_STATE_PRESENT) << Log();
    ExpectFci(ConnectAndSelect(t0, SCARD_PROTOCOL_T0));
    EXPECT_LT(Clock::now() - plugged, std::chrono::seconds(10));
    EXPECT_TRUE(pcscd_->Running());
    const std::string log = Log();
    EXPECT_EQ(log.find("gone (1223)"), log.rfind("gone (1223)")) << "the loss is told once";
}

} // namespace
