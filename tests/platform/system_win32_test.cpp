// The Win32 services, and the named mutex against a second process
// (quillon_mutex_helper.exe, built beside the tests).
#include <windows.h>
// winbase.h names a macro FreeModule; system.h declares a function.
#undef FreeModule

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <thread>

#include "named_mutex_win32.h"
#include "platform/system.h"
#include "support/test_env.h"

namespace {

std::string sUnique(const char* what) {
    static int counter = 0;
    return "quillon-test-" + std::to_string(::GetCurrentProcessId()) + "-" + what + "-" +
           std::to_string(++counter);
}

// A manual-reset event under a name the helper opens.
class OEvent {
public:
    explicit OEvent(const std::string& name)
        : m_h(::CreateEventA(nullptr, TRUE, FALSE, name.c_str())) {}
    ~OEvent() { ::CloseHandle(m_h); }
    OEvent(const OEvent&) = delete;
    OEvent& operator=(const OEvent&) = delete;
    bool bWait(DWORD ms) const { return ::WaitForSingleObject(m_h, ms) == WAIT_OBJECT_0; }
    void vSet() { ::SetEvent(m_h); }

private:
    HANDLE m_h;
};

// The helper process; terminated if still running at the end of the test.
class OHelper {
public:
    explicit OHelper(const std::string& args) {
        std::string cmd = "\"" + BinaryFolder() + "quillon_mutex_helper.exe\" " + args;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        m_bStarted = ::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &si, &m_pi) != 0;
    }
    ~OHelper() {
        if (!m_bStarted)
            return;
        vTerminate();
        ::CloseHandle(m_pi.hThread);
        ::CloseHandle(m_pi.hProcess);
    }
    OHelper(const OHelper&) = delete;
    OHelper& operator=(const OHelper&) = delete;

    bool bStarted() const { return m_bStarted; }
    void vTerminate() {
        if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_pi.hProcess, 99);
            ::WaitForSingleObject(m_pi.hProcess, 10000);
        }
    }
    // The exit code, or -1 when it has not ended within ms.
    long lExitCode(DWORD ms) {
        DWORD code = 0;
        if (::WaitForSingleObject(m_pi.hProcess, ms) != WAIT_OBJECT_0 ||
            !::GetExitCodeProcess(m_pi.hProcess, &code))
            return -1;
        return static_cast<long>(code);
    }

private:
    PROCESS_INFORMATION m_pi{};
    bool m_bStarted = false;
};

// Takes the lock on another thread; bHasIt() says whether it got it.
class OTaker {
public:
    explicit OTaker(quillon::ONamedMutex& mutex)
        : m_thread([this, &mutex] {
              quillon::OScopedLock lock(mutex);
              m_bHasIt = true;
          }) {}
    ~OTaker() {
        if (m_bHasIt)
            m_thread.join();
        else
            m_thread.detach(); // stuck in the lock: the test has failed already
    }
    OTaker(const OTaker&) = delete;
    OTaker& operator=(const OTaker&) = delete;
    bool bHasIt() const { return m_bHasIt; }
    bool bGetsItWithin(int ms) const {
        for (int waited = 0; !m_bHasIt && waited < ms; waited += 10)
            ::Sleep(10);
        return m_bHasIt;
    }

private:
    std::atomic<bool> m_bHasIt{false};
    std::thread m_thread;
};

} // namespace

TEST(NamedMutexWin32, AnotherProcessWaitsForTheHolder) {
    const std::string name = sUnique("mutex"), events = sUnique("events");
    OEvent started(events + "-started"), acquired(events + "-acquired"),
        release(events + "-release");
    quillon::ONamedMutex mutex(name.c_str());
    mutex.vLock();
    OHelper helper("hold " + name + " " + events);
    ASSERT_TRUE(helper.bStarted());
    ASSERT_TRUE(started.bWait(10000));
    EXPECT_FALSE(acquired.bWait(200)) << "the helper took the lock held here";
    mutex.vUnlock();
    ASSERT_TRUE(acquired.bWait(10000)) << "the helper never got the released lock";

    // Now the helper holds it: a thread here waits until it lets go.
    OTaker taker(mutex);
    ::Sleep(200);
    EXPECT_FALSE(taker.bHasIt()) << "locked here while the helper held it";
    release.vSet();
    EXPECT_TRUE(taker.bGetsItWithin(10000));
    EXPECT_EQ(0, helper.lExitCode(10000));
}

TEST(NamedMutexWin32, AHolderThatDiesReleasesIt) {
    const std::string name = sUnique("mutex"), events = sUnique("events");
    OEvent acquired(events + "-acquired");
    quillon::ONamedMutex mutex(name.c_str());
    OHelper helper("die " + name + " " + events);
    ASSERT_TRUE(helper.bStarted());
    ASSERT_TRUE(acquired.bWait(10000));

    OTaker taker(mutex);
    ::Sleep(200);
    EXPECT_FALSE(taker.bHasIt());
    helper.vTerminate(); // dies holding it: the mutex is abandoned
    EXPECT_TRUE(taker.bGetsItWithin(10000));
}

TEST(NamedMutexWin32, ThreadsAndProcessesNeverOverlap) {
    TestEnv env;
    const std::string name = sUnique("mutex"), events = sUnique("events");
    const std::string marker = env.dir() + "\\holder";
    OEvent started(events + "-started");
    quillon::ONamedMutex mutex(name.c_str());
    OHelper helper("rounds " + name + " " + events + " \"" + marker + "\" 8");
    ASSERT_TRUE(helper.bStarted());
    ASSERT_TRUE(started.bWait(10000));

    std::atomic<int> overlaps{0};
    std::thread a([&] { overlaps += iOverlappedRounds(mutex, marker, 8); });
    std::thread b([&] { overlaps += iOverlappedRounds(mutex, marker, 8); });
    a.join();
    b.join();
    EXPECT_EQ(0, overlaps.load()) << "threads of this process overlapped";
    EXPECT_EQ(0, helper.lExitCode(30000)) << "rounds of the helper overlapped (or it hung)";
}

TEST(SystemWin32, ModuleFolders) {
    const std::string tests = BinaryFolder();
    ASSERT_FALSE(tests.empty());
    EXPECT_EQ('\\', tests.back());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES,
              ::GetFileAttributesA((tests + "platform_tests.exe").c_str()));

    // An address inside a system DLL gives the system folder.
    void* pSleep =
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "Sleep"));
    std::string system = quillon::ModuleFolderOf(pSleep);
    for (char& c : system)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(system.size() - 9, system.rfind("system32\\")) << system;

    EXPECT_EQ("", quillon::ModuleFolderOf(nullptr));
}

TEST(SystemWin32, TraceLibraryLoadsByNameFromTheBinaryFolder) {
    EXPECT_STREQ("Vantrel.dll", quillon::TraceLibraryFileName());
    quillon::ModuleHandle h =
        quillon::LoadModule((BinaryFolder() + quillon::TraceLibraryFileName()).c_str());
    ASSERT_NE(nullptr, h);
    for (const char* name :
         {"startTrace", "openTrace", "setTraceKeepTime", "writeMsg", "closeTrace", "stopTrace"})
        EXPECT_NE(nullptr, quillon::FindSymbol(h, name)) << name;
    EXPECT_EQ(nullptr, quillon::FindSymbol(h, "IDC_Init"));
    EXPECT_EQ(1, quillon::FreeModule(h));

    EXPECT_EQ(nullptr, quillon::LoadModule((BinaryFolder() + "NoSuchLibrary.dll").c_str()));
    EXPECT_EQ(nullptr, quillon::LoadModule(nullptr));
    EXPECT_EQ(0, quillon::FreeModule(nullptr));
}
