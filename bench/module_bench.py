"""What a Python caller of vesk_internal sees: calls timed from Python.

Each figure is measured around the call as a caller makes it (argument
conversion, the session lock, the core, the result object), in this process,
with the module built into build*/python. Host memory is this process's
resident set (VmRSS) before and after, so it counts what the binding holds,
not a counter of its own. Sessions run without history limits (a
configuration file of this benchmark's own), and every workspace is random
bytes, so nothing is shared by accident.

Names are "module/<what>:<counter>"; times in seconds, memory in bytes.
"""

from __future__ import annotations

import gc
import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import vesk_internal


def _rss() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def _median(call: Callable[..., object], n: int, *args: object) -> float:
    times = []
    for _ in range(n):
        start = time.perf_counter()
        call(*args)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _session(files: int = 0, total: int = 0) -> vesk_internal.VeskSession:
    s = vesk_internal.VeskSession()
    for i in range(files):
        s.write_file(f"src/dir_{i % 50:02d}/file_{i:05d}.bin", os.urandom(total // files))
    return s


def _interleaved(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Median time of each call, the calls made in turn round after round, so
    that a machine whose load changes meanwhile weighs on each alike."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def _python_figures(out: dict[str, float]) -> None:
    empty = _session()
    empty.execute_python("pass")  # the first run after a start pays for warming up
    out["module/python_pass_empty:median_s"] = _median(lambda: empty.execute_python("pass"), 2000)

    big = _session(500, 100 << 20)
    big.execute_python("pass")  # the whole workspace goes to the runner once
    paired = _interleaved({"empty": lambda: empty.execute_python("pass"),
                           "big": lambda: big.execute_python("pass")}, 41)
    empty = None  # its runner goes before the next figures
    out["module/python_pass_500_files_100mb:median_s"] = paired["big"]
    out["module/python_pass_500_files_100mb:over_empty_s"] = paired["big"] - paired["empty"]
    code = "import os\nopen('big.bin', 'wb').write(os.urandom(1 << 20))"
    out["module/python_change_1mb_500_files_100mb:median_s"] = _median(
        lambda: big.execute_python(code), 21)
    out["module/current_500_files_100mb:median_s"] = _median(lambda: big.current, 1001)

    # Results held by the caller: ten runs' checkpoints over 100 MB cost what
    # their records are, not their workspaces. The session's own growth (ten
    # more checkpoints sharing every content) is measured first and taken off.
    for _ in range(10):
        big.execute_python("pass")
    gc.collect()
    before = _rss()
    for _ in range(10):
        big.execute_python("pass")
    own = _rss() - before
    gc.collect()
    before = _rss()
    held = [big.execute_python("pass") for _ in range(10)]
    out["module/hold_10_results_100mb:host_bytes"] = max(0, _rss() - before - own)
    held.clear()


def _history_figures(out: dict[str, float]) -> None:
    # 201 checkpoints over a workspace that grows to 50 MB: every checkpoint
    # but the first holds files, the last all 50 MB of them.
    s = _session()
    for i in range(200):
        s.write_file(f"data/part_{i:03d}.bin", os.urandom(250 * 1024))
    gc.collect()
    before = _rss()
    history = s.history
    out["module/history_201_checkpoints_50mb:host_bytes"] = max(0, _rss() - before)
    assert len(history) == 201
    del history
    out["module/history_201_checkpoints_50mb:median_s"] = _median(lambda: s.history, 51)


def _bash_figures(out: dict[str, float]) -> None:
    cases = [("empty", 0, 0), ("500_files_100mb", 500, 100 << 20),
             ("10000_files_50mb", 10000, 50 << 20)]
    sessions = {name: _session(files, total) for name, files, total in cases}
    for s in sessions.values():
        s.execute_bash("true")  # the kept work directory is written out once
    # Unchanged, as a session's workspace is between commands a while apart:
    # on a file system with whole-second times a directory changed within
    # the second of the last look is looked through again (its stamp cannot
    # tell yet), so the timed calls start once that second has passed.
    settled = time.monotonic() + 1.5
    while time.monotonic() < settled:
        for s in sessions.values():
            s.execute_bash("true")
    medians = _interleaved({name: (lambda s=s: s.execute_bash("true"))
                            for name, s in sessions.items()}, 31)
    for name, median in medians.items():
        out[f"module/bash_true_{name}:median_s"] = median


def _limit_figures(out: dict[str, float], tmp: Path) -> None:
    """execute_bash('true') and a command that writes 20 MB into its work
    directory, with the shell's bounds on (max_shell_memory_mb and
    max_workspace_mb: sized tmpfs mounts, the ulimit wrapper, the monitor
    thread) and with the memory bound off (0) and no workspace bound a
    command could reach (the monitor still looks for a full disk): the cost
    of the bounds per call. Both work in /dev/shm, which the larger bound
    would otherwise pass over for /var/tmp."""
    sessions: dict[str, vesk_internal.VeskSession] = {}
    previous_tmpdir = os.environ.get("TMPDIR")
    os.environ["TMPDIR"] = "/dev/shm"
    for name, text in (("limits_on", "max_shell_memory_mb = 2048\nmax_workspace_mb = 512\n"),
                       ("limits_off", "max_shell_memory_mb = 0\nmax_workspace_mb = 1048576\n")):
        config = tmp / f"{name}.toml"
        config.write_text("max_checkpoints = 1000000\n" + text)
        os.environ["VESK_CONFIG"] = str(config)
        sessions[name] = vesk_internal.VeskSession()
        sessions[name].execute_bash("true")
    calls: dict[str, Callable[[], object]] = {}
    for name, s in sessions.items():
        calls[f"true_{name}"] = lambda s=s: s.execute_bash("true")
        calls[f"write_20mb_{name}"] = lambda s=s: s.execute_bash(
            "head -c 20000000 /dev/zero > w.bin; rm w.bin")
    try:
        medians = _interleaved(calls, 31)
    finally:
        if previous_tmpdir is None:
            del os.environ["TMPDIR"]
        else:
            os.environ["TMPDIR"] = previous_tmpdir
    for name, median in medians.items():
        out[f"module/bash_{name}:median_s"] = median


def run() -> dict[str, float]:
    out: dict[str, float] = {}
    with tempfile.TemporaryDirectory() as tmp:
        config = Path(tmp) / "vesk.toml"
        config.write_text("max_checkpoints = 1000000\nmax_workspace_mb = 1048576\n")
        previous = os.environ.get("VESK_CONFIG")
        os.environ["VESK_CONFIG"] = str(config)
        try:
            _python_figures(out)
            _history_figures(out)
            _bash_figures(out)
            _limit_figures(out, Path(tmp))
        finally:
            if previous is None:
                del os.environ["VESK_CONFIG"]
            else:
                os.environ["VESK_CONFIG"] = previous
    return out
