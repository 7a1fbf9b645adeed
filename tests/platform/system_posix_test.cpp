// The POSIX file services under failing system calls (swapped in through
// PosixFileCalls) and along chains of links.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_file_calls.h"
#include "platform/system.h"
#include "support/test_env.h"

using namespace quillon;

namespace {
// A call that fails once with iErrno (0: never) after iPass calls went through.
struct Fault {
    int iPass = 0;
    int iErrno = 0;
};
Fault g_read, g_write, g_fchown, g_fchmod, g_fsync, g_rename;
bool Fails(Fault& f) {
    if (f.iErrno == 0 || f.iPass-- > 0)
        return false;
    errno = f.iErrno;
    f.iErrno = 0;
    return true;
}

// Puts the faulty calls in place while it lives.
struct FaultyCalls {
    tPosixFileCalls saved = PosixFileCalls();
    FaultyCalls() {
        g_read = g_write = g_fchown = g_fchmod = g_fsync = g_rename = Fault{};
        PosixFileCalls() = {
            [](int fd, void* p, size_t n) { return Fails(g_read) ? -1 : ::read(fd, p, n); },
            // One byte at a time: a write that takes less than it was given goes on.
            [](int fd, const void* p, size_t n) {
                return Fails(g_write) ? -1 : ::write(fd, p, n ? 1 : 0);
            },
            [](int fd, uid_t u, gid_t g) { return Fails(g_fchown) ? -1 : ::fchown(fd, u, g); },
            [](int fd, mode_t m) { return Fails(g_fchmod) ? -1 : ::fchmod(fd, m); },
            [](int fd) { return Fails(g_fsync) ? -1 : ::fsync(fd); },
            [](const char* a, const char* b) { return Fails(g_rename) ? -1 : ::rename(a, b); },
        };
    }
    ~FaultyCalls() { PosixFileCalls() = saved; }
};

size_t FilesIn(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.' || std::string(e->d_name).size() > 2;
        closedir(d);
    }
    return n;
}
} // namespace

TEST(SystemPosix, ReadAndReplaceSurviveInterruptionsAndFailCleanly) {
    TestEnv env;
    const std::string file = env.configPath();
    const bool root = geteuid() == 0;
    const passwd* nobody = getpwnam("nobody");
    // The fault; whether the old file belongs to another user (root only); the result; the
    // owner afterwards (nobody's, else ours); set-id bits on the file afterwards.
    // clang-format off
    const std::tuple<const char*, Fault*, Fault, bool, int, bool, bool> rows[] = {
        {"write interrupted", &g_write, {2, EINTR}, false, 0, false, false},
        {"write fails", &g_write, {3, ENOSPC}, false, 1, false, false},
        {"rename fails", &g_rename, {0, EXDEV}, false, 1, false, false},
        {"owner may not be given: set-id dropped", &g_fchown, {0, EPERM}, true, 0, false, false},
        {"owner change fails", &g_fchown, {0, EIO}, true, 1, true, true},
        {"mode fails", &g_fchmod, {0, EACCES}, false, 1, false, false},
        {"owner and mode copied", &g_fsync, {}, true, 0, true, true},
    };
    // clang-format on
    for (const auto& [name, fault, how, foreign, result, theirs, setId] : rows) {
        SCOPED_TRACE(name);
        if (foreign && (!root || !nobody))
            continue; // another owner takes root
        unlink(file.c_str());
        env.vWriteConfig("old\n");
        if (foreign) {
            ASSERT_EQ(0, chown(file.c_str(), nobody->pw_uid, nobody->pw_gid));
        }
        ASSERT_EQ(0, chmod(file.c_str(), foreign ? 04640 : 0640));
        const size_t before = FilesIn(env.dir());
        FaultyCalls calls;
        *fault = how;
        EXPECT_EQ(result, WriteFileAtomically(file, "new contents\n"));
        EXPECT_EQ(result ? "old\n" : "new contents\n", env.sReadConfig());
        EXPECT_EQ(before, FilesIn(env.dir())); // no temporary file left behind
        struct stat st {};
        ASSERT_EQ(0, stat(file.c_str(), &st));
        EXPECT_EQ(theirs ? nobody->pw_uid : geteuid(), st.st_uid);
        EXPECT_EQ(setId ? 04640u : 0640u, st.st_mode & 07777);
    }

    std::string data;
    env.vWriteConfig(std::string(20000, 'r'));
    FaultyCalls calls;
    g_read = {1, EINTR};
    EXPECT_EQ(kFileRead, ReadSmallFile(file, 1 << 20, data));
    EXPECT_EQ(20000u, data.size());
    g_read = {1, EIO};
    EXPECT_EQ(kFileUnreadable, ReadSmallFile(file, 1 << 20, data));
    EXPECT_EQ(20000u, data.size()); // what the caller had stays
}

// A write goes to the end of a chain of links, relative ones taken from the
// link's own folder (not the working folder), and makes the file there; a
// loop is refused. (Root's refusal of another user's link: the configuration
// store's tests.)
TEST(SystemPosix, WritesFollowTheLinkChainButNoLoop) {
    TestEnv env;
    const std::string d = env.dir() + "/";
    ASSERT_EQ(0, mkdir((d + "etc").c_str(), 0700));
    ASSERT_EQ(0, symlink((d + "etc/b.lnk").c_str(), (d + "a.lnk").c_str()));
    ASSERT_EQ(0, symlink("real.ini", (d + "etc/b.lnk").c_str()));
    EXPECT_EQ(0, WriteFileAtomically(d + "a.lnk", "through\n"));
    EXPECT_EQ("through\n", env.sReadFile("etc/real.ini"));
    EXPECT_FALSE(env.bExists("real.ini"));
    struct stat st {};
    for (const char* link : {"a.lnk", "etc/b.lnk"}) {
        ASSERT_EQ(0, lstat((d + link).c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << link; // the links stay links
    }

    ASSERT_EQ(0, symlink("loop2.lnk", (d + "loop1.lnk").c_str()));
    ASSERT_EQ(0, symlink("loop1.lnk", (d + "loop2.lnk").c_str()));
    EXPECT_EQ(1, WriteFileAtomically(d + "loop1.lnk", "x\n"));
}
