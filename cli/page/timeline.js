// The explorer's timeline: one row per tile, each sample a bar in time, on a
// canvas so that thousands of rows by thousands of pixels stay smooth. The
// server answers per row either the samples in the window or, where they
// are too many to draw one by one, per pixel column the group covering most
// of it; a sample's fields come from the server when the pointer is on it.
// The window (from, to, tiles) lives in the address bar with the request.
"use strict";

const Timeline = (() => {
  const RULER = 18;         // pixels of the time ruler above the rows
  const LABELS = 64;        // pixels of the tile labels left of the rows
  const DEFAULT_ROWS = 128; // tiles shown when the address names none
  const canvas = document.getElementById("timeline");
  const tip = document.getElementById("timeline-tip");
  const caption = document.getElementById("timeline-window");
  let state = null;      // the answer drawn, and what it was asked with
  let colourOf = () => "#bab0ac";
  let onFilter = () => {};
  let onWindow = () => {};
  let drag = null;       // {x, from, to, ruler} while the pointer is down
  let asked = 0;         // answers to an older window are dropped
  const fields = new Map();  // sample position -> its fields, once fetched

  const cyclesText = (value) => Math.round(value).toLocaleString("en-US");

  // The window the address bar asks for, the report's whole span by default.
  function windowOf(params, overview) {
    const span = Math.max(1, overview.profile_span_cycles);
    let from = Number(params.get("from") || 0);
    let to = Number(params.get("to") || span);
    if (!(to > from)) { from = 0; to = span; }
    const tiles = /^(\d+)-(\d+)$/.exec(params.get("tiles") || "");
    let first = 0;
    let last = Math.min(overview.tile_count, DEFAULT_ROWS) - 1;
    if (tiles) { first = Number(tiles[1]); last = Number(tiles[2]); }
    return {from, to, first, last};
  }

  function rowHeight(rows) {
    return Math.max(2, Math.min(14, Math.floor(600 / Math.max(1, rows))));
  }

  async function show(params, overview, request, colours, filter, windowChange) {
    colourOf = colours;
    onFilter = filter;
    onWindow = windowChange;
    const view = windowOf(params, overview);
    if (overview.tile_count === 0) return;
    const width = Math.max(100, Math.floor(canvas.parentElement.clientWidth) - LABELS);
    const query = new URLSearchParams(request);
    for (const name of ["samples", "sort-by", "limit"]) query.delete(name);
    query.set("from", String(Math.floor(view.from)));
    query.set("to", String(Math.ceil(view.to)));
    query.set("tiles", view.first + "-" + view.last);
    query.set("width", String(Math.min(4096, width)));
    const mine = ++asked;
    const response = await fetch("api/timeline?" + query.toString());
    const answer = await response.json();
    if (mine !== asked) return;
    if (!response.ok) throw new Error(answer.error || "status " + response.status);
    state = {answer, width: Math.min(4096, width), request: new URLSearchParams(request),
             from: answer.from, to: answer.to, first: view.first, last: view.last};
    draw();
  }

  const xOf = (cycle) => LABELS + (cycle - state.from) * state.width / (state.to - state.from);
  const cycleAt = (x) => state.from + (x - LABELS) * (state.to - state.from) / state.width;

  function draw() {
    const rows = state.answer.rows;
    const height = rowHeight(rows.length);
    canvas.width = LABELS + state.width;
    canvas.height = RULER + rows.length * height;
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, canvas.width, canvas.height);
    g.font = "10px system-ui, sans-serif";
    g.fillStyle = "#666";
    g.textBaseline = "middle";
    g.fillText(cyclesText(state.from), LABELS, RULER / 2);
    g.textAlign = "right";
    g.fillText(cyclesText(state.to), canvas.width - 2, RULER / 2);
    g.textAlign = "left";
    rows.forEach((row, r) => {
      const y = RULER + r * height;
      if (height >= 8) {
        g.fillStyle = "#666";
        g.fillText(String(row.physical), 2, y + height / 2);
      }
      if (row.pixel_groups) {
        row.pixel_groups.forEach((group, p) => {
          if (group < 0) return;
          g.globalAlpha = 0.35 + 0.65 * row.pixel_busy[p] / 1000;
          g.fillStyle = colourOf(state.answer.groups[group]);
          g.fillRect(LABELS + p, y, 1, height - 1);
        });
        g.globalAlpha = 1;
      } else {
        for (const [offset, duration, group] of row.samples) {
          const left = Math.max(LABELS, xOf(offset));
          const right = Math.min(canvas.width, xOf(offset + duration));
          g.fillStyle = colourOf(state.answer.groups[group]);
          g.fillRect(left, y, Math.max(1, right - left), height - 1);
        }
      }
    });
    caption.textContent = "Cycles " + cyclesText(state.from) + " to " + cyclesText(state.to) +
        ", tile entries " + state.first + " to " + state.last +
        " (wheel or + and - zoom, drag pans, drag on the ruler zooms to a range, arrows pan)";
  }

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
          : {row, label: state.answer.groups[group], busy: row.pixel_busy[p]};
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

  // Moves the window to [from, to), kept inside the span's neighbourhood.
  function setWindow(from, to, first, last) {
    const least = 16;  // cycles: the finest zoom
    if (to - from < least) { const middle = (from + to) / 2; from = middle - least / 2; to = middle + least / 2; }
    if (from < 0) { to -= from; from = 0; }
    onWindow(Math.floor(from), Math.ceil(to), first, last);
  }

  function zoom(factor, atX) {
    const centre = atX === undefined ? (state.from + state.to) / 2 : cycleAt(atX);
    setWindow(centre - (centre - state.from) * factor, centre + (state.to - centre) * factor,
              state.first, state.last);
  }

  function pan(share) {
    const shift = (state.to - state.from) * share;
    setWindow(state.from + shift, state.to + shift, state.first, state.last);
  }

  function place(event) {
    const box = canvas.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  async function showTip(found, event) {
    tip.hidden = false;
    tip.style.left = (event.pageX + 12) + "px";
    tip.style.top = (event.pageY + 12) + "px";
    if (found.position === undefined) {
      tip.textContent = found.label + " (tile " + found.row.physical + "), " +
          Math.round(found.busy / 10) + "% busy";
      return;
    }
    if (!fields.has(found.position)) {
      const response = await fetch("api/sample?position=" + found.position);
      fields.set(found.position, await response.json());
    }
    const s = fields.get(found.position);
    tip.textContent = [
      found.label, "tile " + s.physical_tile + ", offset " + cyclesText(s.offset) +
      ", duration " + cyclesText(s.duration), "kind " + s.kind + ", phase " + s.phase + "/" + s.epoch,
      "operation " + s.operation, "kernel " + (s.kernel || "(none)"),
      s.metadata.map((m) => m.name + "=" + m.value).join(", ")].filter((t) => t).join("\n");
  }

  canvas.addEventListener("wheel", (event) => {
    if (!state) return;
    event.preventDefault();
    zoom(event.deltaY < 0 ? 0.8 : 1.25, place(event)[0]);
  }, {passive: false});
  canvas.addEventListener("mousedown", (event) => {
    if (!state) return;
    const [x, y] = place(event);
    drag = {x, moved: false, ruler: y < RULER, from: state.from, to: state.to};
  });
  window.addEventListener("mouseup", (event) => {
    if (!drag || !state) return;
    const [x, y] = place(event);
    const done = drag;
    drag = null;
    if (!done.moved) {
      const found = hit(x, y);
      if (found) onFilter(found.label);
      return;
    }
    if (done.ruler) {
      const a = cycleAt(Math.min(done.x, x));
      const b = cycleAt(Math.max(done.x, x));
      setWindow(a, b, state.first, state.last);
    } else {
      const shift = (done.x - x) * (done.to - done.from) / state.width;
      setWindow(done.from + shift, done.to + shift, state.first, state.last);
    }
  });
  canvas.addEventListener("mousemove", (event) => {
    const [x, y] = place(event);
    if (drag) {
      if (Math.abs(x - drag.x) > 3) drag.moved = true;
      tip.hidden = true;
      return;
    }
    const found = hit(x, y);
    if (!found) { tip.hidden = true; return; }
    showTip(found, event);
  });
  canvas.addEventListener("mouseleave", () => { tip.hidden = true; });
  canvas.addEventListener("keydown", (event) => {
    if (!state) return;
    const actions = {"+": () => zoom(0.5), "=": () => zoom(0.5), "-": () => zoom(2),
                     "ArrowLeft": () => pan(-0.25), "ArrowRight": () => pan(0.25)};
    if (actions[event.key]) { event.preventDefault(); actions[event.key](); }
  });

  return {show, hit, xOf: (cycle) => xOf(cycle), state: () => state, rowHeight, RULER, LABELS};
})();
