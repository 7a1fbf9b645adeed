// The sample applications of examples/ against quillon-xfs4iot and idc-emu,
// played as a customer would: the card is offered when the application asks
// for it and taken when it is handed back. The emulator's test card must show
// only masked (400000******7899), nowhere whole: not in the application's
// output, not on the page, not in the service's log.
//   node examples_test.js python|node|page IDC_EMU QUILLON_XFS4IOT EXAMPLES [SHOT.png]
// Exit 77 (skipped) without the client's tools, unless QUILLON_REQUIRE_TOOLS=1.
"use strict";
const {spawn} = require("child_process");
const fs = require("fs");
const http = require("http");
const os = require("os");
const path = require("path");

const [mode, emuPath, servicePath, examples, shotPath] = process.argv.slice(2);
const kGuardMs = 60000; // a hang guard: every wait ends on an event before
const kWholeNumber = "4000001234567899";
const children = [];
const work = fs.mkdtempSync(path.join(os.tmpdir(), "quillon-examples-"));

function skipUnless(ok, what) {
  if (ok) return;
  const required = process.env.QUILLON_REQUIRE_TOOLS === "1";
  console.log((required ? "FAIL: needs " : "SKIP: needs ") + what);
  process.exit(required ? 1 : 77);
}
function canRequire(name) {
  try { require.resolve(name); return true; } catch (e) { return false; }
}

// Starts a program; its output accumulates in child.output, and
// child.expect(pattern) resolves with the match once the output shows it.
function start(file, args, options) {
  const child = spawn(file, args, Object.assign({stdio: ["pipe", "pipe", "pipe"]}, options));
  children.push(child);
  child.output = "";
  child.waits = [];
  child.exited = new Promise((resolve) => child.on("exit", resolve));
  const look = (data) => {
    child.output += data;
    child.waits = child.waits.filter((w) => !w.check());
  };
  child.stdout.on("data", look);
  child.stderr.on("data", look);
  child.expect = (pattern) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${file}: no ${pattern} in: ${child.output}`)),
                             kGuardMs);
    child.exited.then((code) => reject(new Error(`${file} ended (${code}) without ${pattern}`)));
    const w = {check: () => {
      const m = child.output.match(pattern);
      if (m) { clearTimeout(timer); resolve(m); }
      return m !== null;
    }};
    if (!w.check()) child.waits.push(w);
  });
  return child;
}

// The emulator without a card and the service on a port of the system's choice.
async function startService(allowedOrigin) {
  const emu = start(emuPath, ["--family", "a", "--link", path.join(work, "tty")]);
  await emu.expect(/\/dev\/\S+/);
  const ini = path.join(work, "reader.ini");
  fs.writeFileSync(ini, `[CARDREADER]\nPort=${path.join(work, "tty")}\n[CardReaderType]\n` +
                   `CardReaderType=1\n[XFS4IoT]\nStatusPollMs=50\nAllowedOrigins=${allowedOrigin}\n`);
  const service = start(servicePath, ["--config", ini, "--port", "0"],
                        {env: Object.assign({}, process.env, {QUILLON_LOCK_DIR: work})});
  const port = (await service.expect(/listening on ws:\/\/127\.0\.0\.1:(\d+)/))[1];
  return {emu, service, port};
}

// The card went in once and out once, and nobody holds it now.
async function expectCardHandedBack(emu) {
  emu.output = "";
  emu.stdin.write("status\n");
  const m = await emu.expect(/card (\w+); in (\d+), ejects (\d+)/);
  if (m.slice(1).join(" ") !== "none 1 1") throw new Error("emulator after the run: " + m[0]);
}

function expectNoWholeNumber(texts) {
  for (const [what, text] of Object.entries(texts)) {
    if (text.includes(kWholeNumber)) throw new Error(`the whole card number in ${what}`);
  }
}

async function runTerminalClient() {
  const command = mode === "python"
      ? ["/usr/bin/python3", [path.join(examples, "python", "read_card.py")]]
      : [process.execPath, [path.join(examples, "node", "read-card.js")]];
  skipUnless(mode === "node" ? canRequire("ws") : fs.existsSync("/usr/bin/python3"),
             mode === "node" ? "ws (npm install -g ws)" : "/usr/bin/python3");
  const {emu, service, port} = await startService("");
  const client = start(command[0], [...command[1], "--port", port]);
  // The customer: the card when asked for, taken when handed back.
  await client.expect(/Please insert your card/);
  emu.stdin.write("insert\n");
  await client.expect(/Please take your card/);
  emu.stdin.write("remove\n");
  const status = await client.exited;
  const steps = [
    /Found the card reader service: ws:\/\/127\.0\.0\.1:\d+\/xfs4iot\/v1\.0\/CardReader1\n/,
    /Reader: .+, motor type, chip protocols chipT0, chipT1\n/, /Please insert your card\n/,
    /Card inserted, reading it\n/, /Card number: 400000\*{6}7899\n/,
    /Chip answer to reset: 3B( [0-9A-F]{2})+\n/,
    /Chip answered SELECT with status [0-9A-F]{2} [0-9A-F]{2}\n/, /Please take your card\n/,
    /Card taken\. Thank you!\n/];
  let rest = client.output;
  for (const step of steps) {
    const m = rest.match(step);
    if (!m) throw new Error(`no ${step} (in order) in:\n${client.output}`);
    rest = rest.slice(m.index + m[0].length);
  }
  if (status !== 0) throw new Error("exit status " + status);
  await expectCardHandedBack(emu);
  expectNoWholeNumber({output: client.output, "the service's log": service.output});
}

// The page's folder on its own origin, as a kiosk's web server would serve it.
function servePage() {
  const files = {"/": "index.html", "/kiosk.js": "kiosk.js"};
  const server = http.createServer((req, res) => {
    const file = files[req.url.split("?")[0]];
    if (!file) return res.writeHead(404).end();
    res.writeHead(200, {"Content-Type": file.endsWith(".js") ? "text/javascript" : "text/html"});
    res.end(fs.readFileSync(path.join(examples, "kiosk-page", file)));
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

async function runPage() {
  const chromium = ["/usr/bin/chromium", "/usr/bin/chromium-browser"].find(fs.existsSync);
  skipUnless(chromium && canRequire("puppeteer-core"), "Debian chromium and puppeteer-core");
  const puppeteer = require("puppeteer-core");
  const server = await servePage();
  const origin = "http://127.0.0.1:" + server.address().port;
  const {emu, service, port} = await startService(origin);
  const browser = await puppeteer.launch({
    executablePath: chromium, headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-quic",
           "--disable-background-networking", "--disable-component-update"]});
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 800, height: 600});
    const shows = (id, text) => page.waitForFunction(
        (i, t) => document.getElementById(i).textContent.startsWith(t), {timeout: kGuardMs}, id,
        text);
    await page.goto(`${origin}/?publisher=ws://127.0.0.1:${port}/xfs4iot/v1.0`);
    await shows("prompt", "Please insert your card");
    emu.stdin.write("insert\n");
    await shows("prompt", "Please take your card");
    await shows("card", "400000******7899");
    await shows("atr", "3B ");
    fs.mkdirSync(path.dirname(shotPath), {recursive: true});
    await page.screenshot({path: shotPath});
    emu.stdin.write("remove\n");
    await shows("prompt", "Card taken. Thank you!");
    await expectCardHandedBack(emu);
    expectNoWholeNumber({"the page": await page.content(), "the service's log": service.output});
  } finally {
    await browser.close();
    server.close();
  }
}

(mode === "page" ? runPage() : runTerminalClient()).then(() => {
  console.log(`${mode} example passed` + (mode === "page" ? "; screenshot " + shotPath : ""));
}, (e) => {
  console.log("FAIL: " + e.stack);
  for (const c of children) console.log("== " + c.spawnargs.join(" ") + "\n" + c.output);
  process.exitCode = 1;
}).finally(() => {
  for (const c of children) c.kill("SIGTERM");
  fs.rmSync(work, {recursive: true, force: true});
});
