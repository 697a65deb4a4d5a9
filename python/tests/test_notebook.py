"""examples/explore.ipynb executed as a notebook user runs it: it opens a
store, queries it, diffs two reports and plots activity, and shows each."""

import json
import os
import subprocess
import sys

import pytest

import zun

nbformat = pytest.importorskip("nbformat")
preprocessors = pytest.importorskip("nbconvert.preprocessors")

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                        "examples")


def test_the_example_notebook_shows_each_answer(tmp_path, monkeypatch):
    store = str(tmp_path / "r.zun")
    subprocess.run([os.environ["ZUN_WRITE_REPORT"], store, "8", "300"],
                   check=True)
    # A kernel of this interpreter, which imports the zun under test.
    kernel_dir = tmp_path / "kernels" / "zun-test"
    kernel_dir.mkdir(parents=True)
    (kernel_dir / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f",
                 "{connection_file}"],
        "display_name": "zun test", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path))
    package_root = os.path.dirname(os.path.dirname(zun.__file__))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [package_root] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    monkeypatch.setenv("ZUN_STORE", store)
    monkeypatch.setenv("MPLBACKEND", "module://matplotlib_inline.backend_inline")

    with open(os.path.join(EXAMPLES, "explore.ipynb")) as file:
        notebook = nbformat.read(file, as_version=4)
    preprocessors.ExecutePreprocessor(timeout=300, kernel_name="zun-test").preprocess(
        notebook, {"metadata": {"path": EXAMPLES}})

    cells = [cell for cell in notebook.cells if cell.cell_type == "code"]
    for cell in cells:
        assert not [o for o in cell.outputs if o.output_type == "error"], cell.outputs

    def shown(cell, kind):
        return "".join(output.get("data", {}).get(kind, "")
                       for output in cell.outputs)

    report = zun.open(store)
    summary = shown(cells[0], "text/html")
    assert f"<td style='text-align:left'>{report.tile_count}</td>" in summary
    assert f"{report.sample_count:,}" in summary
    assert "kernels" in summary and "kinds" in summary

    result = shown(cells[1], "text/html")
    expected = report.query(group_by="kernel", limit=5, samples=3)
    for name in expected.groups.index:
        assert name in result
    assert "longest samples" in result and "span:" in result

    diff = shown(cells[2], "text/html")
    assert "delta_p50_cycles" in diff and "softmax" in diff

    assert shown(cells[3], "image/png")  # the activity, drawn
