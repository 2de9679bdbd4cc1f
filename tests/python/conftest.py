"""Fixtures shared by the Python tests: the runner script file and a package index."""

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
