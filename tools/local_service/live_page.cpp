// The live page. Every value from the service is set as text (textContent), never as markup:
// paths, event names and links are whatever the clients sent.
#include "local_service/live_page.h"

namespace tavrel_mmp::tools {
namespace {

constexpr std::string_view kHtml = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Local measurement service</title>
<style>
  :root { --bg: #f3f4f6; --card: #fff; --ink: #1f2430; --muted: #6b7280; --line: #e5e7eb;
          --accent: #2457d6; --bad: #b42318; --good: #067647; }
  * { box-sizing: border-box; }
  body { margin: 0; background: var(--bg); color: var(--ink);
         font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
  header { background: #1f2430; color: #fff; padding: 12px 20px; display: flex; gap: 18px;
           align-items: baseline; flex-wrap: wrap; }
  header h1 { font-size: 17px; font-weight: 600; margin: 0; }
  header .meta { color: #c9cfdb; font-size: 13px; }
  #status::before { content: "\25CF"; margin-right: 5px; color: #9ca3af; }
  #status.live::before { color: #4ade80; }
  #status.down::before { color: #f87171; }
  main { display: grid; grid-template-columns: repeat(auto-fill, minmax(400px, 1fr)); gap: 14px;
         padding: 14px 20px 24px; }
  section { background: var(--card); border: 1px solid var(--line); border-radius: 8px;
            padding: 12px 14px; min-width: 0; }
  section.wide { grid-column: 1 / -1; }
  h2 { display: flex; justify-content: space-between; align-items: center; gap: 8px; margin: 0 0 8px;
       font-size: 12px; font-weight: 600; letter-spacing: .05em; text-transform: uppercase;
       color: var(--muted); }
  h2 .note { text-transform: none; letter-spacing: 0; font-weight: 400; }
  table { width: 100%; border-collapse: collapse; font-size: 13px; }
  th, td { text-align: left; padding: 4px 6px; border-bottom: 1px solid var(--line);
           vertical-align: top; }
  th { color: var(--muted); font-weight: 500; }
  .n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
  .mono { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, monospace; font-size: 12px;
          overflow-wrap: anywhere; }
  .empty { color: var(--muted); font-style: italic; }
  table.fixed { table-layout: fixed; }
  td.clip { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; overflow-wrap: normal; }
  .bad { color: var(--bad); }
  .good { color: var(--good); }
  .big { font-size: 26px; font-weight: 600; margin-right: 6px; }
  .pill { display: inline-block; padding: 0 8px; border-radius: 10px; font-size: 12px;
          background: #e8f5ee; color: var(--good); }
  .pill.on { background: #fde8e7; color: var(--bad); }
  .switch { display: flex; gap: 6px; align-items: center; flex-wrap: wrap; }
  .switch select, .switch input { font: inherit; font-size: 12px; padding: 2px 4px; }
  .switch input { width: 64px; }
  .switch label { font-size: 12px; color: var(--muted); }
  button { font: inherit; font-size: 12px; padding: 2px 10px; border: 1px solid #cfd4dc;
           border-radius: 5px; background: #fff; cursor: pointer; }
  button.primary { background: var(--accent); border-color: var(--accent); color: #fff; }
  #switch-error { color: var(--bad); font-size: 12px; min-height: 1em; }
</style>
</head>
<body>
<header>
  <h1>Local measurement service</h1>
  <span class="meta mono" id="base-url"></span>
  <span class="meta" id="uptime"></span>
  <span class="meta" id="sessions"></span>
  <span class="meta" id="status">connecting</span>
</header>
<main>
  <section>
    <h2>Requests per path <span class="note" id="retained"></span></h2>
    <table>
      <thead><tr><th>Path</th><th class="n">Requests</th><th class="n">Body bytes</th>
        <th class="n">Faulted</th></tr></thead>
      <tbody id="paths"></tbody>
    </table>
  </section>
  <section>
    <h2>Events by name <span class="note" id="event-totals"></span></h2>
    <table>
      <thead><tr><th>Name</th><th class="n">Events</th></tr></thead>
      <tbody id="events-by-name"></tbody>
    </table>
  </section>
  <section>
    <h2>Events by session</h2>
    <table>
      <thead><tr><th>Session</th><th class="n">Events</th></tr></thead>
      <tbody id="events-by-session"></tbody>
    </table>
    <h2 style="margin-top: 14px">Latest events</h2>
    <table class="fixed">
      <thead><tr><th class="n" style="width: 16%">At</th><th style="width: 52%">Name</th>
        <th>Session</th></tr></thead>
      <tbody id="recent-events"></tbody>
    </table>
  </section>
  <section>
    <h2>Heartbeats <span class="note" id="heartbeat-answer"></span></h2>
    <div><span class="big" id="heartbeat-count">0</span>received</div>
    <table>
      <thead><tr><th class="n">At</th><th class="n">After the previous</th></tr></thead>
      <tbody id="heartbeats"></tbody>
    </table>
  </section>
  <section>
    <h2>Crash reports <span class="note" id="crash-count"></span></h2>
    <table>
      <thead><tr><th>Hash</th><th>First line</th><th>App</th></tr></thead>
      <tbody id="crashes"></tbody>
    </table>
  </section>
  <section>
    <h2>Links made <span class="note" id="link-count"></span></h2>
    <table class="fixed">
      <thead><tr><th style="width: 45%">Short</th><th>Long</th></tr></thead>
      <tbody id="links"></tbody>
    </table>
  </section>
  <section class="wide">
    <h2>Fault injection <button id="clear-all" type="button">Clear all</button></h2>
    <div id="switch-error"></div>
    <table>
      <thead><tr><th>Path</th><th>Now</th><th>Switch</th></tr></thead>
      <tbody id="switches"></tbody>
    </table>
  </section>
  <section class="wide">
    <h2>Latest requests</h2>
    <table>
      <thead><tr><th class="n">At</th><th>Method</th><th>Path</th><th class="n">Body bytes</th>
        <th>Answer</th></tr></thead>
      <tbody id="requests"></tbody>
    </table>
  </section>
</main>
<script>
"use strict";
const byId = (id) => document.getElementById(id);
const KINDS = [
  ["responseCode", "fail with a status"],
  ["notJson", "answer something not JSON"],
  ["closeConnection", "cut the answer short"],
  ["closeWithoutAnswer", "close without answering"],
  ["delay", "delay the answer"],
];

// A cell of class "clip" shows what fits; the whole text is its tooltip.
function cell(text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  if (td.classList.contains("clip")) td.title = text;
  return td;
}

// Each row is a list of cells, each a text or [text, class].
function fillRows(id, rows, emptyText) {
  const body = byId(id);
  const columns = body.parentElement.querySelectorAll("thead th").length;
  body.replaceChildren();
  if (rows.length === 0) {
    const tr = document.createElement("tr");
    const td = cell(emptyText, "empty");
    td.colSpan = columns;
    tr.append(td);
    body.append(tr);
    return;
  }
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const c of row) tr.append(Array.isArray(c) ? cell(c[0], c[1]) : cell(String(c)));
    body.append(tr);
  }
}

const seconds = (s) => s.toFixed(1) + " s";
function bytes(n) {
  if (n < 1024) return n + " B";
  if (n < 1048576) return (n / 1024).toFixed(1) + " KiB";
  return (n / 1048576).toFixed(1) + " MiB";
}

function describeFault(fault) {
  const times = fault.times < 0 ? "" : " (" + fault.times + " more)";
  switch (fault.kind) {
    case "responseCode":
      return "fail: HTTP " + fault.httpStatus + ", code " + fault.responseCode + times;
    case "notJson": return "answer not JSON" + times;
    case "closeConnection": return "cut the answer short" + times;
    case "closeWithoutAnswer": return "close without answering" + times;
    case "delay": return "delay " + fault.delaySeconds + " s" + times;
  }
  return fault.kind;
}

async function sendSwitch(change) {
  byId("switch-error").textContent = "";
  try {
    const reply = await fetch("/_live/switch", {
      method: "POST",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify(change),
    });
    if (!reply.ok) byId("switch-error").textContent = (await reply.json()).error;
  } catch (error) {
    byId("switch-error").textContent = "the service did not answer: " + error;
  }
  poll();
}

function numberInput(name, value, title) {
  const label = document.createElement("label");
  const input = document.createElement("input");
  input.type = "number";
  input.className = name;
  input.value = value;
  input.title = title;
  label.append(name + " ", input);
  return label;
}

function button(text, className, onClick) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = text;
  b.className = className;
  b.addEventListener("click", onClick);
  return b;
}

// Built once per set of paths, so a poll never resets what the user is choosing.
let switchPaths = "";
function buildSwitches(paths) {
  if (paths.join("\n") === switchPaths) return;
  switchPaths = paths.join("\n");
  const body = byId("switches");
  body.replaceChildren();
  for (const path of paths) {
    const tr = document.createElement("tr");
    tr.dataset.path = path;
    tr.append(cell(path, "mono"), cell("", "now"));
    const controls = document.createElement("td");
    const box = document.createElement("div");
    box.className = "switch";
    const kind = document.createElement("select");
    kind.className = "kind";
    for (const [value, text] of KINDS) {
      const option = document.createElement("option");
      option.value = value;
      option.textContent = text;
      kind.append(option);
    }
    const http = numberInput("http", 500, "HTTP status of the answer");
    const code = numberInput("code", 500, "responseCode in the answer's envelope");
    const delay = numberInput("delay", 3, "seconds before answering");
    const showInputs = () => {
      http.hidden = code.hidden = kind.value !== "responseCode";
      delay.hidden = kind.value !== "delay";
    };
    kind.addEventListener("change", showInputs);
    showInputs();
    const value = (label) => Number(label.querySelector("input").value);
    box.append(kind, http, code, delay,
      button("Apply", "apply primary", () => sendSwitch({
        path, kind: kind.value, httpStatus: value(http), responseCode: value(code),
        delaySeconds: value(delay),
      })),
      button("Clear", "clear", () => sendSwitch({path, kind: "none"})));
    controls.append(box);
    tr.append(controls);
    body.append(tr);
  }
}

function render(state) {
  byId("base-url").textContent = state.baseUrl;
  byId("sessions").textContent = state.sessionsGranted + " session(s) granted";
  byId("retained").textContent = state.retained.count + " kept, " + bytes(state.retained.bytes);
  fillRows("paths", state.paths.map((p) => [
    [p.path, "mono"], [p.count, "n"], [bytes(p.bytes), "n"], [p.faulted, p.faulted ? "n bad" : "n"],
  ]), "no requests yet");

  const events = state.events;
  byId("event-totals").textContent =
    events.accepted + " accepted, " + events.duplicates + " repeated";
  fillRows("events-by-name", events.byName.map(([name, n]) => [[name, "mono"], [n, "n"]]),
    "no events yet");
  fillRows("events-by-session", events.bySession.map(([session, n]) => [[session, "mono"], [n, "n"]]),
    "no events yet");
  fillRows("recent-events", events.recent.slice(0, 10).map((e) => [
    [seconds(e.at), "n"], [e.name, "mono clip"], [e.session, "mono clip"],
  ]), "no events yet");

  const beats = state.heartbeats;
  byId("heartbeat-count").textContent = beats.count;
  byId("heartbeat-answer").textContent =
    "answers " + (beats.answer === null ? "no data" : JSON.stringify(beats.answer));
  fillRows("heartbeats", beats.recent.map((at, i) => [
    [seconds(at), "n"],
    [i + 1 < beats.recent.length ? seconds(at - beats.recent[i + 1]) : "", "n"],
  ]), "none yet");

  byId("crash-count").textContent = state.crashes.count + " received";
  fillRows("crashes", state.crashes.recent.map((c) => [
    [c.hash, "mono"], c.firstLine, c.platform + " " + c.appVersion,
  ]), "none yet");
  byId("link-count").textContent = state.links.count + " made";
  fillRows("links", state.links.recent.map((l) => [[l.short, "mono"], [l.long, "mono clip"]]),
    "none yet");

  buildSwitches(state.routes);
  for (const tr of byId("switches").children) {
    const fault = state.faults[tr.dataset.path];
    const now = tr.querySelector(".now");
    now.replaceChildren();
    const pill = document.createElement("span");
    pill.className = fault ? "pill on" : "pill";
    pill.textContent = fault ? describeFault(fault) : "answers normally";
    now.append(pill);
  }

  fillRows("requests", state.recentRequests.map((r) => [
    [seconds(r.at), "n"], r.method, [r.path, "mono"], [bytes(r.bytes), "n"],
    [r.outcome || "\u2026", r.outcome.includes("injected") ? "bad" : ""],
  ]), "no requests yet");
}

let shownVersion = -1;
let polling = false;
async function poll() {
  if (polling) return;
  polling = true;
  try {
    const reply = await fetch("/_live/state", {cache: "no-store"});
    const state = await reply.json();
    byId("status").textContent = "live";
    byId("status").className = "meta live";
    byId("uptime").textContent = "up " + seconds(state.uptime);
    if (state.version !== shownVersion) {
      render(state);
      shownVersion = state.version;
    }
  } catch (error) {
    byId("status").textContent = "not answering";
    byId("status").className = "meta down";
  } finally {
    polling = false;
  }
}

byId("clear-all").addEventListener("click", () => sendSwitch({clearAll: true}));
poll();
setInterval(poll, 500);
</script>
</body>
</html>
)html";

}  // namespace

std::string_view livePageHtml() {
  return kHtml;
}

}  // namespace tavrel_mmp::tools
