#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "infra/call_trace.h"
#include "infra/reader_comm.h"
#include "infra/trace_log.h"
#include "platform/system.h"
#include "support/scripted_line.h"
#include "support/test_env.h"

namespace {
std::string TraceLibrary() { return BinaryFolder() + quillon::TraceLibraryFileName(); }

int CountLines(const std::string& text) {
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

const char* kTraceFile = "Vantrel/CARDREADER.log";
} // namespace

TEST(Trace, PortOpeningOpensTheTraceFileOnlyWithRemainDays) {
    struct Row {
        const char* ini;
        bool file;
    } rows[] = {
        {"[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=30\n", true},
        {"[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nVantrel=0\n", false},
        // USB types open the trace file though they open no port.
        {"[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=30\n"
         "[CardReaderType]\nCardReaderType=6\n",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        TestEnv env(row.ini);
        ScopedScriptedLine line;
        {
            OTraceLog log(TraceLibrary().c_str());
            ASSERT_TRUE(log.bLoaded());
            OReaderComm comm(&log, "CARDREADER");
            tDevReturn r{};
            ASSERT_EQ(0, comm.iOpenPort(&r));
            EXPECT_EQ(row.file, log.bTraceOpen());
            OCallTrace scope(&log, "Init", 3);
            r.iCode2 = 1201;
            scope.vSetDevName("CARDREADER");
            scope.vSetOutcome(r);
        }
        ASSERT_EQ(row.file, env.bExists(kTraceFile));
        if (!row.file)
            continue;
        const std::string text = env.sReadFile(kTraceFile);
        EXPECT_EQ(2, CountLines(text)) << text;
        EXPECT_TRUE(std::regex_search(text, std::regex("->Enter Init\n")));
        EXPECT_TRUE(std::regex_search(text, std::regex("->Leave Init\\(CARDREADER 1201\\)\n")));
    }
}

TEST(Trace, LeaveLineWithEmptyNameAndNegativeCode) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=1\n");
    ScopedScriptedLine line;
    {
        OTraceLog log(TraceLibrary().c_str());
        OReaderComm comm(&log, "CARDREADER");
        tDevReturn r{};
        ASSERT_EQ(0, comm.iOpenPort(&r));
        OCallTrace scope(&log, "EjectCard", 3);
        r.iCode2 = -5;
        scope.vSetOutcome(r);
    }
    EXPECT_NE(std::string::npos, env.sReadFile(kTraceFile).find("->Leave EjectCard( -5)\n"));
}

TEST(Trace, LongLineArrivesWhole) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=1\n");
    ScopedScriptedLine line;
    const std::string longText(3000, 'q');
    {
        OTraceLog log(TraceLibrary().c_str());
        OReaderComm comm(&log, "CARDREADER");
        tDevReturn r{};
        ASSERT_EQ(0, comm.iOpenPort(&r));
        EXPECT_GT(log.iWriteTrace(3, "%s|%s", longText.c_str(), "end"), 0);
    }
    EXPECT_NE(std::string::npos, env.sReadFile(kTraceFile).find(longText + "|end\n"));
}

TEST(Trace, MissingLibraryLeavesEverythingWorking) {
    TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[DllExtFunc]\nRemainDays=1\n");
    ScopedScriptedLine line;
    {
        OTraceLog log((env.dir() + "/no-such-library.so").c_str());
        EXPECT_FALSE(log.bLoaded());
        OReaderComm comm(&log, "CARDREADER");
        tDevReturn r{};
        EXPECT_EQ(0, comm.iOpenPort(&r));
        EXPECT_EQ(0, log.iWriteTrace(3, "->Enter %s", "Init"));
        OCallTrace scope(&log, "Init", 3);
    }
    EXPECT_FALSE(env.bExists(kTraceFile));
}

TEST(Trace, WritesBeforeAnyTraceFileAreDropped) {
    TestEnv env;
    OTraceLog log(TraceLibrary().c_str());
    EXPECT_EQ(0, log.iWriteTrace(3, "->Enter %s", "Init"));
    { OCallTrace scope(&log, "Init", 3); }
    EXPECT_FALSE(env.bExists("Vantrel"));
}
