// The named mutex on POSIX: a flock'ed lock file in one folder that every
// process finds alike, behind an in-process mutex per object, with fork
// handlers that hand a child the locks free.
#include "platform/system.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "platform/clock.h"

namespace quillon {

extern std::atomic<int> g_namedLockWaits;   // named_lock.cpp
void SetLockRefusalNote(const char* pNote); // named_lock.cpp

namespace {
constexpr mode_t kLockFileMode = 0660;
// The folder the packages make for the lock files (root and the kiosk group
// may write it); used before the system's shared lock folders when it exists.
constexpr const char* kPackagedLockFolder = "/run/quillon";

// What a thread of this process holds while it has the named mutex. Every
// live one is listed, so that a child of fork() can be handed them free.
struct LockState {
    // Threads of this process queue here first: bHeld under m, and a thread
    // that lets go wakes the next at once.
    struct Queue {
        std::mutex m;
        std::condition_variable cv;
        bool bHeld = false;
    } queue;
    // The lock file, kept open from one hold to the next (opening and
    // checking it again on every call cost more than the rest of a call);
    // used only by the thread that has the queue.
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    LockState* pNext = nullptr;
};

std::mutex g_liveLock; // guards the list
LockState* g_pLive = nullptr;

void ListLock(LockState* pState) {
    std::lock_guard<std::mutex> guard(g_liveLock);
    pState->pNext = g_pLive;
    g_pLive = pState;
}

void UnlistLock(LockState* pState) {
    std::lock_guard<std::mutex> guard(g_liveLock);
    for (LockState** pp = &g_pLive; *pp; pp = &(*pp)->pNext) {
        if (*pp == pState) {
            *pp = pState->pNext;
            return;
        }
    }
}

void vLetNextThreadIn(LockState::Queue& q) {
    {
        std::lock_guard<std::mutex> lock(q.m);
        q.bHeld = false;
    }
    q.cv.notify_one();
}

void BeforeFork() {
    g_liveLock.lock();
}
void AfterForkInParent() {
    g_liveLock.unlock();
}
// The child has only the thread that forked, which holds none of the locks:
// a holder in the parent has no counterpart here. The lock file descriptor
// it inherited shares the parent's lock (flock belongs to the open file), so
// it is closed without unlocking, which leaves the parent's lock alone, and
// the child opens its own.
void AfterForkInChild() {
    g_liveLock.unlock();
    for (LockState* p = g_pLive; p; p = p->pNext) {
        new (&p->queue) LockState::Queue;
        if (p->fd >= 0) {
            close(p->fd);
            p->fd = -1;
        }
    }
}
const bool kForkHandlersSet = (AtFork(&BeforeFork, &AfterForkInParent, &AfterForkInChild), true);

// The folder of every named mutex, the same for every process whatever its
// own temporary folder: $QUILLON_LOCK_DIR, else the packaged folder, else
// the system's lock folder, else /tmp.
std::string LockFolder() {
    const char* env = std::getenv("QUILLON_LOCK_DIR");
    std::string dir;
    if (env && *env) {
        dir = env;
    } else {
        dir = "/tmp";
        for (const char* pFolder : {kPackagedLockFolder, "/run/lock"}) {
            struct stat st {};
            if (stat(pFolder, &st) == 0 && S_ISDIR(st.st_mode)) {
                dir = pFolder;
                break;
            }
        }
    }
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

// A folder every user may write (/run/lock, /tmp): a file there may have
// been put in place by anybody.
bool FolderOpenToAll(const std::string& folder) {
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0;
}

// Tells why the lock file of another user is not waited on.
void NoteForeignOwner(const std::string& path, uid_t uid) {
    char acName[64] = "unknown";
    passwd entry{};
    passwd* pFound = nullptr;
    char acBuf[1024];
    if (getpwuid_r(uid, &entry, acBuf, sizeof acBuf, &pFound) == 0 && pFound)
        std::snprintf(acName, sizeof acName, "%s", pFound->pw_name);
    char acNote[512];
    std::snprintf(acNote, sizeof acNote,
                  "lock file %s belongs to user %lu (%s), neither root nor this process's user, "
                  "in a folder anyone may write: not waited on",
                  path.c_str(), static_cast<unsigned long>(uid), acName);
    SetLockRefusalNote(acNote);
}

// Takes an opened lock file only when it is a plain file with no other name
// (no hard link planted to someone else's file). One of ours gets mode 0660
// whatever the umask, so the other users of its group can take it too; one
// of another user's that anybody may open is refused, as anybody could hold
// it. In a folder anyone may write, only a file of root's or of this
// process's user is taken: anybody could have made any other one there and
// hold it for ever.
int CheckedLockFile(int fd, const std::string& path, struct stat& st) {
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        (st.st_uid != geteuid() && (st.st_mode & 0007) != 0)) {
        close(fd);
        return -1;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid() &&
        FolderOpenToAll(path.substr(0, path.rfind('/') + 1))) {
        NoteForeignOwner(path, st.st_uid);
        close(fd);
        return -1;
    }
    if (st.st_uid == geteuid() && (st.st_mode & 07777) != kLockFileMode)
        fchmod(fd, kLockFileMode);
    return fd;
}

// Opens the lock file, creating it only when it is absent. A link is never
// followed, so nothing else can be locked or changed in its stead; -1 when
// the file cannot be had.
int OpenLockFile(const std::string& path, struct stat& st) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), flags);
        if (fd >= 0)
            return CheckedLockFile(fd, path, st);
        if (errno != ENOENT)
            return -1;
        fd = open(path.c_str(), flags | O_CREAT | O_EXCL, kLockFileMode);
        if (fd >= 0)
            return CheckedLockFile(fd, path, st);
        if (errno != EEXIST)
            return -1;
        // Another process created it at the same moment: open that one.
    }
    return -1;
}

// The lock file to flock: the one kept open while the path still names it
// (same file, no second name), else the path opened anew. A lock file that
// was removed (a cleaner of old files in /tmp) and made again by another
// process is then the one every process locks. -1 when it cannot be had.
int LockFileNow(LockState& state, const std::string& path) {
    struct stat st {};
    if (state.fd >= 0) {
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
            st.st_dev == state.dev && st.st_ino == state.ino)
            return state.fd;
        close(state.fd);
        state.fd = -1;
    }
    state.fd = OpenLockFile(path, st);
    if (state.fd >= 0) {
        state.dev = st.st_dev;
        state.ino = st.st_ino;
    }
    return state.fd;
}

} // namespace

struct ONamedMutex::Impl : LockState {
    std::string path;
};

ONamedMutex::ONamedMutex(const char* pName) : m_impl(new Impl), m_name(pName ? pName : "") {
    std::string safe;
    for (char c : m_name)
        safe += (c == '/' || c == '\\') ? '_' : c;
    m_impl->path = LockFolder() + "quillon-mutex-" + safe + ".lock";
    ListLock(m_impl.get());
}

ONamedMutex::~ONamedMutex() {
    UnlistLock(m_impl.get());
    if (m_impl->fd >= 0)
        close(m_impl->fd);
}

bool ONamedMutex::bLock(uint32_t uiTimeoutMs) {
    // Both waits run in steps, so that the deadline and vAbandonWaits are
    // seen between two tries.
    const uint64_t deadline = uiTimeoutMs ? NowMs() + uiTimeoutMs : 0;
    SetLockRefusalNote("");
    LockState::Queue& q = m_impl->queue;
    {
        std::unique_lock<std::mutex> lock(q.m);
        while (q.bHeld) {
            const uint32_t wait = uiNextWaitMs(deadline);
            if (wait == 0)
                return false;
            q.cv.wait_for(lock, std::chrono::milliseconds(wait));
        }
        q.bHeld = true;
    }
    const int fd = LockFileNow(*m_impl, m_impl->path);
    bool held = false;
    bool counted = false; // among NamedLockWaitsNow()
    while (fd >= 0 && !held) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            held = true;
        } else if (errno != EINTR) {
            const uint32_t wait = errno == EWOULDBLOCK ? uiNextWaitMs(deadline) : 0;
            if (wait == 0)
                break;
            if (!counted)
                ++g_namedLockWaits;
            counted = true;
            SleepMs(wait);
        }
    }
    if (counted)
        --g_namedLockWaits;
    if (!held) {
        vLetNextThreadIn(q);
        return false;
    }
    return true;
}

bool ONamedMutex::bTryLock() {
    SetLockRefusalNote("");
    LockState::Queue& q = m_impl->queue;
    {
        std::lock_guard<std::mutex> lock(q.m);
        if (q.bHeld)
            return false;
        q.bHeld = true;
    }
    const int fd = LockFileNow(*m_impl, m_impl->path);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    vLetNextThreadIn(q);
    return false;
}

void ONamedMutex::vUnlock() {
    if (m_impl->fd >= 0)
        flock(m_impl->fd, LOCK_UN);
    vLetNextThreadIn(m_impl->queue);
}

} // namespace quillon
