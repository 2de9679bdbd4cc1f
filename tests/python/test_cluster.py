"""A cluster as scripts/run-cluster.sh starts it (a private PostgreSQL
cluster, real HAProxy, three `vesk serve` nodes), driven through HAProxy by
the official SDK clients: workspaces and legacy sessions survive a node
killed with SIGKILL and a rolling restart of every node with nothing
acknowledged lost; a node paused past its lease cannot write what another
took over; PostgreSQL restarting under a call is waited out."""

from __future__ import annotations

import http.client
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import threading
import time

import pytest

from mcp_util import ROOT, Clients, Gate, server_env
from test_server_store import wait_for

SCRIPT = str(ROOT / "scripts" / "run-cluster.sh")
PG_BIN = "/usr/lib/postgresql/15/bin"
LEASE = 3
META = {"io.modelcontextprotocol/protocolVersion": "2026-07-28",
        "io.modelcontextprotocol/clientCapabilities": {}}


def _need(ok: bool, what: str) -> None:
    if not ok:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{what} is not installed (scripts/setup.sh --tests)")
        pytest.skip(f"{what} is not installed (scripts/setup.sh --tests)")


class Cluster:
    """scripts/run-cluster.sh, with what it printed."""

    def __init__(self, nodes: int) -> None:
        self.proc = subprocess.Popen(
            [SCRIPT, "--nodes", str(nodes), "--port", "0", "--lease-secs", str(LEASE),
             "--no-setup"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=server_env(), text=True)
        self.nodes: dict[int, tuple[int, int]] = {}  # i: (pid, port)
        self.lines: list[str] = []
        self._seen = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.expect("ready")
        self.url = next(line.split()[1] for line in self.lines if line.startswith("cluster "))
        self.postgres = next(line.split()[1] for line in self.lines
                             if line.startswith("postgres "))
        self.dir = next(line.split()[1] for line in self.lines if line.startswith("logs "))

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            words = line.split()
            with self._seen:
                if words[:1] == ["node"]:
                    self.nodes[int(words[1])] = (int(words[2]), int(words[3]))
                self.lines.append(line.strip())
                self._seen.notify_all()
        with self._seen:
            self.lines.append("<ended>")
            self._seen.notify_all()

    def expect(self, line: str, after: int = 0) -> None:
        with self._seen:
            assert self._seen.wait_for(lambda: line in self.lines[after:] or
                                       "<ended>" in self.lines, timeout=300), line
            assert line in self.lines[after:], self.lines

    def holder(self, workspace: str) -> int:
        """The node whose lease the workspace is under (0: none)."""
        import psycopg
        with psycopg.connect(self.postgres) as db:
            row = db.execute("SELECT node FROM leases WHERE workspace=%s",
                             (workspace,)).fetchone()
        return int(row[0].removeprefix("node")) if row else 0

    def down(self, node: int) -> bool:
        """Whether HAProxy's checks found `node` down in every backend."""
        import socket
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(os.path.join(self.dir, "haproxy.sock"))
            s.sendall(b"show stat\n")
            data = b"".join(iter(lambda: s.recv(65536), b""))
        states = [f[17] for f in (line.split(",") for line in data.decode().splitlines())
                  if len(f) > 17 and f[1] == f"node{node}"]
        return bool(states) and all(state.startswith("DOWN") for state in states)

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGTERM)
        assert self.proc.wait(timeout=300) == 0
        assert not os.path.exists(self.dir)


@pytest.fixture(scope="module")
def cluster():
    _need(shutil.which("haproxy") is not None, "HAProxy")
    _need(shutil.which("initdb", path=PG_BIN) is not None, "PostgreSQL 15")
    _need(importlib.util.find_spec("psycopg") is not None, "psycopg")
    running = Cluster(3)
    try:
        yield running
    finally:
        if running.proc.poll() is None:
            running.stop()


@pytest.fixture(scope="module")
def clients(cluster):
    bridge = Clients()
    bridge.do("connect", "v2", transport="http", url=cluster.url, modern=True)
    bridge.do("connect", "v1", transport="http", url=cluster.url)
    yield bridge
    bridge.close()


def ok(result: dict) -> dict:
    assert not result.get("isError"), result
    return result["structuredContent"]


def call(clients: Clients, client: str, tool: str, **arguments) -> dict:
    return clients.do("callTool", client, name=tool, arguments=arguments)


def raw_call(port: int, tool: str, headers: dict[str, str], **arguments) -> dict:
    """A tool call of revision 2026-07-28 straight to one node."""
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": tool, "arguments": arguments, "_meta": META}})
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    try:
        conn.request("POST", "/mcp", body, {
            "Content-Type": "application/json", "MCP-Protocol-Version": "2026-07-28",
            "Accept": "application/json, text/event-stream", "Mcp-Method": "tools/call",
            "Mcp-Name": tool, **headers})
        answer = conn.getresponse()
        assert answer.status == 200
        return json.loads(answer.read())["result"]
    finally:
        conn.close()


def test_both_clients_through_haproxy_and_a_node_killed(cluster, clients):
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    for i in range(3):
        ok(call(clients, "v2", "write_file", workspace=handle, path="a.txt", content=f"v{i}"))
    ok(call(clients, "v1", "write_file", path="s.txt", content="legacy"))
    node = cluster.holder(handle)
    assert ok(call(clients, "v2", "read_file", workspace=handle, path="a.txt"))["content"] == "v2"
    # Health says nothing but whether the node serves, and needs no token.
    conn = http.client.HTTPConnection("127.0.0.1", cluster.nodes[node][1], timeout=60)
    conn.request("GET", "/health")
    assert conn.getresponse().read() == b"ok\n"
    conn.close()

    os.kill(cluster.nodes[node][0], signal.SIGKILL)
    started = time.monotonic()
    read = call(clients, "v2", "read_file", workspace=handle, path="a.txt")
    took = time.monotonic() - started
    assert ok(read)["content"] == "v2"
    assert cluster.holder(handle) != node
    print(f"failover: next call answered after {took:.2f} s")
    history = ok(call(clients, "v2", "list_history", workspace=handle))
    assert [c["id"] for c in history["checkpoints"]] == [0, 1, 2, 3]
    assert ok(call(clients, "v1", "read_file", path="s.txt"))["content"] == "legacy"


def test_a_rolling_restart_loses_no_call_and_no_change(cluster, clients):
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    failed: list[str] = []
    written = 0
    rolled = threading.Event()

    def loop() -> None:
        nonlocal written
        while not rolled.is_set() or written < 5:
            result = call(clients, "v2", "write_file", workspace=handle, path=f"f{written}",
                          content=str(written))
            if result.get("isError"):
                failed.append(result["content"][0]["text"])
            # Opened on a draining node: handed on to another, never refused.
            opened = ok(call(clients, "v2", "create_workspace"))["workspace"]
            ok(call(clients, "v2", "close_workspace", workspace=opened))
            written += 1
            legacy = call(clients, "v1", "write_file", path="n.txt", content=str(written))
            if legacy.get("isError"):
                failed.append(legacy["content"][0]["text"])

    mark = len(cluster.lines)
    worker = threading.Thread(target=loop)
    worker.start()
    try:
        cluster.proc.send_signal(signal.SIGHUP)  # every node in turn, the killed one too
        cluster.expect("rolled", mark)
    finally:
        rolled.set()
        worker.join(timeout=300)
    assert failed == []
    files = ok(call(clients, "v2", "list_files", workspace=handle))
    names = {f["path"] for f in files["files"]}
    assert names == {f"f{i}" for i in range(written)}
    assert ok(call(clients, "v1", "read_file", path="n.txt"))["content"] == str(written)


def test_a_workspace_reached_through_another_node_moves_there(cluster, clients):
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    ok(call(clients, "v2", "write_file", workspace=handle, path="a.txt", content="here"))
    node = cluster.holder(handle)
    other = next(i for i in cluster.nodes if i != node)
    port = cluster.nodes[other][1]
    # Handed on to the holder for a while; then it parks the workspace, and
    # the node its requests come through takes it over.
    wait_for(lambda: ok(raw_call(port, "read_file", {}, workspace=handle, path="a.txt"))
             ["content"] == "here" and cluster.holder(handle) == other,
             "the workspace to move to the node its requests come through")


def test_a_paused_node_cannot_write_a_workspace_taken_over(cluster, clients):
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    ok(call(clients, "v2", "write_file", workspace=handle, path="a.txt", content="one"))
    node = cluster.holder(handle)
    pid, port = cluster.nodes[node]
    os.kill(pid, signal.SIGSTOP)
    try:
        # HAProxy finds it down; another node waits out the lease and takes over.
        wait_for(lambda: cluster.down(node), "HAProxy to find the paused node down")
        ok(call(clients, "v2", "write_file", workspace=handle, path="a.txt", content="two"))
        assert cluster.holder(handle) != node
    finally:
        os.kill(pid, signal.SIGCONT)
    # A client that still reaches the old node is handed on to the new one...
    assert ok(raw_call(port, "read_file", {}, workspace=handle, path="a.txt"))["content"] == "two"
    # ...and a request it serves itself cannot change what the other holds.
    wait_for(lambda: cluster.holder(handle) != node, "the lease to stay moved")
    result = raw_call(port, "write_file", {"Vesk-Forwarded": "1"}, workspace=handle,
                      path="a.txt", content="stale")
    if result["isError"]:
        assert "no longer holds the workspace" in result["content"][0]["text"] or \
            "served by another node" in result["content"][0]["text"]
    assert ok(call(clients, "v2", "read_file", workspace=handle, path="a.txt"))["content"] \
        == "two"


def test_postgres_restarting_under_a_call_is_waited_out(cluster, clients):
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    gate = Gate()
    try:
        running = clients.start("callTool", "v2", name="run_shell", arguments={
            "workspace": handle, "command": gate.command + "; echo done > out.txt"})
        wait_for(lambda: cluster.holder(handle) > 0, "the call to start")
        where = cluster.postgres.split("host=")[1]
        as_owner = ["runuser", "-u", "nobody", "--"] if os.geteuid() == 0 else []
        # Its log to a file: the server it starts would hold a pipe open.
        subprocess.run([*as_owner, f"{PG_BIN}/pg_ctl", "-D", f"{where}/data", "-l",
                        f"{where}/server.log", "-m", "fast", "-w", "-t", "120", "restart"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        gate.open()
        result = running.result(timeout=300)
        if result.get("isError"):  # a clear error, and the next call goes through
            assert "could not be saved" in result["content"][0]["text"], result
        deadline = time.monotonic() + 120
        while True:
            read = call(clients, "v2", "read_file", workspace=handle, path="out.txt")
            if not read.get("isError") or time.monotonic() > deadline:
                break
        assert ok(read)["content"] == "done\n"
    finally:
        gate.remove()
