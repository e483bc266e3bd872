// Loads the control page of every provider in headless Chromium from a small loopback server that
// plays the HTTP bridge, and checks what a person would: the buttons send the right requests,
// lists fill, the page follows a provider change, and texts from the program stay text.
//
// usage: node control_page.test.mjs <path of control_page_dump>
// Exit 0 on success, 1 on failure, 77 when a tool is missing outside CI.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";

const CHROMIUM = "/usr/bin/chromium";
const inCI = ["true", "1", "yes"].includes(String(process.env.CI || "").toLowerCase());

function unavailable(what) {
  if (inCI) {
    console.error(`control page browser test: ${what} is missing`);
    process.exit(1);
  }
  console.log(`control page browser test skipped: ${what} is missing`);
  process.exit(77);
}

const dumper = process.argv[2];
if (!dumper || !fs.existsSync(dumper)) unavailable("the page dump program");
if (!fs.existsSync(CHROMIUM)) unavailable(CHROMIUM);
let chromium;
try {
  ({ chromium } = await import("playwright-core"));
} catch {
  unavailable("playwright-core (npm install in tests/browser)");
}

// Stop by ourselves whatever happens.
const watchdog = setTimeout(() => {
  console.error("control page browser test: timed out");
  process.exit(1);
}, 90_000);

const work = fs.mkdtempSync(path.join(os.tmpdir(), "pavonix-browser-"));
execFileSync(dumper, [work]);

const MARKUP_NAME = '<img src=x onerror="window.__xss=1">';
const MARKUP_MESSAGE = '<b id="injected">Moved</b><img src=x onerror="window.__xss=2">';
const displayNames = { keynote: "Keynote", powerPoint: "PowerPoint", googleSlides: "Google Slides" };
const state = { provider: "keynote", requests: [] };

const slides = [
  { number: 3, name: "Intro", notes: "", hasExplicitName: true },
  { number: 4, name: MARKUP_NAME, notes: "", hasExplicitName: false },
  { number: 5, name: "x".repeat(200), notes: "", hasExplicitName: false },
];
const windows = [
  { windowID: 11, ownerProcessID: 1, ownerName: "Chromium", bundleIdentifier: "", title: "Deck A", menuTitle: "Deck A - Chromium",
    detailText: "pid 1 window 11", kind: "googleSlides", displaySection: "googleSlides" },
  { windowID: 12, ownerProcessID: 1, ownerName: "Chromium", bundleIdentifier: "", title: MARKUP_NAME, menuTitle: "",
    detailText: "pid 1 window 12", kind: "googleSlides", displaySection: "googleSlides" },
  { windowID: 13, ownerProcessID: 2, ownerName: "Firefox", bundleIdentifier: "", title: "Mail", menuTitle: "Mail - Firefox",
    detailText: "pid 2 window 13", kind: "other", displaySection: "other" },
];

function reply(response, status, payload) {
  const body = JSON.stringify(payload);
  response.writeHead(status, { "Content-Type": "application/json", "Cache-Control": "no-store", Connection: "close" });
  response.end(body);
}

const server = http.createServer((request, response) => {
  let body = "";
  request.on("data", (chunk) => { body += chunk; });
  request.on("end", () => {
    const url = request.url;
    if (request.method === "GET" && url === "/") {
      const page = fs.readFileSync(path.join(work, `${state.provider}.html`));
      response.writeHead(200, { "Content-Type": "text/html; charset=utf-8", "Cache-Control": "no-store" });
      response.end(page);
      return;
    }
    if (request.method === "GET" && url === "/health") {
      return reply(response, 200, { status: "ok", presentationProvider: state.provider,
        presentationProviderName: displayNames[state.provider] });
    }
    if (request.method === "GET" && url === "/slides") {
      return reply(response, 200, { status: "ok", message: "Loaded 3 slides.", slides });
    }
    if (request.method === "GET" && url === "/windows") {
      return reply(response, 200, { status: "ok", message: "Found 3 windows.", selectedWindowID: 11, windows });
    }
    if (request.method === "POST") {
      state.requests.push({ path: url, body, contentType: request.headers["content-type"] || "" });
      if (url === "/windows/select") {
        return reply(response, 200, { status: "ok", message: "Selected window.", selectedWindowID: JSON.parse(body).windowID });
      }
      return reply(response, 200, { status: "ok", command: "Show next", message: MARKUP_MESSAGE });
    }
    reply(response, 404, { status: "failed", message: "Not found" });
  });
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const base = `http://127.0.0.1:${server.address().port}/`;

let failures = 0;
function check(condition, what) {
  if (condition) {
    console.log(`ok - ${what}`);
  } else {
    failures += 1;
    console.log(`not ok - ${what}`);
  }
}

async function waitFor(predicate, what, timeout = 5000) {
  const deadline = Date.now() + timeout;
  while (Date.now() < deadline) {
    if (await predicate()) {
      check(true, what);
      return true;
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  check(false, `${what} (timed out)`);
  return false;
}

const lastRequest = () => state.requests[state.requests.length - 1];

const profile = fs.mkdtempSync(path.join(os.tmpdir(), "pavonix-chromium-"));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: CHROMIUM,
  headless: true,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});
try {
  const page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(10_000);
  const pageErrors = [];
  page.on("pageerror", (error) => pageErrors.push(String(error)));

  // --- Keynote and PowerPoint layouts ---
  for (const provider of ["keynote", "powerPoint"]) {
    state.provider = provider;
    state.requests = [];
    await page.goto(base);
    await page.waitForFunction(() => document.getElementById("slideMenu").options.length === 4);
    check(await page.textContent("#health") === `${displayNames[provider]} online`, `${provider}: health pill`);
    check(await page.textContent(".subtitle") === `Controlling ${displayNames[provider]}`, `${provider}: subtitle`);
    const labels = await page.$$eval("#slideMenu option", (options) => options.map((o) => o.textContent));
    check(labels[0] === "Select..." && labels[1] === "3. #Intro", `${provider}: slide labels`);
    check(labels[2] === `4. ${MARKUP_NAME}`, `${provider}: a slide name with markup is shown as text`);
    check(labels[3].length === 140 && labels[3].endsWith("..."), `${provider}: long labels are cut to 140`);

    await page.click("button[data-route='/show/next']");
    await waitFor(() => lastRequest()?.path === "/show/next", `${provider}: Next sends POST /show/next`);
    check(lastRequest()?.body === "" && lastRequest()?.contentType === "application/json",
      `${provider}: a command without payload has no body`);
    await page.waitForFunction(() => document.getElementById("result").className === "result ok");
    check(await page.textContent("#result") === MARKUP_MESSAGE, `${provider}: the reply message is shown as text`);

    await page.click("text=Start from First Slide");
    await waitFor(() => lastRequest()?.body === '{"fromBeginning":true}', `${provider}: start from first slide payload`);

    const before = state.requests.length;
    await page.fill("#slideNumber", "0");
    await page.click("#numberForm button[type=submit]");
    await page.waitForTimeout(200);
    check(state.requests.length === before, `${provider}: slide number 0 sends nothing`);
    await page.fill("#slideNumber", "7");
    await page.click("#numberForm button[type=submit]");
    await waitFor(() => lastRequest()?.path === "/goto/slide/number" && lastRequest()?.body === '{"number":7}',
      `${provider}: go to slide number`);

    await page.selectOption("#slideMenu", "4");
    await page.waitForFunction(() => !document.querySelector("#slideListForm button[type=submit]").disabled);
    await page.click("#slideListForm button[type=submit]");
    await waitFor(() => lastRequest()?.body === '{"number":4}', `${provider}: choose slide from the list`);

    await page.fill("#slideName", "  Intro  ");
    await page.click("#nameForm button[type=submit]");
    await waitFor(() => lastRequest()?.path === "/goto/slide/named" && lastRequest()?.body === '{"name":"Intro"}',
      `${provider}: go to named slide, trimmed`);

    check(await page.evaluate(() => document.querySelector("img, #injected") === null && window.__xss === undefined),
      `${provider}: no markup from the program was rendered`);
  }

  // --- A provider change reloads the open page into the other layout ---
  state.provider = "googleSlides";
  // The health poll (every 2 s) notices the change and reloads; waitForSelector rides out the navigation.
  check(await page.waitForSelector("#googleSlidesWindowMenu", { timeout: 8000 }).then(() => true, () => false),
    "provider change reloads the page into the new layout");

  // --- Google Slides layout ---
  state.requests = [];
  await page.waitForFunction(() => document.getElementById("googleSlidesWindowMenu").options.length === 5);
  const windowOptions = await page.$$eval("#googleSlidesWindowMenu option",
    (options) => options.map((o) => ({ text: o.textContent, value: o.value, disabled: o.disabled, selected: o.selected })));
  check(windowOptions[1].text === "Deck A - Chromium" && windowOptions[1].selected, "windows: selected window shown");
  check(windowOptions[2].text === `Chromium - ${MARKUP_NAME}`, "windows: a title with markup is shown as text");
  check(windowOptions[3].value === "divider-2" && windowOptions[3].disabled && windowOptions[3].text === "-".repeat(30),
    "windows: one divider between sections");
  check(await page.textContent("#windowDetail") === "pid 1 window 11", "windows: detail line");
  check(await page.$("#slideMenu") === null, "windows: no slide list");

  await page.selectOption("#googleSlidesWindowMenu", "13");
  await waitFor(() => lastRequest()?.path === "/windows/select" && lastRequest()?.body === '{"windowID":13}',
    "windows: choosing a window posts its id");

  await page.click("button[data-route='/show/next']");
  await waitFor(() => lastRequest()?.path === "/show/next", "googleSlides: Next sends POST /show/next");
  check(await page.evaluate(() => document.querySelector("img, #injected") === null && window.__xss === undefined),
    "googleSlides: no markup from the program was rendered");

  check(pageErrors.length === 0, `no script errors ${pageErrors.join("; ")}`);
} catch (error) {
  failures += 1;
  console.log(`not ok - ${error && error.stack ? error.stack : error}`);
} finally {
  await context.close();
  server.close();
  clearTimeout(watchdog);
  fs.rmSync(profile, { recursive: true, force: true });
  fs.rmSync(work, { recursive: true, force: true });
}

console.log(failures === 0 ? "control page browser test passed" : `${failures} check(s) failed`);
process.exit(failures === 0 ? 0 : 1);
