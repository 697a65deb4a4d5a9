"""Reports, their queries and their answers."""

from __future__ import annotations

import html
import os
import threading
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from . import _frames, _progress, _request, _zun

PathLike = Union[str, "os.PathLike[str]"]

_MAX_BUCKETS = 1_000_000
_DEFAULT_SERIES = 10  # activity series when no limit is given, as the explorer


class Result:
    """The answer to one query: whole-report figures, groups and samples."""

    def __init__(self, answer: "_zun.Answer") -> None:
        self._answer = answer
        self._groups: Optional[pd.DataFrame] = None
        self._samples: Optional[pd.DataFrame] = None

    @property
    def groups(self) -> pd.DataFrame:
        """One row per group in the engine's order, `name` as the index.

        A column per figure with its exact dtype (counts and cycles uint64,
        percentiles and the maximum uint32, ratios and milliseconds float64),
        and a ``dim.KEY`` column per dimension of the labels (``dim.phase``,
        ``dim.epoch``, ``dim.physicalTile``, ``dim.metadataKey``, ...).
        """
        if self._groups is None:
            self._groups = _frames.groups_frame(self._answer)
        return self._groups

    @property
    def samples(self) -> pd.DataFrame:
        """The longest selected samples, longest first (``samples=N``); ties
        go to the smaller physical tile, then the smaller offset, then
        report order."""
        if self._samples is None:
            self._samples = _frames.samples_frame(self._answer)
        return self._samples

    @property
    def figures(self) -> Dict[str, Any]:
        """The whole-report figures: clock, tiles, samples, matched, span, at."""
        return self._answer.figures()

    def to_json(self) -> str:
        """Exactly what ``profile-query --format json`` prints."""
        return self._answer.json()

    def _figure_lines(self) -> List[str]:
        figures = self.figures
        clock = figures["clock_hz"]
        span = f"{figures['profile_span_cycles']:,} cycles"
        if clock:
            span += f" ({figures['profile_span_ms']:.3f} ms)"
        lines = [
            f"tiles: {figures['tile_count']:,}",
            f"samples: {figures['sample_count']:,}, matched: "
            f"{figures['matched_sample_count']:,}",
            f"span: {span}",
            f"clock: {f'{clock:,} Hz' if clock else 'none'}",
        ]
        if figures["at_offset"] is not None:
            lines.append(f"at: cycle {figures['at_offset']:,}")
        return lines

    def __repr__(self) -> str:
        figures = self.figures
        return (f"<zun.Result: {self._answer.group_count} groups, "
                f"{figures['matched_sample_count']} of "
                f"{figures['sample_count']} samples matched>")

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self._text())

    def _text(self) -> str:
        parts = [repr(self), *self._figure_lines(), "", "groups:",
                 self.groups.to_string(max_rows=60)]
        if len(self.samples):
            parts += ["", "longest samples:", self.samples.to_string(max_rows=60)]
        return "\n".join(parts)

    def _repr_html_(self) -> str:
        parts = [f"<p><b>{html.escape(repr(self))}</b><br>"
                 + "<br>".join(html.escape(line) for line in self._figure_lines())
                 + "</p>", "<p>groups</p>", self.groups.to_html(max_rows=60)]
        if len(self.samples):
            parts += ["<p>longest samples</p>", self.samples.to_html(max_rows=60)]
        return "\n".join(parts)


class Report:
    """A profile report, held as a store; open one with :func:`zun.open`.

    Only read once opened: any number of threads may query it at once, and
    each query lets the GIL go while it runs.

    ``close()``, or leaving a ``with zun.open(...) as report:`` block, lets
    the report's files go; a closed report raises ReportError when used.
    Frames already taken stay valid: ``samples_frame``'s views hold the
    store they view until they are dropped themselves.
    """

    def __init__(self, shards: Sequence["_zun.Store"]) -> None:
        self._open_shards: Optional[List["_zun.Store"]] = list(shards)
        self._source = " + ".join(shard.source for shard in shards)
        self._combined: Optional["_zun.Store"] = None
        self._combining = threading.Lock()
        self._summary: Optional[Dict[str, Any]] = None

    @property
    def _shards(self) -> List["_zun.Store"]:
        shards = self._open_shards
        if shards is None:
            raise _zun.ReportError(f"{self._source}: the report is closed")
        return shards

    def close(self) -> None:
        """Lets the report's files go; closing twice does nothing."""
        with self._combining:
            self._open_shards = None
            self._combined = None

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._open_shards is None

    def __enter__(self) -> "Report":
        return self

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        self.close()

    @property
    def _store(self) -> "_zun.Store":
        """The report as one store: the shards' tiles, one after another,
        combined in memory the first time it is needed (activity, frames)."""
        shards = self._shards
        if len(shards) == 1:
            return shards[0]
        with self._combining:
            if self._combined is None:
                self._combined = _zun.combine(shards, self.source)
            return self._combined

    def _narrowed(self, keyword: str, values: Any) -> Any:
        """`tiles` or `phases` as the report can match them: a range past the
        report's tile count (or 65536 phases) is cut to the report's own."""
        if keyword == "tiles":
            return _request.narrow(
                values, lambda: np.unique(np.concatenate(
                    [shard.tiles for shard in self._shards])),
                self.tile_count)
        # The report's phases take one pass over its samples, so only a
        # range too long to list cheaply asks for them.
        return _request.narrow(
            values, lambda: np.unique(np.concatenate(
                [_zun.stored_column(shard, "phase") for shard in self._shards])),
            1 << 16)

    @property
    def source(self) -> str:
        """The report's name as messages give it (shards' joined by " + ")."""
        return self._source

    @property
    def clock_hz(self) -> int:
        """Cycle counter frequency; 0 when unknown."""
        return self._shards[0].clock_hz

    @property
    def tile_count(self) -> int:
        """Tile entries, empty ones included."""
        return sum(shard.tile_count for shard in self._shards)

    @property
    def sample_count(self) -> int:
        """Every sample of every tile."""
        return sum(shard.sample_count for shard in self._shards)

    def query(self, group_by: str = "kernel", sort_by: str = "phase_cycles",
              kind: Optional[str] = None, kernel: Optional[_request.Text] = None,
              operation_contains: Optional[_request.Text] = None,
              tiles: Iterable[int] = (), phases: Iterable[int] = (),
              metadata: _request.Metadata = (),
              metadata_key: Optional[_request.Text] = None,
              at: Optional[int] = None, limit: Optional[int] = None,
              samples: int = 0, threads: Optional[int] = None,
              window: Optional[Tuple[Optional[int], Optional[int]]] = None
              ) -> Result:
        """Answers one request, as profile-query does for the same options.

        group_by: "kind", "kernel", "operation", "phase", "tile" or
            "metadata" (labelled by ``metadata_key``'s value).
        sort_by: "phase_cycles", "work_cycles", "maximum_cycles",
            "samples" or "name".
        kind: only steps of this kind ("exchange", "compute",
            "synchronization", "idle").
        kernel: only steps of this kernel ("" for steps without one).
        operation_contains: only steps whose operation holds this text.
        tiles, phases: only these physical tiles, these phases (any epoch).
        metadata: entries every step must have: ``["layer=3", "block"]`` or
            ``{"layer": "3", "block": None}``.
        at: only samples running at this cycle offset.
        window: ``(from, to)``, only samples running within these cycle
            offsets: a sample counts, whole, when its run [offset, offset +
            duration) meets [from, to) (one of no duration when it starts
            inside); None leaves an end open. As ``--from``/``--to``.
        limit: at most this many groups.
        samples: also the N longest samples; among samples of equal length
            the one on the smaller physical tile comes first, then the one
            that starts earlier (smaller offset), then report order.
        threads: how many threads answer it (default: the machine's
            cores; 1: a single pass); the answer is the same.

        Raises TypeError or ValueError naming the parameter at fault.
        """
        request = _request.build(
            group_by=group_by, sort_by=sort_by, kind=kind, kernel=kernel,
            operation_contains=operation_contains,
            tiles=self._narrowed("tiles", tiles),
            phases=self._narrowed("phases", phases),
            metadata=metadata, metadata_key=metadata_key, at=at, limit=limit,
            samples=samples, window=window)
        return Result(_zun.query_shards(self._shards, request,
                                        _request.threads(threads)))

    def activity(self, buckets: int = 200, **request: Any) -> pd.DataFrame:
        """When each group was busy: busy cycles per bucket of the span.

        One column per group (the first ``limit`` of the query's order,
        10 when no limit is given) and ``other`` for the rest when there
        are more groups, indexed by each bucket's start cycle. Every column
        is busy cycles, so a row sums to the bucket's; a bucket's width in
        milliseconds is ``attrs["bucket_ms"]`` where the report has a clock
        (bucket i starts at i * bucket_ms). Takes the keywords of
        :meth:`query` but ``samples`` and ``threads``, which an activity
        would ignore.
        """
        activity_request("Report.activity", buckets, request)
        for keyword in ("tiles", "phases"):
            if keyword in request:
                request[keyword] = self._narrowed(keyword, request[keyword])
        answer = self._store.activity(_request.build(**request), buckets)
        return _frames.activity_frame(answer)

    def plot_activity(self, buckets: int = 200, ax: Any = None,
                      **request: Any) -> Any:
        """Draws :meth:`activity` with matplotlib, as stacked steps (one step
        a bucket) of samples in progress on average: each series' busy
        cycles over the bucket's width, so the y axis counts samples where
        :meth:`activity` gives cycles.

        Returns the axes; needs matplotlib (optional). Milliseconds on the
        x axis where the report has a clock, cycles otherwise.
        """
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("plot_activity needs matplotlib "
                              "(Debian package python3-matplotlib)") from None
        _request.check_keywords("Report.plot_activity", request,
                                _ACTIVITY_KEYWORDS)
        frame = self.activity(buckets=buckets, **request)
        width = frame.attrs["bucket_cycles"] or 1
        ms = frame.attrs["bucket_ms"]
        x = (np.arange(len(frame)) * ms if ms is not None
             else frame.index.to_numpy())
        if ax is None:
            _, ax = plt.subplots(figsize=(10, 4))
        # Busy cycles over the bucket's width: samples in progress on average.
        ax.stackplot(x, [frame.iloc[:, i].to_numpy() / width
                         for i in range(frame.shape[1])],
                     labels=[str(c) for c in frame.columns], step="post")
        ax.set_xlabel("ms" if self.clock_hz else "cycles")
        ax.set_ylabel("samples in progress")
        ax.set_title(self.source)
        ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small")
        return ax

    def samples_frame(self, columns: Optional[Sequence[str]] = None) -> pd.DataFrame:
        """Every sample, one row each, in report order.

        ``start_cycle``, ``end_cycle``, ``phase``, ``epoch`` and
        ``local_index`` are read-only views of the store (no copy; the frame
        keeps the store alive); ``physical_tile``, ``offset`` (cycles from
        the tile's time zero) and ``duration`` are computed; ``kind``,
        ``kernel`` and ``operation`` are categories; and one categorical
        column ``meta.NAME`` per metadata name, each sample's value of its
        first entry so named (NaN where it has none; its counts are those of
        a query grouped by that metadata key). ``columns`` picks some.

        Cost: the views cost nothing; every computed column 4 or 8 bytes a
        sample, and each metadata column 4 bytes a sample and one pass over
        the samples and the store's metadata lists.
        """
        return _frames.store_frame(self._store, columns)

    def __repr__(self) -> str:
        if self.closed:
            return f"<zun.Report {self.source}: closed>"
        clock = f"{self.clock_hz} Hz" if self.clock_hz else "no clock"
        return (f"<zun.Report {self.source}: {self.tile_count} tiles, "
                f"{self.sample_count} samples, {clock}>")

    def summary(self) -> Dict[str, Any]:
        """What a notebook shows of the report: its tiles, samples, span and
        clock, and its samples counted by kind and by kernel (two queries,
        made once and kept)."""
        if self._summary is None:
            by_kind = self.query(group_by="kind")
            by_kernel = self.query(group_by="kernel", sort_by="samples")
            figures = by_kind.figures
            self._summary = {
                "source": self.source,
                "tiles": figures["tile_count"],
                "samples": figures["sample_count"],
                "span_cycles": figures["profile_span_cycles"],
                "span_ms": figures["profile_span_ms"] if self.clock_hz else None,
                "clock_hz": self.clock_hz,
                "kinds": by_kind.groups["sample_count"].to_dict(),
                "kernels": by_kernel.groups["sample_count"].to_dict(),
            }
        return self._summary

    def _summary_lines(self) -> List[str]:
        s = self.summary()
        span = f"{s['span_cycles']:,} cycles"
        if s["span_ms"] is not None:
            span += f" ({s['span_ms']:.3f} ms)"
        clock = f"{s['clock_hz']:,} Hz" if s["clock_hz"] else "none"
        counted = lambda counts: ", ".join(  # noqa: E731
            f"{name} {count:,}" for name, count in list(counts.items())[:20]) + (
            f", ... ({len(counts)} in all)" if len(counts) > 20 else "")
        return [f"tiles: {s['tiles']:,}", f"samples: {s['samples']:,}",
                f"span: {span}", f"clock: {clock}",
                f"kinds: {counted(s['kinds'])}",
                f"kernels: {counted(s['kernels'])}"]

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        if self.closed:
            printer.text(repr(self))
            return
        printer.text("\n".join([f"zun.Report {self.source}",
                                *self._summary_lines()]))

    def _repr_html_(self) -> str:
        if self.closed:
            return f"<p>{html.escape(repr(self))}</p>"
        rows = "".join(
            f"<tr><th style='text-align:left'>{html.escape(key)}</th>"
            f"<td style='text-align:left'>{html.escape(value)}</td></tr>"
            for key, value in (line.split(": ", 1)
                               for line in self._summary_lines()))
        return (f"<p><b>zun.Report {html.escape(self.source)}</b></p>"
                f"<table>{rows}</table>")


# The keywords an activity takes besides `buckets`: a query's, but the
# sample rows, which it has none of.
_ACTIVITY_KEYWORDS = tuple(k for k in _request.QUERY_KEYWORDS if k != "samples")


def activity_request(call: str, buckets: Any, request: Dict[str, Any]) -> None:
    """Checks `buckets` and the keywords of `call` (its public name), and
    makes `request` the query an activity asks: 10 series unless a limit
    says otherwise."""
    _request.check_keywords(call, request, _ACTIVITY_KEYWORDS)
    _request.whole_in("buckets", buckets, 1, _MAX_BUCKETS)
    if request.get("limit") is None:
        request["limit"] = _DEFAULT_SERIES


def path_text(path: Any, keyword: str = "path") -> str:
    """A path argument as text; TypeError for anything else."""
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"parameter '{keyword}': expected a path, got "
                        f"{type(path).__name__}")
    return os.fspath(path)


def shard_paths(path: Union[PathLike, Sequence[PathLike]]) -> List[str]:
    """One path, or a non-empty list of them, as texts."""
    if isinstance(path, (str, bytes, os.PathLike)):
        return [path_text(path)]
    if not isinstance(path, (list, tuple)):
        raise TypeError("parameter 'path': expected a path or a list of "
                        f"paths, got {type(path).__name__}")
    if not path:
        raise ValueError("parameter 'path': expected at least one path")
    return [path_text(p) for p in path]


def open(path: Union[PathLike, Sequence[PathLike]],  # noqa: A001
         progress: _progress.Progress = None) -> Report:
    """Opens a report: a store or a JSON report, told by its first bytes.

    path: a file, or a list of files that are shards of one report (one
    per chip, or per range of tiles), the tiles of each following the
    previous one's; each is opened once.
    progress: None shows it on a terminal for a big file (a tqdm bar where
    tqdm is installed, a line on standard error otherwise); True always,
    False never; or a callable taking (stage, bytes done, total bytes).
    Raises zun.ReportError with profile-query's message for a bad file, or
    for shards whose clocks differ.
    """
    shards = []
    for text in shard_paths(path):
        listener, line, close = _progress.choose(progress, text)
        try:
            shards.append(_zun.open(text, listener, line))
        finally:
            close()
    _zun.check_clocks(shards)
    return Report(shards)
