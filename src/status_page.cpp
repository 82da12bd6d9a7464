#include "status_page.h"

// Every text the page shows comes from clients (their names) or probes, so
// it is put in with textContent, never as markup. It reads /status.json
// twice a second: a hold shows within a second of being taken. The body's
// data-draws counts the redraws, so that a reader (a test) can tell how many
// refreshes a change took to show.
static constexpr const char page[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>tarvex-server</title>
<style>
body { font: 14px sans-serif; margin: 1em 2em; color: #222; }
table { border-collapse: collapse; margin-bottom: 1.5em; }
th, td { border: 1px solid #bbb; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #eee; }
.bad { color: #a00; font-weight: bold; }
.quiet { color: #777; }
</style>
</head>
<body>
<h1>tarvex-server</h1>
<p id="server" class="quiet">loading...</p>
<h2>Probes</h2>
<table id="probes"><thead><tr><th>index</th><th>serial</th><th>key</th><th>present</th><th>target</th><th>clients</th>
<th>holder</th><th>held for</th><th>waiters</th><th>busy</th><th>RTT</th></tr></thead><tbody></tbody></table>
<h2>Clients</h2>
<table id="clients"><thead><tr><th>name</th><th>transport</th><th>peer</th><th>since</th></tr></thead>
<tbody></tbody></table>
<h2>Recent refusals</h2>
<table id="refusals"><thead><tr><th>reason</th><th>from</th><th>ago</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
function secs(s) { return s < 90 ? s.toFixed(1) + " s" : Math.round(s / 60) + " min"; }
function row(cells, attrs) {
  const tr = document.createElement("tr");
  for (const k in attrs || {}) tr.setAttribute(k, attrs[k]);
  for (const c of cells) {
    const td = document.createElement("td");
    td.className = c[1] || "";
    td.textContent = c[0];
    tr.appendChild(td);
  }
  return tr;
}
function fill(id, rows) { document.querySelector("#" + id + " tbody").replaceChildren(...rows); }
let draws = 0;
function draw(s) {
  document.body.dataset.draws = String(++draws);
  const server = document.getElementById("server");
  server.textContent = s.version + ", up " + secs(s.uptime_seconds) + ", " + s.health;
  server.className = s.healthy ? "" : "bad";
  fill("probes", s.probes.map(p => row([
    [p.index === null ? "-" : String(p.index)], [p.serial], [p.key], [p.present ? "yes" : "gone"],
    [p.target ? p.target.state + " (" + secs(p.target.seconds_ago) + " ago)" : "", "target"],
    [String(p.clients)], [p.holder ? p.holder.name : "", "holder"], [p.holder ? secs(p.holder.seconds) : ""],
    [p.waiters.join(", "), "waiters"], [p.busy_seconds > 0 ? secs(p.busy_seconds) : ""],
    [p.rtt.map(c => c.channel + ": " + c.last_line).join("\n")]], {"data-serial": p.serial})));
  fill("clients", s.clients.map(c => row([[c.name || "(unnamed)"], [c.transport], [c.peer], [secs(c.seconds)]])));
  fill("refusals", s.refusals.map(r => row([[r.reason], [r.from], [secs(r.seconds_ago)]])));
}
function refresh() {
  fetch("/status.json", {cache: "no-store"}).then(r => r.json()).then(draw)
    .catch(e => { document.getElementById("server").textContent = "server not answering: " + e; })
    .finally(() => setTimeout(refresh, 500));
}
refresh();
</script>
</body>
</html>
)PAGE";

const char *status_page_html()
{
    return page;
}
