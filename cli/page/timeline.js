// The explorer's timeline: one row per tile, each sample a bar in time, on a
// canvas so that thousands of rows by thousands of pixels stay smooth. The
// server answers per row either the samples in the window or, where they
// are too many to draw one by one, per pixel column the group covering most
// of it; a sample's fields come from the server when the pointer is on it.
// The window (from, to, tiles) lives in the address bar with the request.
"use strict";

const Timeline = (() => {
  const RULER = 40;          // pixels of the time axis above the rows
  const LABELS = 56;         // pixels of the tile numbers left of the rows
  const DEFAULT_ROWS = 64;   // tiles shown when the address names none
  const MAX_ROWS = 2048;     // tiles one answer may hold
  const LEAST_CYCLES = 8;    // the finest zoom
  const LABEL_PIXELS = 11;   // row height a tile number needs
  const canvas = document.getElementById("timeline");
  const tip = document.getElementById("timeline-tip");
  const caption = document.getElementById("timeline-window");
  const legend = document.getElementById("timeline-legend");
  const slider = document.getElementById("row-slider");
  const rowCount = document.getElementById("row-count");
  const searchStatus = document.getElementById("search-status");
  const exportLink = document.getElementById("export");

  let hooks = {filter: () => {}, window: () => {}, area: () => {}, order: () => []};
  let reports = null;     // {new, base}: each run's overview (base null without one)
  let run = "new";       // the run shown
  const overview = () => reports[run];
  let entries = null;    // the tile entries the filter leaves, null for all
  let view = null;       // {from, to, start, count}: the window asked for
  let state = null;      // what is drawn: {answer, width, from, to, view, ...}
  let area = null;       // {from, to, first, last} (tile entries), drawn over the rows
  let drag = null;       // while the pointer is down on the canvas
  let running = null;    // AbortController of the answer being fetched
  const fields = new Map();  // "run position" -> a sample's fields, once fetched
  // The search: its text (lower case), the window's kernels and operations
  // (the timeline grouped by each), what matches, and the match shown.
  const search = {text: "", byKernel: null, byOperation: null, sets: null, matches: [],
                  current: -1, running: null};

  // ----- tile entries: the rows to choose from -----

  // Physical tile of each tile entry, fetched once when a filter needs it:
  // the timeline's rows carry it, so a one-cycle, one-pixel timeline of
  // every entry gives them all.
  const physical = new Map();  // run -> physical tile per entry
  async function physicalTiles(which, signal) {
    if (physical.has(which)) return physical.get(which);
    const count = reports[which].tile_count;
    const all = new Array(count);
    for (let first = 0; first < count; first += MAX_ROWS) {
      const last = Math.min(count, first + MAX_ROWS) - 1;
      const q = new URLSearchParams(
          {from: "0", to: "1", width: "1", kind: "idle", tiles: first + "-" + last});
      if (which === "base") q.set("run", "base");
      const answer = await Api.get("api/timeline", q, signal);
      if (!answer) return null;
      for (const row of answer.rows) all[row.tile] = row.physical;
    }
    physical.set(which, all);
    return all;
  }

  // The tile entries whose physical tile is in `wanted` (a Set), in order.
  async function entriesOf(wanted, signal) {
    const tiles = await physicalTiles(run, signal);
    if (!tiles) return null;
    const found = [];
    tiles.forEach((p, entry) => { if (wanted.has(p)) found.push(entry); });
    return found;
  }

  const listLength = () => entries ? entries.length : overview().tile_count;
  const entryAt = (i) => entries ? entries[i] : i;
  // The first list place whose entry is at least `entry`.
  function placeOf(entry) {
    if (!entries) return Math.min(Math.max(0, entry), overview().tile_count);
    let low = 0;
    let high = entries.length;
    while (low < high) {
      const middle = (low + high) >> 1;
      if (entries[middle] < entry) low = middle + 1; else high = middle;
    }
    return low;
  }

  // ----- the window -----

  function span() { return Math.max(1, overview().profile_span_cycles); }

  // The window the address bar asks for, kept inside the span and the rows.
  function windowOf(params) {
    let from = Number(params.get("from") || 0);
    let to = Number(params.get("to") || span());
    if (!(to > from)) { from = 0; to = span(); }
    let start = 0;
    let count = Math.min(listLength(), DEFAULT_ROWS);
    const tiles = /^(\d+)-(\d+)$/.exec(params.get("tiles") || "");
    if (tiles) {
      const first = placeOf(Number(tiles[1]));
      const end = placeOf(Number(tiles[2]) + 1);
      if (end > first) { start = first; count = end - first; }
    }
    return clamp({from, to, start, count});
  }

  function clamp(w) {
    const whole = span();
    const width = Math.round(Math.min(whole, Math.max(LEAST_CYCLES, w.to - w.from)));
    const from = Math.round(Math.min(Math.max(0, w.from), whole - width));
    const count = Math.max(1, Math.min(w.count, listLength(), MAX_ROWS));
    const start = Math.max(0, Math.min(w.start, listLength() - count));
    return {from, to: from + width, start, count};
  }

  // Asks for the window `w` (clamped): the address bar, then show().
  function move(w) {
    if (!state) return;
    const next = clamp(w);
    if (listLength() === 0) return;
    view = next;  // the next step starts from here, drawn or not
    hooks.window(next.from, next.to,
                 entryAt(next.start) + "-" + entryAt(next.start + next.count - 1));
  }

  const zoom = (factor, atX) => {
    const centre = atX === undefined ? (view.from + view.to) / 2 : cycleAt(atX);
    move({...view, from: centre - (centre - view.from) * factor,
          to: centre + (view.to - centre) * factor});
  };
  const pan = (share) => {
    const shift = (view.to - view.from) * share;
    move({...view, from: view.from + shift, to: view.to + shift});
  };
  const scroll = (rows) => move({...view, start: view.start + rows});
  const fit = () => move({...view, from: 0, to: span()});

  // ----- the answer -----

  // Contiguous runs of the entries view.start.. (view.count of them), split
  // where they jump: one request each.
  function runsOf(w) {
    if (!entries) return [[w.start, w.start + w.count - 1]];
    const runs = [];
    for (let i = w.start; i < w.start + w.count; ++i) {
      const entry = entries[i];
      const last = runs[runs.length - 1];
      if (last && entry - last[1] <= 8 && entry - last[0] < MAX_ROWS) last[1] = entry;
      else runs.push([entry, entry]);
    }
    return runs;
  }

  // The timeline of `query` over window `w` as one answer: group labels in
  // `groups`, and the rows of the entries asked for, in order, their
  // groups as indices into `groups`.
  async function fetchRows(query, w, width, signal) {
    const runs = runsOf(w);
    const answers = await Promise.all(runs.map(([first, last]) => {
      const q = new URLSearchParams(query);
      q.set("from", String(w.from));
      q.set("to", String(w.to));
      q.set("tiles", first + "-" + last);
      q.set("width", String(width));
      return Api.get("api/timeline", q, signal);
    }));
    if (answers.some((a) => a === null)) return null;
    const wanted = entries ? new Set(entries.slice(w.start, w.start + w.count)) : null;
    const groups = [];
    const index = new Map();
    const id = (label) => {
      if (!index.has(label)) { index.set(label, groups.length); groups.push(label); }
      return index.get(label);
    };
    const rows = [];
    for (const answer of answers) {
      const ids = answer.groups.map(id);
      for (const row of answer.rows) {
        if (wanted && !wanted.has(row.tile)) continue;
        if (row.pixel_groups) {
          row.pixel_groups = row.pixel_groups.map((g) => g < 0 ? -1 : ids[g]);
        } else {
          for (const sample of row.samples) sample[2] = ids[sample[2]];
        }
        rows.push(row);
      }
    }
    return {groups, rows};
  }

  // Shows the window the address bar asks for: `request` is the query
  // (filters and grouping), `params` the whole address (`run=base` the
  // base run). Resolves when drawn, or when a newer call supersedes it.
  async function show(params, request) {
    run = params.get("run") === "base" && reports.base ? "base" : "new";
    if (running) running.abort();
    const mine = running = new AbortController();
    const signal = mine.signal;
    const tiles = tileNumbers(request.getAll("tile"));
    if (tiles.size > 0) {
      const found = await entriesOf(tiles, signal);
      if (!found) return;
      entries = found;
    } else {
      entries = null;
    }
    area = areaOf(params);
    const w = windowOf(params);
    if (listLength() === 0) {
      state = null;
      canvas.width = canvas.width;  // cleared
      caption.textContent = "No tile matches the Tiles filter.";
      return;
    }
    const width = Math.max(100, Math.min(4096,
        Math.floor(canvas.parentElement.clientWidth) - LABELS));
    const query = new URLSearchParams(request);
    for (const name of ["samples", "sort-by", "limit"]) query.delete(name);
    if (run === "base") query.set("run", "base");
    const answer = await fetchRows(query, w, width, signal);
    if (!answer || signal.aborted) return;
    view = w;
    state = {answer, width, from: w.from, to: w.to, view: w, request: query};
    search.byKernel = search.byOperation = search.sets = null;
    search.matches = [];
    search.current = -1;
    draw();
    drawControls();
    if (search.text) await runSearch();
  }

  // ----- drawing -----

  const xOf = (cycle) => LABELS + (cycle - state.from) * state.width / (state.to - state.from);
  const cycleAt = (x) => state.from + (x - LABELS) * (state.to - state.from) / state.width;

  function rowHeight(rows) {
    return Math.max(2, Math.min(18, Math.floor(640 / Math.max(1, rows))));
  }

  // Every n-th row is numbered, n the least of 1, 2, 5, 10, ... that
  // leaves room for the text.
  function labelEvery(height) {
    for (const n of [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000]) {
      if (n * height >= LABEL_PIXELS) return n;
    }
    return 1000;
  }

  function draw() {
    const rows = state.answer.rows;
    const height = rowHeight(rows.length);
    canvas.width = LABELS + state.width;
    canvas.height = RULER + rows.length * height;
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, canvas.width, canvas.height);
    g.font = "10px system-ui, sans-serif";
    g.textBaseline = "middle";
    drawAxis(g);
    const every = labelEvery(height);
    const matched = search.text ? search.sets : null;
    rows.forEach((row, r) => {
      const y = RULER + r * height;
      if ((state.view.start + r) % every === 0) {
        g.fillStyle = "#555";
        g.textAlign = "right";
        g.fillText(String(row.physical), LABELS - 6, y + Math.min(height, LABEL_PIXELS) / 2);
        g.fillRect(LABELS - 4, y, 3, 1);
        g.textAlign = "left";
      }
      if (row.pixel_groups) {
        drawPixels(g, row, r, y, height, matched);
      } else {
        drawSamples(g, row, r, y, height, matched);
      }
    });
    g.globalAlpha = 1;
    drawCurrentMatch(g, height);
    drawArea(g, height);
    drawLegend();
  }

  // Ticks and their labels: cycles on the first line, time on the second
  // where the report has a clock; faint lines down through the rows.
  function drawAxis(g) {
    const ticks = axisTicks(state.from, state.to, state.width, 110);
    g.fillStyle = "#666";
    g.fillText("cycles", 2, 9);
    if (Text.clock()) g.fillText("time", 2, 21);
    g.fillText("tile", 2, RULER - 6);
    for (const tick of ticks) {
      const x = Math.round(xOf(tick.cycle)) + 0.5;
      g.fillStyle = "#eee";
      g.fillRect(x - 0.5, RULER, 1, canvas.height - RULER);
      g.fillStyle = "#888";
      g.fillRect(x - 0.5, RULER - 5, 1, 5);
      g.fillStyle = "#444";
      g.textAlign = x > canvas.width - 40 ? "right" : "left";
      g.fillText(tick.label, x + 2, 9);
      if (tick.time) g.fillText(tick.time, x + 2, 21);
    }
    g.textAlign = "left";
    g.fillStyle = "#bbb";
    g.fillRect(LABELS, RULER - 1, state.width, 1);
  }

  function drawSamples(g, row, r, y, height, matched) {
    for (const [offset, duration, group, position] of row.samples) {
      const left = Math.max(LABELS, Math.round(xOf(offset)));
      const right = Math.min(canvas.width, Math.round(xOf(offset + duration)));
      let width = Math.max(1, right - left);
      // An edge between neighbours where a bar has room for it.
      if (width >= 4) width -= 1;
      g.globalAlpha = matched && !matched.positions.has(position) ? 0.15 : 1;
      g.fillStyle = Colours.of(state.answer.groups[group]);
      g.fillRect(left, y, width, height - 1);
    }
  }

  function drawPixels(g, row, r, y, height, matched) {
    const columns = matched ? matched.columns.get(r) : null;
    row.pixel_groups.forEach((group, p) => {
      if (group < 0) return;
      const dim = matched && !(columns && columns[p]);
      g.globalAlpha = (0.35 + 0.65 * row.pixel_busy[p] / 1000) * (dim ? 0.15 : 1);
      g.fillStyle = Colours.of(state.answer.groups[group]);
      g.fillRect(LABELS + p, y, 1, height - 1);
    });
  }

  function drawArea(g, height) {
    const box = drag && drag.mode === "area" ? drag.box : area ? areaBox(area, height) : null;
    if (!box) return;
    g.fillStyle = "rgba(78, 121, 167, 0.15)";
    g.fillRect(box.x, box.y, box.w, box.h);
    g.strokeStyle = "#4e79a7";
    g.lineWidth = 1;
    g.setLineDash([4, 3]);
    g.strokeRect(box.x + 0.5, box.y + 0.5, box.w - 1, box.h - 1);
    g.setLineDash([]);
  }

  // Where area `a` lies on the canvas, or null where it is out of view.
  function areaBox(a, height) {
    const rows = state.answer.rows;
    const inside = rows.map((row, r) => row.tile >= a.first && row.tile <= a.last ? r : -1)
        .filter((r) => r >= 0);
    if (inside.length === 0 || a.to <= state.from || a.from >= state.to) return null;
    const x0 = Math.max(LABELS, xOf(a.from));
    const x1 = Math.min(canvas.width, xOf(a.to));
    return {x: x0, y: RULER + inside[0] * height, w: Math.max(2, x1 - x0),
            h: (inside[inside.length - 1] - inside[0] + 1) * height};
  }

  // Beside the timeline: the colour of each group it shows, in the order
  // of the groups table, then by name.
  function drawLegend() {
    const present = new Set(state.answer.groups);
    const order = hooks.order().filter((name) => present.has(name));
    const listed = new Set(order);
    const rest = state.answer.groups.filter((name) => !listed.has(name)).sort();
    const names = order.concat(rest);
    const SHOWN = 40;
    legend.replaceChildren();
    for (const name of names.slice(0, SHOWN)) {
      const item = document.createElement("li");
      const swatch = document.createElement("span");
      swatch.className = "swatch";
      swatch.style.background = Colours.of(name);
      item.append(swatch, document.createTextNode(name));
      item.title = name;
      legend.append(item);
    }
    if (names.length > SHOWN) {
      const more = document.createElement("li");
      more.textContent = "and " + Text.number(names.length - SHOWN) + " more groups";
      legend.append(more);
    }
  }

  // The caption and the row controls for what is drawn.
  function drawControls() {
    const rows = state.answer.rows;
    const length = listLength();
    const first = rows.length ? rows[0].physical : "";
    const last = rows.length ? rows[rows.length - 1].physical : "";
    const unit = Text.unitFor(Math.max(1, state.to));
    const time = Text.clock()
        ? " (" + Text.time(state.from, unit) + " to " + Text.time(state.to, unit) + ")" : "";
    caption.textContent = (run === "base" ? "The base run: cycles " : "Cycles ") + Text.number(state.from) + " to " +
        Text.number(state.to) + time + "; tiles " + first + " to " + last + ", rows " +
        Text.number(state.view.start + 1) + " to " +
        Text.number(state.view.start + rows.length) + " of " + Text.number(length) +
        (entries ? " (the Tiles filter's)" : "") + ".";
    slider.max = String(Math.max(0, length - state.view.count));
    slider.value = String(state.view.start);
    slider.disabled = length <= state.view.count;
    rowCount.max = String(Math.min(MAX_ROWS, length));
    rowCount.value = String(state.view.count);
    // The window's cycles and tile entries (the runs between the rows of
    // a Tiles filter too) as Trace Event JSON.
    const exported = new URLSearchParams({
      from: String(state.from), to: String(state.to),
      tiles: entryAt(state.view.start) + "-" + entryAt(state.view.start + rows.length - 1)});
    if (run === "base") exported.set("run", "base");
    exportLink.href = "api/trace-events?" + exported.toString();
  }

  // ----- search -----

  const matches = (label) => label.toLowerCase().includes(search.text);

  // Fetches, for the window drawn, the samples' kernels and operations
  // (the same timeline grouped by each), then marks what matches.
  async function runSearch() {
    if (search.running) search.running.abort();
    const signal = (search.running = new AbortController()).signal;
    const by = state.request.get("group-by") || "kernel";
    const grouped = async (key) => {
      if (by === key) return state.answer;
      const q = new URLSearchParams(state.request);
      q.set("group-by", key);
      q.delete("metadata-key");
      return fetchRows(q, state.view, state.width, signal);
    };
    const [byKernel, byOperation] = await Promise.all([grouped("kernel"), grouped("operation")]);
    if (!byKernel || !byOperation || signal.aborted) return;
    search.byKernel = byKernel;
    search.byOperation = byOperation;
    collectMatches();
    draw();
  }

  // What matches the search, per row: sample positions, and per-pixel rows'
  // columns (their most covering group, kernel or operation).
  function matchSets() {
    const positions = new Set();
    const columns = new Map();
    const answers = [state.answer, search.byKernel, search.byOperation].filter((a) => a);
    for (const answer of answers) {
      answer.rows.forEach((row, r) => {
        if (row.pixel_groups) {
          const marks = columns.get(r) || new Array(row.pixel_groups.length).fill(false);
          row.pixel_groups.forEach((group, p) => {
            if (group >= 0 && matches(answer.groups[group])) marks[p] = true;
          });
          columns.set(r, marks);
        } else {
          for (const sample of row.samples) {
            if (matches(answer.groups[sample[2]])) positions.add(sample[3]);
          }
        }
      });
    }
    return {positions, columns};
  }

  // The matches in order of row, then time: a sample, or a run of
  // matching pixel columns.
  function collectMatches() {
    const found = search.sets = matchSets();
    search.matches = [];
    state.answer.rows.forEach((row, r) => {
      if (row.pixel_groups) {
        const marks = found.columns.get(r) || [];
        for (let p = 0; p < marks.length; ++p) {
          if (!marks[p]) continue;
          let end = p;
          while (end + 1 < marks.length && marks[end + 1]) ++end;
          search.matches.push({r, from: cycleAt(LABELS + p), to: cycleAt(LABELS + end + 1)});
          p = end;
        }
      } else {
        for (const [offset, duration, , position] of row.samples) {
          if (found.positions.has(position)) {
            search.matches.push({r, from: offset, to: offset + duration, position});
          }
        }
      }
    });
    search.current = search.matches.length ? 0 : -1;
    tellMatches();
  }

  function tellMatches() {
    if (!search.text) { searchStatus.textContent = ""; return; }
    const m = search.matches[search.current];
    searchStatus.textContent = search.matches.length === 0 ? "no match in view"
        : "match " + (search.current + 1) + " of " + Text.number(search.matches.length) +
          " in view: tile " + state.answer.rows[m.r].physical + ", cycles " +
          Text.number(m.from) + " to " + Text.number(m.to);
  }

  function drawCurrentMatch(g, height) {
    const m = search.text ? search.matches[search.current] : null;
    if (!m) return;
    const x0 = Math.max(LABELS, Math.round(xOf(m.from)));
    const x1 = Math.min(canvas.width, Math.round(xOf(m.to)));
    g.strokeStyle = "#000";
    g.lineWidth = 2;
    g.strokeRect(x0 - 1, RULER + m.r * height - 1, Math.max(1, x1 - x0) + 2, height + 1);
  }

  // Searches for `text` (case-insensitive) in the group names, kernels and
  // operations of the window; "" ends the search.
  function setSearch(text) {
    search.text = text.trim().toLowerCase();
    search.matches = [];
    search.sets = null;
    search.current = -1;
    if (search.running) search.running.abort();
    if (!state) return Promise.resolve();
    if (!search.text) { tellMatches(); draw(); return Promise.resolve(); }
    return runSearch();
  }

  // The next (step 1) or previous (step -1) match, round the end.
  function nextMatch(step) {
    if (!search.text || search.matches.length === 0) return;
    const n = search.matches.length;
    search.current = (search.current + step + n) % n;
    tellMatches();
    draw();
  }

  // ----- the pointer -----

  // What is under the pointer: the row, and the sample or pixel column.
  function hit(x, y) {
    if (!state || x < LABELS || y < RULER) return null;
    const rows = state.answer.rows;
    const r = Math.floor((y - RULER) / rowHeight(rows.length));
    if (r < 0 || r >= rows.length) return null;
    const row = rows[r];
    if (row.pixel_groups) {
      const p = Math.floor(x - LABELS);
      const group = row.pixel_groups[p];
      return group === undefined || group < 0 ? null
          : {row, label: state.answer.groups[group], busy: row.pixel_busy[p],
             from: cycleAt(LABELS + p), to: cycleAt(LABELS + p + 1)};
    }
    const cycle = cycleAt(x);
    const slack = (state.to - state.from) / state.width;  // one pixel
    for (const [offset, duration, group, position] of row.samples) {
      if (cycle >= offset - slack && cycle <= offset + duration + slack) {
        return {row, label: state.answer.groups[group], position};
      }
    }
    return null;
  }

  function place(event) {
    const box = canvas.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  const cyclesAndTime = (c) => Text.number(c) + (Text.clock() ? " (" + Text.time(c) + ")" : "");

  async function showTip(found, event) {
    tip.hidden = false;
    const left = Math.min(event.clientX + 14, window.innerWidth - 340);
    tip.style.left = Math.max(0, left) + "px";
    tip.style.top = (event.clientY + 14) + "px";
    if (found.position === undefined) {
      tip.textContent = [found.label, "tile " + found.row.physical + ", " +
          Math.round(found.busy / 10) + "% busy",
          "cycles " + cyclesAndTime(Math.floor(found.from)) + " to " +
          cyclesAndTime(Math.ceil(found.to))].join("\n");
      return;
    }
    const key = run + " " + found.position;
    if (!fields.has(key)) {
      const q = new URLSearchParams({position: String(found.position)});
      if (run === "base") q.set("run", "base");
      const s = await Api.get("api/sample", q);
      if (!s) return;
      fields.set(key, s);
    }
    const s = fields.get(key);
    if (tip.hidden) return;
    tip.textContent = [
      found.label,
      "tile " + s.physical_tile + " (entry " + s.tile + ")",
      "start " + cyclesAndTime(s.offset),
      "end " + cyclesAndTime(s.offset + s.duration),
      "duration " + cyclesAndTime(s.duration),
      "kind " + s.kind + ", phase " + s.phase + ", epoch " + s.epoch,
      "operation " + s.operation, "kernel " + (s.kernel || "(none)"),
      s.metadata.map((m) => m.name + "=" + m.value).join(", ")].filter((t) => t).join("\n");
  }

  canvas.addEventListener("wheel", (event) => {
    if (!state) return;
    const [x] = place(event);
    if (event.ctrlKey || event.metaKey) {
      event.preventDefault();
      zoom(event.deltaY < 0 ? 0.8 : 1.25, x);
    } else if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      event.preventDefault();
      const delta = event.deltaX || event.deltaY;
      pan(Math.sign(delta) * 0.1);
    } else {
      // Rows scroll until the list ends; then the page does.
      const rows = Math.sign(event.deltaY) * Math.max(1, Math.round(Math.abs(event.deltaY) / 33));
      const start = Math.max(0, Math.min(view.start + rows, listLength() - view.count));
      if (start === view.start) return;
      event.preventDefault();
      move({...view, start});
    }
  }, {passive: false});

  canvas.addEventListener("mousedown", (event) => {
    if (!state || event.button !== 0) return;
    const [x, y] = place(event);
    const mode = y < RULER ? "ruler" : event.shiftKey ? "area" : "pan";
    drag = {x, y, moved: false, mode, view: {...view}};
    if (mode === "area") event.preventDefault();  // no text selection
  });
  window.addEventListener("mouseup", (event) => {
    if (!drag || !state) return;
    const [x, y] = place(event);
    const done = drag;
    drag = null;
    if (!done.moved) {
      if (done.mode === "area") { draw(); return; }
      const found = hit(x, y);
      if (found) hooks.filter(found.label);
      return;
    }
    if (done.mode === "ruler") {
      move({...view, from: cycleAt(Math.min(done.x, x)), to: cycleAt(Math.max(done.x, x))});
    } else if (done.mode === "area") {
      selectArea(done, x, y);
    } else {
      const shift = (done.x - x) * (done.view.to - done.view.from) / state.width;
      const rows = Math.round((done.y - y) / rowHeight(state.answer.rows.length));
      move({...done.view, from: done.view.from + shift, to: done.view.to + shift,
            start: done.view.start + rows});
    }
  });
  canvas.addEventListener("mousemove", (event) => {
    const [x, y] = place(event);
    if (drag) {
      if (Math.abs(x - drag.x) > 3 || Math.abs(y - drag.y) > 3) drag.moved = true;
      tip.hidden = true;
      if (drag.mode === "area" && drag.moved) {
        drag.box = dragBox(drag, x, y);
        draw();
      }
      return;
    }
    const found = hit(x, y);
    if (!found) { tip.hidden = true; return; }
    showTip(found, event).catch(() => { tip.hidden = true; });
  });
  canvas.addEventListener("mouseleave", () => { tip.hidden = true; });

  // The rows and pixels an area drag covers, whole rows.
  function dragBox(d, x, y) {
    const height = rowHeight(state.answer.rows.length);
    const rows = state.answer.rows.length;
    const rowAt = (py) => Math.max(0, Math.min(rows - 1, Math.floor((py - RULER) / height)));
    const r0 = Math.min(rowAt(d.y), rowAt(y));
    const r1 = Math.max(rowAt(d.y), rowAt(y));
    const x0 = Math.max(LABELS, Math.min(d.x, x));
    const x1 = Math.min(canvas.width, Math.max(d.x, x));
    return {x: x0, y: RULER + r0 * height, w: Math.max(2, x1 - x0),
            h: (r1 - r0 + 1) * height, r0, r1};
  }

  function selectArea(d, x, y) {
    const box = dragBox(d, x, y);
    const rows = state.answer.rows.slice(box.r0, box.r1 + 1);
    hooks.area({from: Math.max(0, Math.floor(cycleAt(box.x))),
                to: Math.ceil(cycleAt(box.x + box.w)),
                first: rows[0].tile, last: rows[rows.length - 1].tile,
                physical: rows.map((row) => row.physical)});
  }

  // Keys while the timeline has the focus: those that would otherwise
  // scroll the page. The page's own keys (zoom, fit, search, help) are
  // the app's, wherever the focus is.
  canvas.addEventListener("keydown", (event) => {
    if (!state || event.ctrlKey || event.metaKey || event.altKey) return;
    const page = Math.max(1, view.count - 1);
    const actions = {
      "ArrowLeft": () => pan(-0.25), "ArrowRight": () => pan(0.25),
      "ArrowUp": () => scroll(-1), "ArrowDown": () => scroll(1),
      "PageUp": () => scroll(-page), "PageDown": () => scroll(page),
      "Home": fit, "End": () => move({...view, start: listLength()}),
    };
    if (actions[event.key]) { event.preventDefault(); actions[event.key](); }
  });

  slider.addEventListener("change", () => move({...view, start: Number(slider.value)}));
  rowCount.addEventListener("change", () => {
    const count = Number(rowCount.value);
    if (count >= 1) move({...view, count});
  });

  return {
    show, hit, fit, zoom, pan, scroll, setSearch, nextMatch,
    configure: (given) => { hooks = {...hooks, ...given}; },
    setReport: (report) => { reports = {new: report, base: report.base || null}; },
    run: () => run,
    entriesOf: (wanted) => entriesOf(wanted),
    physicalTiles: (which) => physicalTiles(which === "base" && reports.base ? "base" : "new"),
    xOf: (cycle) => xOf(cycle), state: () => state, view: () => view,
    area: () => area, searchState: () => search, rowHeight, RULER, LABELS,
  };
})();
