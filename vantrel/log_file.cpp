#include "log_file.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <functional>
#include <thread>
#endif
#endif

namespace quillon {

namespace fs = std::filesystem;

// --- operating system --------------------------------------------------------

#if !defined(_WIN32)
// The process's number, asked of the system once and again in a child of
// fork() (getpid() is a system call on every line otherwise).
static std::atomic<pid_t> g_pid{0};
static void vForgetPidInChild() {
    g_pid.store(0, std::memory_order_relaxed);
}
#endif

unsigned long ulProcessId() {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentProcessId());
#else
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int kRegistered = pthread_atfork(nullptr, nullptr, vForgetPidInChild);
        (void)kRegistered;
        pid = getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return static_cast<unsigned long>(pid);
#endif
}

bool bLocalTime(std::time_t t, std::tm& out) {
#if defined(_WIN32)
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}

// --- one log file ------------------------------------------------------------

#if defined(_WIN32)

OFile OFile::tOpen(const fs::path& path) {
    OFile f;
    f.m_h = _wfopen(path.c_str(), L"ab");
    // Unbuffered: a line leaves in one write, whole, and is on disk even if
    // the process dies right after.
    if (f.m_h)
        std::setvbuf(f.m_h, nullptr, _IONBF, 0);
    return f;
}

bool OFile::bIsAt(const fs::path&, unsigned long long& uSizeNow) const {
    uSizeNow = uSize();
    return bValid();
}

unsigned long long OFile::uSize() const {
    const long long size = m_h ? _filelengthi64(_fileno(m_h)) : -1;
    return size < 0 ? 0 : static_cast<unsigned long long>(size);
}

bool OFile::bWrite(const char* pData, std::size_t uLen) {
    return m_h && std::fwrite(pData, 1, uLen, m_h) == uLen;
}

void OFile::vClose() {
    if (m_h)
        std::fclose(m_h);
    m_h = kNoHandle;
}

OFolderLock::~OFolderLock() {}
void OFolderLock::vLock() {}
void OFolderLock::vUnlock() {}

bool bMakeFolders(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return !ec;
}

#else

OFile OFile::tOpen(const fs::path& path) {
    // O_NONBLOCK only for the opening: a FIFO planted at the path would block
    // it. Such a file is refused below anyway.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    OFile f;
    for (int attempt = 0; attempt < 3 && !f.bValid(); ++attempt) {
        f.m_h = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0640);
        if (f.bValid()) {
            fchmod(f.m_h, 0640); // the umask may have taken more, or less
        } else if (errno == EEXIST) {
            f.m_h = open(path.c_str(), kFlags);
            if (!f.bValid() && errno != ENOENT) // ENOENT: removed meanwhile, create it
                return f;
        } else {
            return f;
        }
    }
    struct stat st {};
    if (!f.bValid() || fstat(f.m_h, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        f.vClose();
        return f;
    }
    f.m_uDev = static_cast<unsigned long long>(st.st_dev);
    f.m_uIno = static_cast<unsigned long long>(st.st_ino);
    const int flags = fcntl(f.m_h, F_GETFL);
    if (flags != -1)
        fcntl(f.m_h, F_SETFL, flags & ~O_NONBLOCK);
    return f;
}

bool OFile::bIsAt(const fs::path& path, unsigned long long& uSizeNow) const {
    struct stat atPath {};
    uSizeNow = 0;
    if (!bValid() || lstat(path.c_str(), &atPath) != 0 ||
        static_cast<unsigned long long>(atPath.st_dev) != m_uDev ||
        static_cast<unsigned long long>(atPath.st_ino) != m_uIno)
        return false;
    uSizeNow = atPath.st_size > 0 ? static_cast<unsigned long long>(atPath.st_size) : 0;
    return true;
}

unsigned long long OFile::uSize() const {
    struct stat st {};
    return bValid() && fstat(m_h, &st) == 0 && st.st_size > 0
               ? static_cast<unsigned long long>(st.st_size)
               : 0;
}

bool OFile::bWrite(const char* pData, std::size_t uLen) {
    const char* at = pData;
    std::size_t left = uLen;
    while (bValid() && left > 0) {
        const ssize_t n = write(m_h, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return left == 0;
}

void OFile::vClose() {
    if (bValid())
        close(m_h);
    m_h = kNoHandle;
}

OFolderLock::~OFolderLock() {
    if (m_fd != -1)
        close(m_fd);
}

void OFolderLock::vLock() {
    const auto self = static_cast<pid_t>(ulProcessId());
    if (m_fd != -1 && m_opener != self) {
        close(m_fd); // the parent's: its lock is not this process's
        m_fd = -1;
    }
    if (m_fd == -1) {
        m_fd = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        m_opener = self;
    }
    while (m_fd != -1 && flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void OFolderLock::vUnlock() {
    if (m_fd != -1)
        flock(m_fd, LOCK_UN);
}

// Creates the missing folders of dir, each 0750 whatever the umask. The mode
// is set through a descriptor of the new folder itself, so a link swapped in
// meanwhile is not followed.
bool bMakeFolders(const fs::path& dir) {
    fs::path at;
    for (const fs::path& part : dir) {
        at /= part;
        if (mkdir(at.c_str(), 0750) == 0) {
            const int fd = open(at.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd != -1) {
                fchmod(fd, 0750);
                close(fd);
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return true;
}

#endif

namespace {
// Writes "YYYY-MM-DD HH:MM:SS.mmm" of the current local time; returns its
// length, 0 if it does not fit.
std::size_t uFormatStamp(char* out, std::size_t size) {
    const auto now = std::chrono::system_clock::now();
    const auto secs = std::chrono::floor<std::chrono::seconds>(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - secs).count();
    std::tm tm{};
    if (!bLocalTime(std::chrono::system_clock::to_time_t(secs), tm))
        tm = std::tm{};
    const int n = std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                                static_cast<int>(ms));
    return n < 0 || static_cast<std::size_t>(n) >= size ? 0 : static_cast<std::size_t>(n);
}
} // namespace

int OLogFile::iAppend(char* pLine, std::size_t uLen, int maxBytes, int keepFiles) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lock.vLock();
    struct OUnlock {
        OFolderLock& lock;
        ~OUnlock() { lock.vUnlock(); }
    } unlock{m_lock};

    // Another process may have rotated the log away (renamed the file) or
    // removed it, and an earlier opening may have failed: the path is opened
    // again then, on every line until it works. Until it does, lines go on
    // in the file held rather than being lost.
    unsigned long long size = 0;
    bool current = m_file.bIsAt(m_path, size);
    if (!current) {
        OFile fresh = OFile::tOpen(m_path);
        current = fresh.bValid();
        if (current) {
            m_file = std::move(fresh);
            size = m_file.uSize();
        } else if (!m_file.bValid()) {
            return 0;
        }
    }
    // The size is the file's own, with every process's lines in it. A line
    // longer than the limit still goes whole into a file of its own.
    if (current && maxBytes > 0) {
        if (size > 0 && size + kStampLen + uLen > static_cast<unsigned long long>(maxBytes)) {
            vRotate(keepFiles);
            if (!m_file.bValid())
                return 0;
        }
    }

    // The stamp goes right in front of the line, so the whole line leaves
    // in one write.
    char stamp[kStampRoom + 1];
    const std::size_t stampLen = uFormatStamp(stamp, sizeof stamp);
    if (stampLen == 0)
        return 0;
    char* const pStart = pLine + kStampRoom - stampLen;
    std::memcpy(pStart, stamp, stampLen);
    const std::size_t whole = stampLen + uLen;
    if (!m_file.bWrite(pStart, whole))
        return 0;
    return whole > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(whole);
}

// Called under both locks. x.log.<keep> goes, x.log.n becomes x.log.<n+1>,
// x.log becomes x.log.1 and a fresh x.log is opened. With nothing to keep,
// x.log just starts afresh. A rename that fails leaves the lines in the
// current file rather than losing them; a fresh file that cannot be opened
// leaves the line in the old one (POSIX), and the next line tries again.
void OLogFile::vRotate(int keepFiles) {
    if (kClosesBeforeRename)
        m_file.vClose();
    std::error_code ec;
    const auto present = [&ec](const fs::path& p) {
        return fs::exists(fs::symlink_status(p, ec)); // a link counts, as it is
    };
    if (keepFiles <= 0) {
        fs::remove(m_path, ec);
    } else {
        int last = 0;
        while (last < keepFiles && present(tNumbered(last + 1)))
            ++last;
        if (last == keepFiles)
            fs::remove(tNumbered(last--), ec);
        for (int n = last; n >= 1; --n)
            fs::rename(tNumbered(n), tNumbered(n + 1), ec);
        fs::rename(m_path, tNumbered(1), ec);
    }
    OFile fresh = OFile::tOpen(m_path);
    if (fresh.bValid())
        m_file = std::move(fresh);
    vRemoveOld();
}

// Deletes this log's rotated files (x.log.<digits>) last changed more than
// m_iKeepDays days ago. The current file is never touched.
void OLogFile::vRemoveOld() {
    if (m_iKeepDays <= 0)
        return;
    const std::string prefix = m_path.filename().string() + ".";
    const auto limit = std::chrono::seconds(86400LL * m_iKeepDays);
    const auto now = fs::file_time_type::clock::now();

    std::vector<fs::path> old;
    std::error_code ec;
    for (fs::directory_iterator it(m_path.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
            continue;
        std::error_code timeEc;
        const auto changed = fs::last_write_time(it->path(), timeEc);
        if (!timeEc && std::chrono::duration_cast<std::chrono::seconds>(now - changed) > limit)
            old.push_back(it->path());
    }
    for (const auto& p : old)
        fs::remove(p, ec);
}

} // namespace quillon
