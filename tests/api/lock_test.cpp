#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "api/fake_driver.h"
#include "api/idc_manager.h"
#include "platform/system.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

namespace {
long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Each operation appends "start end" to a shared file; no two may overlap.
void ExpectNoOverlap(const std::string& path, size_t expected) {
    std::ifstream in(path);
    std::vector<std::pair<long long, long long>> spans;
    long long a, b;
    while (in >> a >> b)
        spans.emplace_back(a, b);
    ASSERT_EQ(expected, spans.size());
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        EXPECT_LE(spans[i - 1].second, spans[i].first) << "operations overlapped";
}

void RecordSpan(const std::string& path, FakeDriver& fake) {
    fake.iSleepMs = 0;
    fake.onCall = [&path](const char*) {
        long long start = NowUs();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::string line = std::to_string(start) + " " + std::to_string(NowUs()) + "\n";
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(line.size()), write(fd, line.data(), line.size()));
        close(fd);
    };
}
} // namespace

TEST(Lock, ThreadsAndProcessesNeverOverlap) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n");
    const std::string spans = env.dir() + "/spans";
    ScopedScriptedLine line;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OIdcManager manager;
        FakeDriver fake;
        RecordSpan(spans, fake);
        manager.vSetActiveDriver(&fake);
        for (int i = 0; i < 4; ++i) {
            tDevReturn r{};
            manager.EjectCard(&r);
        }
        _exit(0);
    }
    {
        OIdcManager manager;
        FakeDriver fake;
        RecordSpan(spans, fake);
        manager.vSetActiveDriver(&fake);
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 3; ++i) {
                    tDevReturn r{};
                    manager.AcceptCard(1, &r);
                }
            });
        for (auto& t : threads)
            t.join();
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    ExpectNoOverlap(spans, 10);
}

TEST(Lock, AHolderThatDiesReleasesIt) {
    // A name of its own: the suite's other processes take "CARDREADER" for
    // seconds at a time.
    const std::string name = "DIES-" + std::to_string(getpid());
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        quillon::ONamedMutex mutex(name.c_str());
        mutex.vLock();
        char c = 1;
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        pause(); // killed while holding the lock
        _exit(0);
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    std::promise<void> acquired;
    std::future<void> taken = acquired.get_future();
    std::thread taker([&] {
        quillon::ONamedMutex mutex(name.c_str());
        quillon::OScopedLock lock(mutex);
        acquired.set_value();
    });
    const bool bTaken = taken.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(bTaken) << "the dead holder's lock was never free";
    bTaken ? taker.join() : taker.detach(); // stuck: the test has failed already
    close(ready[0]);
    close(ready[1]);
}

// A link planted where the lock file goes is neither followed nor changed;
// the lock moves to the fixed fallback place and still excludes.
TEST(Lock, APlantedLinkIsNotFollowed) {
    TestEnv env;
    const std::string victim = env.dir() + "/victim";
    { std::ofstream(victim) << "secret"; }
    chmod(victim.c_str(), 0600);
    ASSERT_EQ(0, symlink(victim.c_str(), (env.dir() + "/quillon-mutex-LINKTEST.lock").c_str()));
    const char* old = getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", env.dir().c_str(), 1);
    {
        quillon::ONamedMutex mutex("LINKTEST");
        quillon::OScopedLock lock(mutex);
        struct stat st {};
        ASSERT_EQ(0, stat(victim.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
        EXPECT_EQ(0, access("/tmp/quillon-mutex-LINKTEST.lock", F_OK));
    }
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}
