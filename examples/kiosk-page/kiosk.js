// The kiosk page's application: find the card reader service, wait for a
// card, show its masked number and the chip's answer to reset, hand it back,
// wait until the customer takes it, and start again.
"use strict";

const kPublisher = new URLSearchParams(location.search).get("publisher") ||
                   "ws://127.0.0.1:5846/xfs4iot/v1.0";
const kTakeCardMs = 30000;

const show = (id, text) => { document.getElementById(id).textContent = text; };
function note(text) { // the page's own log: message names only, never card data
  const item = document.createElement("li");
  item.textContent = new Date().toLocaleTimeString() + "  " + text;
  document.getElementById("log").prepend(item);
}

// One WebSocket to the service: commands with our own requestIds; each gets
// an acknowledge, maybe events, one completion. Unsolicited events (requestId
// null) go to the listeners.
class Session {
  constructor(uri) {
    this.lastId = 0;
    this.pending = new Map();
    this.listeners = [];
    this.ws = new WebSocket(uri);
    this.opened = new Promise((resolve, reject) => {
      this.ws.onopen = resolve;
      this.ws.onerror = () => reject(new Error("cannot reach " + uri));
    });
    this.ws.onmessage = (e) => this.dispatch(JSON.parse(e.data));
    this.ws.onclose = () => this.pending.forEach((p) => p.reject(new Error("connection closed")));
  }

  command(name, payload = {}, {version = "2.0", timeoutMs = 0, onEvent} = {}) {
    const requestId = ++this.lastId;
    this.ws.send(JSON.stringify(
        {header: {name, requestId, type: "command", version, timeout: timeoutMs}, payload}));
    note("→ " + name);
    return new Promise((resolve, reject) =>
      this.pending.set(requestId, {resolve, reject, onEvent, name}));
  }

  dispatch({header: h, payload}) {
    note("← " + h.name + " (" + h.type + (h.completionCode ? " " + h.completionCode : "") + ")");
    if (h.type === "unsolicited") return this.listeners.forEach((l) => l(h.name, payload));
    const p = this.pending.get(h.requestId);
    if (!p) return;
    if (h.type === "acknowledge" && h.status) {
      this.pending.delete(h.requestId);
      p.reject(new Error(p.name + " not accepted: " + h.status));
    } else if (h.type === "event" && p.onEvent) {
      p.onEvent(h.name);
    } else if (h.type === "completion") {
      this.pending.delete(h.requestId);
      if (h.completionCode === "success") return p.resolve(payload || {});
      p.reject(new Error(p.name + ": " + h.completionCode + " " +
                         ((payload && payload.errorCode) || "")));
    }
  }

  unsolicitedEvent(name, ms) { // resolves true on the event, false after ms
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(false), ms);
      this.listeners.push((n) => { if (n === name) { clearTimeout(timer); resolve(true); } });
    });
  }
}

// Track 2 is ";PAN=YYMM...?". Never show the whole number: the first six
// and the last four digits are all a screen or a receipt may carry.
function maskedCardNumber(track2) {
  const pan = track2.match(/\d+/)[0];
  return pan.slice(0, 6) + "*".repeat(pan.length - 10) + pan.slice(-4);
}

const hexOf = (base64) => Array.from(atob(base64), (c) =>
    c.charCodeAt(0).toString(16).padStart(2, "0").toUpperCase()).join(" ");

async function findCardReader() {
  const publisher = new Session(kPublisher);
  await publisher.opened;
  const {services} = await publisher.command("ServicePublisher.GetServices");
  publisher.ws.close();
  const reader = services.find((s) => s.serviceURI.includes("/CardReader"));
  if (!reader) throw new Error("no card reader service");
  return reader.serviceURI;
}

async function serveOneCustomer(reader) {
  show("card", "–");
  show("atr", "–");
  show("prompt", "One moment…"); // until the reader takes cards (InsertCardEvent)
  const prompts = {"CardReader.InsertCardEvent": "Please insert your card",
                   "CardReader.MediaInsertedEvent": "Reading your card…"};
  // No timeout: the kiosk waits for its next customer as long as it takes.
  const data = await reader.command("CardReader.ReadRawData", {track2: true, chip: true},
                                    {onEvent: (name) => show("prompt", prompts[name] || name)});
  show("card", maskedCardNumber(atob(data.track2.data)));
  show("atr", hexOf(data.chip[0].data));
  const taken = reader.unsolicitedEvent("CardReader.MediaRemovedEvent", kTakeCardMs);
  await reader.command("CardReader.Move", {to: "exit"});
  show("prompt", "Please take your card");
  if (await taken) {
    show("prompt", "Card taken. Thank you!");
  } else {
    await reader.command("CardReader.Move", {to: "unit1"}); // the retain bin
    show("prompt", "The card was not taken: it is kept in the reader");
  }
  await new Promise((resolve) => setTimeout(resolve, 5000)); // then the next customer
}

async function main() {
  const reader = new Session(await findCardReader());
  await reader.opened;
  for (;;) await serveOneCustomer(reader);
}

main().catch((e) => show("prompt", "Out of service: " + e.message));
