#!/usr/bin/python3
"""A kiosk application in Python that reads a card through the XFS4IoT
service quillon-xfs4iot: it finds the service, waits for the customer's
card, shows the masked card number from track 2 and the chip's answer to
reset, sends the chip one command, and hands the card back.

    /usr/bin/python3 read_card.py [--host 127.0.0.1] [--port 5846]

Needs Debian's python3-websockets. Without --port it asks every XFS4IoT
port (5846 to 5856) in turn, as XFS4IoT clients do.
"""
import argparse
import asyncio
import base64
import json
import re
import sys

import websockets

TAKE_CARD_SECONDS = 30  # a card not taken by then is kept in the retain bin


class Refused(Exception):
    """A command that did not complete with success."""


class Session:
    """One WebSocket to the service. Every command gets a requestId of ours;
    the service answers with an acknowledge, maybe events, one completion.
    Unsolicited events (requestId null) can arrive at any time: they wait
    in a list until the application asks for them."""

    def __init__(self, ws):
        self.ws = ws
        self.last_id = 0
        self.unsolicited = []

    async def command(self, name, payload=None, version="2.0", timeout_ms=0, on_event=None):
        self.last_id += 1
        request_id = self.last_id
        header = {"name": name, "requestId": request_id, "type": "command",
                  "version": version, "timeout": timeout_ms}  # 0: no time limit
        await self.ws.send(json.dumps({"header": header, "payload": payload or {}}))
        while True:
            message = json.loads(await self.ws.recv())
            h = message["header"]
            if h["type"] == "unsolicited":
                self.unsolicited.append(h["name"])
            elif h.get("requestId") != request_id:
                continue  # another command's answer (none here: one at a time)
            elif h["type"] == "acknowledge" and h.get("status"):
                raise Refused(f"{name} not accepted: {h['status']}")
            elif h["type"] == "event" and on_event:
                on_event(h["name"])
            elif h["type"] == "completion":
                payload = message.get("payload") or {}
                if h["completionCode"] != "success":
                    code = payload.get("errorCode", "")
                    raise Refused(f"{name}: {h['completionCode']} {code} "
                                  f"({h.get('errorDescription', '')})")
                return payload

    async def unsolicited_event(self, name, seconds):
        """Waits until the service sends the unsolicited event `name`."""
        async def wait():
            while name not in self.unsolicited:
                message = json.loads(await self.ws.recv())
                if message["header"]["type"] == "unsolicited":
                    self.unsolicited.append(message["header"]["name"])
            self.unsolicited.remove(name)
        await asyncio.wait_for(wait(), seconds)


async def find_card_reader(host, ports):
    """Discovery: each port's publisher lists its services."""
    for port in ports:
        try:
            async with websockets.connect(f"ws://{host}:{port}/xfs4iot/v1.0",
                                          open_timeout=2) as ws:
                services = await Session(ws).command("ServicePublisher.GetServices")
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            continue  # nothing (or something else) on this port
        for service in services["services"]:
            if "/CardReader" in service["serviceURI"]:
                return service["serviceURI"]
    raise Refused("no card-reader service found")


def masked_card_number(track2):
    """Track 2 is ";PAN=YYMM...?". Never show or log the whole number:
    the first six and the last four digits are all a receipt may carry."""
    pan = re.match(r"\D*(\d+)", track2).group(1)
    return pan[:6] + "*" * (len(pan) - 10) + pan[-4:]


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, action="append")
    args = parser.parse_args()

    uri = await find_card_reader(args.host, args.port or range(5846, 5857))
    print("Found the card reader service:", uri, flush=True)
    async with websockets.connect(uri) as ws:
        reader = Session(ws)
        caps = await reader.command("Common.Capabilities")
        info = caps["common"]["deviceInformation"][0]
        protocols = [p for p, yes in caps["cardReader"]["chipProtocols"].items() if yes]
        print(f"Reader: {info.get('modelName', '?')}, {caps['cardReader']['type']} type, "
              f"chip protocols {', '.join(protocols)}", flush=True)

        # Waits for a card when none is inside: InsertCardEvent says the
        # reader takes cards now, MediaInsertedEvent that the card is in.
        # The chip is powered on the way (its answer to reset comes back).
        prompts = {"CardReader.InsertCardEvent": "Please insert your card",
                   "CardReader.MediaInsertedEvent": "Card inserted, reading it"}
        tracks = await reader.command(
            "CardReader.ReadRawData", {"track2": True, "chip": True}, timeout_ms=60000,
            on_event=lambda name: print(prompts.get(name, name), flush=True))
        track2 = base64.b64decode(tracks["track2"]["data"]).decode("ascii")
        print("Card number:", masked_card_number(track2), flush=True)
        atr = base64.b64decode(tracks["chip"][0]["data"])
        print("Chip answer to reset:", atr.hex(" ").upper(), flush=True)

        # ChipIO needs the powered chip: ReadRawData with "chip" left it on.
        select_pse = bytes.fromhex("00A404000E") + b"1PAY.SYS.DDF01" + b"\x00"
        answer = await reader.command(
            "CardReader.ChipIO", {"chipProtocol": "chipProtocolNotRequired",
                                  "chipData": base64.b64encode(select_pse).decode()},
            version="3.0")
        status_word = base64.b64decode(answer["chipData"])[-2:]
        print("Chip answered SELECT with status", status_word.hex(" ").upper(), flush=True)

        await reader.command("CardReader.Move", {"to": "exit"})
        print("Please take your card", flush=True)
        try:
            await reader.unsolicited_event("CardReader.MediaRemovedEvent", TAKE_CARD_SECONDS)
            print("Card taken. Thank you!")
        except asyncio.TimeoutError:
            await reader.command("CardReader.Move", {"to": "unit1"})  # the retain bin
            print("The card was not taken: it is kept in the reader")
            sys.exit(1)


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except Refused as e:
        print("Failed:", e, file=sys.stderr)
        sys.exit(1)
