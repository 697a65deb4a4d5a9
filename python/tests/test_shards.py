"""Shards of one report and threads: every answer equals the converted
whole's, and profile-query's for the same files."""

import subprocess

import pytest

import zun
from conftest import _tool, cli, cli_error

REQUESTS = [
    {},
    {"group_by": "phase", "samples": 7},
    {"group_by": "tile", "sort_by": "name", "limit": 5},
    {"group_by": "operation", "kind": "compute", "samples": 3},
    {"group_by": "kind", "at": 100},
]


@pytest.fixture(scope="session")
def shards(tmp_path_factory, profile_query):
    """(list of shard paths, the converted whole): four runs' worth of
    tiles of different shapes, one shard JSON, the others stores."""
    writer = _tool("ZUN_WRITE_REPORT")
    folder = tmp_path_factory.mktemp("shards")
    paths = []
    for i, (tiles, samples, shape) in enumerate(
            [(8, 300, "interleaved"), (3, 50, ""), (1, 900, "interleaved"),
             (5, 120, "")]):
        json_path = str(folder / f"s{i}.json")
        subprocess.run([writer, json_path, str(tiles), str(samples)]
                       + ([shape] if shape else []), check=True)
        if i == 1:
            paths.append(json_path)
        else:
            store = str(folder / f"s{i}.zun")
            cli(profile_query, "convert", json_path, "-o", store)
            paths.append(store)
    whole = str(folder / "whole.zun")
    cli(profile_query, "convert", *paths, "-o", whole)
    return paths, whole


def test_shards_answer_as_the_converted_whole(shards, profile_query):
    paths, whole = shards
    report = zun.open(paths)
    one = zun.open(whole)
    assert report.tile_count == one.tile_count
    assert report.sample_count == one.sample_count
    assert report.source == " + ".join(paths)
    for request in REQUESTS:
        expected = one.query(threads=1, **request).to_json()
        for threads in (1, 2, 7):
            assert report.query(threads=threads, **request).to_json() == expected
        assert one.query(threads=3, **request).to_json() == expected
    # What needs one store combines the shards in memory.
    assert report.activity(buckets=50).equals(one.activity(buckets=50))
    assert report.samples_frame().equals(one.samples_frame())


def test_the_tool_takes_shards_everywhere(shards, profile_query):
    paths, whole = shards
    for threads in ("1", "2", "7"):
        assert (cli(profile_query, *paths, "--group-by", "phase", "--samples",
                    "4", "--format", "json", "--threads", threads)
                == cli(profile_query, whole, "--group-by", "phase", "--samples",
                       "4", "--format", "json", "--threads", "1"))
    shard_diff = cli(profile_query, "diff", *sum([["--base", p] for p in paths], []),
                     "--new", whole, "--format", "csv")
    assert shard_diff == cli(profile_query, "diff", whole, whole, "--format", "csv")
    assert zun.diff(paths, whole).equals(zun.diff(whole, whole))


def test_shards_of_different_clocks_are_refused(tmp_path, shards, profile_query):
    paths, _ = shards
    other = tmp_path / "other.json"
    text = open(paths[1]).read().replace('"clock_hz":1330000000',
                                         '"clock_hz":5', 1)
    assert '"clock_hz":5' in text
    other.write_text(text)
    with pytest.raises(zun.ReportError) as error:
        zun.open([paths[0], str(other)])
    message = cli_error(profile_query, paths[0], str(other))
    assert str(error.value) == message
    assert "is not the 1330000000 Hz of" in message


def test_bad_shard_lists_and_threads(shards):
    paths, whole = shards
    with pytest.raises(ValueError, match="at least one path"):
        zun.open([])
    with pytest.raises(TypeError, match="parameter 'path'"):
        zun.open([paths[0], 3])
    with pytest.raises(zun.ReportError, match="missing.zun"):
        zun.open([paths[0], "missing.zun"])
    report = zun.open(whole)
    with pytest.raises(ValueError, match="parameter 'threads'"):
        report.query(threads=0)
    with pytest.raises(TypeError, match="parameter 'threads'"):
        report.query(threads="2")
