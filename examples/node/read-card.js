#!/usr/bin/env node
// A kiosk application in Node.js that reads a card through the XFS4IoT
// service quillon-xfs4iot: it finds the service, waits for the customer's
// card, shows the masked card number from track 2 and the chip's answer to
// reset, sends the chip one command, and hands the card back.
//
//   npm install ws        (or npm install -g ws and NODE_PATH=$(npm root -g))
//   node read-card.js [--host 127.0.0.1] [--port 5846]
//
// Without --port it asks every XFS4IoT port (5846 to 5856) in turn.
"use strict";
const WebSocket = require("ws");

const kTakeCardMs = 30000; // a card not taken by then is kept in the retain bin

// One WebSocket to the service. Every command gets a requestId of ours; the
// service answers with an acknowledge, maybe events, one completion.
// Unsolicited events (requestId null) can come at any time.
class Session {
  constructor(ws) {
    this.ws = ws;
    this.lastId = 0;
    this.pending = new Map(); // requestId -> {resolve, reject, onEvent, name}
    this.listeners = []; // unsolicited event handlers
    ws.on("message", (text) => this.dispatch(JSON.parse(text)));
    ws.on("close", () => this.pending.forEach((p) => p.reject(new Error("connection closed"))));
  }

  static open(uri) {
    return new Promise((resolve, reject) => {
      const ws = new WebSocket(uri, {handshakeTimeout: 2000});
      ws.once("open", () => resolve(new Session(ws)));
      ws.once("error", reject);
    });
  }

  command(name, payload = {}, {version = "2.0", timeoutMs = 0, onEvent} = {}) {
    const requestId = ++this.lastId;
    const header = {name, requestId, type: "command", version, timeout: timeoutMs};
    this.ws.send(JSON.stringify({header, payload}));
    return new Promise((resolve, reject) =>
      this.pending.set(requestId, {resolve, reject, onEvent, name}));
  }

  dispatch({header: h, payload}) {
    if (h.type === "unsolicited") return this.listeners.forEach((l) => l(h.name, payload));
    const p = this.pending.get(h.requestId);
    if (!p) return;
    if (h.type === "acknowledge" && h.status) {
      this.pending.delete(h.requestId);
      p.reject(new Error(`${p.name} not accepted: ${h.status}`));
    } else if (h.type === "event" && p.onEvent) {
      p.onEvent(h.name, payload);
    } else if (h.type === "completion") {
      this.pending.delete(h.requestId);
      if (h.completionCode === "success") return p.resolve(payload || {});
      const code = (payload && payload.errorCode) || "";
      p.reject(new Error(`${p.name}: ${h.completionCode} ${code} (${h.errorDescription || ""})`));
    }
  }

  // Resolves on the unsolicited event `name`, or with null after `ms`.
  unsolicitedEvent(name, ms) {
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(null), ms);
      this.listeners.push((n, payload) => {
        if (n === name) { clearTimeout(timer); resolve(payload || {}); }
      });
    });
  }

  close() { this.ws.close(); }
}

// Discovery: each port's publisher lists its services.
async function findCardReader(host, ports) {
  for (const port of ports) {
    let publisher;
    try {
      publisher = await Session.open(`ws://${host}:${port}/xfs4iot/v1.0`);
    } catch (e) {
      continue; // nothing (or something else) on this port
    }
    const {services} = await publisher.command("ServicePublisher.GetServices");
    publisher.close();
    const reader = services.find((s) => s.serviceURI.includes("/CardReader"));
    if (reader) return reader.serviceURI;
  }
  throw new Error("no card-reader service found");
}

// Track 2 is ";PAN=YYMM...?". Never show or log the whole number: the first
// six and the last four digits are all a receipt may carry.
function maskedCardNumber(track2) {
  const pan = track2.match(/\d+/)[0];
  return pan.slice(0, 6) + "*".repeat(pan.length - 10) + pan.slice(-4);
}

const hex = (buffer) => buffer.toString("hex").toUpperCase().replace(/(..)(?!$)/g, "$1 ");

async function main() {
  const args = process.argv.slice(2);
  const option = (name) => (args.indexOf(name) >= 0 ? args[args.indexOf(name) + 1] : null);
  const host = option("--host") || "127.0.0.1";
  const ports = option("--port") ? [Number(option("--port"))]
                                 : Array.from({length: 11}, (_, i) => 5846 + i);

  const uri = await findCardReader(host, ports);
  console.log("Found the card reader service:", uri);
  const reader = await Session.open(uri);
  try {
    const caps = await reader.command("Common.Capabilities");
    const info = caps.common.deviceInformation[0];
    const protocols = caps.cardReader.chipProtocols; // {"chipT0": true, ...}
    console.log(`Reader: ${info.modelName || "?"}, ${caps.cardReader.type} type, chip ` +
                `protocols ${Object.keys(protocols).filter((p) => protocols[p]).join(", ")}`);

    // Waits for a card when none is inside: InsertCardEvent says the reader
    // takes cards now, MediaInsertedEvent that the card is in. The chip is
    // powered on the way (its answer to reset comes back).
    const prompts = {"CardReader.InsertCardEvent": "Please insert your card",
                     "CardReader.MediaInsertedEvent": "Card inserted, reading it"};
    const tracks = await reader.command("CardReader.ReadRawData", {track2: true, chip: true},
                                        {timeoutMs: 60000,
                                         onEvent: (name) => console.log(prompts[name] || name)});
    const track2 = Buffer.from(tracks.track2.data, "base64").toString("ascii");
    console.log("Card number:", maskedCardNumber(track2));
    console.log("Chip answer to reset:", hex(Buffer.from(tracks.chip[0].data, "base64")));

    // ChipIO needs the powered chip: ReadRawData with "chip" left it on.
    const selectPse = Buffer.concat([Buffer.from("00A404000E", "hex"),
                                     Buffer.from("1PAY.SYS.DDF01"), Buffer.from([0])]);
    const answer = await reader.command(
        "CardReader.ChipIO",
        {chipProtocol: "chipProtocolNotRequired", chipData: selectPse.toString("base64")},
        {version: "3.0"});
    console.log("Chip answered SELECT with status",
                hex(Buffer.from(answer.chipData, "base64").subarray(-2)));

    // Listen before the eject: the customer may be quick.
    const taken = reader.unsolicitedEvent("CardReader.MediaRemovedEvent", kTakeCardMs);
    await reader.command("CardReader.Move", {to: "exit"});
    console.log("Please take your card");
    if (await taken) {
      console.log("Card taken. Thank you!");
    } else {
      await reader.command("CardReader.Move", {to: "unit1"}); // the retain bin
      console.log("The card was not taken: it is kept in the reader");
      process.exitCode = 1;
    }
  } finally {
    reader.close();
  }
}

main().catch((e) => {
  console.error("Failed:", e.message);
  process.exitCode = 1;
});
