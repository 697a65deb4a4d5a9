"""Reports for the package's tests, made by the project's own tools.

ZUN_WRITE_REPORT names the built zun_write_report and ZUN_PROFILE_QUERY the
built profile-query; CTest sets them (and .ci/run, for the installed
package). Where profile-query is not built (its command-line or HTTP
library missing), the stores are written directly and the tests that
compare the package with profile-query are skipped.
"""

import os
import subprocess

import pytest


def _tool(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.exit(f"{variable} is not set: run the tests through CTest", 2)
    return path


def _profile_query():
    return os.environ.get("ZUN_PROFILE_QUERY") or None


@pytest.fixture(scope="session")
def profile_query():
    path = _profile_query()
    if path is None:
        pytest.skip("profile-query is not built: this test compares the "
                    "package with it")
    return path


def _write(writer, path, *shape):
    """A synthetic report at `path`: a store where it ends in .zun, written
    by profile-query convert from JSON where that is built, else directly."""
    tool = _profile_query()
    if path.endswith(".zun") and tool is not None:
        json_path = path[:-len(".zun")] + ".json"
        if not os.path.exists(json_path):
            subprocess.run([writer, json_path, *shape], check=True)
        subprocess.run([tool, "convert", json_path, "-o", path], check=True)
    else:
        subprocess.run([writer, path, *shape], check=True)


@pytest.fixture(scope="session")
def reports(tmp_path_factory):
    """{'json': ..., 'store': ..., 'other': ...}: a 16-tile report, as JSON
    and as a store, and a second run to compare it with."""
    writer = _tool("ZUN_WRITE_REPORT")
    folder = tmp_path_factory.mktemp("reports")
    paths = {"json": str(folder / "r.json"), "store": str(folder / "r.zun"),
             "other": str(folder / "other.zun")}
    _write(writer, paths["json"], "16", "500")
    _write(writer, paths["store"], "16", "500")
    _write(writer, paths["other"], "12", "600", "interleaved")
    return paths


@pytest.fixture(scope="session")
def big_store(tmp_path_factory):
    """A store of 256 x 2000 samples, for threads and memory."""
    writer = _tool("ZUN_WRITE_REPORT")
    folder = tmp_path_factory.mktemp("big")
    store = str(folder / "big.zun")
    _write(writer, store, "256", "2000", "interleaved")
    if os.path.exists(str(folder / "big.json")):
        os.remove(str(folder / "big.json"))
    return store


def cli(profile_query, *args):
    """profile-query's standard output for `args`; it must succeed."""
    done = subprocess.run([profile_query, *args], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


def cli_error(profile_query, *args):
    """profile-query's message for a failing run, without its name."""
    done = subprocess.run([profile_query, *args], capture_output=True, text=True)
    assert done.returncode != 0
    return done.stderr.strip().removeprefix("profile-query: ")
