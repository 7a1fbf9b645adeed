// idcctl's command line and run: load the library, open the reader, run the
// steps in order, close, report.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "commands.h"
#include "idc_api.h"
#include "json.h"

namespace idcctl {

enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,    // a step failed; the library's result and code are printed
    kExitUsage = 2,     // the command line is wrong
    kExitNoLibrary = 3, // the library cannot be loaded or lacks an IDC_ export
    kExitNotOpened = 4, // IDC_SetCommPara failed: no reader found or port not opened
};

struct Options {
    std::string library; // empty: the default
    std::string config;  // empty: QUILLON_CONFIG as it is
    bool json = false;
};

struct Invocation {
    Options options;
    std::vector<Step> steps;
    int exitCode = -1; // set when the run ends at parsing (help, usage error)
};

// Parses the command line; help goes to `out`, usage errors to `err`.
Invocation ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                            std::ostream& err);

// A loaded library with its exports resolved.
class LoadedLibrary {
public:
    virtual ~LoadedLibrary() = default;
    IdcApi api;
};

struct Host {
    // Loads the library at `path` with all 18 exports, or sets `error`.
    std::function<std::unique_ptr<LoadedLibrary>(const std::string& path, std::string& error)> load;
    std::string defaultLibrary;
    std::function<bool(const std::string& name, const std::string& value)> setEnv;
    bool terminal = false; // standard error is a terminal
    std::ostream& out;
    std::ostream& err;
};

struct RunOutcome {
    int exitCode = kExitOk;
    Json document; // what --json prints
};

// Runs the parsed steps. Text output goes to host.out as the steps finish;
// the JSON document is returned for the caller to print.
RunOutcome Execute(const Invocation& inv, Host& host);

// parse_command_line, execute, and the JSON document printed with --json.
int Run(int argc, const char* const* argv, Host& host);

} // namespace idcctl
