#!/usr/bin/python3
"""An XFS4IoT application written from the standard alone (no code of the
service): finds a card-reader service by asking the publishers on the
XFS4IoT ports (5846-5856, or the ports given), then reads the tracks of the
card and its chip's answer to reset, and prints them.

    xfs4iot_client.py [--host H] [--port N ...] [--tls --cafile F]

Exit status 0 when the three tracks and the answer to reset were read and
every message was as the standard has it; 1 otherwise.
"""
import argparse
import asyncio
import base64
import json
import ssl
import sys

import websockets


class Failure(Exception):
    pass


async def call(ws, name, request_id, payload=None, timeout=None):
    """Sends a command; returns its events and its completion."""
    header = {"name": name, "requestId": request_id, "type": "command", "version": "2.0"}
    if timeout is not None:
        header["timeout"] = timeout
    await ws.send(json.dumps({"header": header, "payload": payload or {}}))
    events, acknowledged = [], False
    while True:
        frame = json.loads(await asyncio.wait_for(ws.recv(), 30))
        h = frame["header"]
        if h["type"] == "unsolicited" or h.get("requestId") != request_id:
            continue
        if h["type"] == "acknowledge":
            if h.get("status") not in (None, "ok"):
                raise Failure(f"{name} refused: {h['status']}")
            acknowledged = True
        elif not acknowledged:
            raise Failure(f"{name}: {h['type']} before the acknowledge")
        elif h["type"] == "event":
            events.append(h["name"])
        elif h["type"] == "completion":
            if h["name"] != name or h.get("completionCode") != "success":
                raise Failure(f"{name} completed {h.get('completionCode')}: "
                              f"{h.get('errorDescription', '')}")
            return events, frame.get("payload") or {}


async def discover(host, ports, tls):
    scheme = "wss" if tls else "ws"
    for port in ports:
        try:
            async with websockets.connect(f"{scheme}://{host}:{port}/xfs4iot/v1.0", ssl=tls,
                                          open_timeout=5) as ws:
                _, payload = await call(ws, "ServicePublisher.GetServices", 1)
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            continue
        for service in payload.get("services", []):
            uri = service["serviceURI"]
            if uri.rstrip("/").rsplit("/", 1)[-1].startswith("CardReader"):
                print(f"publisher on port {port} ({payload.get('vendorName')}): {uri}")
                return uri
    raise Failure("no card-reader service found")


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, action="append")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--cafile")
    args = parser.parse_args()
    tls = ssl.create_default_context(cafile=args.cafile) if args.tls else None
    uri = await discover(args.host, args.port or range(5846, 5857), tls)
    async with websockets.connect(uri, ssl=tls) as ws:
        _, status = await call(ws, "Common.Status", 1)
        print("status:", json.dumps(status))
        _, caps = await call(ws, "Common.Capabilities", 2)
        if caps["cardReader"]["type"] != "motor":
            raise Failure("not a motorised reader")
        events, data = await call(ws, "CardReader.ReadRawData", 3, {
            "track1": True, "track2": True, "track3": True, "chip": True}, timeout=60000)
        print("events:", ", ".join(events) or "none (the card was inside)")
        for track in ("track1", "track2", "track3"):
            if "data" not in data.get(track, {}):
                raise Failure(f"{track}: {data.get(track)}")
            text = base64.b64decode(data[track]["data"], validate=True).decode("ascii")
            print(f"{track}: {len(text)} characters")  # card data is never printed
        atr = base64.b64decode(data["chip"][0]["data"], validate=True)
        if not atr or atr[0] not in (0x3B, 0x3F):
            raise Failure(f"no answer to reset: {atr.hex()}")
        print("answer to reset:", atr.hex(" ").upper())


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except Failure as e:
        print("FAILED:", e, file=sys.stderr)
        sys.exit(1)
