"""Fixtures shared by the Python tests: the runner script file, package
indexes, and a start snapshot made before the first test."""

from __future__ import annotations

import hashlib
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from runner_harness import PackageIndex, write_script  # noqa: E402


@pytest.fixture(scope="session")
def runner_script(tmp_path_factory) -> str:
    """The runner script the module embeds, copied to a temporary file, as the
    module writes it."""
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
    from runner_harness import PYODIDE_VERSION, RUNNER_SOURCE, deno_cache_dir, deno_executable
    from session_util import wait_until

    # The snapshot for this runner script and this Deno, named as the module
    # names it: its key hashes the Pyodide version, the Deno executable's
    # identity and the script's text.
    folder = Path(deno_cache_dir()).parent / "vesk" / "snapshots"
    st = os.stat(deno_executable())
    material = (f"pyodide {PYODIDE_VERSION}\n"
                f"deno {st.st_dev} {st.st_ino} {st.st_size} {st.st_mtime_ns // 10**9}."
                f"{st.st_mtime_ns % 10**9}\n").encode() + RUNNER_SOURCE.read_bytes()
    snapshot = folder / (hashlib.sha256(material).hexdigest()[:32] + ".snap")
    if not snapshot.exists():
        with vesk_internal.VeskSession():
            wait_until(snapshot.exists, timeout=240)
    yield
