"""Workspace throughput and memory of the runner script alone (no module).

Sends execute requests of 100 files of random bytes with the code "pass"
straight to a runner under real Deno and times write-to-reply; MB are MiB.
Peak memory is the runner process's high-water resident set (VmHWM).
The runner's CPU time per round trip is reported beside the wall time.
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from runner_harness import Runner, encode_execute, write_script  # noqa: E402


def _workspace(total_mib: int) -> dict[str, bytes]:
    size = total_mib * 1048576 // 100
    return {f"dir{i % 7}/file{i}.bin": os.urandom(size) for i in range(100)}


def _round_trip(runner: Runner, request: bytes) -> tuple[float, bytes]:
    start = time.perf_counter()
    runner.send_raw(request)
    while True:
        line = runner.read_line()
        assert line is not None, runner.stderr
        if not line.startswith(b'{"progress":'):
            return time.perf_counter() - start, line


def _cpu_seconds(pid: int) -> float:
    """User plus system time the process has used so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _peak_rss(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return float(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def run() -> dict[str, float]:
    results: dict[str, float] = {}
    with tempfile.TemporaryDirectory() as tmp:
        script = write_script(Path(tmp))

        files = _workspace(10)
        request = encode_execute("pass", files)
        with Runner(script) as runner:
            runner.wait_ready()
            _, reply = _round_trip(runner, request)  # warm-up
            assert len(reply) > len(request) * 0.9, reply[:200]
            cpu = _cpu_seconds(runner.proc.pid)
            times = [_round_trip(runner, request)[0] for _ in range(5)]
            cpu = (_cpu_seconds(runner.proc.pid) - cpu) / len(times)
        seconds = statistics.median(times)
        results["runner_script_10mb:seconds"] = seconds
        results["runner_script_10mb:throughput"] = 10 / seconds
        # The runner's own CPU time per round trip: steadier than wall time on
        # a busy machine.
        results["runner_script_10mb:cpu_seconds"] = cpu
        results["runner_script_10mb:request_bytes"] = float(len(request))

        request = encode_execute("pass", _workspace(50))
        with Runner(script) as runner:
            runner.wait_ready()
            base = _peak_rss(runner.proc.pid)
            seconds, _ = _round_trip(runner, request)
            results["runner_script_idle:peak_rss"] = base
            results["runner_script_50mb:peak_rss"] = _peak_rss(runner.proc.pid)
            results["runner_script_50mb:throughput"] = 50 / seconds
    return results


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name}: {value:,.3f}")
