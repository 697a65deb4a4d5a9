"""A store rewritten while a Report holds it open, as users do it: the next
call raises ReportError; the process never dies of a fault. Each case runs
in a child process, so that a fault fails the test instead of ending it."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

CASE = textwrap.dedent("""
    import os, shutil, sys
    import zun
    path, other, how = sys.argv[1:]
    report = zun.open(path)
    before = report.query(samples=5).to_json()
    os.utime(path, (0, 0))  # an old file: a rewrite now shows in its times
    report.close(); report = zun.open(path)
    frame = report.samples_frame(["offset"])  # a frame taken before
    if how == "copy":
        shutil.copyfile(other, path)
    elif how == "same size":
        with open(path, "r+b") as out:
            out.seek(os.path.getsize(path) // 2)
            out.write(b"\\xff" * 64)
    elif how == "rename":
        shutil.copyfile(other, path + ".next")
        os.replace(path + ".next", path)
    for call in (lambda: report.query(), lambda: report.activity(),
                 lambda: report.samples_frame(["kind"]),
                 lambda: zun.diff(report, report)):
        try:
            call()
        except zun.ReportError as error:
            assert "the file changed since it was opened" in str(error), error
            assert path in str(error), error
        else:
            raise AssertionError("answered from a changed file")
    print("refused")
""")


@pytest.mark.parametrize("how", ["copy", "same size", "rename"])
def test_a_store_rewritten_while_open_is_refused(reports, tmp_path, how):
    path = str(tmp_path / "held.zun")
    shutil.copyfile(reports["store"], path)
    done = subprocess.run([sys.executable, "-c", CASE, path, reports["other"], how],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stderr)
    assert done.stdout.strip() == "refused"
