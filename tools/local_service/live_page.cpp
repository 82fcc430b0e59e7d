// The live page's markup and style; its script is in live_page_script.cpp.
#include "local_service/live_page.h"

#include <string>

namespace tavrel_mmp::tools {
namespace {

constexpr std::string_view kHead = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Local measurement service</title>
<style>
  :root { --bg: #f3f4f6; --card: #fff; --ink: #1f2430; --muted: #6b7280; --line: #e5e7eb;
          --accent: #2457d6; --bad: #b42318; --good: #067647; --warn: #b54708; }
  * { box-sizing: border-box; }
  body { margin: 0; background: var(--bg); color: var(--ink);
         font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
  header { background: #1f2430; color: #fff; padding: 12px 20px; display: flex; gap: 18px;
           align-items: baseline; flex-wrap: wrap; }
  header h1 { font-size: 17px; font-weight: 600; margin: 0; }
  header .meta { color: #c9cfdb; font-size: 13px; }
  header .spacer { flex: 1; }
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
  h3 { font-size: 12px; font-weight: 600; color: var(--muted); margin: 10px 0 4px; }
  table { width: 100%; border-collapse: collapse; font-size: 13px; }
  th, td { text-align: left; padding: 4px 6px; border-bottom: 1px solid var(--line);
           vertical-align: top; }
  th { color: var(--muted); font-weight: 500; }
  tr.pick { cursor: pointer; }
  tr.pick:hover td { background: #eef2fb; }
  .n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
  .mono { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, monospace; font-size: 12px;
          overflow-wrap: anywhere; }
  .empty { color: var(--muted); font-style: italic; padding: 4px 6px; }
  td.clip { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; overflow-wrap: normal; }
  .bad { color: var(--bad); }
  .big { font-size: 26px; font-weight: 600; margin-right: 6px; }
  .pill { display: inline-block; padding: 0 8px; border-radius: 10px; font-size: 12px;
          background: #e8f5ee; color: var(--good); white-space: nowrap; }
  .pill.on, .pill.refused, .pill.aside { background: #fde8e7; color: var(--bad); }
  .pill.repeat { background: #fef0c7; color: var(--warn); }
  .switch { display: flex; gap: 6px; align-items: center; flex-wrap: wrap; }
  .switch select, .switch input, .filters select { font: inherit; font-size: 12px; padding: 2px 4px; }
  .switch input { width: 64px; }
  .switch label, .filters label { font-size: 12px; color: var(--muted); }
  .filters { display: flex; gap: 12px; align-items: center; flex-wrap: wrap; margin-bottom: 6px; }
  .filters select { max-width: 320px; }
  button { font: inherit; font-size: 12px; padding: 2px 10px; border: 1px solid #cfd4dc;
           border-radius: 5px; background: #fff; cursor: pointer; }
  button.primary { background: var(--accent); border-color: var(--accent); color: #fff; }
  header button { background: #2d3445; border-color: #4b5468; color: #fff; }
  #switch-error { color: var(--bad); font-size: 12px; min-height: 1em; }
  /* Lists whose entries open on a click to show what arrived. */
  .list { font-size: 13px; }
  .list.scroll { max-height: 560px; overflow-y: auto; }
  .cols { display: grid; gap: 8px; padding: 4px 6px; align-items: baseline; }
  .cols > span { min-width: 0; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
  .cols.head { color: var(--muted); font-weight: 500; border-bottom: 1px solid var(--line); }
  details.entry { border-bottom: 1px solid var(--line); }
  details.entry > summary { list-style: none; cursor: pointer; }
  details.entry > summary::-webkit-details-marker { display: none; }
  details.entry > summary:hover { background: #f6f8fc; }
  details.entry[open] > summary { background: #eef2fb; }
  details.entry.refused > summary { box-shadow: inset 3px 0 var(--bad); }
  .opened { padding: 6px 10px 10px 18px; background: #fafbfc; }
  .label { color: var(--muted); font-size: 12px; margin: 6px 0 2px; }
  pre.payload { margin: 0; padding: 8px; background: #fff; border: 1px solid var(--line);
                border-radius: 5px; max-height: 480px; overflow: auto; white-space: pre-wrap;
                overflow-wrap: anywhere; font: 12px/1.4 ui-monospace, "DejaVu Sans Mono", Menlo, monospace; }
  #installations .cols { grid-template-columns: 1.6fr 1.3fr .7fr 1fr .6fr 1fr 1.3fr; }
  #refused-events .cols { grid-template-columns: 8.5em minmax(0, 1fr) 5em 6em; }
  #deep-links .cols { grid-template-columns: 8.5em 5em minmax(0, 1fr); }
  #crashes .cols { grid-template-columns: 1.2fr 2fr 1fr; }
  #event-log .cols { grid-template-columns: 8.5em 5.5em minmax(0, 1.2fr) minmax(0, 2fr) minmax(0, 1.1fr) 7em; }
  #request-log .cols { grid-template-columns: 8.5em 3.5em minmax(0, 1.6fr) 5.5em minmax(0, 2fr); }
</style>
</head>
<body>
<header>
  <h1>Local measurement service</h1>
  <span class="meta mono" id="base-url"></span>
  <span class="meta" id="uptime"></span>
  <span class="meta" id="sessions"></span>
  <span class="meta" id="status">connecting</span>
  <span class="spacer"></span>
  <button id="clear-data" type="button" title="Forget every request, event, report, link and installation received; sessions and faults stay">Clear received data</button>
</header>
<main>
  <section class="wide">
    <h2>Installations <span class="note" id="installation-count"></span></h2>
    <div class="list" id="installations"></div>
  </section>
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
  </section>
  <section class="wide">
    <h2>Events received <span class="note" id="event-shown"></span></h2>
    <div class="filters">
      <label>Name <select id="filter-name"></select></label>
      <label>Session <select id="filter-session"></select></label>
      <button type="button" id="filter-events-off">All events</button>
    </div>
    <div class="list scroll" id="event-log"></div>
  </section>
  <section class="wide">
    <h2>Requests received <span class="note" id="request-shown"></span></h2>
    <div class="filters">
      <label>Path <select id="filter-path"></select></label>
      <button type="button" id="filter-path-off">All paths</button>
    </div>
    <div class="list scroll" id="request-log"></div>
  </section>
  <section>
    <h2>Deep links <span class="note" id="deep-link-count"></span></h2>
    <div class="label">A deferred deep link request is answered with "data":</div>
    <pre class="payload" id="deferred-answer"></pre>
    <h3>Answered and received</h3>
    <div class="list" id="deep-links"></div>
  </section>
  <section>
    <h2>Refused events <span class="note" id="refused-count"></span></h2>
    <div class="list" id="refused-events"></div>
  </section>
  <section>
    <h2>Heartbeats <span class="note" id="heartbeat-answer"></span></h2>
    <div><span class="big" id="heartbeat-count">0</span>received</div>
    <table>
      <thead><tr><th>Received</th><th class="n">After the previous</th></tr></thead>
      <tbody id="heartbeats"></tbody>
    </table>
  </section>
  <section>
    <h2>Crash reports <span class="note" id="crash-count"></span></h2>
    <div class="list" id="crashes"></div>
  </section>
  <section>
    <h2>Links made <span class="note" id="link-count"></span></h2>
    <table style="table-layout: fixed">
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
</main>
<script>
)html";

constexpr std::string_view kTail = R"html(</script>
</body>
</html>
)html";

}  // namespace

std::string_view livePageHtml() {
  static const std::string page =
      std::string(kHead) + std::string(livePageScript()) + std::string(kTail);
  return page;
}

}  // namespace tavrel_mmp::tools
