// POSIX services: dlopen, nanosleep, fsync + rename, and the named mutex as a
// flock'ed lock file in the temporary folder.
#include "platform/system.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

namespace quillon {

ModuleHandle LoadModule(const char* pPath) {
    if (!pPath)
        return nullptr;
    return dlopen(pPath, RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(ModuleHandle hModule, const char* pName) {
    if (!hModule || !pName)
        return nullptr;
    return dlsym(hModule, pName);
}

int FreeModule(ModuleHandle hModule) {
    if (!hModule)
        return 0;
    return dlclose(hModule) == 0 ? 1 : 0;
}

// POSIX has no generic handle a trace library could hand out; closing a
// number as a file descriptor could close one of the host's own files.
int CloseOsHandle(intptr_t) { return 0; }

const char* TraceLibraryFileName() { return "libvantrel.so"; }

namespace {
// The folder of the module holding pAddress, made absolute against the
// working directory of the moment.
std::string AbsoluteFolderOf(const void* pAddress, const void** ppBase) {
    Dl_info info{};
    if (!dladdr(pAddress, &info) || !info.dli_fname)
        return std::string();
    if (ppBase)
        *ppBase = info.dli_fbase;
    std::string path(info.dli_fname);
    if (char* resolved = realpath(info.dli_fname, nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash + 1);
}

// Our own module's folder, taken when the module is loaded: a module loaded
// by a relative path is still found after the host changes directory.
const void* g_ownBase = nullptr;
const std::string g_ownFolder =
    AbsoluteFolderOf(reinterpret_cast<const void*>(&TraceLibraryFileName), &g_ownBase);
} // namespace

std::string ModuleFolderOf(const void* pAddress) {
    Dl_info info{};
    if (g_ownBase && dladdr(pAddress, &info) && info.dli_fbase == g_ownBase)
        return g_ownFolder;
    return AbsoluteFolderOf(pAddress, nullptr);
}

namespace {
SleepHook g_sleepHook = nullptr;
} // namespace

SleepHook SetSleepHook(SleepHook hook) {
    SleepHook previous = g_sleepHook;
    g_sleepHook = hook;
    return previous;
}

void SleepMs(unsigned int uiMs) {
    if (g_sleepHook) {
        g_sleepHook(uiMs);
        return;
    }
    timespec ts{static_cast<time_t>(uiMs / 1000), static_cast<long>(uiMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int ReplaceFileAtomically(const std::string& tmp, const std::string& target) {
    int fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    int rc = fsync(fd);
    close(fd);
    if (rc != 0)
        return 1;
    if (rename(tmp.c_str(), target.c_str()) != 0)
        return 1;
    // Make the rename itself durable.
    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

// Threads of this process queue on the in-process mutex; processes queue on
// flock, which the kernel releases when a holder dies.
struct ONamedMutex::Impl {
    std::mutex threadLock;
    std::vector<std::string> paths; // lock file places, in order of preference
    int fd = -1; // the lock file while held; guarded by threadLock
};

namespace {
// Opens (creating it when missing) the lock file in one folder. Never
// follows a link and takes only a regular file, so nothing else in a shared
// temporary folder can be locked or changed in its stead.
int OpenLockFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    // Other users' processes must be able to open it too.
    if (st.st_uid == geteuid() && (st.st_mode & 0666) != 0666)
        fchmod(fd, 0666);
    return fd;
}
} // namespace

ONamedMutex::ONamedMutex(const char* pName) : m_impl(new Impl), m_name(pName ? pName : "") {
    std::string safe;
    for (char c : m_name)
        safe += (c == '/' || c == '\\') ? '_' : c;
    const std::string file = "quillon-mutex-" + safe + ".lock";
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp && *tmp) ? tmp : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    m_impl->paths.push_back(dir + file);
    // When the first folder cannot hold the lock file, every process falls
    // back to the same fixed places, so they still meet.
    for (const char* fallback : {"/tmp/", "/var/tmp/", "/dev/shm/"})
        if (dir != fallback)
            m_impl->paths.push_back(fallback + file);
}

ONamedMutex::~ONamedMutex() = default;

void ONamedMutex::vLock() {
    m_impl->threadLock.lock();
    int fd = -1;
    for (const std::string& path : m_impl->paths) {
        fd = OpenLockFile(path);
        if (fd >= 0)
            break;
    }
    if (fd >= 0) {
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    // No folder at all: the threads of this process are still serialised.
    m_impl->fd = fd;
}

void ONamedMutex::vUnlock() {
    int fd = m_impl->fd;
    m_impl->fd = -1;
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
    m_impl->threadLock.unlock();
}

} // namespace quillon
