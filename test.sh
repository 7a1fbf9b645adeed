#!/usr/bin/env bash
# Runs every test: the native build's, then the Windows builds' (MinGW-w64
# cross builds, export tables, the 64-bit tests under Wine; skipped with a
# message when those tools are not installed).
set -euo pipefail
cd "$(dirname "$0")"
cmake --workflow --preset test
tools/windows-check.sh
