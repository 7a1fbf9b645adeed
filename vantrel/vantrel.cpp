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

#include <cstdio>
#include <cstring>
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
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <functional>
#include <thread>
#endif

#include "log_file.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

// --- operating system --------------------------------------------------------

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
