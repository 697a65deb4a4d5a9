"""Reports for the package's tests, made by the project's own tools.

ZUN_PROFILE_QUERY and ZUN_WRITE_REPORT name the built profile-query and
zun_write_report; CTest sets them (and .ci/run, for the installed package).
"""

import os
import subprocess

import pytest


def _tool(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.exit(f"{variable} is not set: run the tests through CTest", 2)
    return path


@pytest.fixture(scope="session")
def profile_query():
    return _tool("ZUN_PROFILE_QUERY")


@pytest.fixture(scope="session")
def reports(tmp_path_factory, profile_query):
    """{'json': ..., 'store': ..., 'other': ...}: a 16-tile report, as JSON
    and as a store, and a second run to compare it with."""
    writer = _tool("ZUN_WRITE_REPORT")
    folder = tmp_path_factory.mktemp("reports")
    paths = {"json": str(folder / "r.json"), "store": str(folder / "r.zun"),
             "other": str(folder / "other.zun")}
    subprocess.run([writer, paths["json"], "16", "500"], check=True)
    subprocess.run([profile_query, "convert", paths["json"], "-o", paths["store"]],
                   check=True)
    other_json = str(folder / "other.json")
    subprocess.run([writer, other_json, "12", "600", "interleaved"], check=True)
    subprocess.run([profile_query, "convert", other_json, "-o", paths["other"]],
                   check=True)
    return paths


@pytest.fixture(scope="session")
def big_store(tmp_path_factory, profile_query):
    """A store of 256 x 2000 samples, for threads and memory."""
    writer = _tool("ZUN_WRITE_REPORT")
    folder = tmp_path_factory.mktemp("big")
    json_path, store = str(folder / "big.json"), str(folder / "big.zun")
    subprocess.run([writer, json_path, "256", "2000", "interleaved"], check=True)
    subprocess.run([profile_query, "convert", json_path, "-o", store], check=True)
    os.remove(json_path)
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
