#include "app/http/control_page.h"

namespace pavonix::http {
namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

constexpr std::string_view kHead = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Pavonix</title>
<style>
:root {
  color-scheme: light dark;
  --background: #f7f7f4; --panel: #ffffff; --text: #1b1b1f; --muted: #62646d; --line: #deded8;
  --accent: #0f766e; --accent-text: #ffffff; --danger: #b42318; --ok: #137333;
}
@media (prefers-color-scheme: dark) {
  :root {
    --background: #151616; --panel: #202222; --text: #f3f4f1; --muted: #abadb4; --line: #343637;
    --accent: #2dd4bf; --accent-text: #09201d; --danger: #ff8a80; --ok: #7bd88f;
  }
}
* { box-sizing: border-box; }
body {
  margin: 0; background: var(--background); color: var(--text);
  font: 15px system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", sans-serif;
}
main { max-width: 760px; margin: 0 auto; padding: 24px 16px 40px; }
header { display: flex; align-items: center; justify-content: space-between; gap: 12px; margin-bottom: 16px; }
h1 { margin: 0; font-size: 26px; }
.subtitle { margin: 4px 0 0; color: var(--muted); }
.pill {
  padding: 6px 12px; border: 1px solid var(--line); border-radius: 999px; background: var(--panel);
  color: var(--muted); white-space: nowrap; overflow: hidden; text-overflow: ellipsis; max-width: 100%;
}
.panel {
  display: flex; flex-direction: column; gap: 20px; padding: 16px;
  background: var(--panel); border: 1px solid var(--line); border-radius: 12px;
}
h2 { margin: 0 0 8px; font-size: 12px; font-weight: 600; letter-spacing: 0.06em; text-transform: uppercase; color: var(--muted); }
.buttons { display: grid; grid-template-columns: repeat(auto-fit, minmax(148px, 1fr)); gap: 8px; }
button, input, select {
  min-height: 44px; padding: 0 12px; font: inherit; color: var(--text);
  background: var(--background); border: 1px solid var(--line); border-radius: 8px;
}
button { cursor: pointer; }
button.primary { background: var(--accent); border-color: var(--accent); color: var(--accent-text); font-weight: 600; }
button:disabled { opacity: 0.6; cursor: wait; }
form { display: flex; gap: 8px; }
form input, form select { flex: 1; min-width: 0; }
.result {
  margin-top: 16px; padding: 12px 14px; border: 1px solid var(--line); border-radius: 8px;
  background: var(--panel); white-space: pre-wrap; overflow-wrap: anywhere;
}
.result.ok { color: var(--ok); }
.result.failed { color: var(--danger); }
.detail {
  margin: 8px 0 0; min-height: 1.2em; color: var(--muted); font-size: 13px;
  font-family: ui-monospace, SFMono-Regular, Menlo, Consolas, monospace; white-space: pre-wrap; overflow-wrap: anywhere;
}
@media (max-width: 560px) {
  header, form { flex-direction: column; align-items: stretch; }
}
</style>
</head>
<body>
<main>
<header>
<div>
<h1>Pavonix</h1>
<p class="subtitle">Controlling )HTML";

constexpr std::string_view kHeaderEnd = R"HTML(</p>
</div>
<div id="health" class="pill">Checking HTTP server</div>
</header>
<div class="panel">
)HTML";

constexpr std::string_view kWindowSection = R"HTML(<section>
<h2>Google Slides Window</h2>
<form id="windowForm">
<select id="googleSlidesWindowMenu" required><option value="" disabled selected>Loading windows...</option></select>
<button type="button" id="refreshWindows">Refresh</button>
</form>
<p id="windowDetail" class="detail"></p>
</section>
)HTML";

constexpr std::string_view kCommandSections = R"HTML(<section>
<h2>Presentation</h2>
<div class="buttons">
<button type="button" class="primary" data-route="/start">Start</button>
<button type="button" data-route="/start" data-payload="{&quot;fromBeginning&quot;:true}">Start from First Slide</button>
<button type="button" data-route="/stop">Stop</button>
</div>
</section>
<section>
<h2>Slide Navigation</h2>
<div class="buttons">
<button type="button" data-route="/show/previous">Previous</button>
<button type="button" class="primary" data-route="/show/next">Next</button>
</div>
</section>
)HTML";

constexpr std::string_view kSlideListSection = R"HTML(<section>
<h2>Choose Slide</h2>
<form id="slideListForm">
<select id="slideMenu" required><option value="" disabled selected>Loading slides...</option></select>
<button type="submit">Go</button>
<button type="button" id="refreshSlides">Refresh</button>
</form>
</section>
)HTML";

constexpr std::string_view kNumberSection = R"HTML(<section>
<h2>Go To Slide Number</h2>
<form id="numberForm">
<input id="slideNumber" type="number" min="1" step="1" inputmode="numeric" placeholder="Slide number" required>
<button type="submit">Go</button>
</form>
</section>
)HTML";

constexpr std::string_view kNameSection = R"HTML(<section>
<h2>Go To Named Slide</h2>
<form id="nameForm">
<input id="slideName" type="text" autocomplete="off" placeholder="Slide Name" required>
<button type="submit">Go</button>
</form>
</section>
)HTML";

constexpr std::string_view kBodyEnd = R"HTML(</div>
<div id="result" class="result">Ready.</div>
</main>
<script>
)HTML";

// Every text that comes from the program (slide names, window titles, messages) goes into the
// page through textContent, option text or the title property: as text, never as markup.
constexpr std::string_view kSharedScript = R"JS("use strict";
const healthElement = document.getElementById("health");
const resultElement = document.getElementById("result");
const numberForm = document.getElementById("numberForm");
const slideNumberInput = document.getElementById("slideNumber");
)JS";

constexpr std::string_view kSharedFunctions = R"JS(
function setBusy(isBusy) {
  for (const button of document.querySelectorAll("button")) {
    button.disabled = isBusy;
  }
}

function errorMessage(error) {
  return error && error.message ? String(error.message) : String(error);
}

function showResult(payload, ok) {
  const status = payload && payload.status ? String(payload.status) : (ok ? "ok" : "failed");
  resultElement.className = "result " + status;
  resultElement.textContent = payload && payload.message ? String(payload.message) : JSON.stringify(payload, null, 2);
}

function truncate(value, maxLength) {
  const text = String(value);
  return text.length > maxLength ? text.slice(0, maxLength - 3) + "..." : text;
}

function makeOption(label, value, disabled, selected, title) {
  const option = document.createElement("option");
  option.textContent = label;
  option.value = value;
  option.disabled = Boolean(disabled);
  option.selected = Boolean(selected);
  if (title) {
    option.title = title;
  }
  return option;
}

function setMenuMessage(menu, message) {
  menu.replaceChildren(makeOption(message, "", true, true));
  menu.disabled = true;
}

function postJSON(route, body) {
  const options = { method: "POST", headers: { "Content-Type": "application/json" }, cache: "no-store" };
  if (body !== undefined && body !== null) {
    options.body = JSON.stringify(body);
  }
  return fetch(route, options);
}

async function runCommand(route, body) {
  setBusy(true);
  resultElement.className = "result";
  resultElement.textContent = "Sending command...";
  try {
    const response = await postJSON(route, body);
    const payload = await response.json();
    showResult(payload, response.ok);
  } catch (error) {
    showResult({ status: "failed", message: errorMessage(error) }, false);
  } finally {
    setBusy(false);
  }
}

document.addEventListener("click", (event) => {
  const button = event.target instanceof Element ? event.target.closest("button[data-route]") : null;
  if (!button) {
    return;
  }
  let payload;
  const payloadText = button.getAttribute("data-payload");
  if (payloadText) {
    try {
      payload = JSON.parse(payloadText);
    } catch (error) {
      payload = undefined;
    }
  }
  runCommand(button.getAttribute("data-route"), payload);
});

numberForm.addEventListener("submit", (event) => {
  event.preventDefault();
  const number = Number.parseInt(slideNumberInput.value, 10);
  if (Number.isInteger(number) && number > 0) {
    runCommand("/goto/slide/number", { number });
  }
});
)JS";

constexpr std::string_view kSlideScript = R"JS(
const slideListForm = document.getElementById("slideListForm");
const slideMenu = document.getElementById("slideMenu");
const refreshSlidesButton = document.getElementById("refreshSlides");
const nameForm = document.getElementById("nameForm");
const slideNameInput = document.getElementById("slideName");

function setSlideMenuMessage(message) {
  setMenuMessage(slideMenu, message);
}

function slideOptionLabel(slide) {
  const name = String(slide.name ?? "");
  const shownName = slide.hasExplicitName === true ? "#" + name : name;
  return truncate(String(slide.number) + ". " + shownName, 140);
}

function populateSlideMenu(slides) {
  if (slides.length === 0) {
    setSlideMenuMessage("No slides found");
    return;
  }
  const options = document.createDocumentFragment();
  options.append(makeOption("Select...", "", true, true));
  for (const slide of slides) {
    options.append(makeOption(slideOptionLabel(slide), String(slide.number)));
  }
  slideMenu.replaceChildren(options);
  slideMenu.disabled = false;
}

async function loadSlides(announce = false) {
  refreshSlidesButton.disabled = true;
  setSlideMenuMessage("Loading slides...");
  try {
    const response = await fetch("/slides", { cache: "no-store" });
    const payload = await response.json();
    if (!response.ok || !payload || payload.status !== "ok") {
      throw new Error(payload && payload.message ? String(payload.message) : "Unable to load slides.");
    }
    populateSlideMenu(Array.isArray(payload.slides) ? payload.slides : []);
    if (announce) {
      showResult(payload, true);
    }
  } catch (error) {
    setSlideMenuMessage("Slides unavailable");
    showResult({ status: "failed", message: errorMessage(error) }, false);
  } finally {
    refreshSlidesButton.disabled = false;
  }
}

slideListForm.addEventListener("submit", (event) => {
  event.preventDefault();
  const number = Number.parseInt(slideMenu.value, 10);
  if (Number.isInteger(number) && number > 0) {
    runCommand("/goto/slide/number", { number });
  }
});

refreshSlidesButton.addEventListener("click", () => {
  loadSlides(true);
});

nameForm.addEventListener("submit", (event) => {
  event.preventDefault();
  const name = slideNameInput.value.trim();
  if (name.length > 0) {
    runCommand("/goto/slide/named", { name });
  }
});
)JS";

constexpr std::string_view kWindowScript = R"JS(
const windowForm = document.getElementById("windowForm");
const windowMenu = document.getElementById("googleSlidesWindowMenu");
const refreshWindowsButton = document.getElementById("refreshWindows");
const windowDetail = document.getElementById("windowDetail");

function setWindowMenuMessage(message) {
  setMenuMessage(windowMenu, message);
  windowDetail.textContent = "";
}

function windowOptionLabel(entry) {
  const label = entry.menuTitle ? String(entry.menuTitle)
    : String(entry.ownerName ?? "") + " - " + String(entry.title ?? "");
  return truncate(label, 140);
}

function windowDividerOption(index) {
  return makeOption("-".repeat(30), "divider-" + index, true, false);
}

function populateWindowMenu(payload) {
  const windows = Array.isArray(payload.windows) ? payload.windows : [];
  if (windows.length === 0) {
    setWindowMenuMessage("No windows found");
    return;
  }
  const options = document.createDocumentFragment();
  const placeholder = makeOption("Select a window...", "", true, true);
  options.append(placeholder);
  let previousSection = null;
  windows.forEach((entry, index) => {
    const section = entry.displaySection || "other";
    if (previousSection !== null && section !== previousSection) {
      options.append(windowDividerOption(index));
    }
    options.append(makeOption(windowOptionLabel(entry), String(entry.windowID), false, false,
      entry.detailText ? String(entry.detailText) : ""));
    previousSection = section;
  });
  windowMenu.replaceChildren(options);
  windowMenu.disabled = false;
  const selectedWindowID = Number(payload.selectedWindowID ?? 0);
  const selected = windows.find((entry) => Number(entry.windowID) === selectedWindowID);
  if (selected) {
    windowMenu.value = String(selected.windowID);
    windowDetail.textContent = selected.detailText ? String(selected.detailText) : "";
  } else {
    placeholder.selected = true;
    windowDetail.textContent = "";
  }
}

async function loadWindows(announce = false) {
  refreshWindowsButton.disabled = true;
  setWindowMenuMessage("Loading windows...");
  try {
    const response = await fetch("/windows", { cache: "no-store" });
    const payload = await response.json();
    if (!response.ok || !payload || payload.status !== "ok") {
      throw new Error(payload && payload.message ? String(payload.message) : "Unable to load windows.");
    }
    populateWindowMenu(payload);
    if (announce) {
      showResult(payload, true);
    }
  } catch (error) {
    setWindowMenuMessage("Windows unavailable");
    showResult({ status: "failed", message: errorMessage(error) }, false);
  } finally {
    refreshWindowsButton.disabled = false;
  }
}

async function selectGoogleSlidesWindow(windowID) {
  refreshWindowsButton.disabled = true;
  windowMenu.disabled = true;
  try {
    const response = await postJSON("/windows/select", { windowID });
    const payload = await response.json();
    showResult(payload, response.ok);
    await loadWindows(false);
  } catch (error) {
    windowMenu.disabled = false;
    showResult({ status: "failed", message: errorMessage(error) }, false);
  } finally {
    refreshWindowsButton.disabled = false;
  }
}

windowForm.addEventListener("submit", (event) => {
  event.preventDefault();
});

windowMenu.addEventListener("change", () => {
  const windowID = Number.parseInt(windowMenu.value, 10);
  if (Number.isInteger(windowID) && windowID > 0) {
    selectGoogleSlidesWindow(windowID);
  }
});

refreshWindowsButton.addEventListener("click", () => {
  loadWindows(true);
});
)JS";

constexpr std::string_view kHealthScript = R"JS(
async function refreshHealth() {
  try {
    const response = await fetch("/health", { cache: "no-store" });
    if (!response.ok) {
      throw new Error("HTTP " + response.status);
    }
    const payload = await response.json();
    if (payload && payload.presentationProvider && payload.presentationProvider !== pagePresentationProvider) {
      healthElement.textContent = "Controlling " +
        String(payload.presentationProviderName || payload.presentationProvider) + "; refreshing...";
      window.location.reload();
      return;
    }
    healthElement.textContent = payload && payload.presentationProviderName
      ? String(payload.presentationProviderName) + " online" : "HTTP server online";
  } catch (error) {
    healthElement.textContent = "HTTP server unavailable";
  }
}

refreshHealth();
setInterval(refreshHealth, 2000);
)JS";

constexpr std::string_view kEnd = R"HTML(</script>
</body>
</html>
)HTML";

}  // namespace

std::string htmlEscaped(std::string_view text) {
    std::string out(text);
    replaceAll(out, "&", "&amp;");
    replaceAll(out, "<", "&lt;");
    replaceAll(out, ">", "&gt;");
    replaceAll(out, "\"", "&quot;");
    replaceAll(out, "'", "&#39;");
    return out;
}

std::string scriptStringEscaped(std::string_view text) {
    std::string out(text);
    replaceAll(out, "\\", "\\\\");
    replaceAll(out, "\"", "\\\"");
    replaceAll(out, "\n", "\\n");
    replaceAll(out, "\r", "\\r");
    replaceAll(out, "<", "\\x3C");
    return out;
}

std::string controlPageHTML(PresentationProvider provider) {
    const bool windows = provider == PresentationProvider::googleSlides;
    std::string page;
    page.reserve(16 * 1024);
    page += kHead;
    page += htmlEscaped(displayName(provider));
    page += kHeaderEnd;
    if (windows) page += kWindowSection;
    page += kCommandSections;
    if (!windows) page += kSlideListSection;
    page += kNumberSection;
    if (!windows) page += kNameSection;
    page += kBodyEnd;
    page += kSharedScript;
    page += "const pagePresentationProvider = \"";
    page += scriptStringEscaped(rawValue(provider));
    page += "\";\n";
    page += kSharedFunctions;
    page += windows ? kWindowScript : kSlideScript;
    page += kHealthScript;
    page += windows ? "\nloadWindows();\n" : "\nloadSlides();\n";
    page += kEnd;
    return page;
}

}  // namespace pavonix::http
