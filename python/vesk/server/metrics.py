"""The server's metrics, counted in process and shown at `/metrics` in the
Prometheus text format (version 0.0.4), written by hand: no library is
needed, and the offline install stays as it is.

`METRICS` is the one registry of the process; the protocol calls `record`
once per tool call, and `render` writes the text from the counts and from
what the session manager holds at the time of the scrape. Only names the
server knows become label values (the offered tools, a fixed set of
outcomes and error kinds): a client that calls made-up tools or sends odd
handles cannot make the page grow. Nothing here does I/O but reading the
configuration once and, at a scrape, the workers' resident sets in /proc.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import Any

from vesk.server import config
from vesk.server.memory import MARGIN_MB

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
# Seconds: tool calls last from a millisecond (list_files) to the run
# time-outs (a minute or two).
BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0, 120.0)
OUTCOMES = ("ok", "error", "cancelled")
# Why a tool call failed: its arguments, its workspace (unknown or ended),
# the server's refusal (no room for a workspace, too many tasks), its
# worker (could not start, died), or the tool itself (the run failed, a
# file is missing, a time-out), or the server's own fault.
KINDS = ("invalid_arguments", "unknown_tool", "no_workspace", "refused", "worker_gone", "tool",
         "internal")
UNKNOWN_TOOL = "unknown"
# Workspaces by state: live (in the server's memory, not parked), parked
# (into the store, holding no worker) and stored (rows of the store, live
# and parked ones and those no client has asked for since a restart; 0
# without a store).
STATES = ("live", "parked", "stored")
MIB = 1 << 20
# Seconds: a park or a resume takes from tens of milliseconds to a few
# seconds (a large interpreter image); a store write from a millisecond
# (SQLite, a small change) to seconds (a large file, a distant database).
PARK_BUCKETS = (0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)
WRITE_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 10.0)
PARK_OUTCOMES = ("parked", "refused", "failed")


class Histogram:
    """Counts of observations per bucket (then +Inf), and their sum."""

    def __init__(self, buckets: tuple[float, ...]) -> None:
        self.buckets = buckets
        self.counts = [0] * (len(buckets) + 1)
        self.sum = 0.0

    def observe(self, seconds: float) -> None:
        for i, bound in enumerate(self.buckets):
            if seconds <= bound:
                self.counts[i] += 1
                break
        else:
            self.counts[-1] += 1
        self.sum += seconds

    def lines(self, name: str, labels: str = "") -> list[str]:
        out, total = [], 0
        sep = "," if labels else ""
        for bound, n in zip([*map(repr, self.buckets), "+Inf"], self.counts):
            total += n
            out.append(f'{name}_bucket{{{labels}{sep}le="{bound}"}} {total}')
        tail = f"{{{labels}}}" if labels else ""
        out.append(f"{name}_sum{tail} {self.sum!r}")
        out.append(f"{name}_count{tail} {total}")
        return out


class Metrics:
    def __init__(self) -> None:
        self.calls: dict[tuple[str, str], int] = {}
        self.errors: dict[tuple[str, str], int] = {}
        self.hist: dict[str, list[int]] = {}  # per tool: counts per bucket, then +Inf
        self.sums: dict[str, float] = {}
        self.budgets: dict[str, int] = {}
        self.parks = {outcome: Histogram(PARK_BUCKETS) for outcome in PARK_OUTCOMES}
        self.resumes = Histogram(PARK_BUCKETS)
        self.store_writes = Histogram(WRITE_BUCKETS)
        self.leases_taken_over = 0
        self.handed_on = 0  # requests sent on to the node holding their workspace

    def configure(self, values: Mapping[str, Any]) -> None:
        """The memory budgets, from the configuration's keys."""
        self.budgets = {
            "history": values["max_history_mb"] * MIB,
            "workspace": values["max_workspace_mb"] * MIB,
            "park_image": values["max_park_image_mb"] * MIB,
            "worker_resident": (values["max_history_mb"] + 4 * values["max_workspace_mb"]
                                + values["max_park_image_mb"] + MARGIN_MB) * MIB,
        }

    def record(self, tool: str, seconds: float, outcome: str, kind: str | None) -> None:
        """Counts one tool call (`tool` is an offered tool's name or
        UNKNOWN_TOOL; `kind` one of KINDS when `outcome` is "error")."""
        self.calls[tool, outcome] = self.calls.get((tool, outcome), 0) + 1
        if kind is not None:
            self.errors[tool, kind] = self.errors.get((tool, kind), 0) + 1
        if tool == UNKNOWN_TOOL:
            return
        counts = self.hist.setdefault(tool, [0] * (len(BUCKETS) + 1))
        for i, bound in enumerate(BUCKETS):
            if seconds <= bound:
                counts[i] += 1
                break
        else:
            counts[-1] += 1
        self.sums[tool] = self.sums.get(tool, 0.0) + seconds

    def park(self, seconds: float, outcome: str) -> None:
        """A park asked of a worker: parked, refused (its state cannot be
        imaged now) or failed (the worker went)."""
        self.parks[outcome].observe(seconds)

    def resume(self, seconds: float) -> None:
        """A parked workspace's worker started again, ready in `seconds`."""
        self.resumes.observe(seconds)

    def store_write(self, seconds: float) -> None:
        """One write to the store (a change saved, a row added or touched)."""
        self.store_writes.observe(seconds)

    def lease_taken_over(self) -> None:
        """A worker took over a workspace another node's lease had held."""
        self.leases_taken_over += 1

    def render(self, states: Mapping[str, int], max_sessions: int,
               worker_pids: Iterable[int]) -> str:
        out: list[str] = []

        def family(name: str, kind: str, text: str) -> None:
            out.append(f"# HELP {name} {text}")
            out.append(f"# TYPE {name} {kind}")

        family("vesk_workspaces", "gauge", "Workspaces and MCP sessions, by state.")
        for state in STATES:
            out.append(f'vesk_workspaces{{state="{state}"}} {states.get(state, 0)}')
        family("vesk_workspaces_max", "gauge", "Most workspaces and sessions at once.")
        out.append(f"vesk_workspaces_max {max_sessions}")
        family("vesk_tool_calls_total", "counter", "Tool calls, by tool and outcome.")
        for (tool, outcome), n in sorted(self.calls.items()):
            out.append(f'vesk_tool_calls_total{{tool="{tool}",outcome="{outcome}"}} {n}')
        family("vesk_tool_errors_total", "counter", "Failed tool calls, by tool and kind.")
        for (tool, kind), n in sorted(self.errors.items()):
            out.append(f'vesk_tool_errors_total{{tool="{tool}",kind="{kind}"}} {n}')
        family("vesk_tool_call_seconds", "histogram", "Tool call latency, by tool.")
        for tool, counts in sorted(self.hist.items()):
            total = 0
            for bound, n in zip([*map(repr, BUCKETS), "+Inf"], counts):
                total += n
                out.append(f'vesk_tool_call_seconds_bucket{{tool="{tool}",le="{bound}"}} {total}')
            out.append(f'vesk_tool_call_seconds_sum{{tool="{tool}"}} {self.sums[tool]!r}')
            out.append(f'vesk_tool_call_seconds_count{{tool="{tool}"}} {total}')
        family("vesk_requests_handed_on_total", "counter",
               "Requests handed on to the node that holds their workspace's lease.")
        out.append(f"vesk_requests_handed_on_total {self.handed_on}")
        family("vesk_budget_bytes", "gauge", "Memory budgets of each session's worker.")
        for budget, size in sorted(self.budgets.items()):
            out.append(f'vesk_budget_bytes{{budget="{budget}"}} {size}')
        resident = [_resident(pid) for pid in worker_pids]
        family("vesk_workers_resident_bytes", "gauge", "Resident set of all workers together.")
        out.append(f"vesk_workers_resident_bytes {sum(resident)}")
        family("vesk_worker_resident_max_bytes", "gauge",
               "Resident set of the largest worker (its budget: budget=worker_resident).")
        out.append(f"vesk_worker_resident_max_bytes {max(resident, default=0)}")
        family("vesk_parks_seconds", "histogram", "Parks asked of workers, by outcome.")
        for outcome, hist in self.parks.items():
            out += hist.lines("vesk_parks_seconds", f'outcome="{outcome}"')
        family("vesk_resumes_seconds", "histogram",
               "Parked workspaces started again: time until their worker was ready.")
        out += self.resumes.lines("vesk_resumes_seconds")
        family("vesk_store_write_seconds", "histogram",
               "Writes to the store: changes saved by workers, rows written by the server.")
        out += self.store_writes.lines("vesk_store_write_seconds")
        family("vesk_leases_taken_over_total", "counter",
               "Workspaces taken over from another node whose lease had expired.")
        out.append(f"vesk_leases_taken_over_total {self.leases_taken_over}")
        return "\n".join(out) + "\n"


def _resident(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/statm", "rb") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0  # the worker has just ended


METRICS = Metrics()  # the server's cli configures its budgets
METRICS.configure(config.DEFAULTS)

