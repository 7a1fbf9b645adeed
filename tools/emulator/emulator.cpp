#include "emulator.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace quillon::emu {

namespace {
[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

constexpr int kTickMs = 5; // how often time advances without bytes
} // namespace

void Fd::Reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Emulator::Emulator(Family family, const Options& options)
    : engine_(MakeEngine(family, options)), t0_(std::chrono::steady_clock::now()) {}

Emulator::~Emulator() {
    Stop();
}

Millis Emulator::Now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0_)
        .count();
}

std::string Emulator::Start() {
    if (thread_.joinable())
        return slave_;
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.Get() < 0 || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0)
        Fail("posix_openpt");
    char name[128] = {};
    if (::ptsname_r(master.Get(), name, sizeof name) != 0)
        Fail("ptsname_r");
    // Holding the slave open keeps the master readable while the host
    // closes and reopens its port.
    Fd hold(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (hold.Get() < 0)
        Fail("open slave");
    termios tio{};
    if (::tcgetattr(hold.Get(), &tio) == 0) {
        ::cfmakeraw(&tio);
        (void)::tcsetattr(hold.Get(), TCSANOW, &tio);
    }
    int flags = ::fcntl(master.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) != 0)
        Fail("fcntl");
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        Fail("pipe2");
    wakeRead_.Reset(pipeFds[0]);
    wakeWrite_.Reset(pipeFds[1]);
    master_ = std::move(master);
    slaveHold_ = std::move(hold);
    slave_ = name;
    thread_ = std::thread(&Emulator::Run, this);
    return slave_;
}

void Emulator::Stop() {
    if (!thread_.joinable())
        return;
    const uint8_t one = 1;
    (void)!::write(wakeWrite_.Get(), &one, 1);
    thread_.join();
    master_.Reset();
    slaveHold_.Reset();
    wakeRead_.Reset();
    wakeWrite_.Reset();
}

void Emulator::Run() {
    uint8_t buf[4096];
    for (;;) {
        pollfd fds[2] = {{master_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
        const int n = ::poll(fds, 2, kTickMs);
        if (n < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        Bytes out;
        if (n > 0 && (fds[0].revents & POLLIN)) {
            const ssize_t got = ::read(master_.Get(), buf, sizeof buf);
            if (got > 0) {
                std::lock_guard<std::mutex> lock(mu_);
                out = engine_->Feed(buf, static_cast<size_t>(got), Now());
                fed_.notify_all();
            }
        } else if (n > 0) {
            ::usleep(kTickMs * 1000); // hang-up or error: do not spin
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            engine_->Advance(Now());
        }
        if (!out.empty())
            WriteAll(out);
    }
}

void Emulator::WriteAll(const Bytes& out) {
    size_t done = 0;
    int stalls = 0;
    while (done < out.size() && stalls < 200) {
        const ssize_t w = ::write(master_.Get(), out.data() + done, out.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            stalls = 0;
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd p{master_.Get(), POLLOUT, 0};
        (void)::poll(&p, 1, 10);
        ++stalls;
    }
}

void Emulator::InsertCard() {
    With([this](Engine& e) { e.Model().InsertCard(Now()); });
}
bool Emulator::LetCardIn() {
    return With([](Engine& e) { return e.Model().LetCardIn(); });
}
bool Emulator::RemoveCard() {
    return With([](Engine& e) { return e.Model().RemoveCard(); });
}
void Emulator::PlaceCard(CardPosition p) {
    With([p](Engine& e) { e.Model().PlaceCard(p); });
}
CardPosition Emulator::Position() {
    return With([](Engine& e) { return e.Model().Position(); });
}
void Emulator::SetCard(const Card& card) {
    With([&card](Engine& e) { e.Model().SetCard(card); });
}
void Emulator::Jam(bool on) {
    With([on](Engine& e) { e.Model().jam = on; });
}
void Emulator::SetFaults(const Faults& f) {
    With([&f](Engine& e) { e.ReaderFaults() = f; });
}
void Emulator::SetModuleFaults(const Faults& f) {
    With([&f](Engine& e) {
        if (AuxModule* m = e.Module())
            m->faults = f;
    });
}
void Emulator::SetModulePresent(bool present) {
    With([present](Engine& e) {
        if (AuxModule* m = e.Module())
            m->present = present;
    });
}
void Emulator::ForceReply(const std::string& command, char kind, const std::string& status,
                          int times) {
    With([&](Engine& e) { e.ForceReply(command, kind, status, times); });
}
Counters Emulator::GetCounters() {
    return With([](Engine& e) { return e.Model().counters; });
}
Stats Emulator::GetStats() {
    return With([](Engine& e) { return e.stats(); });
}
std::vector<Received> Emulator::Log() {
    return With([](Engine& e) { return e.Log(); });
}
std::vector<std::string> Emulator::Commands() {
    return With([](Engine& e) {
        std::vector<std::string> v;
        for (const Received& r : e.Log())
            if (!r.module)
                v.push_back(r.text);
        return v;
    });
}
void Emulator::ClearLog() {
    With([](Engine& e) { e.ClearLog(); });
}

bool Emulator::WaitForCommands(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return fed_.wait_for(lock, timeout, [&] { return engine_->Log().size() >= count; });
}

} // namespace quillon::emu
