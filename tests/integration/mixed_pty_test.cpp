// Two host processes of eight threads each, every export mixed in (closing
// and opening again included), against one emulated reader on a
// pseudo-terminal. Whoever holds the port, and whichever thread of it has
// the named lock, the reader must see whole frames, one exchange after the
// other; every call must answer in time and agree with its record.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "emulator.h"
#include "support/scoped_var.h"
#include "support/test_env.h"

extern char** environ;

namespace emu = quillon::emu;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 2;
constexpr int kThreads = 8;
constexpr int kCallsPerThread = 60;
// Far beyond what the run takes even under ThreadSanitizer on a loaded
// machine; past it the hosts are killed and the test fails.
constexpr auto kWholeRunBound = std::chrono::seconds(90);

// One host process, its standard output and error gathered through a pipe.
struct Host {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    int status = -1;
};

bool Spawn(Host& h, int seed) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    const std::string threads = std::to_string(kThreads), calls = std::to_string(kCallsPerThread),
                      seedText = std::to_string(seed);
    char* argv[] = {const_cast<char*>(QUILLON_MIXED_CLIENT), const_cast<char*>(threads.c_str()),
                    const_cast<char*>(calls.c_str()), const_cast<char*>(seedText.c_str()), nullptr};
    const int rc = posix_spawn(&h.pid, QUILLON_MIXED_CLIENT, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        errno = rc;
        return false;
    }
    h.out = fds[0];
    return true;
}

// Gathers the hosts' output until all of them have closed it (ended) or the
// bound has passed; then kills whatever still runs and reaps every one.
// False when the bound passed.
bool Gather(std::vector<Host>& hosts) {
    const auto deadline = Clock::now() + kWholeRunBound;
    for (;;) {
        std::vector<pollfd> fds;
        for (const Host& h : hosts)
            if (h.out >= 0)
                fds.push_back({h.out, POLLIN, 0});
        if (fds.empty())
            break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (const pollfd& p : fds) {
            if (p.revents == 0)
                continue;
            for (Host& h : hosts) {
                if (h.out != p.fd)
                    continue;
                char buf[4096];
                const ssize_t n = read(h.out, buf, sizeof buf);
                if (n > 0) {
                    h.text.append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(h.out);
                    h.out = -1;
                }
            }
        }
    }
    bool inTime = true;
    for (Host& h : hosts) {
        if (h.out >= 0) {
            inTime = false;
            kill(h.pid, SIGKILL);
            close(h.out);
            h.out = -1;
        }
        if (h.pid > 0)
            waitpid(h.pid, &h.status, 0);
    }
    return inTime;
}

// The "code:count" pairs of a host's totals line.
std::map<int, long> Codes(const std::string& text) {
    std::map<int, long> codes;
    const size_t at = text.find(" codes");
    if (at == std::string::npos)
        return codes;
    std::istringstream in(text.substr(at + 6));
    std::string pair;
    while (in >> pair) {
        const size_t colon = pair.find(':');
        if (colon != std::string::npos)
            codes[std::stoi(pair.substr(0, colon))] += std::stol(pair.substr(colon + 1));
    }
    return codes;
}

} // namespace

TEST(ReaderOverPty, TwoProcessesOfEightThreadsShareOneReader) {
    emu::Options opt;
    opt.autoInsert = true; // a customer brings a card to every entry command
    emu::Emulator reader(emu::Family::A, opt);
    const std::string port = reader.Start();
    TestEnv env("[CARDREADER]\nPort=" + port +
                "\n[CardReaderType]\nCardReaderType=1\n[DllExtFunc]\nRemainDays=1\n");
    ScopedVar lockDir("QUILLON_LOCK_DIR", env.dir());

    std::vector<Host> hosts(kProcesses);
    for (int i = 0; i < kProcesses; ++i)
        EXPECT_TRUE(Spawn(hosts[static_cast<size_t>(i)], i + 1)) << std::strerror(errno);
    const bool inTime = Gather(hosts);
    const emu::Stats s = reader.GetStats();
    reader.Stop();

    std::string all;
    for (const Host& h : hosts)
        all += h.text;
    std::printf("%sreader: frames %d, replies %d\n", all.c_str(), s.frames, s.replies);
    EXPECT_TRUE(inTime) << "the hosts did not finish within " << kWholeRunBound.count() << " s\n"
                        << all;
    std::map<int, long> codes;
    for (const Host& h : hosts) {
        EXPECT_TRUE(WIFEXITED(h.status) && WEXITSTATUS(h.status) == 0)
            << "host " << h.pid << " ended with status " << h.status << "\n"
            << h.text;
        for (const auto& [code, n] : Codes(h.text))
            codes[code] += n;
    }

    // The reader's side: every frame whole, each reply fetched once, in turn.
    EXPECT_GT(s.frames, 0);
    EXPECT_EQ(0, s.badFrames);
    EXPECT_EQ(0, s.cutFrames);
    EXPECT_EQ(0, s.strayBytes);
    EXPECT_EQ(0, s.outOfTurn);
    EXPECT_EQ(0, s.aborts);
    EXPECT_EQ(s.frames, s.replies);
    // The hosts' side: no reply went missing or came garbled (an exchange
    // crossed by another's would end so).
    for (int code : {1221, 1222, 1225, 1226, 1299})
        EXPECT_EQ(0, codes[code]) << "code " << code << "\n" << all;
    EXPECT_GT(codes[1201] + codes[1202] + codes[1203], 0) << all;
}
