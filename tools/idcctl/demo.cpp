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

const Plan& plan_for(const std::string& family) {
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
        path_ = pattern;
        const char* old = std::getenv("QUILLON_CONFIG");
        had_config_ = old != nullptr;
        if (old)
            old_config_ = old;
        old_cwd_ = fs::current_path();
        ::setenv("QUILLON_CONFIG", config().c_str(), 1);
        std::error_code ec;
        fs::current_path(path_, ec);
        if (ec) {
            restore();
            throw std::system_error(ec, "cannot enter " + path_.string());
        }
    }
    ~DemoFolder() { restore(); }
    DemoFolder(const DemoFolder&) = delete;
    DemoFolder& operator=(const DemoFolder&) = delete;

    const fs::path& path() const { return path_; }
    fs::path config() const { return path_ / "Quillon.ini"; }
    fs::path trace() const { return path_ / "Vantrel" / "CARDREADER.log"; }
    bool keep = false;

private:
    void restore() {
        std::error_code ec;
        fs::current_path(old_cwd_, ec);
        if (had_config_)
            ::setenv("QUILLON_CONFIG", old_config_.c_str(), 1);
        else
            ::unsetenv("QUILLON_CONFIG");
        if (!keep)
            fs::remove_all(path_, ec);
    }

    fs::path path_;
    fs::path old_cwd_;
    std::string old_config_;
    bool had_config_ = false;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> lines_of(const std::string& text) {
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
int configured_type(const std::string& ini) {
    static const char kKey[] = "cardreadertype";
    for (const std::string& line : lines_of(ini)) {
        std::string lower;
        for (char c : line)
            if (c != ' ' && c != '\t')
                lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.compare(0, sizeof kKey, std::string(kKey) + "=") == 0)
            return std::atoi(lower.c_str() + sizeof kKey);
    }
    return -1;
}

std::string seconds(Clock::duration d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", std::chrono::duration<double>(d).count());
    return buf;
}

class Walkthrough {
public:
    Walkthrough(Session& s, const Plan& plan, emu::Emulator& reader, const DemoFolder& folder)
        : s_(s), out_(s.out), plan_(plan), reader_(reader), folder_(folder) {}

    // Runs every step; false at the first that fails.
    bool run();
    int steps() const { return number_; }

private:
    void heading(const std::string& title, std::initializer_list<const char*> words) {
        out_ << '\n' << ++number_ << ". " << title << '\n';
        for (const char* w : words)
            out_ << "   " << w << '\n';
        out_ << std::flush;
    }
    void note(const std::string& text) { out_ << "   " << text << '\n' << std::flush; }
    void print(const StepReport& rep) {
        out_ << rep.summary << '\n';
        for (const std::string& line : rep.lines)
            out_ << line << '\n';
        out_ << std::flush;
    }
    // Runs idcctl subcommands, given as on the command line.
    bool command(std::initializer_list<const char*> words);
    bool open();
    bool take_card();
    bool close();

    Session& s_;
    std::ostream& out_;
    const Plan& plan_;
    emu::Emulator& reader_;
    const DemoFolder& folder_;
    int number_ = 0;
};

bool Walkthrough::command(std::initializer_list<const char*> words) {
    std::vector<const char*> argv{"idcctl"};
    argv.insert(argv.end(), words.begin(), words.end());
    std::ostringstream help, err;
    const Invocation inv =
        parse_command_line(static_cast<int>(argv.size()), argv.data(), help, err);
    if (inv.exit_code >= 0)
        throw std::logic_error("demo: bad step: " + err.str());
    for (const Step& step : inv.steps) {
        const StepReport rep = run_step(s_, step);
        print(rep);
        if (!rep.ok)
            return false;
    }
    return true;
}

bool Walkthrough::open() {
    if (plan_.configured != plan_.type)
        heading("Open the reader: IDC_SetCommPara",
                {"The configuration names family B. The library opens the line and asks a",
                 "family-B reader for its status: no answer within the acknowledgement",
                 "time-out (3 s). It then asks family A, gets an answer, and writes",
                 "CardReaderType=1 back into the configuration for the next start."});
    else
        heading("Open the reader: IDC_SetCommPara",
                {"The library opens the line and asks the configured family for its status;",
                 "the reader answers at once and the configured type stays."});
    const Clock::time_point t0 = Clock::now();
    StepReport rep = open_reader(s_);
    const Clock::duration took = Clock::now() - t0;
    rep.summary = std::string("open: ") + (rep.ok ? "ok" : "FAILED") + "  (" + rep.call_info + ")";
    print(rep);
    if (!rep.ok)
        return false;
    const int now = configured_type(read_file(folder_.config()));
    note("took " + seconds(took) +
         "; the configuration now says CardReaderType=" + std::to_string(now) +
         (now == plan_.type ? std::string(" (family ") + plan_.letter + ")"
                            : std::string(", expected ") + std::to_string(plan_.type) + "!"));
    return now == plan_.type;
}

bool Walkthrough::take_card() {
    heading("Take a card in: IDC_AcceptCard 1",
            {"A customer holds a payment card at the slot (the emulator puts it at the",
             "gate). The library enables card entry; the reader pulls the card in."});
    reader_.InsertCard();
    if (!command({"accept", "1"}))
        return false;
    // The host's side of card entry: ask for the status until the card is in.
    const Clock::time_point t0 = Clock::now();
    bool inside = false;
    while (!inside && Clock::now() - t0 < std::chrono::seconds(5)) {
        tIdcStatus st;
        tDevReturn ret;
        std::memset(&st, 0, sizeof st);
        std::memset(&ret, 0, sizeof ret);
        inside = s_.api.GetStatus(&st, &ret) == 0 && st.usField[1] == 3;
        if (!inside)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!inside) {
        note("the status never reported the card inside");
        return false;
    }
    note("IDC_GetStatus reports the card inside after " + seconds(Clock::now() - t0) + ":");
    return command({"status"});
}

bool Walkthrough::close() {
    heading("Close: IDC_CloseComm", {"The library closes the line and the trace file."});
    const int result = s_.api.CloseComm();
    out_ << "close: " << (result == 0 ? "ok" : "FAILED") << "  (result " << result << ")\n";
    return result == 0;
}

bool Walkthrough::run() {
    out_ << "idcctl demo: the library drives an emulated reader\n"
         << "  reader         " << plan_.who << " on " << reader_.SlavePath() << '\n'
         << "  working folder " << folder_.path().string() << '\n'
         << "  configuration  " << folder_.config().string() << " (QUILLON_CONFIG):\n";
    for (const std::string& line : lines_of(read_file(folder_.config())))
        out_ << "      " << line << '\n';
    out_ << std::flush;

    if (!open())
        return false;

    heading("Initialise: IDC_Init 1",
            {"Mode 1 resets the reader; the library learns its model", "and sets it up."});
    if (!command({"init", "1"}))
        return false;

    heading("Capabilities: IDC_GetCapabilities",
            {"What the library knows about the reader now, and its own version."});
    if (!command({"caps"}) || !take_card())
        return false;

    heading("Read the magnetic tracks: IDC_ReadTrack",
            {"Tracks 1, 2 and 3 as the card carries them, sentinels included."});
    if (!command({"read-tracks"}))
        return false;

    heading("Power the chip: IDC_ChipPower 1",
            {"The contacts touch the chip, which sends its answer to reset (ATR):"});
    if (!command({"chip-on"}))
        return false;

    heading("Talk to the chip: IDC_ChipIO",
            {"SELECT of the payment application A0 00 00 00 03 10 10. A T=0 card answers",
             "61xx (\"more data waiting\"); GET RESPONSE fetches the application's data."});
    if (!command({"apdu", "00 A4 04 00 07 A0 00 00 00 03 10 10", "--get-response"}))
        return false;

    heading("Power the chip off: IDC_ChipPower 3", {});
    if (!command({"chip-off"}))
        return false;

    if (plan_.life) {
        heading("Life counters: IDC_GetLifeInfo",
                {"What the reader has counted: cards taken in, track reads, chip activations."});
        if (!command({"life"}))
            return false;
    } else {
        out_ << "\n(Family C readers keep no life counters: IDC_GetLifeInfo is left out.)\n";
    }

    heading("Hand the card back: IDC_EjectCard",
            {"The card waits at the slot; the customer takes it (emulator)."});
    if (!command({"eject"}))
        return false;
    if (!reader_.RemoveCard()) {
        note("the card is not at the gate");
        return false;
    }

    if (!close())
        return false;

    heading("The trace: " + folder_.trace().string(),
            {"One enter and one leave line per call, with the device name (known from",
             "IDC_Init on) and the code; -1 is idcctl's mark in a record the call does not",
             "write. The file opens during IDC_SetCommPara, after that call's enter line,",
             "and a status that only says \"all well\" is not traced:"});
    const std::vector<std::string> trace = lines_of(read_file(folder_.trace()));
    for (const std::string& line : trace)
        out_ << "   " << line << '\n';
    if (trace.empty()) {
        note("the trace file is missing or empty");
        return false;
    }
    return true;
}

void demo(Session& s, StepReport& rep, const DemoArgs& args) {
    const Plan& plan = plan_for(args.family);
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
            std::ofstream ini(folder.config(), std::ios::binary);
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
        ok = walk.run();
        steps = walk.steps();
        if (args.keep)
            s.out << "\nThe working folder stays: " << folder.path().string() << '\n';
        else if (!ok)
            s.out << "\n(--keep leaves the configuration and the trace for a look)\n";
    } catch (const std::exception& e) {
        s.out << "demo: " << e.what() << '\n';
    }
    rep.ok = ok;
    rep.call_info = ok          ? std::to_string(steps) + " steps, " + seconds(Clock::now() - t0)
                    : steps > 0 ? "stopped at step " + std::to_string(steps)
                                : "could not start";
}

#else

void demo(Session&, StepReport& rep, const DemoArgs&) {
    rep.ok = false;
    rep.call_info = "needs a POSIX system: the reader emulator runs on a pseudo-terminal";
}

#endif

} // namespace

void define_demo(CLI::App& sub, std::vector<Step>& steps) {
    auto args = std::make_shared<DemoArgs>();
    sub.add_option("--family", args->family, "reader family to emulate: a, b or c")
        ->check(CLI::IsMember({"a", "b", "c"}, CLI::ignore_case))
        ->capture_default_str();
    sub.add_flag("--keep", args->keep, "keep the working folder (configuration and trace)");
    sub.parse_complete_callback([&sub, &steps, args] {
        const DemoArgs a = *args;
        steps.push_back(
            Step{sub.get_name(), [a](Session& s, StepReport& rep) { demo(s, rep, a); }, true});
        *args = DemoArgs{};
        sub.clear();
    });
}

} // namespace idcctl
