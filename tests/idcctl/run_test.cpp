// Whole runs of idcctl against fake exports: calls, exit codes, text and JSON.
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "cli.h"
#include "hex.h"

namespace idcctl {
namespace {

struct Fake {
    int open_code = 0;
    int accept = 1203;      // AcceptCard code
    uint32_t reply_len = 0; // nonzero: the length the library reports
    bool loadable = true;
    std::vector<std::string> calls = {};
} g;

int rec(tDevReturn* r, const std::string& call, int code = 1201, int result = -1) {
    g.calls.push_back(call);
    r->iCode1 = r->iCode2 = code;
    r->iErrFlag1 = r->iErrFlag2 = code > 1210 ? 1 : 0;
    std::memcpy(r->acReplyText, "P00", 3);
    return result < 0 ? r->iErrFlag1 : result;
}

// clang-format off
std::string with(const char* call, const std::string& arg) { return call + (" " + arg); }
std::string with(const char* call, int arg) { return with(call, std::to_string(arg)); }
int IDC_CALL SetCommPara(tDevReturn* r) { return rec(r, "SetCommPara", g.open_code); }
int IDC_CALL CloseComm() { return g.calls.push_back("CloseComm"), 0; }
int IDC_CALL Init(int m, tDevReturn* r) { return rec(r, with("Init", m)); }
int IDC_CALL AcceptCard(int m, tDevReturn* r) { return rec(r, with("AcceptCard", m), g.accept); }
int IDC_CALL EjectCard(tDevReturn* r) { return rec(r, "EjectCard"); }
int IDC_CALL Reset(tDevReturn*) { return g.calls.push_back("Reset"), 0; } // writes no record
int IDC_CALL ResetCount(int c, tDevReturn* r) { return rec(r, with("ResetCount", c)); }
int IDC_CALL ReleaseAntiFishing(tDevReturn* r) { return rec(r, "ReleaseAntiFishing", 1216, 0); }
int IDC_CALL GetCapabilities(tIdcCaps*, tDevReturn* r) { return rec(r, "GetCapabilities"); }
int IDC_CALL GetLifeInfo(tIdcLife*, tDevReturn* r) { return rec(r, "GetLifeInfo"); }
int IDC_CALL ReadTrack(tIdcTracks*, tDevReturn* r) { return rec(r, "ReadTrack"); }
int IDC_CALL RetainCard(uint32_t* n, tDevReturn* r) { return *n = 7, rec(r, "RetainCard"); }
void IDC_CALL GetLogicalDevName(char* n) { g.calls.push_back("GetLogicalDevName"), *n = 'K'; }
void IDC_CALL SetLogicalDevName(const char* n) { g.calls.push_back(with("SetLogicalDevName", n)); }
// clang-format on
int IDC_CALL GetStatus(tIdcStatus* s, tDevReturn* r) {
    s->usField[1] = 3;
    s->usField[9] = 255;
    return rec(r, "GetStatus", 1203);
}
int IDC_CALL WriteTrack(int track, const uint8_t* data, uint32_t len, tDevReturn* r) {
    return rec(r, with("WriteTrack", track) + " " + ToHex(data, len));
}
int IDC_CALL ChipIO(int, const uint8_t* cmd, int len, uint8_t* reply, uint32_t* reply_len,
                    tDevReturn* r) {
    const Bytes answer = cmd[1] == 0xC0 ? Bytes{0xAA, 0xBB, 0x90, 0x00} : Bytes{0x61, 0x02};
    std::memcpy(reply, answer.data(), answer.size());
    *reply_len = g.reply_len ? g.reply_len : static_cast<uint32_t>(answer.size());
    return rec(r, "ChipIO " + ToHex(cmd, static_cast<size_t>(len)));
}
int IDC_CALL ChipPower(int action, uintptr_t atr, uintptr_t atr_len, void* type, tDevReturn* r) {
    if (action == 1) {
        std::memcpy(reinterpret_cast<uint8_t*>(atr), "\x3B\x82\x80\x01\x41\x42\x00", 7);
        *reinterpret_cast<uint32_t*>(atr_len) = g.reply_len ? g.reply_len : 7;
        *static_cast<uint32_t*>(type) = 1;
    }
    return rec(r, with("ChipPower", action));
}

struct Runner {
    std::ostringstream out, err;
    std::string env; // what set_env set
    Host host{nullptr, "libquillon.so", nullptr, false, out, err};

    Runner() {
        g = Fake{};
        host.load = [this](const std::string& path, std::string& error) {
            g.calls.push_back("load " + path + (env.empty() ? "" : " with " + env));
            auto lib = std::make_unique<LoadedLibrary>();
#define IDCCTL_FAKE(member) lib->api.member = member;
            IDCCTL_FOR_EACH_EXPORT(IDCCTL_FAKE)
#undef IDCCTL_FAKE
            error = g.loadable ? "" : path + ": no such file";
            return g.loadable ? std::move(lib) : nullptr;
        };
        host.setEnv = [this](const std::string& name, const std::string& value) {
            env = name + "=" + value;
            return true;
        };
    }
    RunOutcome execute(std::vector<const char*> args) {
        args.insert(args.begin(), "idcctl");
        const Invocation inv =
            ParseCommandLine(static_cast<int>(args.size()), args.data(), out, err);
        EXPECT_EQ(inv.exitCode, -1) << err.str();
        return idcctl::Execute(inv, host);
    }
};

TEST(Run, ExitCodesCallsAndText) {
    // clang-format off
    const struct {
        const char* what;
        std::vector<const char*> args;
        int exit_code;
        const char* calls; // joined by ", "; nullptr: not checked
        std::vector<const char*> out = {};
        Fake fake = {};
    } rows[] = {
        {"success", {"status"}, 0, "load libquillon.so, SetCommPara, GetStatus, CloseComm",
         {"status: ok  (result 0, code 1203, reply \"P00\")\n",
          "card position                         3  card inside"}},
        {"steps in order with their arguments, config set before loading",
         {"--config", "/etc/r.ini", "init", "2", "accept", "3", "reset-count", "init",
          "write-track", "2", "--hex", "3B 31 32", "name", "KIOSK", "read-tracks", "life", "caps",
          "apdu", "00B0000000", "--get-response", "apdu", "00B0000000", "eject"}, 0,
         "load libquillon.so with QUILLON_CONFIG=/etc/r.ini, SetCommPara, Init 2, AcceptCard 3, "
         "ResetCount 0, Init 1, WriteTrack 2 3B 31 32, SetLogicalDevName KIOSK, GetLogicalDevName, "
         "ReadTrack, GetLifeInfo, GetCapabilities, ChipIO 00 B0 00 00 00, ChipIO 00 C0 00 00 02, "
         "ChipIO 00 B0 00 00 00, EjectCard, CloseComm"},
        {"help", {"--help"}, 0, ""},
        {"no subcommand", {}, 2, ""},
        {"extra argument", {"status", "now"}, 2, ""},
        {"APDU not hexadecimal", {"apdu", "00 A4 0"}, 2, ""},
        {"APDU too short", {"apdu", "00A404"}, 2, ""},
        {"APDU missing", {"apdu"}, 2, ""},
        {"name too long", {"name", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}, 2, ""},
        {"write-track without data", {"write-track", "2"}, 2, ""},
        {"demo with another step", {"demo", "status"}, 2, ""},
        {"library missing, JSON on stdout", {"accept", "--json", "--lib", "/no/lib.so"}, 3,
         "load /no/lib.so", {"{\n", "\"exit_code\": 3", "\"error\": \"/no/lib.so: no such file\""},
         {0, 1203, 0, false}},
        {"reader not opened", {"status"}, 4, "load libquillon.so, SetCommPara, CloseComm", {},
         {1223}},
        {"a failing step ends the run", {"accept", "read-tracks"}, 1,
         "load libquillon.so, SetCommPara, AcceptCard 1, CloseComm",
         {"accept: FAILED  (result 1, code 1225 \"the reader did not answer\", reply \"P00\")",
          "read-tracks: skipped"},
         {0, 1225}},
        {"a failure-class code with result 0 is no failure", {"release"}, 0,
         "load libquillon.so, SetCommPara, ReleaseAntiFishing, CloseComm"},
        {"reported lengths beyond the buffer cut", {"chip-on", "apdu", "00B0000000"}, 0, nullptr,
         {"the library reported 4196 answer bytes, more than the buffer holds",
          "more reply bytes than the buffer holds", "response: 4094 bytes"},
         {0, 1203, IDC_CHIP_REPLY_MAX + 100}},
    };
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Runner run;
        g = r.fake;
        std::vector<const char*> argv{"idcctl"};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        EXPECT_EQ(idcctl::Run(static_cast<int>(argv.size()), argv.data(), run.host), r.exit_code)
            << run.err.str();
        std::string calls;
        for (const auto& c : g.calls)
            calls += (calls.empty() ? "" : ", ") + c;
        if (r.calls) {
            EXPECT_EQ(calls, r.calls);
        }
        for (const char* part : r.out)
            EXPECT_NE(run.out.str().find(part), std::string::npos) << part << "\n" << run.out.str();
    }
}

TEST(Run, JsonDocument) {
    Runner r;
    const RunOutcome o = r.execute({"--json", "status", "chip-on", "apdu", "00 B0 00 00 00",
                                    "--get-response", "reset", "retain"});
    const Json& d = o.document;
    EXPECT_EQ(o.exitCode, 0);
    ASSERT_EQ(d["steps"].Size(), 5u);
    const Json& status = d["steps"][0];
    EXPECT_EQ(status["status"]["raw"].Size(), 15u);
    EXPECT_EQ(status["status"]["fields"][1]["name"].AsString(), "card_position");
    EXPECT_EQ(status["status"]["fields"][1]["meaning"].AsString(), "card inside");
    const Json& chip = d["steps"][1];
    EXPECT_EQ(chip["chip_type"].AsInt(), 1);
    EXPECT_EQ(chip["atr"]["protocols"].Dump(), "[0,1]");
    EXPECT_TRUE(chip["atr"]["tck"]["ok"].AsBool());
    EXPECT_EQ(
        d["steps"][2]["apdu"].Dump(),
        R"({"command":"00 B0 00 00 00","status":"ok","response":"AA BB","sw":"9000",)"
        R"("sw_meaning":"success","exchanges":[{"command":"00 B0 00 00 00","response":"61 02",)"
        R"("result":0,"code":1201},{"command":"00 C0 00 00 02","response":"AA BB 90 00",)"
        R"("result":0,"code":1201}]})");
    EXPECT_TRUE(d["steps"][3]["code"].IsNull()); // no record written: no stale code
    EXPECT_EQ(d["steps"][4]["retain_counter"].AsInt(), 7);
    EXPECT_EQ(r.out.str(), ""); // no text with --json

    Runner failing;
    g.accept = 1225;
    const RunOutcome f = failing.execute({"--json", "accept", "1", "read-tracks", "eject"});
    EXPECT_EQ(f.exitCode, 1);
    EXPECT_EQ(
        f.document.Dump(),
        R"({"library":"libquillon.so","config":null,"open":{"result":0,"code":0,)"
        R"("code_class":"success","code_meaning":"no error","error_flag":0,"reply_text":"P00"},)"
        R"("steps":[{"command":"accept","ok":false,"result":1,"code":1225,"code_class":"failure",)"
        R"("code_meaning":"the reader did not answer","error_flag":1,"reply_text":"P00",)"
        R"("argument":1}],"skipped":["read-tracks","eject"],"ok":false,"exit_code":1})");
}

} // namespace
} // namespace idcctl
