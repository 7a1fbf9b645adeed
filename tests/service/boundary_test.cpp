// The service's port as an attacker or an unlucky network uses it: sockets
// that send nothing, half a request or nonsense; a TLS peer that never
// closes; a rebound host name; a link planted where the metrics are
// written. Nobody may hold what applications and scrapes need.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "service_fixture.h"
#include "support/test_env.h"

namespace {

using tSetup = OServiceRun::tSetup;
using Clock = std::chrono::steady_clock;

long lMsSince(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// The bytes on a fresh connection (with bHalfClose, then the end of the
// client's side), read until the service closes: the answer's status line,
// "(closed)" for a close without a word, "(held)" when the socket is still
// open after the guard of 2 s (the header deadline is 5 s by default).
std::string StatusOf(int iPort, const std::string& sBytes, bool bHalfClose = false) {
    const int fd = RawConnect(iPort);
    timeval guard{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    if (send(fd, sBytes.data(), sBytes.size(), MSG_NOSIGNAL) < 0 || bHalfClose)
        shutdown(fd, SHUT_WR);
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    const bool bHeld = n < 0 && errno == EAGAIN;
    close(fd);
    return bHeld ? "(held)" : s.empty() ? "(closed)" : s.substr(0, s.find('\r'));
}

std::string Get(const std::string& sPath, const std::string& sHost, const char* pMethod = "GET") {
    return std::string(pMethod) + " " + sPath + " HTTP/1.1\r\nHost: " + sHost + "\r\n\r\n";
}

// The service closes the socket within iMs (a guard; it waits on the close).
bool bClosedWithin(int fd, int iMs) {
    pollfd p{fd, POLLIN, 0};
    char buf[16384];
    bool bClosed = false;
    const auto t0 = Clock::now();
    while (!bClosed && lMsSince(t0) < iMs && poll(&p, 1, iMs) == 1)
        bClosed = recv(fd, buf, sizeof buf, 0) <= 0;
    close(fd);
    return bClosed;
}

} // namespace

// A port check's connect-and-close, and requests that never end their first
// line, more of them than there are connections: a new application and a
// scrape are served at once, an application connected before is not
// touched, and the unfinished ones go at the header deadline, not at the
// handshake time-out (10 s).
TEST(Boundary, SocketsWithoutARequestHoldNoSlot) {
    tSetup s;
    s.sIni = "HeaderTimeoutMs=1000\n";
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OApp before(run.iPort());
    for (int i = 0; i < 17; ++i)
        close(RawConnect(run.iPort()));
    std::vector<int> slow;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(RawConnect(run.iPort()));
        ASSERT_EQ(5, write(slow.back(), "GET /", 5));
    }
    const auto t0 = Clock::now();
    OApp app(run.iPort());
    EXPECT_TRUE(app.bConnected());
    EXPECT_EQ(0u, HttpGet(run.iPort(), "/metrics").find("HTTP/1.1 200 OK"));
    EXPECT_LT(lMsSince(t0), 500);
    for (int fd : slow)
        EXPECT_TRUE(bClosedWithin(fd, 5000));
    EXPECT_EQ("completion Common.Status success", Line(before.Call("Common.Status", 1)));
}

TEST(Boundary, MalformedRequestsAreAnsweredAndClosedAtOnce) {
    OServiceRun run;
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    const std::string sHost = "Host: 127.0.0.1\r\n";
    const struct {
        std::string sBytes;
        bool bHalfClose;
        const char* pStatus;
    } rows[] = {
        {"", true, "(closed)"},
        {"GET /metrics HTT", true, "(closed)"},
        {"GET /metrics HTTP/1.1\r\n" + sHost + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nx",
         false, "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\n" + sHost + "X: " + std::string(65536, 'a') + "\r\n\r\n", false,
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"POST /metrics HTTP/1.1\r\n" + sHost + "Content-Length: 1048576\r\n\r\nabc", false,
         "HTTP/1.1 413 Payload Too Large"},
        {"GET /\r\n\r\n", false, "HTTP/1.1 400 Bad Request"},
        {std::string("GET /me\0trics HTTP/1.1\r\n\r\n", 26), false, "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.pStatus, StatusOf(run.iPort(), r.sBytes, r.bHalfClose)) << r.sBytes.size();
    // HEAD says the length GET sends.
    const std::string sGet = HttpGet(run.iPort(), "/");
    const int fd = RawConnect(run.iPort());
    const std::string sHead = Get("/", "127.0.0.1", "HEAD");
    ASSERT_EQ(static_cast<ssize_t>(sHead.size()), write(fd, sHead.data(), sHead.size()));
    std::string sAnswer;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        sAnswer.append(buf, static_cast<size_t>(n));
    close(fd);
    EXPECT_NE(std::string::npos,
              sAnswer.find("Content-Length: " +
                           std::to_string(sGet.size() - sGet.find("\r\n\r\n") - 4) + "\r\n"))
        << sAnswer;
}

// A web site whose name is pointed at the kiosk (DNS rebinding) reads
// nothing; the service's addresses, localhost and the listed names do.
TEST(Boundary, TheHttpRoutesAnswerTheirOwnHostNamesOnly) {
    tSetup s;
    s.sIni = "AllowedHosts=kiosk.example\n";
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    const std::string sPort = ":" + std::to_string(run.iPort());
    const struct {
        const char* pPath;
        std::string sHost;
        const char* pStatus;
    } rows[] = {
        {"/metrics", "rebound.example" + sPort, "403 Forbidden"},
        {"/status.json", "rebound.example" + sPort, "403 Forbidden"},
        {"/", "rebound.example", "403 Forbidden"},
        {"/metrics", "", "403 Forbidden"},
        {"/metrics", "127.0.0.1" + sPort, "200 OK"},
        {"/status.json", "localhost" + sPort, "200 OK"},
        {"/", "[::1]" + sPort, "200 OK"},
        {"/metrics", "KIOSK.example" + sPort, "200 OK"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(std::string("HTTP/1.1 ") + r.pStatus,
                  StatusOf(run.iPort(), Get(r.pPath, r.sHost)))
            << r.pPath << " " << r.sHost;
}

// TLS clients read their answer and the service's close_notify, then keep
// TCP open without answering it: each is let go at the close deadline
// (300 ms here); the eighteenth is served while seventeen are held.
TEST(Boundary, TlsClientsThatNeverCloseAreLetGo) {
    TestEnv env;
    const std::string sCert = env.dir() + "/cert.pem", sKey = env.dir() + "/key.pem";
    if (std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
                     "-subj /CN=localhost -keyout " +
                     sKey + " -out " + sCert + " 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "openssl (the command) is not there";
    tSetup s;
    s.sIni = "CloseTimeoutMs=300\n";
    s.args = {"--tls-cert", sCert, "--tls-key", sKey};
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    std::signal(SIGPIPE, SIG_IGN); // a socket the service closed fails a write, nothing more
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    std::vector<std::pair<int, SSL*>> held;
    for (int i = 0; i < 18; ++i) { // the last one while 17 are held
        const int fd = RawConnect(run.iPort());
        SSL* p = SSL_new(pCtx);
        SSL_set_fd(p, fd);
        const std::string sGet = Get("/metrics", "127.0.0.1");
        ASSERT_EQ(1, SSL_connect(p));
        ASSERT_LT(0, SSL_write(p, sGet.data(), static_cast<int>(sGet.size())));
        std::string sAnswer;
        char buf[16384];
        for (int n; (n = SSL_read(p, buf, sizeof buf)) > 0;)
            sAnswer.append(buf, static_cast<size_t>(n));
        ASSERT_EQ(SSL_RECEIVED_SHUTDOWN, SSL_get_shutdown(p)) << "the service's close_notify";
        ASSERT_EQ(0u, sAnswer.find("HTTP/1.1 200 OK"));
        held.emplace_back(fd, p);
    }
    for (auto& h : held) {
        const auto t0 = Clock::now();
        EXPECT_TRUE(bClosedWithin(h.first, 3000));
        EXPECT_LT(lMsSince(t0), 2000);
        SSL_free(h.second); // sends nothing: no close_notify was started
    }
    SSL_CTX_free(pCtx);
}

// The metrics file in a folder anyone may write, with the sticky bit (as
// /tmp): a link planted under the old temporary name is not followed; the
// file is replaced whole, mode 0644. Without the sticky bit: no start.
TEST(Boundary, TheMetricsFileFollowsNoPlantedLinkAndAnOpenFolderIsRefused) {
    TestEnv env;
    const std::string sDir = env.dir() + "/textfile";
    ASSERT_EQ(0, mkdir(sDir.c_str(), 0700));
    ASSERT_EQ(0, chmod(sDir.c_str(), 01777));
    std::ofstream(env.dir() + "/private") << "private\n";
    ASSERT_EQ(0, symlink((env.dir() + "/private").c_str(), (sDir + "/quillon.prom.tmp").c_str()));
    tSetup s;
    s.args = {"--metrics-file", sDir + "/quillon.prom"};
    {
        OServiceRun run(s);
        ASSERT_TRUE(run.bStarted()) << run.sLog();
        EXPECT_EQ(0, run.iStop());
    }
    EXPECT_EQ("private\n", env.sReadFile("private"));
    struct stat st {};
    ASSERT_EQ(0, lstat((sDir + "/quillon.prom").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0644) << std::oct << st.st_mode;
    EXPECT_NE(std::string::npos,
              env.sReadFile("textfile/quillon.prom").find("quillon_connections_total"));
    const auto it = std::filesystem::directory_iterator(sDir);
    EXPECT_EQ(2, std::distance(it, std::filesystem::directory_iterator())) << "no temporary left";

    ASSERT_EQ(0, chmod(sDir.c_str(), 0777));
    std::string sLog;
    EXPECT_EQ(1, RunToEnd({"--config", env.configPath(), "--port", "0", "--metrics-file",
                           sDir + "/quillon.prom"},
                          sLog));
    EXPECT_NE(std::string::npos, sLog.find("may be written by anyone")) << sLog;
}

// A client that reads nothing is dropped at the unread limit (128 KiB
// here) while its frames are being written; the service goes on.
TEST(Boundary, AClientThatReadsNothingIsDroppedAtTheUnreadLimit) {
    tSetup s;
    s.sIni = "UnreadLimitKiB=128\n";
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    OWsClient deaf;
    ASSERT_TRUE(deaf.bConnect(run.iPort(), "/xfs4iot/v1.0/CardReader1", "", 4096));
    for (int i = 1; i <= 2000 && !run.bWaitLog("reads nothing", 0); ++i)
        deaf.bSend(Command("Common.Capabilities", i));
    EXPECT_TRUE(run.bWaitLog("reads nothing: dropped")) << run.sLog();
    EXPECT_EQ("completion Common.Status success", Line(OApp(run.iPort()).Call("Common.Status", 1)));
}
