"""The request keywords, checked and spelled as profile-query's options."""

from __future__ import annotations

import operator
import re
from typing import Any, Iterable, List, Mapping, Optional, Tuple, Union

import numpy as np

from . import _zun

# Keyword -> the option's name without its dashes.
_OPTION = {
    "group_by": "group-by",
    "sort_by": "sort-by",
    "kind": "kind",
    "kernel": "kernel",
    "operation_contains": "operation-contains",
    "tiles": "tile",
    "phases": "phase",
    "metadata": "metadata",
    "metadata_key": "metadata-key",
    "at": "at",
    "limit": "limit",
    "samples": "samples",
}
# The orders, as Python names them (profile-query's have dashes).
_ORDERS = ("phase_cycles", "work_cycles", "maximum_cycles", "samples", "name")
_KEYWORD = {option: keyword for keyword, option in _OPTION.items()}
# The window's two ends are two options and one keyword.
_KEYWORD.update({"from": "window", "to": "window"})
# Every keyword of Report.query that shapes the request (threads aside).
QUERY_KEYWORDS = tuple(_OPTION) + ("window",)
# The most tiles or phases one request lists: a tile or phase number is 32
# bits, and a list past this is a mistake (range(2**32)), not a filter.
MAX_LISTED = 1 << 24

Text = Union[str, bytes]
Metadata = Union[Iterable[Text], Mapping[Text, Optional[Text]]]


def _text(keyword: str, value: Any) -> Text:
    if isinstance(value, (str, bytes)):
        return value
    raise TypeError(
        f"parameter '{keyword}': expected str, got {type(value).__name__}")


def whole(keyword: str, value: Any) -> int:
    """`value` as an int: Python's, or numpy's and pandas' integer scalars.
    TypeError naming the keyword for anything else."""
    # bool is an int to Python, never a count or a tile to a user.
    if not isinstance(value, (bool, np.bool_)):
        try:
            return operator.index(value)
        except TypeError:
            pass
    raise TypeError(
        f"parameter '{keyword}': expected int, got {type(value).__name__}")


_MAX_NUMBER = 0xFFFFFFFF  # tiles and phases are 32-bit


def _whole(keyword: str, value: Any) -> str:
    return str(whole(keyword, value))


def _ends(values: range) -> Tuple[int, int]:
    """The least and the greatest value of a non-empty range."""
    return min(values[0], values[-1]), max(values[0], values[-1])


def narrow(values: Any, known: Any, least: int) -> Any:
    """Tiles or phases `values` keeping only those the report has, so that a
    range far wider than the report costs no more than the report's own:
    nothing outside the report can match. Only a range of more than `least`
    values is narrowed; `known()` gives the report's values, ascending and
    distinct. Where none of them is the report's, one of them stays, so
    that nothing matches still (an empty list would mean every one)."""
    if not (isinstance(values, range) and len(values) > least):
        return values
    low, high = _ends(values)
    if low < 0 or high > _MAX_NUMBER:
        return values  # refused as it stands
    have = known()
    have = have[(have >= low) & (have <= high)]
    if values.step not in (1, -1):
        have = have[(have.astype(np.int64) - values[0]) % values.step == 0]
    return (have.astype(np.uint32) if len(have)
            else range(values[0], values[0] + 1))


def _out_of_range(keyword: str, value: int) -> ValueError:
    return ValueError(f"parameter '{keyword}': expected a whole number from 0 "
                      f"to {_MAX_NUMBER}, got '{value}'")


def numbers(keyword: str, values: Any) -> np.ndarray:
    """Tiles or phases as an ascending uint32 array without repeats: any
    sequence of ints (numpy's and pandas' too), a range or an integer array,
    of at most MAX_LISTED values. TypeError or ValueError naming the keyword
    otherwise."""
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"parameter '{keyword}': expected a sequence of int, "
                        f"got {type(values).__name__}")
    if hasattr(values, "__len__") and len(values) > MAX_LISTED:
        raise ValueError(f"parameter '{keyword}': at most {MAX_LISTED} "
                         f"values, got {len(values)}")
    if isinstance(values, range):
        # Checked at its ends before it is made an array of int64.
        if len(values):
            low, high = _ends(values)
            if low < 0 or high > _MAX_NUMBER:
                raise _out_of_range(keyword, low if low < 0 else high)
        array = np.arange(values.start, values.stop, values.step, dtype=np.int64)
    elif isinstance(values, np.ndarray):
        if values.ndim != 1 or not (np.issubdtype(values.dtype, np.integer)
                                    and values.dtype != np.bool_):
            raise TypeError(f"parameter '{keyword}': expected a sequence of "
                            f"int, got an array of {values.dtype} with "
                            f"{values.ndim} dimensions")
        array = values
    else:
        listed = []
        for value in values:
            if len(listed) == MAX_LISTED:
                raise ValueError(f"parameter '{keyword}': at most "
                                 f"{MAX_LISTED} values, got more")
            listed.append(whole(keyword, value))
        array = np.array(listed, dtype=object if not listed else None)
    if len(array):
        if array.dtype == object:  # Python ints past 64 bits
            low, high = min(array), max(array)
        else:
            low, high = array.min(), array.max()
        if low < 0 or high > _MAX_NUMBER:
            raise _out_of_range(keyword, int(low if low < 0 else high))
    return np.unique(array.astype(np.uint32))


def check_keywords(call: str, given: Iterable[str],
                   allowed: Iterable[str]) -> None:
    """TypeError, worded as Python's own, for a keyword that `call` (the
    public name, such as "Report.activity") does not take."""
    allowed = set(allowed)
    for keyword in given:
        if keyword not in allowed:
            raise TypeError(f"{call}() got an unexpected keyword argument "
                            f"'{keyword}'")


def _bytes(text: Text) -> bytes:
    return text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")


def _entry(name: Any, value: Any) -> Text:
    """NAME or NAME=VALUE, in bytes when either is bytes."""
    name = _text("metadata", name)
    if value is None:
        return name
    value = _text("metadata", value)
    if isinstance(name, str) and isinstance(value, str):
        return f"{name}={value}"
    return _bytes(name) + b"=" + _bytes(value)


def _metadata(values: Metadata) -> List[Text]:
    if isinstance(values, Mapping):
        return [_entry(name, value) for name, value in values.items()]
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError("parameter 'metadata': expected a sequence of "
                        "'NAME' or 'NAME=VALUE', or a dict, got "
                        f"{type(values).__name__}")
    return [_text("metadata", value) for value in values]


def _window(value: Any) -> List[Tuple[str, str]]:
    """The from and to options of ``window=(from, to)``; None leaves an end
    open."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError("parameter 'window': expected (from, to), got "
                        f"{type(value).__name__}")
    ends = list(value)
    if len(ends) != 2:
        raise ValueError("parameter 'window': expected (from, to), got "
                         f"{len(ends)} values")
    cycles = [None if end is None else whole("window", end) for end in ends]
    for cycle in cycles:
        if cycle is not None and not 0 <= cycle <= _MAX_CYCLE:
            raise ValueError(f"parameter 'window': expected cycle offsets "
                             f"from 0 to {_MAX_CYCLE}, got {cycle}")
    low, high = cycles
    if high is not None and high <= (low or 0):
        raise ValueError("parameter 'window': to must be past from, got "
                         f"({low}, {high})")
    return [(name, str(cycle)) for name, cycle in zip(("from", "to"), cycles)
            if cycle is not None]


_MAX_CYCLE = (1 << 64) - 1


def _renamed(message: str) -> str:
    """The library's message, naming the keyword instead of the option."""
    return re.sub(r"parameter '([a-z-]+)'",
                  lambda m: f"parameter '{_KEYWORD.get(m.group(1), m.group(1))}'",
                  message)


def build(group_by: str = "kernel", sort_by: str = "phase_cycles",
          kind: Optional[str] = None, kernel: Optional[Text] = None,
          operation_contains: Optional[Text] = None,
          tiles: Iterable[int] = (), phases: Iterable[int] = (),
          metadata: Metadata = (), metadata_key: Optional[Text] = None,
          at: Optional[int] = None, limit: Optional[int] = None,
          samples: int = 0,
          window: Optional[Tuple[Optional[int], Optional[int]]] = None
          ) -> "_zun.Request":
    """The checked request the keywords spell; see Report.query."""
    order = _text("sort_by", sort_by)
    if isinstance(order, bytes) or order.replace("-", "_") not in _ORDERS:
        raise ValueError(f"parameter 'sort_by': expected one of "
                         f"{', '.join(_ORDERS)}; got {order!r}")
    pairs: List[Tuple[str, Text]] = [
        ("group-by", _text("group_by", group_by)),
        ("sort-by", order.replace("_", "-")),
    ]
    for keyword, value in (("kind", kind), ("kernel", kernel),
                           ("operation_contains", operation_contains),
                           ("metadata_key", metadata_key)):
        if value is not None:
            pairs.append((_OPTION[keyword], _text(keyword, value)))
    tile_numbers = numbers("tiles", tiles)
    phase_numbers = numbers("phases", phases)
    pairs += [("metadata", entry) for entry in _metadata(metadata)]
    for keyword, value in (("at", at), ("limit", limit)):
        if value is not None:
            pairs.append((keyword, _whole(keyword, value)))
    pairs.append(("samples", _whole("samples", samples)))
    if window is not None:
        pairs += _window(window)
    try:
        return _zun.request(pairs, tile_numbers, phase_numbers)
    except ValueError as error:
        raise ValueError(_renamed(str(error))) from None


def whole_in(keyword: str, value: Any, low: int, high: int) -> int:
    """`value` if it is an int from `low` to `high`; TypeError or ValueError
    naming the keyword otherwise."""
    value = whole(keyword, value)
    if not low <= value <= high:
        raise ValueError(f"parameter '{keyword}': expected a whole number "
                         f"from {low} to {high}, got {value}")
    return value


def threads(value: Optional[int]) -> int:
    """The threads keyword as the library takes it: 0 for the cores."""
    return 0 if value is None else whole_in("threads", value, 1, MAX_THREADS)


MAX_THREADS = 1024  # as profile-query's --threads
