"""The memory of a server worker whose session is given 1 GB of history.

A worker process (`python -m vesk.server.worker`, as `vesk serve` starts it,
driven over its channel by this process) runs ten shell commands, each
replacing the workspace with 100 MB of new random bytes in 3 MB files: 1 GB
of distinct content in all, which the history would hold without a bound.
Its resident set (VmRSS) is read after the ten runs:

- with `max_history_mb = 4096`: the history holds all of it;
- with `max_history_mb = 512` (and `max_workspace_mb = 128`, so that before
  each run the worker brings the history under 384 MiB): the worker forgets
  the oldest checkpoints first, and what they held goes back to the system;
- with 4096 again, after twelve more runs that empty the workspace with
  `max_checkpoints = 12`: the 1 GB history forgotten, which memory stays.

Names are "history_memory/<what>"; memory in bytes.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

from vesk.server.worker import receive, send  # noqa: E402

MB = 1000 * 1000
FIGURES = [
    {"title": "worker memory, 1 GB of history written, max_history_mb 4096",
     "value": "history_memory/worker_rss_limit_4096", "unit": "B",
     "baseline": "history_memory/held_limit_4096"},
    {"title": "the same with max_history_mb 512",
     "value": "history_memory/worker_rss_limit_512", "unit": "B",
     "max_value": (512 + 4 * 128 + 64 + 256) * 1048576.0},  # the worker's budget
    {"title": "worker memory once that 1 GB history is forgotten (4096)",
     "value": "history_memory/worker_rss_forgotten", "unit": "B"},
]


def _rss(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


class _Worker:
    def __init__(self, config: str, scratch: str) -> None:
        path = Path(scratch) / f"vesk-{abs(hash(config))}.toml"
        path.write_text(config)
        build = Path(os.environ.get("VESK_BUILD", ROOT / "build"))
        env = dict(os.environ, VESK_CONFIG=str(path), VESK_SERVE_PID=str(os.getpid()),
                   VESK_SPARE_RUNNER="0",
                   PYTHONPATH=os.pathsep.join([str(build / "python"), str(ROOT / "python")]))
        self.proc = subprocess.Popen([sys.executable, "-m", "vesk.server.worker"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.inp, self.out = self.proc.stdin, self.proc.stdout
        ready = receive(self.out)
        if not ready or not ready.get("ready"):
            raise RuntimeError(f"worker did not start: {ready}")

    def call(self, tool: str, **arguments: Any) -> dict[str, Any]:
        send(self.inp, {"tool": tool, "arguments": arguments})
        reply = receive(self.out)
        if reply is None or "ok" not in reply:
            raise RuntimeError(f"{tool} failed: {reply}")
        result: dict[str, Any] = reply["ok"]
        return result

    def close(self) -> None:
        self.inp.close()
        self.proc.wait(timeout=60)


def _write_gigabyte(worker: _Worker) -> None:
    for i in range(10):
        worker.call("run_python", code=(
            "import os, shutil\nshutil.rmtree('d', ignore_errors=True)\nos.mkdir('d')\n"
            f"for j in range(33):\n    open(f'd/f{i}_{{j}}', 'wb').write(os.urandom({3 * MB}))"))


def run() -> dict[str, float]:
    out: dict[str, float] = {}
    with tempfile.TemporaryDirectory(prefix="vesk-bench-") as scratch:
        full = _Worker("max_history_mb = 4096\nmax_checkpoints = 12\n", scratch)
        try:
            _write_gigabyte(full)
            out["history_memory/worker_rss_limit_4096"] = float(_rss(full.proc.pid))
            out["history_memory/held_limit_4096"] = float(10 * 33 * 3 * MB)
            for _ in range(12):
                full.call("run_python", code="import shutil; shutil.rmtree('d', ignore_errors=True)")
            out["history_memory/worker_rss_forgotten"] = float(_rss(full.proc.pid))
        finally:
            full.close()
        bounded = _Worker("max_history_mb = 512\nmax_workspace_mb = 128\n", scratch)
        try:
            _write_gigabyte(bounded)
            out["history_memory/worker_rss_limit_512"] = float(_rss(bounded.proc.pid))
        finally:
            bounded.close()
    return out


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name}: {value / 1048576:.1f} MiB")
