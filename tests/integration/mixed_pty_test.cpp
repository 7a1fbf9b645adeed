// Two host processes of eight threads each, every export mixed in (closing
// and opening again included), against one emulated reader on a
// pseudo-terminal. Whoever holds the port, and whichever thread of it has
// the named lock, the reader must see whole frames, one exchange after the
// other; every call must answer in time and agree with its record.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "emulator.h"
#include "support/test_env.h"

namespace emu = quillon::emu;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 2;
constexpr int kThreads = 8;
constexpr int kCallsPerThread = 60;
// Far beyond what the run takes even under ThreadSanitizer on a loaded
// machine; past it the test fails.
constexpr auto kWholeRunBound = std::chrono::seconds(90);

// One host process, its standard output and error gathered through a pipe.
struct Host {
    FILE* out = nullptr;
    std::string text;
    int status = -1;
};

FILE* Spawn(int seed) {
    const std::string command = "'" + std::string(QUILLON_MIXED_CLIENT) + "' " +
                                std::to_string(kThreads) + " " + std::to_string(kCallsPerThread) +
                                " " + std::to_string(seed) + " 2>&1";
    return popen(command.c_str(), "r");
}

// Gathers each host's output until it ends (a host's own watchdog ends it when a call
// hangs; its output fits the pipe, so the others never wait on it). False when the run
// took longer than the bound.
bool Gather(std::vector<Host>& hosts) {
    const auto deadline = Clock::now() + kWholeRunBound;
    for (Host& h : hosts) {
        if (!h.out)
            continue;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, h.out)) > 0)
            h.text.append(buf, n);
        h.status = pclose(h.out);
    }
    return Clock::now() <= deadline;
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

    std::vector<Host> hosts(kProcesses);
    for (int i = 0; i < kProcesses; ++i) {
        hosts[size_t(i)].out = Spawn(i + 1);
        EXPECT_NE(nullptr, hosts[size_t(i)].out) << std::strerror(errno);
    }
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
            << "a host ended with status " << h.status << "\n"
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
