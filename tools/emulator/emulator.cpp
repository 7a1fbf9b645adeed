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
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

Emulator::Emulator(Family family, const Options& options)
    : m_engine(MakeEngine(family, options)), m_t0(std::chrono::steady_clock::now()) {}

Emulator::~Emulator() {
    Stop();
}

Millis Emulator::Now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_t0)
        .count();
}

std::string Emulator::Start() {
    if (m_thread.joinable())
        return m_slave;
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
    m_wakeRead.Reset(pipeFds[0]);
    m_wakeWrite.Reset(pipeFds[1]);
    m_master = std::move(master);
    m_slaveHold = std::move(hold);
    m_slave = name;
    m_thread = std::thread(&Emulator::Run, this);
    return m_slave;
}

void Emulator::Stop() {
    if (!m_thread.joinable())
        return;
    const uint8_t one = 1;
    (void)!::write(m_wakeWrite.Get(), &one, 1);
    m_thread.join();
    m_master.Reset();
    m_slaveHold.Reset();
    m_wakeRead.Reset();
    m_wakeWrite.Reset();
}

void Emulator::Run() {
    uint8_t buf[4096];
    for (;;) {
        pollfd fds[2] = {{m_master.Get(), POLLIN, 0}, {m_wakeRead.Get(), POLLIN, 0}};
        const int n = ::poll(fds, 2, kTickMs);
        if (n < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        Bytes out;
        if (n > 0 && (fds[0].revents & POLLIN)) {
            const ssize_t got = ::read(m_master.Get(), buf, sizeof buf);
            if (got > 0) {
                std::lock_guard<std::mutex> lock(m_mu);
                out = m_engine->Feed(buf, static_cast<size_t>(got), Now());
                m_fed.notify_all();
            }
        } else if (n > 0) {
            ::usleep(kTickMs * 1000); // hang-up or error: do not spin
        }
        {
            std::lock_guard<std::mutex> lock(m_mu);
            m_engine->Advance(Now());
        }
        if (!out.empty())
            WriteAll(out);
    }
}

void Emulator::WriteAll(const Bytes& out) {
    size_t done = 0;
    int stalls = 0;
    while (done < out.size() && stalls < 200) {
        const ssize_t w = ::write(m_master.Get(), out.data() + done, out.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            stalls = 0;
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd p{m_master.Get(), POLLOUT, 0};
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
    return With([](Engine& e) { return e.tStats(); });
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
    std::unique_lock<std::mutex> lock(m_mu);
    return m_fed.wait_for(lock, timeout, [&] { return m_engine->Log().size() >= count; });
}

} // namespace quillon::emu
