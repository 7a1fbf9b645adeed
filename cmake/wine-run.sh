#!/bin/sh
# Runs a Windows program under Wine in a private prefix, which is created on
# first use:  wine-run.sh <prefix> <program.exe> [arguments...]
# The program's exit code is passed on.
set -eu
prefix=$1
shift
case $prefix in
  /*) ;;
  *) prefix=$PWD/$prefix ;; # Wine wants an absolute path
esac

find_tool() {
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}
wine=$(find_tool wine64 /usr/lib/wine/wine64 wine) || {
  echo "wine-run.sh: no wine64 found (Debian package wine64)" >&2
  exit 127
}
server=$(find_tool wineserver64 /usr/lib/wine/wineserver64 wineserver) || server=

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# A Wine session (wineserver and its services) takes seconds to start, so
# one session outlives each program by 30 s and serves a whole test run. The
# session is started here, under a lock, by a program whose output goes
# nowhere: the services it leaves running inherit that program's output,
# and a test runner would otherwise wait for them to close the test's pipe.
# Nothing started here keeps the lock (9>&-).
mkdir -p "$prefix"
(
  flock 9
  started=0
  # Exit code 0: started now; 2: running already.
  if [ -n "$server" ] && "$server" -p30 </dev/null >/dev/null 2>&1 9>&-; then
    started=1
  fi
  if [ ! -f "$prefix/.quillon-ready" ]; then
    if "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-; then
      touch "$prefix/.quillon-ready"
    fi
  elif [ "$started" = 1 ]; then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"

# Now and then Wine ends a program before it has run at all: no output, a
# failing exit code (CI saw a test program end so after 0.05 s). Every
# program run here says something once it runs (a test program its banner),
# so only such a silent failure is run once more; a program that ran and
# failed is never run again, and nothing that failed is hidden.
#
# The program runs in the background so that a signal for this script (a
# time-out's TERM) reaches it at once and its output so far is still shown;
# its standard input is this script's (kept on descriptor 3).
out=$(mktemp) err=$(mktemp)
child= signalled=
show() { cat "$out"; cat "$err" >&2; rm -f "$out" "$err"; }
forward() { signalled=$1; [ -z "$child" ] || kill "-$1" "$child" 2>/dev/null || true; }
trap 'forward TERM' TERM
trap 'forward INT' INT
trap 'forward HUP' HUP
exec 3<&0
for attempt in 1 2; do
  "$wine" "$@" <&3 3<&- >"$out" 2>"$err" &
  child=$!
  status=0
  wait "$child" || status=$?
  while kill -0 "$child" 2>/dev/null; do # a forwarded signal ended the wait
    status=0
    wait "$child" || status=$?
  done
  if [ -n "$signalled" ] || [ "$status" = 0 ] || [ -s "$out" ] || [ -s "$err" ] ||
    [ "$attempt" = 2 ]; then
    break
  fi
  echo "wine-run.sh: $1 ended with $status before printing anything; running it once more" >&2
done
show
exit "$status"
