"""What a notebook user meets: closing, numpy integers, signed changes,
and errors that name the public call."""

import numpy as np
import pandas as pd
import pytest

import zun


def test_a_closed_report_refuses_use_and_its_frames_stay(reports):
    with zun.open(reports["store"]) as report:
        samples = report.samples_frame()
        groups = report.query(group_by="phase").groups
        expected = samples["duration"].sum()
    assert report.closed
    report.close()  # twice: nothing
    for use in (lambda: report.query(), lambda: report.activity(),
                lambda: report.samples_frame(), lambda: report.tile_count,
                lambda: zun.diff(report, report)):
        with pytest.raises(zun.ReportError, match="the report is closed"):
            use()
    assert "closed" in repr(report)
    # Taken before the close, the frames still read the store they view.
    assert samples["duration"].sum() == expected
    assert len(groups) > 0


def test_numpy_and_pandas_integers_are_ints(reports):
    report = zun.open(reports["store"])
    plain = report.query(tiles=[0, 1, 2], phases=[1], limit=3, samples=2, at=50)
    for tiles in (np.arange(3), np.array([0, 1, 2], dtype=np.uint32),
                  pd.Series([0, 1, 2]).to_numpy(), range(3),
                  [np.int64(0), np.uint8(1), np.int32(2)]):
        answer = report.query(tiles=tiles, phases=np.array([1]),
                              limit=np.int64(3), samples=np.uint16(2),
                              at=np.uint64(50))
        assert answer.to_json() == plain.to_json(), type(tiles)
    assert report.activity(buckets=np.int32(7)).shape[0] == 7
    assert report.query(threads=np.int8(2)).to_json() == report.query().to_json()
    for bad, error in (([np.bool_(True)], TypeError), ([1.0], TypeError),
                       (np.array([0.5]), TypeError),
                       (np.zeros((2, 2), dtype=int), TypeError),
                       (np.array([-1]), ValueError)):
        with pytest.raises(error, match="parameter 'tiles'"):
            report.query(tiles=bad)


def test_tile_ranges_cost_the_reports_tiles_and_huge_lists_are_refused(reports):
    report = zun.open(reports["store"])
    every = report.query().to_json()
    # Ranges far wider than the report's tiles answer at once: nothing
    # outside the report can match.
    assert report.query(tiles=range(2**32)).to_json() == every
    assert report.query(tiles=range(0, 2**32, 2)).to_json() == \
        report.query(tiles=range(0, 16, 2)).to_json()
    nothing = report.query(tiles=range(10**9, 2**32)).figures
    assert nothing["matched_sample_count"] == 0
    assert report.activity(buckets=5, tiles=range(2**32)).equals(
        report.activity(buckets=5))
    # Phases likewise.
    assert report.query(phases=range(2**32)).to_json() == every
    assert report.query(phases=range(1, 2**32, 2)).to_json() == \
        report.query(phases=list(range(1, 64, 2))).to_json()
    assert report.query(phases=range(2**31, 2**32)).figures[
        "matched_sample_count"] == 0
    assert report.query(tiles=range(1_000_000)).to_json() == every
    with pytest.raises(ValueError, match="parameter 'tiles': at most"):
        report.query(tiles=np.arange(2**25, dtype=np.uint32))
    with pytest.raises(ValueError, match="parameter 'tiles': expected a "
                       "whole number from 0 to 4294967295, got '-1'"):
        report.query(tiles=range(-1, 10))
    with pytest.raises(ValueError, match="got '4294967296'"):
        report.query(phases=np.array([0, 2**32], dtype=np.uint64))


def test_diff_gives_every_figures_signed_change(reports):
    frame = zun.diff(reports["store"], reports["other"], group_by="operation")
    for figure in ("sample_count", "work_cycles", "p50_cycles", "p95_cycles",
                   "maximum_cycles"):
        delta = frame[f"delta_{figure}"]
        assert delta.dtype == np.int64, figure
        expected = [int(n) - int(b) for b, n in
                    zip(frame[f"base_{figure}"], frame[f"new_{figure}"])]
        assert delta.tolist() == expected, figure
        columns = list(frame.columns)
        assert columns.index(f"delta_{figure}") == columns.index(f"new_{figure}") + 1
    assert (frame["delta_p50_cycles"] < 0).any()  # a figure that fell


def test_errors_name_the_public_call(reports):
    report = zun.open(reports["store"])
    cases = [
        (lambda: report.activity(bucket=10), "Report.activity() got an "
         "unexpected keyword argument 'bucket'"),
        (lambda: report.activity(samples=3), "Report.activity() got an "
         "unexpected keyword argument 'samples'"),
        (lambda: report.activity(threads=2), "Report.activity() got an "
         "unexpected keyword argument 'threads'"),
        (lambda: zun.diff(report, report, failabove=5), "zun.diff() got an "
         "unexpected keyword argument 'failabove'"),
        (lambda: zun.diff(report, report, samples=5), "zun.diff() got an "
         "unexpected keyword argument 'samples'"),
        (lambda: report.query(colour="red"), "query() got an unexpected "
         "keyword argument 'colour'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert message in str(raised.value)


def test_progress_reaches_each_stages_total(tmp_path):
    import os
    import subprocess
    path = str(tmp_path / "big.json")
    subprocess.run([os.environ["ZUN_WRITE_REPORT"], path, "64", "2000"],
                   check=True)
    calls = []
    with zun.open(path, progress=lambda *call: calls.append(call)) as report:
        assert report.sample_count == 64 * 2000
    stages = [stage for stage, _, _ in calls]
    assert stages[0] == "reading" and stages[-1] == "parsing"
    for stage in ("reading", "parsing"):
        last = [call for call in calls if call[0] == stage][-1]
        assert last[1] == last[2] == os.path.getsize(path), last


def test_samples_frame_has_a_column_per_metadata_name(tmp_path):
    path = tmp_path / "m.zun"
    with zun.StoreWriter(path, 1000) as writer:
        writer.add_tile(0, [0, 10, 20, 30], [5, 15, 25, 35], [0] * 4, [0] * 4,
                        ["compute"] * 4, ["k"] * 4, ["o"] * 4,
                        metadata=[[("layer", "1"), ("block", "attn")],
                                  [("layer", "2"), ("layer", "9")], None,
                                  [("block", "mlp")]])
        writer.add_tile(1, [0], [5], [0], [0], ["idle"], ["k"], ["o"],
                        metadata=[[("layer", "1")]])
    report = zun.open(path)
    frame = report.samples_frame()
    assert [c for c in frame.columns if c.startswith("meta.")] == [
        "meta.block", "meta.layer"]
    layer = frame["meta.layer"]
    assert isinstance(layer.dtype, pd.CategoricalDtype)
    # The first entry so named, NaN where a sample has none.
    assert [None if pd.isna(v) else v for v in layer] == [
        "1", "2", None, None, "1"]
    for key in ("layer", "block"):
        counts = frame[f"meta.{key}"].value_counts()
        groups = report.query(group_by="metadata", metadata_key=key).groups
        for name, row in groups.iterrows():
            if name == "(missing)":
                assert row["sample_count"] == frame[f"meta.{key}"].isna().sum()
            else:
                assert row["sample_count"] == counts[name], (key, name)
    picked = report.samples_frame(["duration", "meta.block"])
    assert list(picked.columns) == ["duration", "meta.block"]
    with pytest.raises(ValueError, match="unknown column 'meta.colour'"):
        report.samples_frame(["meta.colour"])
