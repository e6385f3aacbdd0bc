// The monitor's page: the figures of each snapshot that daqhost pushes (server-sent events),
// per module and per hybrid, with charts drawn by the charting library daqhost serves from the
// system's files. The event rate over time is kept here, from one snapshot to the next.
"use strict";

const kHistory = 600;  // points of each rate chart
const charts = typeof Dygraph !== "undefined";
const hybrids = new Map();  // "module/hybrid" -> its card, charts and history
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

function card(moduleSection, module, hybrid) {
  const key = module.module + "/" + hybrid.hybrid;
  let h = hybrids.get(key);
  if (h) return h;
  const box = element("section", { class: "hybrid", "data-module": module.module, "data-hybrid": hybrid.hybrid });
  const list = element("dl", { class: "figures" });
  const chartBox = element("div", { class: "charts" });
  box.append(element("h3", {}, "hybrid " + hybrid.hybrid), list, chartBox);
  moduleSection.querySelector(".hybrids").append(box);
  h = {
    list,
    history: [],
    rate: chart(chartBox, "event rate (Hz)"),
    pedestals: chart(chartBox, "pedestal mean ± sigma by channel"),
    amplitudes: chart(chartBox, "hit amplitude (counts)"),
    hitMap: chart(chartBox, "hits by channel"),
  };
  hybrids.set(key, h);
  return h;
}

function moduleSection(module) {
  const id = "module-" + module.module.replace(/[^0-9a-z]/gi, "-");
  let section = document.getElementById(id);
  if (section) return section;
  section = element("section", { id, class: "module", "data-module": module.module },
    element("h2", {}, module.module), element("dl", { class: "figures" }), element("div", { class: "hybrids" }));
  document.getElementById("modules").append(section);
  return section;
}

function render(snapshot) {
  const rates = new Map();
  let standRate = 0;
  for (const module of snapshot.modules) {
    const section = moduleSection(module);
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
    failed.className = module.given_up ? "failed given-up" : module.failed_at ? "failed" : "";
    failed.textContent = module.module +
      (module.given_up ? " — given up (" + module.failed_at + ")"
        : module.failed_at ? " — failed at " + module.failed_at : "");
    for (const hybrid of module.hybrids) {
      const h = card(section, module, hybrid);
      const key = module.module + "/" + hybrid.hybrid;
      const hybridRate = rate(key, hybrid.events, snapshot.seconds);
      rates.set(key, hybrid.events);
      figures(h.list, [
        ["events", number(hybrid.events), "events"],
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
      draw(h.rate, h.history, { labels: ["s", "Hz"], includeZero: true });
      const pedestals = [];
      hybrid.channel_means.forEach((mean, channel) => {
        if (mean !== null) pedestals.push([channel, [mean, hybrid.channel_sigmas[channel]]]);
      });
      draw(h.pedestals, pedestals, { labels: ["channel", "pedestal"], errorBars: true, sigma: 1 });
      draw(h.amplitudes, hybrid.amplitudes, { labels: ["counts", "hits"], stepPlot: true, fillGraph: true, includeZero: true });
      draw(h.hitMap, hybrid.hit_map, { labels: ["channel", "hits"], stepPlot: true, fillGraph: true, includeZero: true });
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
    ["failed", number(t.failed), "failed"],
  ]);
  const state = document.getElementById("state");
  state.className = snapshot.done ? "ended" : "";
  state.textContent = (snapshot.done ? "ended after " : "running for ") + number(snapshot.seconds, 1) + " s" +
    (charts ? "" : " (charts need the system's charting library, dygraphs, which daqhost did not find)");
  document.body.classList.toggle("no-charts", !charts);
  last = { seconds: snapshot.seconds, rates };
  window.monitorDelays.push(Date.now() - snapshot.time_ms);
  if (window.monitorDelays.length > 1000) window.monitorDelays.shift();
}

const events = new EventSource("/events");
events.onmessage = (message) => render(JSON.parse(message.data));
events.onerror = () => {
  const state = document.getElementById("state");
  if (!state.classList.contains("ended")) {
    state.className = "lost";
    state.textContent = "no connection to daqhost (the run may have ended)";
  }
};
