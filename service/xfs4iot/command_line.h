// The command line the service control manager starts the service with:
// this program's own arguments minus --install-service, the configuration
// as an absolute path, each argument quoted as Windows programs split them
// (CommandLineToArgvW and the C runtime).
#pragma once

#include <string>
#include <vector>

namespace quillon::xfs {

// argv[1..] without --install-service and without --config and its value;
// "--config" and sConfig in front.
std::vector<std::string> ServiceArguments(int argc, const char* const* argv,
                                          const std::string& sConfig);

// One argument as a Windows program reads it back: bare when it holds no
// blank or quote, else in quotes, with a backslash before each quote and
// the backslashes before a quote or the closing quote doubled.
std::string QuotedArgument(const std::string& s);

// The program's path and the arguments, quoted, separated by blanks.
std::string WindowsCommandLine(const std::string& sProgram, const std::vector<std::string>& args);

} // namespace quillon::xfs
