// The Win32 services, and the named mutex against a second process
// (quillon_mutex_helper.exe, built beside the tests).
#include <windows.h>
// winbase.h names a macro FreeModule; system.h declares a function.
#undef FreeModule

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "named_mutex_win32.h"
#include "platform/system.h"
#include "support/test_env.h"

namespace {

// A fresh name for the mutex; its events are named after it.
std::string sUnique() {
    static int counter = 0;
    return "quillon-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
}

// A manual-reset event under a name the helper opens.
struct OEvent {
    explicit OEvent(const std::string& name)
        : h(::CreateEventA(nullptr, TRUE, FALSE, name.c_str())) {}
    ~OEvent() { ::CloseHandle(h); }
    bool bWait(DWORD ms) const { return ::WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
    HANDLE h;
};

// The helper process; killed (exit code 99) if still running at the end.
struct OHelper {
    explicit OHelper(const std::string& args) {
        std::string cmd = "\"" + BinaryFolder() + "quillon_mutex_helper.exe\" " + args;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        ::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    }
    ~OHelper() {
        ::TerminateProcess(pi.hProcess, 99); // fails harmlessly once it has ended
        ::WaitForSingleObject(pi.hProcess, 10000);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    // The exit code; STILL_ACTIVE when it has not ended within ms.
    DWORD dwExitCode(DWORD ms) {
        DWORD code = 0;
        ::WaitForSingleObject(pi.hProcess, ms);
        ::GetExitCodeProcess(pi.hProcess, &code);
        return code;
    }
    PROCESS_INFORMATION pi{};
};

} // namespace

// The helper waits for the lock held here, then holds it while a thread here
// waits, until it unlocks or is killed (the mutex is abandoned).
TEST(NamedMutexWin32, AnotherProcessWaitsForTheHolderAndLetsGoOnUnlockOrDeath) {
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "unlocks");
        const std::string name = sUnique();
        OEvent started(name + "-started"), acquired(name + "-acquired"), release(name + "-release");
        quillon::ONamedMutex mutex(name.c_str());
        ASSERT_TRUE(mutex.bLock());
        OHelper helper("hold " + name + " " + name);
        ASSERT_TRUE(helper.pi.hProcess);
        ASSERT_TRUE(started.bWait(10000));
        EXPECT_FALSE(acquired.bWait(200)) << "the helper took the lock held here";
        mutex.vUnlock();
        ASSERT_TRUE(acquired.bWait(10000)) << "the helper never got the released lock";
        EXPECT_FALSE(mutex.bLock(50)) << "a wait with a limit took the helper's lock";

        std::atomic<bool> taken{false};
        std::thread taker([&] {
            quillon::OScopedLock lock(mutex);
            taken = true;
        });
        ::Sleep(200);
        EXPECT_FALSE(taken) << "locked here while the helper held it";
        killed ? void(::TerminateProcess(helper.pi.hProcess, 99)) : void(::SetEvent(release.h));
        for (int waited = 0; !taken && waited < 10000; waited += 10)
            ::Sleep(10);
        EXPECT_TRUE(taken);
        taken ? taker.join() : taker.detach(); // stuck: the test has failed already
        EXPECT_EQ(killed ? 99u : 0u, helper.dwExitCode(10000));
    }
}

TEST(NamedMutexWin32, ThreadsAndProcessesNeverOverlap) {
    TestEnv env;
    const std::string name = sUnique(), marker = env.dir() + "\\holder";
    OEvent started(name + "-started");
    quillon::ONamedMutex mutex(name.c_str());
    OHelper helper("rounds " + name + " " + name + " \"" + marker + "\" 8");
    ASSERT_TRUE(helper.pi.hProcess);
    ASSERT_TRUE(started.bWait(10000));
    std::atomic<int> overlaps{0};
    std::thread a([&] { overlaps += iOverlappedRounds(mutex, marker, 8); });
    std::thread b([&] { overlaps += iOverlappedRounds(mutex, marker, 8); });
    a.join();
    b.join();
    EXPECT_EQ(0, overlaps.load()) << "threads of this process overlapped";
    EXPECT_EQ(0u, helper.dwExitCode(30000)) << "rounds of the helper overlapped (or it hung)";
}

// The mutex is the machine-wide one. A name that an object of another kind
// holds gives no mutex: every lock then fails rather than going on alone.
TEST(NamedMutexWin32, GlobalAndRefusedWhenTheNameIsTaken) {
    const std::string name = sUnique();
    {
        quillon::ONamedMutex mutex(name.c_str());
        HANDLE h = ::OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + name).c_str());
        EXPECT_NE(nullptr, h);
        if (h)
            ::CloseHandle(h);
    }
    const std::string taken = sUnique();
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, ("Global\\" + taken).c_str());
    if (!event) // a session without the right to create global objects
        event = ::CreateEventA(nullptr, TRUE, FALSE, taken.c_str());
    ASSERT_NE(nullptr, event);
    quillon::ONamedMutex mutex(taken.c_str());
    EXPECT_FALSE(mutex.bLock(10));
    EXPECT_FALSE(mutex.bLock());
    ::CloseHandle(event);
}

// BinaryFolder() is ModuleFolderOf() on the tests' own code.
TEST(SystemWin32, TraceLibraryLoadsByNameFromTheModuleFolder) {
    const std::string tests = BinaryFolder();
    EXPECT_NE(INVALID_FILE_ATTRIBUTES,
              ::GetFileAttributesA((tests + "platform_tests.exe").c_str()));
    // An address inside a system DLL gives the system folder.
    const std::string system = quillon::ModuleFolderOf(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "Sleep")));
    EXPECT_TRUE(system.size() > 9 && _stricmp(&system[system.size() - 9], "system32\\") == 0)
        << system;
    EXPECT_EQ("", quillon::ModuleFolderOf(nullptr));

    EXPECT_STREQ("Vantrel.dll", quillon::TraceLibraryFileName());
    quillon::ModuleHandle h =
        quillon::LoadModule((tests + quillon::TraceLibraryFileName()).c_str());
    ASSERT_NE(nullptr, h);
    EXPECT_NE(nullptr, quillon::FindSymbol(h, "writeMsg")); // the full table: windows-check.sh
    EXPECT_EQ(nullptr, quillon::FindSymbol(h, "IDC_Init"));
    EXPECT_EQ(1, quillon::FreeModule(h));
    EXPECT_EQ(nullptr, quillon::LoadModule((tests + "NoSuchLibrary.dll").c_str()));
}
