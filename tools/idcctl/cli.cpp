#include "cli.h"

#include <algorithm>
#include <filesystem>

namespace idcctl {

namespace {

const char kFooter[] = R"(
Subcommands run in the order given, between one IDC_SetCommPara and one
IDC_CloseComm; the first that fails ends the run:
  idcctl init 1 accept 1 wait-card read-tracks eject
No reader at hand? "idcctl demo" runs everything against an emulated one.

Exit codes:
  0  every step succeeded
  1  a step failed (the library's result and code are printed)
  2  usage error
  3  the library cannot be loaded, or an IDC_ export is missing
  4  IDC_SetCommPara failed (no reader found, or the port cannot be opened)
)";

void PrintReport(std::ostream& out, const StepReport& rep) {
    out << rep.summary << '\n';
    for (const auto& line : rep.lines)
        out << line << '\n';
    out << std::flush;
}

} // namespace

Invocation ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                            std::ostream& err) {
    Invocation inv;
    CLI::App app{"idcctl: check an ID-card reader through the Quillon library"};
    app.footer(kFooter);
    app.require_subcommand(1, 0);
    app.fallthrough(); // global options may also follow the subcommands
    app.add_option("--lib", inv.options.library,
                   "the library to load (default: the one next to idcctl, then the system's "
                   "search)");
    app.add_option("--config", inv.options.config, "configuration file (sets QUILLON_CONFIG)");
    app.add_flag("--json", inv.options.json, "print one JSON document instead of text");
    for (const auto& c : CommandTable()) {
        CLI::App* sub = app.add_subcommand(c.name, c.help);
        c.define(*sub, inv.steps);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        inv.exitCode = code == 0 ? kExitOk : kExitUsage;
        inv.steps.clear();
        return inv;
    }
    const auto alone = std::find_if(inv.steps.begin(), inv.steps.end(),
                                    [](const Step& s) { return s.opensReader; });
    if (alone != inv.steps.end() &&
        (inv.steps.size() > 1 || inv.options.json || !inv.options.config.empty())) {
        err << "idcctl: " << alone->name
            << " runs alone: no other subcommand, no --json, no --config" << std::endl;
        inv.exitCode = kExitUsage;
        inv.steps.clear();
    }
    return inv;
}

namespace {

// The library to load. A step that brings its own reader (the demo, alone)
// changes the working directory, and the library finds its trace library by
// its own path: a relative path to it must not depend on the working
// directory.
std::string LibraryPath(const Options& opt, const Host& host, bool alone) {
    std::string path = opt.library.empty() ? host.defaultLibrary : opt.library;
    if (alone && path.find_first_of("/\\") != std::string::npos) {
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
        if (!ec)
            path = absolute.string();
    }
    return path;
}

// The steps in order on the opened reader; after a failure the rest are
// skipped. Their reports go into doc; the exit code.
int RunSteps(Session& session, const Invocation& inv, Host& host, Json& doc) {
    Json steps = Json::Array();
    Json skipped = Json::Array();
    int code = kExitOk;
    for (const Step& step : inv.steps) {
        if (code != kExitOk) {
            skipped.Push(step.name);
            if (!inv.options.json)
                host.out << step.name << ": skipped" << std::endl;
            continue;
        }
        const StepReport rep = RunStep(session, step);
        if (!inv.options.json)
            PrintReport(host.out, rep);
        steps.Push(rep.json);
        if (!rep.ok)
            code = kExitFailed;
    }
    doc.Set("steps", std::move(steps));
    doc.Set("skipped", std::move(skipped));
    return code;
}

} // namespace

RunOutcome Execute(const Invocation& inv, Host& host) {
    RunOutcome outcome;
    Json& doc = outcome.document;
    doc = Json::Object();
    const Options& opt = inv.options;
    const bool alone = inv.steps.size() == 1 && inv.steps.front().opensReader;
    const std::string path = LibraryPath(opt, host, alone);
    doc.Set("library", path);
    doc.Set("config", opt.config.empty() ? Json() : Json(opt.config));

    auto finish = [&](int code, const std::string& error) {
        if (!error.empty()) {
            host.err << "idcctl: " << error << std::endl;
            doc.Set("error", error);
        }
        doc.Set("ok", code == kExitOk);
        doc.Set("exit_code", code);
        outcome.exitCode = code;
        return outcome;
    };

    if (!opt.config.empty() && !host.setEnv("QUILLON_CONFIG", opt.config))
        return finish(kExitUsage, "cannot set QUILLON_CONFIG");

    std::string error;
    std::unique_ptr<LoadedLibrary> lib = host.load(path, error);
    if (!lib)
        return finish(kExitNoLibrary, error.empty() ? "cannot load " + path : error);

    // IDC_CloseComm ends every run that got the library, whatever happens.
    struct Closer {
        const IdcApi& api;
        ~Closer() { api.CloseComm(); }
    } closer{lib->api};

    Session session{lib->api, host.terminal && !opt.json, host.err, host.out};
    if (alone) {
        const StepReport rep = RunStep(session, inv.steps.front());
        PrintReport(host.out, rep);
        return finish(rep.ok ? kExitOk : kExitFailed, "");
    }

    const StepReport open = OpenReader(session);
    doc.Set("open", open.json);
    if (!open.ok)
        return finish(kExitNotOpened, "cannot open the reader: " + open.callInfo);

    return finish(RunSteps(session, inv, host, doc), "");
}

int Run(int argc, const char* const* argv, Host& host) {
    const Invocation inv = ParseCommandLine(argc, argv, host.out, host.err);
    if (inv.exitCode >= 0)
        return inv.exitCode;
    const RunOutcome outcome = Execute(inv, host);
    if (inv.options.json)
        host.out << outcome.document.Dump(2) << std::endl;
    return outcome.exitCode;
}

} // namespace idcctl
