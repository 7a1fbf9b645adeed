#!/usr/bin/env bash
# The demo in one command: installs the missing build packages, configures (preset "default"), builds the library,
# the trace library and idcctl, and runs "idcctl demo": an emulated reader on
# a pseudo-terminal, driven through the library's exports step by step.
# Arguments go to the demo: ./demo.sh --family b
#
# ./demo.sh --service [--keep] (or ./demo.sh service): the XFS4IoT service
# instead, with a kiosk application (examples/python/read_card.py) reading a
# card from the emulator; --keep stays up until Ctrl-C with the pages.
set -euo pipefail
cd "$(dirname "$0")"
if [ "${1:-}" != --service ] && [ "${1:-}" != service ]; then
  tools/install-deps.sh # the build's Debian packages, when missing
  cmake --preset default
  cmake --build --preset default --target quillon vantrel idcctl
  exec build/default/bin/idcctl demo "$@"
fi

shift
keep=0
for arg in "$@"; do
  case $arg in
    --keep) keep=1 ;;
    *) echo "usage: ./demo.sh --service [--keep]" >&2; exit 2 ;;
  esac
done
bold='' plain=''
[ -t 1 ] && bold=$'\033[1m' plain=$'\033[0m'
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

say "Installing what the service needs (when missing) and building"
tools/install-deps.sh
tools/install-deps.sh libboost-dev nlohmann-json3-dev libssl-dev python3-websockets
cmake --preset default >/dev/null
cmake --build --preset default --target idc-emu quillon-xfs4iot
bin=build/default/bin

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Waits (20 s at most) for a line matching $2 in the file $1; prints it.
await_line() {
  for _ in $(seq 200); do
    grep -m1 -o "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: nothing like '$2' in $1:" >&2
  cat "$1" >&2
  exit 1
}

say "Starting the reader emulator (family A, no card) and the service in $work"
mkfifo "$work/emu.in"
exec 3<>"$work/emu.in" # the emulator's commands: the customer's hands
"$bin/idc-emu" --family a --link "$work/tty" <&3 >"$work/emu.log" 2>&1 &
pids+=($!)
await_line "$work/emu.log" '/dev/.*' >/dev/null
# The kiosk page of examples/ on an origin of its own, allowed by the service.
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory examples/kiosk-page \
  >"$work/page.log" 2>&1 &
pids+=($!)
page_port=$(await_line "$work/page.log" 'port [0-9]*' | cut -d' ' -f2)
cat >"$work/reader.ini" <<INI
[CARDREADER]
Port=$work/tty
[CardReaderType]
CardReaderType=1
[XFS4IoT]
AllowedOrigins=http://127.0.0.1:$page_port
INI
actions=()
[ $keep -eq 0 ] || actions=(--allow-page-actions)
QUILLON_LOCK_DIR=$work "$bin/quillon-xfs4iot" --config "$work/reader.ini" --port 0 "${actions[@]}" \
  </dev/null 2>"$work/service.log" &
pids+=($!)
port=$(await_line "$work/service.log" 'ws://127.0.0.1:[0-9]*' | cut -d: -f3)
cat <<TEXT
  publisher (discovery)  ws://127.0.0.1:$port/xfs4iot/v1.0
  card reader service    ws://127.0.0.1:$port/xfs4iot/v1.0/CardReader1
  technician's page      http://127.0.0.1:$port/   (metrics: /metrics)
  kiosk page (example)   http://127.0.0.1:$page_port/?publisher=ws://127.0.0.1:$port/xfs4iot/v1.0
  service log            $work/service.log
TEXT

say "A kiosk application's session: examples/python/read_card.py"
echo "(app: what the application prints; customer: what the demo does at the emulator)"
set +e
/usr/bin/python3 -u examples/python/read_card.py --port "$port" 2>&1 | while IFS= read -r line; do
  echo "  app:      $line"
  case $line in
    "Found the card reader service"*)
      echo "  (ServicePublisher.GetServices at the publisher named the service)" ;;
    Reader:*) echo "  (Common.Capabilities: the reader's model, type and chip protocols)" ;;
    "Please insert your card")
      echo "  (CardReader.ReadRawData for track 2 and the chip: InsertCardEvent, the reader takes cards)"
      echo "  customer: inserts the card (emulator command: insert)"
      echo insert >&3 ;;
    "Card inserted"*) echo "  (MediaInsertedEvent: the card is in; track 2 is read, the chip powered)" ;;
    "Card number"*) echo "  (ReadRawData's completion: track 2, shown masked)" ;;
    "Chip answer to reset"*) echo "  (the chip's answer to reset, from the same completion)" ;;
    "Chip answered"*) echo "  (CardReader.ChipIO: a SELECT to the powered chip; 61 xx: an answer waits)" ;;
    "Please take your card")
      echo "  (CardReader.Move to exit: the card waits in the slot, media \"entering\")"
      echo "  customer: takes the card from the slot (emulator command: remove)"
      echo remove >&3 ;;
    "Card taken"*) echo "  (CardReader.MediaRemovedEvent: the customer took it, media \"notPresent\")" ;;
  esac
done
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  say "The session failed (status $status); the service's log:"
  cat "$work/service.log"
  exit 1
fi
say "Every step succeeded"
[ $keep -eq 1 ] || exit 0

cat <<TEXT
Staying up until Ctrl-C. Open the pages above in a browser; the kiosk page
waits for a card. Type the emulator's commands here (insert, remove, status,
jam, unjam, help).
TEXT
tail -n0 -f "$work/emu.log" &
pids+=($!)
while IFS= read -r line; do echo "$line" >&3; done
sleep infinity &
pids+=($!)
wait $!
