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
    boolean ``regressed`` column and fills ``Diff.regressions``. Reports
    may be given as paths, or as lists of their shards' paths. Takes the
    keywords of Report.query, ``threads`` included.
    """
    if fail_above is not None and (isinstance(fail_above, bool) or
                                   not isinstance(fail_above, (int, float, str))):
        raise TypeError("parameter 'fail_above': expected a number, got "
                        f"{type(fail_above).__name__}")
    request.pop("samples", None)
    built = _request.build(**request)
    answer = _zun.diff(_report(base, "base")._shards, _report(new, "new")._shards,
                       built, None if fail_above is None else str(fail_above),
                       _request.threads(threads))
    names = answer.pop("name")
    regressions: List[str] = answer.pop("regressions")
    run_figures = {key: answer.pop(key) for key in (
        "key", "base", "new", "group_count", "added_count", "removed_count")}
    deltas = answer["delta"]
    try:
        answer["delta"] = np.array(deltas, dtype=np.int64)
    except OverflowError:  # a change past 2^63: Python ints, exactly
        answer["delta"] = np.array(deltas, dtype=object)
    answer["delta_percent"] = np.array(
        [np.nan if p is None else p for p in answer["delta_percent"]], dtype=np.float64)
    answer["status"] = pd.Categorical(answer["status"], ["both", "added", "removed"])
    if "regressed" in answer:
        answer["regressed"] = np.array(answer["regressed"], dtype=bool)
    frame = Diff(answer, index=pd.Index(names, dtype=object, name="name"))
    frame.regressions = regressions
    frame.attrs.update(run_figures)
    return frame
