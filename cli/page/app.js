// The explorer page: reads the request from the address bar, asks the
// server's JSON API, and draws the answer. No framework; every text from the
// report goes in through textContent, never as markup.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const ROWS_SHOWN = 500;        // table rows drawn at once
const BARS_SHOWN = 25;         // bars in the bar chart
const ACTIVITY_SERIES = 8;     // stacked series before "other"
const ACTIVITY_BUCKETS = 200;
const PALETTE = ["#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f",
                 "#edc948", "#b07aa1", "#ff9da7", "#9c755f"];
const OTHER_COLOUR = "#bab0ac";

// The request fields, named as the API and the command line name them.
const SINGLE = ["group-by", "sort-by", "kind", "kernel", "operation-contains",
                "metadata-key", "at", "limit", "samples"];
const REPEATED = ["tile", "phase", "metadata"];

// Columns of the group table; `sort` is the sort-by value a click sets.
const COLUMNS = [
  {key: "name", title: "name", sort: "name"},
  {key: "dimensions", title: "dimensions"},
  {key: "sample_count", title: "samples", sort: "samples"},
  {key: "tile_count", title: "tiles"},
  {key: "phase_count", title: "phases"},
  {key: "phase_cycles", title: "phase cycles", sort: "phase-cycles"},
  {key: "phase_ms", title: "phase ms", ms: true},
  {key: "work_cycles", title: "work cycles", sort: "work-cycles"},
  {key: "average_active_tiles", title: "avg active", digits: 2},
  {key: "mean_cycles", title: "mean", digits: 1},
  {key: "p50_cycles", title: "p50"},
  {key: "p95_cycles", title: "p95"},
  {key: "maximum_cycles", title: "max", sort: "maximum-cycles"},
  {key: "first_offset", title: "first offset"},
  {key: "last_offset", title: "last offset"},
];
const SORT_KEYS = {
  "phase-cycles": "phase_cycles", "work-cycles": "work_cycles",
  "maximum-cycles": "maximum_cycles", "samples": "sample_count", "name": null,
};

const $ = (id) => document.getElementById(id);
const form = $("controls");
let overview = null;
let generation = 0;  // answers to an older request are dropped
// The colour of each group the activity chart draws, shared by the timeline.
let colours = new Map();
const colourOf = (label) => colours.get(label) || OTHER_COLOUR;
// The timeline's window in the address bar, apart from the request.
const WINDOW = ["from", "to", "tiles"];

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

function svgElement(tag, attributes) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) {
    node.setAttribute(name, value);
  }
  return node;
}

const integer = new Intl.NumberFormat("en-US", {maximumFractionDigits: 0});
function number(value, digits) {
  if (value === null || value === undefined) return "";
  if (digits === undefined) return integer.format(value);
  return value.toLocaleString("en-US", {minimumFractionDigits: digits,
                                        maximumFractionDigits: digits});
}

// Cycles as text, with milliseconds where the report has a clock.
function cycles(value) {
  const text = number(value) + " cycles";
  if (!overview || !overview.clock_hz) return text;
  return text + " (" + number(value * 1000 / overview.clock_hz, 3) + " ms)";
}

// ----- the request and the address bar -----

function splitList(text, separator) {
  return text.split(separator).map((s) => s.trim()).filter((s) => s !== "");
}

// The API parameters the controls spell, in a fixed order.
function paramsFromControls() {
  const params = new URLSearchParams();
  const get = (name) => form.elements[name].value.trim();
  if (get("group-by") !== "kernel") params.set("group-by", get("group-by"));
  if (get("metadata-key") !== "") params.set("metadata-key", get("metadata-key"));
  if (get("sort-by") !== "phase-cycles") params.set("sort-by", get("sort-by"));
  if (get("kind") !== "") params.set("kind", get("kind"));
  if (form.elements["no-kernel"].checked) {
    params.set("kernel", "");
  } else if (get("kernel") !== "") {
    params.set("kernel", form.elements["kernel"].value);
  }
  if (form.elements["operation-contains"].value !== "") {
    params.set("operation-contains", form.elements["operation-contains"].value);
  }
  for (const tile of splitList(get("tile"), /[\s,]+/)) params.append("tile", tile);
  for (const phase of splitList(get("phase"), /[\s,]+/)) params.append("phase", phase);
  for (const entry of splitList(get("metadata"), ";")) params.append("metadata", entry);
  for (const name of ["at", "limit", "samples"]) {
    if (get(name) !== "") params.set(name, get(name));
  }
  return params;
}

// Sets the controls from the address bar's parameters.
function controlsFromParams(params) {
  form.reset();
  for (const name of SINGLE) {
    if (!params.has(name)) continue;
    const value = params.get(name);
    if (name === "kernel" && value === "") {
      form.elements["no-kernel"].checked = true;
    } else {
      form.elements[name].value = value;
    }
  }
  form.elements["tile"].value = params.getAll("tile").join(" ");
  form.elements["phase"].value = params.getAll("phase").join(" ");
  form.elements["metadata"].value = params.getAll("metadata").join("; ");
}

function currentParams() {
  return new URLSearchParams(window.location.search);
}

// A new request from the controls: a new entry in the history, then the
// answer. The timeline keeps its window.
function apply(params) {
  const now = currentParams();
  for (const name of WINDOW) if (now.has(name) && !params.has(name)) params.set(name, now.get(name));
  const search = params.toString();
  const url = window.location.pathname + (search ? "?" + search : "");
  if (url !== window.location.pathname + window.location.search) {
    window.history.pushState(null, "", url);
  }
  load(params);
}

// ----- talking to the API -----

async function getJson(path, params) {
  const search = params ? params.toString() : "";
  const response = await fetch(path + (search ? "?" + search : ""),
                               {headers: {Accept: "application/json"}});
  let body = null;
  try {
    body = await response.json();
  } catch (error) {
    throw new Error("the server sent no JSON (status " + response.status + ")");
  }
  if (!response.ok) throw new Error(body && body.error ? body.error : "status " + response.status);
  return body;
}

async function load(params) {
  const mine = ++generation;
  document.body.classList.add("busy");
  showError(null);
  const request = new URLSearchParams(params);
  for (const name of WINDOW) request.delete(name);
  const activityParams = new URLSearchParams(request);
  activityParams.delete("samples");
  const limit = params.has("limit") ? Number(params.get("limit")) : ACTIVITY_SERIES;
  activityParams.set("limit", String(Math.min(limit, ACTIVITY_SERIES)));
  activityParams.set("buckets", String(ACTIVITY_BUCKETS));
  // Without a limit of the user's, ask for no more rows than the table
  // draws: a report may have millions of groups. The activity answer counts
  // them all, whatever the limit (its series plus the groups summed as
  // "other").
  const queryParams = new URLSearchParams(request);
  if (!params.has("limit")) queryParams.set("limit", String(ROWS_SHOWN));
  try {
    const [result, activity] = await Promise.all([
      getJson("api/query", queryParams), getJson("api/activity", activityParams)]);
    if (mine !== generation) return;
    const total = activity.groups.length + activity.other.group_count;
    drawResult(result, request, total);
    drawActivity(activity);
    await Timeline.show(params, overview, request, colourOf, filterToGroup, moveWindow);
  } catch (error) {
    if (mine !== generation) return;
    showError(error.message);
  } finally {
    if (mine === generation) document.body.classList.remove("busy");
  }
}

function showError(message) {
  const box = $("error");
  box.hidden = message === null;
  box.textContent = message === null ? "" : "Error: " + message;
}

// ----- drawing -----

function drawOverview() {
  $("source").textContent = "Report: " + overview.source;
  $("figures").textContent =
      number(overview.tile_count) + " tiles (" + number(overview.physical_tile_count) +
      " physical), " + number(overview.sample_count) + " samples, span " +
      cycles(overview.profile_span_cycles) +
      (overview.clock_hz ? ", clock " + number(overview.clock_hz) + " Hz" : ", no clock");
  const fill = (id, list, show) => {
    const target = $(id);
    target.replaceChildren();
    for (const value of list.values) {
      const option = element("option");
      option.value = value.name;
      option.textContent = show(value);
      target.append(option);
    }
  };
  fill("kernels", overview.kernels, (v) => v.samples + " samples");
  fill("metadata-names", overview.metadata_names, (v) => v.samples + " samples");
  fill("phases", overview.phases, (v) => v.samples + " samples");
}

// `total` counts the groups, of which `result` may hold only the first.
function drawResult(result, params, total) {
  const sortBy = params.get("sort-by") || "phase-cycles";
  const groups = result.groups;
  $("summary").textContent =
      number(result.matched_sample_count) + " of " + number(result.sample_count) +
      " samples matched, " + number(total) + " groups" +
      (groups.length < total ? " (" + number(groups.length) + " asked for)" : "") +
      (result.at_offset !== null ? ", at cycle " + number(result.at_offset) : "") + ".";
  drawTable(groups, sortBy, total);
  drawBars(groups, sortBy, total);
  drawSamples(result.samples);
}

function drawTable(groups, sortBy, total) {
  const table = $("groups");
  const head = table.tHead;
  head.replaceChildren();
  const row = head.insertRow();
  for (const column of COLUMNS) {
    const cell = element("th", column.title);
    if (column.sort) {
      cell.classList.add("sortable");
      cell.title = "Sort by " + column.sort;
      if (column.sort === sortBy) cell.classList.add("sorted");
      cell.addEventListener("click", () => {
        form.elements["sort-by"].value = column.sort;
        apply(paramsFromControls());
      });
    }
    if (column.ms && !(overview && overview.clock_hz)) cell.title = "the report has no clock";
    row.append(cell);
  }
  const body = document.createElement("tbody");
  const shown = Math.min(groups.length, ROWS_SHOWN);
  for (let i = 0; i < shown; ++i) {
    const line = body.insertRow();
    for (const column of COLUMNS) {
      const value = groups[i][column.key];
      let text;
      if (column.key === "name") {
        text = value;
      } else if (column.key === "dimensions") {
        text = Object.entries(value).map(([k, v]) => k + "=" + v).join(", ");
      } else if (column.ms) {
        text = overview && overview.clock_hz ? number(value, 3) : "-";
      } else {
        text = number(value, column.digits);
      }
      const kind = column.key === "name" ? "name"
          : column.key === "dimensions" ? "text" : "number";
      const cell = element("td", text, kind);
      line.append(cell);
    }
  }
  table.tBodies[0].replaceWith(body);
  $("hidden-rows").textContent = groups.length > shown || total > groups.length
      ? number(total - shown) + " more groups are not shown" +
        (total > groups.length && groups.length < ROWS_SHOWN
             ? " (past the limit)." : "; set a limit or a filter to see fewer.")
      : "";
}

function drawBars(groups, sortBy, total) {
  const key = SORT_KEYS[sortBy] || "phase_cycles";
  const shown = groups.slice(0, BARS_SHOWN);
  $("bars-caption").textContent = "Top groups by " + key.replace(/_/g, " ") +
      (total > shown.length ? " (first " + shown.length + " of " + number(total) + ")" : "");
  const svg = $("bars");
  svg.replaceChildren();
  const rowHeight = 18;
  const labelWidth = 220;
  const width = 720;
  const height = Math.max(rowHeight, shown.length * rowHeight);
  svg.setAttribute("viewBox", "0 0 " + width + " " + height);
  const largest = Math.max(1, ...shown.map((g) => g[key]));
  shown.forEach((group, i) => {
    const y = i * rowHeight;
    const label = svgElement("text", {x: labelWidth - 6, y: y + 13, "text-anchor": "end", class: "label"});
    label.textContent = group.name.length > 34 ? group.name.slice(0, 33) + "\u2026" : group.name;
    const barWidth = Math.max(1, (width - labelWidth - 90) * group[key] / largest);
    const bar = svgElement("rect", {x: labelWidth, y: y + 2, width: barWidth, height: rowHeight - 4,
                                    fill: PALETTE[i % PALETTE.length], class: "bar"});
    const tip = svgElement("title", {});
    tip.textContent = group.name + ": " + number(group[key]);
    bar.append(tip);
    const value = svgElement("text", {x: labelWidth + barWidth + 4, y: y + 13, class: "value"});
    value.textContent = number(group[key]);
    svg.append(label, bar, value);
  });
}

// Stacked areas, one per series, of busy cycles / bucket width: the average
// number of the group's samples in progress over each bucket.
function drawActivity(activity) {
  const svg = $("activity");
  svg.replaceChildren();
  const legend = $("legend");
  legend.replaceChildren();
  const width = 720;
  const height = 220;
  const left = 48;
  const bottom = 24;
  svg.setAttribute("viewBox", "0 0 " + width + " " + height);
  const series = activity.groups.map((g, i) => ({name: g.name, busy: g.busy_cycles,
                                                 colour: PALETTE[i % PALETTE.length]}));
  colours = new Map(series.map((s) => [s.name, s.colour]));
  if (activity.other.group_count > 0) {
    series.push({name: "other (" + number(activity.other.group_count) + " groups)",
                 busy: activity.other.busy_cycles, colour: OTHER_COLOUR});
  }
  const count = activity.bucket_count;
  const span = activity.profile_span_cycles;
  const widthOf = (b) => b + 1 === count ? span - b * activity.bucket_cycles : activity.bucket_cycles;
  const totals = new Array(count).fill(0);
  const levels = series.map((s) => s.busy.map((busy, b) => {
    const level = widthOf(b) > 0 ? busy / widthOf(b) : 0;
    totals[b] += level;
    return level;
  }));
  const top = Math.max(1e-9, ...totals);
  const x = (b) => left + (width - left - 8) * (b * activity.bucket_cycles) / Math.max(1, span);
  const xEnd = (b) => b + 1 === count ? width - 8 : x(b + 1);
  const y = (level) => height - bottom - (height - bottom - 8) * level / top;
  const base = new Array(count).fill(0);
  series.forEach((s, i) => {
    let upper = "";
    let lower = "";
    for (let b = 0; b < count; ++b) {
      const from = base[b];
      const to = from + levels[i][b];
      upper += (b === 0 ? "M" : "L") + x(b).toFixed(1) + "," + y(to).toFixed(1) +
               "L" + xEnd(b).toFixed(1) + "," + y(to).toFixed(1);
      lower = "L" + xEnd(b).toFixed(1) + "," + y(from).toFixed(1) +
              "L" + x(b).toFixed(1) + "," + y(from).toFixed(1) + lower;
      base[b] = to;
    }
    const area = svgElement("path", {d: upper + lower + "Z", fill: s.colour, class: "area"});
    const tip = svgElement("title", {});
    tip.textContent = s.name;
    area.append(tip);
    svg.append(area);
    const item = element("li");
    const swatch = element("span", "", "swatch");
    swatch.style.background = s.colour;
    item.append(swatch, document.createTextNode(s.name));
    legend.append(item);
  });
  // Axes: the busiest level on the left, the span below.
  svg.append(svgElement("line", {x1: left, y1: height - bottom, x2: width - 8, y2: height - bottom, class: "axis"}));
  svg.append(svgElement("line", {x1: left, y1: 8, x2: left, y2: height - bottom, class: "axis"}));
  const topLabel = svgElement("text", {x: left - 4, y: 16, "text-anchor": "end", class: "value"});
  topLabel.textContent = number(top, 1);
  const zero = svgElement("text", {x: left, y: height - 6, class: "value"});
  zero.textContent = "0";
  const end = svgElement("text", {x: width - 8, y: height - 6, "text-anchor": "end", class: "value"});
  end.textContent = cycles(span);
  svg.append(topLabel, zero, end);
  if (series.length === 0) {
    const none = svgElement("text", {x: width / 2, y: height / 2, "text-anchor": "middle", class: "label"});
    none.textContent = "no samples matched";
    svg.append(none);
  }
}

function drawSamples(samples) {
  $("samples-section").hidden = samples.length === 0;
  const table = $("samples");
  const head = table.tHead;
  head.replaceChildren();
  const titles = ["tile", "offset", "duration", "phase", "epoch", "kind", "operation",
                  "kernel", "metadata"];
  const headRow = head.insertRow();
  for (const title of titles) headRow.append(element("th", title));
  const body = document.createElement("tbody");
  for (const sample of samples.slice(0, ROWS_SHOWN)) {
    const line = body.insertRow();
    const cells = [number(sample.physical_tile), number(sample.offset),
                   cycles(sample.duration), number(sample.phase), number(sample.epoch),
                   sample.kind, sample.operation, sample.kernel,
                   sample.metadata.map((m) => m.name + "=" + m.value).join(", ")];
    cells.forEach((text, i) => line.append(element("td", text, i < 5 ? "number" : "name")));
  }
  table.tBodies[0].replaceWith(body);
}

// ----- the timeline's actions -----

// A click on a bar: the request narrowed to the bar's group, by the filter
// that names it under the current grouping.
function filterToGroup(label) {
  const params = currentParams();
  const by = params.get("group-by") || "kernel";
  let match = null;
  if (by === "kernel") {
    params.set("kernel", label === "(no kernel)" ? "" : label);
  } else if (by === "kind") {
    params.set("kind", label);
  } else if (by === "operation") {
    params.set("operation-contains", label);
  } else if (by === "phase" && (match = /^phase (\d+)\/\d+$/.exec(label))) {
    params.delete("phase");
    params.append("phase", match[1]);
  } else if (by === "tile" && (match = /^tile (\d+)$/.exec(label))) {
    params.delete("tile");
    params.append("tile", match[1]);
  } else if (by === "metadata" && label !== "(missing)") {
    params.append("metadata", (params.get("metadata-key") || "") + "=" + label);
  } else {
    return;
  }
  controlsFromParams(params);
  apply(params);
}

// A zoom or pan: the new window in the address bar, and the timeline again.
function moveWindow(from, to, first, last) {
  const params = currentParams();
  params.set("from", String(from));
  params.set("to", String(to));
  params.set("tiles", first + "-" + last);
  window.history.pushState(null, "", window.location.pathname + "?" + params.toString());
  const request = new URLSearchParams(params);
  for (const name of WINDOW) request.delete(name);
  Timeline.show(params, overview, request, colourOf, filterToGroup, moveWindow)
      .catch((error) => showError(error.message));
}

// ----- start -----

form.addEventListener("submit", (event) => {
  event.preventDefault();
  apply(paramsFromControls());
});
for (const name of ["group-by", "sort-by", "kind", "no-kernel"]) {
  form.elements[name].addEventListener("change", () => apply(paramsFromControls()));
}
$("clear").addEventListener("click", () => {
  form.reset();
  apply(new URLSearchParams());
});
window.addEventListener("popstate", () => {
  controlsFromParams(currentParams());
  load(currentParams());
});

getJson("api/report").then((report) => {
  overview = report;
  drawOverview();
  controlsFromParams(currentParams());
  load(currentParams());
}).catch((error) => showError(error.message));
