// What the page's parts share: the group colours, numbers and times as
// text, the ticks of a time axis, and the requests to the API (with the
// "working" notice for slow ones).
"use strict";

// Group colours shared by the bars, the activity chart and the timeline.
// A grouping's groups (its largest ones over the whole report, which no
// sort, filter or zoom changes) take the palette's places in the order of
// their names; any other name takes the place its hash gives. So a group
// keeps its colour when the table is re-sorted, filtered or zoomed, and a
// view of a few dozen groups has as many colours.
const Colours = (() => {
  const OTHER = "#bab0ac";  // the groups summed as "other": the only grey
  // Colours far apart first, so that any few dozen of the first are told
  // apart; then 16 hues at three depths.
  const PALETTE = [
    "#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f", "#edc948", "#b07aa1",
    "#ff9da7", "#9c755f", "#17becf", "#875692", "#8db600", "#be0032", "#0067a5",
    "#f3c300", "#008856", "#d37295", "#882d17", "#a0cbe8", "#ffbe7d", "#604e97",
    "#8cd17d", "#b6992d", "#499894", "#fabfd2", "#e25822", "#2b3d26", "#d4a6c8",
    "#654522", "#86bcb6", "#dcd300", "#d7b5a6"];
  const HUES = 16;
  for (const [saturation, lightness] of [[70, 45], [60, 30], [75, 70]]) {
    for (let i = 0; i < HUES; ++i) {
      PALETTE.push(hsl((i * 7 % HUES) * 360 / HUES + 12, saturation, lightness));
    }
  }

  // "#rrggbb" of a hue (degrees), saturation and lightness (percent).
  function hsl(hue, saturation, lightness) {
    const s = saturation / 100;
    const l = lightness / 100;
    const a = s * Math.min(l, 1 - l);
    const channel = (n) => {
      const k = (n + hue / 30) % 12;
      const value = l - a * Math.max(-1, Math.min(k - 3, 9 - k, 1));
      return Math.round(255 * value).toString(16).padStart(2, "0");
    };
    return "#" + channel(0) + channel(8) + channel(4);
  }

  // FNV-1a over the name's UTF-16 code units.
  function hash(name) {
    let h = 0x811c9dc5;
    for (let i = 0; i < name.length; ++i) {
      h ^= name.charCodeAt(i);
      h = Math.imul(h, 0x01000193) >>> 0;
    }
    return h;
  }

  let assigned = new Map();  // name -> colour, for the grouping's groups

  // Gives `names` (the grouping's groups) the palette's places in the order
  // of their names, as far as the palette goes.
  function assign(names) {
    const sorted = [...new Set(names)].sort((a, b) => a < b ? -1 : a > b ? 1 : 0);
    assigned = new Map(sorted.slice(0, PALETTE.length).map((name, i) => [name, PALETTE[i]]));
  }

  // The colour of a group.
  function of(name) {
    return assigned.get(name) || PALETTE[hash(name) % PALETTE.length];
  }

  return {assign, of, OTHER, size: PALETTE.length};
})();

// Numbers, cycles and times as text.
const Text = (() => {
  const integer = new Intl.NumberFormat("en-US", {maximumFractionDigits: 0});
  let clockHz = 0;  // the report's clock; 0 for none

  function number(value, digits) {
    if (value === null || value === undefined) return "";
    if (digits === undefined) return integer.format(value);
    return value.toLocaleString("en-US", {minimumFractionDigits: digits,
                                          maximumFractionDigits: digits});
  }

  // The unit that shows `cycles` with a few digits before the point.
  function unitFor(cycles) {
    const seconds = cycles / clockHz;
    if (seconds >= 1) return {name: "s", scale: 1};
    if (seconds >= 1e-3) return {name: "ms", scale: 1e3};
    if (seconds >= 1e-6) return {name: "\u00b5s", scale: 1e6};
    return {name: "ns", scale: 1e9};
  }

  // `cycles` as time in `unit` (of unitFor), with `digits` decimals; "" without a clock.
  function time(cycles, unit, digits) {
    if (!clockHz) return "";
    if (cycles === 0 && !unit) return "0";
    const u = unit || unitFor(Math.max(1, Math.abs(cycles)));
    const value = cycles / clockHz * u.scale;
    if (value === 0) return "0 " + u.name;
    const shown = digits !== undefined ? digits
        : Math.abs(value) >= 100 ? 1 : Math.abs(value) >= 10 ? 2 : 3;
    return number(value, shown) + " " + u.name;
  }

  // "1,234 cycles (0.926 µs)", or without a clock "1,234 cycles".
  function cycles(value) {
    const text = number(value) + " cycles";
    return clockHz ? text + " (" + time(value) + ")" : text;
  }

  return {number, time, cycles, unitFor, setClock: (hz) => { clockHz = hz || 0; },
          clock: () => clockHz};
})();

// Ticks for an axis over [from, to) cycles, about `pixels / spacing` of
// them: round numbers of cycles, or, where the report has a clock, round
// times. Each tick is {cycle, label, time}.
function axisTicks(from, to, pixels, spacing) {
  const wanted = Math.max(2, Math.floor(pixels / spacing));
  const clock = Text.clock();
  const unit = clock ? Text.unitFor(Math.max(1, to - from)) : null;
  // Step in the axis's own unit: cycles, or the time unit.
  const perUnit = unit ? clock / unit.scale : 1;  // cycles per unit
  const rough = (to - from) / perUnit / wanted;
  const power = Math.pow(10, Math.floor(Math.log10(Math.max(rough, 1e-12))));
  let step = power;
  for (const factor of [1, 2, 5, 10]) {
    step = factor * power;
    if (step >= rough) break;
  }
  if (!unit) step = Math.max(1, Math.round(step));
  const decimals = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
  const ticks = [];
  const first = Math.ceil(from / perUnit / step);
  for (let k = first; k * step * perUnit <= to && ticks.length < 1000; ++k) {
    const cycle = k * step * perUnit;
    ticks.push({
      cycle,
      label: Text.number(Math.round(cycle)),
      time: unit ? Text.number(k * step, decimals) + " " + unit.name : "",
    });
  }
  return ticks;
}

// Requests to the API: JSON answers, errors as Error(message), a request
// given up (aborted) as null; while any runs past 300 ms, the "working"
// notice shows.
// The area of the address bar: area=F-T (cycles) and area-tiles=A-B (tile
// entries), or null.
function areaOf(params) {
  const time = /^(\d+)-(\d+)$/.exec(params.get("area") || "");
  const tiles = /^(\d+)-(\d+)$/.exec(params.get("area-tiles") || "");
  if (!time || !tiles) return null;
  return {from: Number(time[1]), to: Number(time[2]),
          first: Number(tiles[1]), last: Number(tiles[2])};
}

// The physical tiles that `tile` values name: a number, or FIRST-LAST for
// the tiles from one to the other. Values the server would refuse add
// nothing (it says what is wrong with them).
function tileNumbers(values) {
  const tiles = new Set();
  for (const value of values) {
    const range = /^(\d+)-(\d+)$/.exec(value);
    if (range) {
      const first = Number(range[1]);
      const last = Number(range[2]);
      if (first > last || last - first >= 65536) continue;
      for (let tile = first; tile <= last; ++tile) tiles.add(tile);
    } else if (/^\d+$/.test(value)) {
      tiles.add(Number(value));
    }
  }
  return tiles;
}

const Api = (() => {
  const WORKING_AFTER_MS = 300;
  let running = 0;
  let timer = null;
  const notice = () => document.getElementById("working");

  function begin() {
    if (running++ === 0) {
      timer = setTimeout(() => { notice().hidden = false; }, WORKING_AFTER_MS);
    }
  }

  function end() {
    if (--running === 0) {
      clearTimeout(timer);
      notice().hidden = true;
    }
  }

  async function get(path, params, signal) {
    const search = params ? params.toString() : "";
    begin();
    try {
      const response = await fetch(path + (search ? "?" + search : ""),
                                   {headers: {Accept: "application/json"}, signal});
      let body = null;
      try {
        body = await response.json();
      } catch (error) {
        if (signal && signal.aborted) return null;
        throw new Error("the server sent no JSON (status " + response.status + ")");
      }
      if (!response.ok) throw new Error(body && body.error ? body.error : "status " + response.status);
      return body;
    } catch (error) {
      if (error.name === "AbortError") return null;
      throw error;
    } finally {
      end();
    }
  }

  return {get, running: () => running};
})();
