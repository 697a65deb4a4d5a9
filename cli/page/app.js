// The explorer page: reads the request from the address bar, asks the
// server's JSON API, and draws the answer. No framework; every text from the
// report goes in through textContent, never as markup.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const ROWS_SHOWN = 500;        // table rows drawn at once
const BARS_SHOWN = 25;         // bars in the bar chart
const ACTIVITY_SERIES = Colours.size;  // stacked series before "other"
const ACTIVITY_BUCKETS = 200;
const COLOUR_GROUPS = 500;     // groups of a grouping given their own colours first

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
let loading = null;   // AbortController of the view being loaded
const number = Text.number;
const cycles = Text.cycles;
// Parameters of the address bar that are not the request: the timeline's
// window (and its run), and the area whose statistics are shown.
const WINDOW = ["from", "to", "tiles", "run"];
const AREA = ["area", "area-tiles"];
let tableOrder = [];  // the groups' names as the table lists them

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

// The request alone: the address bar's parameters less the window and the area.
function requestOf(params) {
  const request = new URLSearchParams(params);
  for (const name of WINDOW.concat(AREA)) request.delete(name);
  return request;
}

const sameList = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);

// A new request from the controls: a new entry in the history, then the
// answer. The timeline keeps its window and the area stays, unless the
// Tiles filter changed, which chooses new rows; `fresh` keeps neither.
function apply(params, fresh) {
  const now = currentParams();
  if (!fresh) {
    const sameTiles = sameList(now.getAll("tile"), params.getAll("tile"));
    for (const name of WINDOW.concat(AREA)) {
      if (!sameTiles && (name === "tiles" || AREA.includes(name))) continue;
      if (now.has(name) && !params.has(name)) params.set(name, now.get(name));
    }
  }
  navigate(params, false);
  load(params);
}

// The address bar shows `params`: a new history entry, or in place of the
// current one where `replace`.
function navigate(params, replace) {
  const search = params.toString();
  const url = window.location.pathname + (search ? "?" + search : "");
  if (url === window.location.pathname + window.location.search) return;
  if (replace) window.history.replaceState(null, "", url);
  else window.history.pushState(null, "", url);
}

// ----- talking to the API -----

// The colours of the grouping's groups, from its largest COLOUR_GROUPS
// groups over the whole report: the same whatever the filters and the order.
const groupSets = new Map();  // "group-by metadata-key" -> names
async function assignColours(request, signal) {
  const key = (request.get("group-by") || "kernel") + " " + (request.get("metadata-key") || "");
  if (!groupSets.has(key)) {
    const params = new URLSearchParams({limit: String(COLOUR_GROUPS)});
    if (request.has("group-by")) params.set("group-by", request.get("group-by"));
    if (request.has("metadata-key")) params.set("metadata-key", request.get("metadata-key"));
    let names = [];
    try {
      const answer = await Api.get("api/query", params, signal);
      if (!answer) return false;
      names = answer.groups.map((g) => g.name);
    } catch (error) {
      // The request itself will say what is wrong with it.
    }
    groupSets.set(key, names);
  }
  Colours.assign(groupSets.get(key));
  return true;
}

// Ascending tile numbers as `tile` values: FIRST-LAST for each run of
// consecutive numbers, the number alone for a run of one.
function tileRanges(tiles) {
  const ranges = [];
  for (let i = 0; i < tiles.length;) {
    let j = i;
    while (j + 1 < tiles.length && tiles[j + 1] === tiles[j] + 1) ++j;
    ranges.push(i === j ? String(tiles[i]) : tiles[i] + "-" + tiles[j]);
    i = j + 1;
  }
  return ranges;
}

// The area of the address bar as what the statistics ask: the request
// narrowed to the area's cycles (from, to) and its tiles (`tile` values,
// runs of consecutive tiles as ranges, where they fit in one request), and
// how to say it.
async function areaRequest(params, request) {
  const area = areaOf(params);
  if (!area) return null;
  // The area was drawn on the run the timeline shows: its rows are that
  // run's tile entries, and its statistics that run's.
  const base = params.get("run") === "base" && Boolean(overview.base);
  const tiles = await Timeline.physicalTiles(base ? "base" : "new");
  if (!tiles) return null;
  const filter = tileNumbers(request.getAll("tile"));
  const chosen = [];
  for (let entry = area.first; entry <= area.last && entry < tiles.length; ++entry) {
    if (filter.size === 0 || filter.has(tiles[entry])) chosen.push(tiles[entry]);
  }
  const physical = [...new Set(chosen)].sort((a, b) => a - b);
  if (physical.length === 0) return null;  // rows past the run's tiles
  const narrowed = new URLSearchParams(request);
  if (base) narrowed.set("run", "base");
  narrowed.set("from", String(area.from));
  narrowed.set("to", String(area.to));
  // Room for the tiles beside the other parameters (and limit, buckets).
  const room = MAX_PARAMETERS - [...narrowed.keys()].filter((k) => k !== "tile").length - 3;
  const everyTile = filter.size > 0 ? physical.length === filter.size
      : physical.length === overview.physical_tile_count;
  let note = "";
  if (!everyTile) {
    const ranges = tileRanges(physical);
    if (ranges.length <= room) {
      narrowed.delete("tile");
      for (const range of ranges) narrowed.append("tile", range);
    } else {
      note = " The statistics cover every tile in those cycles: its " +
          number(physical.length) + " tiles fall in " + number(ranges.length) +
          " runs, more than one request names (at most " + room + " here).";
    }
  }
  const first = physical[0];
  const last = physical[physical.length - 1];
  const text = "Area: cycles " + number(area.from) + "\u2013" + number(area.to) +
      (Text.clock() ? " (" + Text.time(area.from) + "\u2013" + Text.time(area.to) + ")" : "") +
      ", tiles " + (first === last ? first : first + "\u2013" + last) +
      (physical.length > 1 && physical.length !== last - first + 1
           ? " (" + number(physical.length) + " tiles)" : "") +
      (base ? ", on the base run" : "") + "." + note;
  return {request: narrowed, text};
}
const MAX_PARAMETERS = 64;  // what the API takes in one request

// Loads the view the address bar asks for; a newer call gives this one up.
async function load(params) {
  if (loading) loading.abort();
  const mine = loading = new AbortController();
  const signal = mine.signal;
  document.body.classList.add("busy");
  showError(null);
  const request = requestOf(params);
  try {
    if (!await assignColours(request, signal)) return;
    const area = await areaRequest(params, request);
    if (signal.aborted) return;
    showArea(area);
    const asked = area ? area.request : request;
    const activityParams = new URLSearchParams(asked);
    activityParams.delete("samples");
    const limit = asked.has("limit") ? Number(asked.get("limit")) : ACTIVITY_SERIES;
    activityParams.set("limit", String(Math.min(limit, ACTIVITY_SERIES)));
    activityParams.set("buckets", String(ACTIVITY_BUCKETS));
    // Without a limit of the user's, ask for no more rows than the table
    // draws: a report may have millions of groups. The activity answer
    // counts them all, whatever the limit (its series plus the groups
    // summed as "other").
    const queryParams = new URLSearchParams(asked);
    if (!asked.has("limit")) queryParams.set("limit", String(ROWS_SHOWN));
    const diffParams = new URLSearchParams(queryParams);
    diffParams.delete("samples");
    diffParams.delete("run");  // a diff is of both runs
    const [result, activity, diff] = await Promise.all([
      Api.get("api/query", queryParams, signal), Api.get("api/activity", activityParams, signal),
      overview.base ? Api.get("api/diff", diffParams, signal) : null]);
    if (!result || !activity || signal.aborted) return;
    const total = activity.groups.length + activity.other.group_count;
    drawResult(result, asked, total);
    drawActivity(activity);
    drawComparison(diff);
    $("run").value = params.get("run") === "base" ? "base" : "new";
    await Timeline.show(params, request);
  } catch (error) {
    if (!signal.aborted) showError(error.message);
  } finally {
    if (loading === mine) {
      document.body.classList.remove("busy");
      loading = null;
    }
  }
}

function showError(message) {
  const box = $("error");
  box.hidden = message === null;
  box.textContent = message === null ? "" : "Error: " + message;
}

function showArea(area) {
  $("area-bar").hidden = area === null;
  $("area-text").textContent = area ? area.text : "";
}

// ----- drawing -----

function drawOverview() {
  Text.setClock(overview.clock_hz);
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
  if (overview.base) {
    const base = overview.base;
    $("compare-section").hidden = false;
    $("run-choice").hidden = false;
    $("threshold").value = overview.fail_above !== null && overview.fail_above !== undefined
        ? String(overview.fail_above) : "5";
    $("compare-figures").textContent = "Base " + base.source + ": " +
        number(base.tile_count) + " tiles, " + number(base.sample_count) + " samples, span " +
        cycles(base.profile_span_cycles) + "; new " + overview.source + ": " +
        number(overview.tile_count) + " tiles, " + number(overview.sample_count) +
        " samples, span " + cycles(overview.profile_span_cycles) + ".";
  }
}

// `total` counts the groups, of which `result` may hold only the first.
function drawResult(result, params, total) {
  const sortBy = params.get("sort-by") || "phase-cycles";
  const groups = result.groups;
  tableOrder = groups.map((g) => g.name);
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
      if (column.key === "name") {
        const swatch = element("span", "", "swatch");
        swatch.style.background = Colours.of(value);
        cell.prepend(swatch);
      }
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
                                    fill: Colours.of(group.name), class: "bar"});
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
  const bottom = 34;
  svg.setAttribute("viewBox", "0 0 " + width + " " + height);
  const series = activity.groups.map((g) => ({name: g.name, busy: g.busy_cycles,
                                              colour: Colours.of(g.name)}));
  if (activity.other.group_count > 0) {
    series.push({name: "other (" + number(activity.other.group_count) + " groups)",
                 busy: activity.other.busy_cycles, colour: Colours.OTHER});
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
  const plot = width - left - 8;
  const xAt = (cycle) => left + plot * cycle / Math.max(1, span);
  const x = (b) => xAt(b * activity.bucket_cycles);
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
  // Axes: the busiest level on the left, the span below with its ticks.
  svg.append(svgElement("line", {x1: left, y1: height - bottom, x2: width - 8, y2: height - bottom, class: "axis"}));
  svg.append(svgElement("line", {x1: left, y1: 8, x2: left, y2: height - bottom, class: "axis"}));
  const topLabel = svgElement("text", {x: left - 4, y: 16, "text-anchor": "end", class: "value"});
  topLabel.textContent = number(top, 1);
  svg.append(topLabel);
  for (const tick of axisTicks(0, Math.max(1, span), plot, 90)) {
    const at = xAt(tick.cycle);
    svg.append(svgElement("line", {x1: at, y1: height - bottom, x2: at, y2: height - bottom + 4, class: "axis"}));
    const anchor = at > width - 40 ? "end" : at < left + 20 ? "start" : "middle";
    const label = svgElement("text", {x: at, y: height - bottom + 14, "text-anchor": anchor, class: "value"});
    label.textContent = tick.label;
    svg.append(label);
    if (tick.time) {
      const time = svgElement("text", {x: at, y: height - bottom + 26, "text-anchor": anchor, class: "value"});
      time.textContent = tick.time;
      svg.append(time);
    }
  }
  const unit = svgElement("text", {x: left - 4, y: height - bottom + 14, "text-anchor": "end", class: "value"});
  unit.textContent = "cycles";
  svg.append(unit);
  if (Text.clock()) {
    const time = svgElement("text", {x: left - 4, y: height - bottom + 26, "text-anchor": "end", class: "value"});
    time.textContent = "time";
    svg.append(time);
  }
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

// ----- the comparison with the base run -----

let lastDiff = null;

// Whether a diff row is past the threshold: the rule of diff --fail-above.
// A group grown by more than `percent` of its base figure (any growth from
// zero), or an added group larger than `percent` of the base's total.
function pastThreshold(row, percent, baseTotal) {
  if (!(row.delta > 0)) return false;
  if (row.status === "added") return row.new.key * 100 > baseTotal * percent;
  return row.delta * 100 > row.base.key * percent;
}

// Per group the base and new figures side by side, the change and its
// percentage; groups past the threshold marked. A click on a group
// narrows both runs to it.
function drawComparison(diff) {
  if (diff === null) return;
  lastDiff = diff;
  const percent = Number($("threshold").value) || 0;
  const baseTotal = diff.base_key_total;  // every group's, whatever the limit
  const key = diff.key.replace(/_/g, " ");
  const table = $("compare");
  const head = table.tHead;
  head.replaceChildren();
  const titles = ["name", "status", "base " + key, "new " + key, "change", "change %",
                  "samples", "work cycles", "p50", "p95", "max"];
  const headRow = head.insertRow();
  for (const title of titles) headRow.append(element("th", title));
  const pair = (a, b) => a === b ? number(a) : number(a) + " → " + number(b);
  const signed = (value) => (value > 0 ? "+" : "") + number(value);
  const body = document.createElement("tbody");
  let marked = 0;
  for (const row of diff.groups.slice(0, ROWS_SHOWN)) {
    const line = body.insertRow();
    const over = pastThreshold(row, percent, baseTotal);
    if (over) {
      line.classList.add("over");
      ++marked;
    }
    const name = element("td", row.name, "name");
    const swatch = element("span", "", "swatch");
    swatch.style.background = Colours.of(row.name);
    name.prepend(swatch);
    name.title = "Show only this group, in both runs";
    name.classList.add("link");
    name.addEventListener("click", () => filterToGroup(row.name));
    const percentText = row.delta_percent === null ? "new"
        : (row.delta_percent > 0 ? "+" : "") + number(row.delta_percent, 1) + "%";
    line.append(name, element("td", row.status === "both" ? "" : row.status, "text"),
                element("td", number(row.base.key), "number"),
                element("td", number(row.new.key), "number"),
                element("td", signed(row.delta), "number"),
                element("td", percentText + (over ? " ▲" : ""), "number"),
                element("td", pair(row.base.sample_count, row.new.sample_count), "number"),
                element("td", pair(row.base.work_cycles, row.new.work_cycles), "number"),
                element("td", pair(row.base.p50_cycles, row.new.p50_cycles), "number"),
                element("td", pair(row.base.p95_cycles, row.new.p95_cycles), "number"),
                element("td", pair(row.base.maximum_cycles, row.new.maximum_cycles), "number"));
  }
  table.tBodies[0].replaceWith(body);
  $("compare-count").textContent = marked === 0
      ? "no group past " + number(percent, 1) + "%"
      : number(marked) + (marked === 1 ? " group" : " groups") + " past " + number(percent, 1) + "%";
  $("compare-hidden").textContent = diff.groups.length > ROWS_SHOWN
      ? number(diff.groups.length - ROWS_SHOWN) + " more groups are not shown." : "";
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

// A zoom, pan or scroll: the new window in the address bar, and the
// timeline again. Steps in quick succession (a wheel's) share one history
// entry.
let lastMove = 0;
function moveWindow(from, to, tiles) {
  const params = currentParams();
  params.set("from", String(from));
  params.set("to", String(to));
  params.set("tiles", tiles);
  const now = Date.now();
  navigate(params, now - lastMove < 600);
  lastMove = now;
  Timeline.show(params, requestOf(params)).catch((error) => showError(error.message));
}

// An area chosen on the timeline: its statistics, in a new history entry.
function selectArea(area) {
  const params = currentParams();
  params.set("area", area.from + "-" + area.to);
  params.set("area-tiles", area.first + "-" + area.last);
  navigate(params, false);
  load(params);
}

function clearArea() {
  const params = currentParams();
  if (!params.has("area")) return false;
  for (const name of AREA) params.delete(name);
  navigate(params, false);
  load(params);
  return true;
}

// ----- keys -----

const typing = (target) => target.closest && target.closest("input, select, textarea");

// The page's keys, wherever the focus is but in a text field; the
// timeline adds those that would scroll the page while it has the focus.
document.addEventListener("keydown", (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  if ($("keys").open) return;  // the dialog's own: Esc closes it
  if (typing(event.target)) return;
  const actions = {
    "?": () => $("keys").showModal(),
    "f": () => Timeline.fit(), "0": () => Timeline.fit(),
    "+": () => Timeline.zoom(0.5), "=": () => Timeline.zoom(0.5), "-": () => Timeline.zoom(2),
    "n": () => Timeline.nextMatch(1), "N": () => Timeline.nextMatch(-1),
    "/": () => $("search").focus(),
    "Escape": () => clearArea() || clearSearch(),
  };
  if (!actions[event.key] || (!Timeline.state() && "f0+=-nN".includes(event.key))) return;
  event.preventDefault();
  actions[event.key]();
});

function clearSearch() {
  if ($("search").value === "") return false;
  $("search").value = "";
  Timeline.setSearch("");
  return true;
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
  clearSearch();
  apply(new URLSearchParams(), true);
});
$("area-clear").addEventListener("click", clearArea);
$("threshold").addEventListener("input", () => { if (lastDiff) drawComparison(lastDiff); });
// The timeline's run: the new one, or the base.
$("run").addEventListener("change", () => {
  const params = currentParams();
  if ($("run").value === "base") params.set("run", "base"); else params.delete("run");
  params.delete("tiles");  // the base run has tiles of its own
  navigate(params, false);
  Timeline.show(params, requestOf(params)).catch((error) => showError(error.message));
});
$("keys-button").addEventListener("click", () => $("keys").showModal());
$("skip").addEventListener("click", (event) => {
  event.preventDefault();
  $("timeline").focus();
});

// The search box: each pause in typing searches; Enter and Shift+Enter
// step through the matches, Esc ends the search.
let searchTimer = null;
$("search").addEventListener("input", () => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(() => Timeline.setSearch($("search").value), 250);
});
$("search").addEventListener("keydown", (event) => {
  if (event.key === "Enter") {
    event.preventDefault();
    clearTimeout(searchTimer);
    const wanted = $("search").value.trim().toLowerCase();
    if (wanted !== Timeline.searchState().text) Timeline.setSearch(wanted);
    else Timeline.nextMatch(event.shiftKey ? -1 : 1);
  } else if (event.key === "Escape") {
    event.preventDefault();
    clearSearch();
  }
});

window.addEventListener("popstate", () => {
  controlsFromParams(currentParams());
  load(currentParams());
});

Timeline.configure({filter: filterToGroup, window: moveWindow, area: selectArea,
                    order: () => tableOrder});

Api.get("api/report").then((report) => {
  overview = report;
  Timeline.setReport(report);
  drawOverview();
  controlsFromParams(currentParams());
  load(currentParams());
}).catch((error) => showError(error.message));
