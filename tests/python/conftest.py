"""Fixtures shared by the Python tests: the runner script file, package
indexes, and a start snapshot made before the first test."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from runner_harness import PackageIndex, write_script  # noqa: E402


@pytest.fixture(scope="session")
def runner_script(tmp_path_factory) -> str:
    """runner/runner.ts copied to a temporary file, as the module writes it."""
    return write_script(tmp_path_factory.mktemp("runner"))


@pytest.fixture(scope="session")
def package_index(tmp_path_factory) -> PackageIndex:
    """An empty JSON package index on 127.0.0.1; tests add wheels to it."""
    index = PackageIndex(tmp_path_factory.mktemp("index"))
    yield index
    index.close()


@pytest.fixture
def served_index(tmp_path):
    """A JSON package index served by a child process: sessions block this
    interpreter while their runner fetches from it."""
    index = PackageIndex(tmp_path / "index", own_process=True)
    yield index
    index.close()


@pytest.fixture(scope="session", autouse=True)
def start_snapshot():
    """Has the machine's start snapshot made before any test runs: the first
    session makes it on a thread of its own, which would otherwise still run
    while later tests count this process's threads and children."""
    try:
        import vesk_internal
    except ImportError:  # tests of the runner script alone
        yield
        return
    from runner_harness import deno_cache_dir
    from session_util import wait_until

    # One made for this build of the module (its key covers the runner
    # script) is newer than the module itself.
    folder = Path(deno_cache_dir()).parent / "vesk" / "snapshots"
    built = Path(vesk_internal.__file__).stat().st_mtime

    def current():
        return [p for p in folder.glob("*.snap") if p.stat().st_mtime > built]

    if not current():
        session = vesk_internal.VeskSession()
        wait_until(current, timeout=240)
        del session
    yield
