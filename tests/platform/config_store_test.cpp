#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#if !defined(_WIN32)
#include <cerrno>
#include <grp.h>
#include <sys/wait.h>
#endif

#include "platform/config_store.h"
#include "platform/dev_base.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using quillon::ConfigGetInt;
using quillon::ConfigSetInt;

namespace {

// Runs fn in a child process and returns its exit code, -1 when it was
// killed (a call that blocks is ended by the alarm). Unprivileged: the child
// runs as nobody when the tests run as root, so file permissions apply.
// Windows runs fn in place.
int iIsolated(bool bUnprivileged, const std::function<int()>& fn) {
#if defined(_WIN32)
    (void)bUnprivileged;
    return fn();
#else
    pid_t pid = fork();
    if (pid == 0) {
        alarm(30);
        if (bUnprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(fn());
    }
    int status = 0;
    pid_t waited = -1;
    while (pid > 0 && (waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (pid < 0 || waited != pid)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

} // namespace

TEST(ConfigStore, LookupRules) {
    TestEnv env("; kiosk reader\n"
                "[CardReaderType]\n"
                "CardReaderType = 2 ; set by auto-detection\n"
                "[dtr]\n"
                "DTR=0x1\n"
                "[IntakeMode]\n"
                "IntakeMode=fast\n"
                "Empty=\n"
                "Neg=-12\n"
                "Big=99999999999\n"
                "# IntakeMode=7\n");
    struct Row {
        const char* section;
        const char* key;
        int rc;
        int value; // expected value (7 = left alone)
    } rows[] = {
        {"CardReaderType", "CardReaderType", 0, 2}, // comment after the value
        {"cardreadertype", "CARDREADERTYPE", 0, 2}, // names ignore case
        {"Dtr", "Dtr", 0, 1},                       // hex
        {"IntakeMode", "IntakeMode", 1, 7},         // not an integer
        {"IntakeMode", "Empty", 1, 7},
        {"IntakeMode", "Neg", 0, -12},
        {"IntakeMode", "Big", 1, 7},  // does not fit 32 bits
        {"ActMode", "ActMode", 1, 7}, // missing section
        {"Dtr", "Missing", 1, 7},     // missing key
    };
    for (const Row& r : rows) {
        int v = 7;
        EXPECT_EQ(r.rc, ConfigGetInt(env.configPath(), r.section, r.key, v))
            << r.section << "/" << r.key;
        EXPECT_EQ(r.value, v) << r.section << "/" << r.key;
    }
    int v = 7;
    EXPECT_EQ(1, ConfigGetInt(env.dir() + "/nope.ini", "Dtr", "Dtr", v));
    EXPECT_EQ(7, v);
}

TEST(ConfigStore, SetKeepsEveryOtherLineByteForByte) {
    const std::string before = "; Quillon configuration\r\n"
                               "[CARDREADER]\r\n"
                               "Port=/dev/ttyUSB0   # the kiosk's reader\r\n"
                               "\r\n"
                               "[CardReaderType]\r\n"
                               "cardreadertype = 2 ; detected\r\n"
                               "Other=5\r\n"
                               "[Dtr]\r\n"
                               "Dtr=1";
    TestEnv env(before);
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 1));
    std::string expected = before;
    expected.replace(expected.find("cardreadertype = 2"), 18, "cardreadertype = 1");
    EXPECT_EQ(expected, env.sReadConfig());

    // A new key goes at the end of its section; a new section at the end.
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "CARDREADER", "BaudRate", 19200));
    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "USB", "VID", 1424));
    expected.replace(expected.find("reader\r\n") + 8, 0, "BaudRate=19200\r\n");
    EXPECT_EQ(expected + "\r\n[USB]\r\nVID=1424\r\n", env.sReadConfig());
}

// A comment that follows '=' directly keeps a blank before it once a value
// stands there, so it stays a comment and the value reads back. A missing
// file is made.
TEST(ConfigStore, SetKeepsACommentGluedToEqualsApartAndMakesAMissingFile) {
    const std::vector<std::pair<const char*, std::string>> rows = {
        {"K =;c", "K =5 ;c"},
        {"K=#c", "K=5 #c"},
        {"K = ;c", "K = 5 ;c"},
        {"K=\t\t\t#c", "K=\t\t\t5\t#c"}, // the blanks are not doubled
        {nullptr, "K=5"}};
    for (const auto& [line, stored] : rows) {
        SCOPED_TRACE(line ? line : "no file");
        TestEnv env(line ? "[S]\n" + std::string(line) + "\n" : "");
        if (!line)
            fs::remove(env.configPath());
        ASSERT_EQ(0, ConfigSetInt(env.configPath(), "S", "K", 5));
        EXPECT_EQ("[S]\n" + stored + "\n", env.sReadConfig());
        int v = 0;
        EXPECT_EQ(0, ConfigGetInt(env.configPath(), "S", "K", v));
        EXPECT_EQ(5, v);
    }
}

// Files that are no configuration are neither taken for one nor replaced:
// a lookup finds nothing, a write fails, and nothing in the folder changes.
TEST(ConfigStore, HostileFilesAreNeitherReadNorReplaced) {
    const std::string ini = "[CardReaderType]\nCardReaderType=2\n";
    enum Kind { kFolder, kTooBig, kFifo, kUnreadable };
    struct Row {
        const char* name;
        Kind kind;
    } rows[] = {
        {"a folder", kFolder},
        {"2 MiB", kTooBig},
#if !defined(_WIN32)
        {"a FIFO without a writer", kFifo}, // opening it for reading would block
        {"unreadable", kUnreadable},        // once read as empty, rewritten with one key
#endif
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TestEnv env(ini);
        const std::string& path = env.configPath();
        if (r.kind == kFolder || r.kind == kFifo) {
            fs::remove(path);
            if (r.kind == kFolder)
                fs::create_directory(path);
#if !defined(_WIN32)
            else
                ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
#endif
        }
        if (r.kind == kTooBig)
            env.vWriteConfig(ini + std::string(2 * 1024 * 1024, ';'));
        if (r.kind == kUnreadable) {
            fs::permissions(path, fs::perms::none);
            fs::permissions(env.dir(), fs::perms::all); // the write itself would succeed
        }
        const fs::file_type type = fs::symlink_status(path).type();
        const std::string before = type == fs::file_type::regular ? env.sReadConfig() : "";
        const std::set<std::string> names = Names(env.dir());

        const int outcome = iIsolated(r.kind == kUnreadable, [&] {
            int v = 7;
            const int get = ConfigGetInt(path, "CardReaderType", "CardReaderType", v);
            const int set = ConfigSetInt(path, "CardReaderType", "CardReaderType", 1);
            return (v != 7 ? 4 : 0) | (get == 1 ? 2 : 0) | (set == 1 ? 1 : 0);
        });
        EXPECT_EQ(3, outcome) << "4: value taken, 2: lookup refused, 1: write refused, -1: hung";
        EXPECT_EQ(type, fs::symlink_status(path).type());
        EXPECT_TRUE(type != fs::file_type::regular || before == env.sReadConfig())
            << "the file was rewritten";
        EXPECT_EQ(names, Names(env.dir()));
    }
}

#if !defined(_WIN32)
// Root follows no link of another user to a file that is not that user's,
// nor to a file yet to be made: the write fails and nothing changes.
TEST(ConfigStore, RootFollowsNoLinkToAFileOfAnotherOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the rule is root's";
    for (const bool bTargetExists : {true, false}) {
        SCOPED_TRACE(bTargetExists);
        TestEnv env;
        const std::string victim = env.dir() + "/victim";
        if (bTargetExists)
            std::ofstream(victim) << "precious\n";
        fs::remove(env.configPath());
        ASSERT_EQ(0, symlink(victim.c_str(), env.configPath().c_str()));
        ASSERT_EQ(0, lchown(env.configPath().c_str(), 65534, 65534));
        const std::set<std::string> names = Names(env.dir());
        EXPECT_EQ(1, ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 1));
        EXPECT_EQ(names, Names(env.dir()));
        EXPECT_EQ(bTargetExists ? "precious\n" : "", env.sReadFile("victim"));
    }
}

// Links planted where a temporary file could be expected are not followed:
// the file they point to stays as it was, and they stay links.
TEST(ConfigStore, PlantedLinksAtTemporaryNamesAreNotFollowed) {
    TestEnv env("[CardReaderType]\nCardReaderType=2\n");
    const std::string victim = env.dir() + "/victim";
    std::ofstream(victim) << "precious\n";
    const std::string planted[] = {".tmp." + std::to_string(getpid()), ".tmp", ".new", "~", ".bak"};
    for (const std::string& suffix : planted)
        ASSERT_EQ(0, symlink(victim.c_str(), (env.configPath() + suffix).c_str()));
    const std::set<std::string> names = Names(env.dir());

    ASSERT_EQ(0, ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 1));
    EXPECT_EQ("[CardReaderType]\nCardReaderType=1\n", env.sReadConfig());
    EXPECT_FALSE(fs::is_symlink(env.configPath()));
    EXPECT_EQ("precious\n", env.sReadFile("victim"));
    for (const std::string& suffix : planted)
        EXPECT_EQ(victim, fs::read_symlink(env.configPath() + suffix).string()) << suffix;
    EXPECT_EQ(names, Names(env.dir()));
}
#endif

// A write that fails leaves the old file and nothing else behind.
TEST(ConfigStore, FailedWriteLeavesTheOldFile) {
    const std::string old = "[CardReaderType]\nCardReaderType=2\n";
    {
        // A new key that would make the file too big to be read back.
        TestEnv env(old + ";" + std::string(1024 * 1024 - old.size() - 2, 'x') + "\n");
        const std::string before = env.sReadConfig();
        EXPECT_EQ(1, ConfigSetInt(env.configPath(), "Dtr", "Dtr", 1));
        EXPECT_TRUE(before == env.sReadConfig());
    }
#if !defined(_WIN32) // Windows folders have no write permission bits to take away
    // No temporary file can be made. (One that cannot be written: the failing
    // writes of SystemPosix.)
    TestEnv env(old);
    fs::permissions(env.dir(), fs::perms::owner_read | fs::perms::owner_exec |
                                   fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
    const std::set<std::string> names = Names(env.dir());
    EXPECT_EQ(1, iIsolated(true, [&] {
                  return ConfigSetInt(env.configPath(), "CardReaderType", "CardReaderType", 1);
              }));
    EXPECT_EQ(old, env.sReadConfig());
    EXPECT_EQ(names, Names(env.dir()));
#endif
}
