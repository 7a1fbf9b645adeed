// A host process for the mixed load test: it loads the library as a host
// does and runs every export, in a seeded random mix, on several threads at
// once against the reader that the configuration names.
//
//   quillon_mixed_client <threads> <calls per thread> <seed>
//
// Every call's result must agree with its record: 0 with a success-class
// code, 1 with a failure-class code, iCode1 equal to iCode2; the track
// operations may return their documented library codes instead. A name read
// back is one of the names written. Prints one line of totals and, per
// code, how often it came; each disagreement goes to standard error.
//
// Exit status: 0 every call agreed; 1 a call disagreed; 2 bad arguments;
// 3 a call did not return within the watchdog's bound.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "quillon/idc.h"
#include "support/promises.h"

namespace {

using Clock = std::chrono::steady_clock;

// A call that has not returned after this long has hung.
constexpr auto kCallBound = std::chrono::seconds(60);

const char* const kNames[] = {"CARDREADER", "LOBBY-2"};

using Rng = std::minstd_rand;
using Track = promises::TrackOp;
const uint8_t kSelect[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
const uint8_t kTrack[] = "4000123412341234";

// What the calls hand back besides their records.
struct tOut {
    uint8_t abBuf[IDC_CHIP_REPLY_MAX];
    uint32_t u = 0xA5A5A5A5u, len = 0;
    uint8_t byOdd = 0; // the records are byte-packed: callers place them anywhere
    tIdcStatus st;
    tIdcCaps caps;
    tIdcLife life;
    tIdcTracks tracks;
};

// Every export, by name: the calls that fill a record with their function (the track
// operations may answer their own codes), the others none.
struct tCall {
    const char* pName;
    int (*fn)(Rng&, tOut&, tDevReturn*);
    Track eTrack = Track::None;
};
const tCall kCalls[] = {
    {"SetCommPara", [](Rng&, tOut&, tDevReturn* r) { return IDC_SetCommPara(r); }},
    {"CloseComm", nullptr},
    {"CloseComm+SetCommPara", nullptr}, // IDC_CloseComm, then IDC_SetCommPara again at once
    {"GetLogicalDevName", nullptr},
    {"SetLogicalDevName", nullptr},
    {"Init", [](Rng& g, tOut&, tDevReturn* r) { return IDC_Init(1 + int(g() % 3), r); }},
    {"GetStatus", [](Rng&, tOut& o, tDevReturn* r) { return IDC_GetStatus(&o.st, r); }},
    {"AcceptCard", [](Rng&, tOut&, tDevReturn* r) { return IDC_AcceptCard(1, r); }},
    {"ChipIO",
     [](Rng&, tOut& o, tDevReturn* r) {
         return IDC_ChipIO(0, kSelect, sizeof kSelect, o.abBuf, &o.u, r);
     }},
    {"ChipPower1",
     [](Rng&, tOut& o, tDevReturn* r) {
         return IDC_ChipPower(1, uintptr_t(o.abBuf), uintptr_t(&o.len), &o.u, r);
     }},
    {"ChipPower3", [](Rng&, tOut& o, tDevReturn* r) { return IDC_ChipPower(3, 0, 0, &o.u, r); }},
    {"EjectCard", [](Rng&, tOut&, tDevReturn* r) { return IDC_EjectCard(r); }},
    {"GetCapabilities",
     [](Rng&, tOut& o, tDevReturn* r) { return IDC_GetCapabilities(&o.caps, r); }},
    {"GetLifeInfo", [](Rng&, tOut& o, tDevReturn* r) { return IDC_GetLifeInfo(&o.life, r); }},
    {"ReadTrack", [](Rng&, tOut& o, tDevReturn* r) { return IDC_ReadTrack(&o.tracks, r); },
     Track::Read},
    {"Reset", [](Rng&, tOut&, tDevReturn* r) { return IDC_Reset(r); }},
    {"ResetCount", [](Rng&, tOut&, tDevReturn* r) { return IDC_ResetCount(0, r); }},
    {"RetainCard", [](Rng&, tOut& o, tDevReturn* r) { return IDC_RetainCard(&o.u, r); }},
    {"ReleaseAntiFishing", [](Rng&, tOut&, tDevReturn* r) { return IDC_ReleaseAntiFishing(r); }},
    {"WriteTrack",
     [](Rng&, tOut&, tDevReturn* r) { return IDC_WriteTrack(2, kTrack, sizeof kTrack - 1, r); },
     Track::Write},
};
enum Op { kSetCommPara, kCloseComm, kCloseAndOpen, kGetLogicalDevName, kSetLogicalDevName };
constexpr int kOpCount = int(sizeof kCalls / sizeof kCalls[0]);

struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
    std::map<int, long> codes; // code -> how often, over every call with a record
    long calls = 0;
    long disagreements = 0;
};

// What one worker is doing, for the watchdog.
struct Progress {
    std::atomic<int64_t> callStartUs{-1}; // -1: not inside a call
    std::atomic<int> op{-1};
};

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

class Worker {
public:
    Worker(Shared& shared, Progress& progress, unsigned seed)
        : m_shared(shared), m_progress(progress), m_rng(seed) {}

    void Run(int calls) {
        // Every thread starts by opening, so the processes meet at the port.
        Call(kSetCommPara);
        for (int i = 1; i < calls; ++i)
            Call(Pick());
    }

private:
    // Closing is rare: each close costs the next opening its settle pause.
    // After a plain close the port stays free until some thread of the
    // process opens it again: the other process may have it meanwhile.
    int Pick() {
        const unsigned n = m_rng() % 100;
        if (n < 2)
            return kCloseAndOpen;
        if (n < 5)
            return kCloseComm;
        if (n < 10)
            return kSetCommPara;
        return kGetLogicalDevName + int(n - 10) % (kOpCount - kGetLogicalDevName);
    }

    void Call(int op) {
        m_progress.op = op;
        m_progress.callStartUs = NowUs();
        Do(op);
        m_progress.callStartUs = -1;
    }

    void Do(int op) {
        if (op == kCloseComm || op == kCloseAndOpen) {
            if (IDC_CloseComm() != 0)
                Disagree(op, "IDC_CloseComm did not return 0");
            if (op == kCloseComm)
                return Count(-1);
        } else if (op == kGetLogicalDevName) {
            char name[64];
            std::memset(name, 'x', sizeof name);
            IDC_GetLogicalDevName(name);
            if (std::strcmp(name, kNames[0]) != 0 && std::strcmp(name, kNames[1]) != 0)
                Disagree(op, "read back a name never written: \"" +
                                 std::string(name, strnlen(name, sizeof name)) + "\"");
            return Count(-1);
        } else if (op == kSetLogicalDevName) {
            IDC_SetLogicalDevName(kNames[m_rng() % 2]);
            return Count(-1);
        }
        tDevReturn r;
        std::memset(&r, 0, sizeof r); // a failure must not leave this success code
        tOut out;
        const tCall& call = kCalls[op == kCloseAndOpen ? kSetCommPara : op];
        Check(op, call.fn(m_rng, out, &r), r, call.eTrack);
    }

    void Check(int op, int result, const tDevReturn& r, Track track) {
        Count(r.iCode2);
        const char* broken = promises::RecordBroken(r);
        if (!broken)
            broken = promises::ResultBroken(result, r, true, track);
        if (!broken)
            return;
        char text[200];
        std::snprintf(text, sizeof text, "returned %d with the record %d/%d, flags %d/%d: %s",
                      result, r.iCode1, r.iCode2, r.iErrFlag1, r.iErrFlag2, broken);
        Disagree(op, text);
    }

    void Count(int code) {
        std::lock_guard<std::mutex> lock(m_shared.mutex);
        ++m_shared.calls;
        if (code >= 0)
            ++m_shared.codes[code];
    }

    void Disagree(int op, const std::string& what) {
        std::lock_guard<std::mutex> lock(m_shared.mutex);
        if (++m_shared.disagreements <= 20)
            std::fprintf(stderr, "pid %d: %s %s\n", static_cast<int>(getpid()), kCalls[op].pName,
                         what.c_str());
    }

    Shared& m_shared;
    Progress& m_progress;
    std::minstd_rand m_rng;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: quillon_mixed_client <threads> <calls per thread> <seed>\n");
        return 2;
    }
    const int threads = std::atoi(argv[1]);
    const int calls = std::atoi(argv[2]);
    const unsigned seed = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    if (threads <= 0 || calls <= 0)
        return 2;

    Shared shared;
    std::vector<Progress> progress(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    shared.running = threads;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            Worker(shared, progress[static_cast<size_t>(t)],
                   seed * 1000u + static_cast<unsigned>(t))
                .Run(calls);
            std::lock_guard<std::mutex> lock(shared.mutex);
            --shared.running;
            shared.changed.notify_all();
        });
    }

    // The watchdog: a call older than the bound ends the process with 3.
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        while (!shared.changed.wait_for(lock, std::chrono::milliseconds(250),
                                        [&] { return shared.running == 0; })) {
            const int64_t now = NowUs();
            for (int t = 0; t < threads; ++t) {
                const int64_t since = progress[static_cast<size_t>(t)].callStartUs;
                if (since >= 0 &&
                    now - since >
                        std::chrono::duration_cast<std::chrono::microseconds>(kCallBound).count()) {
                    std::fprintf(stderr, "pid %d: thread %d hangs in %s for %lld s\n",
                                 static_cast<int>(getpid()), t,
                                 kCalls[progress[static_cast<size_t>(t)].op.load()].pName,
                                 static_cast<long long>((now - since) / 1000000));
                    std::fflush(stderr);
                    _exit(3);
                }
            }
        }
    }
    for (auto& w : workers)
        w.join();
    IDC_CloseComm();

    std::printf("pid %d: calls %ld disagreements %ld codes", static_cast<int>(getpid()),
                shared.calls, shared.disagreements);
    for (const auto& [code, n] : shared.codes)
        std::printf(" %d:%ld", code, n);
    std::printf("\n");
    return shared.disagreements == 0 ? 0 : 1;
}
