"""Answers and stores as pandas frames, every column with its exact dtype."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence

import numpy as np
import pandas as pd

from . import _zun

KINDS = ["exchange", "compute", "synchronization", "idle", "unknown"]

# The figures of a group row, in the answer's order.
GROUP_FIELDS = [
    "sample_count", "tile_count", "phase_count", "phase_cycles", "phase_ms",
    "work_cycles", "average_active_tiles", "mean_cycles", "p50_cycles",
    "p95_cycles", "maximum_cycles", "first_offset", "last_offset",
]

# Dimensions that are numbers, and the dtype they take when every row has one.
_NUMERIC_DIMENSIONS = {"phase": np.uint32, "epoch": np.uint32,
                       "physicalTile": np.uint32}


def _dimension_column(key: str, values: List[Optional[str]]) -> Any:
    dtype = _NUMERIC_DIMENSIONS.get(key)
    if dtype is not None and all(v is not None and v.isdigit() for v in values):
        return np.array([int(v) for v in values], dtype=dtype)  # type: ignore[arg-type]
    return pd.Categorical(values)


def groups_frame(answer: "_zun.Answer") -> pd.DataFrame:
    """One row per group, `name` as the index, a `dim.KEY` column per dimension."""
    columns = answer.group_columns()
    names = columns.pop("name")
    dimensions: List[Dict[str, str]] = columns.pop("dimensions")
    data: Dict[str, Any] = {field: columns[field] for field in GROUP_FIELDS}
    keys = sorted({key for row in dimensions for key in row})
    for key in keys:
        data[f"dim.{key}"] = _dimension_column(key, [row.get(key) for row in dimensions])
    index = pd.Index(names, dtype=object, name="name")
    return pd.DataFrame(data, index=index, copy=False)


def _texts(values: Sequence[str]) -> Any:
    """A category where texts repeat, else plain str objects."""
    if len(set(values)) < len(values):
        return pd.Categorical(values)
    return np.array(values, dtype=object)


def samples_frame(answer: "_zun.Answer") -> pd.DataFrame:
    """The answer's sample rows, longest first."""
    columns = answer.sample_columns()
    for key in ("kind", "operation", "kernel"):
        columns[key] = _texts(columns[key])
    # Each row's metadata as a tuple of (name, value) pairs.
    metadata = np.empty(len(columns["metadata"]), dtype=object)
    for i, entries in enumerate(columns["metadata"]):
        metadata[i] = tuple(entries)
    columns["metadata"] = metadata
    return pd.DataFrame(columns, copy=False)


# Every column samples_frame can give, in its order.
SAMPLE_COLUMNS = [
    "physical_tile", "start_cycle", "end_cycle", "offset", "duration",
    "phase", "epoch", "kind", "kernel", "operation", "local_index",
]
_STORED = {"start_cycle", "end_cycle", "phase", "epoch", "local_index"}


def store_frame(store: "_zun.Store", columns: Optional[Sequence[str]]) -> pd.DataFrame:
    """Every sample of a store; see Report.samples_frame."""
    if isinstance(columns, (str, bytes)):
        raise TypeError("parameter 'columns': expected a sequence of column names")
    wanted = None if columns is None else list(columns)
    metadata: Dict[str, Any] = {}
    if wanted is None or any(str(c).startswith("meta.") for c in wanted):
        metadata = {f"meta.{name}": value for name, value in
                    _zun.metadata_codes(store).items()}
    if wanted is None:
        wanted = SAMPLE_COLUMNS + list(metadata)
    unknown = [c for c in wanted if c not in SAMPLE_COLUMNS and c not in metadata]
    if unknown:
        raise ValueError(f"parameter 'columns': unknown column '{unknown[0]}'; "
                         f"the columns are {', '.join(SAMPLE_COLUMNS + list(metadata))}")
    data: Dict[str, Any] = {}
    for name in wanted:
        if name in metadata:
            codes, values = metadata[name]
            data[name] = pd.Categorical.from_codes(
                codes, pd.Index(values, dtype=object))
            continue
        if name in _STORED:
            data[name] = _zun.stored_column(store, name)
        elif name == "physical_tile":
            data[name] = _zun.physical_tiles(store)
        elif name == "offset":
            data[name] = _zun.offsets(store)
        elif name == "duration":
            data[name] = _zun.durations(store)
        elif name == "kind":
            data[name] = pd.Categorical.from_codes(_zun.kind_codes(store), KINDS)
        else:
            codes, texts = _zun.text_codes(store, name)
            data[name] = pd.Categorical.from_codes(codes, pd.Index(texts, dtype=object))
    return pd.DataFrame(data, copy=False)


def activity_frame(answer: Dict[str, Any]) -> pd.DataFrame:
    """One column per series, and `other` when other groups exist, indexed
    by each bucket's start cycle; every column is busy cycles, so a row
    sums to the bucket's busy cycles. Milliseconds are kept apart from the
    series: ``attrs["bucket_ms"]`` is a bucket's width in milliseconds
    (None without a clock), so bucket i starts at i * bucket_ms."""
    count = answer["bucket_count"]
    width = answer["bucket_cycles"]
    index = pd.Index(np.arange(count, dtype=np.uint64) * np.uint64(width),
                     name="start_cycle")
    arrays = list(answer["series"])
    names = list(answer["names"])
    if answer["other_group_count"] > 0:
        arrays.append(answer["other"])
        names.append("other")
    # Built by position, so that a group named "other" keeps its own column.
    frame = pd.DataFrame(dict(enumerate(arrays)), index=index, copy=False)
    frame.columns = pd.Index(names, dtype=object)
    frame.attrs.update({key: answer[key] for key in (
        "clock_hz", "profile_span_cycles", "profile_span_ms", "bucket_cycles",
        "bucket_count", "other_group_count")})
    # A scalar: arrays in attrs would break pandas' comparisons of frames.
    frame.attrs["bucket_ms"] = (width * 1000.0 / answer["clock_hz"]
                                if answer["clock_hz"] else None)
    return frame
