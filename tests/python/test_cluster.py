"""A cluster as scripts/run-cluster.sh starts it (a private PostgreSQL
cluster, real HAProxy, three `vesk serve` nodes), driven through HAProxy by
the official SDK clients: workspaces and legacy sessions survive a node
killed with SIGKILL and a rolling restart of every node with nothing
acknowledged lost; a node paused past its lease cannot write what another
took over; a workspace whose requests come through another node moves
there; PostgreSQL restarting under a call is waited out; and a stop in the
middle of a rolling restart leaves nothing behind."""

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

from cluster_util import RunCluster
from mcp_util import Clients, Gate, command_line, server_env
from test_server_store import wait_for

PG_BIN = "/usr/lib/postgresql/15/bin"
LEASE = 3
META = {"io.modelcontextprotocol/protocolVersion": "2026-07-28",
        "io.modelcontextprotocol/clientCapabilities": {}}


def _need(ok: bool, what: str) -> None:
    if not ok:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{what} is not installed (scripts/setup.sh --tests)")
        pytest.skip(f"{what} is not installed (scripts/setup.sh --tests)")


@pytest.fixture(scope="module")
def cluster():
    _need(shutil.which("haproxy") is not None, "HAProxy")
    _need(shutil.which("initdb", path=PG_BIN) is not None, "PostgreSQL 15")
    _need(importlib.util.find_spec("psycopg") is not None, "psycopg")
    running = RunCluster(3, server_env(), "--lease-secs", str(LEASE))
    try:
        yield running
    finally:
        if running.proc.poll() is None:
            assert running.stop() == 0


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

    # One opened on a node and closed through another, before it ever ran:
    # closed where it was opened, so it no longer counts there.
    def live() -> int:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        conn.request("GET", "/metrics")
        text = conn.getresponse().read().decode()
        conn.close()
        return int(next(line.split()[1] for line in text.splitlines()
                        if line.startswith('vesk_workspaces{state="live"}')))
    before = live()
    opened = ok(raw_call(port, "create_workspace", {}))["workspace"]
    ok(raw_call(cluster.nodes[node][1], "close_workspace", {}, workspace=opened))
    wait_for(lambda: live() <= before, "the workspace to stop counting where it was opened")


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
        # The command itself running: the lease is taken when the workspace is
        # made, before its worker has opened the store.
        wait_for(lambda: any(str(gate.flag) in command_line(int(p))
                             for p in os.listdir("/proc") if p.isdigit()), "the call to start")
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


def test_a_stop_during_a_rolling_restart_leaves_nothing_behind(cluster):
    mark = len(cluster.lines)
    first = cluster.nodes[1][0]
    cluster.proc.send_signal(signal.SIGHUP)
    # Node 1 drained and gone: the script starts it again and waits for
    # HAProxy's checks, and is stopped there.
    wait_for(lambda: not os.path.exists(f"/proc/{first}"), "node 1 to restart")
    started = time.monotonic()
    assert cluster.stop() == 0
    print(f"stopped {time.monotonic() - started:.1f} s after SIGTERM", cluster.lines[mark:])
    assert not os.path.exists(cluster.dir)
    left = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
    assert cluster.dir not in left
