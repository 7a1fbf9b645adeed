#!/usr/bin/env bash
# Lines and branches of src/ and service/ that the tests reached, from the
# counters of a build made with --coverage after its tests ran:
#
#   cmake --workflow --preset coverage && tools/coverage/summary.sh [build/coverage]
#
# Branches that only an exception or an unreachable path takes are not
# counted (gcovr --exclude-throw-branches --exclude-unreachable-branches).
# Needs gcovr (Debian package gcovr).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/coverage}
# gcovr replaces its output file (never name /dev/null: it becomes a file);
# one gcov at a time (two in one folder clash over a header's .gcov).
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Objects of sources that left a target stay in the build folder; their
# notes disagree with the new ones (gcovr stops on it): they go first.
find "$build" -name '*.gcno' -path '*/CMakeFiles/*.dir/*' | while read -r gcno; do
  object=${gcno%.gcno}.o
  grep -qF "${object#"$build"/}" "$build/build.ninja" 2>/dev/null ||
    rm -f "$gcno" "${gcno%.gcno}.gcda" "$object"
done
for dir in src service; do
  echo "== $dir/"
  gcovr --root . --filter "$dir/" --exclude-throw-branches --exclude-unreachable-branches \
    --gcov-ignore-parse-errors --print-summary -o "$out/report.txt" "$build" |
    grep -E '^(lines|branches):'
done
