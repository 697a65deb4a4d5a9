"""A store written from Python reads back equal, in Python and in the CLI."""

import json
import os

import numpy as np
import pytest

import zun
from conftest import cli


def write_two_tiles(path):
    with zun.StoreWriter(path, clock_hz=1_000_000) as writer:
        writer.add_tile(
            7, start=np.array([4294967290, 5, 40], dtype=np.uint32),
            end=np.array([3, 30, 41], dtype=np.uint64),  # wraps past 2^32
            phase=[1, 1, 2], epoch=np.array([0, 0, 1]),
            kind=["compute", "exchange", "idle"],
            kernel=["mm", b"", "mm"], operation=["a/b", "\udcff raw", b"c\x00d"],
            local_index=[9, 8, 7],
            metadata=[[("layer", "3")], [], [(b"k", b"\xfe"), ("k", "v")]])
        writer.add_tile(2, start=[], end=[], phase=[], epoch=[], kind=[],
                        kernel=[], operation=[])
        writer.add_tile(3, start=[100], end=[2**32 - 1], phase=[2**32 - 1],
                        epoch=[0], kind=np.array([1], dtype=np.uint8),
                        kernel=["mm"], operation=["x"])


def test_round_trip_through_python_and_the_cli(tmp_path, profile_query):
    path = str(tmp_path / "w.zun")
    write_two_tiles(path)
    report = zun.open(path)
    assert (report.tile_count, report.sample_count, report.clock_hz) == (3, 4, 1_000_000)
    frame = report.samples_frame()
    assert frame["physical_tile"].tolist() == [7, 7, 7, 3]
    assert frame["start_cycle"].tolist() == [4294967290, 5, 40, 100]
    assert frame["offset"].tolist() == [0, 11, 46, 0]
    assert frame["duration"].tolist() == [9, 25, 1, 2**32 - 101]
    assert frame["kind"].tolist() == ["compute", "exchange", "idle", "compute"]
    assert frame["kernel"].tolist() == ["mm", "", "mm", "mm"]
    assert frame["operation"].tolist() == ["a/b", "\udcff raw", "c\x00d", "x"]
    assert frame["local_index"].tolist() == [9, 8, 7, 0]
    samples = report.query(samples=4).samples
    assert sorted(map(tuple, samples["metadata"])) == sorted(
        [(("layer", "3"),), (), (("k", "\udcfe"), ("k", "v")), ()])
    # profile-query reads the same store (bytes that are not UTF-8 kept).
    printed = json.loads(cli(profile_query, path, "--format", "json", "--group-by", "tile"))
    assert [g["name"] for g in printed["groups"]] == ["tile 3", "tile 7"]
    assert report.query(group_by="tile").to_json() == cli(
        profile_query, path, "--format", "json", "--group-by", "tile")


def test_exported_json_equals_what_was_written(tmp_path, profile_query):
    path = str(tmp_path / "w.zun")
    with zun.StoreWriter(path, 5) as writer:
        writer.add_tile(1, start=[10, 20], end=[15, 26], phase=[0, 1], epoch=[0, 0],
                        kind=[0, 1], kernel=["k", "k"], operation=["o1", "o2"],
                        metadata=[[("a", "1")], []])
    exported = json.loads(cli(profile_query, "export", path, "-o", "-"))
    assert exported["clock_hz"] == 5
    [tile] = exported["tiles"]
    assert tile["physical_tile"] == 1
    assert [s["start_cycle"] for s in tile["samples"]] == [10, 20]
    assert [s["end_cycle"] for s in tile["samples"]] == [15, 26]


def test_an_error_in_the_block_leaves_no_file(tmp_path):
    path = tmp_path / "w.zun"
    with pytest.raises(RuntimeError):
        with zun.StoreWriter(path, 0) as writer:
            writer.add_tile(0, [1], [2], [0], [0], ["compute"], ["k"], ["o"])
            raise RuntimeError("producer failed")
    assert os.listdir(tmp_path) == []


def test_bad_columns_are_refused_by_name(tmp_path):
    with zun.StoreWriter(tmp_path / "w.zun", 0) as writer:
        cases = [
            (dict(end=[2, 3]), ValueError, "'end': 2 values for 1 samples"),
            (dict(start=[-1]), ValueError, "'start': sample 0 is -1; values must be"),
            (dict(phase=[2**32]), ValueError, "'phase'"),
            (dict(epoch=[0.5]), TypeError, "'epoch'"),
            (dict(kind=["busy"]), ValueError, "'kind'"),
            (dict(kind=[9]), None, None),  # a code past the four names is kept
            (dict(kernel="k"), TypeError, "'kernel'"),
            (dict(operation=[3]), TypeError, "'operation'"),
            (dict(metadata=[[("a",)]]), ValueError, "'metadata'"),
            # Per-sample faults name the sample.
            (dict(start=[1, 2, -5], end=[2, 3, 4], phase=[0] * 3, epoch=[0] * 3,
                  kind=["compute"] * 3, kernel=["k"] * 3, operation=["o"] * 3),
             ValueError, "'start': sample 2 is -5"),
            (dict(kind=["compute", "busy"], start=[1, 2], end=[2, 3],
                  phase=[0, 0], epoch=[0, 0], kernel=["k", "k"],
                  operation=["o", "o"]), ValueError, "'kind': sample 1 is 'busy'"),
            (dict(operation=[None]), TypeError, "'operation': sample 0: expected str"),
            (dict(metadata=[[("a", 3)]]), TypeError, "'metadata': sample 0"),
            (dict(metadata=[3]), TypeError, "'metadata': sample 0"),
            (dict(metadata=[None]), None, None),  # a sample without metadata
        ]
        for change, error, text in cases:
            columns = dict(start=[1], end=[2], phase=[0], epoch=[0],
                           kind=["compute"], kernel=["k"], operation=["o"])
            columns.update(change)
            if error is None:
                writer.add_tile(0, **columns)
                continue
            with pytest.raises(error, match=text.replace("(", r"\(")):
                writer.add_tile(0, **columns)
        writer.add_tile(np.int64(1), np.array([5]), [6], [0], [0], ["idle"],
                        ["k"], ["o"], metadata=[None])
    report = zun.open(tmp_path / "w.zun")
    assert report.samples_frame(["kind"])["kind"].tolist() == [
        "unknown", "compute", "idle"]
    assert report.query(group_by="kind").to_json().count('"unknown"') == 1
    assert report.tile_count == 3


def test_a_closed_writer_refuses_more(tmp_path):
    writer = zun.StoreWriter(tmp_path / "w.zun", 0)
    writer.close()
    with pytest.raises(ValueError, match="closed"):
        writer.add_tile(0, [1], [2], [0], [0], [0], ["k"], ["o"])
    writer.close()  # closing twice is harmless
    assert zun.open(tmp_path / "w.zun").sample_count == 0
