"""Writing a store from Python, a tile at a time."""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Union

import numpy as np

from . import _zun
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
    if array.min() < 0 or array.max() > _U32:
        raise ValueError(f"parameter '{name}': values must be from 0 to {_U32}")
    return np.ascontiguousarray(array, dtype=np.uint32)


def _kinds(values: Any, count: int) -> np.ndarray:
    if isinstance(values, (str, bytes)):
        raise TypeError("parameter 'kind': expected one kind per sample")
    array = np.asarray(values)
    if array.dtype.kind in "US" or array.dtype == object:
        try:
            codes = [_KIND_CODE[k if isinstance(k, str) else k.decode()] for k in array]
        except (KeyError, AttributeError, UnicodeDecodeError):
            raise ValueError("parameter 'kind': expected kind names "
                             f"({', '.join(_KIND_CODE)}) or codes") from None
        array = np.array(codes, dtype=np.uint32)
    return _column("kind", array, count)


def _texts(name: str, values: Any, count: int) -> Sequence[Any]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"parameter '{name}': expected one text per sample")
    texts = list(values)
    if len(texts) != count:
        raise ValueError(f"parameter '{name}': {len(texts)} values for {count} samples")
    return texts


class StoreWriter:
    """Writes a store file tile by tile, in tile order.

    Memory is bounded by the texts and one tile. ``close()`` (or the end of
    a ``with`` block) finishes the file; until then it is written under a
    temporary name, and an exception inside the block, or a writer dropped
    unclosed, leaves no file.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], clock_hz: int) -> None:
        if isinstance(clock_hz, bool) or not isinstance(clock_hz, int):
            raise TypeError("parameter 'clock_hz': expected int")
        if not 0 <= clock_hz < 2**64:
            raise ValueError("parameter 'clock_hz': must be from 0 to 2^64-1")
        self._writer = _zun.Writer(os.fspath(path), clock_hz)

    def add_tile(self, physical_tile: int, start: Any, end: Any, phase: Any,
                 epoch: Any, kind: Any, kernel: Any, operation: Any,
                 local_index: Any = None, metadata: Any = None) -> None:
        """Adds the next tile: one value per sample in every column.

        start, end: raw counter values (uint32); phase, epoch: uint32; kind:
        names ("compute", ...) or codes; kernel, operation: str or bytes per
        sample; local_index: uint32 or None (0s); metadata: per sample a
        sequence of (name, value) pairs, or None.
        """
        if isinstance(physical_tile, bool) or not isinstance(physical_tile, int):
            raise TypeError("parameter 'physical_tile': expected int")
        if not 0 <= physical_tile <= _U32:
            raise ValueError(f"parameter 'physical_tile': must be from 0 to {_U32}")
        starts = _column("start", start, None)
        count = len(starts)
        columns = (_column("end", end, count), _column("phase", phase, count),
                   _column("epoch", epoch, count), _kinds(kind, count))
        locals_ = None if local_index is None else _column("local_index", local_index, count)
        lists = None if metadata is None else _texts("metadata", metadata, count)
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
