#!/bin/sh
# Runs a Windows program under Wine in a private prefix, which is created on
# first use:  wine-run.sh <prefix> <program.exe> [arguments...]
# The program's exit code is passed on.
#
# A prefix serves one bitness: a new one is made for the first program run
# in it (32-bit, WINEARCH=win32, for a 32-bit program; else 64-bit, or
# WINEARCH when the first is a Wine command such as "reg"), and every later
# program runs with the loader of the prefix's bitness. Debian's 32-bit
# loader ("wine" once wine32 is installed) cannot start a 64-bit prefix, and
# wine64 no 32-bit prefix; a program of the other bitness is refused.
#
#   wine-run.sh --loader win32|win64
# prints the loader of that bitness when it runs here; exit code 1 when none
# is installed, 2 when the system does not run it (a kernel without 32-bit
# x86 programs runs no 32-bit Wine).
set -eu

find_tool() {
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

# The loader of a bitness. Debian installs the 32-bit one as
# /usr/lib/wine/wine; elsewhere "wine" is taken when it is a 32-bit program
# (Debian's "wine" is a script that picks a loader by what is installed).
loader() {
  if [ "$1" = win64 ]; then
    find_tool wine64 /usr/lib/wine/wine64
    return
  fi
  for candidate in /usr/lib/wine/wine $(find_tool wine || true); do
    # ELF, 32-bit class
    if [ -x "$candidate" ] && [ "$(od -An -tx1 -N5 "$candidate" | tr -d ' ')" = 7f454c4601 ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

if [ "${1:-}" = --loader ]; then
  wine=$(loader "$2") || exit 1
  if ! error=$("$wine" --version 2>&1 >/dev/null); then
    echo "$wine does not run here: $error" >&2
    exit 2
  fi
  echo "$wine"
  exit 0
fi

prefix=$1
shift
case $prefix in
  /*) ;;
  *) prefix=$PWD/$prefix ;; # Wine wants an absolute path
esac

# win32 or win64 for a 32-bit or 64-bit x86 Windows program; nothing for
# anything else (a Wine command).
program_arch() {
  [ -f "$1" ] || return 0
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  case $(od -An -tx1 -j"${pe:-0}" -N6 "$1" 2>/dev/null | tr -d ' ') in
    504500004c01) echo win32 ;; # "PE\0\0", machine i386
    504500006486) echo win64 ;; # "PE\0\0", machine x86-64
  esac
}

# The prefix's bitness: what this script made it with, else what Wine wrote
# into its registry (saved when a session ends).
arch=$(cat "$prefix/.quillon-ready" 2>/dev/null || true)
[ -n "$arch" ] || arch=$(sed -n 's/^#arch=//p' "$prefix/system.reg" 2>/dev/null || true)
program=$(program_arch "$1")
if [ -n "$arch" ] && [ -n "$program" ] && [ "$arch" != "$program" ]; then
  echo "wine-run.sh: $1 is a $program program, $prefix a $arch prefix (one prefix per bitness)" >&2
  exit 127
fi
arch=${arch:-${program:-${WINEARCH:-win64}}}
wine=$(loader "$arch") || {
  echo "wine-run.sh: no Wine loader for $arch (Debian: wine64, or wine32:i386 for win32)" >&2
  exit 127
}
server=$(find_tool wineserver64 /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32 wineserver) ||
  server=

export WINEPREFIX="$prefix" WINEARCH="$arch"
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
      echo "$arch" >"$prefix/.quillon-ready"
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
