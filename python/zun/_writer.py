"""Writing a store from Python, a tile at a time."""

from __future__ import annotations

import os
from typing import Any, Iterable, List, Optional, Union

import numpy as np

from . import _request, _zun
from ._frames import KINDS

_KIND_CODE = {name: code for code, name in enumerate(KINDS[:4])}
_U32 = np.iinfo(np.uint32).max


def _column(name: str, values: Any, count: Optional[int]) -> np.ndarray:
    """`values` as uint32 values, checked: whole numbers from 0 to 2^32-1."""
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"parameter '{name}': expected one value per sample")
    if count is not None and len(array) != count:
        raise ValueError(f"parameter '{name}': {len(array)} values for "
                         f"{count} samples")
    if len(array) == 0:
        return np.zeros(0, dtype=np.uint32)
    if not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"parameter '{name}': expected whole numbers, got "
                        f"{array.dtype}")
    bad = np.flatnonzero((array < 0) | (array > _U32))
    if len(bad):
        raise ValueError(f"parameter '{name}': sample {bad[0]} is "
                         f"{array[bad[0]]}; values must be from 0 to {_U32}")
    return np.ascontiguousarray(array, dtype=np.uint32)


def _kinds(values: Any, count: int) -> np.ndarray:
    if isinstance(values, (str, bytes)):
        raise TypeError("parameter 'kind': expected one kind per sample")
    array = np.asarray(values)
    if array.dtype.kind in "US" or array.dtype == object:
        codes = []
        for at, k in enumerate(array):
            try:
                codes.append(_KIND_CODE[k if isinstance(k, str) else k.decode()])
            except (KeyError, AttributeError, UnicodeDecodeError):
                raise ValueError(f"parameter 'kind': sample {at} is {k!r}; "
                                 "expected kind names "
                                 f"({', '.join(_KIND_CODE)}) or codes") from None
        array = np.array(codes, dtype=np.uint32)
    return _column("kind", array, count)


def _per_sample(name: str, values: Any, count: int) -> List[Any]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"parameter '{name}': expected one value per sample")
    listed = list(values)
    if len(listed) != count:
        raise ValueError(f"parameter '{name}': {len(listed)} values for "
                         f"{count} samples")
    return listed


def _texts(name: str, values: Any, count: int) -> List[Any]:
    texts = _per_sample(name, values, count)
    for at, text in enumerate(texts):
        if not isinstance(text, (str, bytes)):
            raise TypeError(f"parameter '{name}': sample {at}: expected str "
                            f"or bytes, got {type(text).__name__}")
    return texts


def _metadata(values: Any, count: int) -> List[Any]:
    """Per sample a sequence of (name, value) texts; None for none."""
    lists = _per_sample("metadata", values, count)
    for at, entries in enumerate(lists):
        if entries is None:
            lists[at] = ()
            continue
        if isinstance(entries, (str, bytes)) or not isinstance(entries, Iterable):
            raise TypeError(f"parameter 'metadata': sample {at}: expected a "
                            "sequence of (name, value) pairs or None, got "
                            f"{type(entries).__name__}")
        entries = list(entries)
        for entry in entries:
            if isinstance(entry, (tuple, list)) and len(entry) != 2:
                raise ValueError(f"parameter 'metadata': sample {at}: "
                                 f"expected (name, value) pairs, got {entry!r}")
            if (not isinstance(entry, (tuple, list)) or
                    not all(isinstance(t, (str, bytes)) for t in entry)):
                raise TypeError(f"parameter 'metadata': sample {at}: expected "
                                "(name, value) pairs of str or bytes, got "
                                f"{entry!r}")
        lists[at] = entries
    return lists


class StoreWriter:
    """Writes a store file tile by tile, in tile order.

    Memory is bounded by the texts and one tile. ``close()`` (or the end of
    a ``with`` block) finishes the file; until then it is written under a
    temporary name, and an exception inside the block, or a writer dropped
    unclosed, leaves no file.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], clock_hz: int) -> None:
        clock_hz = _request.whole("clock_hz", clock_hz)
        if not 0 <= clock_hz < 2**64:
            raise ValueError("parameter 'clock_hz': must be from 0 to 2^64-1")
        self._writer = _zun.Writer(os.fspath(path), clock_hz)

    def add_tile(self, physical_tile: int, start: Any, end: Any, phase: Any,
                 epoch: Any, kind: Any, kernel: Any, operation: Any,
                 local_index: Any = None, metadata: Any = None) -> None:
        """Adds the next tile: one value per sample in every column.

        start, end: raw counter values (uint32); phase, epoch: uint32; kind:
        names ("compute", ...) or codes; kernel, operation: str or bytes per
        sample; local_index: uint32 or None (0s); metadata: None (no
        metadata), or per sample a sequence of (name, value) pairs or None.
        Errors name the parameter and, for a value of one sample, its index.
        """
        physical_tile = _request.whole("physical_tile", physical_tile)
        if not 0 <= physical_tile <= _U32:
            raise ValueError(f"parameter 'physical_tile': must be from 0 to {_U32}")
        starts = _column("start", start, None)
        count = len(starts)
        columns = (_column("end", end, count), _column("phase", phase, count),
                   _column("epoch", epoch, count), _kinds(kind, count))
        locals_ = None if local_index is None else _column("local_index", local_index, count)
        lists = None if metadata is None else _metadata(metadata, count)
        self._writer.add_tile(physical_tile, starts, *columns,
                              _texts("kernel", kernel, count),
                              _texts("operation", operation, count),
                              locals_, lists)

    def close(self) -> None:
        """Finishes the store and puts it in place under its name."""
        if not self._writer.closed:
            self._writer.finish()

    def abort(self) -> None:
        """Gives up: no file is left behind."""
        self._writer.abort()

    def __enter__(self) -> "StoreWriter":
        return self

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()
