// The service's metrics: the text each event makes (in this process), a
// card's life through the running service as Prometheus scrapes it, the
// scrape that costs the reader nothing, the metrics file, and what the
// technician's page may do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "metrics.h"
#include "service_fixture.h"
#include "support/test_env.h"

namespace emu = quillon::emu;
using namespace quillon::xfs;

namespace {

// Every expected line is one of the text's lines ("...*": one starts so).
void ExpectLines(const std::string& sText, const Strings& expected) {
    for (const std::string& e : expected)
        EXPECT_NE(
            std::string::npos,
            ("\n" + sText).find("\n" + (e.back() == '*' ? e.substr(0, e.size() - 1) : e + "\n")))
            << "missing: " << e << "\n"
            << sText;
}

// promtool (Debian prometheus): its exit status; 0 without it (an error
// where the tools are required).
int Promtool(const std::string& sArgs) {
    const std::string sTool = QUILLON_PROMTOOL;
    if (sTool.empty()) {
        const char* p = std::getenv("QUILLON_REQUIRE_TOOLS");
        EXPECT_FALSE(p && std::string(p) == "1") << "promtool not found";
        return 0;
    }
    const int i = std::system((sTool + " " + sArgs + " >&2").c_str());
    return WIFEXITED(i) ? WEXITSTATUS(i) : -2;
}

} // namespace

// What a card's life through the service cannot show: escaping, names
// that are not the service's own, bucket edges, a hardware error.
TEST(Metrics, TheTextOfEventsTheServiceRarelySees) {
    double dNow = 1000.25;
    OMetrics m([&dNow] { return dNow; });
    const std::string sFresh = m.sText();
    for (const char* p : {"\nquillon_reader_info{", "\nquillon_retain_bin_cards ", "_value{"})
        EXPECT_EQ(std::string::npos, sFresh.find(p)) << p; // not read: no zero that misleads
    // Counted events: every series there at 0, so increase() sees the first.
    ExpectLines(sFresh, {R"(quillon_rejected_acknowledges_total{status="tooManyRequests"} 0)",
                         R"(quillon_track_reads_total{track="3",status="other"} 0)",
                         R"(quillon_chip_power_ups_total{protocol="chipT1"} 0)",
                         R"(quillon_command_running_seconds{command=""} 0)"});
    m.vOnCommandRunning("CardReader.Move");
    dNow += 125;
    ExpectLines(m.sText(), {R"(quillon_command_running_seconds{command="CardReader.Move"} 125)"});
    m.vOnCommandRunning(nullptr);
    ExpectLines(m.sText(), {R"(quillon_command_running_seconds{command=""} 0)"});
    dNow = 1000.25;
    m.vOnIdentity("B", "R\"2\\", "27410310", "V1");
    m.vOnCommandDone("Common.Status", "success", "", 400);
    m.vOnCommandDone("Common.Status", "success", "", 1000);
    m.vOnCommandDone("CardReader.Move", "commandErrorCode", "mediaJam", 2600000);
    m.vOnCommandDone(";4000001234567899=3012?", "unsupportedCommand", "", 10);
    m.vOnLibraryCall("IDC_ReadTrack", 1224, 1224);
    m.vOnTrack(2, "noSuchStatus");
    m.vOnApdu("T=14");
    m.vOnStateChange({}, {quillon::xfs::DeviceState::HardwareError,
                          quillon::xfs::MediaState::Jammed, quillon::xfs::ChipState::Unknown});
    ExpectLines(
        m.sText(),
        {R"(quillon_reader_info{family="B",model="R\"2\\",firmware="27410310",library_version="V1"} 1)",
         R"(quillon_commands_total{command="other",completion="unsupportedCommand",error_code=""} 1)",
         R"(quillon_command_duration_seconds_bucket{command="Common.Status",le="0.001"} 2)",
         R"(quillon_command_duration_seconds_bucket{command="CardReader.Move",le="2.5"} 0)",
         R"(quillon_command_duration_seconds_bucket{command="CardReader.Move",le="5"} 1)",
         R"(quillon_command_duration_seconds_bucket{command="CardReader.Move",le="+Inf"} 1)",
         R"(quillon_command_duration_seconds_sum{command="Common.Status"} 0.0014)",
         R"(quillon_library_calls_total{function="IDC_ReadTrack",result="failed",code="1224"} 1)",
         R"(quillon_track_reads_total{track="2",status="other"} 1)",
         R"(quillon_chip_apdus_total{protocol="other"} 1)",
         R"(quillon_device_state{state="online"} 0)",
         R"(quillon_device_state{state="hardwareError"} 1)",
         "quillon_last_state_change_timestamp_seconds 1000.25"});
    EXPECT_EQ(std::string::npos, m.sText().find("4000001234567899"));
    // The page's last commands: twenty, the newest first.
    for (int i = 1; i <= 20; ++i)
        m.vOnCommandDone("Common.Status", std::to_string(i), "", 1500);
    const Json page = Json::parse(m.sPageJson())["commands"];
    EXPECT_EQ(20u, page.size());
    EXPECT_EQ((Json{{"at", 1000.25},
                    {"completion", "20"},
                    {"errorCode", ""},
                    {"ms", 1.5},
                    {"name", "Common.Status"}}),
              page[0]);
    EXPECT_EQ("1", page[19]["completion"]);
}

// A card's life: in with a blank track 3 and a chip, an APDU, retained,
// another ejected and taken, one jammed, then the reader unplugged. Every
// series as the scrape shows it, and promtool's verdict.
TEST(Metrics, ACardsLifeAsScraped) {
    OServiceRun run(OServiceRun::tSetup::HeldAtGate());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    emu::Emulator& e = run.Emu();
    emu::Card card = emu::Card::Default();
    card.track3.clear();
    e.SetCard(card);
    OApp app(run.iPort());
    app.Ws().bSend("not json");
    EXPECT_EQ("acknowledge Common.Acknowledge invalidMessage", Line(app.Next()));
    app.vSend("CardReader.ReadRawData", 1,
              {{"track1", true}, {"track2", true}, {"track3", true}, {"chip", true}});
    app.UntilName("CardReader.InsertCardEvent");
    e.InsertCard();
    e.LetCardIn();
    EXPECT_EQ("completion CardReader.ReadRawData success", Line(app.Until(1).back()));
    EXPECT_EQ("completion CardReader.ChipIO success",
              Line(app.Call("CardReader.ChipIO", 2,
                            {{"chipData", B64(std::string("\0\xB0\0\0\0", 5))}})));
    EXPECT_EQ("completion CardReader.Move success",
              Line(app.Call("CardReader.Move", 3, {{"to", "unit1"}})));
    EXPECT_EQ("completion Storage.GetStorage success", Line(app.Call("Storage.GetStorage", 4)));
    e.PlaceCard(emu::CardPosition::Inside);
    EXPECT_TRUE(app.bUntilAt("/payload/cardReader/media", "present"));
    EXPECT_EQ("completion CardReader.Move success",
              Line(app.Call("CardReader.Move", 5, {{"to", "exit"}})));
    e.RemoveCard();
    EXPECT_TRUE(app.bUntilAt("/payload/cardReader/media", "notPresent"));
    e.PlaceCard(emu::CardPosition::Inside);
    e.Jam();
    EXPECT_EQ("completion CardReader.Move commandErrorCode mediaJam",
              Line(app.Call("CardReader.Move", 6, {{"to", "exit"}})));
    run.vUnplug();
    EXPECT_TRUE(app.bUntilAt("/payload/common/device", "noDevice"));

    const std::string sAnswer = HttpGet(run.iPort(), "/metrics");
    EXPECT_EQ(0u, sAnswer.find("HTTP/1.1 200 OK\r\n"));
    EXPECT_NE(std::string::npos, sAnswer.find("Content-Type: text/plain; version=0.0.4"));
    const std::string sText = Body(sAnswer);
    ExpectLines(
        sText,
        {R"(quillon_reader_info{family="A",model="Omron-051",firmware="12+ AUX-MOD 1.2",library_version=*)",
         "quillon_cards_inserted_total 1",
         "quillon_cards_retained_total 1",
         "quillon_cards_ejected_total 1",
         "quillon_cards_taken_total 1",
         "quillon_jams_total 1",
         R"(quillon_track_reads_total{track="1",status="data"} 1)",
         R"(quillon_track_reads_total{track="2",status="data"} 1)",
         R"(quillon_track_reads_total{track="3",status="dataMissing"} 1)",
         R"(quillon_chip_power_ups_total{protocol="chipT0"} 1)",
         R"(quillon_chip_apdus_total{protocol="chipT0"} 1)",
         "quillon_retain_bin_cards 1",
         R"(quillon_reader_life_value{index="8"} 1)",
         R"(quillon_commands_total{command="CardReader.ReadRawData",completion="success",error_code=""} 1)",
         R"(quillon_commands_total{command="CardReader.Move",completion="success",error_code=""} 2)",
         R"(quillon_commands_total{command="CardReader.Move",completion="commandErrorCode",error_code="mediaJam"} 1)",
         R"(quillon_command_duration_seconds_count{command="CardReader.Move"} 3)",
         R"(quillon_library_calls_total{function="IDC_RetainCard",result="ok",code="1201"} 1)",
         R"(quillon_rejected_acknowledges_total{status="invalidMessage"} 1)",
         R"(quillon_device_state{state="noDevice"} 1)",
         R"(quillon_device_state{state="online"} 0)",
         R"(quillon_media_state{state="unknown"} 1)",
         "quillon_connections_open 1",
         "quillon_connections_total 1"});
    for (const std::string& s : {sText, Body(HttpGet(run.iPort(), "/status.json"))})
        EXPECT_EQ(std::string::npos, s.find("4000001234567899")); // the card's number

    TestEnv env;
    std::ofstream(env.dir() + "/scraped.prom") << sText;
    EXPECT_EQ(0, Promtool("check metrics < " + env.dir() + "/scraped.prom"));
    EXPECT_EQ(0, Promtool(std::string("check rules ") + QUILLON_ALERT_RULES));
    EXPECT_EQ(0, Promtool(std::string("test rules ") + QUILLON_ALERT_TESTS));
}

// Scrapes are answered from memory: the reader hears nothing (the status
// poll is a minute away). The file for the textfile collector: there once
// the service listens, the last counts written at the stop, no temporary left.
TEST(Metrics, ScrapesCostTheReaderNothingAndTheFileKeepsTheLastCounts) {
    TestEnv env;
    OServiceRun::tSetup setup;
    setup.sIni = "StatusPollMs=60000\n";
    setup.args = {"--metrics-file", env.dir() + "/quillon.prom", "--metrics-interval", "3600"};
    OServiceRun run(setup);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    ExpectLines(env.sReadFile("quillon.prom"),
                {"quillon_reader_info{family=\"A\"*", "quillon_connections_total 0"});
    run.Emu().ClearLog();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(0u, HttpGet(run.iPort(), i % 10   ? "/metrics"
                                           : i % 20 ? "/"
                                                    : "/status.json")
                          .find("HTTP/1.1 200 OK"));
    EXPECT_EQ(Strings{}, run.Emu().Commands());
    {
        OApp app(run.iPort());
        EXPECT_EQ("completion Common.Status success", Line(app.Call("Common.Status", 1)));
    }
    EXPECT_EQ(0, run.iStop());
    ExpectLines(
        env.sReadFile("quillon.prom"),
        {R"(quillon_commands_total{command="Common.Status",completion="success",error_code=""} 1)"});
    EXPECT_FALSE(env.bExists("quillon.prom.tmp"));
}

// The page's connection (a browser on the service's own origin): the
// status always; an eject or a reset to the exit with --allow-page-actions
// only; nothing that reads or keeps a card. The page has buttons then only.
TEST(Metrics, WhatThePageMayDo) {
    struct Row {
        const char* pName;
        Json payload;
        const char* apCompletion[2]; // read-only, with actions
    } rows[] = {
        {"Common.Status", {}, {"success", "success"}},
        {"CardReader.Move", {{"to", "exit"}}, {"unsupportedCommand", "success"}},
        {"CardReader.Reset", {{"to", "exit"}}, {"unsupportedCommand", "success"}},
        {"CardReader.Move", {{"to", "unit1"}}, {"unsupportedCommand", "unsupportedCommand"}},
        {"CardReader.Reset", {}, {"unsupportedCommand", "unsupportedCommand"}},
        {"CardReader.ReadRawData",
         {{"track2", true}},
         {"unsupportedCommand", "unsupportedCommand"}},
        {"Storage.GetStorage", {}, {"unsupportedCommand", "unsupportedCommand"}},
    };
    for (bool bActions : {false, true}) {
        OServiceRun::tSetup setup = OServiceRun::tSetup::CardInside();
        if (bActions)
            setup.args = {"--allow-page-actions"};
        OServiceRun run(setup);
        ASSERT_TRUE(run.bStarted()) << run.sLog();
        const std::string sPage = HttpGet(run.iPort(), "/");
        EXPECT_NE(std::string::npos, sPage.find("X-Frame-Options: DENY"));
        EXPECT_EQ(bActions, sPage.find("data-action=\"eject\"") != std::string::npos);
        EXPECT_EQ(bActions, sPage.find("<button") != std::string::npos) << "no button at all";
        OApp page(run.iPort(), "/xfs4iot/v1.0/CardReader1",
                  "http://127.0.0.1:" + std::to_string(run.iPort()));
        int iId = 0;
        for (const Row& r : rows)
            EXPECT_EQ(std::string("completion ") + r.pName + " " + r.apCompletion[bActions],
                      Line(page.Call(r.pName, ++iId, r.payload)))
                << bActions;
        EXPECT_EQ(bActions ? emu::CardPosition::Gate : emu::CardPosition::Inside,
                  run.Emu().Position());
    }
}
