"""`vesk serve` on protocol revision 2026-07-28 (no handshake, no session):
the SDK's second version drives workspaces by handle over both transports,
two principals cannot reach each other's, and raw requests whose headers
contradict their body, or that name a forged or closed handle, are refused."""

from __future__ import annotations

import base64

import pytest

from mcp_util import Clients, ServerProcess, command_line, descendants, serve_command, server_env

META = {"io.modelcontextprotocol/protocolVersion": "2026-07-28",
        "io.modelcontextprotocol/clientCapabilities": {}}
NO_SUCH = "no such workspace"


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    tokens = tmp_path_factory.mktemp("tokens") / "tokens"
    tokens.write_text("alice:tok-alice\nbob:tok-bob\n")
    process = ServerProcess("--token-file", str(tokens), env=server_env())
    yield process
    assert process.stop() == 0


def ok(result: dict) -> dict:
    assert not result.get("isError"), result
    return result["structuredContent"]


def refused(result: dict) -> str:
    assert result["isError"] is True, result
    return result["content"][0]["text"]


@pytest.mark.parametrize("transport", ["http", "stdio"])
def test_a_modern_client_works_in_workspaces_by_handle(clients, server, transport):
    name = f"modern-{transport}"
    if transport == "http":
        clients.do("connect", name, modern=True, transport="http", url=server.url,
                   headers={"Authorization": "Bearer tok-alice"})
    else:
        command = serve_command()
        clients.do("connect", name, modern=True, transport="stdio", command=command[0],
                   args=command[1:], env=server_env())
    found = clients.do("discover", name)
    assert "2026-07-28" in found["supportedVersions"] and found["cacheScope"] == "public"
    tools = {t["name"] for t in clients.do("listTools", name)["tools"]}
    assert {"create_workspace", "close_workspace", "list_workspaces", "run_python"} <= tools

    def call(tool: str, **arguments) -> dict:
        return clients.do("callTool", name, name=tool, arguments=arguments)

    one = ok(call("create_workspace"))["workspace"]
    two = ok(call("create_workspace"))["workspace"]
    assert one != two and len(one) >= 22  # at least 128 random bits, base64
    ok(call("run_python", workspace=one, code="x = 41"))
    assert ok(call("run_python", workspace=one, code="print(x + 1)"))["stdout"].strip() == "42"
    assert "NameError" in refused(call("run_python", workspace=two, code="print(x)"))
    ok(call("write_file", workspace=two, path="a.txt", content="in two"))
    read = clients.do("readResource", name, uri="vesk://workspace/a.txt", workspace=two)
    assert read["contents"][0]["text"] == "in two"
    assert "needs a workspace" in refused(call("list_files"))
    listed = {w["workspace"] for w in ok(call("list_workspaces"))["workspaces"]}
    assert {one, two} <= listed
    ok(call("close_workspace", workspace=two))
    assert NO_SUCH in refused(call("list_files", workspace=two))
    assert two not in {w["workspace"] for w in ok(call("list_workspaces"))["workspaces"]}
    ok(call("close_workspace", workspace=one))
    clients.do("close", name)


def test_principals_see_only_their_own_workspaces(clients, server):
    for who in ("alice", "bob"):
        clients.do("connect", who, modern=True, transport="http", url=server.url,
                   headers={"Authorization": f"Bearer tok-{who}"})
    mine = ok(clients.call("create_workspace", "alice"))["workspace"]
    ok(clients.call("write_file", "alice", workspace=mine, path="secret", content="a"))
    forged = refused(clients.call("read_file", "bob", workspace="A" * 32, path="secret"))
    theirs = refused(clients.call("read_file", "bob", workspace=mine, path="secret"))
    assert theirs == forged and NO_SUCH in theirs  # nothing tells them apart
    assert NO_SUCH in refused(clients.call("close_workspace", "bob", workspace=mine))
    assert ok(clients.call("list_workspaces", "bob"))["workspaces"] == []
    # A legacy session of alice's may name her handle; bob's may not.
    clients.connect_http(server.url, "alice-old", Authorization="Bearer tok-alice")
    clients.connect_http(server.url, "bob-old", Authorization="Bearer tok-bob")
    assert ok(clients.call("read_file", "alice-old", workspace=mine, path="secret"))[
        "content"] == "a"
    assert NO_SUCH in refused(clients.call("read_file", "bob-old", workspace=mine, path="x"))
    assert ok(clients.call("read_file", "alice", workspace=mine, path="secret"))["content"] == "a"
    for name in ("alice", "bob", "alice-old", "bob-old"):
        clients.do("close", name)


def raw(server: ServerProcess, method: str, params: dict, headers: dict[str, str | None],
        meta: dict | None = None) -> tuple[int, dict]:
    sent = {"Authorization": "Bearer tok-alice", "MCP-Protocol-Version": "2026-07-28",
            "Mcp-Method": method}
    if "name" in params:
        sent["Mcp-Name"] = params["name"]
    for key, value in headers.items():
        if value is None:
            sent.pop(key, None)
        else:
            sent[key] = value
    body = {"jsonrpc": "2.0", "id": 1, "method": method,
            "params": {**params, "_meta": META if meta is None else meta}}
    status, _, answer = server.post(body, extra=sent)
    return status, answer


CALL = {"name": "list_workspaces", "arguments": {}}
ENCODED = "=?base64?" + base64.b64encode(b"list_workspaces").decode() + "?="


@pytest.mark.parametrize("method, params, headers, meta, status, code", [
    ("tools/call", CALL, {}, None, 200, None),
    ("tools/call", CALL, {"Mcp-Name": ENCODED}, None, 200, None),
    ("tools/call", CALL, {"Mcp-Name": "create_workspace"}, None, 400, -32020),
    ("tools/call", CALL, {"Mcp-Name": None}, None, 400, -32020),
    ("tools/call", CALL, {"Mcp-Name": "=?base64?!!?="}, None, 400, -32020),
    ("tools/call", CALL, {"Mcp-Method": "tools/list"}, None, 400, -32020),
    ("tools/call", CALL, {"Mcp-Method": None}, None, 400, -32020),
    ("tools/call", CALL, {"MCP-Protocol-Version": "2025-11-25"}, None, 400, None),
    ("tools/call", CALL, {"MCP-Protocol-Version": None}, None, 400, -32020),
    ("tools/list", {}, {"MCP-Protocol-Version": "2099-01-01"},
     {**META, "io.modelcontextprotocol/protocolVersion": "2099-01-01"}, 400, -32022),
    ("tools/list", {}, {}, {"io.modelcontextprotocol/protocolVersion": "2026-07-28"}, 400,
     -32602),
    ("tools/list", {}, {}, {}, 400, -32602),
    ("ping", {}, {}, None, 404, -32601),
    ("tools/list", {}, {"Authorization": "Bearer tok-mallory"}, None, 401, None),
])
def test_raw_requests_whose_headers_or_meta_are_wrong_are_refused(server, method, params,
                                                                   headers, meta, status, code):
    got, answer = raw(server, method, params, headers, meta)
    assert got == status, answer
    if code is not None:
        assert answer["error"]["code"] == code
    if code == -32022:
        assert "2026-07-28" in answer["error"]["data"]["supported"]
    if status == 200:
        assert answer["result"]["resultType"] == "complete"
        assert answer["result"]["_meta"]["io.modelcontextprotocol/serverInfo"]["name"] == "vesk"


def test_forged_and_closed_handles_are_refused_alike(server):
    def call(tool: str, **arguments) -> dict:
        status, answer = raw(server, "tools/call", {"name": tool, "arguments": arguments}, {})
        assert status == 200, answer
        return answer["result"]

    handle = ok(call("create_workspace"))["workspace"]
    ok(call("close_workspace", workspace=handle))
    closed = refused(call("list_files", workspace=handle))
    assert NO_SUCH in closed and "it was closed" in closed
    assert NO_SUCH in refused(call("list_files", workspace=handle[:-1] + "x"))
    status, answer = raw(server, "tools/list", {}, {})
    assert status == 200 and answer["result"]["ttlMs"] > 0


def test_closing_the_connection_cancels_the_call(server):
    import json
    import socket

    from mcp_util import Gate
    from session_util import wait_until

    def call(tool: str, **arguments) -> dict:
        status, answer = raw(server, "tools/call", {"name": tool, "arguments": arguments}, {})
        assert status == 200, answer
        return answer["result"]

    gate = Gate()
    try:
        handle = ok(call("create_workspace"))["workspace"]
        ok(call("list_files", workspace=handle))  # the worker has started
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {
            "name": "run_shell", "arguments": {"workspace": handle, "command": gate.command},
            "_meta": META}}).encode()
        head = (f"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                f"Accept: application/json, text/event-stream\r\n"
                f"Authorization: Bearer tok-alice\r\nMCP-Protocol-Version: 2026-07-28\r\n"
                f"Mcp-Method: tools/call\r\nMcp-Name: run_shell\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode()
        with socket.create_connection(("127.0.0.1", server.port)) as sock:
            sock.sendall(head + body)
            assert wait_until(lambda: any(str(gate.flag) in command_line(p)
                                          for p in descendants(server.pid)), timeout=120)
        # The gate stays shut: only the cancel frees the workspace for this.
        history = ok(call("list_history", workspace=handle))
        assert [c["made_by"] for c in history["checkpoints"]] == ["session start"]
    finally:
        gate.open()
        gate.remove()


def test_tasks_run_report_progress_and_cancel_per_principal(server):
    from mcp_util import Gate
    from session_util import wait_until

    tasks_meta = {**META, "io.modelcontextprotocol/clientCapabilities": {
        "extensions": {"io.modelcontextprotocol/tasks": {}}}}

    def ask(method: str, params: dict, who: str = "alice", meta: dict = tasks_meta,
            headers: dict | None = None) -> tuple[int, dict]:
        extra = {"Authorization": f"Bearer tok-{who}", **(headers or {})}
        if "taskId" in params:
            extra.setdefault("Mcp-Name", params["taskId"])
        return raw(server, method, params, extra, meta)

    def call(tool: str, **arguments) -> dict:
        status, answer = ask("tools/call", {"name": tool, "arguments": arguments})
        assert status == 200, answer
        return answer["result"]

    def get(task: str, who: str = "alice") -> dict:
        return ask("tasks/get", {"taskId": task}, who)[1]

    gate = Gate()
    try:
        handle = ok(call("create_workspace"))["workspace"]
        made = call("run_shell", workspace=handle, command="echo start; " + gate.command)
        assert made["resultType"] == "task" and made["status"] == "working"
        task = made["taskId"]
        assert wait_until(lambda: "start" in get(task)["result"].get("statusMessage", ""),
                          timeout=120)
        assert get(task, "bob")["error"]["code"] == -32602  # another's is unknown
        assert ask("tasks/list", {}, "bob")[1]["result"]["tasks"] == []
        status, answer = ask("tasks/get", {"taskId": task}, meta=META)
        assert status == 400 and answer["error"]["code"] == -32021
        status, answer = ask("tasks/get", {"taskId": task}, headers={"Mcp-Name": "other"})
        assert status == 400 and answer["error"]["code"] == -32020
        gate.open()
        assert wait_until(lambda: get(task)["result"]["status"] == "completed", timeout=120)
        done = get(task)["result"]
        assert done["resultType"] == "complete" and "released" in done["result"]["content"][0][
            "text"]

        gate.flag.unlink()
        task = call("run_shell", workspace=handle, command=gate.command)["taskId"]
        assert wait_until(lambda: any(str(gate.flag) in command_line(p)
                                      for p in descendants(server.pid)), timeout=120)
        assert ask("tasks/cancel", {"taskId": task})[1]["result"] == {"resultType": "complete",
                                                                    "_meta": done["_meta"]}
        assert get(task)["result"]["status"] == "cancelled"
        # The run stopped (the gate is shut) and appended no checkpoint.
        history = ok(call("list_history", workspace=handle))["checkpoints"]
        assert len(history) == 2
    finally:
        gate.open()
        gate.remove()


def test_a_cancelled_call_over_stdio_stops_its_workspaces_run(clients):
    from mcp_util import ClientError, Gate

    command = serve_command()
    clients.do("connect", "cancel-stdio", modern=True, transport="stdio", command=command[0],
               args=command[1:], env=server_env())
    gate = Gate()
    try:
        handle = ok(clients.call("create_workspace", "cancel-stdio"))["workspace"]
        with pytest.raises(ClientError):
            clients.do("callTool", "cancel-stdio", name="run_shell", abortOnProgress=True,
                       arguments={"workspace": handle, "command": "echo go; " + gate.command})
        # The gate is shut: only the cancel frees the workspace for this.
        history = ok(clients.call("list_history", "cancel-stdio", workspace=handle))
        assert [c["made_by"] for c in history["checkpoints"]] == ["session start"]
    finally:
        gate.open()
        gate.remove()
        clients.do("close", "cancel-stdio")
