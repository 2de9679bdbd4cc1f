"""Saving, loading and forking sessions: times and file sizes.

"200 checkpoints over 100 MB": 500 files of 200 KB of random bytes (100 MB),
then 199 edits each replacing one of them with new random bytes (so 100 MB
plus 199 x 200 KB distinct); saved without an image, then loaded. "Typical":
an interpreter that imported ten standard modules and holds about 10 MB of
Python data, a 1 MB workspace; saved with its image, loaded, and the first
call after the load (the resume). Fork: of the typical session at its
current checkpoint (the interpreter imaged), and its first call; each load
and fork comes PAUSE_S after the last resume (the spare runner ready). Each time is
the median of REPEATS runs; sizes in bytes. bench/run.py prints them, or
alone: PYTHONPATH=build/python python3 bench/save_bench.py
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import vesk_internal

REPEATS = int(os.environ.get("SAVE_BENCH_REPEATS", "3"))
PAUSE_S = 1.0

FIGURES = [
    {"title": "save, 200 checkpoints over 100 MB (no image)",
     "value": "save/200_checkpoints_100mb:save_s", "unit": "s"},
    {"title": "its file against its distinct content",
     "value": "save/200_checkpoints_100mb:file_bytes", "unit": "B",
     "baseline": "save/200_checkpoints_100mb:distinct_bytes"},
    {"title": "load of that file", "value": "save/200_checkpoints_100mb:load_s", "unit": "s"},
    {"title": "fork of that session", "value": "save/200_checkpoints_100mb:fork_s", "unit": "s"},
    {"title": "store journal, 100 MB workspace, nothing changed",
     "value": "save/journal_unchanged_100mb_s", "unit": "s", "max_value": 0.001},
    {"title": "store journal, the same after a 1 MB write (write included)",
     "value": "save/journal_write_1mb_100mb_s", "unit": "s"},
    {"title": "save, typical session with its image", "value": "save/typical:save_s", "unit": "s"},
    {"title": "its file", "value": "save/typical:file_bytes", "unit": "B"},
    {"title": "load, then first call (the resume)",
     "value": "save/typical:first_call_after_load_s", "unit": "s"},
    {"title": "fork of a typical session (interpreter imaged)",
     "value": "save/typical:fork_s", "unit": "s", "max_value": 0.1},
    {"title": "first call of the fork (the resume)",
     "value": "save/typical:first_call_after_fork_s", "unit": "s"},
]
TYPICAL = (
    "import json, re, math, collections, itertools, functools, datetime, decimal, random, string\n"
    "data = [list(range(1000)) for _ in range(300)]\n"
    "text = 'x' * (5 << 20)\n"
)


def _median(call: Callable[[], object]) -> tuple[float, object]:
    times, result = [], None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def run() -> dict[str, float]:
    with tempfile.TemporaryDirectory(prefix="vesk-save-bench-") as work:
        config = Path(work) / "vesk.toml"
        # No network: a runner start then does not try to fetch micropip
        # from a CDN this machine cannot reach (see park_bench.py).
        config.write_text("park_after_idle_secs = 3600\nmax_checkpoints = 1000\n"
                          "max_workspace_mb = 1024\ndomain_allowlist = []\n")
        before = os.environ.get("VESK_CONFIG")
        os.environ["VESK_CONFIG"] = str(config)
        try:
            return _measure(Path(work))
        finally:
            if before is None:
                os.environ.pop("VESK_CONFIG", None)
            else:
                os.environ["VESK_CONFIG"] = before


def _measure(work: Path) -> dict[str, float]:
    out: dict[str, float] = {}

    s = vesk_internal.VeskSession()
    distinct = 0
    for i in range(500):
        s.write_file(f"d/f{i:03}", os.urandom(200_000))
        distinct += 200_000
    # 500 writes made 500 checkpoints: forget all but the last, then 199 edits.
    s.forget_before(s.current.id)
    for i in range(199):
        s.write_file(f"d/f{i:03}", os.urandom(200_000))
        distinct += 200_000
    assert len(s.history) == 200
    path = work / "big.vesk"
    out["save/200_checkpoints_100mb:save_s"], _ = _median(lambda: s.save(path, interpreter=False))
    out["save/200_checkpoints_100mb:file_bytes"] = path.stat().st_size
    out["save/200_checkpoints_100mb:distinct_bytes"] = distinct
    out["save/200_checkpoints_100mb:load_s"], loaded = _median(
        lambda: vesk_internal.VeskSession.load(path))
    assert [c.id for c in loaded.history] == [c.id for c in s.history]
    out["save/200_checkpoints_100mb:fork_s"], _ = _median(lambda: s.fork())

    # A store's journal: the first one holds everything; then a call that
    # changed nothing, and one that wrote 1 MB.
    def journal() -> object:
        j = s._journal()
        s._journal_written()
        return j

    start = time.perf_counter()
    journal()
    out["save/journal_first_200_checkpoints_100mb_s"] = time.perf_counter() - start
    out["save/journal_unchanged_100mb_s"], _ = _median(journal)
    start = time.perf_counter()
    s.write_file("d/f499", os.urandom(1 << 20))
    journal()
    out["save/journal_write_1mb_100mb_s"] = time.perf_counter() - start
    del loaded
    s.close()

    t = vesk_internal.VeskSession()
    for i in range(10):
        t.write_file(f"w/f{i}", os.urandom(100_000))
    t.execute_python(TYPICAL)
    path = work / "typical.vesk"
    out["save/typical:save_s"], imaged = _median(lambda: t.save(path))
    assert imaged is True, "the typical session could not be imaged"
    out["save/typical:file_bytes"] = path.stat().st_size

    # Each load and fork comes a pause after the last resume, as in a
    # conversation: the spare runner that resume took has been replaced.
    def load_and_call() -> float:
        time.sleep(PAUSE_S)
        u = vesk_internal.VeskSession.load(path)
        start = time.perf_counter()
        assert u.execute_python("print(len(data))").stdout == "300"
        first = time.perf_counter() - start
        u.close()
        return first

    out["save/typical:load_s"], _ = _median(lambda: vesk_internal.VeskSession.load(path).close())
    out["save/typical:first_call_after_load_s"] = statistics.median(
        load_and_call() for _ in range(REPEATS))

    def fork_and_call() -> tuple[float, float]:
        time.sleep(PAUSE_S)
        start = time.perf_counter()
        f = t.fork()
        forked = time.perf_counter() - start
        start = time.perf_counter()
        assert f.execute_python("print(len(data))").stdout == "300"
        first = time.perf_counter() - start
        f.close()
        return forked, first

    pairs = [fork_and_call() for _ in range(REPEATS)]
    out["save/typical:fork_s"] = statistics.median(p[0] for p in pairs)
    out["save/typical:first_call_after_fork_s"] = statistics.median(p[1] for p in pairs)
    t.close()
    return out


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name}\t{value:.6f}" if value < 1000 else f"{name}\t{int(value)}")
    sys.stdout.flush()
