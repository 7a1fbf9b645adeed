// The named lock between threads and processes (POSIX): where its file lives,
// who may take it, what a call does when it cannot have it, and fork().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <grp.h>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "api/fake_driver.h"
#include "api/idc_manager.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "quillon/idc.h"
#include "support/records.h"
#include "support/scoped_var.h"
#include "support/scripted_line.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

using namespace quillon;

namespace {
const char* kLockFile = "quillon-mutex-CARDREADER.lock";

// The library's clock jumps 250 ms at every look: a wait with a limit runs
// out after a few looks, without real waiting.
class JumpingClock {
public:
    JumpingClock() : m_previous(quillon::SetClockSource([this] { return m_now += 250; })) {}
    ~JumpingClock() { quillon::SetClockSource(m_previous); }
    uint64_t uiNow() const { return m_now.load(); }

private:
    std::atomic<uint64_t> m_now{1000000};
    quillon::ClockSource m_previous;
};

// A child process that runs fn and ends with its result.
class OChild {
public:
    explicit OChild(const std::function<int()>& fn) {
        int watch[2];
        if (pipe(watch) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(watch[0]);
            _exit(fn());
        }
        close(watch[1]);
        m_watch = watch[0];
    }
    // The child's exit code; -1 when it did not end within ms (it is then killed).
    int iWait(int ms = 20000) {
        if (m_pid <= 0)
            return -2;
        pollfd p{m_watch, POLLIN, 0};
        const bool ended = poll(&p, 1, ms) == 1; // the child's end closes the pipe
        if (!ended)
            kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        close(m_watch);
        m_pid = -1;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~OChild() { iWait(0); }

private:
    pid_t m_pid = -1;
    int m_watch = -1;
};

// Another process holding a named lock ("CARDREADER" unless told) until told
// to let go.
class OtherHolder {
public:
    // pPrepare runs in the child before it takes the lock.
    explicit OtherHolder(std::function<void()> prepare = {}, std::string name = "CARDREADER") {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0)
            return;
        m_child = std::make_unique<OChild>([&] {
            close(ready[0]);
            close(release[1]);
            if (prepare)
                prepare();
            quillon::ONamedMutex mutex(name.c_str());
            char c = 1;
            if (!mutex.bLock() || write(ready[1], &c, 1) != 1)
                return 3;
            (void)!read(release[0], &c, 1); // a byte or the test's end
            mutex.vUnlock();
            return 0;
        });
        close(ready[1]);
        close(release[0]);
        m_release = release[1];
        char c;
        m_bHolding = read(ready[0], &c, 1) == 1;
        close(ready[0]);
    }
    ~OtherHolder() { vRelease(); }
    bool bHolding() const { return m_bHolding; }
    void vRelease() {
        if (m_release >= 0)
            close(m_release);
        m_release = -1;
    }
    // Killed while holding the lock: it never lets go itself.
    void vDie() { m_child->iWait(0); }

private:
    std::unique_ptr<OChild> m_child;
    int m_release = -1;
    bool m_bHolding = false;
};

// True once the call, still running, waits for the lock another process holds.
template <class T> bool WaitsForTheOtherHolder(std::future<T>& call) {
    for (int i = 0; i < 2000; ++i)
        if (call.wait_for(std::chrono::milliseconds(10)) == std::future_status::timeout &&
            quillon::NamedLockWaitsNow() > 0)
            return true;
    return false;
}

// This process becomes the user "nobody"; false when the machine does not let it.
bool BecomeNobody() {
    const passwd* nobody = getpwnam("nobody");
    return nobody && setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
           setuid(nobody->pw_uid) == 0;
}

// The lock file's path in folder d.
std::string At(const std::string& d) {
    return d + "/" + kLockFile;
}

// The folder d, once the thing planted in it (rc: how that went) stands.
std::string Planted(const std::string& d, int rc) {
    EXPECT_EQ(0, rc);
    return d;
}

void ExpectRefused(const tDevReturn& r) {
    EXPECT_EQ(Codes(1223, 1), Codes(r));
}

// A family-A configuration, the lock in the test's folder, a scripted line
// and a manager whose driver is the fake.
struct LockTest : ::testing::Test {
    TestEnv env{"[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=1\n"};
    ScopedScriptedLine line;
    OIdcManager manager;
    FakeDriver fake;
    tIdcStatus st;
    // Operations that take the lock, by name, on the manager m.
    std::vector<std::pair<const char*, std::function<int(tDevReturn*)>>> Calls(OIdcManager& m) {
        return {{"EjectCard", [&m](tDevReturn* r) { return m.EjectCard(r); }},
                {"GetStatus", [&m, this](tDevReturn* r) { return m.GetStatus(&st, r); }},
                {"SetCommPara", [&m](tDevReturn* r) { return m.SetCommPara(r); }}};
    }
    void SetUp() override { manager.vSetActiveDriver(&fake); }
};
} // namespace

// The lock file goes where QUILLON_LOCK_DIR says, whatever each process's own
// TMPDIR. While another process holds it, a call with LockWaitMs gives up
// after that time with 1223 and sends nothing; once it is free the call goes
// through.
TEST_F(LockTest, AWaitWithALimitGivesUpWith1223AndSendsNothing) {
    ScopedVar tmp("TMPDIR", "/tmp");
    OtherHolder other([&] { setenv("TMPDIR", "/var/tmp", 1); });
    ASSERT_TRUE(other.bHolding());
    EXPECT_EQ(0, access(At(env.dir()).c_str(), F_OK));
    // A changed limit holds from the next call on: the remembered value
    // goes with the file it came from.
    for (const uint64_t limit : {3000u, 500u}) {
        env.vWriteConfig("[CARDREADER]\nPort=/dev/scripted\nLockWaitMs=" + std::to_string(limit) +
                         "\n[CardReaderType]\nCardReaderType=1\n");
        JumpingClock clock;
        for (const auto& call : Calls(manager)) {
            SCOPED_TRACE(call.first);
            const uint64_t start = clock.uiNow();
            tDevReturn r = Record(0);
            EXPECT_EQ(1, call.second(&r));
            ExpectRefused(r);
            EXPECT_GE(clock.uiNow() - start, limit);
            EXPECT_LE(clock.uiNow() - start, limit + 4 * 250u);
        }
    }
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_TRUE(line->events.empty()); // no selection, no port, nothing sent

    other.vRelease();
    tDevReturn r = Record(0);
    EXPECT_EQ(0, manager.EjectCard(&r));
    EXPECT_EQ(std::vector<std::string>{"EjectCard"}, fake.calls);
}

// Without QUILLON_LOCK_DIR every process looks for the lock in the packaged
// folder (/run/quillon), else the system's lock folder (/run/lock), else
// /tmp, whatever its own TMPDIR says: two processes with different TMPDIRs
// meet at one lock. A lock name of the test's own keeps it apart from every
// real "CARDREADER" on the machine. A wait with a limit ends on its deadline,
// not a poll step after it: the pauses between two tries are cut at the
// deadline (pauses run on the clock). A holder that dies lets go.
TEST(Lock, ProcessesOfAnyTmpdirShareOneLockUntilTheHolderDies) {
    TestEnv env;
    std::string folder = "/tmp";
    for (const char* pFolder : {"/run/quillon", "/run/lock"}) {
        struct stat st {};
        if (stat(pFolder, &st) == 0 && S_ISDIR(st.st_mode)) {
            folder = pFolder;
            break;
        }
    }
    const std::string name = "lock-test-" + std::to_string(getpid());
    const std::string file = "quillon-mutex-" + name + ".lock", path = folder + "/" + file;
    ScopedVar dir("QUILLON_LOCK_DIR", nullptr);
    ScopedVar tmp("TMPDIR", env.dir());
    OtherHolder other([] { setenv("TMPDIR", "/var/tmp", 1); }, name);
    ASSERT_TRUE(other.bHolding());
    EXPECT_EQ(0, access(path.c_str(), F_OK)) << path;
    VirtualClock clock;
    static VirtualClock* s_pClock;
    s_pClock = &clock;
    const SleepHook previous = SetSleepHook([](unsigned uiMs) { s_pClock->vAdvance(uiMs); });
    quillon::ONamedMutex mutex(name.c_str());
    for (const uint32_t limit : {1u, 15u, 25u}) {
        const uint64_t start = clock.uiNow();
        EXPECT_FALSE(mutex.bLock(limit)) << "the other process's lock was not seen";
        EXPECT_EQ(limit, clock.uiNow() - start);
    }
    other.vDie(); // killed while holding the lock
    // A host without standard input: the lock file gets descriptor 0.
    const int in = dup(0);
    close(0);
    quillon::ONamedMutex fresh(name.c_str());
    EXPECT_TRUE(fresh.bLock(25)) << "the dead holder's lock was not released";
    fresh.vUnlock();
    dup2(in, 0);
    close(in);
    SetSleepHook(previous);
    EXPECT_FALSE(env.bExists(file));
    unlink(path.c_str());
}

// Without LockWaitMs (or with 0, or once the file that held it is removed)
// a call waits for the holder as long as it takes, however far the clock
// runs. The host must still be able to shut down: IDC_CloseComm from another
// thread ends that wait - the call gives up with 1223 and sends nothing - and
// is not held up for as long as the other process pleases.
TEST_F(LockTest, WithoutALimitTheWaitGoesOnUntilTheHolderLetsGoOrCloseComm) {
    const struct {
        const char* setting;
        bool closeComm; // the wait is ended by IDC_CloseComm, else by the holder
    } rows[] = {{"", false}, {"LockWaitMs=0\n", true}, {"LockWaitMs=500\n", false}};
    for (const auto& row : rows) { // the last one removes the configuration
        SCOPED_TRACE(row.setting);
        env.vWriteConfig(std::string("[CARDREADER]\nPort=/dev/scripted\n") + row.setting +
                         "[CardReaderType]\nCardReaderType=1\n");
        tDevReturn r = Record(0);
        ASSERT_EQ(0, IDC_SetCommPara(&r));
        OtherHolder other;
        ASSERT_TRUE(other.bHolding());
        JumpingClock clock;
        if (std::string(row.setting).find("500") != std::string::npos) {
            EXPECT_EQ(1, IDC_EjectCard(&r)); // gives up after 500 ms
            ASSERT_EQ(0, ::unlink(env.configPath().c_str()));
        }
        line->vClear();
        tDevReturn waited = Record(0);
        auto call = std::async(std::launch::async, [&] { return IDC_EjectCard(&waited); });
        EXPECT_TRUE(WaitsForTheOtherHolder(call)) << "the call did not wait for the other process";
        // A limit would have run out after two looks at the clock (20 ms).
        EXPECT_EQ(std::future_status::timeout, call.wait_for(std::chrono::milliseconds(200)));
        if (row.closeComm) {
            auto close = std::async(std::launch::async, [] { return IDC_CloseComm(); });
            const bool closed =
                close.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            EXPECT_TRUE(closed) << "IDC_CloseComm waits for a holder that never lets go";
            if (closed) {
                EXPECT_EQ(0, close.get());
                EXPECT_EQ(1, call.get());
                ExpectRefused(waited);
                EXPECT_TRUE(line->Writes().empty()); // nothing sent
            }
            other.vRelease(); // lets a call still waiting through, so the test can end
        } else {
            other.vRelease();
            ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(20)));
            call.get();
            EXPECT_FALSE(line->Writes().empty()) << "the call did not go on to the reader";
        }
        IDC_CloseComm();
    }
}

// Where the lock file cannot be had - no folder, or something planted at its
// path other than a plain file that only its owner's group may open - every
// call fails with 1223 without sending anything, and the planted thing is
// left as it was.
TEST_F(LockTest, ALockThatCannotBeHadRefusesTheCall) {
    // Each row plants its thing in the lock folder d and gives the folder to use.
    using S = const std::string&;
    struct Row {
        const char* what;
        std::function<std::string(S d, S victim)> plant;
    } rows[] = {
        {"no such folder", [](S d, S) { return d + "/none"; }},
        {"folder is a file", [](S, S victim) { return victim; }},
        {"link to a file", [](S d, S v) { return Planted(d, symlink(v.c_str(), At(d).c_str())); }},
        {"dangling link",
         [](S d, S) { return Planted(d, symlink((d + "/nothing").c_str(), At(d).c_str())); }},
        {"second name of a file",
         [](S d, S v) { return Planted(d, link(v.c_str(), At(d).c_str())); }},
        {"folder", [](S d, S) { return Planted(d, mkdir(At(d).c_str(), 0700)); }},
        {"fifo", [](S d, S) { return Planted(d, mkfifo(At(d).c_str(), 0600)); }},
        {"another user's file open to all",
         [](S d, S) {
             { std::ofstream(At(d)) << ""; }
             const passwd* nobody = getpwnam("nobody");
             if (geteuid() != 0 || !nobody || chown(At(d).c_str(), nobody->pw_uid, 0) != 0)
                 return std::string(); // needs root: not tried here
             return Planted(d, chmod(At(d).c_str(), 0666));
         }},
    };
    const std::string victim = env.dir() + "/victim";
    { std::ofstream(victim) << "secret"; }
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string locks = env.dir() + "/" + row.what;
        ASSERT_EQ(0, mkdir(locks.c_str(), 0700));
        const std::string lockDir = row.plant(locks, victim);
        if (lockDir.empty())
            continue;
        ScopedVar dir("QUILLON_LOCK_DIR", lockDir);
        OIdcManager planted; // its lock in that folder
        planted.vSetActiveDriver(&fake);
        for (const auto& call : Calls(planted)) {
            tDevReturn r = Record(0);
            EXPECT_EQ(1, call.second(&r));
            ExpectRefused(r);
        }
        EXPECT_TRUE(fake.calls.empty());
        EXPECT_TRUE(line->events.empty());
        struct stat st2 {};
        ASSERT_EQ(0, stat(victim.c_str(), &st2));
        EXPECT_EQ(0600u, st2.st_mode & 07777);
        EXPECT_EQ("secret", env.sReadFile("victim"));
    }
}

// The lock file stays open between calls; one removed (a cleaner of old
// files) or replaced meanwhile is not locked any more: every process locks
// the file the path names now. The lock file is a plain file of mode 0660
// whatever the umask; one left more open (0666) is closed down to 0660.
TEST_F(LockTest, ALockFileRemovedOrReplacedBetweenCallsIsNotLockedAlone) {
    const std::string path = At(env.dir());
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "removed");
        quillon::ONamedMutex first("CARDREADER");
        ASSERT_TRUE(first.bLock());
        first.vUnlock();
        if (replaced) {
            { std::ofstream(path + ".new") << ""; }
            ASSERT_EQ(0, chmod((path + ".new").c_str(), 0666));
            ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
        } else {
            ASSERT_EQ(0, unlink(path.c_str()));
        }
        quillon::ONamedMutex second("CARDREADER");
        const mode_t oldMask = umask(077);
        const bool locked = second.bLock();
        umask(oldMask);
        ASSERT_TRUE(locked);
        struct stat st {};
        ASSERT_EQ(0, lstat(path.c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(0660u, st.st_mode & 07777);
        EXPECT_FALSE(first.bLock(30));
        second.vUnlock();
        EXPECT_TRUE(first.bLock(30));
        first.vUnlock();
    }
}

// Another user (not in the file's group) cannot even open root's lock file,
// so cannot hold it and hang every call. In a folder anyone may write
// (/run/lock), a lock file that another user made and holds is never waited
// on, though the caller (root) could open it: 1223 at once, and the trace
// says whose file it is. Needs root to become "nobody".
TEST_F(LockTest, AnotherUserNeitherTakesTheLockNorHoldsUpACall) {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and a user \"nobody\" to try as another user";
    env.vWriteConfig("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=1\n"
                     "[DllExtFunc]\nRemainDays=1\n");
    const std::string locks = env.dir() + "/locks";
    ASSERT_EQ(0, chmod(env.dir().c_str(), 0711)); // the folder itself lets anyone through
    ASSERT_EQ(0, mkdir(locks.c_str(), 0700));
    ASSERT_EQ(0, chmod(locks.c_str(), 01777));
    ScopedVar lockDir("QUILLON_LOCK_DIR", locks);
    {
        quillon::ONamedMutex mutex("CARDREADER");
        ASSERT_TRUE(mutex.bLock());
        mutex.vUnlock();
    }
    OChild child([&] {
        if (!BecomeNobody())
            return 10;
        struct stat st {};
        if (stat(At(locks).c_str(), &st) != 0)
            return 11; // the file is not even reachable: proves nothing
        const int fd = open(At(locks).c_str(), O_RDONLY);
        if (fd >= 0)
            return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 12 : 13;
        if (errno != EACCES)
            return 14;
        quillon::ONamedMutex mutex("CARDREADER");
        return mutex.bLock(1) ? 15 : 0;
    });
    EXPECT_EQ(0, child.iWait())
        << "10: no setuid, 11: out of reach, 12: took it, 13/14: opened it or another error, 15: "
           "locked";

    tDevReturn r = Record(0);
    ASSERT_EQ(0, IDC_SetCommPara(&r)); // opens the trace
    ASSERT_EQ(0, unlink(At(locks).c_str()));
    OtherHolder squatter([] {
        if (!BecomeNobody())
            _exit(5);
        umask(077);
    });
    ASSERT_TRUE(squatter.bHolding()) << "\"nobody\" could not make and hold the lock file";
    line->vClear();

    auto call = std::async(std::launch::async, [] {
        const auto start = std::chrono::steady_clock::now();
        tDevReturn w = Record(0);
        const int rc = IDC_EjectCard(&w);
        return std::make_tuple(rc, w.iCode2, std::chrono::steady_clock::now() - start);
    });
    const bool ended = call.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    squatter.vRelease(); // lets a call that waits through, so that the test can end
    ASSERT_TRUE(ended) << "the call waits for another user's lock file";
    const auto [rc, code, took] = call.get();
    EXPECT_EQ(std::make_pair(1, 1223), std::make_pair(rc, code));
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_TRUE(line->events.empty()); // nothing sent
    const std::string owner = "belongs to user " + std::to_string(nobody->pw_uid) + " (nobody)";
    const std::string trace = env.sReadFile("Vantrel/CARDREADER.log");
    EXPECT_NE(std::string::npos, trace.find(owner));
    EXPECT_NE(std::string::npos, trace.find("->Leave EjectCard( 1223)")) << trace; // its outcome
    IDC_CloseComm();
}

// A host whose other thread is inside a call when it forks: the child's first
// call must not hang on the in-process locks that thread held, nor go ahead
// on the lock file descriptor the two processes share: it waits for the real
// holder, the parent's thread, to let go. (Threads and processes that do not
// fork from each other: the mixed load of the integration tests.)
TEST_F(LockTest, AForkedChildWaitsOnlyForTheRealHolder) {
    tDevReturn r = Record(0);
    ASSERT_EQ(0, IDC_SetCommPara(&r));

    // What the child does, in memory both processes share.
    struct Shared {
        std::atomic<bool> letGo, childSent, childEarly;
    };
    void* pMap =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, pMap);
    Shared* s = new (pMap) Shared{};
    // The parent's calls stop in the line until released; the child's are
    // answered by a silent reader and note whether the parent let go before.
    const pid_t parent = getpid();
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false;
    line->responder = [&](const Bytes&) -> Bytes {
        if (getpid() != parent) {
            s->childEarly = s->childEarly || !s->letGo;
            s->childSent = true;
            return {};
        }
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        return {};
    };
    std::thread holder([] {
        tIdcStatus st;
        tDevReturn w = Record(0);
        IDC_GetStatus(&st, &w);
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return inside; });
    }
    // The child tells the parent on a pipe when its call pauses between two
    // tries of the lock file (no thread there: a forked child had better
    // start none); its pauses end early once the parent lets go.
    int waits[2], letGo[2];
    ASSERT_EQ(0, pipe(waits));
    ASSERT_EQ(0, pipe(letGo));
    OChild child([&] {
        // The holder thread had the scripted line's own mutex: a matter of
        // the test's fake, not of the library.
        new (&line->mutex) std::mutex;
        static int s_waits, s_letGo;
        s_waits = waits[1], s_letGo = letGo[0];
        SetSleepHook([](unsigned uiMs) {
            const char c = 1;
            if (s_waits >= 0)
                (void)!write(s_waits, &c, 1);
            s_waits = -1; // told once
            pollfd p{s_letGo, POLLIN, 0};
            poll(&p, 1, static_cast<int>(uiMs));
        });
        tDevReturn c = Record(0);
        IDC_GetStatus(&st, &c);
        return 0;
    });
    pollfd childWaits{waits[0], POLLIN, 0};
    EXPECT_EQ(1, poll(&childWaits, 1, 20000)) << "the child never waited for the lock";
    {
        std::lock_guard<std::mutex> lock(m);
        s->letGo = true;
        release = true;
    }
    cv.notify_all();
    const char c = 1;
    EXPECT_EQ(1, write(letGo[1], &c, 1));
    holder.join();
    EXPECT_EQ(0, child.iWait()) << "the child hung";
    EXPECT_TRUE(s->childSent && !s->childEarly) << "the child went ahead while the parent held";
    line->responder = nullptr;
    IDC_CloseComm();
    munmap(pMap, sizeof(Shared));
    for (int fd : {waits[0], waits[1], letGo[0], letGo[1]})
        close(fd);
}
