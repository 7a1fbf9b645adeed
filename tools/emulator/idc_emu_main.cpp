// idc-emu: a card reader on a pseudo-terminal, or with --hid a USB reader on
// a hidraw node served through FUSE. Prints the port or node path, then
// serves until stopped (SIGINT, SIGTERM or "quit"). Commands on standard
// input move the card and set faults; "help" lists them. A terminal is read
// only while idc-emu is in its foreground: started with "&" it keeps serving
// instead of being stopped for reading the terminal, and "fg" gives it the
// commands again.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <poll.h>
#include <sstream>
#include <unistd.h>

#include "emulator.h"
#if defined(QUILLON_EMU_HID)
#include "hid_reader.h"
#endif

using namespace quillon::emu;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

const char kHelp[] =
    "insert             offer the card at the gate\n"
    "remove             take the card from the gate\n"
    "letin              with --entry-delay -1: the card waiting at the gate goes in\n"
    "place none|gate|inside   put the card there at once\n"
    "jam | unjam        jam the mechanism or clear it\n"
    "refuse N | silent N | noreply N | corrupt N | drop N   reader faults (-1: always)\n"
    "module on|off      family A: auxiliary module present or absent\n"
    "force CMD KIND STATUS [TIMES]   reply KIND+STATUS to CMD (e.g. force C6a7 N 44)\n"
    "status             card position, counters, line statistics\n"
    "log                commands received so far\n"
    "help               this list\n"
    "quit\n";

// Standard input is ours to read unless it is a terminal whose foreground is
// another process group (a job started with "&": reading would stop it).
bool StdinReadable() {
    return !::isatty(0) || ::tcgetpgrp(0) == ::getpgrp();
}

std::string Printable(const std::string& s) {
    std::string r;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            r += static_cast<char>(c);
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "<%02X>", c);
            r += b;
        }
    }
    return r;
}

void PrintStatus(Emulator& emu) {
    const Counters c = emu.GetCounters();
    const Stats s = emu.GetStats();
    std::cout << "card " << Name(emu.Position()) << "; in " << c.cardsIn << ", ejects " << c.ejects
              << ", retains " << c.retains << ", retain bin " << c.retainBin << "; frames "
              << s.frames << ", bad " << s.badFrames << ", refused " << s.refused << ", ignored "
              << s.ignored << ", replies " << s.replies << ", cut " << s.cutFrames
              << ", out of turn " << s.outOfTurn << std::endl;
}

void Insert(Emulator& emu, std::istream&, const std::string&) {
    emu.InsertCard();
}

void LetIn(Emulator& emu, std::istream&, const std::string&) {
    if (!emu.LetCardIn())
        std::cout << "no card waiting to go in" << std::endl;
}

void Remove(Emulator& emu, std::istream&, const std::string&) {
    if (!emu.RemoveCard())
        std::cout << "no card at the gate" << std::endl;
}

void Place(Emulator& emu, std::istream& in, const std::string&) {
    std::string where;
    in >> where;
    if (where == "none")
        emu.PlaceCard(CardPosition::None);
    else if (where == "gate")
        emu.PlaceCard(CardPosition::Gate);
    else if (where == "inside")
        emu.PlaceCard(CardPosition::Inside);
    else
        std::cout << "place none|gate|inside" << std::endl;
}

void Jam(Emulator& emu, std::istream&, const std::string& word) {
    emu.Jam(word == "jam");
}

// A reader fault for the next N frames (-1: always).
void Fault(Emulator& emu, std::istream& in, const std::string& word) {
    static const std::map<std::string, int Faults::*> kFaults = {
        {"refuse", &Faults::refuse},   {"silent", &Faults::silent},
        {"noreply", &Faults::noReply}, {"corrupt", &Faults::corruptCheck},
        {"drop", &Faults::dropByte},
    };
    int n = 1;
    in >> n;
    const auto member = kFaults.at(word);
    emu.With([&](Engine& e) { e.ReaderFaults().*member = n; });
}

void Module(Emulator& emu, std::istream& in, const std::string&) {
    std::string on;
    in >> on;
    emu.SetModulePresent(on != "off");
}

void Force(Emulator& emu, std::istream& in, const std::string&) {
    std::string cmd, kind, status;
    int times = 1;
    in >> cmd >> kind >> status >> times;
    if (cmd.empty() || kind.size() != 1) {
        std::cout << "force CMD KIND STATUS [TIMES]" << std::endl;
        return;
    }
    emu.ForceReply(cmd, kind[0], status, times);
}

void Status(Emulator& emu, std::istream&, const std::string&) {
    PrintStatus(emu);
}

void Log(Emulator& emu, std::istream&, const std::string&) {
    for (const Received& r : emu.Log())
        std::cout << r.at << (r.module ? " module " : " reader ") << Printable(r.text) << std::endl;
}

struct CommandWord {
    const char* word;
    void (*run)(Emulator& emu, std::istream& in, const std::string& word);
};
const CommandWord kCommands[] = {
    {"insert", Insert}, {"letin", LetIn},   {"remove", Remove}, {"place", Place},
    {"jam", Jam},       {"unjam", Jam},     {"refuse", Fault},  {"silent", Fault},
    {"noreply", Fault}, {"corrupt", Fault}, {"drop", Fault},    {"module", Module},
    {"force", Force},   {"status", Status}, {"log", Log},
};

// One line from standard input; false to stop.
bool Command(Emulator& emu, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> word))
        return true;
    if (word == "quit" || word == "exit")
        return false;
    for (const CommandWord& c : kCommands) {
        if (word == c.word) {
            c.run(emu, in, word);
            return true;
        }
    }
    std::cout << kHelp << std::flush;
    return true;
}

// What the command line sets.
struct Settings {
    std::string family;
    Options opt;
    std::string cardAt = "none", chip = "t0", link, model, hidFolder;
    int memorySlot = 0;
    bool noModule = false, verbose = false;
};

void AddOptions(CLI::App& app, Settings& cfg) {
    app.add_option("--family", cfg.family, "reader family")
        ->required()
        ->check(CLI::IsMember({"a", "b", "c"}));
    app.add_option("--entry-delay", cfg.opt.entryDelay,
                   "ms between entry and the card inside (-1: until letin)");
    app.add_flag("--auto-insert", cfg.opt.autoInsert, "offer a card at every entry command");
    app.add_option("--card", cfg.cardAt, "where the card starts")
        ->check(CLI::IsMember({"none", "gate", "inside"}));
    app.add_option("--chip", cfg.chip, "chip of the card")
        ->check(CLI::IsMember({"none", "t0", "t1", "passive", "memory"}));
    app.add_option("--memory-slot", cfg.memorySlot, "memory chip kind 0..5")
        ->check(CLI::Range(0, 5));
    app.add_option("--model", cfg.model,
                   "A: CV0 identifier; B: CA1 firmware identifier; C: model name");
    app.add_flag("--no-module", cfg.noModule, "family A without its auxiliary module");
    app.add_option("--link", cfg.link, "also make this symbolic link to the port");
#if defined(QUILLON_EMU_HID)
    app.add_option("--hid", cfg.hidFolder,
                   "families a and b: a USB reader on a hidraw node under this folder instead "
                   "(FUSE; the library finds it with QUILLON_HIDRAW_ROOT=<folder>)");
#endif
    app.add_flag("-v,--verbose", cfg.verbose, "print every command received on standard error");
    app.footer(
        std::string("\nCommands, one a line on standard input. A terminal is read only while\n"
                    "idc-emu runs in its foreground: started with \"&\" it keeps serving,\n"
                    "\"fg\" gives it the commands again.\n") +
        kHelp);
}

// The default card with the chip asked for, where it starts.
void PutCard(Emulator& emu, const Settings& cfg) {
    Card card = Card::Default();
    static const std::map<std::string, ChipKind> kChips = {{"none", ChipKind::None},
                                                           {"t0", ChipKind::ProcessorT0},
                                                           {"t1", ChipKind::ProcessorT1},
                                                           {"passive", ChipKind::Passive},
                                                           {"memory", ChipKind::Memory}};
    card.chip = kChips.at(cfg.chip);
    card.memorySlot = cfg.memorySlot;
    emu.SetCard(card);
    emu.PlaceCard(cfg.cardAt == "gate"     ? CardPosition::Gate
                  : cfg.cardAt == "inside" ? CardPosition::Inside
                                           : CardPosition::None);
}

#if defined(QUILLON_EMU_HID)
// The reader on a hidraw node under folder; prints the node. Null when it
// cannot be served.
std::unique_ptr<HidReader> pStartHid(Emulator& emu, Family fam, const std::string& folder) {
    std::string why = "family c has no USB reader";
    auto hid = std::make_unique<HidReader>(emu);
    if (fam == Family::C || !hid->bStart(why, folder)) {
        std::cerr << "idc-emu: " << why << std::endl;
        return nullptr;
    }
    std::cout << hid->Node().DevDir() << "/hidraw0" << std::endl;
    return hid;
}
#endif

// The reader on a pseudo-terminal (and the link to it); prints the port.
bool bStartPort(Emulator& emu, const std::string& link) {
    std::string port;
    try {
        port = emu.Start();
    } catch (const std::exception& e) {
        std::cerr << "idc-emu: " << e.what() << std::endl;
        return false;
    }
    if (!link.empty()) {
        (void)::unlink(link.c_str());
        if (::symlink(port.c_str(), link.c_str()) != 0) {
            std::perror(link.c_str());
            return false;
        }
    }
    std::cout << port << std::endl;
    return true;
}

// The commands received since the last call, on standard error.
void ShowReceived(Emulator& emu, size_t& shown) {
    const std::vector<Received> log = emu.Log();
    for (; shown < log.size(); ++shown)
        std::cerr << log[shown].at << (log[shown].module ? " module " : " reader ")
                  << Printable(log[shown].text) << std::endl;
}

// Reads standard input and runs the whole lines; false once it is closed.
bool bTakeInput(Emulator& emu, std::string& pending) {
    char buf[512];
    const ssize_t got = ::read(0, buf, sizeof buf);
    if (got <= 0)
        return false;
    pending.append(buf, static_cast<size_t>(got));
    if (pending.size() > 4096)
        pending.erase(0, pending.size() - 4096);
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (!Command(emu, line))
            g_stop = 1;
    }
    return true;
}

// Serves until a signal or "quit".
void Serve(Emulator& emu, bool verbose) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::string pending;
    bool stdinOpen = true;
    size_t shown = 0;
    while (!g_stop) {
        pollfd p{0, POLLIN, 0};
        const bool readStdin = stdinOpen && StdinReadable();
        const int n = ::poll(&p, readStdin ? 1 : 0, 100);
        if (verbose)
            ShowReceived(emu, shown);
        if (n > 0 && readStdin)
            stdinOpen = bTakeInput(emu, pending); // closed: keep serving until a signal
    }
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Card reader emulator on a pseudo-terminal"};
    Settings cfg;
    AddOptions(app, cfg);
    CLI11_PARSE(app, argc, argv);

    const Family fam = cfg.family == "a" ? Family::A : cfg.family == "b" ? Family::B : Family::C;
    if (!cfg.model.empty())
        (fam == Family::A   ? cfg.opt.modelA
         : fam == Family::B ? cfg.opt.firmwareB
                            : cfg.opt.modelC) = cfg.model;
    cfg.opt.modulePresent = !cfg.noModule;

    Emulator emu(fam, cfg.opt);
    PutCard(emu, cfg);
#if defined(QUILLON_EMU_HID)
    std::unique_ptr<HidReader> hid;
    if (!cfg.hidFolder.empty() && !(hid = pStartHid(emu, fam, cfg.hidFolder)))
        return 1;
#endif
    if (cfg.hidFolder.empty() && !bStartPort(emu, cfg.link))
        return 1;
    Serve(emu, cfg.verbose);
    emu.Stop();
    if (!cfg.link.empty() && cfg.hidFolder.empty())
        (void)::unlink(cfg.link.c_str());
    return 0;
}
