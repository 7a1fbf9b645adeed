// The XFS4IoT service as applications meet it: the quillon-xfs4iot
// program on a loopback port, the reader emulator behind it, WebSocket
// clients in front. Frames, completion and error codes, events in order,
// what the reader was sent.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "service_fixture.h"

namespace emu = quillon::emu;

namespace {

const emu::Card kCard = emu::Card::Default();
using tSetup = OServiceRun::tSetup;

// A ReadRawData of track 1 that waits for a card.
void AwaitCard(OApp& app, int iId) {
    app.vSend("CardReader.ReadRawData", iId, {{"track1", true}});
    EXPECT_EQ("event CardReader.InsertCardEvent",
              Line(app.UntilName("CardReader.InsertCardEvent").back()));
}

bool bEntryEnabled(emu::Emulator& e) {
    return e.With([](emu::Engine& g) { return g.Model().EntryEnabled(); });
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

// The publisher names the service; other paths are not found. A browser
// names the page it runs in: only the service's own page, reached by its
// address, and the listed origins get in; a web site open in the kiosk's
// browser, or a name pointed at the kiosk, does not.
TEST(Service, PublisherNamesTheServiceAndOtherPathsAndOriginsAreRefused) {
    tSetup s;
    s.sIni = "AllowedOrigins=http://kiosk.example:8080 https://other.example\n";
    OServiceRun run(s);
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
    const std::string sSelf = "127.0.0.1:" + std::to_string(run.iPort());
    const std::string sRebound = "rebound.example:" + std::to_string(run.iPort());
    const char* pService = "/xfs4iot/v1.0/CardReader1";
    const struct {
        const char* pPath;
        std::string sHost, sOrigin;
        const char* pStatus;
    } rows[] = {
        {"/", "127.0.0.1", "", "404 Not Found"},
        {"/xfs4iot/v1.0/CardReader2", "127.0.0.1", "", "404 Not Found"},
        {"/metrics", "127.0.0.1", "", "404 Not Found"},
        {pService, sSelf, "", "101 Switching Protocols"},
        {pService, sSelf, "http://" + sSelf, "101 Switching Protocols"},
        {pService, sSelf, "http://kiosk.example:8080", "101 Switching Protocols"},
        {pService, sSelf, "https://evil.example", "403 Forbidden"},
        {pService, sSelf, "http://kiosk.example", "403 Forbidden"},
        {pService, sSelf, "null", "403 Forbidden"},
        {pService, sRebound, "http://" + sRebound, "403 Forbidden"},
        {"/xfs4iot/v1.0", sSelf, "https://evil.example", "403 Forbidden"},
    };
    for (const auto& r : rows) {
        const std::string sHeaders = "Host: " + r.sHost + "\r\n" +
                                     (r.sOrigin.empty() ? "" : "Origin: " + r.sOrigin + "\r\n");
        EXPECT_EQ(std::string("HTTP/1.1 ") + r.pStatus,
                  Upgrade(run.iPort(), r.pPath, nullptr, sHeaders))
            << r.pPath << " " << r.sOrigin;
    }
}

// No card: the reader takes one in, the application hears of each step.
TEST(Service, WaitingForACardSendsItsEventsInOrder) {
    OServiceRun run(tSetup::HeldAtGate());
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    app.vSend("CardReader.ReadRawData", 7, {{"track2", true}});
    std::vector<Json> frames = app.UntilName("CardReader.InsertCardEvent");
    run.Emu().InsertCard(); // the customer's card at the gate
    EXPECT_TRUE(app.bUntilAt("/payload/cardReader/media", "entering"));
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

// One reader for all: commands run in arrival order across connections,
// while status answers at once. SIGTERM then completes what is pending as
// canceled, closes the connections and leaves the reader refusing cards.
TEST(Service, TwoClientsShareTheReaderInArrivalOrderUntilSigterm) {
    OServiceRun run(tSetup::HeldAtGate());
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

    ASSERT_TRUE(run.Emu().RemoveCard());
    AwaitCard(a, 3);
    b.vSend("CardReader.Reset", 3);
    EXPECT_EQ("acknowledge CardReader.Reset", Line(b.UntilName("CardReader.Reset").back()));
    run.vSignal(SIGTERM);
    EXPECT_EQ("completion CardReader.ReadRawData canceled", Line(a.Until(3).back()));
    EXPECT_EQ("completion CardReader.Reset canceled", Line(b.Until(3).back()));
    EXPECT_TRUE(a.Next().is_null() && b.Next().is_null()) << "the service closes the connections";
    EXPECT_EQ(0, run.iStop(0)) << run.sLog();
    EXPECT_FALSE(bEntryEnabled(run.Emu()));
    EXPECT_TRUE(run.bWaitLog("stopped")) << run.sLog();
}

TEST(Service, BadInputIsRefusedAndTheConnectionStaysUsable) {
    OServiceRun run;
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp app(run.iPort());
    const auto frame = [](const Json& header, const Json& payload = Json::object()) {
        Json f = Json::parse(Command("Common.Status", 1, payload));
        if (header.is_object())
            f["header"].update(header);
        return f.dump();
    };
    struct Row {
        std::string sFrame;
        bool bBinary;
        const char* pExpected; // the frames that answer, " | " between
    } rows[] = {
        {"{not json", false, "acknowledge Common.Acknowledge invalidMessage"},
        {"[]", false, "acknowledge Common.Acknowledge invalidMessage"},
        {frame({}), true, "acknowledge Common.Acknowledge invalidMessage"},
        {frame({}, {{"x", std::string(70000, 'a')}}), false,
         "acknowledge Common.Acknowledge invalidMessage"},
        {frame(R"({"requestId": 0})"_json), false, "acknowledge Common.Status invalidRequestID"},
        {frame(R"({"requestId": "7"})"_json), false, "acknowledge Common.Status invalidRequestID"},
        {frame(R"({"requestId": 1.5})"_json), false, "acknowledge Common.Status invalidRequestID"},
        {frame(R"({"type": "event"})"_json), false, "acknowledge Common.Status invalidMessage"},
        {frame(R"({"version": null})"_json), false, "acknowledge Common.Status invalidMessage"},
        {frame(R"({"timeout": -5})"_json), false, "acknowledge Common.Status invalidMessage"},
        {frame(R"({"name": "Common.Fly"})"_json), false,
         "acknowledge Common.Fly | completion Common.Fly unsupportedCommand"},
        {frame(R"({"name": "CardReader.ReadRawData"})"_json, R"({"track1": "yes"})"_json), false,
         "acknowledge CardReader.ReadRawData | completion CardReader.ReadRawData invalidData"},
        {frame(R"({"name": "CardReader.ChipIO", "version": "3.0"})"_json,
               R"({"chipData": "@@@@"})"_json),
         false, "acknowledge CardReader.ChipIO | completion CardReader.ChipIO invalidData"},
        {frame(R"({"name": "CardReader.Move"})"_json, R"({"to": "transport"})"_json), false,
         "acknowledge CardReader.Move | completion CardReader.Move unsupportedData"},
        {frame(R"({"name": "Common.Cancel"})"_json, R"({"requestIds": [0]})"_json), false,
         "acknowledge Common.Cancel | completion Common.Cancel invalidData"},
        {frame({}, Json::array()), false,
         "acknowledge Common.Status | completion Common.Status invalidData"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.sFrame.substr(0, 120));
        ASSERT_TRUE(app.Ws().bSend(r.sFrame, r.bBinary));
        std::string sGot = Line(app.Next());
        for (const char* p = r.pExpected; (p = std::strstr(p, " | ")) != nullptr; p += 3)
            sGot += " | " + Line(app.Next());
        EXPECT_EQ(r.pExpected, sGot);
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
    tSetup s;
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
