// Loads the control page of every provider in headless Chromium from the HTTP test server (a real
// server over a fake model that answers "Done: <command>") and checks what a person would: each
// button and form runs its command, lists fill, the page follows a provider change, and texts from
// the program stay text.
//
// usage: node control_page.test.mjs <path of http_test_server>
// Exit 0 on success, 1 on failure, 77 when a tool is missing outside CI.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";

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

const serverBinary = process.argv[2];
if (!serverBinary || !fs.existsSync(serverBinary)) unavailable("the HTTP test server");
if (!fs.existsSync(CHROMIUM)) unavailable(CHROMIUM);
let chromium;
try {
  ({ chromium } = await import("playwright-core"));
} catch {
  unavailable("playwright-core (npm install in tests/browser)");
}

// Every page wait below is bounded (10 s by default). A server that dies before printing its port
// leaves the await below unsettled, and node exits with a failure; ctest's time limit bounds the rest.
// However node ends (a browser that does not start included), the server ends with it.
const server = spawn(serverBinary, [], { stdio: ["ignore", "pipe", "inherit"] });
process.on("exit", () => server.kill());
const port = await new Promise((resolve) => {
  readline.createInterface({ input: server.stdout }).once("line", (line) => resolve(line.split(" ")[1]));
});
const base = `http://127.0.0.1:${port}/`;

// The fake model's slide 2 name and window 12 title.
const MARKUP_NAME = '<img src=x onerror="window.__xss=1">';
const MARKUP_MESSAGE = '<b id="injected">Moved</b><img src=x onerror="window.__xss=2">';
const displayNames = { keynote: "Keynote", powerPoint: "PowerPoint", googleSlides: "Google Slides" };
const selectProvider = (provider) => fetch(`${base}provider/select`, { method: "POST", body: JSON.stringify({ provider }) });

let failures = 0;
function check(condition, what) {
  if (!condition) failures += 1;
  console.log(`${condition ? "ok" : "not ok"} - ${what}`);
}

// Waits for the result line to show the answer to what was sent.
async function resultIs(page, text, what) {
  const shown = await page.waitForFunction((wanted) => document.getElementById("result").textContent === wanted, text)
    .then(() => true, () => false);
  check(shown, `${what}: ${text}`);
}

const headings = (page) => page.$$eval("h2", (elements) => elements.map((h) => h.textContent).join("|"));
const noMarkupRendered = (page) =>
  page.evaluate(() => document.querySelector("img, #injected") === null && window.__xss === undefined);

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
    await selectProvider(provider);
    await page.goto(base);
    await page.waitForFunction(() => document.getElementById("slideMenu").options.length === 4);
    await page.waitForFunction((name) => document.getElementById("health").textContent === `${name} online`,
      displayNames[provider]);
    check(await headings(page) === "Presentation|Slide Navigation|Choose Slide|Go To Slide Number|Go To Named Slide",
      `${provider}: sections in order`);
    const labels = await page.$$eval("#slideMenu option", (options) => options.map((o) => o.textContent));
    check(JSON.stringify(labels) === JSON.stringify(["Select...", "1. #Intro", `2. ${MARKUP_NAME}`, `3. ${"x".repeat(134)}...`]),
      `${provider}: slide labels as text, cut to 140 characters ${labels}`);

    for (const [button, command] of [["Start", "Start"], ["Start from First Slide", "Start from first slide"],
      ["Stop", "Stop"], ["Previous", "Show previous"], ["Next", "Show next"]]) {
      await page.click(`button:text-is("${button}")`);
      await resultIs(page, `Done: ${command}`, `${provider}: ${button}`);
    }
    // The name is sent trimmed; a reply message with markup is shown as text.
    for (const [action, field, value, form, command] of [["fill", "#slideNumber", "7", "#numberForm", "Go to slide 7"],
      ["selectOption", "#slideMenu", "3", "#slideListForm", "Go to slide 3"],
      ["fill", "#slideName", "  Intro  ", "#nameForm", 'Go to slide named "Intro"'],
      ["fill", "#slideName", MARKUP_MESSAGE, "#nameForm", `Go to slide named "${MARKUP_MESSAGE}"`]]) {
      await page[action](field, value);
      await page.click(`${form} button[type=submit]`);
      await resultIs(page, `Done: ${command}`, `${provider}: ${form} ${value}`);
    }
    check(await noMarkupRendered(page), `${provider}: no markup from the program was rendered`);
  }

  // --- A provider change reloads the open page into the other layout ---
  await selectProvider("googleSlides");
  // The health poll (every 2 s) notices the change and reloads; waitForSelector rides out the navigation.
  check(await page.waitForSelector("#googleSlidesWindowMenu", { timeout: 8000 }).then(() => true, () => false),
    "provider change reloads the page into the new layout");

  // --- Google Slides layout ---
  await page.waitForFunction(() => document.getElementById("googleSlidesWindowMenu").options.length === 4);
  const windowLabels = await page.$$eval("#googleSlidesWindowMenu option",
    (options) => options.map((o) => (o.disabled && o.value.startsWith("divider") ? "divider" : o.textContent)));
  check(JSON.stringify(windowLabels) === JSON.stringify(["Select a window...", "Deck - Browser", "divider",
    `Browser - ${MARKUP_NAME}`]), `windows: labels as text, one divider between sections ${windowLabels}`);
  check(await headings(page) === "Google Slides Window|Presentation|Slide Navigation|Go To Slide Number",
    "windows: sections in order, no slide list");
  await page.selectOption("#googleSlidesWindowMenu", "12");
  await resultIs(page, "Selected window 12.", "windows: choosing a window");
  await page.waitForFunction(() => document.getElementById("windowDetail").textContent === "Window 12");
  check(await page.inputValue("#googleSlidesWindowMenu") === "12", "windows: the selected window is shown");
  await page.click("button:text-is('Next')");
  await resultIs(page, "Done: Show next", "googleSlides: Next");
  check(await noMarkupRendered(page), "googleSlides: no markup from the program was rendered");

  check(pageErrors.length === 0, `no script errors ${pageErrors.join("; ")}`);
} catch (error) {
  failures += 1;
  console.log(`not ok - ${error && error.stack ? error.stack : error}`);
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}

console.log(failures === 0 ? "control page browser test passed" : `${failures} check(s) failed`);
process.exit(failures === 0 ? 0 : 1);
