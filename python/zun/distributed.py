"""Queries over a Dask cluster: one task per shard, partial answers merged.

    from distributed import Client
    import zun.distributed
    client = Client("scheduler:8786")
    result = zun.distributed.query(["chip0.zun", "chip1.zun"], client,
                                   group_by="phase")

Each task opens its shard where it runs (the path must be readable there)
and returns the shard's partial answer as bytes: exact integers (merged
runs, duration counts, distinct tiles, the best sample rows), a few bytes a
group, never the samples. The partials are merged in a tree in shard order
and finished on the client, so the answer equals
``zun.open(paths).query(...)`` in every field. Needs Dask's ``distributed``
(Debian package python3-distributed).
"""

from __future__ import annotations

import os
from typing import Any, List, Optional, Sequence

import numpy as np
import pandas as pd

from . import _frames, _request, _zun
from ._report import PathLike, Result, activity_request, shard_paths

__all__ = ["activity", "query"]


def _shard_partial(path: str, request: dict) -> bytes:
    """A task: the partial answer over every tile of the shard at `path`."""
    try:
        store = _zun.open(path, None, False)
    except _zun.ReportError as error:
        # A plain exception travels between processes whatever is installed
        # where; the message names the shard.
        raise RuntimeError(str(error)) from None
    return _zun.partial(store, _request.build(**request))


def _shard_activity(path: str, request: dict, buckets: int, span: int,
                    series: List[bytes]) -> dict:
    """A task: the shard's activity on the whole report's buckets and series."""
    try:
        store = _zun.open(path, None, False)
    except _zun.ReportError as error:
        raise RuntimeError(str(error)) from None
    return _zun.shard_activity(store, _request.build(**request), buckets, span,
                               series)


def _merge(first: bytes, following: bytes) -> bytes:
    """A task: two neighbouring partials merged, the first's tiles first."""
    return _zun.merge_partials(first, following)


def _texts(paths: Any) -> List[str]:
    return shard_paths(
        paths if isinstance(paths, (str, bytes, os.PathLike)) else list(paths))


def _client(client: Any) -> Any:
    if client is not None:
        return client
    try:
        from distributed import get_client
    except ImportError:
        raise ImportError("zun.distributed needs Dask's distributed "
                          "(Debian package python3-distributed)") from None
    try:
        return get_client()
    except ValueError:
        raise ValueError("no Dask client: pass client=, or create a "
                         "distributed.Client first") from None


def partial_bytes(paths: Sequence[PathLike], client: Any = None,
                  **request: Any) -> bytes:
    """The merged partial answer of the shards at `paths`, as bytes.

    What :func:`query` finishes; for callers that keep or send partials.
    """
    texts = _texts(paths)
    request.pop("threads", None)
    _request.build(**request)  # a bad keyword fails here, before any task
    client = _client(client)
    futures = [client.submit(_shard_partial, path, request, pure=False)
               for path in texts]
    # Neighbours pairwise, round after round, in shard order.
    while len(futures) > 1:
        paired = []
        for i in range(0, len(futures), 2):
            if i + 1 < len(futures):
                paired.append(client.submit(_merge, futures[i], futures[i + 1],
                                            pure=False))
            else:
                paired.append(futures[i])
        futures = paired
    try:
        return futures[0].result()
    except RuntimeError as error:
        raise _zun.ReportError(str(error)) from None


def query(paths: Sequence[PathLike], client: Optional[Any] = None,
          **request: Any) -> Result:
    """The answer over the shards at `paths` as one report, on a cluster.

    client: a distributed.Client (default: the current one). Takes the
    keywords of Report.query. A shard that cannot be read raises
    zun.ReportError naming it; a worker lost on the way is replaced by
    Dask, which runs its tasks again, and the answer is unchanged.
    """
    merged = partial_bytes(paths, client, **request)
    request.pop("threads", None)
    return Result(_zun.finish_partial(merged, _request.build(**request)))


def activity(paths: Sequence[PathLike], client: Optional[Any] = None,
             buckets: int = 200, **request: Any) -> pd.DataFrame:
    """The frame ``zun.open(paths).activity(buckets, ...)`` gives, on a cluster.

    Two rounds: the shards' partial answers give the span and the series
    (the first ``limit`` groups, 10 by default); then each shard's task
    counts its samples' busy cycles on those buckets and series, and the
    client adds them up. Takes the keywords of Report.query.
    """
    activity_request("zun.distributed.activity", buckets, request)
    client = _client(client)
    texts = _texts(paths)
    merged = partial_bytes(texts, client, **request)
    built = _request.build(**request)
    figures = _zun.partial_figures(merged)
    answer = _zun.finish_partial(merged, built)
    names = list(Result(answer).groups.index)
    series = [name.encode("utf-8", "surrogateescape") for name in names]
    span = figures["profile_span_cycles"]
    futures = [client.submit(_shard_activity, path, request, buckets, span,
                             series, pure=False) for path in texts]
    try:
        parts = client.gather(futures)
    except RuntimeError as error:
        raise _zun.ReportError(str(error)) from None
    whole = dict(parts[0])
    whole["series"] = [np.sum([part["series"][i] for part in parts], axis=0,
                              dtype=np.uint64)
                       for i in range(len(names))]
    whole["other"] = np.sum([part["other"] for part in parts], axis=0,
                            dtype=np.uint64)
    whole["other_group_count"] = figures["group_count"] - len(names)
    return _frames.activity_frame(whole)
