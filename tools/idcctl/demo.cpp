#include "demo.h"

#include <memory>
#include <string>

#if defined(IDCCTL_WITH_EMULATOR)
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "cli.h"
#include "emulator.h"
#endif

namespace idcctl {

namespace {

struct DemoArgs {
    std::string family = "a";
    bool keep = false;
};

#if defined(IDCCTL_WITH_EMULATOR)

namespace emu = quillon::emu;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How each family is shown. Family A is configured as family B, so that the
// open has to find it: one status query that goes unanswered (family B's
// acknowledgement time-out, 3 s) and then family A's. Family B configured
// as family A would cost two unanswered family-A attempts (6 s), and family
// C is never looked for, so those two are configured as what they are.
struct Plan {
    emu::Family family;
    char letter;
    int configured;  // CardReaderType written into the configuration
    int type;        // the reader's own type
    bool life;       // the reader keeps life counters
    const char* who; // the reader, in words
    const char* why; // comment above CardReaderType
};

const Plan kPlans[] = {
    {emu::Family::A, 'A', 2, 1, true, "family A (HBU-NA053 with the auxiliary module)",
     "family B on purpose: the library has to find the family-A reader itself"},
    {emu::Family::B, 'B', 2, 2, true, "family B (ICT3Q8-3A0179)", "the reader's own family"},
    {emu::Family::C, 'C', 3, 3, false, "family C (CRD-C9001)",
     "family C is used only when it is configured"},
};

const Plan& PlanFor(const std::string& family) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(family[0])));
    for (const Plan& p : kPlans)
        if (p.letter == letter)
            return p;
    return kPlans[0];
}

// The demo's own folder: it holds the configuration, is the working
// directory (the trace goes below it) and QUILLON_CONFIG names its
// configuration while the demo runs. All three are undone at the end.
class DemoFolder {
public:
    DemoFolder() {
        std::string pattern = (fs::temp_directory_path() / "idcctl-demo-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        m_path = pattern;
        const char* old = std::getenv("QUILLON_CONFIG");
        m_hadConfig = old != nullptr;
        if (old)
            m_oldConfig = old;
        m_oldCwd = fs::current_path();
        ::setenv("QUILLON_CONFIG", Config().c_str(), 1);
        std::error_code ec;
        fs::current_path(m_path, ec);
        if (ec) {
            Restore();
            throw std::system_error(ec, "cannot enter " + m_path.string());
        }
    }
    ~DemoFolder() { Restore(); }
    DemoFolder(const DemoFolder&) = delete;
    DemoFolder& operator=(const DemoFolder&) = delete;

    const fs::path& Path() const { return m_path; }
    fs::path Config() const { return m_path / "Quillon.ini"; }
    fs::path Trace() const { return m_path / "Vantrel" / "CARDREADER.log"; }
    bool keep = false;

private:
    void Restore() {
        std::error_code ec;
        fs::current_path(m_oldCwd, ec);
        if (m_hadConfig)
            ::setenv("QUILLON_CONFIG", m_oldConfig.c_str(), 1);
        else
            ::unsetenv("QUILLON_CONFIG");
        if (!keep)
            fs::remove_all(m_path, ec);
    }

    fs::path m_path;
    fs::path m_oldCwd;
    std::string m_oldConfig;
    bool m_hadConfig = false;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The value of CardReaderType in the configuration text, or -1.
int ConfiguredType(const std::string& ini) {
    static const char kKey[] = "cardreadertype";
    for (const std::string& line : LinesOf(ini)) {
        std::string lower;
        for (char c : line)
            if (c != ' ' && c != '\t')
                lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.compare(0, sizeof kKey, std::string(kKey) + "=") == 0)
            return std::atoi(lower.c_str() + sizeof kKey);
    }
    return -1;
}

std::string Seconds(Clock::duration d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", std::chrono::duration<double>(d).count());
    return buf;
}

class Walkthrough {
public:
    Walkthrough(Session& s, const Plan& plan, emu::Emulator& reader, const DemoFolder& folder)
        : m_s(s), m_out(s.out), m_plan(plan), m_reader(reader), m_folder(folder) {}

    // Runs every step; false at the first that fails.
    bool Run();
    int Steps() const { return m_number; }

private:
    void Heading(const std::string& title, std::initializer_list<const char*> words) {
        m_out << '\n' << ++m_number << ". " << title << '\n';
        for (const char* w : words)
            m_out << "   " << w << '\n';
        m_out << std::flush;
    }
    void Note(const std::string& text) { m_out << "   " << text << '\n' << std::flush; }
    void Print(const StepReport& rep) {
        m_out << rep.summary << '\n';
        for (const std::string& line : rep.lines)
            m_out << line << '\n';
        m_out << std::flush;
    }
    // Runs idcctl subcommands, given as on the command line.
    bool Command(std::initializer_list<const char*> words);
    bool Open();
    bool TakeCard();
    bool Close();
    // What the reader is and where the demo keeps its files.
    void Intro();
    // The card's way: the reader set up, the card taken in, its tracks and
    // chip, the counters, the card handed back.
    bool CardSteps();
    // The trace the library wrote.
    bool ShowTrace();

    Session& m_s;
    std::ostream& m_out;
    const Plan& m_plan;
    emu::Emulator& m_reader;
    const DemoFolder& m_folder;
    int m_number = 0;
};

bool Walkthrough::Command(std::initializer_list<const char*> words) {
    std::vector<const char*> argv{"idcctl"};
    argv.insert(argv.end(), words.begin(), words.end());
    std::ostringstream help, err;
    const Invocation inv = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), help, err);
    if (inv.exitCode >= 0)
        throw std::logic_error("demo: bad step: " + err.str());
    for (const Step& step : inv.steps) {
        const StepReport rep = RunStep(m_s, step);
        Print(rep);
        if (!rep.ok)
            return false;
    }
    return true;
}

bool Walkthrough::Open() {
    if (m_plan.configured != m_plan.type)
        Heading("Open the reader: IDC_SetCommPara",
                {"The configuration names family B. The library opens the line and asks a",
                 "family-B reader for its status: no answer within the acknowledgement",
                 "time-out (3 s). It then asks family A, gets an answer, and writes",
                 "CardReaderType=1 back into the configuration for the next start."});
    else
        Heading("Open the reader: IDC_SetCommPara",
                {"The library opens the line and asks the configured family for its status;",
                 "the reader answers at once and the configured type stays."});
    const Clock::time_point t0 = Clock::now();
    StepReport rep = OpenReader(m_s);
    const Clock::duration took = Clock::now() - t0;
    rep.summary = std::string("open: ") + (rep.ok ? "ok" : "FAILED") + "  (" + rep.callInfo + ")";
    Print(rep);
    if (!rep.ok)
        return false;
    const int now = ConfiguredType(ReadFile(m_folder.Config()));
    Note("took " + Seconds(took) +
         "; the configuration now says CardReaderType=" + std::to_string(now) +
         (now == m_plan.type ? std::string(" (family ") + m_plan.letter + ")"
                             : std::string(", expected ") + std::to_string(m_plan.type) + "!"));
    return now == m_plan.type;
}

bool Walkthrough::TakeCard() {
    Heading("Take a card in: IDC_AcceptCard 1",
            {"A customer holds a payment card at the slot (the emulator puts it at the",
             "gate). The library enables card entry; the reader pulls the card in."});
    m_reader.InsertCard();
    if (!Command({"accept", "1"}))
        return false;
    // The host's side of card entry: ask for the status until the card is in.
    const Clock::time_point t0 = Clock::now();
    bool inside = false;
    while (!inside && Clock::now() - t0 < std::chrono::seconds(5)) {
        tIdcStatus st;
        tDevReturn ret;
        std::memset(&st, 0, sizeof st);
        std::memset(&ret, 0, sizeof ret);
        inside = m_s.api.GetStatus(&st, &ret) == 0 && st.usField[1] == 3;
        if (!inside)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!inside) {
        Note("the status never reported the card inside");
        return false;
    }
    Note("IDC_GetStatus reports the card inside after " + Seconds(Clock::now() - t0) + ":");
    return Command({"status"});
}

bool Walkthrough::Close() {
    Heading("Close: IDC_CloseComm", {"The library closes the line and the trace file."});
    const int result = m_s.api.CloseComm();
    m_out << "close: " << (result == 0 ? "ok" : "FAILED") << "  (result " << result << ")\n";
    return result == 0;
}

void Walkthrough::Intro() {
    m_out << "idcctl demo: the library drives an emulated reader\n"
          << "  reader         " << m_plan.who << " on " << m_reader.SlavePath() << '\n'
          << "  working folder " << m_folder.Path().string() << '\n'
          << "  configuration  " << m_folder.Config().string() << " (QUILLON_CONFIG):\n";
    for (const std::string& line : LinesOf(ReadFile(m_folder.Config())))
        m_out << "      " << line << '\n';
    m_out << std::flush;
}

bool Walkthrough::CardSteps() {
    Heading("Initialise: IDC_Init 1",
            {"Mode 1 resets the reader; the library learns its model", "and sets it up."});
    if (!Command({"init", "1"}))
        return false;
    Heading("Capabilities: IDC_GetCapabilities",
            {"What the library knows about the reader now, and its own version."});
    if (!Command({"caps"}) || !TakeCard())
        return false;
    Heading("Read the magnetic tracks: IDC_ReadTrack",
            {"Tracks 1, 2 and 3 as the card carries them, sentinels included."});
    if (!Command({"read-tracks"}))
        return false;
    Heading("Power the chip: IDC_ChipPower 1",
            {"The contacts touch the chip, which sends its answer to reset (ATR):"});
    if (!Command({"chip-on"}))
        return false;
    Heading("Talk to the chip: IDC_ChipIO",
            {"SELECT of the payment application A0 00 00 00 03 10 10. A T=0 card answers",
             "61xx (\"more data waiting\"); GET RESPONSE fetches the application's data."});
    if (!Command({"apdu", "00 A4 04 00 07 A0 00 00 00 03 10 10", "--get-response"}))
        return false;
    Heading("Power the chip off: IDC_ChipPower 3", {});
    if (!Command({"chip-off"}))
        return false;
    if (m_plan.life) {
        Heading("Life counters: IDC_GetLifeInfo",
                {"What the reader has counted: cards taken in, track reads, chip activations."});
        if (!Command({"life"}))
            return false;
    } else {
        m_out << "\n(Family C readers keep no life counters: IDC_GetLifeInfo is left out.)\n";
    }
    Heading("Hand the card back: IDC_EjectCard",
            {"The card waits at the slot; the customer takes it (emulator)."});
    if (!Command({"eject"}))
        return false;
    if (!m_reader.RemoveCard()) {
        Note("the card is not at the gate");
        return false;
    }
    return true;
}

bool Walkthrough::ShowTrace() {
    Heading("The trace: " + m_folder.Trace().string(),
            {"One enter and one leave line per call, with the device name (known from",
             "IDC_Init on) and the code; -1 is idcctl's mark in a record the call does not",
             "write. The file opens during IDC_SetCommPara, after that call's enter line,",
             "and a status that only says \"all well\" is not traced:"});
    const std::vector<std::string> trace = LinesOf(ReadFile(m_folder.Trace()));
    for (const std::string& line : trace)
        m_out << "   " << line << '\n';
    if (trace.empty()) {
        Note("the trace file is missing or empty");
        return false;
    }
    return true;
}

bool Walkthrough::Run() {
    Intro();
    return Open() && CardSteps() && Close() && ShowTrace();
}

void Demo(Session& s, StepReport& rep, const DemoArgs& args) {
    const Plan& plan = PlanFor(args.family);
    const Clock::time_point t0 = Clock::now();
    bool ok = false;
    int steps = 0;
    try {
        DemoFolder folder;
        folder.keep = args.keep;
        emu::Options options;
        options.entryDelay = 150;
        emu::Emulator reader(plan.family, options);
        const std::string port = reader.Start();
        {
            std::ofstream ini(folder.Config(), std::ios::binary);
            ini << "; idcctl demo: the reader is an emulator on a pseudo-terminal\n"
                << "[CARDREADER]\n"
                << "Port=" << port << "\n\n"
                << "[CardReaderType]\n"
                << "; " << plan.why << "\n"
                << "CardReaderType=" << plan.configured << "\n\n"
                << "[DllExtFunc]\n"
                << "RemainDays=1    ; the trace is on\n";
        }
        // Declared last: the library lets go of the line before the
        // emulator stops and the folder goes.
        struct Closer {
            const IdcApi& api;
            ~Closer() { api.CloseComm(); }
        } closer{s.api};
        Walkthrough walk(s, plan, reader, folder);
        ok = walk.Run();
        steps = walk.Steps();
        if (args.keep)
            s.out << "\nThe working folder stays: " << folder.Path().string() << '\n';
        else if (!ok)
            s.out << "\n(--keep leaves the configuration and the trace for a look)\n";
    } catch (const std::exception& e) {
        s.out << "demo: " << e.what() << '\n';
    }
    rep.ok = ok;
    rep.callInfo = ok          ? std::to_string(steps) + " steps, " + Seconds(Clock::now() - t0)
                   : steps > 0 ? "stopped at step " + std::to_string(steps)
                               : "could not start";
}

#else

void Demo(Session&, StepReport& rep, const DemoArgs&) {
    rep.ok = false;
    rep.callInfo = "needs a POSIX system: the reader emulator runs on a pseudo-terminal";
}

#endif

} // namespace

void DefineDemo(CLI::App& sub, std::vector<Step>& steps) {
    auto args = std::make_shared<DemoArgs>();
    sub.add_option("--family", args->family, "reader family to emulate: a, b or c")
        ->check(CLI::IsMember({"a", "b", "c"}, CLI::ignore_case))
        ->capture_default_str();
    sub.add_flag("--keep", args->keep, "keep the working folder (configuration and trace)");
    sub.parse_complete_callback([&sub, &steps, args] {
        const DemoArgs a = *args;
        steps.push_back(
            Step{sub.get_name(), [a](Session& s, StepReport& rep) { Demo(s, rep, a); }, true});
        *args = DemoArgs{};
        sub.clear();
    });
}

} // namespace idcctl
