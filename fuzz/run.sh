#!/usr/bin/env bash
# Runs every fuzz target (or those named) for SECONDS each, from its seed
# corpus and regression inputs, growing a working corpus in build/fuzz/work/.
# Usage: fuzz/run.sh SECONDS [name ...]     (build with the fuzz preset first)
# A finding stops the target; its input is left as build/fuzz/work/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:?seconds per target}
shift
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(family_a family_b family_c hid_a hid_b report_descriptor config exports)
status=0
for name in "${names[@]}"; do
  work=build/fuzz/work/$name
  mkdir -p "$work/corpus"
  echo "== fuzz_$name for ${seconds}s" >&2
  if ! ( cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$root/build/fuzz/bin/fuzz_$name" \
           -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
           corpus "$root/fuzz/corpus/$name" "$root/fuzz/regressions/$name" ); then
    echo "fuzz_$name found a fault: see $work/crash-* and the output above" >&2
    status=1
  fi
done
exit $status
