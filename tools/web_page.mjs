// Opens a page in headless Chromium, waits until it has recorded its values
// (window.qmRecord), and prints {record, errors} as JSON: the record, and
// every console error, uncaught exception and failed load the page logged.
// With a third argument, saves a screenshot there.  Talks to Chromium over
// its DevTools protocol with node's own WebSocket, so it needs no package.
//
//     node tools/web_page.mjs URL TIMEOUT_SECONDS [SCREENSHOT.png]
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const [url, timeoutArg, screenshot] = process.argv.slice(2);
const deadline = Date.now() + Number(timeoutArg) * 1000;
const profile = mkdtempSync(join(tmpdir(), "qm-chromium-"));
// Headless as root in a container: no sandbox, no GPU, and nothing that
// reaches for the network on its own (the machine's network is closed).
const browser = spawn("chromium", [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
  "--remote-debugging-port=0", `--user-data-dir=${profile}`, "about:blank",
], { stdio: ["ignore", "ignore", "ignore"] });

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function fail(message) {
  console.error(`web_page: ${message}`);
  browser.kill("SIGKILL");
  rmSync(profile, { recursive: true, force: true });
  process.exit(1);
}

let port;
while (!port) {
  if (Date.now() > deadline) fail("Chromium did not open its DevTools port");
  const f = join(profile, "DevToolsActivePort");
  if (existsSync(f)) [port] = readFileSync(f, "utf8").split("\n");
  await sleep(50);
}
const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
const page = targets.find((t) => t.type === "page");
const ws = new WebSocket(page.webSocketDebuggerUrl);
await new Promise((resolve, reject) => { ws.onopen = resolve; ws.onerror = reject; });

let next = 0;
const pending = new Map();
const errors = [];
ws.onmessage = (event) => {
  const m = JSON.parse(event.data);
  if (m.id !== undefined) {
    const p = pending.get(m.id);
    pending.delete(m.id);
    m.error ? p.reject(new Error(JSON.stringify(m.error))) : p.resolve(m.result);
  } else if (m.method === "Runtime.consoleAPICalled" && m.params.type === "error") {
    errors.push("console: " + m.params.args.map((a) => a.value ?? a.description).join(" "));
  } else if (m.method === "Runtime.exceptionThrown") {
    errors.push("exception: " + (m.params.exceptionDetails.exception?.description ?? m.params.exceptionDetails.text));
  } else if (m.method === "Log.entryAdded" && m.params.entry.level === "error") {
    errors.push(`log: ${m.params.entry.text} ${m.params.entry.url ?? ""}`);
  }
};
function send(method, params = {}) {
  const id = ++next;
  ws.send(JSON.stringify({ id, method, params }));
  return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
}
async function evaluate(expression) {
  const r = await send("Runtime.evaluate", { expression, returnByValue: true });
  return r.result.value;
}

await send("Runtime.enable");
await send("Log.enable");
await send("Page.enable");
await send("Emulation.setDeviceMetricsOverride", { width: 780, height: 440, deviceScaleFactor: 1, mobile: false });
await send("Page.navigate", { url });
let record;
while (record === undefined) {
  if (Date.now() > deadline) fail(`no record within ${timeoutArg} s; status: ${await evaluate("document.getElementById('status')?.textContent")}; errors: ${errors.join("; ")}`);
  await sleep(200);
  record = await evaluate("window.qmRecord === undefined ? undefined : JSON.stringify(window.qmRecord)");
}
if (screenshot) {
  const shot = await send("Page.captureScreenshot", { format: "png" });
  writeFileSync(screenshot, Buffer.from(shot.data, "base64"));
}
console.log(JSON.stringify({ record: JSON.parse(record), ready: await evaluate("window.qmReady === true"), errors }));
ws.close();
browser.kill("SIGKILL");
rmSync(profile, { recursive: true, force: true });
