// Small operating-system services: dynamic loading, sleeping, file
// replacement, the folder of a loaded module and a named system mutex.
// One backend file per OS implements them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace quillon {

using ModuleHandle = void*;

// LoadLibraryA / dlopen. Null on failure.
ModuleHandle LoadModule(const char* pPath);
// GetProcAddress / dlsym. Null when missing.
void* FindSymbol(ModuleHandle hModule, const char* pName);
// FreeLibrary / dlclose. Non-zero on success.
int FreeModule(ModuleHandle hModule);
// Closes a plain OS handle (CloseHandle / close). Non-zero on success.
int CloseOsHandle(intptr_t h);

// File name of the shared trace library on this OS ("libvantrel.so").
const char* TraceLibraryFileName();
// Folder of the module (executable or shared library) holding pAddress,
// with a trailing separator; empty when unknown.
std::string ModuleFolderOf(const void* pAddress);

void SleepMs(unsigned int uiMs);

// What the system tells of a file without reading it: which file it is, its
// size and when it last changed. Equal stamps of one path: the contents are
// taken to be the same. False when there is no such file. Allocates nothing.
struct tFileStamp {
    uint64_t uiId = 0; // device and file number (POSIX); 0 on Windows
    uint64_t uiSize = 0;
    uint64_t uiChanged = 0; // modification time, nanoseconds or 100 ns units
    uint64_t uiStatus = 0;  // status change time (POSIX); 0 on Windows
    bool operator==(const tFileStamp& o) const {
        return uiId == o.uiId && uiSize == o.uiSize && uiChanged == o.uiChanged &&
               uiStatus == o.uiStatus;
    }
};
bool FileStampOf(const char* pPath, tFileStamp& stamp);

// Results of ReadSmallFile.
enum : int { kFileRead = 0, kFileMissing = 1, kFileUnreadable = 2 };

#if !defined(_WIN32)
// Replaces the pause of SleepMs (fuzzers: time passes on their own clock, no
// real waiting); null restores the real pause. Returns the previous hook.
// Set it while no other thread uses the library.
using SleepHook = void (*)(unsigned int uiMs);
SleepHook SetSleepHook(SleepHook hook);
#endif

// Reads the whole file at path into data, following links. Only a regular
// file of at most maxBytes is taken; a folder, FIFO or device is refused
// without blocking. kFileMissing only when nothing exists under the name;
// data is left alone unless kFileRead.
int ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& data);

// Replaces the file at target with contents atomically. A link is kept: the
// file at the end of its chain is replaced (POSIX, as root: only while every
// link and what it points to have one owner). The contents go into a new file
// with a unique name beside that file (created exclusively, never through a
// link), which takes the old file's permissions and owner, is flushed to
// disk and renamed over it; the folder is flushed too. On failure the new
// file is removed and the old one is left as it was. 0: done.
int WriteFileAtomically(const std::string& target, const std::string& contents);

// Has the three functions run around every later fork() of the process, as
// pthread_atfork does (Windows has no fork and ignores them). The library
// uses them to hand a child its in-process locks free: a thread of the
// parent that held one does not exist in the child.
void AtFork(void (*pfnPrepare)(), void (*pfnParent)(), void (*pfnChild)());

// A mutex named across processes; a holder that dies releases it.
// POSIX: a flock'ed file "quillon-mutex-<name>.lock" in one folder that every
// process finds alike - $QUILLON_LOCK_DIR when set, else /run/quillon (made
// by the packages) or /run/lock where it exists, else /tmp. Windows: the
// kernel mutex "Global\<name>", or "<name>" when the session may not create
// global objects.
class ONamedMutex {
public:
    explicit ONamedMutex(const char* pName);
    ~ONamedMutex();
    ONamedMutex(const ONamedMutex&) = delete;
    ONamedMutex& operator=(const ONamedMutex&) = delete;
    // Waits for the mutex: without limit when uiTimeoutMs is 0, else for at
    // most that many milliseconds (on NowMs under POSIX). False when it was not
    // taken: the wait ran out, or the system object could not be opened or
    // created. Nothing may then be done that needs the mutex.
    // A wait that vAbandonWaits ends returns false as well.
    bool bLock(uint32_t uiTimeoutMs = 0);
    // Takes the mutex only when that needs no wait; false otherwise.
    bool bTryLock();
    // Only after a bLock that returned true, on the same thread.
    void vUnlock();
    // Ends every wait of bLock on this object, now and later (within one
    // poll interval): for an owner about to go away, so that a holder that
    // never lets go cannot keep it waiting.
    void vAbandonWaits() { m_bAbandoned.store(true); }
    const std::string& sName() const { return m_name; }
    // Why the calling thread's last bLock or bTryLock failed at once, when
    // that is worth telling (a lock file of another user in a folder anyone
    // may write); "" otherwise.
    static const char* pRefusalNote();

private:
    // Waits run in steps of this many milliseconds, looking at m_bAbandoned
    // and the deadline between two tries.
    static constexpr uint32_t kPollMs = 10;
    // The wait in ms before the next try: kPollMs, cut at the deadline
    // (uiDeadline 0: no limit); 0 when the wait must end now.
    uint32_t uiNextWaitMs(uint64_t uiDeadline) const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_name;
    std::atomic<bool> m_bAbandoned{false};
};

// Threads of this process waiting now for a named mutex that another
// process holds (for tests and diagnostics).
int NamedLockWaitsNow();

class OScopedLock {
public:
    explicit OScopedLock(ONamedMutex& m, uint32_t uiTimeoutMs = 0)
        : m_mutex(m), m_bHeld(m.bLock(uiTimeoutMs)) {}
    // Takes a free mutex at once; only when it is held elsewhere asks
    // fnWaitMs() how long it may wait (finding that out may cost more than
    // taking a free mutex).
    template <class WaitMs, class = decltype(std::declval<WaitMs&>()())>
    OScopedLock(ONamedMutex& m, WaitMs fnWaitMs)
        : m_mutex(m), m_bHeld(m.bTryLock() || m.bLock(fnWaitMs())) {}
    ~OScopedLock() {
        if (m_bHeld)
            m_mutex.vUnlock();
    }
    OScopedLock(const OScopedLock&) = delete;
    OScopedLock& operator=(const OScopedLock&) = delete;
    bool bHeld() const { return m_bHeld; }

private:
    ONamedMutex& m_mutex;
    bool m_bHeld;
};

} // namespace quillon
