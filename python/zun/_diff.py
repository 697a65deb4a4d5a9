"""Comparing two runs, as profile-query diff does."""

from __future__ import annotations

import os
from typing import Any, List, Optional, Union

import numpy as np
import pandas as pd

from . import _request, _zun
from ._report import Report, open as open_report


class Diff(pd.DataFrame):
    """The diff's rows: a pandas frame with the runs' regressions beside it.

    ``regressions`` holds one line per group that fails the gate
    (``fail_above``), empty without one; ``attrs`` the compared figure's
    name and both runs' figures.
    """

    _metadata = ["regressions"]

    @property
    def _constructor(self) -> Any:
        return pd.DataFrame  # a frame cut or changed is a plain frame


# The figures a diff compares, each as base_, new_ and delta_ columns.
_FIGURES = ("sample_count", "work_cycles", "p50_cycles", "p95_cycles",
            "maximum_cycles")


def _signed(values: Any) -> np.ndarray:
    """Changes as int64, or as Python ints where one passes 2^63."""
    try:
        return np.array(values, dtype=np.int64)
    except OverflowError:
        return np.array(values, dtype=object)


def _change(base: np.ndarray, new: np.ndarray) -> np.ndarray:
    """new - base of two unsigned columns, signed: int64 where both fit it,
    Python ints otherwise (a work figure past 2^63 cycles)."""
    limit = np.iinfo(np.int64).max
    if len(base) == 0 or (int(base.max()) <= limit and int(new.max()) <= limit):
        return new.astype(np.int64) - base.astype(np.int64)
    return _signed([int(n) - int(b) for b, n in zip(base, new)])


def _report(value: Union[Report, str, "os.PathLike[str]"], role: str) -> Report:
    if isinstance(value, Report):
        return value
    if isinstance(value, (str, bytes, os.PathLike, list, tuple)):
        return open_report(value)
    raise TypeError(f"parameter '{role}': expected a Report, a path or a list "
                    f"of shards' paths, got "
                    f"{type(value).__name__}")


def diff(base: Union[Report, str, "os.PathLike[str]"],
         new: Union[Report, str, "os.PathLike[str]"],
         fail_above: Optional[Union[int, float, str]] = None,
         threads: Optional[int] = None, **request: Any) -> Diff:
    """The same request on a base and a new run, groups matched by label.

    Rows and columns as ``profile-query diff --format csv`` gives them,
    ``name`` as the index, the largest change of the compared figure first
    (the request's ``sort_by``). ``fail_above`` (a percentage) adds a
    boolean ``regressed`` column and fills ``Diff.regressions``. Beside
    ``delta`` (the compared figure's change), ``delta_sample_count``,
    ``delta_work_cycles``, ``delta_p50_cycles``, ``delta_p95_cycles`` and
    ``delta_maximum_cycles`` are each figure's signed change (int64), new
    minus base: subtracting the unsigned base and new columns would wrap.
    Reports may be given as paths, or as lists of their shards' paths. Takes
    the keywords of Report.query, ``threads`` included, but not
    ``samples``.
    """
    if fail_above is not None and (isinstance(fail_above, bool) or
                                   not isinstance(fail_above, (int, float, str))):
        raise TypeError("parameter 'fail_above': expected a number, got "
                        f"{type(fail_above).__name__}")
    # No sample rows in a diff: `samples` would be ignored, so it is refused.
    _request.check_keywords(
        "zun.diff", request,
        (k for k in _request.QUERY_KEYWORDS if k != "samples"))
    built = _request.build(**request)
    answer = _zun.diff(_report(base, "base")._shards, _report(new, "new")._shards,
                       built, None if fail_above is None else str(fail_above),
                       _request.threads(threads))
    names = answer.pop("name")
    regressions: List[str] = answer.pop("regressions")
    run_figures = {key: answer.pop(key) for key in (
        "key", "base", "new", "group_count", "added_count", "removed_count")}
    answer["delta"] = _signed(answer["delta"])
    # Each figure's signed change beside its base and new columns, which are
    # unsigned: their difference would wrap.
    columns = {}
    for key, value in answer.items():
        columns[key] = value
        if key.startswith("new_") and key[4:] in _FIGURES:
            columns[f"delta_{key[4:]}"] = _change(answer[f"base_{key[4:]}"],
                                                  value)
    answer = columns
    answer["delta_percent"] = np.array(
        [np.nan if p is None else p for p in answer["delta_percent"]], dtype=np.float64)
    answer["status"] = pd.Categorical(answer["status"], ["both", "added", "removed"])
    if "regressed" in answer:
        answer["regressed"] = np.array(answer["regressed"], dtype=bool)
    frame = Diff(answer, index=pd.Index(names, dtype=object, name="name"))
    frame.regressions = regressions
    frame.attrs.update(run_figures)
    return frame
