// The trace library through its six C entry points, on real files; each test
// runs in a fresh temporary folder that is also the working folder.
#include "vantrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#define OWN_PID GetCurrentProcessId()
#define SET_TZ(zone) (_putenv_s("TZ", zone), _tzset())
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#define OWN_PID getpid()
#define SET_TZ(zone) (setenv("TZ", zone, 1), tzset())
#endif

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

namespace {

struct Line {
    std::string stamp, pid, tid, level, text;
};

// The lines of a file; each must be "stamp [pid:tid] Ln text".
std::vector<Line> Lines(const fs::path& file) {
    static const std::regex head(R"((\S+ \S+\.\d{3}) \[(\d+):(\d+)\] L(-?\d+) )");
    std::ifstream in(file, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(all.empty() || all.back() == '\n') << file;
    std::vector<Line> lines;
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = all.substr(at, end - at), start = line.substr(0, 100);
        std::smatch m; // on the start only: a regex over a long text exhausts the stack
        if (std::regex_search(start, m, head, std::regex_constants::match_continuous))
            lines.push_back({m[1], m[2], m[3], m[4], line.substr(m.length())});
        else
            ADD_FAILURE() << "broken line in " << file << ": " << start;
    }
    return lines;
}

std::string Rotated(const std::string& log, int n) {
    return n ? log + "." + std::to_string(n) : log;
}

// The texts of a log, its rotated files oldest first, then the current one.
Texts TextsOf(const std::string& log, int keepFiles = 0) {
    Texts texts;
    for (int n = keepFiles; n >= 0; --n)
        for (const Line& l : Lines(Rotated(log, n)))
            texts.push_back(l.text);
    return texts;
}

std::set<std::string> NamesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.insert(fs::relative(e.path(), dir).generic_string());
    return names;
}

void Age(const char* file, int days) {
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
}

class VantrelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SET_TZ("QLT-9"); // nine hours ahead of UTC: a stamp in UTC would show
        static int count = 0;
        dir_ /= "vantrel-" + std::to_string(OWN_PID) + "-" + std::to_string(++count);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        stopTrace(-1);
        fs::current_path(home_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_ = fs::temp_directory_path();
    const fs::path home_ = fs::current_path();
};

TEST_F(VantrelTest, PathsResolveAgainstTheWorkingFolderAndFoldersAreMade) {
    const std::pair<const char*, const char*> cases[] = {
        {"Vantrel\\CARDREADER.log", "Vantrel/CARDREADER.log"},
        {"a\\b/c\\X.log", "a/b/c/X.log"},
        {".\\up\\..\\back.log", "back.log"}};
    fs::create_directories("elsewhere");
    for (const auto& [path, file] : cases) {
        const VantrelHandle h = openTrace(path, 0, 4194304, 6);
        fs::current_path("elsewhere"); // the path was fixed at opening
        EXPECT_GT(writeMsg(h, 3, path), 0) << path;
        fs::current_path(dir_);
        EXPECT_EQ(TextsOf(file), Texts{path});
    }
    EXPECT_EQ(NamesIn(dir_),
              (std::set<std::string>{"Vantrel", "Vantrel/CARDREADER.log", "a", "a/b", "a/b/c",
                                     "a/b/c/X.log", "back.log", "elsewhere"}));
}

TEST_F(VantrelTest, LineCarriesLocalTimeProcessThreadLevelAndText) {
    const VantrelHandle h = openTrace("X.log", 0, 0, 0);
    // The library's clock: time() may lag it by a tick just past a second.
    const auto now = [] {
        return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    };
    const std::time_t before = now();
    writeMsg(h, 3, "->Leave Init(CARDREADER 1201)");
    std::thread([h] { writeMsg(h, 2, "other thread"); }).join();
    const std::time_t after = now();
    const auto lines = Lines("X.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "->Leave Init(CARDREADER 1201)");
    EXPECT_EQ(lines[0].level + lines[1].level, "32");
    EXPECT_EQ(std::stoul(lines[0].pid), static_cast<unsigned long>(OWN_PID));
    EXPECT_EQ(lines[1].pid, lines[0].pid);
    EXPECT_NE(lines[1].tid, lines[0].tid) << "two threads, one thread id";
    std::tm tm{};
    std::istringstream(lines[0].stamp) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    tm.tm_isdst = -1;
    const std::time_t stamped = std::mktime(&tm);
    EXPECT_TRUE(before <= stamped && stamped <= after) << lines[0].stamp;
}

// The setting chooses the levels written; each message is one whole line.
TEST_F(VantrelTest, WhatIsWritten) {
    std::string abc;
    for (int i = 0; i < 100000; ++i)
        abc.push_back(static_cast<char>('a' + i % 26));
    const std::tuple<int, int, std::string, Texts> cases[] = {
        // clang-format off
        {0, 1, "x", {"x"}}, {0, 9, "x", {"x"}}, {0, 0, "x", {"x"}}, {3, 1, "x", {"x"}},
        {3, 3, "x", {"x"}}, {3, 4, "x", {}}, {3, 0, "x", {}}, {1, 2, "x", {}}, {-1, 1, "x", {}},
        {-1, 0, "x", {}}, {0, 3, "", {""}}, {0, 3, "one\r\n", {"one"}},
        {0, 3, "two\nlines", {"two lines"}}, {0, 3, abc.substr(0, 3000), {abc.substr(0, 3000)}},
        {0, 3, abc, {abc}}};
    // clang-format on
    int count = 0;
    for (const auto& [setting, level, text, expected] : cases) {
        const std::string log = std::to_string(++count) + ".log";
        const int n = writeMsg(openTrace(log.c_str(), setting, 4194304, 6), level, text.c_str());
        EXPECT_EQ(static_cast<std::uintmax_t>(n), fs::file_size(log)) << log;
        EXPECT_EQ(TextsOf(log), expected) << log;
    }
}

TEST_F(VantrelTest, RotationKeepsTheNewestLinesInKeepFilesOldFiles) {
    for (const int keep : {0, 1, 3}) {
        const std::string log = "r" + std::to_string(keep) + ".log";
        const VantrelHandle h = openTrace(log.c_str(), 0, 300, keep);
        Texts written;
        for (int i = 0; i < 60; ++i) {
            written.push_back("line " + std::to_string(i));
            ASSERT_GT(writeMsg(h, 2, written.back().c_str()), 0);
        }
        for (int n = 0; n <= keep; ++n)
            EXPECT_LE(fs::file_size(Rotated(log, n)), 300u) << log << n;
        EXPECT_FALSE(fs::exists(Rotated(log, keep + 1))) << log;
        const Texts kept = TextsOf(log, keep); // an unbroken run of the newest lines
        ASSERT_GT(kept.size(), static_cast<size_t>(keep));
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), written.end() - kept.size())) << log;
    }
    // What the file already holds counts; a line longer than the limit goes
    // whole; an empty file does not rotate.
    std::ofstream("x.log", std::ios::binary) << std::string(250, 'o') << '\n';
    const VantrelHandle h = openTrace("x.log", 0, 300, 2), tiny = openTrace("tiny.log", 0, 10, 2);
    writeMsg(h, 1, "does not fit beside the old content");
    writeMsg(h, 1, std::string(400, 'b').c_str());
    EXPECT_EQ(fs::file_size("x.log.2"), 251u);
    EXPECT_EQ(TextsOf("x.log", 1),
              (Texts{"does not fit beside the old content", std::string(400, 'b')}));
    EXPECT_GT(writeMsg(tiny, 1, "longer than the limit, into an empty file"), 0);
    EXPECT_FALSE(fs::exists("tiny.log.1"));
}

TEST_F(VantrelTest, KeepTimeDeletesOnlyThisLogsOldRotatedFiles) {
    const std::pair<const char*, int> files[] = {
        // clang-format off
        {"k.log", 30}, {"k.log.1", 1}, {"k.log.2", 8}, {"k.log.3", 6}, {"k.log.10", 30},
        {"k.log.bak", 30}, {"k.logger", 30}, {"k.log.1.gz", 30}, {"other.log.1", 30}};
    const std::pair<int, std::set<std::string>> cases[] = {{0, {}}, {-3, {}}, {40, {}},
        {7, {"k.log.2", "k.log.10"}}, {5, {"k.log.2", "k.log.3", "k.log.10"}}};
    // clang-format on
    for (const auto& [days, deleted] : cases) {
        std::set<std::string> expected;
        for (const auto& f : files)
            std::ofstream(f.first) << "old\n";
        const VantrelHandle h = openTrace("k.log", 0, 0, 6);
        for (const auto& [name, age] : files) {
            Age(name, age);
            if (!deleted.count(name))
                expected.insert(name);
        }
        EXPECT_EQ(setTraceKeepTime(h, days), 1);
        EXPECT_EQ(NamesIn(dir_), expected) << days;
        closeTrace(h);
    }
    // ... and again after every later rotation.
    std::ofstream("r.log.5") << "old\n";
    const VantrelHandle h = openTrace("r.log", 0, 100, 6);
    EXPECT_EQ(setTraceKeepTime(h, 3), 1);
    Age("r.log.5", 4);
    writeMsg(h, 1, "a line long enough to fill most of the file");
    EXPECT_TRUE(fs::exists("r.log.5"));
    writeMsg(h, 1, "and another one that makes it rotate");
    EXPECT_FALSE(fs::exists("r.log.5"));
}

TEST_F(VantrelTest, UnknownHandlesAndUnusablePathsAreRefused) {
    std::ofstream("plain") << "x";
    fs::create_directory("folder");
    for (const char* path : {"", "plain\\x.log", "folder", "folder\\"})
        EXPECT_EQ(openTrace(path, 0, 0, 0), 0) << path;
    EXPECT_EQ(openTrace(nullptr, 0, 0, 0), 0);
    const VantrelHandle h = openTrace("x.log", 0, 0, 0), other = openTrace("y.log", 0, 0, 0);
    EXPECT_EQ(writeMsg(h, 1, nullptr), 0);
    for (const VantrelHandle bad : {VantrelHandle(0), VantrelHandle(-1), other + 12345})
        EXPECT_EQ(writeMsg(bad, 1, "x") + setTraceKeepTime(bad, 1) + closeTrace(bad), 0) << bad;
    EXPECT_EQ(closeTrace(h), 1);
    EXPECT_EQ(closeTrace(h) + writeMsg(h, 1, "after close"), 0);
    EXPECT_GT(writeMsg(other, 1, "still open"), 0);
    EXPECT_EQ(stopTrace(-1), 1);
    EXPECT_EQ(writeMsg(other, 1, "after stop") + closeTrace(other), 0);
    EXPECT_EQ(fs::file_size("x.log"), 0u);
    EXPECT_EQ(TextsOf("y.log"), Texts{"still open"});
}

// Threads on two handles of one log, lines of many lengths: every line arrives
// whole and once, and no file passes its limit.
TEST_F(VantrelTest, ConcurrentWritersProduceOnlyWholeLines) {
    constexpr int kThreads = 8, kLines = 400;
    const auto Text = [](int t, int i) {
        return std::to_string(t) + " " + std::to_string(i) + " " + std::string(i * 7 % 700, '#');
    };
    for (const int maxBytes : {0, 16384}) {
        const std::string log = "t" + std::to_string(maxBytes) + ".log";
        const VantrelHandle h[] = {openTrace(log.c_str(), 0, maxBytes, 1000),
                                   openTrace(("x\\..\\" + log).c_str(), 0, maxBytes, 1000)};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i)
                    EXPECT_GT(writeMsg(h[t % 2], 3, Text(t, i).c_str()), 0);
            });
        for (auto& th : threads)
            th.join();
        Texts texts = TextsOf(log, 1000), written;
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kLines; ++i)
                written.push_back(Text(t, i));
        std::sort(texts.begin(), texts.end());
        std::sort(written.begin(), written.end());
        EXPECT_TRUE(texts == written) << log << ": " << texts.size() << " lines";
        for (int n = 0; maxBytes > 0 && fs::exists(Rotated(log, n)); ++n)
            EXPECT_LE(fs::file_size(Rotated(log, n)), 16384u) << n;
    }
}

#if !defined(_WIN32)
// Another process rotated the log away (renamed it) and the path cannot be
// opened for a while: the lines stay in the file held, and the first line
// after the path works again goes to the path.
TEST_F(VantrelTest, AWriterWhoseFileWasRenamedAwayReopensTheLog) {
    const VantrelHandle h = openTrace("f.log", 0, 0, 0);
    writeMsg(h, 1, "one");
    fs::rename("f.log", "f.log.1");
    fs::create_directory("f.log"); // in the way of the reopening
    EXPECT_GT(writeMsg(h, 1, "two"), 0);
    fs::remove("f.log");
    EXPECT_GT(writeMsg(h, 1, "three"), 0);
    EXPECT_EQ(TextsOf("f.log", 1), (Texts{"one", "two", "three"}));
    EXPECT_EQ(TextsOf("f.log"), Texts{"three"});
}

TEST_F(VantrelTest, FoldersAndFilesAreNotOpenToOthersWhateverTheUmask) {
    const mode_t old = umask(0);
    const VantrelHandle h = openTrace("a\\b\\x.log", 0, 100, 2);
    writeMsg(h, 1, std::string(90, 'x').c_str());
    writeMsg(h, 1, "rotated into a fresh file");
    umask(old);
    const auto mode = [](const char* p) { return fs::status(p).permissions() & fs::perms::mask; };
    using P = fs::perms;
    for (const char* folder : {"a", "a/b"})
        EXPECT_EQ(mode(folder), P::owner_all | P::group_read | P::group_exec) << folder;
    for (const char* file : {"a/b/x.log", "a/b/x.log.1"})
        EXPECT_EQ(mode(file), P::owner_read | P::owner_write | P::group_read) << file;
}

// Whatever was planted at the log's path is refused and left as it was.
TEST_F(VantrelTest, OnlyARegularFileOfItsOwnIsALog) {
    std::ofstream("target") << "keep\n";
    const std::pair<const char*, void (*)()> plants[] = {
        {"link to a file", [] { fs::create_symlink("target", "x.log"); }},
        {"dangling link", [] { fs::create_symlink("missing", "x.log"); }},
        {"second name of a file", [] { fs::create_hard_link("target", "x.log"); }},
        {"fifo", [] { ASSERT_EQ(mkfifo("x.log", 0600), 0); }},
    };
    for (const auto& [what, plant] : plants) {
        plant();
        EXPECT_EQ(writeMsg(openTrace("x.log", 0, 0, 0), 1, "x"), 0) << what;
        fs::remove("x.log");
    }
    EXPECT_FALSE(fs::exists("missing"));
    std::ifstream in("target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep\n");
}

// Two processes write one log across many rotations: every line arrives
// once, and no file passes the limit.
TEST_F(VantrelTest, TwoProcessesShareOneLogAcrossRotations) {
    constexpr int kLines = 1500, kLimit = 2048;
    const auto Text = [](int who, int i) {
        return std::to_string(who) + " " + std::to_string(i) + std::string(i % 40, '.');
    };
    const auto Write = [&](int who) {
        const VantrelHandle h = openTrace("p.log", 0, kLimit, 100000);
        int failed = 0;
        for (int i = 0; i < kLines; ++i)
            failed += writeMsg(h, 1, Text(who, i).c_str()) <= 0;
        closeTrace(h);
        return failed;
    };
    // The log is open and its folder locked once before the fork: the child
    // must lock for itself, and sign its lines with its own number.
    const VantrelHandle before = openTrace("p.log", 0, kLimit, 100000);
    ASSERT_GT(writeMsg(before, 1, "before"), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0)
        _exit(Write(1) == 0 ? 0 : 1);
    EXPECT_EQ(Write(0), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    closeTrace(before);

    int files = 0;
    while (fs::exists(Rotated("p.log", files + 1)))
        ++files;
    Texts texts, written{"before"};
    for (int n = files; n >= 0; --n) {
        EXPECT_LE(fs::file_size(Rotated("p.log", n)), static_cast<std::uintmax_t>(kLimit)) << n;
        for (const Line& l : Lines(Rotated("p.log", n))) {
            texts.push_back(l.text);
            const pid_t from = l.text.rfind("1 ", 0) == 0 ? child : OWN_PID;
            EXPECT_EQ(std::to_string(from), l.pid) << l.text;
        }
    }
    for (int who = 0; who < 2; ++who)
        for (int i = 0; i < kLines; ++i)
            written.push_back(Text(who, i));
    std::sort(texts.begin(), texts.end());
    std::sort(written.begin(), written.end());
    EXPECT_TRUE(texts == written) << texts.size() << " lines in " << files + 1 << " files";
}
#endif

TEST(VantrelLoading, TheSixEntryPointsAreFoundByName) {
#if defined(_WIN32)
    HMODULE m = LoadLibraryA(VANTREL_FILE);
    const auto find = [&m](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(m, name));
    };
#else
    void* m = dlopen(VANTREL_FILE, RTLD_NOW | RTLD_LOCAL);
    const auto find = [&m](const char* name) { return dlsym(m, name); };
#endif
    ASSERT_NE(m, nullptr) << VANTREL_FILE;
    for (const char* name :
         {"startTrace", "openTrace", "setTraceKeepTime", "writeMsg", "closeTrace", "stopTrace"})
        EXPECT_NE(find(name), nullptr) << name;
}

} // namespace
