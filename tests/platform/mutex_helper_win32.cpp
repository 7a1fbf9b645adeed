// The other process of the named-mutex tests.
//   quillon_mutex_helper hold   <mutex> <events>  signals <events>-started,
//       locks, signals <events>-acquired, waits (30 s at most) for
//       <events>-release, unlocks; exit code 0 (unless terminated before).
//   quillon_mutex_helper rounds <mutex> <events> <marker> <n>  signals
//       <events>-started, then runs n rounds (named_mutex_win32.h); exit code:
//       the rounds that overlapped another holder.
// The events are the test's (manual reset); exit code 100: bad arguments,
// 101: the mutex could not be had.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "named_mutex_win32.h"
#include "platform/system.h"

namespace {

void vSignal(const std::string& name) {
    HANDLE h = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (h) {
        ::SetEvent(h);
        ::CloseHandle(h);
    }
}

bool bWaitFor(const std::string& name, DWORD ms) {
    HANDLE h = ::OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (!h)
        return false;
    const bool bSignalled = ::WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    ::CloseHandle(h);
    return bSignalled;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 100;
    const std::string mode = argv[1];
    const std::string events = argv[3];
    quillon::ONamedMutex mutex(argv[2]);
    if (mode == "hold") {
        vSignal(events + "-started");
        if (!mutex.bLock())
            return 101;
        vSignal(events + "-acquired");
        bWaitFor(events + "-release", 30000);
        mutex.vUnlock();
        return 0;
    }
    if (mode == "rounds" && argc == 6) {
        vSignal(events + "-started");
        return iOverlappedRounds(mutex, argv[4], std::atoi(argv[5]));
    }
    return 100;
}
