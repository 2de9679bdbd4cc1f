"""Figures of the web view (`vesk serve --ui`) and of the server's metrics
and JSON logs.

- Render: the time from navigating headless chromium to a view until it
  shows, for a workspace of 1,000 checkpoints (its timeline) and for a diff
  of 10,000 changed lines (5,000 removed, 5,000 added, and the file's header: six pages of
  at most 2,000 lines; the first page, and all six one after another).
- Cost of the handles: the server process's CPU time per call (user and
  system, from /proc) over 300 read_file calls, with `--log-format json`
  and /metrics scraped after every tenth call, against text logs and no
  scrape. Metrics are counted either way: counting is a few dictionary
  updates per call.

Needs chromium and puppeteer-core (scripts/setup.sh --tests); without them
only the CPU figures are measured.
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

from browser_util import TOKENS, Agent, drive, missing, token_file  # noqa: E402
from mcp_util import ServerProcess, server_env  # noqa: E402

FIGURES = [
    {"title": "web view: timeline of 1,000 checkpoints, shown in headless chromium",
     "value": "ui:timeline_1000_s", "unit": "s", "max_value": 2.0},
    {"title": "web view: diff of 10,000 lines, first page (2,000 lines) shown",
     "value": "ui:diff_10000_first_page_s", "unit": "s", "max_value": 1.0},
    {"title": "web view: diff of 10,000 lines, all six pages one after another",
     "value": "ui:diff_10000_all_pages_s", "unit": "s"},
    {"title": "server CPU per call, JSON logs and scrapes on, vs off",
     "value": "ui:cpu_per_call_handles_on_s", "unit": "s",
     "baseline": "ui:cpu_per_call_handles_off_s"},
]


def _cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _env() -> dict[str, str]:
    made = tempfile.mkdtemp(prefix="vesk-ui-bench-")
    atexit.register(shutil.rmtree, made, True)  # read by the servers until they stop
    config = Path(made) / "vesk.toml"
    config.write_text("domain_allowlist = []\nmax_checkpoints = 1100\n")
    return server_env(VESK_CONFIG=str(config))


def _server(*flags: str) -> ServerProcess:
    return ServerProcess("--token-file", str(token_file()), "--ui", "--store", "none", *flags,
                         env=_env())


def _render(results: dict[str, float]) -> None:
    server = _server()
    try:
        agent = Agent(server)
        for i in range(999):
            agent.call("write_file", path=f"src/f{i % 50}.py", content=f"v = {i}\n")
        timeline = agent.workspace
        shown_ids = agent.api(f"workspaces/{timeline}/timeline")[1]["checkpoints"]
        assert len(shown_ids) == 1000, len(shown_ids)
        diffs = Agent(server)
        diffs.call("write_file", path="big.txt", content="".join(f"a{i}\n" for i in range(5000)))
        diffs.call("write_file", path="big.txt", content="".join(f"b{i}\n" for i in range(5000)))
        pages = [{"name": "timeline", "hash": f"#/w/{timeline}", "wait": "write_file src/f48.py"}]
        pages += [{"name": f"diff{p}", "hash": f"#/w/{diffs.workspace}/diff?from=1&to=2&page={p}",
                   "wait": f"page {p + 1} of 6"} for p in range(6)]
        shown = {p["name"]: p["ms"] / 1000 for p in drive(server, pages, TOKENS["alice"],
                                                          None)["pages"]}
        results["ui:timeline_1000_s"] = shown["timeline"]
        results["ui:diff_10000_first_page_s"] = shown["diff0"]
        results["ui:diff_10000_all_pages_s"] = sum(v for k, v in shown.items()
                                                   if k.startswith("diff"))
    finally:
        server.stop()


def _cpu_per_call(*flags: str, scrape: bool) -> float:
    server = _server(*flags)
    try:
        agent = Agent(server)
        agent.call("write_file", path="a.txt", content="x\n")
        before = _cpu_seconds(server.pid)
        for i in range(300):
            agent.call("read_file", path="a.txt")
            if scrape and i % 10 == 0:
                server.request("GET", headers=agent.auth, path="/metrics")
        return (_cpu_seconds(server.pid) - before) / 300
    finally:
        server.stop()


def run() -> dict[str, float]:
    results: dict[str, float] = {}
    why = missing()
    if why is None:
        _render(results)
    else:
        print(f"ui_bench: no render figures: {why}", file=sys.stderr)
    results["ui:cpu_per_call_handles_off_s"] = _cpu_per_call(scrape=False)
    results["ui:cpu_per_call_handles_on_s"] = _cpu_per_call("--log-format", "json", scrape=True)
    return results


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name} {value:.6f}")
