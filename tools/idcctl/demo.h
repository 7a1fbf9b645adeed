// idcctl demo: a walk through every kind of operation against an emulated
// reader on a pseudo-terminal, with a configuration and a trace of its own.
// Nothing to connect, nothing to configure: the quickest way to see the
// library at work.
#pragma once

#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"

namespace idcctl {

// The "demo" subcommand: --family a|b|c (default a) and --keep. Its step
// opens and closes the reader itself.
void DefineDemo(CLI::App& sub, std::vector<Step>& steps);

} // namespace idcctl
