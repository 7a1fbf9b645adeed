// What the service's core does with each command, in this process
// (core_fixture.h): completions, payloads, events and what the reader did.
// How frames travel to and from the program is service_test.cpp's.
#include <gtest/gtest.h>

#include <functional>

#include "core_fixture.h"

namespace emu = quillon::emu;

namespace {

const emu::Card kCard = emu::Card::Default();
using tSetup = OServiceRun::tSetup;

bool bEntryEnabled(emu::Emulator& e) {
    return e.With([](emu::Engine& g) { return g.Model().EntryEnabled(); });
}

std::string Str(const emu::Bytes& b) {
    return std::string(b.begin(), b.end());
}

} // namespace

// Every command on a card in the reader, in one customer's order; each row
// checks the completion, what its payload holds and what the reader did.
TEST(ServiceCore, EveryCommandWithTheCardInside) {
    OCoreRun run(tSetup::CardInside());
    emu::Emulator& e = run.Emu();
    OApp app(run);
    ASSERT_TRUE(app.bConnected());
    const emu::Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0,
                               0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
    emu::ChipSim chip; // the card's own answers, for comparison
    const auto at = [&e](emu::CardPosition eWhere) {
        return [&e, eWhere](const Json&) { EXPECT_EQ(eWhere, e.Position()); };
    };
    struct Row {
        const char* pName;
        Json payload;
        std::string sExpected; // "completion <name> <code> [<errorCode>]" without the name
        Json holds = Json::object();
        std::function<void(const Json& payload)> check = nullptr;
    } rows[] = {
        {"Common.Status", "{}"_json, "success",
         R"({"common": {"device": "online"},
             "cardReader": {"media": "present", "chipPower": "poweredOff"}})"_json},
        {"Common.Capabilities", "{}"_json, "success",
         R"({"cardReader": {"type": "motor"},
             "common": {"deviceInformation": [{"modelName": "Omron-051"}]},
             "interfaces": [{"name": "Common"},
                            {"name": "CardReader", "maximumRequests": 32,
                             "commands": {"CardReader.ChipIO": {"versions": ["3.0"]}}},
                            {"name": "Storage"}]})"_json},
        {"Common.SetVersions", R"({"commands": {"CardReader.ChipIO": 3}})"_json, "success"},
        {"Common.SetVersions", R"({"events": {"Common.StatusChangedEvent": 2}})"_json,
         "unsupportedData"},
        {"CardReader.ReadRawData",
         R"({"track1": true, "track2": true, "track3": true, "chip": true, "watermark": true})"_json,
         "success",
         Json{{"track1", {{"data", B64(kCard.track1)}, {"status", nullptr}}},
              {"track2", {{"data", B64(kCard.track2)}}},
              {"track3", {{"data", B64(kCard.track3)}}},
              {"chip", {{{"data", B64(Str(kCard.Answer()))}}}},
              {"watermark", {{"status", "dataSourceNotSupported"}}}}},
        {"CardReader.ChipIO", R"({"chipProtocol": "chipT0", "chipData": "AKQEAAegAAAAAxAQ"})"_json,
         "success",
         Json{{"chipData", B64(Str(chip.Apdu(kCard, select)))}, {"chipProtocol", "chipT0"}}},
        {"CardReader.ChipIO", R"({"chipProtocol": "chipT1", "chipData": "AA=="})"_json,
         "commandErrorCode protocolNotSupported"},
        {"CardReader.ChipPower", R"({"chipPower": "warm"})"_json, "success", Json::object(),
         [](const Json& p) { EXPECT_TRUE(p.contains("chipData")); }},
        {"CardReader.ChipPower", R"({"chipPower": "off"})"_json, "success"},
        {"CardReader.ChipIO", R"({"chipData": "AKQEAAegAAAAAxAQ"})"_json,
         "commandErrorCode atrNotObtained"},
        {"CardReader.ChipPower", R"({"chipPower": "cold"})"_json, "success",
         Json{{"chipData", B64(Str(kCard.Answer()))}}},
        {"CardReader.WriteRawData",
         R"({"track2": {"data": "OzEyMz00NT8=", "writeMethod": "hico"}})"_json, "success",
         Json::object(),
         [&](const Json&) {
             EXPECT_EQ(";123=45?", e.With([](emu::Engine& g) { return g.Model().tCard().track2; }));
         }},
        {"CardReader.WriteRawData", Json{{"track2", {{"data", B64(std::string(41, '1'))}}}},
         "invalidData"},
        {"Storage.GetStorage", "{}"_json, "success",
         R"({"storage": {"unit1": {"card": {"capabilities": {"type": "retain"}}}}})"_json,
         [&](const Json& p) {
             EXPECT_EQ(e.GetCounters().retainBin, p["storage"]["unit1"]["card"]["status"]["count"]);
         }},
        {"CardReader.Move", R"({"to": "exit"})"_json, "success", Json::object(),
         at(emu::CardPosition::Gate)},
        {"CardReader.Move", R"({"from": "exit", "to": "exit"})"_json, "success"},
        {"CardReader.Move", R"({"from": "transport", "to": "unit1"})"_json,
         "commandErrorCode noMedia"},
        {"CardReader.Move", R"({"to": "unit1"})"_json, "success", Json::object(),
         at(emu::CardPosition::Retained)},
        {"Storage.GetStorage", "{}"_json, "success",
         R"({"storage": {"unit1": {"card": {"status": {"count": 1}}}}})"_json},
        {"Storage.SetStorage",
         R"({"storage": {"unit1": {"card": {"status": {"initialCount": 0}}}}})"_json, "success",
         Json::object(), [&](const Json&) { EXPECT_EQ(0u, e.GetCounters().retainBin); }},
        {"Storage.SetStorage",
         R"({"storage": {"unit7": {"card": {"status": {"initialCount": 0}}}}})"_json,
         "commandErrorCode invalidUnit"},
        {"Storage.SetStorage",
         R"({"storage": {"unit1": {"card": {"status": {"initialCount": 5}}}}})"_json,
         "unsupportedData"},
        {"CardReader.Move", R"({"to": "exit"})"_json, "commandErrorCode noMedia"},
        {"CardReader.ChipPower", R"({"chipPower": "cold"})"_json, "commandErrorCode noMedia"},
        {"CardReader.Reset", R"({"to": "currentPosition"})"_json, "success"},
    };
    int iId = 0;
    for (Row& r : rows) {
        SCOPED_TRACE(std::string(r.pName) + " " + r.payload.dump());
        const Json done = app.Call(r.pName, ++iId, r.payload);
        EXPECT_EQ("completion " + std::string(r.pName) + " " + r.sExpected, Line(done));
        EXPECT_TRUE(bHolds(done["payload"], r.holds)) << done["payload"].dump();
        if (r.check)
            r.check(done["payload"]);
    }
    // A reset takes a card that is inside where it is asked to.
    for (const char* pTo : {"retain", "exit", "auto"}) {
        e.PlaceCard(emu::CardPosition::Inside);
        EXPECT_EQ("completion CardReader.Reset success",
                  Line(app.Call("CardReader.Reset", ++iId, {{"to", pTo}})));
        EXPECT_EQ(pTo[0] == 'r' ? emu::CardPosition::Retained : emu::CardPosition::Gate,
                  e.Position())
            << pTo;
    }
}

// The families differ in what they count and write.
TEST(ServiceCore, FamiliesBAndC) {
    struct Row {
        emu::Family eFamily;
        bool bCount;          // the retain count comes from the life counters
        const char* pWritten; // WriteRawData's completion
    } rows[] = {{emu::Family::B, true, "success"}, {emu::Family::C, false, "unsupportedCommand"}};
    for (const Row& r : rows) {
        OCoreRun run(tSetup::CardInside(r.eFamily));
        OApp app(run);
        EXPECT_EQ("completion CardReader.ReadRawData success",
                  Line(app.Call("CardReader.ReadRawData", 1, {{"track2", true}})));
        EXPECT_EQ(
            "completion CardReader.WriteRawData " + std::string(r.pWritten),
            Line(app.Call("CardReader.WriteRawData", 2, {{"track3", {{"data", "OzEyMz8="}}}})));
        EXPECT_EQ("completion CardReader.Move success",
                  Line(app.Call("CardReader.Move", 3, {{"to", "unit1"}})));
        const Json count = r.bCount ? Json(run.Emu().GetCounters().retainBin) : Json();
        EXPECT_TRUE(
            bHolds(app.Call("Storage.GetStorage", 4)["payload"],
                   {{"storage", {{"unit1", {{"card", {{"status", {{"count", count}}}}}}}}}}));
    }
}

// Waiting ends by Common.Cancel or the time-out; queued commands are
// canceled at once; the reader refuses cards afterwards.
TEST(ServiceCore, CancelAndTimeOutLeaveTheReaderRefusingCards) {
    OCoreRun run(tSetup::HeldAtGate());
    OApp app(run);
    app.vSend("CardReader.ReadRawData", 1, {{"track2", true}}, 200);
    // The event comes when the worker takes the command; on a loaded machine
    // the 200 ms may be up while it still reads the status.
    Strings lines = Lines(app.Until(1));
    if (lines.size() == 2)
        lines.insert(lines.begin() + 1, "event CardReader.InsertCardEvent");
    EXPECT_EQ((Strings{"acknowledge CardReader.ReadRawData", "event CardReader.InsertCardEvent",
                       "completion CardReader.ReadRawData timeOut"}),
              lines);
    EXPECT_FALSE(bEntryEnabled(run.Emu()));

    app.vSend("CardReader.ReadRawData", 2, {{"track2", true}}, 0); // 0: no time-out
    app.UntilName("CardReader.InsertCardEvent");
    EXPECT_TRUE(bEntryEnabled(run.Emu()));
    app.vSend("CardReader.Move", 3, {{"to", "exit"}});
    EXPECT_EQ("acknowledge CardReader.Move", Line(app.Next()));
    app.vSend("Common.Cancel", 4, {{"requestIds", {3}}});
    EXPECT_EQ((Strings{"acknowledge Common.Cancel", "completion CardReader.Move canceled",
                       "completion Common.Cancel success"}),
              Lines(app.Until(4)));
    EXPECT_EQ("completion Common.Cancel commandErrorCode noMatchingRequestIDs",
              Line(app.Call("Common.Cancel", 5, {{"requestIds", {99}}})));
    EXPECT_EQ("completion Common.Cancel success", Line(app.Call("Common.Cancel", 6)));
    EXPECT_EQ("completion CardReader.ReadRawData canceled", Line(app.Until(2).back()));
    EXPECT_FALSE(bEntryEnabled(run.Emu()));
}

// A reader pulled out comes back; a jam is reported until a reset.
TEST(ServiceCore, AnUnpluggedReaderComesBackAndAJamIsReportedUntilAReset) {
    OCoreRun run;
    OApp app(run);
    run.vUnplug();
    EXPECT_TRUE(app.bUntilAt("/payload/common/device", "noDevice"));
    EXPECT_EQ("noDevice", app.Call("Common.Status", 1)["payload"]["common"]["device"]);
    EXPECT_EQ("completion CardReader.Move deviceNotReady",
              Line(app.Call("CardReader.Move", 2, {{"to", "unit1"}})));
    run.vReplug();
    EXPECT_TRUE(app.bUntilAt("/payload/common/device", "online"));
    EXPECT_EQ("completion CardReader.Move commandErrorCode noMedia",
              Line(app.Call("CardReader.Move", 3, {{"to", "unit1"}})));

    run.Emu().PlaceCard(emu::CardPosition::Inside); // seen, then jammed as it moves
    EXPECT_TRUE(app.bUntilAt("/payload/cardReader/media", "present"));
    run.Emu().Jam();
    EXPECT_EQ("completion CardReader.Move commandErrorCode mediaJam",
              Line(app.Call("CardReader.Move", 4, {{"to", "exit"}})));
    EXPECT_EQ("jammed", app.Call("Common.Status", 5)["payload"]["cardReader"]["media"]);
    EXPECT_EQ("completion CardReader.Reset commandErrorCode mediaJam",
              Line(app.Call("CardReader.Reset", 6)));
    run.Emu().Jam(false);
    EXPECT_EQ("completion CardReader.Reset success", Line(app.Call("CardReader.Reset", 7)));
    EXPECT_TRUE(
        bHolds(app.Call("Common.Status", 8)["payload"],
               R"({"common": {"device": "online"}, "cardReader": {"media": "entering"}})"_json));
}

// A status whose sensor query is refused still succeeds on its last query,
// with the position the driver kept: the poll sends no phantom state.
TEST(ServiceCore, AStatusWithoutItsSensorQueryShowsNoPhantomCard) {
    OCoreRun run;
    OApp app(run);
    run.Emu().ForceReply("C11", 'N', "44");
    run.Emu().PlaceCard(emu::CardPosition::Inside);
    const std::vector<Json> frames = app.UntilName("Common.StatusChangedEvent");
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(R"({"cardReader":{"chipPower":"poweredOff","media":"present"}})",
              frames.back()["payload"].dump());
}
