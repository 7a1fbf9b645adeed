// Vantrel - the trace library. The behaviour of the six entry points is
// described in vantrel.h.
//
// Every open trace is an OTrace kept in a process-wide registry under a handle
// number that is never reused, so an unknown or closed handle finds nothing and
// the call returns 0. A trace refers to an OLogFile; handles opened on the same
// file share one OLogFile, whose mutex orders their lines and rotations.
// Writers of different files never wait for each other.
#include "vantrel.h"

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
#include <windows.h>
#else
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <functional>
#include <thread>
#endif
#endif

namespace fs = std::filesystem;

namespace {

// --- operating system --------------------------------------------------------

unsigned long ulProcessId() {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentProcessId());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

unsigned long ulThreadId() {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentThreadId());
#elif defined(__linux__)
    return static_cast<unsigned long>(syscall(SYS_gettid));
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

std::FILE* pOpenAppend(const fs::path& path) {
#if defined(_WIN32)
    return _wfopen(path.c_str(), L"ab");
#else
    return std::fopen(path.c_str(), "ab");
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

struct OFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using OFilePtr = std::unique_ptr<std::FILE, OFileCloser>;

// "YYYY-MM-DD HH:MM:SS.mmm": the width of the timestamp at a line's start.
constexpr std::size_t kStampLen = 23;

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
    explicit OLogFile(fs::path path) : path_(std::move(path)) {}

    bool bOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bOpenFile();
    }

    // Appends one finished line whose first kStampLen characters are left for
    // the timestamp. The stamp is taken under the lock, so the lines of a file
    // stay in time order.
    int iAppend(std::string& line, int maxBytes, int keepFiles);

    void vSetKeepTime(int days) {
        std::lock_guard<std::mutex> lock(mutex_);
        keepDays_ = days;
        vRemoveOld();
    }

private:
    bool bOpenFile();
    void vRotate(int keepFiles);
    void vRemoveOld();
    fs::path tNumbered(int n) const {
        fs::path p = path_;
        p += "." + std::to_string(n);
        return p;
    }

    std::mutex mutex_;
    const fs::path path_;
    OFilePtr file_;
    unsigned long long size_ = 0;
    int keepDays_ = 0;
};

bool OLogFile::bOpenFile() {
    file_.reset(pOpenAppend(path_));
    if (!file_)
        return false;
    // Unbuffered: a line leaves in one write, whole, and is on disk even if
    // the process dies right after.
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    std::error_code ec;
    const auto size = fs::file_size(path_, ec);
    size_ = ec ? 0 : static_cast<unsigned long long>(size);
    return true;
}

int OLogFile::iAppend(std::string& line, int maxBytes, int keepFiles) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_)
        return 0;
    char stamp[64];
    const std::size_t stampLen = uFormatStamp(stamp, sizeof stamp);
    if (stampLen == 0)
        return 0;
    line.replace(0, kStampLen, stamp, stampLen);

    // A line longer than the limit still goes whole into a file of its own.
    if (maxBytes > 0 && size_ > 0 &&
        size_ + line.size() > static_cast<unsigned long long>(maxBytes)) {
        vRotate(keepFiles);
        if (!file_)
            return 0;
    }
    const std::size_t written = std::fwrite(line.data(), 1, line.size(), file_.get());
    size_ += written;
    if (written != line.size())
        return 0;
    return line.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX
                                                           : static_cast<int>(line.size());
}

// x.log.<keep> goes, x.log.n becomes x.log.<n+1>, x.log becomes x.log.1 and a
// fresh x.log is opened. With nothing to keep, x.log just starts afresh. A
// rename that fails leaves the lines in the current file rather than losing
// them.
void OLogFile::vRotate(int keepFiles) {
    file_.reset();
    std::error_code ec;
    if (keepFiles <= 0) {
        fs::remove(path_, ec);
    } else {
        int last = 0;
        while (last < keepFiles && fs::exists(tNumbered(last + 1), ec))
            ++last;
        if (last == keepFiles)
            fs::remove(tNumbered(last--), ec);
        for (int n = last; n >= 1; --n)
            fs::rename(tNumbered(n), tNumbered(n + 1), ec);
        fs::rename(path_, tNumbered(1), ec);
    }
    bOpenFile();
    vRemoveOld();
}

// Deletes this log's rotated files (x.log.<digits>) last changed more than
// keepDays_ days ago. The current file is never touched.
void OLogFile::vRemoveOld() {
    if (keepDays_ <= 0)
        return;
    const std::string prefix = path_.filename().string() + ".";
    const auto limit = std::chrono::seconds(86400LL * keepDays_);
    const auto now = fs::file_time_type::clock::now();

    std::vector<fs::path> old;
    std::error_code ec;
    for (fs::directory_iterator it(path_.parent_path(), ec), end; !ec && it != end;
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
        : file_(std::move(file)), setting_(setting), maxBytes_(maxBytes), keepFiles_(keepFiles) {}

    int iWrite(int level, const char* text) const;
    void vSetKeepTime(int days) const { file_->vSetKeepTime(days); }

private:
    bool bWants(int level) const {
        if (setting_ < 0)
            return false;
        return setting_ == 0 || (level >= 1 && level <= setting_);
    }

    const std::shared_ptr<OLogFile> file_;
    const int setting_;
    const int maxBytes_;
    const int keepFiles_;
};

int OTrace::iWrite(int level, const char* text) const {
    if (!bWants(level))
        return 0;
    char head[64];
    const int headLen =
        std::snprintf(head, sizeof head, " [%lu:%lu] L%d ", ulProcessId(), ulThreadId(), level);
    if (headLen < 0 || static_cast<std::size_t>(headLen) >= sizeof head)
        return 0;

    std::size_t textLen = std::strlen(text);
    while (textLen > 0 && (text[textLen - 1] == '\n' || text[textLen - 1] == '\r'))
        --textLen;

    // The line is built here, outside the file's lock; only the timestamp is
    // filled in under it.
    std::string line;
    line.reserve(kStampLen + static_cast<std::size_t>(headLen) + textLen + 1);
    line.assign(kStampLen, ' ');
    line.append(head, static_cast<std::size_t>(headLen));
    for (std::size_t i = 0; i < textLen; ++i) {
        // One message, one line: inner line breaks become blanks.
        const char c = text[i];
        line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    }
    line.push_back('\n');
    return file_->iAppend(line, maxBytes_, keepFiles_);
}

// --- registry of open traces -------------------------------------------------

struct ORegistry {
    std::mutex mutex;
    std::map<VantrelHandle, std::shared_ptr<const OTrace>> traces;
    std::map<std::string, std::weak_ptr<OLogFile>> files;
    VantrelHandle lastHandle = 0;
};

ORegistry& tRegistry() {
    static ORegistry registry;
    return registry;
}

std::shared_ptr<const OTrace> pFind(VantrelHandle h) {
    ORegistry& reg = tRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const auto it = reg.traces.find(h);
    return it == reg.traces.end() ? nullptr : it->second;
}

} // namespace

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
            std::error_code ec;
            fs::create_directories(name.parent_path(), ec);
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
