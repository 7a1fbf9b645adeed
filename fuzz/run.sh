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
[ ${#names[@]} -gt 0 ] || names=(family_a family_b family_c hid_a hid_b report_descriptor config exports xfs4iot_message)
# Two targets at a time (QUILLON_FUZZ_JOBS), each with its own log, shown
# whole when it ends.
jobs=${QUILLON_FUZZ_JOBS:-2}
one() {
  local name=$1 work=build/fuzz/work/$1
  mkdir -p "$work/corpus"
  if ( cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$root/build/fuzz/bin/fuzz_$name" \
         -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
         corpus "$root/fuzz/corpus/$name" "$root/fuzz/regressions/$name" ) >"$work/run.log" 2>&1; then
    { echo "== fuzz_$name for ${seconds}s: no finding"; tail -n 12 "$work/run.log"; } >&2
  else
    { echo "== fuzz_$name for ${seconds}s: FINDING"; cat "$work/run.log";
      echo "fuzz_$name found a fault: see $work/crash-* and the output above"; } >&2
    return 1
  fi
}
status=0
pids=()
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    sleep 1
  done
  one "$name" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit $status
