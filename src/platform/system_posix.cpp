// POSIX services: dlopen, nanosleep, file reads + replacement and fork
// handlers (the named mutex: named_lock_posix.cpp).
#include "platform/system.h"

#include "platform/posix_fd.h"
#include "platform/posix_file_calls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/unique_name.h"

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
int CloseOsHandle(intptr_t) {
    return 0;
}

const char* TraceLibraryFileName() {
    return "libvantrel.so";
}

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
const std::string kOwnFolder =
    AbsoluteFolderOf(reinterpret_cast<const void*>(&TraceLibraryFileName), &g_ownBase);
} // namespace

std::string ModuleFolderOf(const void* pAddress) {
    Dl_info info{};
    if (g_ownBase && dladdr(pAddress, &info) && info.dli_fbase == g_ownBase)
        return kOwnFolder;
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

tPosixFileCalls& PosixFileCalls() {
    static tPosixFileCalls s_calls = {::read, ::write, ::fchown, ::fchmod, ::fsync, ::rename};
    return s_calls;
}

namespace {

// A name for a new file beside base: "dir/.name.XXXXXXXXXXXX", created
// exclusively (a name planted in advance is refused).
std::string UniqueSiblingName(const std::string& folder, const std::string& name) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t clock =
        static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
    return folder + "." + name + "." + UniqueNameSuffix(clock, static_cast<uint64_t>(getpid()));
}

// Root follows a link only to a file of the link's own owner, as the
// kernel's protected-symlinks rule has it: another user's link cannot make
// root replace, or create, a file of that user's choosing.
bool MayFollow(uid_t linkOwner, const std::string& target) {
    if (geteuid() != 0)
        return true;
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0)
        return st.st_uid == linkOwner;
    return errno == ENOENT && linkOwner == 0; // root creates the file
}

// The name a write has to replace: path itself, or the end of its chain of
// symbolic links (which need not exist yet). False when the chain cannot be
// followed, or may not be.
bool FinalTarget(const std::string& path, std::string& final) {
    std::string current = path;
    for (int hops = 0; hops <= 40; ++hops) { // the kernel's own limit
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return false;
            final = current;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            final = current;
            return true;
        }
        std::vector<char> buf(256);
        ssize_t len;
        while ((len = readlink(current.c_str(), buf.data(), buf.size())) ==
               static_cast<ssize_t>(buf.size()))
            buf.resize(buf.size() * 2);
        if (len <= 0)
            return false;
        std::string link(buf.data(), static_cast<std::size_t>(len));
        if (link[0] != '/') { // relative to the link's own folder
            std::string::size_type slash = current.rfind('/');
            if (slash != std::string::npos)
                link = current.substr(0, slash + 1) + link;
        }
        if (!MayFollow(st.st_uid, link)) {
            errno = EACCES;
            return false;
        }
        current = link;
    }
    errno = ELOOP;
    return false;
}

bool WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = PosixFileCalls().pfnWrite(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Gives the new file the owner, group and permissions of the one it
// replaces. Only root may give a file away: then the group is kept when we
// may, and the permissions in any case (without set-id bits on our file).
bool TakeOwnerAndMode(int fd, const struct stat& old) {
    struct stat now {};
    if (fstat(fd, &now) != 0)
        return false;
    mode_t mode = old.st_mode & 07777;
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
        if (PosixFileCalls().pfnFchown(fd, old.st_uid, old.st_gid) != 0) {
            if (errno != EPERM && errno != EINVAL) // EINVAL: an owner unknown here
                return false;
            if (now.st_gid != old.st_gid)
                (void)PosixFileCalls().pfnFchown(fd, static_cast<uid_t>(-1), old.st_gid);
            mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        }
    }
    return PosixFileCalls().pfnFchmod(fd, mode) == 0;
}

} // namespace

bool FileStampOf(const char* pPath, tFileStamp& stamp) {
    struct stat st {};
    if (!pPath || stat(pPath, &st) != 0)
        return false;
    stamp.uiId = (static_cast<uint64_t>(st.st_dev) << 32) ^ static_cast<uint64_t>(st.st_ino);
    stamp.uiSize = static_cast<uint64_t>(st.st_size);
    stamp.uiChanged = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                      static_cast<uint64_t>(st.st_mtim.tv_nsec);
    stamp.uiStatus = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(st.st_ctim.tv_nsec);
    return true;
}

int ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& data) {
    // Look before opening: opening a FIFO or a device can block or act.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? kFileMissing : kFileUnreadable;
    if (!S_ISREG(st.st_mode))
        return kFileUnreadable;
    // The name may have changed meanwhile: O_NONBLOCK keeps a FIFO put in
    // its place from blocking, and fstat tells what was opened.
    OFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.bValid())
        return errno == ENOENT ? kFileMissing : kFileUnreadable;
    if (fstat(fd.iGet(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > maxBytes)
        return kFileUnreadable;
    std::string all;
    all.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[8192];
    for (;;) {
        ssize_t n = PosixFileCalls().pfnRead(fd.iGet(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return kFileUnreadable;
        }
        if (n == 0)
            break;
        if (all.size() + static_cast<std::size_t>(n) > maxBytes) // it grew since fstat
            return kFileUnreadable;
        all.append(chunk, static_cast<std::size_t>(n));
    }
    data.swap(all);
    return kFileRead;
}

int WriteFileAtomically(const std::string& target, const std::string& contents) {
    std::string final;
    if (target.empty() || !FinalTarget(target, final))
        return 1;
    struct stat old {};
    const bool hasOld = lstat(final.c_str(), &old) == 0;
    if (!hasOld && errno != ENOENT)
        return 1;
    if (hasOld && !S_ISREG(old.st_mode)) // a folder, FIFO or device stays as it is
        return 1;

    std::string::size_type slash = final.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : final.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? final : final.substr(slash + 1);

    // Private until it is complete; a new configuration gets the usual
    // permissions (0666 less the umask).
    const mode_t createMode = hasOld ? 0600 : 0666;
    OFd fd;
    std::string tmp;
    for (int attempt = 0; attempt < 100 && !fd.bValid(); ++attempt) {
        tmp = UniqueSiblingName(folder, name);
        fd.vReset(
            open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode));
        if (!fd.bValid() && errno != EEXIST)
            return 1;
    }
    if (!fd.bValid())
        return 1;

    bool ok = WriteAll(fd.iGet(), contents) && (!hasOld || TakeOwnerAndMode(fd.iGet(), old)) &&
              PosixFileCalls().pfnFsync(fd.iGet()) == 0;
    ok = close(fd.iRelease()) == 0 && ok; // a late write error shows at close
    if (!ok || PosixFileCalls().pfnRename(tmp.c_str(), final.c_str()) != 0) {
        unlink(tmp.c_str());
        return 1;
    }
    // Make the rename itself durable.
    OFd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.bValid())
        fsync(dir.iGet());
    return 0;
}

void AtFork(void (*pfnPrepare)(), void (*pfnParent)(), void (*pfnChild)()) {
    pthread_atfork(pfnPrepare, pfnParent, pfnChild);
}

} // namespace quillon
