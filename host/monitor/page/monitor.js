// The monitor's page: the figures of each snapshot that daqhost pushes (server-sent events),
// a table of the modules and, per module and per hybrid, figures and charts drawn by the
// charting library daqhost serves from the system's files. The event rate over time is kept
// here, from one snapshot to the next. A module's charts fold; folded, they are not drawn.
"use strict";

const kHistory = 600;  // points of each rate chart
// More modules than this start with their charts folded: the table shows them all at once.
const kUnfoldedModules = 4;
// States of a module that make its row and heading stand out.
const kTrouble = new Set(["silent", "given up", "failed"]);
const charts = typeof Dygraph !== "undefined";
const hybrids = new Map();  // "module/hybrid" -> its card, charts and history
const modules = new Map();  // module -> its section, table row and cards
let last = null;            // the previous snapshot
// Milliseconds from the making of each snapshot to its figures on the page, for a benchmark
// to read (the last 1000).
window.monitorDelays = [];

function number(value, digits = 0) {
  if (value === null || value === undefined || Number.isNaN(value)) return "–";
  return value.toLocaleString("en", { maximumFractionDigits: digits, minimumFractionDigits: digits });
}

function element(tag, attributes = {}, ...children) {
  const e = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) e.setAttribute(key, value);
  for (const child of children) e.append(child);
  return e;
}

// A definition list of [label, value, name] rows; each value cell has data-figure=name.
function figures(list, rows) {
  list.replaceChildren(...rows.map(([label, value, name]) =>
    element("div", {}, element("dt", {}, label), element("dd", { "data-figure": name }, value))));
}

function rate(key, events, seconds) {
  if (!last || seconds <= last.seconds) return null;
  const before = last.rates.get(key);
  if (before === undefined) return null;
  return (events - before) / (seconds - last.seconds);
}

// Sets a text only when it changes, so that a selection in it or a click on it is not lost.
function setText(e, text) {
  if (e.textContent !== text) e.textContent = text;
}

function chart(box, title) {
  const div = element("div", { class: "chart" });
  box.append(element("div", { class: "chart-box" }, element("p", {}, title), div));
  return { div, graph: null };
}

function draw(c, data, options) {
  if (!charts || data.length === 0) return;
  if (c.graph === null) {
    c.graph = new Dygraph(c.div, data, Object.assign({ legend: "never", axisLabelFontSize: 11 }, options));
  } else {
    c.graph.updateOptions({ file: data });
  }
}

function card(m, module, hybrid) {
  const key = module.module + "/" + hybrid.hybrid;
  let h = hybrids.get(key);
  if (h) return h;
  const box = element("section", { class: "hybrid", "data-module": module.module, "data-hybrid": hybrid.hybrid });
  const list = element("dl", { class: "figures" });
  const chartBox = element("div", { class: "charts" });
  box.append(element("h3", {}, "hybrid " + hybrid.hybrid), list, chartBox);
  m.section.querySelector(".hybrids").append(box);
  h = {
    list,
    history: [],
    latest: hybrid,  // the figures the charts show, kept for a module unfolded between snapshots
    rate: chart(chartBox, "event rate (Hz)"),
    pedestals: chart(chartBox, "pedestal mean ± sigma by channel"),
    amplitudes: chart(chartBox, "hit amplitude (counts)"),
    hitMap: chart(chartBox, "hits by channel"),
  };
  hybrids.set(key, h);
  m.cards.push(h);
  return h;
}

function drawCard(h) {
  const hybrid = h.latest;
  draw(h.rate, h.history, { labels: ["s", "Hz"], includeZero: true });
  const pedestals = [];
  hybrid.channel_means.forEach((mean, channel) => {
    if (mean !== null) pedestals.push([channel, [mean, hybrid.channel_sigmas[channel]]]);
  });
  draw(h.pedestals, pedestals, { labels: ["channel", "pedestal"], errorBars: true, sigma: 1 });
  draw(h.amplitudes, hybrid.amplitudes, { labels: ["counts", "hits"], stepPlot: true, fillGraph: true, includeZero: true });
  draw(h.hitMap, hybrid.hit_map, { labels: ["channel", "hits"], stepPlot: true, fillGraph: true, includeZero: true });
}

function setFolded(m, folded) {
  m.folded = folded;
  m.section.classList.toggle("folded", folded);
  m.toggle.setAttribute("aria-expanded", String(!folded));
  m.toggle.textContent = folded ? "unfold charts" : "fold charts";
  if (!folded) {
    // A chart made before the fold takes the width its box has now.
    for (const h of m.cards) {
      for (const c of [h.rate, h.pedestals, h.amplitudes, h.hitMap]) if (c.graph) c.graph.resize();
      drawCard(h);
    }
  }
  const anyFolded = [...modules.values()].some((other) => other.folded);
  document.getElementById("fold-all").textContent = anyFolded ? "unfold all" : "fold all";
}

// Unfolds a module and scrolls its section to just below the page's header.
function reveal(m) {
  setFolded(m, false);
  const header = document.querySelector("header").offsetHeight;
  window.scrollTo({ top: m.section.getBoundingClientRect().top + window.scrollY - header - 8 });
  m.section.classList.remove("picked");
  void m.section.offsetWidth;  // so that the highlight starts again
  m.section.classList.add("picked");
}

function tableRow(m, module) {
  const cell = (name, className = "") => element("td", { "data-figure": name, class: className });
  const cells = {
    state: cell("state"),
    events: cell("events", "number"),
    rate: cell("rate", "number"),
    triggerRate: cell("trigger_rate", "number"),
    missing: cell("missing", "number"),
    outages: cell("outages"),
  };
  const link = element("a", { href: "#" + m.section.id }, module.module);
  const row = element("tr", { "data-module": module.module }, element("th", { scope: "row" }, link),
    ...Object.values(cells));
  row.addEventListener("click", (event) => {
    event.preventDefault();
    reveal(m);
  });
  document.querySelector("#module-table tbody").append(row);
  return { row, cells };
}

function moduleView(module, count) {
  let m = modules.get(module.module);
  if (m) return m;
  const id = "module-" + module.module.replace(/[^0-9a-z]/gi, "-");
  const toggle = element("button", { type: "button", class: "fold", "aria-controls": id });
  const section = element("section", { id, class: "module", "data-module": module.module },
    element("div", { class: "module-head" }, element("h2", {}, module.module), toggle),
    element("dl", { class: "figures" }), element("div", { class: "hybrids" }));
  document.getElementById("modules").append(section);
  m = { section, toggle, cards: [], folded: false };
  Object.assign(m, tableRow(m, module));
  toggle.addEventListener("click", () => setFolded(m, !m.folded));
  modules.set(module.module, m);
  setFolded(m, count > kUnfoldedModules);
  return m;
}

// "2 — recovered at 14.3 s": the count, and how and when the last outage ended.
function outages(module) {
  const o = module.last_outage;
  if (!o) return number(module.outages);
  return number(module.outages) + " — " +
    (o.end_s === null ? "ongoing since " + number(o.start_s, 1) : o.end + " at " + number(o.end_s, 1)) + " s";
}

function updateRow(m, module, moduleRate) {
  const c = m.cells;
  m.row.className = "state-" + module.state.replace(/ /g, "-") + (kTrouble.has(module.state) ? " trouble" : "");
  setText(c.state, module.state);
  c.state.title = module.failed_at ? "failed at " + module.failed_at
    : [module.joined_s !== null ? "joined at " + number(module.joined_s, 1) + " s" : "",
      module.left_s !== null ? "left at " + number(module.left_s, 1) + " s" : ""].filter(Boolean).join(", ");
  setText(c.events, number(module.events));
  setText(c.rate, number(moduleRate));
  setText(c.triggerRate, number(module.trigger_rate_hz, 1));
  setText(c.missing, number(module.missing));
  setText(c.outages, outages(module));
}

function render(snapshot) {
  const rates = new Map();
  let standRate = 0;
  for (const module of snapshot.modules) {
    const m = moduleView(module, snapshot.modules.length);
    const section = m.section;
    const moduleRate = rate(module.module, module.events, snapshot.seconds);
    rates.set(module.module, module.events);
    if (moduleRate !== null) standRate += moduleRate;
    figures(section.querySelector(".figures"), [
      ["events", number(module.events), "events"],
      ["event rate", number(moduleRate) + " Hz", "rate"],
      ["missing", number(module.missing), "missing"],
      ["retries", number(module.retries), "retries"],
      ["outages", number(module.outages), "outages"],
      ["dropped", number(module.kernel_drops), "kernel_drops"],
    ].concat(module.given_up ? [["after give-up", number(module.after_give_up), "after_give_up"]] : []));
    // A module given up keeps its last figures; what it sends later is only counted apart.
    const failed = section.querySelector("h2");
    failed.className = module.given_up ? "failed given-up" : module.failed_at ? "failed"
      : module.state === "silent" || module.state === "left" ? "silent" : "";
    setText(failed, module.module +
      (module.left_s !== null ? " — left at " + number(module.left_s, 1) + " s"
        : module.given_up ? " — given up (" + module.failed_at + ")"
          : module.failed_at ? " — failed at " + module.failed_at
            : module.state === "silent" ? " — silent"
              : module.joined_s !== null ? " — joined at " + number(module.joined_s, 1) + " s" : ""));
    updateRow(m, module, moduleRate);
    for (const hybrid of module.hybrids) {
      const h = card(m, module, hybrid);
      const key = module.module + "/" + hybrid.hybrid;
      const hybridRate = rate(key, hybrid.last_event, snapshot.seconds);
      rates.set(key, hybrid.last_event);
      figures(h.list, [
        ["events", number(hybrid.last_event), "events"],
        ["event rate", number(hybridRate) + " Hz", "rate"],
        ["efficiency", number(hybrid.efficiency, 4), "efficiency"],
        ["missing", number(hybrid.missing), "missing"],
        ["retries", number(module.retries), "retries"],
        ["pedestal", number(hybrid.pedestal_mean, 2) + " ± " + number(hybrid.pedestal_sigma, 2), "pedestal"],
      ]);
      if (hybridRate !== null) {
        h.history.push([snapshot.seconds, hybridRate]);
        if (h.history.length > kHistory) h.history.shift();
      }
      h.latest = hybrid;
      if (!m.folded) drawCard(h);
    }
  }
  const t = snapshot.total;
  figures(document.getElementById("total"), [
    ["modules", number(t.modules), "modules"],
    ["events", number(t.events), "events"],
    ["event rate", number(last ? standRate : null) + " Hz", "rate"],
    ["packets", number(t.packets), "packets"],
    ["missing", number(t.missing), "missing"],
    ["retries", number(t.retries), "retries"],
    ["outages", number(t.outages), "outages"],
    ["failed", number(t.modules_failed), "failed"],
  ]);
  // How far daqhost itself fell behind: its delay, not the modules', when it did.
  const host = document.getElementById("host");
  if (snapshot.host) {
    const p = snapshot.host;
    host.hidden = false;
    host.classList.toggle("behind", !p.kept_up);
    figures(host, [
      ["host", p.kept_up ? "kept up" : "fell behind", "kept_up"],
      ["loop late by", number(p.lateness_max_s, 3) + " s", "lateness_max_s"],
      ["backlog", number(p.backlog_max_s, 3) + " s", "backlog_max_s"],
      ["most in one take", number(p.queued_max), "queued_max"],
      ["dropped at the sockets", number(p.kernel_drops), "kernel_drops"],
    ]);
  }
  const state = document.getElementById("state");
  state.className = snapshot.done ? "ended" : "";
  state.textContent = (snapshot.done ? "ended after " : "running for ") + number(snapshot.seconds, 1) + " s" +
    (charts ? "" : " (charts need the system's charting library, dygraphs, which daqhost did not find)");
  document.body.classList.toggle("no-charts", !charts);
  document.getElementById("overview").hidden = false;
  document.getElementById("fold-all").hidden = false;
  last = { seconds: snapshot.seconds, rates };
  window.monitorDelays.push(Date.now() - snapshot.time_ms);
  if (window.monitorDelays.length > 1000) window.monitorDelays.shift();
}

document.getElementById("fold-all").addEventListener("click", () => {
  const fold = ![...modules.values()].some((m) => m.folded);
  for (const m of modules.values()) setFolded(m, fold);
});

const events = new EventSource("/events");
events.onmessage = (message) => render(JSON.parse(message.data));
events.onerror = () => {
  const state = document.getElementById("state");
  if (!state.classList.contains("ended")) {
    state.className = "lost";
    state.textContent = "no connection to daqhost (the run may have ended)";
  }
};
