"""Figures of `vesk serve --http` against the module's own.

- Isolation: a call to session B while session A runs `sleep 4` in its shell,
  against the same call while A is idle (the delay is the difference of the
  medians of 20 calls each).
- Load: 20 HTTP clients (processes of their own, one session each) make 50
  mixed calls each (write, read, list, Python, shell) and check every answer;
  one client alone makes the same calls first. The overhead of a call is
  the client's round trip minus the time the worker spent in the module for
  it (reported by the server in `_meta`): the server, its transport, the
  worker's channel and the client's own parsing, with, under load, their
  waits for a processor. The server process's CPU time per call is printed
  too (its share of the calls, initialize and DELETE included), and, next to
  the round trips under load, the same calls made directly on a VeskSession
  by 20 processes at once: on a machine with fewer cores than processes the
  difference of those medians is mostly the clients' and workers' share of
  the processors (a served call passes through three processes, a direct
  one through one), not time the server adds. Clients that call without a
  pause keep a machine of few cores saturated, and the server answers them
  on one thread: a call then waits for the calls of the others (about the
  server's CPU time per call for each client ahead of it). The same 20
  clients pausing 50 ms between their calls, as clients that think do, show
  the overhead on a machine that is not saturated.
- Start and memory: the first call of a new session (which starts its worker
  and its session) against `VeskSession()` in a process of its own; an idle
  session's resident memory (worker and runner) against the runner of a
  session made by the module alone. New sessions a second apart (the
  spare runner and the standby worker ready again), 20 of each: MCP
  sessions (initialize answered, and to the first run_python's answer) and
  workspaces of revision 2026-07-28 (create_workspace answered, and to the
  first run_python's answer).
- The server's own resident memory before and after 1000 sessions opened and
  ended (sessions without a worker: what the server itself keeps).
- Durability: the time a call spends in its worker (the module and the
  store's write) with `--store` on against `--store none`, on a workspace of
  100 MB: a run that changes no file, and a write of a 1 MB file. The
  first call of a workspace parked into the store (its worker ended), and,
  after the server is killed, the time from a new server's start on the same
  store to the first answer to the old session (its interpreter back).
- Density: VESK_BENCH_WORKSPACES (default 100) sessions, each with a file
  and a variable, all parked into the store: the memory of the server and
  everything below it, the store's size, and the first call of a few of them
  (resumed from the store).
- Density at scale: VESK_BENCH_DENSITY (default 10,000) parked sessions, made
  fast: five real sessions are parked, then copied through the store's own
  API (Store.write with their rows, contents and images) under new session
  ids; a new server on the store then resumes 20 of them and keeps them
  live. Figures: the memory of the server and everything below it with the
  20 live, the store's size, and the first calls of those 20 (p50, p95),
  made a second apart so that the server's spare runner is ready for each.

Messages on standard error from the runners (micropip, without a CDN) are
the runners' own.
"""

from __future__ import annotations

import atexit
import base64
import functools
import http.client
import json
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

from mcp_util import descendants  # noqa: E402

FIGURES = [
    {"title": "server: call to session B while A runs sleep 4, delay",
     "value": "server:busy_neighbour_delay_s", "unit": "s", "max_value": 0.05},
    {"title": "server: that call, median, vs the same while A is idle",
     "value": "server:call_beside_busy_s", "unit": "s", "baseline": "server:call_alone_s"},
    {"title": "server: one client, 50 mixed calls, overhead median",
     "value": "server:overhead_alone_median_s", "unit": "s", "max_value": 0.002},
    {"title": "server: 20 clients x 50 calls, overhead over the module",
     "value": "server:load_overhead_median_s", "unit": "s", "max_value": 0.002},
    {"title": "server: the same, each client pausing 50 ms between calls",
     "value": "server:paced_overhead_median_s", "unit": "s"},
    {"title": "server: 20 clients x 50 calls, round trip vs 20 direct callers",
     "value": "server:load_call_median_s", "unit": "s", "baseline": "server:load_direct_median_s"},
    {"title": "server: 20 clients x 50 mixed calls, server CPU per call",
     "value": "server:server_cpu_per_call_s", "unit": "s", "max_value": 0.002},
    {"title": "server: 20 clients x 50 mixed calls, answered correctly",
     "value": "server:correct_fraction", "unit": "x", "min_value": 1.0},
    {"title": "server: session start (first call) vs VeskSession()",
     "value": "server:session_start_s", "unit": "s", "baseline": "server:module_start_s"},
    {"title": "server: new session, spare runner ready: initialize answered",
     "value": "server:new_session_spare_ready_s", "unit": "s", "max_value": 0.05},
    {"title": "server: new session, spare runner ready: initialize to the first call's answer",
     "value": "server:new_session_first_call_spare_ready_s", "unit": "s", "max_value": 0.2},
    {"title": "server: new workspace, spare runner ready: create_workspace answered",
     "value": "server:new_workspace_spare_ready_s", "unit": "s", "max_value": 0.05},
    {"title": "server: new workspace, spare runner ready: create_workspace to the first "
              "run_python's answer",
     "value": "server:new_workspace_first_call_spare_ready_s", "unit": "s", "max_value": 0.2},
    {"title": "server: idle session (worker + runner) vs a module runner",
     "value": "server:idle_session_rss", "unit": "B", "baseline": "server:module_runner_rss"},
    {"title": "server: its own memory growth over 1000 sessions",
     "value": "server:rss_growth_1000_sessions", "unit": "B", "max_value": 2.0 * 1048576},
    {"title": "server: store on, a run changing nothing on 100 MB, vs store off",
     "value": "server:store_unchanged_call_s", "unit": "s",
     "baseline": "server:nostore_unchanged_call_s"},
    {"title": "server: store on, a 1 MB write on 100 MB, vs store off",
     "value": "server:store_write_1mb_s", "unit": "s", "baseline": "server:nostore_write_1mb_s"},
    {"title": "server: first call after a park, resumed from the store",
     "value": "server:resume_from_store_s", "unit": "s", "max_value": 0.5},
    {"title": "server: killed, restarted: start to the old session's first answer",
     "value": "server:restart_to_first_call_s", "unit": "s"},
    {"title": "server: parked sessions, memory of the server and all below it, per session",
     "value": "server:parked_rss_per_session", "unit": "B"},
    {"title": "server: parked sessions, store size per session",
     "value": "server:parked_store_per_session", "unit": "B"},
    {"title": "server: parked sessions, first call resumed from the store, median",
     "value": "server:parked_first_call_s", "unit": "s", "max_value": 0.5},
    {"title": "server: 10,000 parked (copies of 5 real ones), 20 live: memory of all",
     "value": "server:density_rss", "unit": "B", "max_value": 8.0 * 1024 ** 3},
    {"title": "server: 10,000 parked (copies of 5 real ones): the store's size",
     "value": "server:density_store_bytes", "unit": "B"},
    {"title": "server: 10,000 parked: first call resumed from the store (a second apart), p50",
     "value": "server:density_first_call_p50_s", "unit": "s", "max_value": 0.5},
    {"title": "server: 10,000 parked: first call resumed from the store (a second apart), p95",
     "value": "server:density_first_call_p95_s", "unit": "s", "max_value": 0.5},
]

HEADERS = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}


_STATE = tempfile.mkdtemp(prefix="vesk-bench-state-")
atexit.register(shutil.rmtree, _STATE, True)


def _env() -> dict[str, str]:
    import vesk_internal

    env = dict(os.environ)
    # No network: a runner start (a resume's included) then does not try to
    # fetch micropip from a CDN this machine cannot reach, which costs it
    # 0.1-0.4 s (see park_bench.py).
    config = os.path.join(_STATE, "vesk.toml")
    with open(config, "w") as f:
        f.write("domain_allowlist = []\n")
    env["VESK_CONFIG"] = config
    env["XDG_STATE_HOME"] = _STATE  # the server's default store: never the user's
    paths = [str(ROOT / "python"), str(Path(vesk_internal.__file__).resolve().parent)]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(
        os.pathsep) if p])
    return env


def start_server(*flags: str, env: dict[str, str] | None = None) -> tuple[subprocess.Popen[str], int]:
    """`vesk serve --http` on a free loopback port with `flags`, once it
    listens, and that port; its standard error is read and dropped. Without
    a `--store` among the flags it keeps its default store (on over HTTP) in
    a state directory of its own (one server per store)."""
    if "--store" not in flags:
        flags = (*flags, "--store", os.path.join(tempfile.mkdtemp(dir=_STATE), "store.sqlite3"))
    server = subprocess.Popen([sys.executable, "-m", "vesk", "serve", "--http", "127.0.0.1:0",
                               *flags], env=_env() if env is None else env,
                              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    assert server.stderr is not None
    line = ""
    while "listening on" not in line:
        line = server.stderr.readline()
        assert line, "the server did not start"
    stderr = server.stderr
    threading.Thread(target=lambda: [None for _ in stderr], daemon=True).start()
    return server, int(line.rsplit(":", 1)[1].split("/")[0])


def _rss(pid: int | str = "self") -> int:
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _settled_rss(pids: list[int]) -> int:
    """Resident memory of `pids` once it holds still (to 1%) over a second."""
    last = sum(map(_rss, pids))
    for _ in range(30):
        time.sleep(1.0)
        now = sum(map(_rss, pids))
        if abs(now - last) <= last / 100:
            return now
        last = now
    return last


class Client:
    """One MCP session over one keep-alive connection."""

    def __init__(self, port: int) -> None:
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        self.session: str | None = None
        self.next_id = 0
        answer = self.send("initialize", {"protocolVersion": "2025-11-25", "capabilities": {},
                                          "clientInfo": {"name": "bench", "version": "1"}})
        assert "result" in answer, answer
        self.conn.request("POST", "/mcp", json.dumps({"jsonrpc": "2.0",
                                                      "method": "notifications/initialized"}),
                          {**HEADERS, "Mcp-Session-Id": self.session or ""})
        response = self.conn.getresponse()
        response.read()
        assert response.status == 202, response.status

    def send(self, method: str, params: dict[str, Any]) -> dict[str, Any]:
        self.next_id += 1
        headers = dict(HEADERS)
        if self.session:
            headers["Mcp-Session-Id"] = self.session
        body = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": method,
                           "params": params})
        self.conn.request("POST", "/mcp", body, headers)
        response = self.conn.getresponse()
        data = response.read()
        self.session = self.session or response.getheader("Mcp-Session-Id")
        answer: dict[str, Any] = json.loads(data)
        return answer

    def call(self, name: str, **arguments: Any) -> tuple[float, float, dict[str, Any]]:
        """(round trip, seconds in the tool, result)."""
        start = time.perf_counter()
        answer = self.send("tools/call", {"name": name, "arguments": arguments})
        elapsed = time.perf_counter() - start
        result = answer["result"]
        return elapsed, result.get("_meta", {}).get("vesk/module-seconds", 0.0), result

    def end(self) -> None:
        self.conn.request("DELETE", "/mcp", headers={"Mcp-Session-Id": self.session or ""})
        self.conn.getresponse().read()
        self.conn.close()


class Resumed(Client):
    """An MCP session the store brought back: no initialize."""

    def __init__(self, port: int, session: str) -> None:
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        self.session = session
        self.next_id = 0


def _mixed_calls(port: int, calls: int, pause: float = 0.0,
                 client_class: Any = Client) -> list[tuple[float, float, bool]]:
    client = client_class(port)
    client.call("list_files")  # the session starts here, outside the figures
    out = []
    for i in range(calls):
        if pause:
            time.sleep(pause)  # a client that thinks between its calls
        kind = i % 5
        if kind == 0:
            took, inside, result = client.call("write_file", path=f"f{i}.txt", content=f"v{i}\n")
            ok = result["structuredContent"]["size"] == len(f"v{i}\n")
        elif kind == 1:
            took, inside, result = client.call("read_file", path=f"f{i - 1}.txt")
            ok = result["structuredContent"]["content"] == f"v{i - 1}\n"
        elif kind == 2:
            took, inside, result = client.call("run_python", code=f"print({i} * 2)")
            ok = result["structuredContent"]["stdout"] == str(i * 2)
        elif kind == 3:
            took, inside, result = client.call("list_files")
            ok = len(result["structuredContent"]["files"]) == i // 5 + 1
        else:
            took, inside, result = client.call("run_shell", command=f"echo {i}")
            ok = result["structuredContent"]["stdout"] == f"{i}\n"
        out.append((took, inside, ok and not result["isError"]))
    client.end()
    return out


def _direct_calls(_: int, calls: int) -> list[tuple[float, float, bool]]:
    """The calls of _mixed_calls made on a VeskSession of this process, as
    the worker makes them: the module's own time under the same load."""
    import vesk_internal

    session = vesk_internal.VeskSession()
    session.execute_python("pass")
    out = []
    for i in range(calls):
        kind = i % 5
        start = time.perf_counter()
        if kind == 0:
            session.write_file(f"f{i}.txt", f"v{i}\n".encode())
            ok = session.current.id > 0
        elif kind == 1:
            ok = session.current.files[f"f{i - 1}.txt"] == f"v{i - 1}\n".encode()
        elif kind == 2:
            ok = session.execute_python(f"print({i} * 2)").stdout == str(i * 2)
        elif kind == 3:
            ok = len(sorted(session.current.files)) == i // 5 + 1
        else:
            ok = session.execute_bash(f"echo {i}").stdout == f"{i}\n"
        out.append((time.perf_counter() - start, 0.0, ok))
    return out


def _in_processes(clients: int, port: int, calls: int,
                  work: Any = None) -> list[list[tuple[float, float, bool]]]:
    """_mixed_calls (or `work`) in `clients` forked processes at once (forked,
    so that nothing needs pickling but the results), the calls of each."""
    work = work or _mixed_calls
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    processes = [context.Process(target=lambda: results.put(work(port, calls)))
                 for _ in range(clients)]
    for process in processes:
        process.start()
    out = [results.get(timeout=600) for _ in processes]
    for process in processes:
        process.join()
    return out


_MODULE_PROBE = """
import sys, time, json
t = time.perf_counter()
import vesk_internal
s = vesk_internal.VeskSession()
start = time.perf_counter() - t
s.execute_python("pass")
print(json.dumps({"start": start}), flush=True)
sys.stdin.read()
"""


def _module_figures(env: dict[str, str]) -> tuple[float, int]:
    """Median VeskSession() time (import included) and an idle runner's
    memory, each in a process of its own."""
    starts, memory = [], 0
    for _ in range(3):
        probe = subprocess.Popen([sys.executable, "-c", _MODULE_PROBE], env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert probe.stdout is not None and probe.stdin is not None
        starts.append(json.loads(probe.stdout.readline())["start"])
        runners = [p for p in descendants(probe.pid) if "deno" in Path(
            f"/proc/{p}/cmdline").read_bytes().decode(errors="replace")]
        memory = _settled_rss(runners)
        probe.stdin.close()
        probe.wait()
    return statistics.median(starts), memory


def _new_sessions(port: int, rounds: int = 20) -> dict[str, float]:
    """New sessions each a second after the last (the spare runner and the
    standby worker ready again): an MCP session (initialize answered, and to
    its first call's answer), and a workspace (create_workspace answered,
    and to its first call's answer)."""
    from server_revision_bench import ModernClient

    figures: dict[str, list[float]] = {}
    for _ in range(rounds):
        for name, client_class in (("session", Client), ("workspace", ModernClient)):
            time.sleep(1.0)
            start = time.perf_counter()
            client = client_class(port)
            figures.setdefault(f"server:new_{name}_spare_ready_s", []).append(
                time.perf_counter() - start)
            _, _, result = client.call("run_python", code="pass")
            assert not result.get("isError"), result
            figures.setdefault(f"server:new_{name}_first_call_spare_ready_s", []).append(
                time.perf_counter() - start)
            client.end()
    return {name: statistics.median(values) for name, values in figures.items()}


def _durability(env: dict[str, str], store: str, name: str) -> dict[str, float]:
    """Seconds in the worker (median of 20) of a run that changes no file and
    of a 1 MB write, on a workspace of 100 MB, with `--store store`."""
    server, port = start_server("--store", store, "--park-after", "0", env=env)
    try:
        client = Client(port)
        _, _, made = client.call("run_python", code="import os\nfor i in range(10):\n"
                                 "    open(f'big{i}', 'wb').write(os.urandom(10 << 20))")
        assert not made["isError"], made
        unchanged = [client.call("run_python", code="x = 1")[1] for _ in range(20)]
        writes = [client.call("write_file", path="one", encoding="base64", content=base64.b64encode(
            os.urandom(1 << 20)).decode())[1] for _ in range(20)]
        client.end()
    finally:
        server.terminate()
        server.wait(timeout=120)
    return {f"server:{name}_unchanged_call_s": statistics.median(unchanged),
            f"server:{name}_write_1mb_s": statistics.median(writes)}


def _parked(server: subprocess.Popen[str]) -> None:
    """Waits until the server has no worker left (its workspace parked)."""
    def command(pid: int) -> str:
        try:
            return Path(f"/proc/{pid}/cmdline").read_bytes().decode(errors="replace")
        except OSError:
            return ""  # it ended between the listing and the read

    deadline = time.monotonic() + 120
    while any("vesk.server.worker" in command(p) for p in descendants(server.pid)):
        assert time.monotonic() < deadline, "the workspace did not park"
        time.sleep(0.02)


def _restart_figures(env: dict[str, str]) -> dict[str, float]:
    store = os.path.join(_STATE, "restart.sqlite3")
    server, port = start_server("--store", store, "--park-after", "1", env=env)
    try:
        client = Client(port)
        client.call("run_python", code="x = 41")
        _parked(server)
        resume, _, result = client.call("run_python", code="print(x + 1)")
        assert result["structuredContent"]["stdout"].strip() == "42", result
        _parked(server)
        server.kill()  # its workers die with it
        server.wait(timeout=120)
        started = time.perf_counter()
        server, port = start_server("--store", store, "--park-after", "1", env=env)
        _, _, result = Resumed(port, client.session or "").call("run_python",
                                                                code="print(x + 1)")
        restart = time.perf_counter() - started
        assert result["structuredContent"]["stdout"].strip() == "42", result
    finally:
        server.terminate()
        server.wait(timeout=120)
    return {"server:resume_from_store_s": resume, "server:restart_to_first_call_s": restart}


def _density(env: dict[str, str], count: int) -> dict[str, float]:
    store = os.path.join(_STATE, "density.sqlite3")
    server, port = start_server("--store", store, "--park-after", "1", "--max-sessions", "64",
                                env=env)
    try:
        sessions = []
        for i in range(count):
            client = Client(port)
            client.call("write_file", path="notes.txt", content=f"session {i}\n" * 100)
            client.call("run_python", code=f"x = {i}")
            sessions.append(client.session or "")
            client.conn.close()
        _parked(server)
        rss = _settled_rss([server.pid, *descendants(server.pid)])
        size = sum(os.path.getsize(store + suffix) for suffix in ("", "-wal")
                   if os.path.exists(store + suffix))
        firsts = []
        for i in range(0, count, max(1, count // 5)):
            took, _, result = Resumed(port, sessions[i]).call("run_python", code="print(x)")
            assert result["structuredContent"]["stdout"].strip() == str(i), result
            firsts.append(took)
    finally:
        server.terminate()
        server.wait(timeout=120)
    return {"server:parked_rss_per_session": rss / count,
            "server:parked_store_per_session": size / count,
            "server:parked_first_call_s": statistics.median(firsts)}


def _copies(store: str, sources: list[str], count: int) -> list[str]:
    """`count` new sessions in the store, copies of `sources` (parked), each
    written as a worker writes one; their ids."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    from vesk.server.store import SESSION, Store

    db = Store(store, check=False)
    made = []
    try:
        originals = []
        for source in sources:
            loaded = db.load(source)
            found = db.find(source)
            assert loaded is not None and loaded.image is not None and found is not None, \
                "a source is not parked"
            digests = [bytes(r[0]) for r in db._db.execute(
                "SELECT DISTINCT hash FROM refs WHERE workspace=?", (source,))]
            journal = {"dropped": [], "written": list(zip(loaded.made_by, loaded.rows)),
                       "contents": digests, "parts": loaded.parts,
                       "current_id": loaded.current_id}
            originals.append((loaded, found, journal))
        for i in range(count):
            loaded, found, journal = originals[i % len(originals)]
            copy = f"density-{i:05d}-{os.urandom(8).hex()}"
            db.add(copy, found.principal, SESSION, found.protocol)
            db.write(copy, journal, db.content,
                     lambda c: (loaded.made_by.get(c), loaded.made_at.get(c)),
                     image=loaded.image, image_compressed=loaded.image_compressed)
            made.append(copy)
    finally:
        db.close()
    return made


def _density_at_scale(env: dict[str, str], count: int) -> dict[str, float]:
    store = os.path.join(_STATE, "scale.sqlite3")
    server, port = start_server("--store", store, "--park-after", "1", env=env)
    try:
        sources = []
        for i in range(5):
            client = Client(port)
            client.call("write_file", path="notes.txt", content=f"source {i}\n" * 100)
            client.call("run_python", code=f"x = {i % 5}")
            sources.append(client.session or "")
            client.conn.close()
        _parked(server)
    finally:
        server.terminate()
        server.wait(timeout=120)
    copies = _copies(store, sources, count)
    # Parking on (as a server's default is), but not within the measurement:
    # a server that never parks keeps no spare runner, and every resume
    # would start a runner of its own.
    server, port = start_server("--store", store, "--park-after", "3600", env=env)
    try:
        firsts = []
        for i in range(0, count, max(1, count // 20))[:20]:
            time.sleep(1.0)  # the server's spare runner ready again, as for a new session
            took, _, result = Resumed(port, copies[i]).call("run_python", code="print(x)")
            assert result["structuredContent"]["stdout"].strip() == str(i % 5), result
            firsts.append(took)
        rss = _settled_rss([server.pid, *descendants(server.pid)])
        size = sum(os.path.getsize(store + suffix) for suffix in ("", "-wal")
                   if os.path.exists(store + suffix))
    finally:
        server.terminate()
        server.wait(timeout=120)
    firsts.sort()
    return {"server:density_rss": float(rss), "server:density_store_bytes": float(size),
            "server:density_first_call_p50_s": statistics.median(firsts),
            "server:density_first_call_p95_s": firsts[min(len(firsts) - 1,
                                                          round(0.95 * (len(firsts) - 1)))]}


def run() -> dict[str, float]:
    env = _env()
    server, port = start_server("--max-sessions", "64", env=env)
    results: dict[str, float] = {}
    try:
        # Start time of a session (its first call) and its idle memory.
        starts = []
        for _ in range(3):
            client = Client(port)
            took, _, _ = client.call("list_files")
            starts.append(took)
            client.end()
        results["server:session_start_s"] = statistics.median(starts)
        results.update(_new_sessions(port))
        idle = Client(port)
        idle.call("run_python", code="pass")
        before = set(descendants(server.pid))
        results["server:idle_session_rss"] = float(_settled_rss(list(before)))
        idle.end()

        # A call to B while A runs `sleep 4`.
        a, b = Client(port), Client(port)
        a.call("list_files")
        b.call("list_files")
        alone = [b.call("run_python", code="x = 1")[0] for _ in range(20)]
        sleeper = threading.Thread(target=a.call, args=("run_shell",), kwargs={"command": "sleep 4"})
        sleeper.start()
        while not any("bwrap" in Path(f"/proc/{p}/cmdline").read_bytes().decode(errors="replace")
                      for p in descendants(server.pid)):
            time.sleep(0.01)
        beside = [b.call("run_python", code="x = 1")[0] for _ in range(20)]
        assert sleeper.is_alive(), "the 20 calls took longer than the sleep"
        sleeper.join()
        results["server:call_beside_busy_s"] = statistics.median(beside)
        results["server:call_alone_s"] = statistics.median(alone)
        results["server:busy_neighbour_delay_s"] = statistics.median(beside) - statistics.median(
            alone)
        a.end()
        b.end()

        # The same mixed calls, one client alone, then 20 at once.
        alone_calls = _mixed_calls(port, 50)
        assert all(ok for _, _, ok in alone_calls)
        results["server:overhead_alone_median_s"] = statistics.median(
            t - m for t, m, _ in alone_calls)
        cpu_before = _cpu_seconds(server.pid)
        per_client = _in_processes(20, port, 50)
        calls = [c for client in per_client for c in client]
        results["server:server_cpu_per_call_s"] = (_cpu_seconds(server.pid) - cpu_before) / (
            len(calls) + 2 * 20)
        results["server:correct_fraction"] = sum(ok for _, _, ok in calls) / len(calls)
        results["server:load_overhead_median_s"] = statistics.median(
            took - inside for took, inside, _ in calls)
        results["server:load_call_median_s"] = statistics.median(took for took, _, _ in calls)
        paced = _in_processes(20, port, 50, functools.partial(_mixed_calls, pause=0.05))
        assert all(ok for client in paced for _, _, ok in client)
        results["server:paced_overhead_median_s"] = statistics.median(
            took - inside for client in paced for took, inside, _ in client)
        direct = _in_processes(20, 0, 50, _direct_calls)
        assert all(ok for client in direct for _, _, ok in client)
        results["server:load_direct_median_s"] = statistics.median(
            took for client in direct for took, _, _ in client)

        # The server's own memory over 1000 sessions opened and ended.
        def cycle(count: int) -> None:
            for _ in range(count):
                Client(port).end()

        cycle(300)
        before_rss = _rss(server.pid)
        cycle(1000)
        results["server:rss_growth_1000_sessions"] = float(max(0, _rss(server.pid) - before_rss))
    finally:
        server.terminate()
        server.wait(timeout=120)
    results["server:module_start_s"], module_rss = _module_figures(env)
    results["server:module_runner_rss"] = float(module_rss)
    results.update(_durability(env, os.path.join(_STATE, "bench.sqlite3"), "store"))
    results.update(_durability(env, "none", "nostore"))
    results.update(_restart_figures(env))
    results.update(_density(env, int(os.environ.get("VESK_BENCH_WORKSPACES", "100"))))
    results.update(_density_at_scale(env, int(os.environ.get("VESK_BENCH_DENSITY", "10000"))))
    return results


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name} = {value:.6g}")
