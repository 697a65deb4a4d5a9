"""Answers through Python equal profile-query's, number for number."""

import json
import os
import sys

import numpy as np
import pandas as pd
import pytest

import zun
from conftest import cli

# (keywords, the same request as options): a dozen requests.
REQUESTS = [
    ({}, []),
    ({"group_by": "operation", "sort_by": "work_cycles"},
     ["--group-by", "operation", "--sort-by", "work-cycles"]),
    ({"group_by": "phase", "limit": 5, "samples": 7},
     ["--group-by", "phase", "--limit", "5", "--samples", "7"]),
    ({"group_by": "tile", "sort_by": "name"}, ["--group-by", "tile", "--sort-by", "name"]),
    ({"group_by": "kind", "sort_by": "maximum_cycles"},
     ["--group-by", "kind", "--sort-by", "maximum-cycles"]),
    ({"group_by": "metadata", "metadata_key": "layer", "samples": 3},
     ["--group-by", "metadata", "--metadata-key", "layer", "--samples", "3"]),
    ({"kind": "compute", "tiles": [1, 3, 5]},
     ["--kind", "compute", "--tile", "1", "--tile", "3", "--tile", "5"]),
    ({"operation_contains": "attention", "phases": [2, 4]},
     ["--operation-contains", "attention", "--phase", "2", "--phase", "4"]),
    ({"metadata": {"block": None, "layer": "3"}, "group_by": "operation"},
     ["--metadata", "block", "--metadata", "layer=3", "--group-by", "operation"]),
    ({"metadata": ["layer=7"], "sort_by": "samples"},
     ["--metadata", "layer=7", "--sort-by", "samples"]),
    ({"at": 20000, "samples": 10}, ["--at", "20000", "--samples", "10"]),
    ({"kernel": "", "limit": 0}, ["--kernel", "", "--limit", "0"]),
    ({"window": (20000, 60000), "samples": 5},
     ["--from", "20000", "--to", "60000", "--samples", "5"]),
    ({"window": (None, 30000), "group_by": "tile"},
     ["--to", "30000", "--group-by", "tile"]),
    ({"window": (np.uint64(50000), None), "at": 60000},
     ["--from", "50000", "--at", "60000"]),
    ({"kernel": "matmul_f16_tiled_64x256", "samples": 5},
     ["--kernel", "matmul_f16_tiled_64x256", "--samples", "5"]),
]


@pytest.fixture(scope="module")
def report(reports):
    return zun.open(reports["store"])


@pytest.mark.parametrize("keywords,options", REQUESTS)
def test_answers_equal_the_cli(report, reports, profile_query, keywords, options):
    result = report.query(**keywords)
    printed = cli(profile_query, reports["json"], "--format", "json", *options)
    assert result.to_json() == printed
    expected = json.loads(printed)

    figures = result.figures
    for key in ("clock_hz", "tile_count", "sample_count", "matched_sample_count",
                "profile_span_cycles", "profile_span_ms", "at_offset"):
        assert figures[key] == expected[key], key

    groups = result.groups
    assert list(groups.index) == [g["name"] for g in expected["groups"]]
    for column in groups.columns:
        if column.startswith("dim."):
            key = column[4:]
            values = [g["dimensions"].get(key) for g in expected["groups"]]
            assert [str(v) for v in groups[column]] == values, column
        else:
            # Exactly: the JSON's doubles are the shortest exact form.
            assert groups[column].tolist() == [g[column] for g in expected["groups"]], column
    samples = result.samples
    assert len(samples) == len(expected["samples"])
    for column in ("physical_tile", "offset", "duration", "phase", "epoch",
                   "kind", "operation", "kernel"):
        assert samples[column].tolist() == [s[column] for s in expected["samples"]]
    assert [list(m) for m in samples["metadata"]] == [
        [(e["name"], e["value"]) for e in s["metadata"]] for s in expected["samples"]]


def test_window_counts_every_sample_that_runs_in_it(report):
    """Against pandas on the samples: a run meets [from, to), an instant
    lies inside it; every figure is the whole sample's."""
    frame = report.samples_frame(["kernel", "offset", "duration"])
    offset = frame["offset"].astype(np.int64)
    end = offset + frame["duration"].astype(np.int64)
    low, high = 20000, 20001 + int(frame["duration"].max())
    inside = np.where(frame["duration"] == 0,
                      (offset >= low) & (offset < high),
                      (offset < high) & (end > low))
    expected = frame[inside].groupby("kernel", observed=True)["duration"]
    groups = report.query(window=(low, high)).groups
    assert groups["sample_count"].to_dict() == expected.count().to_dict()
    assert groups["maximum_cycles"].to_dict() == expected.max().to_dict()
    assert report.query(window=(0, None)).figures["matched_sample_count"] == len(frame)


def test_window_reaches_activity_and_diff(report, reports, profile_query):
    windowed = report.activity(buckets=5, group_by="kind", window=(1000, 9000))
    whole = report.activity(buckets=5, group_by="kind")
    assert windowed.sum().sum() < whole.sum().sum()
    printed = cli(profile_query, "diff", reports["store"], reports["other"],
                  "--format", "json", "--from", "1000", "--to", "9000")
    frame = zun.diff(reports["store"], reports["other"], window=(1000, 9000))
    expected = json.loads(printed)
    assert list(frame.index) == [g["name"] for g in expected["groups"]]
    assert frame["new_sample_count"].tolist() == [
        g["new"]["sample_count"] for g in expected["groups"]]


def test_json_and_store_give_one_answer(reports):
    from_json = zun.open(reports["json"]).query(group_by="operation", samples=4)
    from_store = zun.open(reports["store"]).query(group_by="operation", samples=4)
    assert from_json.to_json() == from_store.to_json()


def test_frames_have_exact_dtypes(report):
    groups = report.query(group_by="phase").groups
    assert groups.index.name == "name"
    for column in ("sample_count", "tile_count", "phase_count", "phase_cycles",
                   "work_cycles", "first_offset", "last_offset"):
        assert groups[column].dtype == np.uint64, column
    for column in ("p50_cycles", "p95_cycles", "maximum_cycles"):
        assert groups[column].dtype == np.uint32, column
    for column in ("phase_ms", "average_active_tiles", "mean_cycles"):
        assert groups[column].dtype == np.float64, column
    assert groups["dim.phase"].dtype == np.uint32
    assert groups["dim.epoch"].dtype == np.uint32
    samples = report.query(samples=50).samples
    assert samples["kernel"].dtype == "category"
    assert samples["duration"].dtype == np.uint32


def test_activity_equals_the_servers(report, reports, profile_query):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..",
                                    "tests", "serve"))
    from server import Server

    frame = report.activity(buckets=37, group_by="operation", limit=4)
    with Server(profile_query, reports["store"]) as server:
        status, _, body = server.get(
            "/api/activity?buckets=37&group-by=operation&limit=4")
    assert status == 200
    expected = json.loads(body)
    names = [g["name"] for g in expected["groups"]]
    assert list(frame.columns) == names + (
        ["other"] if expected["other"]["group_count"] else [])
    for g in expected["groups"]:
        assert frame[g["name"]].tolist() == g["busy_cycles"]
    assert frame["other"].tolist() == expected["other"]["busy_cycles"]
    assert frame.attrs["other_group_count"] == expected["other"]["group_count"]
    width = expected["bucket_cycles"]
    assert frame.index.tolist() == [i * width for i in range(expected["bucket_count"])]
    assert frame.attrs["bucket_cycles"] == width
    assert frame.attrs["bucket_ms"] == width * 1000.0 / report.clock_hz


def test_activity_without_a_limit_takes_ten_series(report):
    frame = report.activity(buckets=3, group_by="operation")
    assert len(frame.columns) == 10 + 1  # and `other`, the rest
    every = report.activity(buckets=3, group_by="kind", limit=100)
    assert "other" not in every.columns  # nothing left for it
    # Only busy cycles: a row sums to the bucket's, whatever the clock.
    assert every.sum(axis=1).tolist() == frame.sum(axis=1).tolist()


def test_diff_equals_the_cli(reports, profile_query):
    printed = cli(profile_query, "diff", reports["store"], reports["other"],
                  "--format", "json", "--group-by", "kind", "--sort-by", "work-cycles")
    expected = json.loads(printed)
    frame = zun.diff(reports["store"], zun.open(reports["other"]),
                     group_by="kind", sort_by="work_cycles")
    assert list(frame.index) == [g["name"] for g in expected["groups"]]
    assert frame["status"].tolist() == [g["status"] for g in expected["groups"]]
    assert frame["delta"].tolist() == [g["delta"] for g in expected["groups"]]
    for side, prefix in (("base", "base_"), ("new", "new_")):
        assert frame[prefix + "key"].tolist() == [g[side]["key"] for g in expected["groups"]]
        assert frame[prefix + "work_cycles"].tolist() == [
            g[side]["work_cycles"] for g in expected["groups"]]
    percents = [g["delta_percent"] for g in expected["groups"]]
    assert [None if pd.isna(p) else p for p in frame["delta_percent"]] == percents
    assert frame.attrs["key"] == expected["key"]
    assert frame.regressions == []
    assert "regressed" not in frame.columns


def test_diff_gate_flags_what_the_cli_fails(reports, profile_query):
    import subprocess
    done = subprocess.run([profile_query, "diff", reports["store"], reports["other"],
                           "--group-by", "operation", "--fail-above", "5"],
                          capture_output=True, text=True)
    frame = zun.diff(reports["store"], reports["other"], group_by="operation",
                     fail_above=5, limit=3)
    lines = [line.strip() for line in done.stderr.splitlines()[1:]]
    assert frame.regressions == lines
    assert frame["regressed"].dtype == bool
    assert len(frame) == 3  # the gate saw every group, the frame shows three
    assert (done.returncode != 0) == bool(frame.regressions)
