// The XFS4IoT service as applications meet it: the quillon-xfs4iot
// program on a loopback port, the reader emulator behind it, WebSocket
// clients in front. Frames, completion and error codes, events in order,
// what the reader was sent.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "service_fixture.h"

namespace emu = quillon::emu;

namespace {

const emu::Card kCard = emu::Card::Default();

// No card; one offered goes in when the test lets it.
OServiceRun::tSetup HeldAtGate() {
    OServiceRun::tSetup s;
    s.emu.entryDelay = emu::kForever;
    return s;
}

// A ReadRawData of track 1 that waits for a card.
void AwaitCard(OApp& app, int iId) {
    app.vSend("CardReader.ReadRawData", iId, {{"track1", true}});
    EXPECT_EQ("event CardReader.InsertCardEvent",
              Line(app.UntilName("CardReader.InsertCardEvent").back()));
}

OServiceRun::tSetup CardInside(emu::Family e = emu::Family::A) {
    OServiceRun::tSetup s;
    s.eFamily = e;
    s.eCard = emu::CardPosition::Inside;
    return s;
}

bool bEntryEnabled(emu::Emulator& e) {
    return e.With([](emu::Engine& g) { return g.Model().EntryEnabled(); });
}

std::string Str(const emu::Bytes& b) {
    return std::string(b.begin(), b.end());
}

// Waits for a status change event that says this of the media.
void WaitMedia(OApp& app, const std::string& sMedia) {
    for (Json f = app.Next(); !f.is_null(); f = app.Next())
        if (At(f, "/payload/cardReader/media") == sMedia)
            return;
    ADD_FAILURE() << "no status change to " << sMedia;
}

// A raw TCP connection to the service, and whether it is closed on us.
int RawConnect(int iPort) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(iPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}
// An upgrade request by hand: the status line of the answer. pFd: the
// connection stays open for the caller. sHeaders: Host and, from a browser,
// Origin.
std::string Upgrade(int iPort, const std::string& sPath, int* pFd = nullptr,
                    const std::string& sHeaders = "Host: 127.0.0.1\r\n") {
    const int fd = RawConnect(iPort);
    const std::string req = "GET " + sPath + " HTTP/1.1\r\n" + sHeaders +
                            "Upgrade: websocket\r\n"
                            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n";
    std::string answer;
    char c;
    if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size()))
        while (read(fd, &c, 1) == 1 && c != '\n')
            answer += c;
    if (pFd)
        *pFd = fd;
    else
        close(fd);
    return answer.substr(0, answer.find('\r'));
}

bool bClosedByPeer(int fd) {
    timeval guard{20, 0}; // a hang guard; the service's time-outs are 300 ms here
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
    }
    close(fd);
    return n == 0;
}

} // namespace

TEST(Service, PublisherNamesTheServiceAndOtherPathsAreRefused) {
    OServiceRun run;
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp publisher(run.iPort(), "/xfs4iot/v1.0");
    ASSERT_TRUE(publisher.bConnected());
    const Json done = publisher.Call("ServicePublisher.GetServices", 1);
    EXPECT_EQ("completion ServicePublisher.GetServices success", Line(done));
    EXPECT_EQ("Quillon", done["payload"]["vendorName"]);
    EXPECT_EQ("ws://127.0.0.1:" + std::to_string(run.iPort()) + "/xfs4iot/v1.0/CardReader1",
              done["payload"]["services"][0]["serviceURI"]);
    EXPECT_EQ("completion Common.Status unsupportedCommand",
              Line(publisher.Call("Common.Status", 2)));
    for (const char* pPath : {"/", "/xfs4iot/v1.0/CardReader2", "/metrics"})
        EXPECT_EQ("HTTP/1.1 404 Not Found", Upgrade(run.iPort(), pPath)) << pPath;
}

// A browser names the page it runs in: only the service's own page, reached
// by its address, and the listed origins get in; a web site open in the
// kiosk's browser, or a name pointed at the kiosk, does not.
TEST(Service, WebPagesOfOtherOriginsAreRefused) {
    OServiceRun::tSetup s;
    s.sIni = "AllowedOrigins=http://kiosk.example:8080 https://other.example\n";
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    const std::string sSelf = "127.0.0.1:" + std::to_string(run.iPort());
    const struct {
        const char* pPath;
        std::string sHost, sOrigin;
        const char* pStatus;
    } rows[] = {
        {"/xfs4iot/v1.0/CardReader1", sSelf, "", "101 Switching Protocols"},
        {"/xfs4iot/v1.0/CardReader1", sSelf, "http://" + sSelf, "101 Switching Protocols"},
        {"/xfs4iot/v1.0/CardReader1", sSelf, "http://kiosk.example:8080",
         "101 Switching Protocols"},
        {"/xfs4iot/v1.0/CardReader1", sSelf, "https://evil.example", "403 Forbidden"},
        {"/xfs4iot/v1.0/CardReader1", sSelf, "http://kiosk.example", "403 Forbidden"},
        {"/xfs4iot/v1.0/CardReader1", sSelf, "null", "403 Forbidden"},
        {"/xfs4iot/v1.0/CardReader1", "rebound.example:" + std::to_string(run.iPort()),
         "http://rebound.example:" + std::to_string(run.iPort()), "403 Forbidden"},
        {"/xfs4iot/v1.0", sSelf, "https://evil.example", "403 Forbidden"},
    };
    for (const auto& r : rows) {
        const std::string sHeaders = "Host: " + r.sHost + "\r\n" +
                                     (r.sOrigin.empty() ? "" : "Origin: " + r.sOrigin + "\r\n");
        EXPECT_EQ(std::string("HTTP/1.1 ") + r.pStatus,
                  Upgrade(run.iPort(), r.pPath, nullptr, sHeaders))
            << r.sOrigin;
    }
}

// Every command on a card in the reader, in one customer's order; each row
// checks the completion and what the reader did.
TEST(Service, EveryCommandWithTheCardInside) {
    OServiceRun run(CardInside());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    emu::Emulator& e = run.Emu();
    OApp app(run.iPort());
    ASSERT_TRUE(app.bConnected());
    const emu::Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0,
                               0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
    emu::ChipSim chip; // the card's own answers, for comparison
    struct Row {
        const char* pName;
        Json payload;
        std::string sExpected; // "completion <name> <code> [<errorCode>]" without the name
        std::function<void(const Json& payload)> check;
    } rows[] = {
        {"Common.Status",
         {},
         "success",
         [](const Json& p) {
             EXPECT_EQ("online", p["common"]["device"]);
             EXPECT_EQ("present", p["cardReader"]["media"]);
             EXPECT_EQ("poweredOff", p["cardReader"]["chipPower"]);
         }},
        {"Common.Capabilities",
         {},
         "success",
         [](const Json& p) {
             EXPECT_EQ("motor", p["cardReader"]["type"]);
             EXPECT_EQ("Omron-051", p["common"]["deviceInformation"][0]["modelName"]);
             EXPECT_EQ((Strings{"Common", "CardReader", "Storage"}),
                       (Strings{p["interfaces"][0]["name"], p["interfaces"][1]["name"],
                                p["interfaces"][2]["name"]}));
             EXPECT_EQ("3.0", p["interfaces"][1]["commands"]["ChipIO"]["versions"][0]);
             EXPECT_EQ(32, p["interfaces"][1]["maximumRequests"]);
         }},
        {"Common.SetVersions", {{"commands", {{"CardReader.ChipIO", 3}}}}, "success", nullptr},
        {"Common.SetVersions",
         {{"events", {{"Common.StatusChangedEvent", 2}}}},
         "unsupportedData",
         nullptr},
        {"CardReader.ReadRawData",
         {{"track1", true},
          {"track2", true},
          {"track3", true},
          {"chip", true},
          {"watermark", true}},
         "success",
         [&](const Json& p) {
             EXPECT_EQ(B64(kCard.track1), p["track1"]["data"]);
             EXPECT_EQ(B64(kCard.track2), p["track2"]["data"]);
             EXPECT_EQ(B64(kCard.track3), p["track3"]["data"]);
             EXPECT_FALSE(p["track1"].contains("status"));
             EXPECT_EQ(B64(Str(kCard.Answer())), p["chip"][0]["data"]);
             EXPECT_EQ("dataSourceNotSupported", p["watermark"]["status"]);
         }},
        {"CardReader.ChipIO",
         {{"chipProtocol", "chipT0"}, {"chipData", B64(Str(select))}},
         "success",
         [&](const Json& p) {
             EXPECT_EQ(B64(Str(chip.Apdu(kCard, select))), p["chipData"]);
             EXPECT_EQ("chipT0", p["chipProtocol"]);
         }},
        {"CardReader.ChipIO",
         {{"chipProtocol", "chipT1"}, {"chipData", "AA=="}},
         "commandErrorCode protocolNotSupported",
         nullptr},
        {"CardReader.ChipPower",
         {{"chipPower", "warm"}},
         "success",
         [](const Json& p) { EXPECT_TRUE(p.contains("chipData")); }},
        {"CardReader.ChipPower", {{"chipPower", "off"}}, "success", nullptr},
        {"CardReader.ChipIO",
         {{"chipData", B64(Str(select))}},
         "commandErrorCode atrNotObtained",
         nullptr},
        {"CardReader.ChipPower",
         {{"chipPower", "cold"}},
         "success",
         [](const Json& p) { EXPECT_EQ(B64(Str(kCard.Answer())), p["chipData"]); }},
        {"CardReader.WriteRawData",
         {{"track2", {{"data", B64(";123=45?")}, {"writeMethod", "hico"}}}},
         "success",
         [&](const Json&) {
             EXPECT_EQ(";123=45?", e.With([](emu::Engine& g) { return g.Model().tCard().track2; }));
         }},
        {"CardReader.WriteRawData",
         {{"track2", {{"data", B64(std::string(41, '1'))}}}},
         "invalidData",
         nullptr},
        {"Storage.GetStorage",
         {},
         "success",
         [&](const Json& p) {
             const Json& unit = p["storage"]["unit1"]["card"];
             EXPECT_EQ("retain", unit["capabilities"]["type"]);
             EXPECT_EQ(e.GetCounters().retainBin, unit["status"]["count"]);
         }},
        {"CardReader.Move",
         {{"to", "exit"}},
         "success",
         [&](const Json&) { EXPECT_EQ(emu::CardPosition::Gate, e.Position()); }},
        {"CardReader.Move", {{"from", "exit"}, {"to", "exit"}}, "success", nullptr},
        {"CardReader.Move",
         {{"from", "transport"}, {"to", "unit1"}},
         "commandErrorCode noMedia",
         nullptr},
        {"CardReader.Move",
         {{"to", "unit1"}},
         "success",
         [&](const Json&) { EXPECT_EQ(emu::CardPosition::Retained, e.Position()); }},
        {"Storage.GetStorage",
         {},
         "success",
         [&](const Json& p) { EXPECT_EQ(1, p["storage"]["unit1"]["card"]["status"]["count"]); }},
        {"Storage.SetStorage",
         {{"storage", {{"unit1", {{"card", {{"status", {{"initialCount", 0}}}}}}}}}},
         "success",
         [&](const Json&) { EXPECT_EQ(0u, e.GetCounters().retainBin); }},
        {"Storage.SetStorage",
         {{"storage", {{"unit7", {{"card", {{"status", {{"initialCount", 0}}}}}}}}}},
         "commandErrorCode invalidUnit",
         nullptr},
        {"Storage.SetStorage",
         {{"storage", {{"unit1", {{"card", {{"status", {{"initialCount", 5}}}}}}}}}},
         "unsupportedData",
         nullptr},
        {"CardReader.Move", {{"to", "exit"}}, "commandErrorCode noMedia", nullptr},
        {"CardReader.ChipPower", {{"chipPower", "cold"}}, "commandErrorCode noMedia", nullptr},
        {"CardReader.Reset", {{"to", "currentPosition"}}, "success", nullptr},
    };
    int iId = 0;
    for (Row& r : rows) {
        SCOPED_TRACE(std::string(r.pName) + " " + r.payload.dump());
        const Json done = app.Call(r.pName, ++iId, r.payload);
        EXPECT_EQ("completion " + std::string(r.pName) + " " + r.sExpected, Line(done));
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
TEST(Service, FamiliesBAndC) {
    struct Row {
        emu::Family eFamily;
        bool bCount;          // the retain count comes from the life counters
        const char* pWritten; // WriteRawData's completion
    } rows[] = {{emu::Family::B, true, "success"}, {emu::Family::C, false, "unsupportedCommand"}};
    for (const Row& r : rows) {
        OServiceRun run(CardInside(r.eFamily));
        ASSERT_TRUE(run.bStarted()) << run.sLog();
        OApp app(run.iPort());
        EXPECT_EQ("completion CardReader.ReadRawData success",
                  Line(app.Call("CardReader.ReadRawData", 1, {{"track2", true}})));
        EXPECT_EQ(
            "completion CardReader.WriteRawData " + std::string(r.pWritten),
            Line(app.Call("CardReader.WriteRawData", 2, {{"track3", {{"data", "OzEyMz8="}}}})));
        EXPECT_EQ("completion CardReader.Move success",
                  Line(app.Call("CardReader.Move", 3, {{"to", "unit1"}})));
        const Json status =
            app.Call("Storage.GetStorage", 4)["payload"]["storage"]["unit1"]["card"]["status"];
        EXPECT_EQ(r.bCount, status.contains("count"));
        if (r.bCount) {
            EXPECT_EQ(run.Emu().GetCounters().retainBin, status["count"]);
        }
    }
}

// No card: the reader takes one in, the application hears of each step.
TEST(Service, WaitingForACardSendsItsEventsInOrder) {
    OServiceRun run(HeldAtGate());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    app.vSend("CardReader.ReadRawData", 7, {{"track2", true}});
    std::vector<Json> frames = app.UntilName("CardReader.InsertCardEvent");
    run.Emu().InsertCard(); // the customer's card at the gate
    WaitMedia(app, "entering");
    run.Emu().LetCardIn();
    for (const Json& f : app.Until(7))
        frames.push_back(f);
    EXPECT_EQ(
        (Strings{"acknowledge CardReader.ReadRawData", "event CardReader.InsertCardEvent",
                 "event CardReader.MediaInsertedEvent", "unsolicited Common.StatusChangedEvent",
                 "completion CardReader.ReadRawData success"}),
        Lines(frames));
    EXPECT_EQ(B64(kCard.track2), frames.back()["payload"]["track2"]["data"]);
    EXPECT_EQ(7, frames[1]["header"]["requestId"]);

    // Given back and taken: removed, then the new state.
    EXPECT_EQ("completion CardReader.Move success",
              Line(app.Call("CardReader.Move", 8, {{"to", "exit"}})));
    ASSERT_TRUE(run.Emu().RemoveCard());
    frames = app.UntilName("CardReader.MediaRemovedEvent");
    const Json next = app.Next();
    EXPECT_EQ("unsolicited Common.StatusChangedEvent", Line(next));
    EXPECT_EQ("notPresent", next["payload"]["cardReader"]["media"]);
}

// Waiting ends by Common.Cancel or the time-out; queued commands are
// canceled at once; the reader refuses cards afterwards.
TEST(Service, CancelAndTimeOutLeaveTheReaderRefusingCards) {
    OServiceRun run(HeldAtGate());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    app.vSend("CardReader.ReadRawData", 1, {{"track2", true}}, 200);
    EXPECT_EQ((Strings{"acknowledge CardReader.ReadRawData", "event CardReader.InsertCardEvent",
                       "completion CardReader.ReadRawData timeOut"}),
              Lines(app.Until(1)));
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

// One reader for all: commands run in arrival order across connections,
// while status answers at once.
TEST(Service, TwoClientsShareTheReaderInArrivalOrder) {
    OServiceRun run(HeldAtGate());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp a(run.iPort()), b(run.iPort());
    AwaitCard(a, 1);
    EXPECT_EQ("completion Common.Status success", Line(b.Call("Common.Status", 1)));
    b.vSend("CardReader.Move", 2, {{"to", "exit"}});
    EXPECT_EQ("acknowledge CardReader.Move", Line(b.Next()));
    run.Emu().ClearLog();
    run.Emu().InsertCard();
    run.Emu().LetCardIn();
    EXPECT_EQ("completion CardReader.ReadRawData success", Line(a.Until(1).back()));
    EXPECT_EQ("completion CardReader.Move success", Line(b.Until(2).back()));
    // The read reached the reader before the eject.
    const Strings sent = run.Emu().Commands();
    const auto read = std::find(sent.begin(), sent.end(), "C6a7");
    EXPECT_NE(sent.end(), read);
    EXPECT_NE(sent.end(), std::find(read, sent.end(), "C30"));
}

TEST(Service, BadInputIsRefusedAndTheConnectionStaysUsable) {
    OServiceRun run;
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    const auto frame = [](const Json& header, const Json& payload = Json::object()) {
        Json h = {
            {"name", "Common.Status"}, {"requestId", 1}, {"type", "command"}, {"version", "2.0"}};
        if (header.is_object())
            h.update(header);
        return Json{{"header", h}, {"payload", payload}}.dump();
    };
    struct Row {
        std::string sFrame;
        bool bBinary;
        Strings expected;
    } rows[] = {
        {"{not json", false, {"acknowledge Common.Acknowledge invalidMessage"}},
        {frame({}), true, {"acknowledge Common.Acknowledge invalidMessage"}},
        {frame({}, {{"x", std::string(70000, 'a')}}),
         false,
         {"acknowledge Common.Acknowledge invalidMessage"}},
        {frame({{"requestId", 0}}), false, {"acknowledge Common.Status invalidRequestID"}},
        {frame({{"requestId", "7"}}), false, {"acknowledge Common.Status invalidRequestID"}},
        {frame({{"requestId", 1.5}}), false, {"acknowledge Common.Status invalidRequestID"}},
        {frame({{"type", "event"}}), false, {"acknowledge Common.Status invalidMessage"}},
        {frame({{"version", nullptr}}), false, {"acknowledge Common.Status invalidMessage"}},
        {frame({{"timeout", -5}}), false, {"acknowledge Common.Status invalidMessage"}},
        {frame({{"name", "Common.Fly"}}),
         false,
         {"acknowledge Common.Fly", "completion Common.Fly unsupportedCommand"}},
        {frame({{"name", "CardReader.ReadRawData"}}, {{"track1", "yes"}}),
         false,
         {"acknowledge CardReader.ReadRawData", "completion CardReader.ReadRawData invalidData"}},
        {frame({{"name", "CardReader.ChipIO"}}, {{"chipData", "@@@@"}}),
         false,
         {"acknowledge CardReader.ChipIO", "completion CardReader.ChipIO invalidData"}},
        {frame({{"name", "CardReader.Move"}}, {{"to", "transport"}}),
         false,
         {"acknowledge CardReader.Move", "completion CardReader.Move unsupportedData"}},
        {frame({{"name", "Common.Cancel"}}, {{"requestIds", {0}}}),
         false,
         {"acknowledge Common.Cancel", "completion Common.Cancel invalidData"}},
        {frame({}, Json::array()),
         false,
         {"acknowledge Common.Status", "completion Common.Status invalidData"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.sFrame.substr(0, 120));
        ASSERT_TRUE(app.Ws().bSend(r.sFrame, r.bBinary));
        Strings got;
        for (size_t i = 0; i < r.expected.size(); ++i)
            got.push_back(Line(app.Next()));
        EXPECT_EQ(r.expected, got);
        EXPECT_EQ("completion Common.Status success", Line(app.Call("Common.Status", 2)));
    }

    // 32 commands in flight on one connection: the 33rd is refused, and so
    // is an id in use.
    AwaitCard(app, 100);
    for (int i = 101; i < 132; ++i)
        app.vSend("CardReader.Move", i, {{"to", "exit"}});
    app.vSend("CardReader.Move", 132, {{"to", "exit"}});
    EXPECT_EQ("acknowledge CardReader.Move tooManyRequests", Line(app.Until(132).back()));
    app.vSend("CardReader.Move", 100, {{"to", "exit"}});
    EXPECT_EQ("acknowledge CardReader.Move invalidRequestID", Line(app.Until(100).back()));
    EXPECT_EQ("completion Common.Cancel success", Line(app.Call("Common.Cancel", 200)));

    // Sixteen connections at most: the next one is told so.
    std::vector<std::unique_ptr<OApp>> more;
    for (int i = 1; i < 16; ++i)
        more.push_back(std::make_unique<OApp>(run.iPort()));
    for (auto& m : more)
        EXPECT_TRUE(m->bConnected());
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable",
              Upgrade(run.iPort(), "/xfs4iot/v1.0/CardReader1"));
}

TEST(Service, SilentAndHalfOpenConnectionsAreDropped) {
    OServiceRun::tSetup s;
    s.sIni = "IdleTimeoutMs=300\nHandshakeTimeoutMs=300\n";
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    // Connected and silent: no upgrade request comes.
    EXPECT_TRUE(bClosedByPeer(RawConnect(run.iPort())));
    // Upgraded, then deaf to the service's pings.
    int fd = -1;
    EXPECT_EQ("HTTP/1.1 101 Switching Protocols",
              Upgrade(run.iPort(), "/xfs4iot/v1.0/CardReader1", &fd));
    EXPECT_TRUE(bClosedByPeer(fd));
    EXPECT_TRUE(OApp(run.iPort()).bConnected()) << "the service still takes connections";
}

TEST(Service, SigtermCompletesPendingCommandsAsCanceled) {
    OServiceRun run(HeldAtGate());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp a(run.iPort()), b(run.iPort());
    AwaitCard(a, 1);
    b.vSend("CardReader.Reset", 1);
    EXPECT_EQ("acknowledge CardReader.Reset", Line(b.Next()));
    run.vSignal(SIGTERM);
    EXPECT_EQ("completion CardReader.ReadRawData canceled", Line(a.Until(1).back()));
    EXPECT_EQ("completion CardReader.Reset canceled", Line(b.Until(1).back()));
    EXPECT_TRUE(a.Next().is_null() && b.Next().is_null()) << "the service closes the connections";
    EXPECT_EQ(0, run.iStop(0)) << run.sLog();
    EXPECT_FALSE(bEntryEnabled(run.Emu()));
    EXPECT_TRUE(run.bWaitLog("stopped")) << run.sLog();
}

TEST(Service, AnUnpluggedReaderComesBack) {
    OServiceRun run;
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    run.vUnplug();
    const auto waitDevice = [&](const char* pState) {
        for (Json f = app.Next(); !f.is_null(); f = app.Next())
            if (At(f, "/payload/common/device") == pState)
                return true;
        return false;
    };
    EXPECT_TRUE(waitDevice("noDevice"));
    EXPECT_EQ("noDevice", app.Call("Common.Status", 1)["payload"]["common"]["device"]);
    EXPECT_EQ("completion CardReader.Move deviceNotReady",
              Line(app.Call("CardReader.Move", 2, {{"to", "unit1"}})));
    run.vReplug();
    EXPECT_TRUE(waitDevice("online"));
    EXPECT_EQ("completion CardReader.Move commandErrorCode noMedia",
              Line(app.Call("CardReader.Move", 3, {{"to", "unit1"}})));
}

TEST(Service, AJamIsReportedUntilAReset) {
    OServiceRun run(CardInside());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    run.Emu().Jam();
    EXPECT_EQ("completion CardReader.Move commandErrorCode mediaJam",
              Line(app.Call("CardReader.Move", 1, {{"to", "exit"}})));
    EXPECT_EQ("jammed", app.Call("Common.Status", 2)["payload"]["cardReader"]["media"]);
    EXPECT_EQ("completion CardReader.Reset commandErrorCode mediaJam",
              Line(app.Call("CardReader.Reset", 3)));
    run.Emu().Jam(false);
    EXPECT_EQ("completion CardReader.Reset success", Line(app.Call("CardReader.Reset", 4)));
    const Json status = app.Call("Common.Status", 5)["payload"];
    EXPECT_EQ("online", status["common"]["device"]);
    EXPECT_EQ("entering", status["cardReader"]["media"]);
}

TEST(Service, StartUpRefusals) {
    OServiceRun run;
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    const std::string ini = QUILLON_SAMPLE_INI;
    struct Row {
        Strings args;
        int iStatus;
        const char* pSays;
    } rows[] = {
        {{"--config", "/nonexistent.ini"}, 2, "cannot read the configuration"},
        {{"--config", ini, "--address", "0.0.0.0"}, 1, "without TLS"},
        {{"--config", ini, "--tls-cert", "/x.pem"}, 1, "go together"},
        {{"--config", ini, "--port", std::to_string(run.iPort())}, 1, "cannot listen"},
        {{"--config", ini, "--service-name", "Card/Reader"}, 2, "--service-name"},
        {{"--config", ini, "--port", "0", "--metrics-file", "/nonexistent/q.prom"},
         1,
         "--metrics-file"},
    };
    for (const Row& r : rows) {
        std::string sLog;
        EXPECT_EQ(r.iStatus, RunToEnd(r.args, sLog)) << sLog;
        EXPECT_NE(std::string::npos, sLog.find(r.pSays)) << sLog;
    }
}
