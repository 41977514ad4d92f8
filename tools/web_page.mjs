// Opens a page in headless Chromium, waits until it has recorded its values
// (window.qmRecord), and prints {record, errors} as JSON: the record, and
// every console error, uncaught exception and failed load the page logged.
// With a third argument, saves a screenshot there.
//
//     node tools/web_page.mjs URL TIMEOUT_SECONDS [SCREENSHOT.png]
import { writeFileSync } from "node:fs";
import { openChromium } from "./chromium.mjs";

const [url, timeoutArg, screenshot] = process.argv.slice(2);
const deadline = Date.now() + Number(timeoutArg) * 1000;
const { send, evaluate, errors, fail, close } = await openChromium("web_page", deadline);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

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
close();
