// The port under attack: nobody may hold what applications and scrapes need.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
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

// All the service sent up to its close; "(held)": still open after a guard of 2 s.
std::string ReadToEnd(int fd) {
    timeval guard{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    const bool bHeld = n < 0 && errno == EAGAIN;
    close(fd);
    return bHeld ? "(held)" : s;
}

// The bytes on a new connection (then the end of the client's side), read to the close.
std::string Exchange(int iPort, const std::string& sBytes, bool bHalfClose = false) {
    const int fd = RawConnect(iPort);
    if (send(fd, sBytes.data(), sBytes.size(), MSG_NOSIGNAL) < 0 || bHalfClose)
        shutdown(fd, SHUT_WR);
    return ReadToEnd(fd);
}

std::string Get(const std::string& sPath, const std::string& sHost, const char* pMethod = "GET") {
    return std::string(pMethod) + " " + sPath + " HTTP/1.1\r\nHost: " + sHost + "\r\n\r\n";
}

} // namespace

// 17 port checks, 40 requests never ended: a new client and a scrape are served at once, one
// connected before is untouched; the rest go at the header deadline (not the handshake's).
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
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(OApp(run.iPort()).bConnected());
    EXPECT_EQ(0u, HttpGet(run.iPort(), "/metrics").find("HTTP/1.1 200 OK"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    for (int fd : slow)
        EXPECT_EQ("", ReadToEnd(fd));
    EXPECT_EQ("completion Common.Status success", Line(before.Call("Common.Status", 1)));
}

// Requests that cannot be read are answered and closed at once; HEAD says GET's length. A
// name pointed at the kiosk (DNS rebinding) reads nothing; addresses and listed names do.
TEST(Boundary, BadRequestsAndForeignHostNamesAreAnsweredAndClosedAtOnce) {
    tSetup s;
    s.sIni = "AllowedHosts=kiosk.example\n";
    OServiceRun run(s);
    ASSERT_TRUE(run.bStarted()) << run.sLog();
    const std::string sHost = "Host: 127.0.0.1\r\n", sPort = ":" + std::to_string(run.iPort());
    const struct {
        std::string sBytes;
        const char* pStatus;
        bool bHalfClose = false;
    } rows[] = {
        {"", "", true},
        {"GET /metrics HTT", "", true},
        {"GET /metrics HTTP/1.1\r\n" + sHost + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nx",
         "400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\n" + sHost + "X: " + std::string(65536, 'a') + "\r\n\r\n",
         "431 Request Header Fields Too Large"},
        {"POST /metrics HTTP/1.1\r\n" + sHost + "Content-Length: 1048576\r\n\r\nabc",
         "413 Payload Too Large"},
        {"GET /\r\n\r\n", "400 Bad Request"},
        {std::string("GET /me\0trics HTTP/1.1\r\n\r\n", 26), "400 Bad Request"},
        {Get("/metrics", "rebound.example" + sPort), "403 Forbidden"},
        {Get("/status.json", "rebound.example" + sPort), "403 Forbidden"},
        {Get("/metrics", "127.0.0.1" + sPort), "200 OK"},
        {Get("/status.json", "localhost" + sPort), "200 OK"},
        {Get("/metrics", "KIOSK.example" + sPort), "200 OK"},
    };
    for (const auto& r : rows) {
        const std::string sAnswer = Exchange(run.iPort(), r.sBytes, r.bHalfClose);
        EXPECT_EQ(*r.pStatus ? std::string("HTTP/1.1 ") + r.pStatus : "",
                  sAnswer.substr(0, sAnswer.find('\r')))
            << r.sBytes.substr(0, 60);
    }
    const std::string sGet = HttpGet(run.iPort(), "/"), sHead = Get("/", "127.0.0.1", "HEAD");
    EXPECT_NE(std::string::npos,
              Exchange(run.iPort(), sHead)
                  .find("\r\nContent-Length: " +
                        std::to_string(sGet.size() - sGet.find("\r\n\r\n") - 4) + "\r\n"));
}

// TLS clients read the answer and close_notify, keep TCP and never answer it: each goes
// at the close deadline (300 ms here); the eighteenth is served while seventeen are held.
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
    std::vector<SSL*> held;
    const std::string sGet = Get("/metrics", "127.0.0.1");
    char buf[16384];
    for (int i = 0; i < 18; ++i) {
        held.push_back(SSL_new(pCtx));
        SSL_set_fd(held.back(), RawConnect(run.iPort()));
        ASSERT_EQ(1, SSL_connect(held.back()));
        ASSERT_LT(0, SSL_write(held.back(), sGet.data(), static_cast<int>(sGet.size())));
        ASSERT_LT(0, SSL_read(held.back(), buf, sizeof buf)) << "answered";
        while (SSL_read(held.back(), buf, sizeof buf) > 0) {
        }
        ASSERT_EQ(SSL_RECEIVED_SHUTDOWN, SSL_get_shutdown(held.back())) << "close_notify";
    }
    for (SSL* p : held) {
        EXPECT_EQ("", ReadToEnd(SSL_get_fd(p)));
        SSL_free(p); // sends nothing: no close_notify was started
    }
    SSL_CTX_free(pCtx);
}

// In a folder anyone may write with the sticky bit (as /tmp) a planted link is not
// followed; the file is replaced whole, mode 0644. Without the sticky bit: no start.
TEST(Boundary, TheMetricsFileFollowsNoPlantedLinkAndAnOpenFolderIsRefused) {
    TestEnv env;
    const std::string sDir = env.dir() + "/textfile";
    ASSERT_EQ(0, mkdir(sDir.c_str(), 0700));
    ASSERT_EQ(0, chmod(sDir.c_str(), 01777));
    std::ofstream(env.dir() + "/private") << "private\n";
    ASSERT_EQ(0, symlink((env.dir() + "/private").c_str(), (sDir + "/quillon.prom.tmp").c_str()));
    tSetup s;
    s.args = {"--metrics-file", sDir + "/quillon.prom"};
    EXPECT_EQ(0, OServiceRun(s).iStop());
    EXPECT_EQ("private\n", env.sReadFile("private"));
    struct stat st {};
    ASSERT_EQ(0, lstat((sDir + "/quillon.prom").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0644) << std::oct << st.st_mode;
    EXPECT_NE(std::string::npos,
              env.sReadFile("textfile/quillon.prom").find("quillon_reader_info"));
    const auto it = std::filesystem::directory_iterator(sDir);
    EXPECT_EQ(2, std::distance(it, std::filesystem::directory_iterator())) << "no temporary left";
    ASSERT_EQ(0, chmod(sDir.c_str(), 0777));
    std::string sLog;
    EXPECT_EQ(1, RunToEnd({"--config", env.configPath(), "--port", "0", "--metrics-file",
                           sDir + "/quillon.prom"},
                          sLog));
    EXPECT_NE(std::string::npos, sLog.find("may be written by anyone")) << sLog;
}

// A client that reads nothing is dropped at the unread limit mid-write; the service goes on.
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
