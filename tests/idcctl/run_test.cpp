// Whole runs of idcctl against fake exports: the order of the calls, exit
// codes, the JSON document, and bounded copies of what the library reports.
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "cli.h"
#include "hex.h"

namespace idcctl {
namespace {

// --- a fake library -----------------------------------------------------------

struct Fake {
    std::vector<std::string> calls;
    int open_result = 0;
    int accept_code = 1203; // a failure-class code makes AcceptCard fail
    uint32_t reply_len_override = 0;
    std::vector<uint8_t> written; // last IDC_WriteTrack data
    std::string config_at_load;
};
Fake g;

void fill(tDevReturn* r, int code) {
    r->iCode1 = r->iCode2 = code;
    r->iErrFlag1 = r->iErrFlag2 = code == 0 || (code >= 1201 && code <= 1210) ? 0 : 1;
    std::memcpy(r->acReplyText, "P00", 3);
}
int done(tDevReturn* r, int code) {
    fill(r, code);
    return r->iErrFlag1;
}

int IDC_CALL SetCommPara(tDevReturn* r) {
    g.calls.push_back("SetCommPara");
    return g.open_result ? done(r, 1223) : done(r, 0);
}
int IDC_CALL CloseComm() {
    g.calls.push_back("CloseComm");
    return 0;
}
int IDC_CALL Init(int mode, tDevReturn* r) {
    g.calls.push_back("Init " + std::to_string(mode));
    return done(r, 1201);
}
int IDC_CALL GetStatus(tIdcStatus* s, tDevReturn* r) {
    g.calls.push_back("GetStatus");
    std::memset(s, 0, sizeof *s);
    s->usField[1] = 3;
    s->usField[9] = 255;
    return done(r, 1203);
}
int IDC_CALL AcceptCard(int mode, tDevReturn* r) {
    g.calls.push_back("AcceptCard " + std::to_string(mode));
    return done(r, g.accept_code);
}
int IDC_CALL ChipIO(int, const uint8_t* cmd, int len, uint8_t* reply, uint32_t* reply_len,
                    tDevReturn* r) {
    g.calls.push_back("ChipIO " + to_hex(cmd, static_cast<size_t>(len)));
    const Bytes answer = cmd[1] == 0xC0 ? Bytes{0xAA, 0xBB, 0x90, 0x00} : Bytes{0x61, 0x02};
    std::memcpy(reply, answer.data(), answer.size());
    *reply_len = g.reply_len_override ? g.reply_len_override : static_cast<uint32_t>(answer.size());
    return done(r, 1201);
}
int IDC_CALL ChipPower(int action, uintptr_t a2, uintptr_t a3, void* a4, tDevReturn* r) {
    g.calls.push_back("ChipPower " + std::to_string(action));
    if (action == 1) {
        const uint8_t atr[] = {0x3B, 0x82, 0x80, 0x01, 0x41, 0x42, 0x00};
        std::memcpy(reinterpret_cast<uint8_t*>(a2), atr, sizeof atr);
        *reinterpret_cast<uint32_t*>(a3) = g.reply_len_override ? g.reply_len_override : sizeof atr;
        *static_cast<uint32_t*>(a4) = 1;
    }
    return done(r, 1201);
}
int IDC_CALL EjectCard(tDevReturn* r) {
    g.calls.push_back("EjectCard");
    return done(r, 1201);
}
int IDC_CALL GetCapabilities(tIdcCaps* c, tDevReturn*) {
    g.calls.push_back("GetCapabilities");
    std::memset(c, 0, sizeof *c);
    return 0;
}
int IDC_CALL GetLifeInfo(tIdcLife* l, tDevReturn* r) {
    g.calls.push_back("GetLifeInfo");
    std::memset(l, 0, sizeof *l);
    return done(r, 1201);
}
int IDC_CALL ReadTrack(tIdcTracks* t, tDevReturn* r) {
    g.calls.push_back("ReadTrack");
    std::memset(t, 0, sizeof *t);
    return done(r, 1201);
}
int IDC_CALL Reset(tDevReturn*) {
    g.calls.push_back("Reset");
    return 0;
}
int IDC_CALL ResetCount(int counter, tDevReturn* r) {
    g.calls.push_back("ResetCount " + std::to_string(counter));
    return done(r, 1201);
}
int IDC_CALL RetainCard(uint32_t* count, tDevReturn* r) {
    g.calls.push_back("RetainCard");
    *count = 7;
    return done(r, 1201);
}
int IDC_CALL ReleaseAntiFishing(tDevReturn* r) {
    g.calls.push_back("ReleaseAntiFishing");
    return done(r, 1216);
}
int IDC_CALL WriteTrack(int track, const uint8_t* data, uint32_t len, tDevReturn* r) {
    g.calls.push_back("WriteTrack " + std::to_string(track));
    g.written.assign(data, data + len);
    return done(r, 1201);
}
void IDC_CALL GetLogicalDevName(char* name) {
    g.calls.push_back("GetLogicalDevName");
    std::strcpy(name, "CARDREADER");
}
void IDC_CALL SetLogicalDevName(const char* name) {
    g.calls.push_back(std::string("SetLogicalDevName ") + name);
}

// --- running idcctl -------------------------------------------------------------

struct Runner {
    std::ostringstream out, err;
    bool loadable = true;
    bool terminal = false;
    std::string env_config;
    Host host{
        [this](const std::string& path, std::string& error) -> std::unique_ptr<LoadedLibrary> {
            g.calls.push_back("load " + path);
            g.config_at_load = env_config;
            if (!loadable) {
                error = path + ": no such file";
                return nullptr;
            }
            auto lib = std::make_unique<LoadedLibrary>();
#define IDCCTL_FAKE(member) lib->api.member = member;
            IDCCTL_FOR_EACH_EXPORT(IDCCTL_FAKE)
#undef IDCCTL_FAKE
            return lib;
        },
        "libquillon.so",
        [this](const std::string& name, const std::string& value) {
            EXPECT_EQ(name, "QUILLON_CONFIG");
            env_config = value;
            return true;
        },
        false,
        out,
        err};

    Runner() {
        g = Fake{};
    }

    int run(std::vector<const char*> args) {
        args.insert(args.begin(), "idcctl");
        host.terminal = terminal;
        return idcctl::run(static_cast<int>(args.size()), args.data(), host);
    }
    RunOutcome execute(std::vector<const char*> args) {
        args.insert(args.begin(), "idcctl");
        const Invocation inv =
            parse_command_line(static_cast<int>(args.size()), args.data(), out, err);
        EXPECT_EQ(inv.exit_code, -1) << err.str();
        return idcctl::execute(inv, host);
    }
};

using Calls = std::vector<std::string>;

TEST(Run, ExitCodes) {
    const struct {
        const char* what;
        std::vector<const char*> args;
        bool loadable;
        int open_result;
        int accept_code;
        int exit_code;
        Calls calls;
    } cases[] = {
        {"success",
         {"status"},
         true,
         0,
         1203,
         0,
         {"load libquillon.so", "SetCommPara", "GetStatus", "CloseComm"}},
        {"help", {"--help"}, true, 0, 1203, 0, {}},
        {"no subcommand", {}, true, 0, 1203, 2, {}},
        {"unknown subcommand", {"bogus"}, true, 0, 1203, 2, {}},
        {"extra argument", {"status", "now"}, true, 0, 1203, 2, {}},
        {"APDU not hexadecimal", {"apdu", "00 A4 0"}, true, 0, 1203, 2, {}},
        {"APDU too short", {"apdu", "00A404"}, true, 0, 1203, 2, {}},
        {"APDU missing", {"apdu"}, true, 0, 1203, 2, {}},
        {"name too long", {"name", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}, true, 0, 1203, 2, {}},
        {"write-track without data", {"write-track", "2"}, true, 0, 1203, 2, {}},
        {"library missing",
         {"--lib", "/nonexistent/libquillon.so", "status"},
         false,
         0,
         1203,
         3,
         {"load /nonexistent/libquillon.so"}},
        {"reader not opened",
         {"status"},
         true,
         1,
         1203,
         4,
         {"load libquillon.so", "SetCommPara", "CloseComm"}},
        {"a failing step ends the run",
         {"accept", "read-tracks"},
         true,
         0,
         1225,
         1,
         {"load libquillon.so", "SetCommPara", "AcceptCard 1", "CloseComm"}},
        {"a failure-class code with result 0 is no failure",
         {"release"},
         true,
         0,
         1203,
         1,
         {"load libquillon.so", "SetCommPara", "ReleaseAntiFishing", "CloseComm"}},
    };
    for (const auto& c : cases) {
        Runner r;
        r.loadable = c.loadable;
        g.open_result = c.open_result;
        g.accept_code = c.accept_code;
        EXPECT_EQ(r.run(c.args), c.exit_code) << c.what << "\n" << r.err.str();
        EXPECT_EQ(g.calls, c.calls) << c.what;
    }
}

TEST(Run, ChainedStepsInOrderWithTheirArguments) {
    Runner r;
    EXPECT_EQ(r.run({"init", "2", "accept", "3", "reset-count", "init", "write-track", "2", "--hex",
                     "3B 31 32", "name", "KIOSK", "eject"}),
              0)
        << r.err.str();
    EXPECT_EQ(g.calls, (Calls{"load libquillon.so", "SetCommPara", "Init 2", "AcceptCard 3",
                              "ResetCount 0", "Init 1", "WriteTrack 2", "SetLogicalDevName KIOSK",
                              "GetLogicalDevName", "EjectCard", "CloseComm"}));
    EXPECT_EQ(g.written, (Bytes{0x3B, 0x31, 0x32}));
    EXPECT_EQ(r.err.str(), "");
}

TEST(Run, ConfigIsSetBeforeTheLibraryLoads) {
    Runner r;
    EXPECT_EQ(r.run({"--config", "/etc/kiosk/reader.ini", "status"}), 0);
    EXPECT_EQ(g.config_at_load, "/etc/kiosk/reader.ini");
}

TEST(Run, JsonDocument) {
    Runner r;
    const RunOutcome o = r.execute({"--json", "status", "chip-on", "apdu", "00 B0 00 00 00",
                                    "--get-response", "reset", "retain"});
    const Json& d = o.document;
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_TRUE(d["ok"].as_bool());
    EXPECT_EQ(d["exit_code"].as_int(), 0);
    EXPECT_EQ(d["library"].as_string(), "libquillon.so");
    EXPECT_EQ(d["open"]["code"].as_int(), 0);
    ASSERT_EQ(d["steps"].size(), 5u);
    EXPECT_EQ(d["skipped"].size(), 0u);

    const Json& status = d["steps"][0];
    EXPECT_EQ(status["command"].as_string(), "status");
    EXPECT_TRUE(status["ok"].as_bool());
    EXPECT_EQ(status["result"].as_int(), 0);
    EXPECT_EQ(status["code"].as_int(), 1203);
    EXPECT_EQ(status["code_class"].as_string(), "success");
    EXPECT_EQ(status["reply_text"].as_string(), "P00");
    EXPECT_EQ(status["status"]["raw"].size(), 15u);
    EXPECT_EQ(status["status"]["fields"][1]["name"].as_string(), "card_position");
    EXPECT_EQ(status["status"]["fields"][1]["meaning"].as_string(), "card inside");

    const Json& chip = d["steps"][1];
    EXPECT_EQ(chip["chip_type"].as_int(), 1);
    EXPECT_EQ(chip["atr"]["protocols"][1].as_int(), 1);
    EXPECT_TRUE(chip["atr"]["tck"]["ok"].as_bool());

    const Json& apdu = d["steps"][2]["apdu"];
    EXPECT_EQ(apdu["sw"].as_string(), "9000");
    EXPECT_EQ(apdu["response"].as_string(), "AA BB");
    ASSERT_EQ(apdu["exchanges"].size(), 2u);
    EXPECT_EQ(apdu["exchanges"][1]["command"].as_string(), "00 C0 00 00 02");

    // IDC_Reset writes no record: the code is null, not a stale value.
    EXPECT_TRUE(d["steps"][3]["code"].is_null());
    EXPECT_EQ(d["steps"][4]["retain_counter"].as_int(), 7);
    EXPECT_EQ(r.out.str(), ""); // execute prints no text with --json
}

TEST(Run, JsonFailureNamesTheSkippedSteps) {
    Runner r;
    g.accept_code = 1225;
    const RunOutcome o = r.execute({"--json", "accept", "1", "read-tracks", "eject"});
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_FALSE(o.document["ok"].as_bool());
    EXPECT_EQ(o.document["steps"][0]["code_meaning"].as_string(), "the reader did not answer");
    EXPECT_EQ(o.document["steps"][0]["code_class"].as_string(), "failure");
    EXPECT_EQ(o.document["skipped"].dump(), R"(["read-tracks","eject"])");
}

TEST(Run, JsonOnStdoutOnlyAndNoProgress) {
    Runner r;
    r.terminal = true;
    r.loadable = false;
    EXPECT_EQ(r.run({"accept", "--json"}), 3);
    const std::string out = r.out.str();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), '{');
    EXPECT_NE(out.find("\"exit_code\": 3"), std::string::npos) << out;
    EXPECT_NE(out.find("\"error\": \"libquillon.so: no such file\""), std::string::npos) << out;
    EXPECT_EQ(r.err.str().find('\r'), std::string::npos);
}

TEST(Run, ReportedLengthsBeyondTheBufferAreCut) {
    Runner r;
    g.reply_len_override = IDC_CHIP_REPLY_MAX + 100;
    EXPECT_EQ(r.run({"chip-on", "apdu", "00B0000000"}), 0) << r.err.str();
    const std::string out = r.out.str();
    EXPECT_NE(out.find("the library reported 4196 answer bytes, more than the buffer holds"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("more reply bytes than the buffer holds"), std::string::npos) << out;
    EXPECT_NE(out.find("response: 4094 bytes"), std::string::npos) << out;
}

TEST(Run, TextReport) {
    Runner r;
    g.accept_code = 1225;
    EXPECT_EQ(r.run({"status", "accept", "eject"}), 1);
    const std::string out = r.out.str();
    EXPECT_NE(out.find("status: ok  (result 0, code 1203, reply \"P00\")\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("card position                         3  card inside"), std::string::npos)
        << out;
    EXPECT_NE(
        out.find(
            "accept: FAILED  (result 1, code 1225 \"the reader did not answer\", reply \"P00\")"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("eject: skipped"), std::string::npos) << out;
}

} // namespace
} // namespace idcctl
