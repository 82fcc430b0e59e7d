// The live page's script. Every value from the service is set as text (textContent), never as
// markup: paths, names, payloads and links are whatever the clients sent.
#include "local_service/live_page.h"

namespace tavrel_mmp::tools {
namespace {

constexpr std::string_view kScript = R"js("use strict";
const byId = (id) => document.getElementById(id);
const KINDS = [
  ["responseCode", "fail with a status"],
  ["notJson", "answer something not JSON"],
  ["closeConnection", "cut the answer short"],
  ["closeWithoutAnswer", "close without answering"],
  ["delay", "delay the answer"],
];
const KEPT_ROWS = 1000;  // as many as the service keeps

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

// A table cell; one of class "clip" shows what fits and has the whole text as its tooltip.
function cell(text, className) {
  const td = element("td", className, text);
  if (td.classList.contains("clip")) td.title = text;
  return td;
}

// Each row is a list of cells, each a text or [text, class]; `onPick` makes rows clickable.
function fillRows(id, rows, emptyText, onPick) {
  const body = byId(id);
  const columns = body.parentElement.querySelectorAll("thead th").length;
  body.replaceChildren();
  if (rows.length === 0) {
    const tr = element("tr");
    const td = cell(emptyText, "empty");
    td.colSpan = columns;
    tr.append(td);
    body.append(tr);
    return;
  }
  for (const row of rows) {
    const tr = element("tr");
    for (const c of row) tr.append(Array.isArray(c) ? cell(c[0], c[1]) : cell(String(c)));
    if (onPick) {
      tr.className = "pick";
      tr.title = "show only these below";
      tr.addEventListener("click", () => onPick(row));
    }
    body.append(tr);
  }
}

// A line of columns: spans from texts or [text, class] or elements.
function columns(className, items) {
  const line = element(className === "head" ? "div" : "summary", "cols " + (className || ""));
  for (const item of items) {
    if (item instanceof Node) {
      const span = element("span");
      span.append(item);
      line.append(span);
    } else {
      const [text, cls] = Array.isArray(item) ? item : [item, ""];
      const span = element("span", cls, String(text));
      span.title = String(text);
      line.append(span);
    }
  }
  return line;
}

// An entry that opens on a click; `parts` are [label, text] pairs shown opened, each text in a
// block the browser's search finds even while the entry is closed.
function entry(items, parts, className) {
  const details = element("details", "entry " + (className || ""));
  details.append(columns("", items));
  const opened = element("div", "opened");
  for (const [label, text] of parts) {
    if (label) opened.append(element("div", "label", label));
    if (text instanceof Node) opened.append(text);
    else opened.append(element("pre", "payload", text));
  }
  details.append(opened);
  return details;
}

function fillList(id, head, entries, emptyText) {
  const list = byId(id);
  list.replaceChildren(columns("head", head));
  if (entries.length === 0) list.append(element("div", "empty", emptyText));
  list.append(...entries);
}

const pill = (text, className) => element("span", "pill " + (className || ""), text);
const two = (n) => String(n).padStart(2, "0");
// Wall-clock times in the browser's time zone: "14:03:07.250" (milliseconds), "14:03:07".
function clock(ms, withMillis) {
  const d = new Date(ms);
  const text = two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds());
  return withMillis ? text + "." + String(d.getMilliseconds()).padStart(3, "0") : text;
}
const seconds = (s) => (Math.round(s * 10) / 10).toFixed(1) + " s";
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

async function post(path, change, errorId) {
  if (errorId) byId(errorId).textContent = "";
  try {
    const reply = await fetch(path, {
      method: "POST",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify(change),
    });
    if (!reply.ok && errorId) byId(errorId).textContent = (await reply.json()).error;
  } catch (error) {
    if (errorId) byId(errorId).textContent = "the service did not answer: " + error;
  }
  poll();
}
const sendSwitch = (change) => post("/_live/switch", change, "switch-error");

function numberInput(name, value, title) {
  const label = element("label");
  const input = element("input", name);
  input.type = "number";
  input.value = value;
  input.title = title;
  label.append(name + " ", input);
  return label;
}

function button(text, className, onClick) {
  const b = element("button", className, text);
  b.type = "button";
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
    const tr = element("tr");
    tr.dataset.path = path;
    tr.append(cell(path, "mono"), cell("", "now"));
    const controls = element("td");
    const box = element("div", "switch");
    const kind = element("select", "kind");
    for (const [value, text] of KINDS) {
      const option = element("option", "", text);
      option.value = value;
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

// The filters of the two lists: a select per field, "" for all.
const filters = {name: byId("filter-name"), session: byId("filter-session"), path: byId("filter-path")};
function fillFilter(select, values, allText) {
  const chosen = select.value;
  const wanted = [""].concat(values);
  if (chosen && !values.includes(chosen)) wanted.push(chosen);
  if (select.options.length === wanted.length &&
      [...select.options].every((o, i) => o.value === wanted[i])) return;
  select.replaceChildren(...wanted.map((v) => {
    const option = element("option", "", v === "" ? allText : v);
    option.value = v;
    return option;
  }));
  select.value = chosen;
}
function choose(select, value) {
  if (![...select.options].some((o) => o.value === value)) {
    const option = element("option", "", value);
    option.value = value;
    select.append(option);
  }
  select.value = value;
  applyFilters();
}
function applyFilters() {
  let shown = 0;
  for (const e of eventLog.rows.values()) {
    e.hidden = (filters.name.value !== "" && e.dataset.name !== filters.name.value) ||
               (filters.session.value !== "" && e.dataset.session !== filters.session.value);
    shown += !e.hidden;
  }
  byId("event-shown").textContent = shown + " shown of " + eventLog.rows.size + " kept";
  shown = 0;
  for (const e of requestLog.rows.values()) {
    e.hidden = filters.path.value !== "" && e.dataset.path !== filters.path.value;
    shown += !e.hidden;
  }
  byId("request-shown").textContent = shown + " shown of " + requestLog.rows.size + " kept";
}
for (const select of Object.values(filters)) select.addEventListener("change", applyFilters);
byId("filter-events-off").addEventListener("click", () => {
  filters.name.value = filters.session.value = "";
  applyFilters();
});
byId("filter-path-off").addEventListener("click", () => {
  filters.path.value = "";
  applyFilters();
});

// A list of what arrived, newest first, kept in step with the service: rows come once, by
// sequence number, and go when the service no longer keeps them.
function makeLog(id, head, emptyText) {
  const list = byId(id);
  list.append(columns("head", head));
  const empty = element("div", "empty", emptyText);
  list.append(empty);
  return {list, empty, rows: new Map(), from: 0};
}
const eventLog = makeLog("event-log",
  ["Received", "Event time", "Name", "Properties", "Session", ""], "no events yet");
const requestLog = makeLog("request-log",
  ["Received", "Method", "Path", "Body", "Answer"], "no requests yet");
function addRows(log, rows, make) {
  for (const row of rows) {
    if (log.rows.has(row.sequence)) continue;
    const e = make(row);
    log.rows.set(row.sequence, e);
    log.empty.after(e);
    log.from = Math.max(log.from, row.sequence + 1);
  }
}
function dropRows(log, first) {
  for (const [sequence, e] of log.rows) {
    if (sequence < first || log.rows.size > KEPT_ROWS) {
      e.remove();
      log.rows.delete(sequence);
    }
  }
  log.from = Math.max(log.from, first);
  log.empty.hidden = log.rows.size > 0;
}

function eventEntry(e) {
  const properties = e.properties.map(([key, value]) => key + ": " + value).join(", ");
  const flag = e.repeat ? pill("repeat", "repeat") : "";
  const when = e.time === null ? "" : clock(e.time * 1000, false);
  const item = entry(
    [[clock(e.at, true), "n"], [when, "n"], [e.name, "mono"], [properties, "mono"],
     [e.session, "mono"], flag],
    [["id " + e.id + " \u00b7 sent by " + (e.sender || "(no User-Agent)") +
      (e.time === null ? "" : " \u00b7 event time " + new Date(e.time * 1000).toISOString()),
      e.payload || "(no longer kept)"]],
    e.repeat ? "repeat" : "");
  item.dataset.name = e.name;
  item.dataset.session = e.session;
  return item;
}

function requestEntry(r) {
  const parts = [["Headers", r.headers.map(([name, value]) => name + ": " + value).join("\n")],
                 ["Body" + (r.body.json ? " (JSON, indented)" : ""), r.body.text]];
  if (r.body.cut) {
    const whole = element("a", "", "the whole body (" + bytes(r.bytes) + ")");
    whole.href = "/_live/body?sequence=" + r.sequence;
    whole.target = "_blank";
    parts.push(["", whole]);
  }
  const item = entry(
    [[clock(r.at, true), "n"], r.method, [r.path, "mono"], [bytes(r.bytes), "n"],
     answerCell(r)], parts, r.refused ? "refused" : "");
  item.dataset.path = r.path;
  item.dataset.sequence = r.sequence;
  if (!r.outcome) unanswered.add(r.sequence);
  return item;
}
function answerCell(r) {
  const span = element("span", r.refused ? "bad" : "", r.outcome || "\u2026");
  const box = element("span");
  if (r.refused) box.append(pill(r.path === "/partner/event/log" ? "refused batch" : "refused", "refused"), " ");
  box.append(span);
  return box;
}
// Requests shown before their answer came; their answers are asked for until they come.
const unanswered = new Set();
function noteAnswers(answers) {
  for (const [sequence, answer] of Object.entries(answers)) {
    const number = Number(sequence);
    unanswered.delete(number);
    const item = requestLog.rows.get(number);
    if (!item) continue;
    const last = item.querySelector("summary > span:last-child");
    last.replaceChildren(answerCell({...answer, path: item.dataset.path}));
    item.classList.toggle("refused", answer.refused);
  }
}

async function fetchJson(url) {
  const reply = await fetch(url, {cache: "no-store"});
  if (!reply.ok) throw new Error(url + ": HTTP " + reply.status);
  return reply.json();
}

// True once the lists hold everything the state announced.
async function followLogs(state) {
  dropRows(requestLog, state.requestLog.first);
  dropRows(eventLog, state.events.first);
  for (const sequence of unanswered) if (!requestLog.rows.has(sequence)) unanswered.delete(sequence);
  // Each answer holds a part; a few rounds catch up with a burst.
  for (let round = 0; round < 8; ++round) {
    const wantRequests = requestLog.from < state.requestLog.next || unanswered.size > 0;
    const wantEvents = eventLog.from < state.events.next;
    if (!wantRequests && !wantEvents) {
      applyFilters();
      return true;
    }
    if (wantRequests) {
      const asked = [...unanswered].slice(0, 200).join(",");
      const part = await fetchJson("/_live/requests?from=" + requestLog.from +
                                   "&unanswered=" + asked);
      addRows(requestLog, part.requests, requestEntry);
      noteAnswers(part.answers);
      dropRows(requestLog, part.first);
      if (part.requests.length === 0) requestLog.from = Math.max(requestLog.from, part.next);
    }
    if (wantEvents) {
      const part = await fetchJson("/_live/events?from=" + eventLog.from);
      addRows(eventLog, part.events, eventEntry);
      dropRows(eventLog, part.first);
      if (part.events.length === 0) eventLog.from = Math.max(eventLog.from, part.next);
    }
    applyFilters();
    if (unanswered.size > 0 && requestLog.from >= state.requestLog.next &&
        eventLog.from >= state.events.next) {
      return true;  // the rest are answers still to come
    }
  }
  return false;
}

function render(state) {
  byId("base-url").textContent = state.baseUrl;
  byId("sessions").textContent = state.sessionsGranted + " session(s) granted";
  byId("retained").textContent =
    state.requestLog.count + " kept, " + bytes(state.requestLog.bytes);
  fillRows("paths", state.paths.map((p) => [
    [p.path, "mono"], [p.count, "n"], [bytes(p.bytes), "n"], [p.faulted, p.faulted ? "n bad" : "n"],
  ]), "no requests yet", (row) => choose(filters.path, row[0][0]));
  fillFilter(filters.path, state.paths.map((p) => p.path), "all paths");

  const events = state.events;
  byId("event-totals").textContent =
    events.accepted + " accepted, " + events.duplicates + " repeated";
  fillRows("events-by-name", events.byName.map(([name, n]) => [[name, "mono"], [n, "n"]]),
    "no events yet", (row) => choose(filters.name, row[0][0]));
  fillRows("events-by-session", events.bySession.map(([session, n]) => [[session, "mono"], [n, "n"]]),
    "no events yet", (row) => choose(filters.session, row[0][0]));
  fillFilter(filters.name, events.byName.map(([name]) => name), "all names");
  fillFilter(filters.session, events.bySession.map(([session]) => session), "all sessions");

  byId("installation-count").textContent = state.installations.length + " seen";
  fillList("installations",
    ["Device id", "Bundle id", "App version", "OS", "Sessions", "User", "Last seen"],
    state.installations.map((i) => entry(
      [[i.deviceId, "mono"], [i.bundleId, "mono"], i.appVersion, i.os, [i.sessions, "n"],
       [i.userId, "mono"], clock(i.lastSeen, true)],
      [["Last profile received" + (i.profile === null ? "" : " at " + clock(i.profileAt, true)),
        i.profile ?? "none yet"],
       ["Last device report \u00b7 partner code " + i.partnerCode + " \u00b7 last session " +
        i.lastSessionId, i.report ?? "none yet"]])),
    "no installation yet");

  const links = state.deepLinks;
  byId("deferred-answer").textContent = links.deferredAnswer;
  byId("deep-link-count").textContent = links.recent.length + " answered or received";
  fillList("deep-links", ["At", "Kind", "Link"],
    links.recent.map((l) => {
      const link = typeof l.link === "string" ? l.link : l.link === null ? "(none)" : JSON.stringify(l.link);
      const what = l.kind === "deferred" ? "Deferred deep link answered to device "
                                         : "Session deep link received from device ";
      return entry([clock(l.at, true), l.kind, [link, "mono"]],
                   [[what + (l.deviceId || "(unknown)"), link]]);
    }), "none yet");

  const refused = state.refusedEvents;
  byId("refused-count").textContent = refused.count + " never accepted";
  byId("refused-count").title = "an event refused for its content " + refused.setAsideAfter +
    " times is set aside by the library";
  fillList("refused-events", ["Last refused", "Name", "Refusals", ""],
    refused.shown.map((e) => entry(
      [clock(e.at, true), [e.name, "mono"], [e.refusals, "n"],
       e.setAside ? pill("set aside", "aside") : pill("refused", "refused")],
      [["id " + e.id + " \u00b7 session " + e.session + " \u00b7 " + e.forContent + " of " +
        e.refusals + " refusals for content \u00b7 last answer: " + e.lastAnswer, e.payload]],
      "refused")),
    "none: every event the service refused was accepted later");

  const beats = state.heartbeats;
  byId("heartbeat-count").textContent = beats.count;
  byId("heartbeat-answer").textContent =
    "answers " + (beats.answer === null ? "no data" : JSON.stringify(beats.answer));
  fillRows("heartbeats", beats.recent.map((at, i) => [
    clock(at, true),
    [i + 1 < beats.recent.length ? seconds((at - beats.recent[i + 1]) / 1000) : "", "n"],
  ]), "none yet");

  byId("crash-count").textContent = state.crashes.count + " received";
  fillList("crashes", ["Hash", "First line", "App"], state.crashes.recent.map((c) => entry(
    [[c.hash, "mono"], c.firstLine, c.platform + " " + c.appVersion], [["Report", c.payload]])),
    "none yet");
  byId("link-count").textContent = state.links.count + " made";
  fillRows("links", state.links.recent.map((l) => [[l.short, "mono"], [l.long, "mono clip"]]),
    "none yet");

  buildSwitches(state.routes);
  for (const tr of byId("switches").children) {
    const fault = state.faults[tr.dataset.path];
    tr.querySelector(".now").replaceChildren(
      pill(fault ? describeFault(fault) : "answers normally", fault ? "on" : ""));
  }
}

// Entries the user opened stay open when a list is drawn again.
function keepOpen(listIds, draw) {
  const open = new Set();
  for (const id of listIds) {
    byId(id).querySelectorAll("details[open] > summary").forEach((s) => open.add(id + "\n" + s.textContent));
  }
  draw();
  for (const id of listIds) {
    byId(id).querySelectorAll("details > summary").forEach((s) => {
      if (open.has(id + "\n" + s.textContent)) s.parentElement.open = true;
    });
  }
}

let shownVersion = -1;
let polling = false;
async function poll() {
  if (polling) return;
  polling = true;
  try {
    const state = await fetchJson("/_live/state");
    byId("uptime").textContent = "up " + state.uptime + " s";
    if (state.version !== shownVersion) {
      keepOpen(["installations", "deep-links", "refused-events", "crashes"], () => render(state));
      if (await followLogs(state)) shownVersion = state.version;
    }
    // Live once the page shows everything the service had when asked.
    byId("status").textContent = "live";
    byId("status").className = "meta live";
  } catch (error) {
    byId("status").textContent = "not answering";
    byId("status").className = "meta down";
  } finally {
    polling = false;
  }
}

byId("clear-all").addEventListener("click", () => sendSwitch({clearAll: true}));
byId("clear-data").addEventListener("click", () => post("/_live/clear", {}));
poll();
setInterval(poll, 500);
)js";

}  // namespace

std::string_view livePageScript() {
  return kScript;
}

}  // namespace tavrel_mmp::tools
