#!/usr/bin/env bash
# The black-box client against the installed way of running the service:
# idc-emu with a card inside, quillon-xfs4iot on a port of its choice, the
# Python client finding it through the publisher; then once more over TLS
# with a certificate made here (when openssl is there); SIGTERM ends each
# service with status 0.
#
# run_python_client.sh IDC_EMU QUILLON_XFS4IOT CLIENT_PY
set -euo pipefail
emu=$1 service=$2 client=$3
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do echo "== $f"; cat "$f"; done >&2; exit 1; }
wait_for() { # file text
  for _ in $(seq 400); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

"$emu" --family a --card inside --link "$work/tty" </dev/null >"$work/emu.log" 2>&1 &
pids+=($!)
wait_for "$work/emu.log" /dev/ || fail "idc-emu printed no port"
printf '[CARDREADER]\nPort=%s\n[CardReaderType]\nCardReaderType=1\n' "$work/tty" >"$work/reader.ini"

run() { # name [service args...]
  local name=$1
  shift
  QUILLON_LOCK_DIR=$work "$service" --config "$work/reader.ini" --port 0 "$@" \
    </dev/null >/dev/null 2>"$work/$name.log" &
  local pid=$!
  pids+=("$pid")
  wait_for "$work/$name.log" "listening on" || fail "$name: the service did not start"
  local port
  port=$(sed -n 's/.*listening on wss\?:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$name.log")
  local tls=()
  [ $# -eq 0 ] || tls=(--tls --cafile "$work/cert.pem")
  /usr/bin/python3 "$client" --port "$port" "${tls[@]}" || fail "$name: the client failed"
  kill -TERM "$pid"
  wait "$pid" || fail "$name: exit status $? after SIGTERM"
}
run plain
if command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || fail "openssl"
  run tls --tls-cert "$work/cert.pem" --tls-key "$work/key.pem"
else
  echo "openssl not found: no TLS run"
fi
echo "python client passed"
