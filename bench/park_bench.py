"""Parking idle sessions: what a parked session costs the host, how long a
park and the first call after it take, and the same figures for live
sessions beside them.

Module figures are measured in this process with the module built into
build*/python; "typical state" is an interpreter that imported ten standard
modules and holds about 10 MB of Python data. Memory per parked session is
this process's resident set (VmRSS) grown over PARK_BENCH_SESSIONS sessions
(default 100) created, given that state and parked, divided by their number;
the image each keeps is its kept size. The 1,000-session figure is this
process plus ten live runners and the spare runner after PARK_BENCH_SESSIONS
parked sessions, extrapolated to 990 parked ones from the measured growth
per session unless PARK_BENCH_SESSIONS is 990 or more (then it is measured
whole). Times of a park and the first call after it are taken with the spare
runner that a process of parking sessions keeps, and again without it
(spare_runner = false). Server figures: `vesk serve --park-after 5` over
HTTP, each parked session being its worker process; the server's one spare
runner (its keeper process and the spare) is counted apart, and first calls
of different sessions come PAUSE_S apart, as the module's timed steps do.

Names are "park/<what>" and "park_server/<what>"; times in seconds, memory in
bytes.
"""

from __future__ import annotations

import atexit
import gc
import importlib.util
import os
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import vesk_internal

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "bench"))

from mcp_util import descendants, runners_below  # noqa: E402
from server_bench import _rss  # noqa: E402

MiB = 1048576

FIGURES = [
    {"title": "parked session: host memory, typical state, vs a live runner",
     "value": "park/parked_rss_per_session", "unit": "B", "baseline": "park/typical_runner_rss",
     "max_value": 8 * MiB},
    {"title": "parked session: the image it keeps",
     "value": "park/image_bytes", "unit": "B", "max_value": 8 * MiB},
    {"title": "1,000 sessions, 10 live, in one process (see park_bench.py)",
     "value": "park/thousand_sessions_rss", "unit": "B", "max_value": 16 * 1024 * MiB},
    {"title": "the same without parking (1,000 live runners)",
     "value": "park/thousand_live_rss", "unit": "B"},
    {"title": "park, typical state, median",
     "value": "park/park_s", "unit": "s", "max_value": 0.1},
    {"title": "first call after a park vs a session start from the start snapshot",
     "value": "park/first_call_after_park_s", "unit": "s", "baseline": "park/start_beside_s",
     "max_ratio": 1.0, "max_value": 0.5},
    {"title": "the same without the spare runner (spare_runner = false)",
     "value": "park/first_call_no_spare_s", "unit": "s", "baseline": "park/start_no_spare_s"},
    {"title": "the spare runner a process of parking sessions keeps: its memory",
     "value": "park/spare_runner_rss", "unit": "B"},
    {"title": "execute_python('pass') on a live session, median",
     "value": "park/live_pass_s", "unit": "s"},
    {"title": "parkable runner (_makeSnapshot) start vs one that cannot park",
     "value": "park/start_snapshot_s", "unit": "s", "baseline": "park/start_unparkable_s"},
    {"title": "parkable runner idle memory vs one that cannot park",
     "value": "park/live_runner_rss", "unit": "B", "baseline": "park/unparkable_runner_rss"},
    {"title": "parkable execute_python('pass') vs one that cannot park",
     "value": "park/live_pass_s", "unit": "s", "baseline": "park/unparkable_pass_s"},
    {"title": "server: parked session (its worker) vs a live one (worker + runner)",
     "value": "park_server/parked_session_rss", "unit": "B",
     "baseline": "park_server/live_session_rss"},
    {"title": "server: first call after a park",
     "value": "park_server/first_call_after_park_s", "unit": "s", "max_value": 0.5},
    {"title": "new session, spare runner ready: VeskSession() returning",
     "value": "park/new_session_spare_ready_s", "unit": "s", "max_value": 0.05},
    {"title": "new session, spare runner ready: VeskSession() to its first call's result",
     "value": "park/new_session_first_call_spare_ready_s", "unit": "s", "max_value": 0.2},
    {"title": "server: its one spare runner (keeper process and spare)",
     "value": "park_server/spare_runner_rss", "unit": "B"},
]

TYPICAL_STATE = """\
import json, re, math, collections, itertools, functools, datetime, random, hashlib, textwrap
records = [(i, f"item-{i}", i * 0.5) for i in range(55_000)]
index = {name: i for i, name, _ in records[:20_000]}
def total():
    return sum(x for _, _, x in records)
"""


def _cmdline(pid: int) -> bytes:
    """The command line of `pid`, b"" once it has ended."""
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return b""


def _runners(spare: bool = False) -> list[int]:
    """The sessions' runner processes (bubblewrap and Deno), or with `spare`
    the spare runner's."""
    pid = vesk_internal._spare_runner_pid()
    spares = {pid, *descendants(pid)} if pid else set()
    return [p for p in descendants(os.getpid())
            if b"vesk_runner" in _cmdline(p) and (p in spares) == spare]


def _settled(measure: Callable[[], int]) -> int:
    """`measure()` once it holds still (to 1%) over half a second."""
    last = measure()
    for _ in range(40):
        time.sleep(0.5)
        now = measure()
        if abs(now - last) <= last / 100:
            return now
        last = now
    return last


def _timed(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def _with_config(text: str) -> None:
    made = tempfile.mkdtemp(prefix="vesk-park-bench-")
    atexit.register(shutil.rmtree, made, True)  # read by sessions until the end
    path = Path(made) / "vesk.toml"
    # No network: a runner start then does not try to fetch micropip from
    # Pyodide's CDN, which this machine cannot reach (a failed fetch costs
    # every start, a resume's included, 0.1-0.4 s; see docs/performance.md).
    path.write_text("max_checkpoints = 1000000\ndomain_allowlist = []\n" + text)
    os.environ["VESK_CONFIG"] = str(path)


def _start_figures(out: dict[str, float], parkable: bool) -> None:
    """Start time, idle runner memory and execute_python('pass') of a runner
    that can park or cannot (without a spare runner, which would hide what
    parking costs a start)."""
    _with_config(f"park_after_idle_secs = {3600 if parkable else 0}\nspare_runner = false\n")
    starts, memory, passes = [], [], []
    for _ in range(3):
        took = time.perf_counter()
        s = vesk_internal.VeskSession()
        starts.append(time.perf_counter() - took)
        s.execute_python("pass")
        passes.append(statistics.median(_timed(lambda: s.execute_python("pass"))
                                        for _ in range(200)))
        memory.append(_settled(lambda: sum(map(_rss, _runners()))))
        s = None
        gc.collect()
    names = (("start_snapshot_s", "live_runner_rss", "live_pass_s") if parkable else
             ("start_unparkable_s", "unparkable_runner_rss", "unparkable_pass_s"))
    out[f"park/{names[0]}"] = statistics.median(starts)
    out[f"park/{names[1]}"] = float(statistics.median(memory))
    out[f"park/{names[2]}"] = statistics.median(passes)


# Between timed steps: longer than a spare runner takes to get ready, as it
# is between the calls of a conversation.
PAUSE_S = 1.0
# Parks, resumes and starts timed in turn: a resume and a start differ by
# less than this machine's noise between medians of 11.
ROUNDS = 21


def _park_figures(out: dict[str, float], spare: bool = True) -> None:
    """Park and the first call after it, each beside a session start timed
    in turn with it; with the spare runner (as sessions that park have it)
    or without."""
    _with_config(f"park_after_idle_secs = 3600\nspare_runner = {str(spare).lower()}\n")
    s = vesk_internal.VeskSession()
    s.execute_python(TYPICAL_STATE)
    expected = s.execute_python("print(total())").stdout
    parks, firsts, images, starts = [], [], [], []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        assert s._park() == "parked"
        parks.append(time.perf_counter() - start)
        images.append(s._parked_size)
        # The parked runner's end is the kernel's work for a moment, and the
        # spare runner taken by the last start is being replaced: what is
        # compared is timed after both, each in the same conditions.
        time.sleep(PAUSE_S)
        start = time.perf_counter()
        cp = s.execute_python("print(total())")
        firsts.append(time.perf_counter() - start)
        assert cp.stdout == expected
        # A session start from the start snapshot, timed in turn with the
        # resumes, so that a changing load weighs on both.
        time.sleep(PAUSE_S)
        start = time.perf_counter()
        other = vesk_internal.VeskSession()
        starts.append(time.perf_counter() - start)
        del other
        gc.collect()
    if not spare:
        out["park/first_call_no_spare_s"] = statistics.median(firsts)
        out["park/start_no_spare_s"] = statistics.median(starts)
        return
    out["park/park_s"] = statistics.median(parks)
    out["park/first_call_after_park_s"] = statistics.median(firsts)
    out["park/start_beside_s"] = statistics.median(starts)
    out["park/image_bytes"] = float(statistics.median(images))
    out["park/typical_runner_rss"] = float(_settled(lambda: sum(map(_rss, _runners()))))
    out["park/spare_runner_rss"] = float(_settled(lambda: sum(map(_rss, _runners(spare=True)))))


def _new_session_figures(out: dict[str, float]) -> None:
    """A new session in a process of parking sessions once its spare runner
    is ready (PAUSE_S after the last start took the previous one): the time
    to VeskSession() returning, and to the result of its first call."""
    _with_config("park_after_idle_secs = 3600\n")
    first = vesk_internal.VeskSession()  # its start begins the spare
    first.execute_python("pass")
    made, called = [], []
    for _ in range(ROUNDS):
        time.sleep(PAUSE_S)
        start = time.perf_counter()
        s = vesk_internal.VeskSession()
        made.append(time.perf_counter() - start)
        s.execute_python("pass")
        called.append(time.perf_counter() - start)
        s.close()
    first.close()
    out["park/new_session_spare_ready_s"] = statistics.median(made)
    out["park/new_session_first_call_spare_ready_s"] = statistics.median(called)


def _many_sessions(out: dict[str, float]) -> None:
    count = int(os.environ.get("PARK_BENCH_SESSIONS", "100"))
    _with_config("park_after_idle_secs = 3600\n")
    gc.collect()
    before = _rss()
    parked = []
    for _ in range(count):
        s = vesk_internal.VeskSession()
        s.execute_python(TYPICAL_STATE)
        assert s._park() == "parked"
        parked.append(s)
    gc.collect()
    grown = _rss() - before
    per_session = grown / count
    out["park/parked_rss_per_session"] = per_session
    out["park/parked_sessions_measured"] = float(count)
    live = []
    for _ in range(10):
        s = vesk_internal.VeskSession()
        s.execute_python(TYPICAL_STATE)
        live.append(s)
    # The spare runner counts: it is part of what parking sessions cost.
    total = _settled(lambda: _rss() + sum(map(_rss, _runners())) +
                     sum(map(_rss, _runners(spare=True))))
    live_runners = sum(map(_rss, _runners()))
    missing = max(0, 990 - count)
    out["park/thousand_sessions_rss"] = total + missing * per_session
    out["park/thousand_live_rss"] = _rss() - grown + 100 * live_runners  # 1,000 × a live one
    del parked, live
    gc.collect()


def _server_figures(out: dict[str, float]) -> None:
    _with_config("")
    spec = importlib.util.spec_from_file_location("server_bench", ROOT / "bench" / "server_bench.py")
    assert spec is not None and spec.loader is not None
    server_bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(server_bench)

    env = server_bench._env()
    env["VESK_CONFIG"] = os.environ["VESK_CONFIG"]
    server, port = server_bench.start_server("--max-sessions", "64", "--park-after", "5",
                                             env=env)

    def runners() -> list[int]:
        return [p for p in descendants(server.pid) if b"vesk_runner" in _cmdline(p)]

    def keeper() -> list[int]:
        return [p for p in descendants(server.pid) if b"vesk.server.spares" in _cmdline(p)]

    try:
        clients = []
        for _ in range(5):
            client = server_bench.Client(port)
            client.call("run_python", code=TYPICAL_STATE)
            clients.append(client)
        deadline = time.monotonic() + 300
        while runners_below(server.pid)[0] and time.monotonic() < deadline:
            time.sleep(0.2)
        spare = [*keeper(), *runners_below(server.pid)[1]]
        workers = [p for p in descendants(server.pid) if p not in runners() and p not in spare]
        out["park_server/parked_session_rss"] = _settled(
            lambda: sum(map(_rss, workers))) / len(clients)
        out["park_server/spare_runner_rss"] = _settled(lambda: sum(map(_rss, spare)))
        firsts = []
        for c in clients:
            time.sleep(PAUSE_S)
            firsts.append(c.call("run_python", code="print(total())")[0])
        out["park_server/first_call_after_park_s"] = statistics.median(firsts)
        # Live again, for less than the park time: one reading.
        spare = [*keeper(), *runners_below(server.pid)[1]]
        out["park_server/live_session_rss"] = sum(
            _rss(p) for p in descendants(server.pid) if p not in spare) / len(clients)
        for c in clients:
            c.end()
    finally:
        server.terminate()
        server.wait(timeout=120)


def run() -> dict[str, float]:
    out: dict[str, float] = {}
    previous = os.environ.get("VESK_CONFIG")
    try:
        _start_figures(out, parkable=False)
        _start_figures(out, parkable=True)
        _park_figures(out)
        _park_figures(out, spare=False)
        _new_session_figures(out)
        _many_sessions(out)
        _server_figures(out)
    finally:
        if previous is None:
            os.environ.pop("VESK_CONFIG", None)
        else:
            os.environ["VESK_CONFIG"] = previous
    return out


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name}: {value:.6g}")
