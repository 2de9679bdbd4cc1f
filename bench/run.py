#!/usr/bin/env python3
"""Runs every benchmark and prints each headline figure next to its baseline.

Baselines are measured in the same run on the same machine, so a figure reads
as a ratio ("1.3x git diff") rather than as an absolute time that means little
elsewhere.

Sources of measurements:
  * build/bench/vesk_bench (Google Benchmark): every benchmark's real time in
    seconds under its name, and every user counter as "<name>:<counter>".
  * bench/*_bench.py: each module's run() returns {name: value}.

A figure names a value and either a baseline (a ratio is printed, and a goal
caps the ratio) or an absolute goal (value must stay below it). Add figures to
FIGURES below next to the benchmark that feeds them.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


@dataclass
class Figure:
    title: str
    value: str  # measurement name
    unit: str  # "s", "B", "MB/s" ... for display
    baseline: str | None = None  # measurement name of the baseline
    max_ratio: float | None = None  # goal: value / baseline <= max_ratio
    max_value: float | None = None  # goal: value <= max_value
    min_value: float | None = None  # goal: value >= min_value


FIGURES: list[Figure] = [
    # Filled in by the benchmarks of each subsystem.
    Figure("diff, 100,000 lines, 1% changed, vs git diff --no-index",
           "diff/file_maps/repeats:5/real_time", "s",
           baseline="diff/git_no_index/repeats:5/real_time", max_ratio=1.0),
    Figure("diff of adjacent checkpoints, 10,000 files, one changed",
           "diff/adjacent_checkpoints_10k_files/repeats:5/real_time", "s", max_value=0.001),
    Figure("write_file median, 10,000 files, 200 checkpoints",
           "history/write_file_10k_files/iterations:1:median_write_s", "s", max_value=0.002),
    Figure("peak memory of that history vs its distinct content bytes",
           "history/write_file_10k_files/iterations:1:peak_rss_bytes", "B",
           baseline="history/write_file_10k_files/iterations:1:distinct_bytes", max_ratio=2.0),
    Figure("runner start from a snapshot vs bare Deno loading Pyodide and micropip",
           "runner/start_snapshot/iterations:3/manual_time", "s",
           baseline="runner/bare_deno_start/iterations:3/manual_time", max_ratio=0.25),
    Figure("first runner start without a snapshot vs bare Deno loading Pyodide",
           "runner/start_no_snapshot/iterations:3/manual_time", "s",
           baseline="runner/bare_deno_start/iterations:3/manual_time", max_ratio=1.1),
    Figure("runner replacement after a time-out, snapshot vs ordinary start",
           "runner/replacement_snapshot/iterations:3/manual_time", "s",
           baseline="runner/replacement_no_snapshot/iterations:3/manual_time", max_ratio=0.3),
    Figure("idle runner memory started from a snapshot vs an ordinary start",
           "runner/start_snapshot/iterations:3/manual_time:idle_rss_bytes", "B",
           baseline="runner/start_no_snapshot/iterations:3/manual_time:idle_rss_bytes", max_ratio=1.1),
    Figure("execute_python('pass'), 500 files / 100 MB, nothing changed",
           "session/pass_500_files_100mb/iterations:1:median_s", "s", max_value=0.010),
    Figure("same workspace, the run rewrites one file of 1 MB",
           "session/change_1mb_500_files_100mb/iterations:1:median_s", "s", max_value=0.060),
    Figure("execute_python('pass'), 10,000 files / 50 MB, nothing changed",
           "session/pass_10000_files_50mb/iterations:1:median_s", "s", max_value=0.020),
    # Before the runner kept its workspace, this run took 1.85 s on the
    # two-core machine; it must not be slower.
    Figure("first run after the start (whole workspace), 500 files / 100 MB",
           "session/pass_500_files_100mb/iterations:1:first_s", "s", max_value=1.85),
    Figure("runner peak memory over those runs, in workspaces of 100 MB",
           "session/pass_500_files_100mb/iterations:1:peak_rss_ratio", "x", max_value=2.5),
    Figure("the same, above the runner's memory before the first run",
           "session/pass_500_files_100mb/iterations:1:peak_growth_ratio", "x"),
    Figure("execute_python('pass') median, empty workspace",
           "runner/execute_pass/iterations:1:median_s", "s", max_value=0.0006),
    Figure("execute_python('pass') round trip, 100 x 100 KB random files",
           "runner/execute_10mb/iterations:5:mb_per_s", "MB/s", min_value=40.0),
    # bench/runner_script_bench.py: the runner script alone, 100 files of random bytes.
    Figure("runner script: 10 MiB workspace per round trip", "runner_script_10mb:throughput", "MB/s",
           min_value=40.0),
    Figure("runner script: peak memory with a 50 MiB workspace", "runner_script_50mb:peak_rss", "B",
           max_value=1024.0 ** 3),
    # What a Python caller sees (bench/module_bench.py): the same calls timed
    # around the module's methods, next to the C++ figures above.
    Figure("Python caller: execute_python('pass') median, empty workspace",
           "module/python_pass_empty:median_s", "s", max_value=0.0006),
    Figure("Python caller: the same, 500 files / 100 MB unchanged, over empty",
           "module/python_pass_500_files_100mb:over_empty_s", "s", max_value=0.002),
    Figure("Python caller: 500 files / 100 MB, the run rewrites 1 MB",
           "module/python_change_1mb_500_files_100mb:median_s", "s", max_value=0.060),
    Figure("Python caller: execute_bash('true'), 500 files / 100 MB unchanged",
           "module/bash_true_500_files_100mb:median_s", "s",
           baseline="module/bash_true_empty:median_s", max_ratio=1.5),
    Figure("Python caller: execute_bash('true'), 10,000 files / 50 MB unchanged",
           "module/bash_true_10000_files_50mb:median_s", "s",
           baseline="module/bash_true_empty:median_s", max_ratio=1.5),
    Figure("Python caller: execute_bash('true') with the shell's bounds on, over off",
           "module/bash_true_limits_on:median_s", "s",
           baseline="module/bash_true_limits_off:median_s", max_ratio=1.3),
    Figure("Python caller: a command writing 20 MB, bounds on, over off",
           "module/bash_write_20mb_limits_on:median_s", "s",
           baseline="module/bash_write_20mb_limits_off:median_s", max_ratio=1.3),
    Figure("Python caller: current, 500 files / 100 MB",
           "module/current_500_files_100mb:median_s", "s", max_value=20e-6),
    Figure("Python caller: history, 201 checkpoints over 50 MB",
           "module/history_201_checkpoints_50mb:median_s", "s", max_value=0.005),
    Figure("Python caller: host memory to hold that history",
           "module/history_201_checkpoints_50mb:host_bytes", "B", max_value=2 * 1048576.0),
    Figure("Python caller: host memory to hold 10 run results, 100 MB",
           "module/hold_10_results_100mb:host_bytes", "B", max_value=1048576.0),
    # Sandboxed shell and host exchange (bench/sandbox_bench.cpp).
    Figure("execute_bash('true'), empty workspace",
           "sandbox/execute_bash_true_empty/real_time", "s",
           baseline="sandbox/bare_bwrap_true/real_time", max_ratio=1.5),
    Figure("execute_bash('true'), 1000 files of 10 KB (median)",
           "sandbox/execute_bash_true_1000_files/repeats:5/real_time", "s", max_value=0.025),
    Figure("execute_bash('true'), kept dir, 10,000 files / 50 MB unchanged",
           "sandbox/kept_true_10000_files_50mb/repeats:5/real_time", "s",
           baseline="sandbox/kept_true_empty/repeats:5/real_time", max_ratio=2.0),
    Figure("mount of 10,000 small files",
           "sandbox/mount_10000_files/real_time", "s",
           baseline="sandbox/cp_r_10000_files/real_time", max_ratio=2.0),
    # A cluster through HAProxy (bench/cluster_bench.py).
    *(Figure(f"cluster, {n} nodes, {c} clients: {what}",
             f"cluster:{n}_nodes_{c}_clients_{key}", unit)
      for n in (1, 2, 4) for c in (20, 100)
      for what, key, unit in (("calls/s", "calls_per_s", "calls/s"), ("p50", "p50_s", "s"),
                              ("p95", "p95_s", "s"),
                              ("node CPU per call", "nodes_cpu_per_call_s", "s"),
                              ("worker CPU per call", "workers_cpu_per_call_s", "s"),
                              ("HAProxy CPU per call", "haproxy_cpu_per_call_s", "s"))),
    Figure("cluster: failover, next call after kill -9 (lease 2 s)",
           "cluster:failover_next_call_s", "s", max_value=2.0 + 3.0),
    Figure("cluster: failover, acknowledged changes lost",
           "cluster:failover_lost_changes", "", max_value=0),
    Figure("cluster: rolling restart, failed calls", "cluster:rolling_restart_failed_calls",
           "", max_value=0),
    Figure("cluster: rolling restart, acknowledged changes lost",
           "cluster:rolling_restart_lost_changes", "", max_value=0),
    Figure("write_file round trip, PostgreSQL store", "cluster:write_file_postgresql_store_s",
           "s", baseline="cluster:write_file_sqlite_store_s"),
    Figure("write_file round trip, SQLite store", "cluster:write_file_sqlite_store_s", "s",
           baseline="cluster:write_file_none_store_s"),
]


def run_cpp(build: Path, filter_regex: str | None) -> dict[str, float]:
    exe = build / "bench" / "vesk_bench"
    if not exe.exists():
        print(f"bench: {exe} not built", file=sys.stderr)
        return {}
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        cmd = [str(exe), f"--benchmark_out={out.name}", "--benchmark_out_format=json"]
        if filter_regex:
            cmd.append(f"--benchmark_filter={filter_regex}")
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        text = open(out.name).read()
        if not text.strip():  # the filter matched no benchmark of this binary
            return {}
        data = json.loads(text)
    results: dict[str, float] = {}
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b["run_name"] if b.get("run_type") == "aggregate" else b["name"]
        results[name] = b["real_time"] * scale[b.get("time_unit", "ns")]
        for key, value in b.items():
            if key not in {"name", "run_name", "run_type", "real_time", "cpu_time", "time_unit",
                           "iterations", "repetitions", "repetition_index", "threads",
                           "family_index", "per_family_instance_index", "aggregate_name",
                           "aggregate_unit", "label", "error_occurred", "error_message"} \
                    and isinstance(value, (int, float)):
                results[f"{name}:{key}"] = float(value)
    return results


def run_python(filter_regex: str | None) -> dict[str, float]:
    results: dict[str, float] = {}
    for path in sorted((ROOT / "bench").glob("*_bench.py")):
        if filter_regex and filter_regex not in path.stem:
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"bench: running {path.name}", file=sys.stderr)
        # A benchmark module may bring its figures: Figure's fields, as dicts.
        FIGURES.extend(Figure(**figure) for figure in getattr(module, "FIGURES", []))
        results.update(module.run())
    return results


def fmt(value: float, unit: str) -> str:
    if unit == "s":
        if value < 1e-3:
            return f"{value * 1e6:.1f} us"
        if value < 1:
            return f"{value * 1e3:.2f} ms"
        return f"{value:.2f} s"
    if unit == "B":
        return f"{value / 1048576:.1f} MiB"
    if unit == "x":
        return f"{value:.2f}x"
    return f"{value:.1f} {unit}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=Path(os.environ.get("VESK_BUILD", ROOT / "build")))
    parser.add_argument("--filter", help="only benchmarks whose name contains this")
    args = parser.parse_args()

    results = run_cpp(args.build, args.filter)
    results.update(run_python(args.filter))

    print()
    print(f"{'figure':<58} {'value':>12} {'baseline':>12} {'ratio':>7}  goal")
    failed = 0
    for f in FIGURES:
        if f.value not in results or (f.baseline and f.baseline not in results):
            continue
        value = results[f.value]
        base = results.get(f.baseline) if f.baseline else None
        ratio = value / base if base else None
        ok = True
        goal = ""
        if f.max_ratio is not None and ratio is not None:
            ok = ratio <= f.max_ratio
            goal = f"<= {f.max_ratio:g}x"
        if f.max_value is not None:
            ok = ok and value <= f.max_value
            goal = f"<= {fmt(f.max_value, f.unit)}"
        if f.min_value is not None:
            ok = ok and value >= f.min_value
            goal = f">= {fmt(f.min_value, f.unit)}"
        failed += not ok
        print(f"{f.title:<58} {fmt(value, f.unit):>12} "
              f"{fmt(base, f.unit) if base is not None else '':>12} "
              f"{f'{ratio:.2f}x' if ratio is not None else '':>7}  {goal} {'ok' if ok else 'MISSED'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
