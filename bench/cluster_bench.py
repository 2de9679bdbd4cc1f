"""Figures of a cluster as a client sees it, through HAProxy
(scripts/run-cluster.sh: private PostgreSQL, HAProxy, N nodes).

- Load: 20 and 100 clients (threads, one workspace each, revision
  2026-07-28 over keep-alive connections) make mixed calls (write, read,
  list, shell; no Python, so that 100 clients do not need 100 Pyodide
  runners) against 1, 2 and 4 nodes: calls per second, p50 and p95, and the
  CPU per call of the nodes, their workers and HAProxy. On a machine of two
  cores the nodes cannot add processors: the CPU split shows where a call's
  time goes.
- Failover: SIGKILL of the node holding a busy workspace; the time until
  its next call is answered (by another node, after the lease runs out and
  a resume), and whether every acknowledged write is there.
- Rolling restart of every node under a 20-client loop: failed calls, and
  acknowledged writes missing afterwards.
- The per-call cost of the store: the median write_file round trip on one
  server with --store none, an SQLite store and a PostgreSQL store.
VESK_BENCH_CLUSTER_SECS sets each load run's length (default 10 s).
"""

from __future__ import annotations

import os
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from cluster_util import RunCluster  # noqa: E402
from server_bench import _env, start_server  # noqa: E402
from server_revision_bench import ModernClient  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SECONDS = float(os.environ.get("VESK_BENCH_CLUSTER_SECS", "10"))


class Cluster(RunCluster):
    def __init__(self, nodes: int) -> None:
        super().__init__(nodes, _env(), node_flags=("--max-sessions", "120"))

    def cpu(self) -> dict[str, float]:
        """CPU seconds of the nodes, everything below them, and HAProxy."""
        nodes = [pid for pid, _ in self.nodes.values()]
        below = [p for pid in nodes for p in _descendants(pid)]
        haproxy = [p for p in _descendants(self.proc.pid) if _name(p) == "haproxy"]
        return {"nodes": sum(map(_cpu, nodes)), "workers": sum(map(_cpu, below)),
                "haproxy": sum(map(_cpu, haproxy))}


def _descendants(pid: int) -> list[int]:
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            children = Path(f"/proc/{parent}/task/{parent}/children").read_text().split()
        except OSError:
            continue
        found += map(int, children)
        queue += map(int, children)
    return found


def _name(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/comm").read_text().strip()
    except OSError:
        return ""


def _cpu(pid: int) -> float:
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _one_call(client: ModernClient, i: int) -> bool:
    kind = i % 4
    if kind == 0:
        _, _, result = client.call("write_file", path=f"f{i}.txt", content=f"v{i}\n")
    elif kind == 1:
        _, _, result = client.call("read_file", path=f"f{i - 1}.txt")
    elif kind == 2:
        _, _, result = client.call("list_files")
    else:
        _, _, result = client.call("run_shell", command=f"echo {i}")
    return not result["isError"]


def _clients(port: int, clients: int) -> list[ModernClient]:
    made = []
    for _ in range(clients):
        client = ModernClient(port)
        client.call("list_files")  # its worker starts here, outside the figures
        made.append(client)
    return made


def _load(made: list[ModernClient], seconds: float, stop: threading.Event | None = None
          ) -> tuple[list[float], int, list[tuple[ModernClient, list[int]]]]:
    """Round trips and failed calls of one thread per client calling for
    `seconds` (or until `stop`); the clients with the writes each was told
    were made."""
    clients = len(made)
    times: list[float] = []
    failed = [0]
    acked: list[list[int]] = [[] for _ in range(clients)]
    lock = threading.Lock()
    end = time.monotonic() + seconds

    def loop(k: int) -> None:
        i = 0
        while (stop is None and time.monotonic() < end) or (stop is not None and
                                                            not stop.is_set()):
            started = time.perf_counter()
            try:
                good = _one_call(made[k], i)
            except Exception:  # noqa: BLE001 - a failed call is counted, not raised
                good = False
                made[k].conn.close()
            took = time.perf_counter() - started
            with lock:
                times.append(took)
                failed[0] += not good
            if good and i % 4 == 0:
                acked[k].append(i)
            i += 1

    threads = [threading.Thread(target=loop, args=(k,)) for k in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return times, failed[0], list(zip(made, acked))


def _lost(pairs: list[tuple[ModernClient, list[int]]]) -> int:
    """Acknowledged writes missing from their workspaces."""
    missing = 0
    for client, written in pairs:
        _, _, result = client.call("list_files")
        have = {f["path"] for f in result["structuredContent"]["files"]}
        missing += sum(1 for i in written if f"f{i}.txt" not in have)
    return missing


def _pct(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


class _Shown(dict[str, float]):
    """Results, each also printed to standard error as it comes."""

    def __setitem__(self, key: str, value: float) -> None:
        print(f"{key}: {value:.6g}", file=sys.stderr, flush=True)
        super().__setitem__(key, value)


def run() -> dict[str, float]:
    results: dict[str, float] = _Shown()
    for nodes in (1, 2, 4):
        cluster = Cluster(nodes)
        try:
            for clients in (20, 100):
                made = _clients(cluster.port, clients)
                before = cluster.cpu()
                started = time.monotonic()
                times, failed, _ = _load(made, SECONDS)
                took = time.monotonic() - started
                after = cluster.cpu()
                key = f"cluster:{nodes}_nodes_{clients}_clients"
                results[f"{key}_calls_per_s"] = len(times) / took
                results[f"{key}_p50_s"] = statistics.median(times)
                results[f"{key}_p95_s"] = _pct(times, 0.95)
                results[f"{key}_failed"] = failed
                for part in ("nodes", "workers", "haproxy"):
                    results[f"{key}_{part}_cpu_per_call_s"] = \
                        (after[part] - before[part]) / len(times)
            if nodes == 2:
                _failover_and_roll(cluster, results)
        finally:
            cluster.stop()
    results.update(_store_cost())
    return results


def _failover_and_roll(cluster: Cluster, results: dict[str, float]) -> None:
    client = ModernClient(cluster.port)
    for i in range(20):
        client.call("write_file", path=f"f{i * 4}.txt", content="x")
    node = cluster.holder(client.workspace)
    os.kill(cluster.nodes[node][0], signal.SIGKILL)
    started = time.perf_counter()
    client.conn.close()
    client.call("list_files")
    results["cluster:failover_next_call_s"] = time.perf_counter() - started
    results["cluster:failover_lost_changes"] = _lost([(client, list(range(0, 80, 4)))])
    # Every node in turn, the killed one too, under 20 clients, and one more
    # that opens and closes workspaces (a draining node hands those on).
    stop = threading.Event()
    outcome: dict[str, Any] = {}
    opened = [0, 0]  # workspaces opened and closed, failures

    made = _clients(cluster.port, 20)

    def load() -> None:
        outcome["load"] = _load(made, 0, stop)

    def open_close() -> None:
        # At most 50: a workspace closed through another node than the one
        # that opened it stays counted against that node's --max-sessions.
        while not stop.is_set() and sum(opened) < 50:
            try:
                ModernClient(cluster.port).end()
                opened[0] += 1
            except Exception:  # noqa: BLE001 - a failed call is counted, not raised
                opened[1] += 1
    workers = [threading.Thread(target=load), threading.Thread(target=open_close)]
    for worker in workers:
        worker.start()
    mark = len(cluster.lines)
    cluster.proc.send_signal(signal.SIGHUP)
    cluster.expect("rolled", mark)
    stop.set()
    for worker in workers:
        worker.join()
    times, failed, pairs = outcome["load"]
    results["cluster:rolling_restart_calls"] = len(times) + opened[0] + opened[1]
    results["cluster:rolling_restart_failed_calls"] = failed + opened[1]
    results["cluster:rolling_restart_lost_changes"] = _lost(pairs)


def _store_cost() -> dict[str, float]:
    import tempfile
    results: dict[str, float] = {}
    where = os.path.join(tempfile.gettempdir(), f"vesk-bench-pg-{os.getpid()}")
    helper = str(ROOT / "scripts" / "pg-private.sh")
    url = subprocess.run([helper, "start", where], capture_output=True, text=True,
                         check=True).stdout.strip()
    try:
        for name, store in (("none", "none"), ("sqlite", ""), ("postgresql", url)):
            flags = ("--store", store) if store else ()
            server, port = start_server(*flags)
            try:
                client = ModernClient(port)
                client.call("list_files")
                results[f"cluster:write_file_{name}_store_s"] = statistics.median(
                    client.call("write_file", path="a.txt", content=str(i))[0]
                    for i in range(50))
            finally:
                server.terminate()
                server.wait(timeout=120)
    finally:
        subprocess.run([helper, "stop", where], check=True)
    return results


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name}: {value:.6g}")
