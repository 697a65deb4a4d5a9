"""samples_frame: views of the store, alive as long as the frame is."""

import gc

import numpy as np
import pytest

import zun
from conftest import cli


def test_stored_columns_are_read_only_views(reports):
    report = zun.open(reports["store"])
    frame = report.samples_frame()
    again = report.samples_frame(["start_cycle", "phase"])
    # Start and end cycles are views; a step's fields are views of a store
    # that holds them per sample, computed from the step table otherwise.
    for column in ("start_cycle", "end_cycle"):
        assert not frame[column].to_numpy().flags.owndata, column
    for column in ("start_cycle", "end_cycle", "phase", "epoch", "local_index"):
        assert not frame[column].to_numpy().flags.writeable, column
    # Two frames over one store share its memory: nothing was copied.
    assert np.shares_memory(frame["start_cycle"].to_numpy(),
                            again["start_cycle"].to_numpy())
    with pytest.raises(ValueError):
        frame["phase"].to_numpy()[0] = 1


def test_a_frame_outlives_its_report(reports):
    report = zun.open(reports["store"])
    expected = report.samples_frame()["start_cycle"].to_numpy().copy()
    frame = report.samples_frame(["start_cycle", "kernel"])
    del report
    gc.collect()
    assert np.array_equal(frame["start_cycle"].to_numpy(), expected)


def test_the_frame_agrees_with_the_engine(reports, profile_query):
    report = zun.open(reports["store"])
    frame = report.samples_frame()
    assert len(frame) == report.sample_count
    groups = report.query(group_by="kernel").groups
    by_kernel = frame.groupby("kernel", observed=True)["duration"]
    for name, row in groups.iterrows():
        kernel = "" if name == "(no kernel)" else name
        assert by_kernel.size()[kernel] == row["sample_count"]
        assert by_kernel.sum()[kernel] == row["work_cycles"]
        assert by_kernel.max()[kernel] == row["maximum_cycles"]
    assert frame["kernel"].cat.categories.is_monotonic_increasing
    with pytest.raises(ValueError, match="unknown column 'colour'"):
        report.samples_frame(["colour"])
