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
# Every keyword of Report.query that shapes the request (threads aside).
QUERY_KEYWORDS = tuple(_OPTION)
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


def _whole(keyword: str, value: Any) -> str:
    return str(whole(keyword, value))


def _numbers(keyword: str, values: Any) -> List[str]:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"parameter '{keyword}': expected a sequence of int, "
                        f"got {type(values).__name__}")
    if isinstance(values, np.ndarray):
        if values.ndim != 1 or not np.issubdtype(values.dtype, np.integer):
            raise TypeError(f"parameter '{keyword}': expected a sequence of "
                            f"int, got an array of {values.dtype} with "
                            f"{values.ndim} dimensions")
        values = values.tolist()  # Python ints, at C speed
    if hasattr(values, "__len__") and len(values) > MAX_LISTED:
        raise ValueError(f"parameter '{keyword}': at most {MAX_LISTED} "
                         f"values, got {len(values)}")
    texts = []
    for value in values:
        if len(texts) == MAX_LISTED:
            raise ValueError(f"parameter '{keyword}': at most {MAX_LISTED} "
                             "values, got more")
        texts.append(_whole(keyword, value))
    return texts


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
          samples: int = 0) -> "_zun.Request":
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
    pairs += [("tile", tile) for tile in _numbers("tiles", tiles)]
    pairs += [("phase", phase) for phase in _numbers("phases", phases)]
    pairs += [("metadata", entry) for entry in _metadata(metadata)]
    for keyword, value in (("at", at), ("limit", limit)):
        if value is not None:
            pairs.append((keyword, _whole(keyword, value)))
    pairs.append(("samples", _whole("samples", samples)))
    try:
        return _zun.request(pairs)
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
