#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "infra/bounded_copy.h"
#include "infra/call_trace.h"
#include "infra/reader_comm.h"
#include "infra/trace_log.h"
#include "platform/system.h"
#include "support/open_port.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

using namespace quillon;

namespace {
std::string TraceLibrary() {
    return BinaryFolder() + quillon::TraceLibraryFileName();
}

const char* kTraceFile = "Vantrel/CARDREADER.log";

// Every file below the folder but the configuration, as relative paths.
std::set<std::string> FilesIn(const std::string& dir) {
    namespace fs = std::filesystem;
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (!e.is_directory() && e.path().filename() != "Quillon.ini")
            files.insert(fs::relative(e.path(), dir).generic_string());
    return files;
}
} // namespace

// With RemainDays, lines then arrive as written: a leave line without a
// device name and with a negative code, a long line whole.
TEST(Trace, PortOpeningOpensTheTraceFileOnlyWithRemainDays) {
    struct Row {
        const char* ini;
        bool file;
    } rows[] = {
        {"[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=30\n", true},
        {"[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nVantrel=0\n", false},
    }; // (USB types open it without a port: the registry's tests)
    // Longer than a line on the stack; and exactly its size, where the end would not fit.
    const std::string longText(3000, 'q'), edgeText(2048, 'w');
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        TestEnv env(row.ini);
        ScopedScriptedLine line;
        {
            OTraceLog log(TraceLibrary().c_str());
            ASSERT_TRUE(log.bLoaded());
            OReaderComm comm(&log, "CARDREADER");
            tDevReturn r{};
            ASSERT_EQ(0, OpenPort(comm));
            EXPECT_EQ(row.file, log.bTraceOpen());
            const int written = log.iWriteTrace(3, "%s|%s", longText.c_str(), "end");
            EXPECT_TRUE(row.file ? written > 0 : written == 0) << written; // dropped without a file
            EXPECT_EQ(row.file, log.iWriteTrace(3, "%s", edgeText.c_str()) > 0);
            {
                OCallTrace scope(&log, "Init", 3);
                r.iCode2 = 1201;
                scope.vSetDevName("CARDREADER");
                scope.vSetOutcome(r);
            }
            OCallTrace scope(&log, "EjectCard", 3);
            r.iCode2 = -5;
            scope.vSetOutcome(r);
        }
        ASSERT_EQ(row.file, env.bExists(kTraceFile));
        if (!row.file)
            continue;
        const std::string text = env.sReadFile(kTraceFile);
        EXPECT_EQ(6, std::count(text.begin(), text.end(), '\n')) << text;
        for (const std::string& want :
             {longText + "|end\n", edgeText + "\n", std::string("->Enter Init\n"),
              std::string("->Leave Init(CARDREADER 1201)\n"),
              std::string("->Leave EjectCard( -5)\n")})
            EXPECT_NE(std::string::npos, text.find(want)) << want.substr(0, 40);
    }
}

// Without the trace library writes are dropped and everything else works.
// (Without a trace file: the test above.)
TEST(Trace, WritesWithoutItsLibraryAreDropped) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=1\n");
    ScopedScriptedLine line;
    {
        OTraceLog log((env.dir() + "/no-such-library.so").c_str());
        EXPECT_FALSE(log.bLoaded());
        OReaderComm comm(&log, "CARDREADER");
        EXPECT_EQ(0, OpenPort(comm));
        EXPECT_EQ(0, log.iWriteTrace(3, "->Enter %s", "Init"));
        OCallTrace scope(&log, "Init", 3);
    }
    EXPECT_FALSE(env.bExists("Vantrel"));
}

// The device name is the host's text: it never leads out of the trace folder.
// "@" in a trace folder stands for the test's own (absolute) folder.
TEST(Trace, TraceFileLandsInItsFolderUnderASafeName) {
    struct Row {
        const char* traceDir; // nullptr: not configured
        const char* name;
        const char* file; // nullptr: no trace file
    } rows[] = {
        {nullptr, "..", nullptr},
        {nullptr, "...", nullptr},
        {nullptr, "", nullptr},
        {nullptr, "a/../b", "Vantrel/a_.._b.log"},
        {nullptr, "a\\b", "Vantrel/a_b.log"},
        {nullptr, "..\\up", "Vantrel/.._up.log"},
        {nullptr, "ok-name_1.x", "Vantrel/ok-name_1.x.log"},
        {nullptr, "K\xC3\xA4 1", "Vantrel/K___1.log"},
        {"@/abs/t", "CARDREADER", "abs/t/CARDREADER.log"},
        {"@/abs/t/", "..", nullptr},
        {"rel/t", "CARDREADER", "rel/t/CARDREADER.log"},
        {"rel\\", "x/y", "rel/x_y.log"},
        {"", "CARDREADER", "Vantrel/CARDREADER.log"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.traceDir ? row.traceDir : "-") + " " + row.name);
        TestEnv env;
        // A reader without a serial line: its preparation opens the trace file.
        std::string ini = "[CardReaderType]\nCardReaderType=6\n[DllExtFunc]\nRemainDays=1\n";
        if (row.traceDir)
            ini +=
                "TraceDir=" + std::regex_replace(row.traceDir, std::regex("@"), env.dir()) + "\n";
        env.vWriteConfig(ini);
        {
            OTraceLog log(TraceLibrary().c_str());
            OReaderComm comm(&log, "CARDREADER");
            quillon::CopyText(comm.acDevName, sizeof comm.acDevName, row.name);
            comm.vPrepareWithoutPort();
            log.iWriteTrace(3, "->Enter %s", "Init");
        }
        EXPECT_EQ(FilesIn(env.dir()),
                  row.file ? std::set<std::string>{row.file} : std::set<std::string>{});
    }
}

// The device name calls trace without the manager's lock: lines written
// while another thread reopens the trace file all arrive.
// Reopened, a trace file first gets its days to keep: rotated files older
// than that go.
TEST(Trace, WritesWhileTheTraceFileIsReopenedAllArrive) {
    namespace fs = std::filesystem;
    TestEnv env;
    const std::string old = env.dir() + "/Vantrel/A.log.1";
    fs::create_directory(env.dir() + "/Vantrel");
    std::ofstream(old) << "rotated 40 days ago\n";
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 40));
    constexpr int kRounds = 300;
    int written = 0;
    {
        OTraceLog log(TraceLibrary().c_str());
        log.vOpenTraceFile(1, "A", 0);
        std::thread reopener([&log] {
            for (int i = 0; i < kRounds; ++i)
                log.vOpenTraceFile(1, i % 2 ? "A" : "B", 0);
        });
        for (int i = 0; i < kRounds; ++i) {
            written += log.iWriteTrace(3, "->Enter %s", "GetLogicalDevName") > 0;
            OCallTrace scope(&log, "SetLogicalDevName", 3);
        }
        reopener.join();
    }
    EXPECT_EQ(written, kRounds);
    const std::string all = env.sReadFile("Vantrel/A.log") + env.sReadFile("Vantrel/B.log");
    EXPECT_EQ(3 * kRounds, std::count(all.begin(), all.end(), '\n'));
    EXPECT_FALSE(fs::exists(old));
}

#if defined(__linux__)
// Installed, the trace library sits in the private folder "quillon" beside
// the library. A copy of this program with the trace library only there runs
// this test again, which then checks where the trace library was taken from.
TEST(TraceLibraryLookup, PrivateFolderBesideTheLibraryIsSearched) {
    namespace fs = std::filesystem;
    const std::string library = quillon::TraceLibraryFileName();
    if (std::getenv("QUILLON_LOOKUP_COPY")) {
        OTraceLog log;
        ASSERT_TRUE(log.bLoaded());
        std::ifstream maps("/proc/self/maps");
        const std::string mapped{std::istreambuf_iterator<char>(maps), {}};
        EXPECT_NE(mapped.find(BinaryFolder() + "quillon/" + library), std::string::npos) << mapped;
        return;
    }
    TestEnv env;
    const fs::path copy = fs::path(env.dir()) / "lib";
    fs::create_directories(copy / "quillon");
    fs::copy_file("/proc/self/exe", copy / "infra_tests");
    fs::permissions(copy / "infra_tests", fs::perms::owner_all);
    fs::copy_file(BinaryFolder() + library, copy / "quillon" / library);
    const std::string command = "QUILLON_LOOKUP_COPY=1 '" + (copy / "infra_tests").string() +
                                "' --gtest_filter=TraceLibraryLookup.* >lookup.out 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << env.sReadFile("lookup.out");
    EXPECT_NE(env.sReadFile("lookup.out").find("[       OK ] TraceLibraryLookup"),
              std::string::npos);
}
#endif
