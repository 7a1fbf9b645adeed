// Vantrel - the trace library. The behaviour of the six entry points is
// described in vantrel.h.
//
// Every open trace is an OTrace kept in a process-wide registry under a handle
// number that is never reused, so an unknown or closed handle finds nothing and
// the call returns 0. A trace refers to an OLogFile; handles opened on the same
// file share one OLogFile, whose mutex orders their lines and rotations within
// the process; a lock on the file itself orders them between processes.
// Writers of different files never wait for each other.
#include "vantrel.h"

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

namespace {

// --- operating system --------------------------------------------------------

#if !defined(_WIN32)
// The process's number, asked of the system once and again in a child of
// fork() (getpid() is a system call on every line otherwise).
std::atomic<pid_t> g_pid{0};
void vForgetPidInChild() {
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

// ulPid: the caller's process, from ulProcessId().
unsigned long ulThreadId([[maybe_unused]] unsigned long ulPid) {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentThreadId());
#elif defined(__linux__)
    // Asked once per thread, and again in a child of fork(), whose thread
    // has a number of its own.
    thread_local unsigned long s_tlPid = 0, s_tlTid = 0;
    if (s_tlPid != ulPid) {
        s_tlTid = static_cast<unsigned long>(syscall(SYS_gettid));
        s_tlPid = ulPid;
    }
    return s_tlTid;
#else
    return static_cast<unsigned long>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
#endif
}

bool bLocalTime(std::time_t t, std::tm& out) {
#if defined(_WIN32)
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}

// Turns the caller's path text into an absolute path, fixed at opening time.
// A backslash separates folders on every platform, so "Vantrel\X.log" means
// the same file everywhere.
fs::path tResolvePath(const char* text) {
    std::string s(text);
#if !defined(_WIN32)
    for (char& c : s) {
        if (c == '\\')
            c = '/';
    }
#endif
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(s), ec);
    if (ec)
        return {};
    return p.lexically_normal();
}

// The registry key of a file: Windows file names ignore case.
std::string tFileKey(const fs::path& path) {
    std::string key = path.string();
#if defined(_WIN32)
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
#endif
    return key;
}

// --- one log file ------------------------------------------------------------

// An open log file, opened for appending, and the lock that orders the lines
// and rotations of every process writing into one folder.
//
// POSIX: descriptors. A file this library creates is 0640 and its folders
// 0750 whatever the umask; a symbolic link, a file with other hard links or
// anything but a regular file at the log's path is refused, never followed.
// The lock is flock() on the log's folder: unlike the log itself, the folder
// is never renamed by a rotation, so a writer that holds it can check that
// the path still names its open file (another process may have rotated it
// away), reopen, rotate and write without anyone coming in between.
// Windows: a stdio stream and no lock. An open file cannot be renamed there,
// so another process's rotation fails and both go on writing the current
// file.
#if defined(_WIN32)
using Handle = std::FILE*;
constexpr Handle kNoHandle = nullptr;
constexpr bool kClosesBeforeRename = true;
#else
using Handle = int;
constexpr Handle kNoHandle = -1;
constexpr bool kClosesBeforeRename = false;
#endif

class OFile {
public:
    OFile() = default;
    ~OFile() { vClose(); }
    OFile(OFile&& other) noexcept { *this = std::move(other); }
    OFile& operator=(OFile&& other) noexcept {
        if (this != &other) {
            vClose();
            m_h = other.m_h;
            m_uDev = other.m_uDev;
            m_uIno = other.m_uIno;
            other.m_h = kNoHandle;
        }
        return *this;
    }
    OFile(const OFile&) = delete;
    OFile& operator=(const OFile&) = delete;

    // Opens the file, creating it when missing; invalid on failure.
    static OFile tOpen(const fs::path& path);
    bool bValid() const { return m_h != kNoHandle; }
    // Whether the path still names this file; uSize then its size.
    bool bIsAt(const fs::path& path, unsigned long long& uSize) const;
    unsigned long long uSize() const;
    // Writes the whole line; false if any of it was not written.
    bool bWrite(const char* pData, std::size_t uLen);
    void vClose();

private:
    Handle m_h = kNoHandle;
    // Device and file number of the file opened (POSIX), taken once: the
    // path is checked against them on every line.
    unsigned long long m_uDev = 0, m_uIno = 0;
};

class OFolderLock {
public:
    explicit OFolderLock(fs::path folder) : m_folder(std::move(folder)) {}
    ~OFolderLock();
    OFolderLock(const OFolderLock&) = delete;
    OFolderLock& operator=(const OFolderLock&) = delete;
    // Waits for the lock; without a usable folder it goes on unlocked.
    void vLock();
    void vUnlock();

private:
    const fs::path m_folder;
#if !defined(_WIN32)
    int m_fd = -1;
    pid_t m_opener = 0; // a child after fork() would share the parent's lock
#endif
};

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

// "YYYY-MM-DD HH:MM:SS.mmm": the width of the timestamp at a line's start.
constexpr std::size_t kStampLen = 23;
// Room kept in front of a line for its timestamp (a year beyond 9999 makes
// it longer than kStampLen).
constexpr std::size_t kStampRoom = 48;
// An ordinary line is built on the stack; a longer one on the heap.
constexpr std::size_t kStackLine = 2048;

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

class OLogFile {
public:
    explicit OLogFile(fs::path path) : m_path(std::move(path)), m_lock(m_path.parent_path()) {}

    bool bOpen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_file = OFile::tOpen(m_path);
        return m_file.bValid();
    }

    // Appends one finished line that starts at pLine + kStampRoom; the
    // kStampRoom bytes before it take the timestamp, which is taken under
    // the locks, so the lines of a file stay in time order.
    int iAppend(char* pLine, std::size_t uLen, int maxBytes, int keepFiles);

    void vSetKeepTime(int days) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_iKeepDays = days;
        vRemoveOld();
    }

private:
    void vRotate(int keepFiles);
    void vRemoveOld();
    fs::path tNumbered(int n) const {
        fs::path p = m_path;
        p += "." + std::to_string(n);
        return p;
    }

    std::mutex m_mutex;
    const fs::path m_path;
    OFolderLock m_lock;
    OFile m_file;
    int m_iKeepDays = 0;
};

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

// --- one open trace ----------------------------------------------------------

class OTrace {
public:
    OTrace(std::shared_ptr<OLogFile> file, int setting, int maxBytes, int keepFiles)
        : m_file(std::move(file)), m_iSetting(setting), m_iMaxBytes(maxBytes),
          m_iKeepFiles(keepFiles) {}

    int iWrite(int level, const char* text) const;
    void vSetKeepTime(int days) const { m_file->vSetKeepTime(days); }

private:
    bool bWants(int level) const {
        if (m_iSetting < 0)
            return false;
        return m_iSetting == 0 || (level >= 1 && level <= m_iSetting);
    }

    const std::shared_ptr<OLogFile> m_file;
    const int m_iSetting;
    const int m_iMaxBytes;
    const int m_iKeepFiles;
};

int OTrace::iWrite(int level, const char* text) const {
    if (!bWants(level))
        return 0;
    char head[64];
    const unsigned long pid = ulProcessId();
    const int headLen =
        std::snprintf(head, sizeof head, " [%lu:%lu] L%d ", pid, ulThreadId(pid), level);
    if (headLen < 0 || static_cast<std::size_t>(headLen) >= sizeof head)
        return 0;

    std::size_t textLen = std::strlen(text);
    while (textLen > 0 && (text[textLen - 1] == '\n' || text[textLen - 1] == '\r'))
        --textLen;

    // The line is built here, outside the file's lock; only the timestamp is
    // filled in under it, in the room left in front.
    const std::size_t room = kStampRoom + static_cast<std::size_t>(headLen) + textLen + 1;
    char stackLine[kStackLine];
    std::vector<char> bigLine;
    char* buf = stackLine;
    if (room > sizeof stackLine) {
        bigLine.resize(room);
        buf = bigLine.data();
    }
    char* out = buf + kStampRoom;
    std::memcpy(out, head, static_cast<std::size_t>(headLen));
    out += headLen;
    for (std::size_t i = 0; i < textLen; ++i) {
        // One message, one line: inner line breaks become blanks.
        const char c = text[i];
        *out++ = c == '\n' || c == '\r' ? ' ' : c;
    }
    *out++ = '\n';
    return m_file->iAppend(buf, static_cast<std::size_t>(out - buf) - kStampRoom, m_iMaxBytes,
                           m_iKeepFiles);
}

// --- registry of open traces -------------------------------------------------

struct ORegistry {
    std::mutex mutex;
    std::map<VantrelHandle, std::shared_ptr<const OTrace>> traces;
    std::map<std::string, std::weak_ptr<OLogFile>> files;
    VantrelHandle lastHandle = 0;
};

ORegistry& tRegistry() {
    static ORegistry s_registry;
    return s_registry;
}

std::shared_ptr<const OTrace> pFind(VantrelHandle h) {
    ORegistry& reg = tRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const auto it = reg.traces.find(h);
    return it == reg.traces.end() ? nullptr : it->second;
}

} // namespace
} // namespace quillon

// The C entry points work through the helpers above.
using namespace quillon;

extern "C" {

VANTREL_API int VANTREL_CALL startTrace(void) {
    return 1;
}

VANTREL_API VantrelHandle VANTREL_CALL openTrace(const char* path, int setting, int maxBytes,
                                                 int keepFiles) {
    try {
        if (path == nullptr || *path == '\0')
            return 0;
        fs::path name = tResolvePath(path);
        if (name.empty() || !name.has_filename())
            return 0;
        const std::string key = tFileKey(name);

        ORegistry& reg = tRegistry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        for (auto it = reg.files.begin(); it != reg.files.end();)
            it = it->second.expired() ? reg.files.erase(it) : std::next(it);
        std::shared_ptr<OLogFile> file = reg.files[key].lock();
        if (!file) {
            bMakeFolders(name.parent_path()); // a failure shows when opening
            file = std::make_shared<OLogFile>(std::move(name));
            if (!file->bOpen()) {
                reg.files.erase(key);
                return 0;
            }
            reg.files[key] = file;
        }
        const VantrelHandle h = ++reg.lastHandle;
        reg.traces.emplace(
            h, std::make_shared<const OTrace>(std::move(file), setting, maxBytes, keepFiles));
        return h;
    } catch (...) {
        return 0;
    }
}

VANTREL_API int VANTREL_CALL setTraceKeepTime(VantrelHandle h, int days) {
    try {
        const auto trace = pFind(h);
        if (!trace)
            return 0;
        trace->vSetKeepTime(days);
        return 1;
    } catch (...) {
        return 0;
    }
}

VANTREL_API int VANTREL_CALL writeMsg(VantrelHandle h, int level, const char* text) {
    try {
        if (text == nullptr)
            return 0;
        const auto trace = pFind(h);
        return trace ? trace->iWrite(level, text) : 0;
    } catch (...) {
        return 0;
    }
}

// The file closes when its last handle goes; a writer that found the trace
// just before finishes its line first.
VANTREL_API int VANTREL_CALL closeTrace(VantrelHandle h) {
    try {
        ORegistry& reg = tRegistry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        return reg.traces.erase(h) > 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

VANTREL_API int VANTREL_CALL stopTrace(int /*reserved*/) {
    try {
        std::map<VantrelHandle, std::shared_ptr<const OTrace>> traces;
        {
            ORegistry& reg = tRegistry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            traces.swap(reg.traces);
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
