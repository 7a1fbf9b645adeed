// The subcommands: one per export of the library, each a step that calls it
// through an IdcApi and reports what came back, for people and for scripts.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "idc_api.h"
#include "json.h"

namespace idcctl {

struct Session {
    const IdcApi& api;
    bool progress;     // draw the progress line for long calls
    std::ostream& err; // where it is drawn
    std::ostream& out; // text output, for a step that reports as it goes
};

struct StepReport {
    std::string command;
    bool ok = false;
    std::string summary;            // "status: ok  (result 0, code 1201 ...)"
    std::string callInfo;           // the part in brackets: what the last call gave
    std::vector<std::string> lines; // details below the summary
    Json json = Json::Object();
};

using Action = std::function<void(Session&, StepReport&)>;

struct Step {
    std::string name;
    Action action;
    // The step brings its own reader and opens and closes it itself: it runs
    // alone, and the run hands it the loaded library without opening it.
    bool opensReader = false;
};

struct CommandSpec {
    const char* name;
    const char* help;
    // Declares the subcommand's arguments on `sub`; every use of the
    // subcommand on the command line appends one step to `steps`.
    void (*define)(CLI::App& sub, std::vector<Step>& steps);
};

// The subcommands in the order of the help text.
const std::vector<CommandSpec>& CommandTable();

// IDC_SetCommPara, which every run starts with.
StepReport OpenReader(Session& session);

// Runs one step and completes its report (summary, "command" and "ok").
StepReport RunStep(Session& session, const Step& step);

} // namespace idcctl
