// Opens the kivhost console page in headless Chromium, checks that it lists the endpoints of
// the API document, signs in from the page and waits for the session state it shows.
//   node console_test.mjs URL USERNAME PASSWORD EXPECTED_STATE
// Exit status: 0 passed, 1 failed, 77 Chromium could not start (the caller skips).
import { chromium } from "playwright-core";

const [url, username, password, expected] = process.argv.slice(2);
const executablePath = process.env.KIV_CHROMIUM || "/usr/bin/chromium";

let browser;
try {
  browser = await chromium.launch({ executablePath, args: ["--no-sandbox", "--disable-gpu"] });
} catch (e) {
  console.log("console: Chromium did not start: " + e.message.split("\n")[0]);
  process.exit(77);
}
try {
  // The page's own policy forbids eval, which the waits below use to look at the page.
  const context = await browser.newContext({ bypassCSP: true });
  const page = await context.newPage();
  const failures = [];
  page.on("pageerror", (e) => failures.push("page error: " + e.message));
  page.on("requestfailed", (r) => {
    // The event stream is cut when the browser closes; anything else is a fault.
    if (!r.url().includes("/events")) failures.push("request failed: " + r.url());
  });
  page.on("request", (r) => {
    if (!r.url().startsWith(new URL(url).origin)) failures.push("left loopback: " + r.url());
  });
  await page.goto(url);
  await page.waitForSelector("#endpoints button.endpoint", { timeout: 15000 });
  const endpoints = await page.$$eval("#endpoints button.endpoint", (bs) => bs.map((b) => b.textContent));
  if (!endpoints.includes("POST/kiv-login/v1/session")) {
    throw new Error("the endpoint list lacks POST /kiv-login/v1/session: " + endpoints.join(", "));
  }
  await page.waitForFunction(() => document.getElementById("stream-state").textContent === "(following)",
                             null, { timeout: 15000 });
  await page.fill("#username", username);
  await page.fill("#password", password);
  await page.click("#sign-in");
  await page.waitForFunction((state) => document.getElementById("state").textContent === state,
                             expected, { timeout: 30000 });
  const log = await page.textContent("#log");
  if (!log.includes("OnJsonApiEvent_kiv-login_v1_session")) {
    throw new Error("the event log shows no session event: " + log.slice(0, 500));
  }
  if (failures.length > 0) throw new Error(failures.join("; "));
  console.log("console: " + endpoints.length + " endpoints listed, state " + expected);
} catch (e) {
  console.log("console: " + e.message);
  process.exitCode = 1;
} finally {
  await browser.close();
}
