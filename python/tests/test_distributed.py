"""zun.distributed on a real Dask cluster: a LocalCluster of two worker
processes on loopback, started and stopped here."""

import os
import signal
import subprocess
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")

import zun
import zun.distributed
from conftest import _tool, cli


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as dask_client:
        yield dask_client
    cluster.close()


@pytest.fixture(scope="module")
def four_shards(tmp_path_factory, profile_query):
    """Four stores of one run's tiles, big enough that a task takes a
    while, and their converted whole."""
    writer = _tool("ZUN_WRITE_REPORT")
    folder = tmp_path_factory.mktemp("dask")
    paths = []
    for i in range(4):
        json_path = str(folder / f"s{i}.json")
        subprocess.run([writer, json_path, str(64 + 16 * i), "2000", "interleaved"],
                       check=True)
        store = str(folder / f"s{i}.zun")
        cli(profile_query, "convert", json_path, "-o", store)
        os.remove(json_path)
        paths.append(store)
    whole = str(folder / "whole.zun")
    cli(profile_query, "convert", *paths, "-o", whole)
    return paths, whole


REQUESTS = [{}, {"group_by": "phase", "samples": 5},
            {"group_by": "tile", "sort_by": "name", "limit": 7}]


def test_cluster_answers_as_one_process(client, four_shards):
    paths, whole = four_shards
    for request in REQUESTS:
        expected = zun.open(whole).query(threads=1, **request).to_json()
        assert zun.distributed.query(paths, client, **request).to_json() == expected
        assert zun.open(paths).query(**request).to_json() == expected


def test_cluster_activity_adds_up_to_one_process(client, four_shards):
    paths, whole = four_shards
    for request in ({}, {"group_by": "phase", "limit": 3},
                    {"group_by": "tile", "kind": "compute", "buckets": 37}):
        buckets = request.pop("buckets", 50)
        expected = zun.open(whole).activity(buckets=buckets, **request)
        answer = zun.distributed.activity(paths, client, buckets=buckets, **request)
        assert answer.equals(expected)
        assert list(answer.columns) == list(expected.columns)
        assert answer.attrs == expected.attrs


def test_a_worker_killed_mid_query_changes_nothing(client, four_shards):
    paths, whole = four_shards
    expected = zun.open(whole).query(group_by="phase", samples=3).to_json()
    pids = client.run(os.getpid)
    answer = {}

    def ask():
        answer["json"] = zun.distributed.query(
            paths * 4, client, group_by="phase", samples=3).to_json()

    asking = threading.Thread(target=ask)
    asking.start()
    # Kill a worker while it holds a task of this query.
    killed = None
    deadline = time.monotonic() + 30
    while killed is None and time.monotonic() < deadline and asking.is_alive():
        for address, tasks in client.processing().items():
            if tasks and address in pids:
                os.kill(pids[address], signal.SIGKILL)
                killed = address
                break
        time.sleep(0.005)
    asking.join(timeout=120)
    assert killed is not None, "the query ended before a worker could be killed"
    assert not asking.is_alive()
    # The same shards four times over: each sample four times, each tile too.
    repeated = zun.open(paths * 4).query(group_by="phase", samples=3).to_json()
    assert answer["json"] == repeated
    assert expected != repeated  # the repetition is seen


def test_a_missing_shard_names_its_path(client, four_shards, tmp_path):
    paths, _ = four_shards
    missing = str(tmp_path / "gone.zun")
    with pytest.raises(zun.ReportError, match="gone.zun"):
        zun.distributed.query([paths[0], missing], client)
