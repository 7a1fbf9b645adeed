#!/usr/bin/env bash
# The demo in one command: installs the missing build packages, configures (preset "default"), builds the library,
# the trace library and idcctl, and runs "idcctl demo": an emulated reader on
# a pseudo-terminal, driven through the library's exports step by step.
# Arguments go to the demo: ./demo.sh --family b
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh # the build's Debian packages, when missing
cmake --preset default
cmake --build --preset default --target quillon vantrel idcctl
exec build/default/bin/idcctl demo "$@"
