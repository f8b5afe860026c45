#include "web/assets.h"

const std::string_view kStyleSheet = R"css(
:root {
  --ink: #1d2329; --muted: #5d6873; --line: #d7dde3; --paper: #ffffff; --wash: #f4f6f8;
  --accent: #1f5f8b; --killed: #c0392b; --hidden: #d99a1e; --kept: #5b8c5a;
  --good: #2e7d32; --bad: #b3261e;
}
* { box-sizing: border-box; }
body {
  margin: 0; color: var(--ink); background: var(--wash);
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif;
}
header {
  display: flex; align-items: center; gap: 2rem; padding: 0 1.5rem;
  background: #16324a; color: #fff;
}
header .brand { font-weight: 700; letter-spacing: .03em; padding: .8rem 0; }
header nav { display: flex; gap: .25rem; flex: 1; }
header nav a {
  color: #cfe0ee; text-decoration: none; padding: .8rem .9rem; border-bottom: 3px solid transparent;
}
header nav a:hover { color: #fff; }
header nav a[aria-current="page"] { color: #fff; border-bottom-color: #8cc4ec; }
header form { margin: 0; }
main { max-width: 1180px; margin: 0 auto; padding: 1.25rem 1.5rem 3rem; }
h1 { font-size: 1.45rem; margin: .4rem 0 1rem; }
h2 { font-size: 1.1rem; margin: 0 0 .6rem; }
table + h2, p + h2 { margin-top: 1.2rem; }
section {
  background: var(--paper); border: 1px solid var(--line); border-radius: 6px;
  padding: 1rem 1.2rem; margin-bottom: 1.2rem;
}
.grid2 { display: grid; grid-template-columns: 1fr 1fr; gap: 1.2rem; margin-bottom: 1.2rem; }
.grid2 > section { margin-bottom: 0; }
@media (max-width: 900px) { .grid2 { grid-template-columns: 1fr; } }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .35rem .55rem; border-bottom: 1px solid var(--line); vertical-align: top; }
th { font-weight: 600; color: var(--muted); font-size: .85rem; text-transform: uppercase; letter-spacing: .03em; }
tbody tr:nth-child(even) { background: #fafbfc; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
td.wrap { word-break: break-word; }
.muted { color: var(--muted); }
.empty { color: var(--muted); font-style: italic; }
code, pre, textarea { font: 13px/1.45 ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace; }
pre {
  background: var(--wash); border: 1px solid var(--line); border-radius: 4px;
  padding: .8rem; overflow-x: auto; white-space: pre-wrap; word-break: break-word;
}
a { color: var(--accent); }
button, input[type=submit] {
  font: inherit; padding: .3rem .8rem; border-radius: 4px; border: 1px solid #9fb3c4;
  background: #fff; color: var(--ink); cursor: pointer;
}
button:hover { background: #eef4f9; }
button.primary { background: var(--accent); border-color: var(--accent); color: #fff; }
button.danger { color: var(--bad); border-color: #e2a9a4; }
header button { background: transparent; color: #cfe0ee; border-color: #4d6d88; }
input[type=text], input[type=search], input[type=password], select {
  font: inherit; padding: .3rem .5rem; border: 1px solid #9fb3c4; border-radius: 4px; background: #fff;
}
textarea { width: 100%; min-height: 18rem; padding: .6rem; border: 1px solid #9fb3c4; border-radius: 4px; }
form.inline { display: inline; margin: 0; }
.filters { display: flex; gap: .6rem; align-items: end; flex-wrap: wrap; margin-bottom: .8rem; }
.filters label, .fields label { display: flex; flex-direction: column; font-size: .85rem; color: var(--muted); gap: .2rem; }
.fields { display: flex; gap: 1rem; flex-wrap: wrap; margin: .6rem 0; }
.actions { white-space: nowrap; }
.notice { padding: .6rem .9rem; border-radius: 4px; margin-bottom: 1rem; border: 1px solid; }
.notice.ok { background: #e8f5e9; border-color: #a5d6a7; color: var(--good); }
.notice.failed { background: #fdecea; border-color: #f1aeb5; color: var(--bad); }
.verdict { font-size: 1.2rem; font-weight: 700; }
.verdict.keep { color: var(--good); }
.verdict.act { color: var(--bad); }
.chart { width: 100%; height: auto; display: block; }
.chart .bar-killed { fill: var(--killed); }
.chart .bar-hidden { fill: var(--hidden); }
.chart .bar-kept { fill: var(--kept); }
.chart .hover { fill: transparent; }
.chart .day:hover .hover { fill: #eef2f6; }
.chart .grid { stroke: var(--line); stroke-dasharray: 4 4; }
.chart .baseline { stroke: #9aa5b1; }
.chart .axis { fill: var(--muted); font-size: 11px; }
.legend { display: flex; gap: 1.2rem; font-size: .85rem; color: var(--muted); margin-top: .3rem; }
.legend span::before { content: ""; display: inline-block; width: .8rem; height: .8rem; margin-right: .35rem; vertical-align: -1px; border-radius: 2px; }
.legend .killed::before { background: var(--killed); }
.legend .hidden::before { background: var(--hidden); }
.legend .kept::before { background: var(--kept); }
details { margin-top: .6rem; }
summary { cursor: pointer; color: var(--accent); }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: .2rem 1rem; margin: 0; }
dl.facts dt { color: var(--muted); }
dl.facts dd { margin: 0; }
table.lines td { padding: 0 .55rem; border-bottom: none; }
table.lines td.num { color: var(--muted); user-select: none; width: 3.5rem; }
table.lines code { white-space: pre-wrap; word-break: break-word; }
table.lines tr.problem { background: #fdecea; }
table.lines tr.warning { background: #fff6e0; }
table.lines td.problems { color: var(--bad); font-size: .9rem; }
table.lines tr.warning td.problems { color: #8a5a00; }
.login { max-width: 22rem; margin: 4rem auto; }
.login input[type=password] { width: 100%; margin: .4rem 0 .8rem; }
)css";

const std::string_view kRefreshScript = R"js('use strict';
// Refreshes the overview's live parts from a fresh copy of the page. The
// page reads the same without this script; it only saves pressing reload.
(function () {
  var REFRESH_MS = 10000;
  if (!document.querySelector('[data-refresh]') || !window.fetch || !window.DOMParser) {
    return;
  }
  function refresh() {
    if (document.visibilityState === 'hidden') {
      return;
    }
    fetch(window.location.pathname, {credentials: 'same-origin', cache: 'no-store'})
      .then(function (response) {
        if (!response.ok || response.redirected) {
          throw new Error('no fresh page');
        }
        return response.text();
      })
      .then(function (html) {
        var fresh = new DOMParser().parseFromString(html, 'text/html');
        document.querySelectorAll('[data-refresh]').forEach(function (part) {
          var next = fresh.getElementById(part.id);
          if (next) {
            part.replaceWith(document.importNode(next, true));
          }
        });
      })
      .catch(function () {});
  }
  window.setInterval(refresh, REFRESH_MS);
})();
)js";

const std::string_view kIcon =
    R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">)svg"
    R"svg(<rect width="32" height="32" rx="6" fill="#16324a"/>)svg"
    R"svg(<path d="M6 10h20M6 16h20M6 22h20M10 6v20M16 6v20M22 6v20" stroke="#8cc4ec" )svg"
    R"svg(stroke-width="2" fill="none"/></svg>)svg";
