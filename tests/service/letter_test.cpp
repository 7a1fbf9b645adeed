// The service as the standard's message set has it: capabilities, versions,
// the events an unattended kiosk waits for (through the emulator), and the
// retain bin's exchange, the interface module and the transaction state.
// The service's core runs in this process (core_fixture.h): what travels
// over the socket is service_test.cpp's.
#include <gtest/gtest.h>

#include "core_fixture.h"

namespace emu = quillon::emu;

namespace {

using tSetup = OServiceRun::tSetup;

// The last frame (null: none came).
Json Last(const std::vector<Json>& frames) {
    return frames.empty() ? Json() : frames.back();
}

// The first frame of this name (null: none).
Json Find(const std::vector<Json>& frames, const char* pName) {
    for (const Json& f : frames)
        if (f["header"]["name"] == pName)
            return f;
    return Json();
}

} // namespace

// Capabilities list the family's commands and the service's events under
// their full names; SetVersions takes each of them back at its major.
TEST(Letter, CapabilitiesAreKeyedByFullNamesAndNegotiatedBack) {
    const struct {
        emu::Family eFamily;
        bool bWrites; // WriteRawData and SetStorage offered
    } rows[] = {{emu::Family::A, true}, {emu::Family::C, false}};
    for (const auto& r : rows) {
        OCoreRun run(tSetup::CardInside(r.eFamily));
        OApp app(run);
        const Json caps = app.Call("Common.Capabilities", 1)["payload"];
        Json versions; // every message listed, at its major version
        std::string sListed;
        for (const Json& i : caps["interfaces"])
            for (const char* pKind : {"commands", "events"}) {
                const Json listed = i.value(pKind, Json::object());
                for (const auto& m : listed.items()) {
                    sListed += m.key() + " ";
                    versions[pKind][m.key()] =
                        std::stoi(m.value()["versions"][0].get<std::string>());
                }
            }
        for (const char* p :
             {"Common.Cancel ", "CardReader.QueryIFMIdentifier ", "Storage.StartExchange ",
              "Common.SetTransactionState ", "Common.ErrorEvent ", "Storage.StorageThresholdEvent ",
              "Storage.StorageChangedEvent ", "CardReader.MediaDetectedEvent ",
              "CardReader.InvalidMediaEvent "})
            EXPECT_NE(std::string::npos, sListed.find(p)) << p;
        for (const char* p : {"CardReader.WriteRawData ", "Storage.SetStorage "})
            EXPECT_EQ(r.bWrites, sListed.find(p) != std::string::npos) << p;
        EXPECT_EQ(std::string::npos, sListed.find("CardActionEvent")); // the reader never says so
        EXPECT_EQ("completion Common.SetVersions success",
                  Line(app.Call("Common.SetVersions", 2, versions)));
        for (const Json& w :
             {Json{{"commands", {{"Cancel", 2}}}}, Json{{"commands", {{"CardReader.ChipIO", 2}}}},
              Json{{"events", {{"CardReader.CardActionEvent", 2}}}}})
            EXPECT_EQ("completion Common.SetVersions unsupportedData",
                      Line(app.Call("Common.SetVersions", 3, w)))
                << w.dump();
    }
}

// A command in a major version not offered completes unsupportedCommand
// saying what is; completions carry their own message's version.
TEST(Letter, VersionsAskedAndCompletionsVersioned) {
    OCoreRun run(tSetup::CardInside(emu::Family::C));
    OApp app(run);
    const struct {
        const char* pName;
        const char* pSent;
        const char* pCode;
        const char* pVersion; // of the completion
        const char* pSays;    // in its errorDescription
    } rows[] = {
        {"Common.Status", "99.0", "unsupportedCommand", "3.0", "offered: 2.0"},
        {"Common.Status", "1.0", "unsupportedCommand", "3.0", "offered: 2.0"},
        {"Common.Status", "2.7", "success", "3.0", ""},
        {"CardReader.ChipIO", "2.0", "unsupportedCommand", "3.0", "offered: 3.0"},
        {"CardReader.ReadRawData", "3.0", "unsupportedCommand", "3.0", "offered: 2.0"},
        {"CardReader.WriteRawData", "3.0", "unsupportedCommand", "2.0", "not offered"},
        {"Storage.SetStorage", "2.1", "unsupportedCommand", "2.0", "not offered"},
        {"CardReader.EMVClessConfigure", "3.0", "unsupportedCommand", "2.0", ""},
        {"CardReader.SetKey", "3.0", "unsupportedCommand", "2.0", ""},
        {"CardReader.EMVClessQueryApplications", "2.0", "unsupportedCommand", "3.0", ""},
        {"Common.Fly", "5.0", "unsupportedCommand", "5.0", ""},
    };
    int iId = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.pName) + " " + r.pSent);
        Json f = Json::parse(Command(r.pName, ++iId));
        f["header"]["version"] = r.pSent;
        app.bSendRaw(f.dump()); // by hand: not held against the standard
        const Json done = Last(app.Until(iId));
        EXPECT_EQ(std::string("completion ") + r.pName + " " + r.pCode, Line(done));
        EXPECT_EQ(r.pVersion, done["header"]["version"]);
        EXPECT_NE(std::string::npos, done["header"].value("errorDescription", "").find(r.pSays));
    }
}

// The retain bin reaches its high mark, then its capacity; an exchange
// empties it: the reader's count starts again and everyone hears of it.
TEST(Letter, RetainBinThresholdsAndTheExchangeThatEmptiesIt) {
    tSetup s = tSetup::CardInside();
    s.sIni = "RetainBinHighMark=2\nRetainBinCapacity=3\n";
    OCoreRun run(s);
    emu::Emulator& e = run.Emu();
    e.With([](emu::Engine& g) { g.Model().counters.retainBin = 1; });
    OApp app(run), other(run);
    const struct {
        const char* pStatus;
        int iCount;
    } marks[] = {{"high", 2}, {"full", 3}};
    int iId = 0;
    for (const auto& m : marks) {
        SCOPED_TRACE(m.pStatus);
        e.PlaceCard(emu::CardPosition::Inside);
        app.vSend("CardReader.Move", ++iId, {{"to", "unit1"}});
        const std::vector<Json> moved = app.Until(iId);
        EXPECT_EQ("completion CardReader.Move success", Line(Last(moved)));
        for (const Json& ev : {Find(moved, "Storage.StorageThresholdEvent"),
                               Last(other.UntilName("Storage.StorageThresholdEvent"))}) {
            EXPECT_EQ("unsolicited Storage.StorageThresholdEvent", Line(ev));
            EXPECT_TRUE(
                bHolds(ev["payload"]["unit1"],
                       {{"capacity", 3},
                        {"card",
                         {{"configuration", {{"threshold", 2}}},
                          {"status", {{"count", m.iCount}, {"replenishmentStatus", m.pStatus}}}}}}))
                << ev.dump();
        }
    }
    const Json stored = app.Call("Storage.GetStorage", ++iId)["payload"]["storage"];
    EXPECT_EQ("full", stored["unit1"]["card"]["status"]["replenishmentStatus"]);
    const std::string sMetrics = run.Metrics().sText();
    for (const char* p :
         {"\nquillon_retain_bin_capacity_cards 3\n", "\nquillon_retain_bin_high_mark_cards 2\n",
          "\nquillon_retain_bin_replenishment{status=\"full\"} 1\n",
          "\nquillon_retain_bin_replenishment{status=\"high\"} 0\n"})
        EXPECT_NE(std::string::npos, sMetrics.find(p)) << p << sMetrics;
    EXPECT_TRUE(bHolds(Json::parse(run.Metrics().sPageJson())["retainBin"],
                       {{"capacity", 3}, {"highMark", 2}, {"status", "full"}}));

    const struct {
        const char* pName;
        const char* pExpected;
    } exchange[] = {
        {"Storage.EndExchange", "commandErrorCode noExchangeActive"},
        {"Storage.StartExchange", "success"},
        {"Storage.StartExchange", "commandErrorCode exchangeActive"},
        {"Storage.EndExchange", "success"},
    };
    for (const auto& x : exchange)
        EXPECT_EQ(std::string("completion ") + x.pName + " " + x.pExpected,
                  Line(app.Call(x.pName, ++iId)));
    EXPECT_EQ(0u, e.GetCounters().retainBin);
    const std::vector<Json> after = other.UntilName("Storage.StorageChangedEvent");
    EXPECT_FALSE(Find(after, "Storage.StorageThresholdEvent").is_null());
    EXPECT_TRUE(bHolds(Last(after)["payload"]["unit1"],
                       {{"card", {{"status", {{"count", 0}, {"replenishmentStatus", "ok"}}}}}}));
}

// The interface module's identifiers come from the configuration; the
// transaction state is kept, told back, stops an exchange, and goes
// nowhere else (log, metrics).
TEST(Letter, InterfaceModuleIdentifiersAndTheTransactionState) {
    testing::internal::CaptureStderr(); // the service's log
    tSetup s;
    s.sIni = "IFMIdentifierEMV=IFM-EMV-0815\nIFMIdentifierVisa=VISA 4711\n";
    OCoreRun run(s);
    OApp app(run);
    EXPECT_EQ((Json{{"ifmIdentifiers", {{"emv", "IFM-EMV-0815"}, {"visa", "VISA 4711"}}}}),
              app.Call("CardReader.QueryIFMIdentifier", 1)["payload"]);
    const struct {
        const char* pName;
        const char* pPayload;
        const char* pExpected;
        const char* pGot; // the completion's payload, where it matters
    } rows[] = {
        {"Common.GetTransactionState", "{}", "success", R"({"state": "inactive"})"},
        {"Common.SetTransactionState",
         R"({"state": "active", "transactionID": "4000001 Jane Doe"})", "success", nullptr},
        {"Common.GetTransactionState", "{}", "success",
         R"({"state": "active", "transactionID": "4000001 Jane Doe"})"},
        {"Storage.StartExchange", "{}", "commandErrorCode transactionActive", nullptr},
        {"Common.SetTransactionState", R"({"state": "maybe"})", "invalidData", nullptr},
        {"Common.SetTransactionState", R"({"state": "inactive", "transactionID": "x"})", "success",
         nullptr},
        {"Common.GetTransactionState", "{}", "success", R"({"state": "inactive"})"},
        {"Storage.StartExchange", "{}", "success", nullptr},
    };
    int iId = 1;
    for (const auto& r : rows) {
        // A payload the standard refuses goes by hand (not held against it).
        if (std::string(r.pExpected) == "invalidData")
            app.bSendRaw(Command(r.pName, ++iId, Json::parse(r.pPayload)));
        else
            app.vSend(r.pName, ++iId, Json::parse(r.pPayload));
        const Json done = Last(app.Until(iId));
        EXPECT_EQ(std::string("completion ") + r.pName + " " + r.pExpected, Line(done));
        EXPECT_TRUE(!r.pGot || Json::parse(r.pGot) == done["payload"]) << r.pName;
    }
    for (const std::string& sSeen :
         {testing::internal::GetCapturedStderr(), run.Metrics().sText(), run.Metrics().sPageJson()})
        EXPECT_EQ(std::string::npos, sSeen.find("Jane Doe"));
}

// A reset that finds a card says where it went; one that finds none says
// nothing.
TEST(Letter, AResetThatFindsACardSaysWhereItWent) {
    OCoreRun run;
    OApp app(run);
    const struct {
        bool bCard;
        const char* pTo;
        const char* pPosition; // nullptr: no event
    } rows[] = {{true, "currentPosition", "transport"},
                {true, "exit", "exit"},
                {true, "retain", "unit1"},
                {false, "retain", nullptr}};
    int iId = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pTo);
        run.Emu().PlaceCard(r.bCard ? emu::CardPosition::Inside : emu::CardPosition::None);
        app.vSend("CardReader.Reset", ++iId, {{"to", r.pTo}});
        const std::vector<Json> frames = app.Until(iId);
        EXPECT_EQ("completion CardReader.Reset success", Line(Last(frames)));
        Json ev = Find(frames, "CardReader.MediaDetectedEvent");
        EXPECT_EQ(r.pPosition ? Json(r.pPosition) : Json(), ev["payload"]["position"])
            << frames.size();
    }
}

// A reader that comes back with a card inside tells so; the time it was
// away and a jam each send an error event with the action they need.
TEST(Letter, ErrorEventsAndACardFoundWhenTheReaderComesBack) {
    OCoreRun run;
    OApp app(run);
    run.vUnplug();
    Json ev = Last(app.UntilName("Common.ErrorEvent"));
    EXPECT_TRUE(bHolds(ev["payload"], {{"eventId", "hardware"}, {"action", "suspend"}}));
    ASSERT_TRUE(app.bUntilAt("/payload/common/device", "noDevice"));
    run.vReplug(emu::CardPosition::Inside);
    ev = Last(app.UntilName("CardReader.MediaDetectedEvent"));
    EXPECT_EQ("unsolicited CardReader.MediaDetectedEvent", Line(ev));
    EXPECT_EQ("transport", ev["payload"]["position"]);

    run.Emu().Jam();
    app.vSend("CardReader.Move", 1, {{"to", "exit"}});
    const std::vector<Json> frames = app.Until(1);
    EXPECT_EQ("completion CardReader.Move commandErrorCode mediaJam", Line(Last(frames)));
    EXPECT_TRUE(bHolds(Find(frames, "Common.ErrorEvent")["payload"],
                       {{"eventId", "hardware"}, {"action", "clear"}}))
        << frames.size();
}

// A card of which nothing asked for can be read: the customer is told at
// once, before the completion.
TEST(Letter, AnUnreadableCardIsToldAtOnce) {
    OCoreRun run(tSetup::CardInside());
    emu::Card blank;
    blank.chip = emu::ChipKind::None;
    run.Emu().SetCard(blank);
    OApp app(run);
    app.vSend("CardReader.ReadRawData", 4,
              {{"track1", true}, {"track2", true}, {"track3", true}, {"chip", true}});
    std::vector<Json> answers;
    for (const Json& f : app.Until(4))
        if (f["header"]["requestId"] == 4)
            answers.push_back(f);
    EXPECT_EQ((Strings{"acknowledge CardReader.ReadRawData", "event CardReader.InvalidMediaEvent",
                       "completion CardReader.ReadRawData commandErrorCode invalidMedia"}),
              Lines(answers));
}
