"""Progress while a big report is read: a bar, a line, or a callback."""

from __future__ import annotations

import os
import sys
from typing import Any, Callable, Optional, Tuple, Union

# Inputs smaller than this are read too soon for progress to help (as
# profile-query decides).
_BIG = 10_000_000

Progress = Union[None, bool, Callable[[str, int, int], Any]]


class _Bar:
    """tqdm's bar, one per stage ("reading", "parsing")."""

    def __init__(self, tqdm: Any, name: str) -> None:
        self._tqdm = tqdm
        self._name = name
        self._bar: Any = None
        self._stage = ""

    def __call__(self, stage: str, done: int, total: int) -> None:
        if self._bar is None or stage != self._stage:
            self.close()
            self._stage = stage
            self._bar = self._tqdm(total=total or None, unit="B",
                                   unit_scale=True,
                                   desc=f"{stage} {self._name}", leave=False)
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def choose(progress: Progress, path: str) -> Tuple[Optional[Callable[[str, int, int], Any]], bool, Callable[[], None]]:
    """(listener, show a line on stderr, close) for `progress`.

    None shows progress when standard error is a terminal and the file is
    big; True always, False never; a callable gets (stage, done, total).
    """
    if callable(progress):
        return progress, False, lambda: None
    if progress is None:
        try:
            big = os.path.getsize(path) >= _BIG
        except OSError:
            big = True  # not a plain file: let the reader decide
        wanted = big and sys.stderr is not None and sys.stderr.isatty()
    elif isinstance(progress, bool):
        wanted = progress
    else:
        raise TypeError("parameter 'progress': expected None, a bool or a "
                        f"callable, got {type(progress).__name__}")
    if not wanted:
        return None, False, lambda: None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None, True, lambda: None
    bar = _Bar(tqdm, os.path.basename(path))
    return bar, False, bar.close
