// What the XFS4IoT service adds to a reader call: the same status and track
// read, once as a direct export call and once as a command through the
// service on loopback (send to completion), both against the family-A
// emulator on a pseudo-terminal with a card inside; the service's resident
// memory idle and with 16 clients; 16 clients x 1000 Common.Status with
// every completion counted; a Prometheus scrape of GET /metrics (connect,
// request, the whole answer); resident memory with 15 clients that never
// read, and after they left.
//
//   quillon_service_bench [--quick]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator.h"
#include "quillon/idc.h"
#include "ws_client.h"

extern char** environ;
namespace emu = quillon::emu;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

namespace {

pid_t g_service = -1; // ended with the bench, whatever happens

struct tStats {
    double dMedianUs = 0, dP99Us = 0;
};

tStats Measure(const char* pWhat, int iRuns, const std::function<bool()>& once) {
    std::vector<double> us;
    for (int i = 0; i < iRuns + 5; ++i) {
        const auto t0 = Clock::now();
        if (!once()) {
            std::fprintf(stderr, "%s failed (call %d)\n", pWhat, i + 1);
            if (g_service > 0)
                kill(g_service, SIGKILL);
            std::exit(1);
        }
        if (i >= 5) // warm-up
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

std::string Folder() {
    char dir[] = "/tmp/quillon-bench-XXXXXX";
    return mkdtemp(dir) ? dir : "/tmp";
}

void WriteIni(const std::string& path, const std::string& port) {
    std::ofstream(path) << "[CARDREADER]\nPort=" << port
                        << "\n[CardReaderType]\nCardReaderType=1\n";
}

long RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

std::string Command(const char* pName, int iId, const Json& payload = Json::object()) {
    return Json{
        {"header", {{"name", pName}, {"requestId", iId}, {"type", "command"}, {"version", "2.0"}}},
        {"payload", payload}}
        .dump();
}

// Reads until the completion of iId; false if it did not succeed.
bool bCompleted(OWsClient& c, int iId) {
    for (auto m = c.Receive(); m; m = c.Receive()) {
        const Json f = Json::parse(*m);
        if (f["header"]["type"] == "completion" && f["header"]["requestId"] == iId) {
            if (f["header"]["completionCode"] == "success")
                return true;
            std::fprintf(stderr, "%s\n", m->c_str());
            return false;
        }
    }
    return false;
}

// One GET of /metrics: 200 with the metrics.
bool bScrape(int iPort) {
    const std::string sAnswer = HttpGet(iPort, "/metrics");
    return sAnswer.rfind("HTTP/1.1 200 OK", 0) == 0 &&
           sAnswer.find("quillon_commands_total{") != std::string::npos;
}

long PeakKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

struct tDeaf {
    long lWhileKiB = 0, lPeakKiB = 0, lAfterKiB = 0;
    double dAfterS = 0;
};

// 15 clients that never read (a small receive buffer: the kernel holds
// little for them), each sending iCommands Common.Capabilities (the
// longest answer) or until the service drops it: the most resident
// memory while they stay (and the process's peak), then, after they have
// gone, each second until under 16 MiB or a minute has passed.
tDeaf Deaf(pid_t pid, int iPort, int iCommands) {
    tDeaf d;
    std::vector<std::unique_ptr<OWsClient>> deaf;
    std::vector<std::thread> threads;
    for (int i = 0; i < 15; ++i) {
        deaf.push_back(std::make_unique<OWsClient>());
        if (!deaf.back()->bConnect(iPort, "/xfs4iot/v1.0/CardReader1", "", 4096))
            std::fprintf(stderr, "deaf client %d: no connection\n", i);
        threads.emplace_back([p = deaf.back().get(), iCommands] {
            for (int j = 1; j <= iCommands && p->bSend(Command("Common.Capabilities", j)); ++j) {
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    // The commands wait in the service's socket buffers: it answers them
    // over the next seconds, while the clients stay connected.
    for (int i = 0; i < iCommands / 300; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        d.lWhileKiB = std::max(d.lWhileKiB, RssKiB(pid));
    }
    deaf.clear();
    const auto t0 = Clock::now();
    do {
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the bench paces its look
        d.lAfterKiB = RssKiB(pid);
        d.dAfterS = std::chrono::duration<double>(Clock::now() - t0).count();
    } while (d.lAfterKiB >= 16 * 1024 && d.dAfterS < 60);
    d.lPeakKiB = PeakKiB(pid);
    return d;
}

} // namespace

int main(int argc, char** argv) {
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int iRuns = bQuick ? 20 : 2000;
    const int iPerClient = bQuick ? 20 : 1000;
    const std::string dir = Folder();
    setenv("QUILLON_LOCK_DIR", dir.c_str(), 1);

    // Direct export calls.
    tStats directStatus, directRead;
    {
        emu::Emulator reader(emu::Family::A);
        reader.PlaceCard(emu::CardPosition::Inside);
        WriteIni(dir + "/direct.ini", reader.Start());
        setenv("QUILLON_CONFIG", (dir + "/direct.ini").c_str(), 1);
        tDevReturn r{};
        if (IDC_SetCommPara(&r) != 0 || IDC_Init(3, &r) != 0)
            return std::fprintf(stderr, "the reader did not open\n"), 1;
        directStatus = Measure("IDC_GetStatus", iRuns, [] {
            tIdcStatus st{};
            tDevReturn ret{};
            return IDC_GetStatus(&st, &ret) == 0;
        });
        directRead = Measure("IDC_ReadTrack", iRuns, [] {
            tIdcTracks t{};
            tDevReturn ret{};
            return IDC_ReadTrack(&t, &ret) == 0;
        });
        IDC_CloseComm();
    }

    // The same through the service.
    emu::Emulator reader(emu::Family::A);
    reader.PlaceCard(emu::CardPosition::Inside);
    WriteIni(dir + "/service.ini", reader.Start());
    const std::string config = dir + "/service.ini", log = dir + "/service.log";
    char* args[] = {const_cast<char*>(QUILLON_XFS4IOT),
                    const_cast<char*>("--config"),
                    const_cast<char*>(config.c_str()),
                    const_cast<char*>("--port"),
                    const_cast<char*>("0"),
                    nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, QUILLON_XFS4IOT, &fa, nullptr, args, environ) != 0)
        return std::fprintf(stderr, "cannot start the service\n"), 1;
    g_service = pid;
    int iPort = 0;
    for (int i = 0; i < 400 && !iPort; ++i) { // the log names the port once it listens
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        std::smatch m;
        if (std::regex_search(text, m, std::regex(R"(listening on ws://127\.0\.0\.1:(\d+))")))
            iPort = std::stoi(m[1]);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    OWsClient c;
    if (!iPort || !c.bConnect(iPort, "/xfs4iot/v1.0/CardReader1"))
        return std::fprintf(stderr, "no connection to the service\n"), kill(pid, SIGKILL), 1;
    int iId = 0;
    const tStats serviceStatus = Measure("Common.Status", iRuns, [&] {
        return c.bSend(Command("Common.Status", ++iId)) && bCompleted(c, iId);
    });
    const Json tracks = {{"track1", true}, {"track2", true}, {"track3", true}};
    const tStats serviceRead = Measure("CardReader.ReadRawData", iRuns, [&] {
        return c.bSend(Command("CardReader.ReadRawData", ++iId, tracks)) && bCompleted(c, iId);
    });
    const tStats scrape = Measure("GET /metrics", iRuns, [&] { return bScrape(iPort); });
    const long lIdleKiB = RssKiB(pid);

    // 16 clients (the one above and 15 more, the most the service takes),
    // each 1000 Common.Status sent at once, every completion counted.
    std::atomic<int> done{0};
    std::vector<std::unique_ptr<OWsClient>> clients;
    for (int i = 1; i < 16; ++i) {
        clients.push_back(std::make_unique<OWsClient>());
        if (!clients.back()->bConnect(iPort, "/xfs4iot/v1.0/CardReader1"))
            return std::fprintf(stderr, "client %d: no connection\n", i), kill(pid, SIGKILL), 1;
    }
    std::vector<OWsClient*> all = {&c};
    for (auto& cl : clients)
        all.push_back(cl.get());
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (OWsClient* p : all)
        threads.emplace_back([&, p, iFirst = p == &c ? iId + 1 : 1] {
            for (int i = iFirst; i < iFirst + iPerClient; ++i)
                p->bSend(Command("Common.Status", i));
            for (int i = iFirst; i < iFirst + iPerClient; ++i)
                done += bCompleted(*p, i) ? 1 : 0;
        });
    for (std::thread& t : threads)
        t.join();
    const double dLoadMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    const long lBusyKiB = RssKiB(pid);
    c.vClose();
    clients.clear();
    const tDeaf deaf = Deaf(pid, iPort, bQuick ? 300 : 9000);
    kill(pid, SIGTERM);
    int iStatus = 0;
    waitpid(pid, &iStatus, 0);

    std::printf("%-38s %10s %10s %10s %12s\n", "figure (us)", "direct", "service", "added",
                "target");
    const auto row = [](const char* pName, const tStats& d, const tStats& s, const char* pTarget) {
        std::printf("%-38s %10.1f %10.1f %10.1f %12s\n", (std::string(pName) + " median").c_str(),
                    d.dMedianUs, s.dMedianUs, s.dMedianUs - d.dMedianUs, pTarget);
        std::printf("%-38s %10.1f %10.1f %10.1f %12s\n", (std::string(pName) + " p99").c_str(),
                    d.dP99Us, s.dP99Us, s.dP99Us - d.dP99Us, "");
    };
    // Status is answered from the last poll (no reader exchange): its
    // target is the service's round trip; ReadRawData's what it adds.
    row("Common.Status / IDC_GetStatus", directStatus, serviceStatus, "<= 40");
    row("ReadRawData / IDC_ReadTrack", directRead, serviceRead, "added <= 60");
    std::printf("%-38s %10s %10.1f %10s %12s\n", "GET /metrics median", "", scrape.dMedianUs, "",
                "< 1000");
    std::printf("%-38s %10s %10.1f\n", "GET /metrics p99", "", scrape.dP99Us);
    std::printf("%-38s %10.1f MiB idle, %.1f MiB with 16 clients (target <= 15)\n",
                "service resident memory", lIdleKiB / 1024.0, lBusyKiB / 1024.0);
    std::printf("%-38s %.1f MiB at most (peak %.1f), %.1f MiB %.0f s after they left "
                "(targets <= 32, < 16 within 60 s)\n",
                "15 clients that never read", deaf.lWhileKiB / 1024.0, deaf.lPeakKiB / 1024.0,
                deaf.lAfterKiB / 1024.0, deaf.dAfterS);
    std::printf("%-38s %d of %d completions, %.0f ms, exit %d\n", "16 clients x Common.Status",
                done.load(), 16 * iPerClient, dLoadMs,
                WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1);
    const bool bOk = done == 16 * iPerClient && WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0;
    std::string cleanup = "rm -rf " + dir;
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "left %s\n", dir.c_str());
    return bOk ? 0 : 1;
}
