#!/usr/bin/env bash
# The XFS4IoT service for Windows under wine64, in a fresh Wine prefix
# (build/mingw64/service-prefix), with the family-A reader emulator behind
# Wine's COM3 and the black-box client (tests/service/xfs4iot_client.py)
# on Linux reading the card's tracks and chip's answer to reset:
#
#   1. quillon-xfs4iot.exe from a console, Port=COM3 in a Windows path;
#      refusals of wss and of a non-loopback address; Ctrl+C stops it;
#   2. registered with --install-service, a start-up refusal in the event
#      log; registered again, started and stopped through the service
#      control manager (net start / net stop), its start and stop in the
#      event log; removed with --uninstall-service;
#   3. the 64-bit MSI installed silently (msiexec /i /qn): the files in
#      place, the service registered and started by the manager serving the
#      client, the installed Quillon.dll loaded by quillon_host.exe
#      (tests/windows_host); an upgrade to a later version keeping an edited
#      configuration; uninstalled (msiexec /x /qn), leaving the
#      configuration alone.
#
#   wine-service-check.sh
#
# Wine writes the event log's entries on its debug channel "eventlog": the
# session's services run with WINEDEBUG=+eventlog, their output in
# build/mingw64/service-session.log. Without wine64 or wixl the check is
# skipped with a message, unless QUILLON_REQUIRE_WINDOWS=1 (CI).
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$self")/.."
build=build/mingw64

fail() {
  echo "wine-service-check: FAILED: $*" >&2
  for f in "$work"/*.log; do
    [ -s "$f" ] && { echo "== $f" >&2; tail -20 "$f" >&2; }
  done
  echo "== the event log (Wine's channel eventlog)" >&2
  grep -a 'eventlog:ReportEventW' "$session_log" 2>/dev/null | tail -20 >&2
  exit 1
}
skip() {
  echo "wine-service-check: $*" >&2
  [ "${QUILLON_REQUIRE_WINDOWS:-0}" = 1 ] && exit 1
  echo "wine-service-check: SKIPPED" >&2
  exit 0
}

loader_status=0
wine=$(cmake/wine-run.sh --loader win64 2>/dev/null) || loader_status=$?
case $loader_status in
  0) ;;
  2)
    echo "wine-service-check: SKIPPED: this system runs no 64-bit Wine" >&2
    exit 0
    ;;
  *) skip "missing wine64" ;;
esac
server=$(command -v wineserver64 || command -v /usr/lib/wine/wineserver64 || command -v wineserver) ||
  skip "missing wineserver (apt-get install wine64)"
command -v wixl >/dev/null || skip "missing wixl (apt-get install wixl)"

# One run at a time per checkout: the prefix and the port's link are shared.
if [ "${QUILLON_SERVICE_LOCKED:-}" != 1 ]; then
  mkdir -p "$build"
  QUILLON_SERVICE_LOCKED=1 exec flock -o -w 600 "$build/service-check.lock" "$self" "$@"
fi

emu=build/default/bin/idc-emu
if [ ! -x "$emu" ]; then
  [ -f build/default/build.ninja ] || cmake --preset default >/dev/null
  cmake --build --preset default --target idc-emu >/dev/null || fail "could not build $emu"
fi
cmake --build --preset mingw64 --target quillon-xfs4iot quillon_host quillon_msi >/dev/null ||
  fail "could not build the 64-bit service, quillon_host.exe or the MSI"
version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi=$build/packages/Quillon-$version-x64.msi

export WINEPREFIX=$PWD/$build/service-prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
link=$PWD/$build/service-com3
session_log=$PWD/$build/service-session.log
work=$(mktemp -d)
emu_pid=
stop_emulator() {
  [ -z "$emu_pid" ] || kill "$emu_pid" 2>/dev/null || true
  [ -z "$emu_pid" ] || wait "$emu_pid" 2>/dev/null || true
  emu_pid=
}
cleanup() {
  stop_emulator
  "$server" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

w() { timeout 120 "$wine" "$@" </dev/null; }
# Waits up to 30 s for a text in a file.
wait_for() {
  for _ in $(seq 300); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# A fresh emulator behind COM3 for each program that opens the port: Wine
# sets a pseudo-terminal's line only on its first open.
emulator() {
  stop_emulator
  rm -f "$link"
  "$emu" --family a --link "$link" -v "$@" </dev/null >"$work/emu.log" 2>&1 &
  emu_pid=$!
  wait_for "$work/emu.log" /dev/ || fail "the emulator did not start"
}
client() { # port
  timeout 120 /usr/bin/python3 tests/service/xfs4iot_client.py --port "$1" >"$work/client.log" 2>&1 ||
    fail "the client against port $1"
  grep -q '^answer to reset: 3B' "$work/client.log" || fail "no answer to reset read"
  grep -q '^track2: 36 characters' "$work/client.log" || fail "no track 2 read"
}
event() { # text [line]: an entry of the service in the event log (from that line on)
  for _ in $(seq 300); do
    tail -n +"${2:-1}" "$session_log" | grep -qF "eventlog:ReportEventW L\"$1" && return 0
    sleep 0.1
  done
  fail "no event log entry \"$1\""
}
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

echo "== fresh Wine prefix, COM3 -> $link"
"$server" -k 2>/dev/null || true
rm -rf "$WINEPREFIX" "$session_log"
w wineboot -i >/dev/null 2>&1 || fail "wineboot"
w reg add 'HKLM\Software\Wine\Ports' /v COM3 /d "$link" /f >/dev/null || fail "reg add COM3"
"$server" -w
# The session that runs the services, which write the event log to its log.
"$server" -p </dev/null >/dev/null 2>&1
WINEDEBUG=-all,+eventlog w cmd /c exit >/dev/null 2>"$session_log" || fail "the Wine session"
data='C:\ProgramData\Quillon'
mkdir -p "$WINEPREFIX/drive_c/ProgramData/Quillon"
printf '[CARDREADER]\r\nPort=COM3\r\n[CardReaderType]\r\nCardReaderType=1\r\n' \
  >"$WINEPREFIX/drive_c/ProgramData/Quillon/Quillon.ini"
exe=$build/bin/quillon-xfs4iot.exe

echo "== 1. from a console"
while IFS='|' read -r args expected; do
  # shellcheck disable=SC2086 # the arguments of the row
  if w "$exe" --config "$data\\Quillon.ini" $args >/dev/null 2>"$work/refused.log"; then
    fail "started with $args"
  fi
  grep -q -- "$expected" "$work/refused.log" || fail "$args: no \"$expected\""
done <<'EOF'
--port 0 --tls-cert C:\cert.pem --tls-key C:\key.pem|serves no TLS (wss)
--port 0 --address 0.0.0.0|refusing to serve 0.0.0.0 without TLS
EOF
emulator --card inside --chip t0
timeout 120 "$wine" "$exe" --config "$data\\Quillon.ini" --port 0 </dev/null >/dev/null 2>"$work/console.log" &
console_pid=$!
wait_for "$work/console.log" "listening on ws://" || fail "the service did not start"
client "$(sed -n 's/.*listening on ws:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/console.log")"
kill -INT "$console_pid"
wait "$console_pid" || fail "exit status $? after Ctrl+C"
grep -q "info: stopped" "$work/console.log" || fail "no clean stop after Ctrl+C"

echo "== 2. --install-service, net start, net stop, --uninstall-service"
# With the trace on: its relative folder (Vantrel\) is below the
# configuration's folder, not below System32 where the manager starts it.
{
  cat "$WINEPREFIX/drive_c/ProgramData/Quillon/Quillon.ini"
  printf '[DllExtFunc]\r\nRemainDays=1\r\n'
} >"$WINEPREFIX/drive_c/ProgramData/Quillon/Traced.ini"
emulator --card inside --chip t0
w "$exe" --install-service --config "$data\\Traced.ini" --address 0.0.0.0 >/dev/null ||
  fail "--install-service"
w net start QuillonXfs4IoT >/dev/null 2>&1 || true
event "refusing to serve 0.0.0.0 without TLS"
port=$(free_port)
w "$exe" --install-service --config "$data\\Traced.ini" --port "$port" >"$work/install.log" ||
  fail "--install-service again"
w reg query 'HKLM\System\CurrentControlSet\Services\QuillonXfs4IoT' >"$work/reg.log" ||
  fail "the service is not registered"
grep -q 'Start.*0x2' "$work/reg.log" || fail "not started automatically"
grep -qF -- "--config $data\\Traced.ini --port $port" "$work/reg.log" || fail "its command line"
w net start QuillonXfs4IoT >/dev/null 2>&1 || fail "net start"
event "listening on ws://127.0.0.1:$port"
client "$port"
w net stop QuillonXfs4IoT >/dev/null 2>&1 || fail "net stop"
event "stopping: the service control manager asks"
event "stopped"
ls "$WINEPREFIX"/drive_c/ProgramData/Quillon/Vantrel/*.log >/dev/null 2>&1 ||
  fail "no trace in C:\\ProgramData\\Quillon\\Vantrel"
w "$exe" --uninstall-service >/dev/null || fail "--uninstall-service"
if w reg query 'HKLM\System\CurrentControlSet\Services\QuillonXfs4IoT' >/dev/null 2>&1; then
  fail "the service is still registered"
fi

echo "== 3. the MSI: msiexec /i /qn, the service, quillon_host.exe, upgrade, msiexec /x /qn"
rm -rf "$WINEPREFIX/drive_c/ProgramData/Quillon"
emulator --card inside --chip t0
line=$(($(wc -l <"$session_log") + 1))
w msiexec /i "Z:$PWD/$msi" /qn >/dev/null 2>&1 || fail "msiexec /i $msi"
installed="$WINEPREFIX/drive_c/Program Files/Quillon"
for f in Quillon.dll Vantrel.dll idcctl.exe quillon-xfs4iot.exe include/quillon/idc.h \
  lib/libQuillon.dll.a lib/quillon.def doc/README.md; do
  [ -f "$installed/$f" ] || fail "not installed: $f"
done
ini="$WINEPREFIX/drive_c/ProgramData/Quillon/Quillon.ini"
grep -q '^Port=COM3' "$ini" || fail "no sample configuration in ProgramData"
w reg query 'HKLM\System\CurrentControlSet\Services\QuillonXfs4IoT' >"$work/reg.log" ||
  fail "the MSI registered no service"
# Started by the installer, on the first free port of 5846-5856.
event "listening on ws://127.0.0.1:58" "$line"
port=$(tail -n +"$line" "$session_log" | sed -n 's/.*listening on ws:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p')
client "$port"
w net stop QuillonXfs4IoT >/dev/null 2>&1 || fail "net stop (the MSI's service)"
# The installed Quillon.dll, loaded by name from the working directory by a
# host program in a folder of its own.
mkdir -p "$WINEPREFIX/drive_c/host"
cp "$build/bin/quillon_host.exe" "$WINEPREFIX/drive_c/host/"
emulator --auto-insert --entry-delay 20
(cd "$installed" && timeout 120 "$wine" 'C:\host\quillon_host.exe' COM3 </dev/null >"$work/host.log" 2>&1) ||
  fail "quillon_host.exe with the installed Quillon.dll"

echo "== upgrade: a later version over this one keeps the edited configuration"
echo "; edited on this machine" >>"$ini"
later=$work/Quillon-later-x64.msi
(cd "$build" && wixl -a x64 -D Version=99.0.0 -D Arch=x64 -D Bin=bin -D Lib=lib -D Src=../.. \
  -o "$later" ../../packaging/windows/quillon.wxs) || fail "wixl (the later version)"
w msiexec /i "Z:$later" /qn >/dev/null 2>&1 || fail "msiexec /i (upgrade)"
grep -q '^; edited on this machine' "$ini" || fail "the upgrade replaced the configuration"
w reg query 'HKLM\System\CurrentControlSet\Services\QuillonXfs4IoT' >/dev/null ||
  fail "no service after the upgrade"
w msiexec /x "Z:$later" /qn >/dev/null 2>&1 || fail "msiexec /x"
left=$(cd "$WINEPREFIX/drive_c" && find "Program Files/Quillon" ProgramData/Quillon -type f 2>/dev/null || true)
[ "$left" = ProgramData/Quillon/Quillon.ini ] || fail "left after the uninstall: ${left:-nothing}"
if w reg query 'HKLM\System\CurrentControlSet\Services\QuillonXfs4IoT' >/dev/null 2>&1; then
  fail "the service is still registered after the uninstall"
fi
echo "wine-service-check: passed"
