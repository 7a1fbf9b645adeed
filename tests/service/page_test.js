// The technician's page in headless Chromium (puppeteer-core) against
// quillon-xfs4iot and idc-emu: with --allow-page-actions the card state
// follows the emulator and the Eject button; a screenshot at 800x600 (the
// read-only page is metrics_test's: no buttons served, its eject refused).
// Exit 77 (skipped) without chromium or puppeteer-core, unless
// QUILLON_REQUIRE_TOOLS=1 (CI).
//   node page_test.js IDC_EMU QUILLON_XFS4IOT SCREENSHOT.png
"use strict";
const {spawn} = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const [emuPath, servicePath, shotPath] = process.argv.slice(2);
const kGuardMs = 20000; // a hang guard: every wait ends on an event before
const children = [];
const work = fs.mkdtempSync(path.join(os.tmpdir(), "quillon-page-"));

const required = process.env.QUILLON_REQUIRE_TOOLS === "1";
const chromium = ["/usr/bin/chromium", "/usr/bin/chromium-browser"].find(fs.existsSync);
let puppeteer = null;
try { puppeteer = require("puppeteer-core"); } catch (e) {}
if (!chromium || !puppeteer) {
  console.log((required ? "FAIL: " : "SKIP: ") + "needs Debian chromium and puppeteer-core " +
              "(npm install -g puppeteer-core; NODE_PATH=" + process.env.NODE_PATH + ")");
  process.exit(required ? 1 : 77);
}

// Starts a program; resolves with the match once its output shows the pattern.
function start(file, args, pattern, options) {
  const child = spawn(file, args, Object.assign({stdio: ["pipe", "pipe", "pipe"]}, options));
  children.push(child);
  child.output = "";
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(file + " said: " + child.output)), kGuardMs);
    const look = (data) => {
      child.output += data;
      const m = child.output.match(pattern);
      if (m) { clearTimeout(timer); resolve({child, m}); }
    };
    child.stdout.on("data", look);
    child.stderr.on("data", look);
  });
}

async function service(extraArgs) {
  const tty = path.join(work, "tty" + children.length);
  const {child: emu} = await start(emuPath, ["--family", "a", "--link", tty], /\/dev\/\S+/);
  const ini = path.join(work, "reader" + children.length + ".ini");
  fs.writeFileSync(ini, `[CARDREADER]\nPort=${tty}\n[CardReaderType]\nCardReaderType=1\n` +
                   "[XFS4IoT]\nStatusPollMs=50\n");
  const {m} = await start(servicePath, ["--config", ini, "--port", "0", ...extraArgs],
                          /listening on ws:\/\/127\.0\.0\.1:(\d+)/,
                          {env: Object.assign({}, process.env, {QUILLON_LOCK_DIR: work})});
  return {emu, url: "http://127.0.0.1:" + m[1] + "/"};
}

function expectEqual(want, got, what) {
  if (want !== got) throw new Error(`${what}: expected ${want}, got ${got}`);
}

async function main() {
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    // A container as root, no GPU, a closed network.
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-quic",
           "--disable-background-networking", "--disable-component-update"],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 800, height: 600});
    const media = (state) => page.waitForFunction(
        (s) => document.getElementById("media").textContent === s, {timeout: kGuardMs}, state);

    // Actions allowed: the card in, ejected from the page, taken.
    const run = await service(["--allow-page-actions"]);
    await page.goto(run.url);
    await media("notPresent");
    run.emu.stdin.write("place inside\n");
    await media("present");
    await page.click("button[data-action=eject]");
    await media("entering");
    run.emu.stdin.write("remove\n");
    await media("notPresent");
    expectEqual("CardReader.Move: success", await page.$eval("#result", (e) => e.textContent),
                "the eject's completion");
    await page.waitForFunction(() => /CardReader\.Move\s*success/.test(
        document.getElementById("commands").innerText), {timeout: kGuardMs});
    expectEqual("family A", (await page.$eval("#identity", (e) => e.textContent)).slice(0, 8),
                "identity");
    fs.mkdirSync(path.dirname(shotPath), {recursive: true});
    await page.screenshot({path: shotPath});

  } finally {
    await browser.close();
  }
}

main().then(() => {
  console.log("page test passed; screenshot " + shotPath);
}, (e) => {
  console.log("FAIL: " + e.stack);
  for (const c of children) console.log("== " + c.spawnargs.join(" ") + "\n" + c.output);
  process.exitCode = 1;
}).finally(() => {
  for (const c of children) c.kill("SIGTERM");
  fs.rmSync(work, {recursive: true, force: true});
});
