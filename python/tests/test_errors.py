"""Bad input of every kind: a Python exception with the CLI's message."""

import gc
import os
import shutil

import pytest

import zun
from conftest import cli_error


@pytest.fixture(scope="module")
def report(reports):
    return zun.open(reports["store"])


def test_bad_keywords_and_values_name_the_parameter(report):
    with pytest.raises(TypeError, match="color"):
        report.query(color="red")
    with pytest.raises(TypeError, match="color"):
        report.activity(color="red")
    for keywords, error, text in [
        (dict(group_by=3), TypeError, "parameter 'group_by': expected str"),
        (dict(group_by="colour"), ValueError, "parameter 'group_by'"),
        (dict(sort_by="fastest"), ValueError, "parameter 'sort_by'"),
        (dict(kind="busy"), ValueError, "parameter 'kind'"),
        (dict(tiles=[2**32]), ValueError, "parameter 'tiles'"),
        (dict(tiles=[-1]), ValueError, "parameter 'tiles'"),
        (dict(tiles="3"), TypeError, "parameter 'tiles'"),
        (dict(phases=[1.5]), TypeError, "parameter 'phases'"),
        (dict(limit=-1), ValueError, "parameter 'limit'"),
        (dict(limit=True), TypeError, "parameter 'limit'"),
        (dict(samples="5"), TypeError, "parameter 'samples'"),
        (dict(at=2**64), ValueError, "parameter 'at'"),
        (dict(metadata=3), TypeError, "parameter 'metadata'"),
        (dict(window=5), TypeError, "parameter 'window': expected \\(from, to\\)"),
        (dict(window=(1, 2, 3)), ValueError, "parameter 'window'"),
        (dict(window=(9, 9)), ValueError, "parameter 'window': to must be past from"),
        (dict(window=(None, 0)), ValueError, "parameter 'window': to must be past"),
        (dict(window=(-1, 5)), ValueError, "parameter 'window'"),
        (dict(window=(0, 2**64)), ValueError, "parameter 'window'"),
        (dict(window=(0.5, 5)), TypeError, "parameter 'window'"),
        (dict(metadata={"layer": 3}), TypeError, "parameter 'metadata'"),
        (dict(operation_contains=b"\x00x"), None, None),  # any bytes are a text
    ]:
        if error is None:
            report.query(**keywords)
            continue
        with pytest.raises(error, match=text):
            report.query(**keywords)
    with pytest.raises(ValueError, match="parameter 'buckets'"):
        report.activity(buckets=0)
    with pytest.raises(ValueError, match="parameter 'fail_above'"):
        zun.diff(report, report, fail_above="ten")


def damaged_copies(reports, folder):
    """(path, what is wrong) of files profile-query refuses."""
    missing = str(folder / "missing.zun")
    truncated = str(folder / "truncated.zun")
    with open(reports["store"], "rb") as store:
        data = store.read()
    with open(truncated, "wb") as out:
        out.write(data[: len(data) // 2])
    flipped = str(folder / "flipped.zun")
    with open(flipped, "wb") as out:
        out.write(data[:300] + bytes([data[300] ^ 0xFF]) + data[301:])
    malformed = str(folder / "malformed.json")
    with open(reports["json"], "rb") as text:
        head = text.read(5000)
    with open(malformed, "wb") as out:
        out.write(head)
    folder_path = str(folder)
    return [missing, truncated, flipped, malformed, folder_path]


def test_bad_files_raise_the_clis_message(reports, tmp_path, profile_query):
    for path in damaged_copies(reports, tmp_path):
        with pytest.raises(zun.ReportError) as raised:
            zun.open(path)
        assert str(raised.value) == cli_error(profile_query, path), path


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_failing_opens_do_not_leak(reports, tmp_path):
    paths = damaged_copies(reports, tmp_path)[1:4]
    for path in paths * 20:  # warm up: allocators settle
        with pytest.raises(zun.ReportError):
            zun.open(path)
    gc.collect()
    before = resident_bytes()
    for _ in range(1000):
        for path in paths:
            with pytest.raises(zun.ReportError):
                zun.open(path)
    gc.collect()
    assert resident_bytes() - before < 8_000_000
