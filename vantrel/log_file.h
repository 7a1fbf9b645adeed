// One log file of the trace library: the file opened for appending, the lock
// that orders the lines and rotations of every process writing into its
// folder, and its rotation. Shared by every trace opened on the file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace quillon {

// The process's number (POSIX: asked of the system once, and again in a
// child of fork()).
unsigned long ulProcessId();
bool bLocalTime(std::time_t t, std::tm& out);

// "YYYY-MM-DD HH:MM:SS.mmm": the width of the timestamp at a line's start.
constexpr std::size_t kStampLen = 23;
// Room kept in front of a line for its timestamp (a year beyond 9999 makes
// it longer than kStampLen).
constexpr std::size_t kStampRoom = 48;
// An ordinary line is built on the stack; a longer one on the heap.
constexpr std::size_t kStackLine = 2048;

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
    static OFile tOpen(const std::filesystem::path& path);
    bool bValid() const { return m_h != kNoHandle; }
    // Whether the path still names this file; uSize then its size.
    bool bIsAt(const std::filesystem::path& path, unsigned long long& uSize) const;
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
    explicit OFolderLock(std::filesystem::path folder) : m_folder(std::move(folder)) {}
    ~OFolderLock();
    OFolderLock(const OFolderLock&) = delete;
    OFolderLock& operator=(const OFolderLock&) = delete;
    // Waits for the lock; without a usable folder it goes on unlocked.
    void vLock();
    void vUnlock();

private:
    const std::filesystem::path m_folder;
#if !defined(_WIN32)
    int m_fd = -1;
    pid_t m_opener = 0; // a child after fork() would share the parent's lock
#endif
};

// Makes the folders of a log's path (POSIX: 0750 whatever the umask).
bool bMakeFolders(const std::filesystem::path& dir);

class OLogFile {
public:
    explicit OLogFile(std::filesystem::path path)
        : m_path(std::move(path)), m_lock(m_path.parent_path()) {}

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
    std::filesystem::path tNumbered(int n) const {
        std::filesystem::path p = m_path;
        p += "." + std::to_string(n);
        return p;
    }

    std::mutex m_mutex;
    const std::filesystem::path m_path;
    OFolderLock m_lock;
    OFile m_file;
    int m_iKeepDays = 0;
};

} // namespace quillon
