"""The host side of a runner's output pipe: what one session that writes a
huge line costs the process that holds it.

Code in the session writes a 1 GiB line with no line feed straight to the
runner's standard output (Pyodide reaches Deno). The host's resident set
(VmRSS, sampled every 10 ms on a thread of its own) is read before, at its
peak during the call, and after it. Twice: with the default configuration,
where such a line is still shorter than the longest reply a 512 MiB
workspace can bring (it is read whole, found to be no reply and given
back), and with max_workspace_mb = 64, where the runner is stopped once the
line passes that workspace's longest reply. Alongside, execute_python('pass')
as a measure of what the line's bound costs every call.

Names are "pipe/<what>:<counter>"; memory in bytes, times in seconds.
"""

from __future__ import annotations

import os
import statistics
import tempfile
import threading
import time
from pathlib import Path

import vesk_internal

FLOOD = """
from js import Deno
from pyodide.ffi import to_js
chunk = to_js(b'x' * (16 << 20))
for _ in range(64):
    done = 0
    while done < chunk.length:
        done += Deno.stdout.writeSync(chunk.subarray(done))
"""

FIGURES = [
    {"title": "host memory after one session wrote a 1 GiB line, over before (defaults)",
     "value": "pipe/line_1gib_default:after_growth", "unit": "B", "max_value": 64 * 1048576.0},
    {"title": "host memory at its peak while it came (defaults), over before",
     "value": "pipe/line_1gib_default:peak_growth", "unit": "B", "max_value": 1.1 * 1024.0 ** 3},
    {"title": "host memory after one session wrote a 1 GiB line, max_workspace_mb = 64",
     "value": "pipe/line_1gib_ws64:after_growth", "unit": "B", "max_value": 64 * 1048576.0},
    {"title": "host memory at its peak while it came (max_workspace_mb = 64), over before",
     "value": "pipe/line_1gib_ws64:peak_growth", "unit": "B", "max_value": 1.1 * 352 * 1048576.0},
    {"title": "execute_python('pass') median with the line's bound on",
     "value": "pipe/pass:median_s", "unit": "s"},
]


def _rss() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def _flood(out: dict[str, float], name: str, config: str) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "vesk.toml"
        path.write_text(config)
        os.environ["VESK_CONFIG"] = str(path)
        s = vesk_internal.VeskSession()
        s.execute_python("pass")
        before = _rss()
        peak = before
        done = threading.Event()

        def sample() -> None:
            nonlocal peak
            while not done.wait(0.01):
                peak = max(peak, _rss())

        sampler = threading.Thread(target=sample)
        sampler.start()
        # A cancel descriptor (never readable) has the call release the
        # interpreter lock, so that the sampler runs meanwhile.
        never, keep = os.pipe()
        start = time.perf_counter()
        try:
            s.execute_python(FLOOD, cancel_fd=never)
        except RuntimeError:
            pass
        finally:
            os.close(never)
            os.close(keep)
        seconds = time.perf_counter() - start
        done.set()
        sampler.join()
        out[f"pipe/{name}:after_growth"] = float(_rss() - before)
        out[f"pipe/{name}:peak_growth"] = float(peak - before)
        out[f"pipe/{name}:call_s"] = seconds
        if name == "line_1gib_default":
            times = []
            for _ in range(50):
                t = time.perf_counter()
                s.execute_python("pass")
                times.append(time.perf_counter() - t)
            out["pipe/pass:median_s"] = statistics.median(times)
        del s


def run() -> dict[str, float]:
    out: dict[str, float] = {}
    previous = os.environ.get("VESK_CONFIG")
    try:
        _flood(out, "line_1gib_default", "")
        _flood(out, "line_1gib_ws64", "max_workspace_mb = 64\n")
    finally:
        if previous is None:
            os.environ.pop("VESK_CONFIG", None)
        else:
            os.environ["VESK_CONFIG"] = previous
    return out


if __name__ == "__main__":
    for key, value in run().items():
        print(f"{key} {value:.6g}")
