// quillon-soak: the library driven for a long time through its C exports
// against an emulated reader that is pulled out and plugged in again every
// cycle, watching what the process holds: open descriptors, threads and
// resident memory. Anything that grows after the warm-up fails the run.
//
// One cycle, on a terminal reached through a link (Port = the link, as a
// kiosk names a USB-serial adapter by its /dev/serial/by-id link):
//   IDC_SetCommPara, IDC_Init, IDC_GetStatus, IDC_AcceptCard, IDC_ReadTrack
//   (families A and B), IDC_EjectCard; the terminal hangs up and one
//   IDC_GetStatus fails on it; a new terminal behind the same link;
//   IDC_SetCommPara, IDC_Init, IDC_GetStatus; IDC_CloseComm.
//
//   quillon-soak [--seconds N] [--cycles N] [--family a|b|c]
//                [--warmup N] [--every N] [--rss-slack-kib N]
//
// Exit status: 0 nothing grew and every call answered as expected; 1 a
// resource grew or a call failed that should not have; 2 bad arguments or
// no working folder / pseudo-terminal.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator.h"
#include "quillon/idc.h"

namespace emu = quillon::emu;

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

struct Args {
    double seconds = 0; // 0: not limited by time
    long cycles = 0;    // 0: not limited by count
    char family = 'a';
    long warmup = 200; // cycles before the reference sample
    long every = 100;  // cycles between samples
    long rssSlackKib = 512;
};

void Usage(FILE* to) {
    std::fprintf(to, "usage: quillon-soak [--seconds N] [--cycles N] [--family a|b|c]\n"
                     "                    [--warmup N] [--every N] [--rss-slack-kib N]\n"
                     "Without --seconds and --cycles it runs for 60 seconds. Samples every\n"
                     "--every cycles (100); the sample after --warmup cycles (200) is the\n"
                     "reference: later descriptors or threads above it, or resident memory\n"
                     "above it by more than --rss-slack-kib (512), fail the run.\n");
}

bool ParseLong(const char* text, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0)
        return false;
    out = v;
    return true;
}

// 0: parsed; 1: --help; 2: bad arguments.
int ParseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help")
            return 1;
        if (i + 1 >= argc) {
            std::fprintf(stderr, "quillon-soak: %s needs a value\n", opt.c_str());
            return 2;
        }
        const char* value = argv[++i];
        long n = 0;
        if (opt == "--family") {
            const char f = value[0];
            if ((f != 'a' && f != 'b' && f != 'c') || value[1] != '\0') {
                std::fprintf(stderr, "quillon-soak: --family takes a, b or c\n");
                return 2;
            }
            a.family = f;
            continue;
        }
        if (!ParseLong(value, n)) {
            std::fprintf(stderr, "quillon-soak: %s takes a number, not \"%s\"\n", opt.c_str(),
                         value);
            return 2;
        }
        if (opt == "--seconds")
            a.seconds = static_cast<double>(n);
        else if (opt == "--cycles")
            a.cycles = n;
        else if (opt == "--warmup")
            a.warmup = n;
        else if (opt == "--every")
            a.every = n > 0 ? n : 1;
        else if (opt == "--rss-slack-kib")
            a.rssSlackKib = n;
        else {
            std::fprintf(stderr, "quillon-soak: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (a.seconds == 0 && a.cycles == 0)
        a.seconds = 60;
    return 0;
}

// --- what the process holds ---------------------------------------------------

struct Sample {
    long fds = 0;
    long threads = 0;
    long rssKib = 0;
};

long CountEntries(const char* dir) {
    DIR* d = ::opendir(dir);
    if (!d)
        return -1;
    long n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0); // the listing's own
}

Sample TakeSample() {
    Sample s;
    s.fds = CountEntries("/proc/self/fd");
    s.threads = CountEntries("/proc/self/task");
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    if (statm >> pages >> resident)
        s.rssKib = resident * (::sysconf(_SC_PAGESIZE) / 1024);
    return s;
}

// --- the reader and its link ------------------------------------------------

// The working folder: configuration, named lock and trace files, removed at
// the end.
class WorkFolder {
public:
    WorkFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillon-soak-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        m_path = pattern;
    }
    ~WorkFolder() {
        const std::string cmd = "rm -rf '" + m_path + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "quillon-soak: could not remove %s\n", m_path.c_str());
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Points the link at target in one step, as udev does.
bool PointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    return ::symlink(target.c_str(), fresh.c_str()) == 0 &&
           std::rename(fresh.c_str(), link.c_str()) == 0;
}

emu::Family FamilyOf(char f) {
    return f == 'b' ? emu::Family::B : f == 'c' ? emu::Family::C : emu::Family::A;
}

// An emulated reader plugged in behind the link; a customer brings a card to
// every entry command.
std::unique_ptr<emu::Emulator> PlugIn(char family, const std::string& link) {
    emu::Options opt;
    opt.autoInsert = true;
    auto reader = std::make_unique<emu::Emulator>(FamilyOf(family), opt);
    if (!PointLink(link, reader->Start()))
        throw std::system_error(errno, std::generic_category(), "symlink " + link);
    return reader;
}

// --- calls --------------------------------------------------------------------

bool IsSuccessClass(int code) {
    return code == 0 || (code >= 1201 && code <= 1210) || code == 1212 || code == 1213;
}

struct Tally {
    long calls = 0;
    long unpluggedFailures = 0; // calls on the hung-up terminal (expected to fail)
    long unexpected = 0;        // calls that did not answer as they should
    long slowestUnpluggedMs = 0;
};

// Checks one call's answer: the record agrees with the result, and the
// result is the expected one.
void Check(Tally& t, long cycle, const char* what, int result, const tDevReturn& r,
           bool expectSuccess) {
    ++t.calls;
    const bool agrees = r.iCode1 == r.iCode2 && r.iErrFlag1 == r.iErrFlag2 &&
                        (result == 0) == IsSuccessClass(r.iCode2) &&
                        r.iErrFlag2 == (result == 0 ? 0 : 1);
    if (agrees && (result == 0) == expectSuccess)
        return;
    if (++t.unexpected <= 10)
        std::fprintf(stderr,
                     "quillon-soak: cycle %ld: %s returned %d with code %d/%d, flags %d/%d"
                     " (expected %s)\n",
                     cycle, what, result, r.iCode1, r.iCode2, r.iErrFlag1, r.iErrFlag2,
                     expectSuccess ? "success" : "failure");
}

tDevReturn Fresh() {
    tDevReturn r;
    std::memset(&r, 0, sizeof r); // a failure must not leave this success code
    return r;
}

void Operate(Tally& t, long cycle, char family, bool withCard) {
    tDevReturn r = Fresh();
    Check(t, cycle, "IDC_SetCommPara", IDC_SetCommPara(&r), r, true);
    r = Fresh();
    Check(t, cycle, "IDC_Init", IDC_Init(1, &r), r, true);
    tIdcStatus st{};
    r = Fresh();
    Check(t, cycle, "IDC_GetStatus", IDC_GetStatus(&st, &r), r, true);
    if (!withCard)
        return;
    r = Fresh();
    Check(t, cycle, "IDC_AcceptCard", IDC_AcceptCard(1, &r), r, true);
    if (family != 'c') { // family C's track read pauses half a second
        tIdcTracks tracks{};
        r = Fresh();
        Check(t, cycle, "IDC_ReadTrack", IDC_ReadTrack(&tracks, &r), r, true);
    }
    r = Fresh();
    Check(t, cycle, "IDC_EjectCard", IDC_EjectCard(&r), r, true);
}

void PrintSample(long cycle, const Sample& s, const Tally& t, double elapsed) {
    std::printf("cycle %6ld  fds %3ld  threads %2ld  rss %7ld KiB  calls %7ld  unplugged-failures "
                "%5ld  unexpected %ld  %.1f s\n",
                cycle, s.fds, s.threads, s.rssKib, t.calls, t.unpluggedFailures, t.unexpected,
                elapsed);
    std::fflush(stdout);
}

// The configuration, the lock and the trace in the work folder, which
// becomes the working directory; the run's settings printed.
void Prepare(const WorkFolder& work, const Args& args, const std::string& link) {
    const int type = args.family == 'a' ? 1 : args.family == 'b' ? 2 : 3;
    {
        std::ofstream ini(work.Path() + "/Quillon.ini");
        ini << "[CARDREADER]\nPort=" << link << "\n[CardReaderType]\nCardReaderType=" << type
            << "\n[DllExtFunc]\nRemainDays=1\nTraceDir=" << work.Path() << "/trace\n";
    }
    ::setenv("QUILLON_CONFIG", (work.Path() + "/Quillon.ini").c_str(), 1);
    // A lock of its own: tests running beside it hold the shared one.
    ::setenv("QUILLON_LOCK_DIR", work.Path().c_str(), 1);
    if (::chdir(work.Path().c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "chdir " + work.Path());

    std::string limit;
    if (args.seconds > 0)
        limit = std::to_string(static_cast<long>(args.seconds)) + " s";
    if (args.cycles > 0)
        limit += (limit.empty() ? "" : " or ") + std::to_string(args.cycles) + " cycles";
    std::printf("quillon-soak: family %c, %s; reference after %ld cycles, a sample every %ld, "
                "RSS slack %ld KiB\n",
                args.family, limit.c_str(), args.warmup, args.every, args.rssSlackKib);
    std::fflush(stdout);
}

// A status call with the reader pulled out: it must fail, and quickly.
void AskUnplugged(Tally& tally, long cycle) {
    tIdcStatus st{};
    tDevReturn r = Fresh();
    const auto t0 = Clock::now();
    const int result = IDC_GetStatus(&st, &r);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    tally.slowestUnpluggedMs = std::max(tally.slowestUnpluggedMs, ms);
    Check(tally, cycle, "IDC_GetStatus (unplugged)", result, r, false);
    if (result != 0)
        ++tally.unpluggedFailures;
}

// The samples: the reference taken after the warm-up, and the last one.
struct Watch {
    Sample reference, last;
    long referenceCycle = 0;
    bool haveReference = false;
};

// Takes a sample every args.every cycles; true when the process grew past
// the reference.
bool Grew(Watch& w, long cycle, const Args& args, const Tally& tally, double elapsed) {
    if (cycle % args.every != 0)
        return false;
    w.last = TakeSample();
    PrintSample(cycle, w.last, tally, elapsed);
    if (cycle < args.warmup)
        return false;
    if (!w.haveReference) {
        w.reference = w.last;
        w.referenceCycle = cycle;
        w.haveReference = true;
        return false;
    }
    if (w.last.fds <= w.reference.fds && w.last.threads <= w.reference.threads &&
        w.last.rssKib <= w.reference.rssKib + args.rssSlackKib)
        return false;
    std::fprintf(stderr,
                 "quillon-soak: grew after the warm-up: fds %ld -> %ld, threads %ld "
                 "-> %ld, RSS %ld -> %ld KiB (slack %ld KiB)\n",
                 w.reference.fds, w.last.fds, w.reference.threads, w.last.threads,
                 w.reference.rssKib, w.last.rssKib, args.rssSlackKib);
    return true;
}

// The run's summary; 0 when it passed, 1 when it did not.
int Report(long cycle, double secs, const Tally& tally, const Watch& w, const Args& args,
           bool grew) {
    std::printf("quillon-soak: %ld cycles in %.1f s (%.1f per second), %ld calls, %ld failed "
                "as unplugged (slowest %ld ms), %ld unexpected\n",
                cycle, secs, secs > 0 ? cycle / secs : 0.0, tally.calls, tally.unpluggedFailures,
                tally.slowestUnpluggedMs, tally.unexpected);
    if (w.haveReference) {
        std::printf("quillon-soak: after warm-up (cycle %ld): fds %ld, threads %ld, RSS %ld "
                    "KiB; end: fds %ld, threads %ld, RSS %ld KiB\n",
                    w.referenceCycle, w.reference.fds, w.reference.threads, w.reference.rssKib,
                    w.last.fds, w.last.threads, w.last.rssKib);
    } else {
        std::printf("quillon-soak: the run ended before the warm-up did (%ld cycles): "
                    "nothing to compare\n",
                    args.warmup);
    }
    const bool ok = !grew && tally.unexpected == 0;
    std::printf("quillon-soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

// Cycles until the limit, a stop signal or growth: operate, unplug, ask,
// plug in again, operate, close.
int Run(const Args& args) {
    WorkFolder work;
    const std::string link = work.Path() + "/reader-by-id";
    Prepare(work, args, link);
    std::unique_ptr<emu::Emulator> reader = PlugIn(args.family, link);
    Tally tally;
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    Watch watch;
    bool grew = false;
    long cycle = 0;
    while (!g_stop && !grew) {
        if (args.cycles > 0 && cycle >= args.cycles)
            break;
        if (args.seconds > 0 && elapsed() >= args.seconds)
            break;
        ++cycle;
        Operate(tally, cycle, args.family, true);
        // Pulled out: the terminal hangs up under the open port.
        reader.reset();
        AskUnplugged(tally, cycle);
        // Plugged in again: a new terminal behind the same link.
        reader = PlugIn(args.family, link);
        Operate(tally, cycle, args.family, false);
        IDC_CloseComm();
        ++tally.calls;
        grew = Grew(watch, cycle, args, tally, elapsed());
    }
    reader.reset();
    return Report(cycle, elapsed(), tally, watch, args, grew);
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    switch (ParseArgs(argc, argv, args)) {
    case 0:
        break;
    case 1:
        Usage(stdout);
        return 0;
    default:
        Usage(stderr);
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    try {
        return Run(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillon-soak: %s\n", e.what());
        IDC_CloseComm();
        return 2;
    }
}
