// The configuration the library gets for a DEVICENAME. pcscd runs as root:
// a configuration file (and the trace folder it names) is taken only where
// no other user can change it, so that nobody can make root read, write or
// create a file of their choosing.
#include "reader_config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QUILLON_PCSC_RUN_DIR
#define QUILLON_PCSC_RUN_DIR "/run/quillon-pcsc"
#endif
#ifndef QUILLON_PCSC_TRACE_DIR
#define QUILLON_PCSC_TRACE_DIR "/var/log/quillon"
#endif

namespace quillon::pcsc {

// pcscd exports log_msg to its drivers; looked up at run time so that the
// handler loads in any host (and in its tests) without it.
void Log(int iLevel, const char* pFormat, ...) {
    using LogFunction = void (*)(int, const char*, ...);
    static LogFunction s_pLog = reinterpret_cast<LogFunction>(dlsym(RTLD_DEFAULT, "log_msg"));
    if (!s_pLog)
        return;
    char line[768];
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(line, sizeof line, pFormat, args);
    va_end(args);
    s_pLog(iLevel, "quillon_ifd: %s", line);
}

namespace {

// The library's own limit: anything larger is no configuration.
constexpr off_t kMaxConfigBytes = 1024 * 1024;
// The library's port name field holds fewer characters.
constexpr size_t kMaxPortName = 127;

bool EndsWith(const std::string& s, const char* pTail) {
    const size_t n = std::strlen(pTail);
    return s.size() >= n && s.compare(s.size() - n, n, pTail) == 0;
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    return b == std::string::npos ? std::string()
                                  : s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The value of section/key in INI text, read as the library reads it: names
// ignore case, ';' and '#' start a comment (inside a value after a blank).
bool IniValue(const std::string& text, const char* pSection, const char* pKey, std::string& value) {
    std::istringstream lines(text);
    bool bInSection = false;
    for (std::string line; std::getline(lines, line);) {
        const std::string t = Trim(line);
        const size_t eq = t.find('=');
        if (t.empty() || t[0] == ';' || t[0] == '#') {
            continue;
        } else if (t[0] == '[' && t.find(']') != std::string::npos) {
            bInSection = strcasecmp(Trim(t.substr(1, t.find(']') - 1)).c_str(), pSection) == 0;
        } else if (bInSection && eq != std::string::npos &&
                   strcasecmp(Trim(t.substr(0, eq)).c_str(), pKey) == 0) {
            std::string v = t.substr(eq + 1);
            for (size_t i = 0; i < v.size(); ++i)
                if ((v[i] == ';' || v[i] == '#') && (i == 0 || v[i - 1] == ' ' || v[i - 1] == '\t'))
                    v.resize(i);
            value = Trim(v);
            return true;
        }
    }
    return false;
}

// The folder holding path ("/" for "/" itself).
std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Root, or the user this process runs as.
bool IsTrustedOwner(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

// Why another user could change the file or folder st describes: its owner
// or its write permission; "" when nobody can.
std::string OwnRisk(const std::string& what, const struct stat& st) {
    if (!IsTrustedOwner(st.st_uid))
        return what + " belongs to user " + std::to_string(st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return what + " may be written by other users";
    return std::string();
}

// Why another user could put something else in place of a name in folder
// (absolute, no links) or in a folder above it; "" when nobody can. A
// sticky folder of root's (/tmp) lets others add names but not replace
// root's.
std::string FolderRisk(std::string folder) {
    for (;;) {
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return folder + " is no folder";
        const bool bRootsSticky = (st.st_mode & S_ISVTX) != 0 && IsTrustedOwner(st.st_uid);
        std::string risk = OwnRisk("folder " + folder, st);
        if (!risk.empty() && !bRootsSticky)
            return risk;
        if (folder == "/")
            return std::string();
        folder = Parent(folder);
    }
}

// Reads the configuration file name, where root may take it: no link, a
// regular file of root's that only root may write, in folders no other user
// can change. "" (real path and text set) or why not.
std::string ReadTrustedFile(const std::string& name, std::string& real, std::string& text) {
    struct stat st {};
    char acReal[PATH_MAX];
    if (::lstat(name.c_str(), &st) != 0 || !::realpath(name.c_str(), acReal))
        return std::strerror(errno);
    if (S_ISLNK(st.st_mode))
        return "the name is a link";
    real = acReal;
    std::string risk = FolderRisk(Parent(real));
    if (!risk.empty())
        return risk;
    const int fd = ::open(acReal, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxConfigBytes)
        risk = "no configuration file";
    else
        risk = OwnRisk("the file", st);
    char chunk[4096];
    for (ssize_t n; risk.empty() && (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
        if (n > 0)
            text.append(chunk, static_cast<size_t>(n));
        else if (errno != EINTR)
            risk = std::strerror(errno);
    }
    ::close(fd);
    return risk;
}

// path without empty and "." parts, ".." taken back lexically.
std::string Lexical(const std::string& path) {
    std::string out;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part == "..")
            out.erase(out.empty() ? 0 : out.find_last_of('/'));
        else if (!part.empty() && part != ".")
            out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

// Why root must not write the trace this configuration asks for ([DllExtFunc]
// RemainDays) into its folder: TraceDir, from the working folder when
// relative, else Vantrel there. The library uses the path as written, so no
// part of it may be a link; the folder, or while it does not exist the
// nearest one above it (root makes the rest), must be root's and written by
// root alone, in folders as for the file. "" when root may.
std::string TraceRisk(const std::string& text) {
    std::string days, dir;
    if (!IniValue(text, "DllExtFunc", "RemainDays", days))
        return std::string();
    if (!IniValue(text, "DllExtFunc", "TraceDir", dir) || dir.empty())
        dir = "Vantrel";
    char acPath[PATH_MAX];
    if (dir[0] != '/')
        dir = std::string(::getcwd(acPath, sizeof acPath) ? acPath : "") + "/" + dir;
    std::string at = dir;
    struct stat st {};
    while (::lstat(at.c_str(), &st) != 0) {
        if (errno != ENOENT || at == "/")
            return "trace folder " + dir + ": " + std::strerror(errno);
        at = Parent(at);
    }
    if (!::realpath(at.c_str(), acPath))
        return std::strerror(errno);
    if (S_ISLNK(st.st_mode) || Lexical(at) != acPath)
        return "trace folder " + dir + " is or passes a link";
    if (!S_ISDIR(st.st_mode))
        return "trace folder " + at + " is no folder";
    std::string risk = OwnRisk("trace folder " + at, st);
    return risk.empty() ? FolderRisk(Parent(acPath)) : risk;
}

// A name that reaches the configuration file as a value must be one line of
// printable characters without a comment sign.
bool IsPlainValue(const std::string& s) {
    if (s.empty() || s.size() > kMaxPortName)
        return false;
    for (unsigned char c : s)
        if (c < 0x21 || c == 0x7f || c == ';' || c == '#')
            return false;
    return true;
}

std::string EnvOr(const char* pName, const char* pDefault) {
    const char* p = std::getenv(pName);
    return p && *p ? std::string(p) : std::string(pDefault);
}

// The folder of the written configurations: ours alone (created 0700, owned
// by this user, never a link, not writable by others).
bool PrepareRunDir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool WriteWhole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A serial device: the configuration the library reads is written for it
// (port, and the trace folder, since pcscd runs in /). The library's reader
// selection finds the family and writes it back into this file.
bool WriteSerialConfig(const std::string& device, std::string& path) {
    const std::string dir = EnvOr("QUILLON_PCSC_RUN_DIR", QUILLON_PCSC_RUN_DIR);
    const std::string traceDir = EnvOr("QUILLON_PCSC_TRACE_DIR", QUILLON_PCSC_TRACE_DIR);
    if (!IsPlainValue(traceDir) || traceDir[0] != '/') {
        Log(kLogError, "trace folder %s is not an absolute plain path", traceDir.c_str());
        return false;
    }
    if (!PrepareRunDir(dir)) {
        Log(kLogError, "cannot use %s for the reader configuration: %s", dir.c_str(),
            std::strerror(errno));
        return false;
    }
    std::string file;
    for (char c : device)
        file.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c
                                                                                           : '_');
    path = dir + "/" + file + ".ini";
    const std::string text = "; Written by the Quillon PC/SC bridge for " + device +
                             " at every start.\n"
                             "[CARDREADER]\nPort=" +
                             device + "\n\n[DllExtFunc]\nRemainDays=14\nTraceDir=" + traceDir +
                             "\n";
    const std::string tmp = path + ".new";
    (void)::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool bWritten = WriteWhole(fd, text);
    const bool bClosed = ::close(fd) == 0;
    if (!bWritten || !bClosed || ::rename(tmp.c_str(), path.c_str()) != 0) {
        (void)::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool ConfigFor(const std::string& name, tReaderConfig& config) {
    config = tReaderConfig{};
    if (EndsWith(name, ".ini")) {
        std::string text;
        std::string risk = ReadTrustedFile(name, config.path, text);
        if (risk.empty())
            risk = TraceRisk(text);
        if (!risk.empty()) {
            Log(kLogError, "%s refused: %s", name.c_str(), risk.c_str());
            return false;
        }
        std::string motor;
        config.bMotor = IniValue(text, "PCSC", "MotorControl", motor) && motor == "1";
        return true;
    }
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0) {
        Log(kLogError, "%s: %s", name.c_str(), name.empty() ? "no name" : std::strerror(errno));
        return false;
    }
    if (!S_ISCHR(st.st_mode) || !IsPlainValue(name)) {
        Log(kLogError, "%s is neither a serial device nor a .ini configuration", name.c_str());
        return false;
    }
    return WriteSerialConfig(name, config.path);
}

} // namespace quillon::pcsc
