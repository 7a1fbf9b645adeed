#!/usr/bin/env bash
# Quillon.dll in a host program under Wine, against a reader on a COM port:
#
#   wine-com-check.sh [64|32]       (the 64-bit build when not told)
#
# starts the family-A reader emulator (build/default/bin/idc-emu, built when
# missing), maps COM5 of the build's Wine prefix (build/mingw64/wineprefix or
# build/mingw32/wineprefix, 32-bit) to it and runs the build's
# quillon_host.exe (tests/windows_host), which checks the exports, a USB
# reader that is not there, and a card's visit.
#
# COM5 is mapped once per prefix (registry key HKLM\Software\Wine\Ports) to
# a fixed link, build/mingw<bits>/reader-com5, which each run points at a
# fresh emulator's pseudo-terminal: Wine configures a pseudo-terminal's
# parity on its first open only, so every run needs a new one.
#
# Without Wine of that bitness the check is skipped with a message, unless
# QUILLON_REQUIRE_WINDOWS=1 (CI), which makes a missing tool an error.
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$self")/.."
bits=${1:-64}
case $bits in
  32 | 64) ;;
  *)
    echo "usage: $0 [64|32]" >&2
    exit 2
    ;;
esac
build=build/mingw$bits

fail() {
  echo "wine-com-check: FAILED: $*" >&2
  exit 1
}
skip() {
  echo "wine-com-check: $*" >&2
  [ "${QUILLON_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
  echo "wine-com-check: SKIPPED" >&2
  exit 0
}

find_tool() {
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}
loader_status=0
reason=$(cmake/wine-run.sh --loader "win$bits" 2>&1 >/dev/null) || loader_status=$?
case $loader_status in
  0) ;;
  2)
    echo "wine-com-check: SKIPPED: this system runs no $bits-bit Wine (${reason##*: })" >&2
    exit 0
    ;;
  *) skip "missing $bits-bit Wine (Debian: wine64; wine32:i386 with i386 multiarch)" ;;
esac
server=$(find_tool wineserver64 /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32 wineserver) ||
  skip "missing wineserver (apt-get install wine64)"

# One run at a time per checkout: the link and the port are shared. The lock
# is not passed on to the programs started here (a Wine session outlives them).
lock=$build/reader-com5.lock
if [ "${QUILLON_COM_LOCKED:-}" != 1 ]; then
  mkdir -p "$build"
  QUILLON_COM_LOCKED=1 exec flock -o -w 300 "$lock" "$self" "$@"
fi

emu=build/default/bin/idc-emu
if [ ! -x "$emu" ]; then
  echo "== reader emulator (build/default)"
  [ -f build/default/build.ninja ] || cmake --preset default >/dev/null
  cmake --build --preset default --target idc-emu || fail "could not build $emu"
fi
cmake --build --preset "mingw$bits" --target quillon_host >/dev/null ||
  fail "could not build quillon_host.exe (cmake --workflow --preset mingw$bits first)"

export WINEPREFIX=$PWD/$build/wineprefix WINEARCH=win$bits
export WINEDEBUG=${WINEDEBUG:--all}
link=$PWD/$build/reader-com5

# Wine's mount manager maps the ports from the registry when a session
# starts: after a change the running session is ended.
if ! grep -qxF "\"COM5\"=\"$link\"" "$WINEPREFIX/system.reg" 2>/dev/null ||
  [ "$(readlink "$WINEPREFIX/dosdevices/com5" || true)" != "$link" ]; then
  echo "== COM5 -> $link (Wine registry)"
  cmake/wine-run.sh "$WINEPREFIX" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$link" /f >/dev/null ||
    fail "reg add HKLM\\Software\\Wine\\Ports failed"
  "$server" -k 2>/dev/null || true
fi

echo "== $bits-bit Quillon.dll in a host program, family-A emulator on COM5"
log=$(mktemp)
rm -f "$link"
"$emu" --family a --auto-insert --entry-delay 20 --link "$link" -v </dev/null >"$log" 2>&1 &
emu_pid=$!
stop_emulator() {
  kill "$emu_pid" 2>/dev/null || true
  wait "$emu_pid" 2>/dev/null || true
}
trap 'stop_emulator; rm -f "$log"' EXIT
for _ in $(seq 50); do
  [ -L "$link" ] && break
  kill -0 "$emu_pid" 2>/dev/null || break
  sleep 0.1
done
[ -L "$link" ] || { cat "$log" >&2; fail "the emulator did not start"; }

status=0
timeout 60 cmake/wine-run.sh "$WINEPREFIX" "$build/bin/quillon_host.exe" COM5 || status=$?
stop_emulator
if [ "$status" != 0 ]; then
  echo "-- emulator: port, then the commands it received" >&2
  cat "$log" >&2
  fail "quillon_host.exe exit code $status"
fi
echo "wine-com-check: passed ($bits-bit)"
