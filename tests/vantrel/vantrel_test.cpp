// The trace library through its six C entry points, on real files. Every test
// runs in a fresh temporary folder that is also the working folder.
#include "vantrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

unsigned long ulOwnPid() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// Everything before the text: stamp, process, thread, level. The text is taken
// as it is (a regex over a 100000-character text would exhaust the stack).
const std::regex kHead(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(\d+):(\d+)\] L(-?\d+))");

struct OLine {
    std::string head, pid, tid, level, text;
};

std::vector<OLine> tLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(all.empty() || all.back() == '\n') << file;
    std::vector<OLine> lines;
    for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = all.substr(at, end - at);
        const std::size_t level = line.find("] L");
        const std::size_t space = level == std::string::npos ? level : line.find(' ', level + 3);
        OLine l;
        l.head = line.substr(0, space);
        std::smatch m;
        if (space == std::string::npos || !std::regex_match(l.head, m, kHead)) {
            ADD_FAILURE() << "broken line in " << file << ": " << line.substr(0, 200);
            continue;
        }
        l.pid = m[1], l.tid = m[2], l.level = m[3], l.text = line.substr(space + 1);
        lines.push_back(l);
    }
    return lines;
}

// The texts of a log, rotated files oldest first, then the current one.
std::vector<std::string> tTexts(const std::string& log, int keepFiles = 0) {
    std::vector<std::string> texts;
    for (int n = keepFiles; n >= 0; --n) {
        const std::string file = n ? log + "." + std::to_string(n) : log;
        if (fs::exists(file)) {
            for (const OLine& l : tLines(file))
                texts.push_back(l.text);
        }
    }
    return texts;
}

std::set<std::string> tNamesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.insert(fs::relative(e.path(), dir).generic_string());
    return names;
}

// The tests run nine hours ahead of UTC, so a stamp in UTC instead of local
// time shows.
class OFarZone : public ::testing::Environment {
    void SetUp() override {
#if defined(_WIN32)
        _putenv_s("TZ", "QLT-9");
        _tzset();
#else
        setenv("TZ", "QLT-9", 1);
        tzset();
#endif
    }
};
::testing::Environment* const kFarZone = ::testing::AddGlobalTestEnvironment(new OFarZone);

class VantrelTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int count = 0;
        dir_ = fs::temp_directory_path() /
               ("vantrel-" + std::to_string(ulOwnPid()) + "-" + std::to_string(++count));
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
    fs::path dir_;
    const fs::path home_ = fs::current_path();
};

TEST_F(VantrelTest, PathsResolveAgainstTheWorkingFolderAndFoldersAreMade) {
    const struct {
        const char* path;
        const char* file;
    } cases[] = {{"Vantrel\\CARDREADER.log", "Vantrel/CARDREADER.log"},
                 {"a\\b/c\\X.log", "a/b/c/X.log"},
                 {"plain.log", "plain.log"},
                 {".\\up\\..\\back.log", "back.log"}};
    for (const auto& c : cases) {
        const VantrelHandle h = openTrace(c.path, 0, 4194304, 6);
        ASSERT_NE(h, 0) << c.path;
        // The path was fixed at opening: a later change of folder moves nothing.
        fs::create_directories("elsewhere");
        fs::current_path("elsewhere");
        EXPECT_GT(writeMsg(h, 3, c.path), 0);
        fs::current_path(dir_);
        EXPECT_EQ(tTexts(c.file), std::vector<std::string>{c.path});
        closeTrace(h);
    }
    for (const std::string& name : tNamesIn(dir_))
        EXPECT_EQ(name.find('\\'), std::string::npos) << name;
    EXPECT_FALSE(fs::exists("elsewhere/Vantrel"));
}

TEST_F(VantrelTest, LineCarriesLocalTimeProcessThreadLevelAndText) {
    const VantrelHandle h = openTrace("X.log", 0, 0, 0);
    const std::time_t before = std::time(nullptr);
    const int n = writeMsg(h, 3, "->Leave Init(CARDREADER 1201)");
    std::thread([h] { writeMsg(h, 2, "other thread"); }).join();
    const std::time_t after = std::time(nullptr);

    const auto lines = tLines("X.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(static_cast<std::size_t>(n), lines[0].head.size() + lines[0].text.size() + 2);
    EXPECT_EQ(lines[0].text, "->Leave Init(CARDREADER 1201)");
    EXPECT_EQ(lines[0].level, "3");
    EXPECT_EQ(std::stoul(lines[0].pid), ulOwnPid());
    EXPECT_EQ(lines[1].pid, lines[0].pid);
    EXPECT_NE(lines[1].tid, lines[0].tid) << "two threads, one thread id";
    EXPECT_EQ(lines[1].level, "2");

    std::tm tm{};
    std::istringstream(lines[0].head) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    tm.tm_isdst = -1;
    const std::time_t stamped = std::mktime(&tm);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST_F(VantrelTest, SettingChoosesTheLevels) {
    const struct {
        int setting, level;
        bool written;
    } cases[] = {{0, 1, true},  {0, 9, true},  {0, 0, true},  {3, 1, true},   {3, 3, true},
                 {3, 4, false}, {3, 0, false}, {1, 2, false}, {-1, 1, false}, {-1, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("setting " + std::to_string(c.setting) + " level " + std::to_string(c.level));
        fs::remove("levels.log");
        const VantrelHandle h = openTrace("levels.log", c.setting, 0, 0);
        const int n = writeMsg(h, c.level, "x");
        EXPECT_EQ(n > 0, c.written);
        EXPECT_EQ(fs::file_size("levels.log"), static_cast<std::uintmax_t>(n));
        closeTrace(h);
    }
}

TEST_F(VantrelTest, EveryMessageIsOneWholeLine) {
    std::string abc;
    for (int i = 0; i < 100000; ++i)
        abc.push_back(static_cast<char>('a' + i % 26));
    const struct {
        std::string text, expected;
    } cases[] = {{abc.substr(0, 2047), abc.substr(0, 2047)},
                 {abc.substr(0, 3000), abc.substr(0, 3000)},
                 {abc, abc},
                 {"", ""},
                 {"one\r\n", "one"},
                 {"two\nlines", "two lines"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        fs::remove("long.log");
        const VantrelHandle h = openTrace("long.log", 0, 4194304, 6);
        const int n = writeMsg(h, 3, c.text.c_str());
        EXPECT_EQ(static_cast<std::uintmax_t>(n), fs::file_size("long.log"));
        EXPECT_EQ(tTexts("long.log"), std::vector<std::string>{c.expected});
        closeTrace(h);
    }
}

TEST_F(VantrelTest, RotationKeepsTheNewestLinesInAtMostKeepFilesOldFiles) {
    for (const int keep : {0, 1, 3, 6}) {
        SCOPED_TRACE("keep " + std::to_string(keep));
        const std::string log = "r" + std::to_string(keep) + ".log";
        const VantrelHandle h = openTrace(log.c_str(), 0, 300, keep);
        std::vector<std::string> written;
        for (int i = 0; i < 60; ++i) {
            written.push_back("line " + std::to_string(i));
            ASSERT_GT(writeMsg(h, 2, written.back().c_str()), 0);
        }
        for (int n = 0; n <= keep; ++n) {
            const std::string file = n ? log + "." + std::to_string(n) : log;
            ASSERT_TRUE(fs::exists(file));
            EXPECT_LE(fs::file_size(file), 300u) << file;
        }
        EXPECT_FALSE(fs::exists(log + "." + std::to_string(keep + 1)));
        // Together the files hold an unbroken run of the newest lines.
        const auto kept = tTexts(log, keep);
        ASSERT_FALSE(kept.empty());
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), written.end() - kept.size()));
        closeTrace(h);
    }
}

TEST_F(VantrelTest, RotationCountsWhatTheFileHoldsAndLongLinesStayWhole) {
    std::ofstream("x.log", std::ios::binary) << std::string(250, 'o') << '\n';
    const VantrelHandle h = openTrace("x.log", 0, 300, 2);
    writeMsg(h, 1, "does not fit beside the old content");
    EXPECT_EQ(fs::file_size("x.log.1"), 251u);
    const std::string big(400, 'b');
    writeMsg(h, 1, big.c_str());
    EXPECT_EQ(tTexts("x.log"), std::vector<std::string>{big});
    EXPECT_EQ(tTexts("x.log.1"), std::vector<std::string>{"does not fit beside the old content"});

    const VantrelHandle tiny = openTrace("tiny.log", 0, 10, 2);
    EXPECT_GT(writeMsg(tiny, 1, "longer than the limit, into an empty file"), 0);
    EXPECT_FALSE(fs::exists("tiny.log.1")) << "an empty file was rotated";
}

TEST_F(VantrelTest, KeepTimeDeletesOnlyThisLogsOldRotatedFiles) {
    const struct {
        const char* name;
        int ageDays;
    } files[] = {{"k.log", 30},    {"k.log.1", 1},     {"k.log.2", 8},
                 {"k.log.3", 6},   {"k.log.10", 30},   {"k.log.bak", 30},
                 {"k.logger", 30}, {"k.log.1.gz", 30}, {"other.log.1", 30}};
    const struct {
        int days;
        std::set<std::string> deleted;
    } cases[] = {{0, {}},
                 {-3, {}},
                 {40, {}},
                 {7, {"k.log.2", "k.log.10"}},
                 {5, {"k.log.2", "k.log.3", "k.log.10"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("days " + std::to_string(c.days));
        std::set<std::string> expected;
        for (const auto& f : files) {
            std::ofstream(f.name) << "old\n";
            if (!c.deleted.count(f.name))
                expected.insert(f.name);
        }
        const VantrelHandle h = openTrace("k.log", 0, 0, 6);
        for (const auto& f : files)
            fs::last_write_time(f.name, fs::file_time_type::clock::now() -
                                            std::chrono::hours(24 * f.ageDays));
        EXPECT_EQ(setTraceKeepTime(h, c.days), 1);
        EXPECT_EQ(tNamesIn(dir_), expected);
        closeTrace(h);
    }
}

TEST_F(VantrelTest, KeepTimeAlsoAppliesWhenTheLogRotates) {
    std::ofstream("k.log.5") << "old\n";
    const VantrelHandle h = openTrace("k.log", 0, 100, 6);
    EXPECT_EQ(setTraceKeepTime(h, 3), 1);
    fs::last_write_time("k.log.5", fs::file_time_type::clock::now() - std::chrono::hours(24 * 4));
    writeMsg(h, 1, "a line long enough to fill most of the file");
    EXPECT_TRUE(fs::exists("k.log.5"));
    writeMsg(h, 1, "and another one that makes it rotate");
    EXPECT_FALSE(fs::exists("k.log.5"));
}

TEST_F(VantrelTest, UnknownHandlesAndUnusablePathsAreRefused) {
    std::ofstream("plain") << "x";
    fs::create_directory("folder");
    for (const char* path : {"", "plain\\x.log", "folder", "folder\\"})
        EXPECT_EQ(openTrace(path, 0, 0, 0), 0) << path;
    EXPECT_EQ(openTrace(nullptr, 0, 0, 0), 0);

    const VantrelHandle h = openTrace("x.log", 0, 0, 0);
    const VantrelHandle other = openTrace("y.log", 0, 0, 0);
    EXPECT_EQ(writeMsg(h, 1, nullptr), 0);
    for (const VantrelHandle bad : {VantrelHandle(0), VantrelHandle(-1), other + 12345}) {
        EXPECT_EQ(writeMsg(bad, 1, "x"), 0) << bad;
        EXPECT_EQ(setTraceKeepTime(bad, 1), 0) << bad;
        EXPECT_EQ(closeTrace(bad), 0) << bad;
    }
    EXPECT_EQ(closeTrace(h), 1);
    EXPECT_EQ(closeTrace(h), 0);
    EXPECT_EQ(writeMsg(h, 1, "after close"), 0);
    EXPECT_EQ(fs::file_size("x.log"), 0u);
    EXPECT_GT(writeMsg(other, 1, "still open"), 0);

    EXPECT_EQ(stopTrace(-1), 1);
    EXPECT_EQ(writeMsg(other, 1, "after stop"), 0);
    EXPECT_EQ(closeTrace(other), 0);
    EXPECT_EQ(tTexts("y.log"), std::vector<std::string>{"still open"});
}

// Threads on two handles of one log, lines of many lengths: every line
// arrives whole and once, and each thread's lines stay in order.
TEST_F(VantrelTest, ConcurrentWritersProduceOnlyWholeLines) {
    constexpr int kThreads = 8, kLines = 400;
    for (const int maxBytes : {0, 16384}) {
        SCOPED_TRACE("maxBytes " + std::to_string(maxBytes));
        const std::string log = "t" + std::to_string(maxBytes) + ".log";
        const VantrelHandle h1 = openTrace(log.c_str(), 0, maxBytes, 1000);
        const VantrelHandle h2 = openTrace(("x\\..\\" + log).c_str(), 0, maxBytes, 1000);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i) {
                    const std::string text = std::to_string(t) + " " + std::to_string(i) + " " +
                                             std::string(i * 7 % 700, '#');
                    if (writeMsg(t % 2 ? h1 : h2, 3, text.c_str()) <= 0)
                        ADD_FAILURE() << "write failed: " << text.substr(0, 10);
                }
            });
        }
        for (auto& th : threads)
            th.join();

        const auto texts = tTexts(log, 1000);
        ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kLines));
        std::vector<int> next(kThreads, 0);
        for (const std::string& text : texts) {
            int t = -1, i = -1;
            std::istringstream(text) >> t >> i;
            ASSERT_TRUE(t >= 0 && t < kThreads) << text.substr(0, 20);
            EXPECT_EQ(i, next[t]++) << "thread " << t;
            EXPECT_EQ(text.size() - text.find_last_not_of('#') - 1, std::size_t(i * 7 % 700));
        }
        for (const auto& e : fs::directory_iterator(dir_)) {
            if (maxBytes > 0 && e.path().filename().string().rfind(log, 0) == 0) {
                EXPECT_LE(fs::file_size(e.path()), std::uintmax_t(maxBytes)) << e.path();
            }
        }
    }
}

TEST(VantrelLoading, TheSixEntryPointsAreFoundByName) {
    const char* const names[] = {"startTrace", "openTrace",  "setTraceKeepTime",
                                 "writeMsg",   "closeTrace", "stopTrace"};
#if defined(_WIN32)
    HMODULE m = LoadLibraryA(VANTREL_FILE);
    ASSERT_NE(m, nullptr);
    for (const char* name : names)
        EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(m, name)), nullptr) << name;
    FreeLibrary(m);
#else
    void* m = dlopen(VANTREL_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m, nullptr) << dlerror();
    for (const char* name : names)
        EXPECT_NE(dlsym(m, name), nullptr) << name;
    dlclose(m);
#endif
}

} // namespace
