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

// One line from standard input; false to stop.
bool Command(Emulator& emu, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> word))
        return true;
    static const std::map<std::string, int Faults::*> kFaults = {
        {"refuse", &Faults::refuse},   {"silent", &Faults::silent},
        {"noreply", &Faults::noReply}, {"corrupt", &Faults::corruptCheck},
        {"drop", &Faults::dropByte},
    };
    if (word == "quit" || word == "exit")
        return false;
    if (word == "insert") {
        emu.InsertCard();
    } else if (word == "letin") {
        if (!emu.LetCardIn())
            std::cout << "no card waiting to go in" << std::endl;
    } else if (word == "remove") {
        if (!emu.RemoveCard())
            std::cout << "no card at the gate" << std::endl;
    } else if (word == "place") {
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
    } else if (word == "jam" || word == "unjam") {
        emu.Jam(word == "jam");
    } else if (kFaults.count(word)) {
        int n = 1;
        in >> n;
        const auto member = kFaults.at(word);
        emu.With([&](Engine& e) { e.ReaderFaults().*member = n; });
    } else if (word == "module") {
        std::string on;
        in >> on;
        emu.SetModulePresent(on != "off");
    } else if (word == "force") {
        std::string cmd, kind, status;
        int times = 1;
        in >> cmd >> kind >> status >> times;
        if (cmd.empty() || kind.size() != 1) {
            std::cout << "force CMD KIND STATUS [TIMES]" << std::endl;
            return true;
        }
        emu.ForceReply(cmd, kind[0], status, times);
    } else if (word == "status") {
        PrintStatus(emu);
    } else if (word == "log") {
        for (const Received& r : emu.Log())
            std::cout << r.at << (r.module ? " module " : " reader ") << Printable(r.text)
                      << std::endl;
    } else {
        std::cout << kHelp << std::flush;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Card reader emulator on a pseudo-terminal"};
    std::string family;
    Options opt;
    std::string cardAt = "none", chip = "t0", link;
    int memorySlot = 0;
    bool noModule = false, verbose = false;
    std::string model;
    app.add_option("--family", family, "reader family")
        ->required()
        ->check(CLI::IsMember({"a", "b", "c"}));
    app.add_option("--entry-delay", opt.entryDelay,
                   "ms between entry and the card inside (-1: until letin)");
    app.add_flag("--auto-insert", opt.autoInsert, "offer a card at every entry command");
    app.add_option("--card", cardAt, "where the card starts")
        ->check(CLI::IsMember({"none", "gate", "inside"}));
    app.add_option("--chip", chip, "chip of the card")
        ->check(CLI::IsMember({"none", "t0", "t1", "passive", "memory"}));
    app.add_option("--memory-slot", memorySlot, "memory chip kind 0..5")->check(CLI::Range(0, 5));
    app.add_option("--model", model,
                   "A: CV0 identifier; B: CA1 firmware identifier; C: model name");
    app.add_flag("--no-module", noModule, "family A without its auxiliary module");
    app.add_option("--link", link, "also make this symbolic link to the port");
    std::string hidFolder;
#if defined(QUILLON_EMU_HID)
    app.add_option("--hid", hidFolder,
                   "families a and b: a USB reader on a hidraw node under this folder instead "
                   "(FUSE; the library finds it with QUILLON_HIDRAW_ROOT=<folder>)");
#endif
    app.add_flag("-v,--verbose", verbose, "print every command received on standard error");
    app.footer(
        std::string("\nCommands, one a line on standard input. A terminal is read only while\n"
                    "idc-emu runs in its foreground: started with \"&\" it keeps serving,\n"
                    "\"fg\" gives it the commands again.\n") +
        kHelp);
    CLI11_PARSE(app, argc, argv);

    const Family fam = family == "a" ? Family::A : family == "b" ? Family::B : Family::C;
    if (!model.empty())
        (fam == Family::A ? opt.modelA : fam == Family::B ? opt.firmwareB : opt.modelC) = model;
    opt.modulePresent = !noModule;

    Emulator emu(fam, opt);
    Card card = Card::Default();
    static const std::map<std::string, ChipKind> kChips = {{"none", ChipKind::None},
                                                           {"t0", ChipKind::ProcessorT0},
                                                           {"t1", ChipKind::ProcessorT1},
                                                           {"passive", ChipKind::Passive},
                                                           {"memory", ChipKind::Memory}};
    card.chip = kChips.at(chip);
    card.memorySlot = memorySlot;
    emu.SetCard(card);
    emu.PlaceCard(cardAt == "gate"     ? CardPosition::Gate
                  : cardAt == "inside" ? CardPosition::Inside
                                       : CardPosition::None);

#if defined(QUILLON_EMU_HID)
    std::unique_ptr<HidReader> hid;
    if (!hidFolder.empty()) {
        std::string why = "family c has no USB reader";
        hid = std::make_unique<HidReader>(emu);
        if (fam == Family::C || !hid->bStart(why, hidFolder)) {
            std::cerr << "idc-emu: " << why << std::endl;
            return 1;
        }
        std::cout << hid->Node().DevDir() << "/hidraw0" << std::endl;
    }
#endif
    if (hidFolder.empty()) {
        std::string port;
        try {
            port = emu.Start();
        } catch (const std::exception& e) {
            std::cerr << "idc-emu: " << e.what() << std::endl;
            return 1;
        }
        if (!link.empty()) {
            (void)::unlink(link.c_str());
            if (::symlink(port.c_str(), link.c_str()) != 0) {
                std::perror(link.c_str());
                return 1;
            }
        }
        std::cout << port << std::endl;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::string pending;
    bool stdinOpen = true;
    size_t shown = 0;
    while (!g_stop) {
        pollfd p{0, POLLIN, 0};
        const bool readStdin = stdinOpen && StdinReadable();
        const int n = ::poll(&p, readStdin ? 1 : 0, 100);
        if (verbose) {
            const std::vector<Received> log = emu.Log();
            for (; shown < log.size(); ++shown)
                std::cerr << log[shown].at << (log[shown].module ? " module " : " reader ")
                          << Printable(log[shown].text) << std::endl;
        }
        if (n <= 0 || !readStdin)
            continue;
        char buf[512];
        const ssize_t got = ::read(0, buf, sizeof buf);
        if (got <= 0) {
            stdinOpen = false; // keep serving until a signal
            continue;
        }
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
    }
    emu.Stop();
    if (!link.empty() && hidFolder.empty())
        (void)::unlink(link.c_str());
    return 0;
}
