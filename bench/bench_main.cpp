// Quillon benchmarks: what the library costs the calling thread next to the
// wire. Exchanges of every reader family over an in-memory reader that
// answers at once; whole export calls with the trace off and on; heap
// allocations per call; round trips over a pseudo-terminal against the
// reader emulator, next to the bytes' wire time at 115200 baud; the CPU an
// operation uses while a silent reader lets it wait.
//
// Times are the calling thread's CPU time (Google Benchmark's CPU timer),
// so other load on the machine and the emulator's own thread do not count.
// With --table a summary with the targets follows the usual output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "alloc_count.h"
#include "emulator.h"
#include "fakes.h"
#include "infra/reader_comm.h"
#include "platform/system.h"
#include "quillon/idc.h"
#include "readers/family_a/aux_module.h"
#include "readers/family_a/hid_reader_a.h"
#include "readers/family_a/serial_reader_a.h"
#include "readers/family_b/hid_reader_b.h"
#include "readers/family_b/serial_reader_b.h"
#include "readers/family_c/exchange_c.h"

using quillon::emu::Family;

namespace {

constexpr double kWireBaud = 115200.0;
constexpr double kBitsPerByte = 10.0; // start, 8 data, stop

// --- environment -------------------------------------------------------------

std::string g_dir; // private working folder: configuration, lock, trace

void WriteConfig(const std::string& text) {
    std::ofstream(g_dir + "/Quillon.ini", std::ios::trunc) << text;
}

void SetUpEnvironment() {
    char tmpl[] = "/tmp/quillon-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    g_dir = tmpl;
    setenv("QUILLON_CONFIG", (g_dir + "/Quillon.ini").c_str(), 1);
    // The named lock of the benchmark is its own: tests of other processes
    // hold "CARDREADER" in the shared folder for seconds.
    setenv("QUILLON_LOCK_DIR", g_dir.c_str(), 1);
    if (chdir(g_dir.c_str()) != 0)
        std::perror("chdir");
    // The line-control pauses of family C and the auxiliary module (5 ms
    // each) are the protocol's, not work of the library; they would swamp
    // every other figure of those exchanges.
    quillon::SetSleepHook([](unsigned int) {});
}

void TearDownEnvironment() {
    const std::string cmd = "rm -rf '" + g_dir + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", g_dir.c_str());
}

std::string SerialConfig(int type, const std::string& port, bool trace) {
    std::string text = "[CARDREADER]\nPort=" + port + "\nBaudRate=115200\n";
    text += "[CardReaderType]\nCardReaderType=" + std::to_string(type) + "\n";
    if (trace)
        text += "[DllExtFunc]\nRemainDays=1\nTraceDir=" + g_dir + "/trace\n";
    return text;
}

double ThreadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double WallUs() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double WireUs(double bytes) {
    return bytes * kBitsPerByte / kWireBaud * 1e6;
}

// --- one exchange per family -----------------------------------------------------

// A reader family's exchange, called the way its driver calls it.
struct Exchange {
    virtual ~Exchange() = default;
    // Returns the reply's data length; -1 when the exchange failed.
    virtual int iRun(const char* pText, uint32_t uiTimeoutMs) = 0;
};

// Families A and B, on either line: the driver's own exchange.
template <class Driver> struct DriverExchange : Exchange {
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    Driver driver{&comm};
    explicit DriverExchange() { driver.SetCommPara(); }
    int iRun(const char* pText, uint32_t uiTimeoutMs) override {
        uint8_t data[1024];
        const quillon::tCommandReply got = driver.tExchange(
            reinterpret_cast<const uint8_t*>(pText), static_cast<uint32_t>(std::strlen(pText)),
            data, sizeof data, uiTimeoutMs);
        return quillon::IsSuccess(got.eCode) ? static_cast<int>(got.uiDataLen) : -1;
    }
};

struct AuxExchange : Exchange {
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    quillon::OAuxModule module{&comm};
    AuxExchange() { comm.eOpenPort(); }
    int iRun(const char* pText, uint32_t uiTimeoutMs) override {
        quillon::OAuxModule::tData data;
        const quillon::tCommandReply reply = module.tExecCommand(pText, uiTimeoutMs, data);
        return quillon::IsSuccess(reply.eCode) ? static_cast<int>(reply.uiDataLen) : -1;
    }
};

struct CExchange : Exchange {
    quillon::OReaderComm comm{nullptr, "CARDREADER"};
    CExchange() { comm.eOpenPort(); }
    int iRun(const char* pText, uint32_t uiTimeoutMs) override {
        quillon::famc::tData data;
        const quillon::tCommandReply reply =
            quillon::famc::Exchange(&comm, pText, 1024, uiTimeoutMs, data);
        return quillon::IsSuccess(reply.eCode) ? static_cast<int>(reply.uiDataLen) : -1;
    }
};

enum class Kind { A, B, C, Aux, HidA, HidB };

const char* KindName(Kind k) {
    switch (k) {
    case Kind::A:
        return "A";
    case Kind::B:
        return "B";
    case Kind::C:
        return "C";
    case Kind::Aux:
        return "aux";
    case Kind::HidA:
        return "HID_A";
    case Kind::HidB:
        return "HID_B";
    }
    return "?";
}

Family FamilyOf(Kind k) {
    return k == Kind::B || k == Kind::HidB ? Family::B : k == Kind::C ? Family::C : Family::A;
}

// The status command and a long reply of each family.
const char* ShortCommand(Kind k) {
    switch (k) {
    case Kind::C:
        return "10";
    case Kind::Aux:
        return "Q0";
    case Kind::B:
    case Kind::HidB:
        return "C13";
    default:
        return "C11";
    }
}
const char* LongCommand(Kind k) {
    switch (k) {
    case Kind::A:
    case Kind::HidA:
        return "C6a7"; // the three tracks
    case Kind::B:
    case Kind::HidB:
        return "C65";
    case Kind::C:
        return "76";
    case Kind::Aux:
        return "00"; // identification: the module's longest reply
    }
    return "";
}

std::unique_ptr<Exchange> MakeExchange(Kind k) {
    switch (k) {
    case Kind::A:
        return std::make_unique<DriverExchange<quillon::OSerialReaderA>>();
    case Kind::B:
        return std::make_unique<DriverExchange<quillon::OSerialReaderB>>();
    case Kind::C:
        return std::make_unique<CExchange>();
    case Kind::Aux:
        return std::make_unique<AuxExchange>();
    case Kind::HidA:
        return std::make_unique<DriverExchange<quillon::OHidReaderA>>();
    case Kind::HidB:
        return std::make_unique<DriverExchange<quillon::OHidReaderB>>();
    }
    return nullptr;
}

// A reply text of the HID families: kind, the echo, status "00", data.
std::string HidReply(const char* pCommand, size_t dataLen) {
    std::string text = std::string("P") + pCommand[1] + pCommand[2] + "00";
    for (size_t i = 0; i < dataLen; ++i)
        text += static_cast<char>('0' + i % 10);
    return text;
}

// --- exchanges over the in-memory reader ------------------------------------------

void BM_Exchange(benchmark::State& state, Kind kind, bool bLong) {
    const char* pCommand = bLong ? LongCommand(kind) : ShortCommand(kind);
    std::unique_ptr<bench::InMemoryReader> serial;
    std::unique_ptr<bench::FakeHidReader> hid;
    int type = 1;
    if (kind == Kind::HidA || kind == Kind::HidB) {
        type = kind == Kind::HidA ? 4 : 6;
        // Family A sends a reply in one report; family B in 64-byte reports.
        hid = std::make_unique<bench::FakeHidReader>(kind == Kind::HidA ? 512 : 64);
        hid->vAnswer(ShortCommand(kind), HidReply(ShortCommand(kind), 4));
        hid->vAnswer(LongCommand(kind), HidReply(LongCommand(kind), 245));
        WriteConfig("[CARDREADER]\n[CardReaderType]\nCardReaderType=" + std::to_string(type) +
                    "\n[USB]\nVID=1\nPID=2\n");
    } else {
        type = kind == Kind::B ? 2 : kind == Kind::C ? 3 : 1;
        serial = std::make_unique<bench::InMemoryReader>(FamilyOf(kind));
        auto& model = serial->Engine().Model();
        model.SetCard(quillon::emu::Card::Default());
        model.PlaceCard(quillon::emu::CardPosition::Inside);
        WriteConfig(SerialConfig(type, "/dev/in-memory", false));
    }
    auto exchange = MakeExchange(kind);
    int replyLen = 0;
    for (int i = 0; i < 3; ++i) // warm-up: the first calls may set things up
        replyLen = exchange->iRun(pCommand, 5000);
    if (replyLen < 0) {
        state.SkipWithError("the exchange failed");
        return;
    }
    if (serial) {
        serial->vRecord();
        exchange->iRun(pCommand, 5000);
        serial->vReplay();
        serial->Count() = {};
    }
    const uint64_t allocs0 = bench::ThreadAllocs();
    for (auto _ : state)
        benchmark::DoNotOptimize(exchange->iRun(pCommand, 5000));
    const double n = static_cast<double>(state.iterations());
    state.counters["allocs"] = static_cast<double>(bench::ThreadAllocs() - allocs0) / n;
    state.counters["reply_data"] = replyLen;
    if (serial) {
        const auto& c = serial->Count();
        state.counters["wire_bytes"] = static_cast<double>(c.uiSent + c.uiDelivered) / n;
        state.counters["line_reads"] = static_cast<double>(c.uiReads) / n;
        state.counters["replay_misses"] = static_cast<double>(serial->uiReplayMisses());
    }
}

// --- export calls over the in-memory reader ----------------------------------------

// Opens the configured reader through the exports, warms up, then times
// EjectCard (or ReadTrack, bLong) with the heap allocations per call; closes.
void TimeExportCalls(benchmark::State& state, bool bLong,
                     bench::InMemoryReader* pReader = nullptr) {
    tDevReturn r{};
    if (IDC_SetCommPara(&r) != 0) {
        state.SkipWithError("IDC_SetCommPara failed");
        IDC_CloseComm();
        return;
    }
    tIdcTracks tracks;
    auto call = [&] { return bLong ? IDC_ReadTrack(&tracks, &r) : IDC_EjectCard(&r); };
    for (int i = 0; i < 3; ++i)
        call();
    if (pReader) {
        pReader->vRecord();
        call();
        pReader->vReplay();
    }
    const uint64_t allocs0 = bench::ThreadAllocs();
    for (auto _ : state)
        benchmark::DoNotOptimize(call());
    state.counters["allocs"] = static_cast<double>(bench::ThreadAllocs() - allocs0) /
                               static_cast<double>(state.iterations());
    IDC_CloseComm();
}

// The whole road of an export: named lock, trace scope, driver, exchange.
void BM_ExportCall(benchmark::State& state, bool bTrace, bool bLong) {
    bench::InMemoryReader reader(Family::A);
    auto& model = reader.Engine().Model();
    model.SetCard(quillon::emu::Card::Default());
    model.PlaceCard(quillon::emu::CardPosition::Inside);
    WriteConfig(SerialConfig(1, "/dev/in-memory", bTrace));
    TimeExportCalls(state, bLong, &reader);
    state.counters["replay_misses"] = static_cast<double>(reader.uiReplayMisses());
}

// --- over a pseudo-terminal --------------------------------------------------------------

// Bytes on the wire for one exchange of this command, as the in-memory
// reader counts them.
double WireBytesOf(Kind kind, const char* pCommand) {
    bench::InMemoryReader reader(FamilyOf(kind));
    reader.Engine().Model().SetCard(quillon::emu::Card::Default());
    reader.Engine().Model().PlaceCard(quillon::emu::CardPosition::Inside);
    WriteConfig(SerialConfig(kind == Kind::B   ? 2
                             : kind == Kind::C ? 3
                                               : 1,
                             "/dev/in-memory", false));
    auto exchange = MakeExchange(kind);
    exchange->iRun(pCommand, 5000);
    reader.Count() = {};
    exchange->iRun(pCommand, 5000);
    return static_cast<double>(reader.Count().uiSent + reader.Count().uiDelivered);
}

double Percentile(std::vector<double>& v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

// One exchange of the command, over a pseudo-terminal whose far end is the
// reader emulator (it answers as soon as a frame is complete).
void BM_PtyExchange(benchmark::State& state, Kind kind, bool bLong) {
    const char* pCommand = bLong ? LongCommand(kind) : ShortCommand(kind);
    const double wire = WireUs(WireBytesOf(kind, pCommand));
    quillon::emu::Emulator emu(FamilyOf(kind));
    std::string port;
    try {
        port = emu.Start();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    emu.SetCard(quillon::emu::Card::Default());
    emu.PlaceCard(quillon::emu::CardPosition::Inside);
    WriteConfig(SerialConfig(kind == Kind::B ? 2 : kind == Kind::C ? 3 : 1, port, false));
    auto exchange = MakeExchange(kind);
    for (int i = 0; i < 3; ++i)
        exchange->iRun(pCommand, 5000);
    std::vector<double> rounds;
    rounds.reserve(100000);
    int failed = 0;
    for (auto _ : state) {
        const double t0 = WallUs();
        failed += exchange->iRun(pCommand, 5000) < 0;
        rounds.push_back(WallUs() - t0);
    }
    state.counters["wire_us"] = wire;
    state.counters["p50_us"] = Percentile(rounds, 0.50);
    state.counters["p99_us"] = Percentile(rounds, 0.99);
    state.counters["failed"] = failed;
    emu.Stop();
}

// An export call over the pseudo-terminal (trace off).
void BM_PtyExportCall(benchmark::State& state, bool bLong) {
    quillon::emu::Emulator emu(Family::A);
    std::string port;
    try {
        port = emu.Start();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    emu.SetCard(quillon::emu::Card::Default());
    emu.PlaceCard(quillon::emu::CardPosition::Inside);
    WriteConfig(SerialConfig(1, port, false));
    TimeExportCalls(state, bLong);
    emu.Stop();
}

// A reader that acknowledges the command and then stays silent: the
// exchange waits out its whole reply time-out.
uint32_t g_silentWaitMs = 5000;

void BM_SilentWait(benchmark::State& state) {
    quillon::emu::Emulator emu(Family::A);
    std::string port;
    try {
        port = emu.Start();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    quillon::emu::Faults faults;
    faults.noReply = quillon::emu::kForever;
    emu.SetFaults(faults);
    WriteConfig(SerialConfig(1, port, false));
    DriverExchange<quillon::OSerialReaderA> exchange;
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = ThreadCpuUs(), w0 = WallUs();
        exchange.iRun("C11", g_silentWaitMs);
        cpu += ThreadCpuUs() - c0;
        wall += WallUs() - w0;
    }
    state.counters["wait_ms"] = wall / 1e3 / static_cast<double>(state.iterations());
    state.counters["cpu_pct"] = wall > 0 ? 100.0 * cpu / wall : 0;
    emu.Stop();
}

void RegisterAll() {
    for (Kind k : {Kind::A, Kind::B, Kind::C, Kind::Aux, Kind::HidA, Kind::HidB}) {
        for (bool bLong : {false, true}) {
            const std::string name =
                std::string("exchange/") + KindName(k) + (bLong ? "/long" : "/short");
            benchmark::RegisterBenchmark(name.c_str(), BM_Exchange, k, bLong)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    for (bool bTrace : {false, true}) {
        for (bool bLong : {false, true}) {
            const std::string name = std::string("export/") + (bLong ? "ReadTrack" : "EjectCard") +
                                     (bTrace ? "/trace_on" : "/trace_off");
            benchmark::RegisterBenchmark(name.c_str(), BM_ExportCall, bTrace, bLong)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    for (Kind k : {Kind::A, Kind::B, Kind::C}) {
        for (bool bLong : {false, true}) {
            const std::string name =
                std::string("pty/exchange/") + KindName(k) + (bLong ? "/long" : "/short");
            benchmark::RegisterBenchmark(name.c_str(), BM_PtyExchange, k, bLong)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RegisterBenchmark("pty/export/EjectCard", BM_PtyExportCall, false)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("pty/export/ReadTrack", BM_PtyExportCall, true)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("pty/silent_wait", BM_SilentWait)
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kMillisecond);
}

// --- the summary table -------------------------------------------------------------------

// Keeps every run (the medians when repeated) by name.
class OCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // A repeated benchmark's median comes after its repetitions.
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            m_runs[run.run_name.str()] = run;
        }
    }
    const Run* Find(const std::string& name) const {
        auto it = m_runs.find(name);
        return it == m_runs.end() || it->second.error_occurred ? nullptr : &it->second;
    }

private:
    std::map<std::string, Run> m_runs;
};

double Counter(const benchmark::BenchmarkReporter::Run& run, const char* pName) {
    auto it = run.counters.find(pName);
    return it == run.counters.end() ? 0.0 : static_cast<double>(it->second);
}

struct Row {
    std::string figure, measured, target, wire;
};

std::string Fmt(const char* pFormat, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, pFormat, v);
    return buf;
}

void PrintTable(const OCollector& c) {
    std::vector<Row> rows;
    auto cpu = [&](const std::string& name) {
        const auto* r = c.Find(name);
        return r ? r->GetAdjustedCPUTime() : -1.0; // microseconds
    };
    auto us = [](double v) { return v < 0 ? std::string("n/a") : Fmt("%.2f us", v); };
    auto ratio = [](double a, double b) {
        return a < 0 || b <= 0 ? std::string("n/a") : Fmt("%.2fx", a / b);
    };
    for (Kind k : {Kind::A, Kind::B, Kind::C, Kind::Aux, Kind::HidA, Kind::HidB}) {
        const std::string base = std::string("exchange/") + KindName(k);
        const double s = cpu(base + "/short"), l = cpu(base + "/long");
        const auto* rs = c.Find(base + "/short");
        const auto* rl = c.Find(base + "/long");
        rows.push_back({"in-memory exchange " + std::string(KindName(k)) + " short (" +
                            Fmt("%.0f", rs ? Counter(*rs, "reply_data") : 0) + " B data)",
                        us(s), "< 5 us", ""});
        rows.push_back({"in-memory exchange " + std::string(KindName(k)) + " long (" +
                            Fmt("%.0f", rl ? Counter(*rl, "reply_data") : 0) + " B data)",
                        us(l), "< 5 us", ""});
        rows.push_back({"  long / short CPU, family " + std::string(KindName(k)), ratio(l, s),
                        "<= 1.30x", ""});
        if (rs && rl)
            rows.push_back(
                {"  heap allocations per exchange (short, long)",
                 Fmt("%.2f", Counter(*rs, "allocs")) + ", " + Fmt("%.2f", Counter(*rl, "allocs")),
                 "0", ""});
    }
    for (const char* trace : {"trace_off", "trace_on"}) {
        for (const char* op : {"EjectCard", "ReadTrack"}) {
            const std::string name = std::string("export/") + op + "/" + trace;
            const auto* r = c.Find(name);
            rows.push_back(
                {std::string("in-memory export ") + op + ", " + trace, us(cpu(name)), "-", ""});
            rows.push_back({"  heap allocations per call",
                            r ? Fmt("%.2f", Counter(*r, "allocs")) : "n/a", "0", ""});
        }
    }
    for (Kind k : {Kind::A, Kind::B, Kind::C}) {
        for (const char* len : {"short", "long"}) {
            const std::string name = std::string("pty/exchange/") + KindName(k) + "/" + len;
            const auto* r = c.Find(name);
            if (!r) {
                rows.push_back({name, "n/a", "", ""});
                continue;
            }
            const double wire = Counter(*r, "wire_us"), p50 = Counter(*r, "p50_us"),
                         p99 = Counter(*r, "p99_us");
            const std::string what = std::string("pty ") + KindName(k) + " " + len;
            // A pseudo-terminal carries the bytes at once: all of its round
            // trip is what the library, the kernel and the emulator add.
            rows.push_back({what + " round trip p50 (all added: no wire)", Fmt("%.0f us", p50),
                            "< 200 us", Fmt("%.2fx of ", p50 / wire) + Fmt("%.0f us", wire)});
            rows.push_back(
                {what + " round trip p99", Fmt("%.0f us", p99), "", Fmt("%.2fx", p99 / wire)});
            rows.push_back({what + " host CPU per exchange", us(cpu(name)),
                            std::string(len) == "short" ? "< 30 us" : "", ""});
        }
        const double s = cpu(std::string("pty/exchange/") + KindName(k) + "/short");
        const double l = cpu(std::string("pty/exchange/") + KindName(k) + "/long");
        rows.push_back({std::string("  pty long / short CPU, family ") + KindName(k), ratio(l, s),
                        "<= 1.30x", ""});
    }
    {
        const double s = cpu("pty/export/EjectCard"), l = cpu("pty/export/ReadTrack");
        rows.push_back({"pty export EjectCard (trace off), host CPU", us(s), "< 30 us", ""});
        rows.push_back({"pty export ReadTrack (trace off), host CPU", us(l), "", ""});
        rows.push_back({"  ReadTrack / EjectCard CPU", ratio(l, s), "<= 1.30x", ""});
        const auto* r = c.Find("pty/export/EjectCard");
        rows.push_back({"  heap allocations per call (EjectCard)",
                        r ? Fmt("%.2f", Counter(*r, "allocs")) : "n/a", "0", ""});
    }
    if (const auto* r = c.Find("pty/silent_wait"))
        rows.push_back(
            {"CPU while waiting " + Fmt("%.0f ms", Counter(*r, "wait_ms")) + " for a silent reader",
             Fmt("%.4f %%", Counter(*r, "cpu_pct")), "< 0.1 %", ""});

    size_t w[3] = {6, 8, 6};
    for (const Row& row : rows) {
        w[0] = std::max(w[0], row.figure.size());
        w[1] = std::max(w[1], row.measured.size());
        w[2] = std::max(w[2], row.target.size());
    }
    std::printf("\n%-*s | %-*s | %-*s | %s\n", int(w[0]), "figure", int(w[1]), "measured",
                int(w[2]), "target", "ratio to wire time (115200 baud)");
    std::printf("%s\n", std::string(w[0] + w[1] + w[2] + 42, '-').c_str());
    for (const Row& row : rows)
        std::printf("%-*s | %-*s | %-*s | %s\n", int(w[0]), row.figure.c_str(), int(w[1]),
                    row.measured.c_str(), int(w[2]), row.target.c_str(), row.wire.c_str());
}

} // namespace

int main(int argc, char** argv) {
    bool table = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--table") == 0)
            table = true;
        else if (std::strcmp(argv[i], "--quick") == 0)
            g_silentWaitMs = 200; // CI: proves the benchmark runs, measures nothing
        else
            args.push_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    SetUpEnvironment();
    bench::RegisterMemoryManager();
    RegisterAll();
    OCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (table)
        PrintTable(collector);
    benchmark::Shutdown();
    TearDownEnvironment();
    return 0;
}
