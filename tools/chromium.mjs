// Headless Chromium with one blank page, driven over its DevTools protocol
// with node's own WebSocket, so the tools that use it need no package.
//
//     const browser = await openChromium("tool_name", deadlineMs);
//     await browser.send("Page.navigate", { url });
//     const value = await browser.evaluate("1 + 1");
//     browser.close();
//
// `errors` collects every console error, uncaught exception and failed load
// the page logs once Runtime and Log are enabled; `fail` prints a message
// under the tool's name, closes the browser and exits with status 1.
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function openChromium(name, deadline) {
  const profile = mkdtempSync(join(tmpdir(), "qm-chromium-"));
  // Headless as root in a container: no sandbox, no GPU, and nothing that
  // reaches for the network on its own (the machine's network is closed).
  const browser = spawn("chromium", [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--remote-debugging-port=0", `--user-data-dir=${profile}`, "about:blank",
  ], { stdio: ["ignore", "ignore", "ignore"] });
  let ws;
  function close() {
    ws?.close();
    browser.kill("SIGKILL");
    rmSync(profile, { recursive: true, force: true });
  }
  function fail(message) {
    console.error(`${name}: ${message}`);
    close();
    process.exit(1);
  }

  let port;
  while (!port) {
    if (Date.now() > deadline) fail("Chromium did not open its DevTools port");
    const f = join(profile, "DevToolsActivePort");
    if (existsSync(f)) [port] = readFileSync(f, "utf8").split("\n");
    await sleep(50);
  }
  const base = `http://127.0.0.1:${port}`;
  const version = (await (await fetch(`${base}/json/version`)).json()).Browser;
  const targets = await (await fetch(`${base}/json/list`)).json();
  const page = targets.find((t) => t.type === "page");
  ws = new WebSocket(page.webSocketDebuggerUrl);
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
  // The expression's value, copied out of the page; an exception it throws
  // fails the tool rather than reading as undefined.
  async function evaluate(expression) {
    const r = await send("Runtime.evaluate", { expression, returnByValue: true });
    if (r.exceptionDetails) fail(`the page threw: ${r.exceptionDetails.exception?.description ?? r.exceptionDetails.text}`);
    return r.result.value;
  }
  return { version, send, evaluate, errors, fail, close };
}
