"""`vesk serve --http`: several SDK clients on one server, what the transport
refuses, clients that misbehave, the session limit, idle sessions, and what
is left when the server stops (nothing)."""

from __future__ import annotations

import json
import os
import signal
import socket
import tempfile
import threading
from pathlib import Path

import pytest

from mcp_util import (ClientError, Clients, Gate, ServerProcess, alive, command_line,
                      descendants, rss_kib, serve_command, server_env)
from session_util import wait_until, work_dirs

INIT = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
        "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                   "clientInfo": {"name": "raw", "version": "1"}}}
PING = {"jsonrpc": "2.0", "id": 7, "method": "ping"}


def tool_call(name: str, request_id: int = 2, **arguments) -> dict:
    return {"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
            "params": {"name": name, "arguments": arguments}}


@pytest.fixture(scope="module")
def server():
    process = ServerProcess("--max-sessions", "40", "--allowed-origin", "https://app.example.org")
    yield process
    assert process.stop() == 0


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


@pytest.fixture
def gate():
    g = Gate()
    yield g
    g.open()  # nothing stays blocked after a failed test
    g.remove()


def structured(result: dict) -> dict:
    assert not result.get("isError"), result
    return result["structuredContent"]


def test_sessions_are_isolated_and_a_long_call_delays_no_other(server, clients, gate):
    for name in ("a", "b", "c"):
        info = clients.connect_http(server.url, name)
        assert info["protocolVersion"] == "2025-11-25" and info["sessionId"]
    structured(clients.call("write_file", "a", path="secret.txt", content="A"))
    structured(clients.call("write_file", "b", path="secret.txt", content="B"))
    assert structured(clients.call("read_file", "a", path="secret.txt"))["content"] == "A"
    assert structured(clients.call("read_file", "b", path="secret.txt"))["content"] == "B"
    assert structured(clients.call("list_files", "c"))["files"] == []
    # A shell command sees no other session's work directory, nor the runners'.
    shell = structured(clients.call("run_shell", "a", command='basename "$PWD"; ls -a ..'))
    own, *listing = shell["stdout"].split()
    assert sorted(listing) == sorted([".", "..", own])

    blocked = clients.start("callTool", "a", name="run_shell", arguments={"command": gate.command})
    for i in range(3):
        assert structured(clients.call("run_python", "b", code=f"print({i})"))["stdout"] == str(i)
        structured(clients.call("write_file", "c", path=f"f{i}", content="x"))
    assert not blocked.done()
    gate.open()
    assert structured(blocked.result(timeout=60))["stdout"] == "released\n"
    for name in ("a", "b", "c"):
        clients.do("terminate", name)
        clients.do("close", name)


def test_what_a_session_writes_to_standard_error_reaches_it_tagged_and_harmless(server, clients):
    clients.connect_http(server.url, "noisy")
    structured(clients.call("run_python", "noisy",
                            code="import js\njs.console.error('\\x1b[2J\\x1b]0;owned\\x07 noisy')"))
    assert wait_until(lambda: any("noisy" in line for line in server.stderr))
    (line,) = [line for line in server.stderr if "noisy" in line]
    assert line.startswith("vesk serve: worker ") and "\x1b" not in line and "\x07" not in line
    assert line.endswith(r"\x1b[2J\x1b]0;owned\x07 noisy")
    clients.do("terminate", "noisy")


@pytest.mark.parametrize("store", ["on", "none"])
def test_a_worker_that_dies_ends_its_own_session_only(server, clients, store):
    own = ServerProcess("--store", "none") if store == "none" else None
    server = own or server
    try:
        _a_worker_dies(server, clients, store == "on")
    finally:
        if own is not None:
            assert own.stop() == 0


def _a_worker_dies(server: ServerProcess, clients: Clients, stored: bool) -> None:
    clients.connect_http(server.url, "bystander")
    structured(clients.call("write_file", "bystander", path="keep.txt", content="kept"))
    clients.connect_http(server.url, "victim")
    before = set(server.workers())
    structured(clients.call("list_files", "victim"))
    (victim,) = set(server.workers()) - before
    os.kill(victim, signal.SIGKILL)

    result = clients.call("list_files", "victim")
    text = result["content"][0]["text"]
    assert result["isError"] and "ended unexpectedly (killed by SIGKILL)" in text
    if stored:  # the store holds the session: the next call brings it back
        assert "kept in the server's store" in text
        assert structured(clients.call("list_files", "victim"))["files"] == []
    else:
        assert "this MCP session has ended" in text
        with pytest.raises(ClientError) as gone:
            clients.call("list_files", "victim")
        assert "Session not found: the worker process ended unexpectedly" in str(gone.value)
    assert structured(clients.call("read_file", "bystander", path="keep.txt"))["content"] == "kept"
    clients.do("close", "victim")
    clients.do("terminate", "bystander")


def post_raw(port: int, head: bytes, body_parts, read: bool = True) -> bytes:
    """Sends a request piece by piece; returns what the server answered,
    however far the sending got before it closed the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as conn:
        try:
            conn.sendall(head)
            for part in body_parts:
                conn.sendall(part)
        except (BrokenPipeError, ConnectionResetError):
            pass
        if not read:
            return b""
        answer = b""
        try:
            while chunk := conn.recv(65536):
                answer += chunk
                if b"\r\n\r\n" in answer and b"Connection: close" in answer:
                    break
        except ConnectionResetError:
            pass
        return answer


def test_a_session_ended_while_its_worker_starts_leaves_no_worker(server):
    # The first takes the standby worker, which is replaced only later: the
    # second starts a worker of its own.
    first = server.initialize()
    assert "result" in server.post(tool_call("list_files"), first)[2]
    before = set(server.workers())
    session = server.initialize()
    answers: list = []
    call = threading.Thread(target=lambda: answers.append(
        server.post(tool_call("list_files"), session)[2]))
    call.start()
    assert wait_until(lambda: set(server.workers()) - before)
    assert server.request("DELETE", headers={"Mcp-Session-Id": session})[0] == 204
    call.join(timeout=60)
    result = answers[0]["result"]
    assert result["isError"] and "the session has ended" in result["content"][0]["text"]
    assert wait_until(lambda: set(server.workers()) <= before)
    assert server.request("DELETE", headers={"Mcp-Session-Id": first})[0] == 204


def test_oversized_and_malformed_bodies_are_refused_and_others_served(server):
    session = server.initialize()
    status, _, body = server.post(b"{not json", session)
    assert status == 400 and body["error"]["code"] == -32700 and "id" not in body
    status, _, body = server.post([PING], session)
    assert status == 400 and body["error"]["code"] == -32600

    head = (f"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
            "Content-Type: application/json\r\nAccept: application/json, text/event-stream\r\n"
            f"Mcp-Session-Id: {session}\r\n")
    declared = post_raw(server.port, (head + f"Content-Length: {100 << 20}\r\n\r\n").encode(),
                        [b"x" * (1 << 20)])
    assert declared.startswith(b"HTTP/1.1 413 ")
    chunk = b"x" * (1 << 20)
    chunked = post_raw(server.port, (head + "Transfer-Encoding: chunked\r\n\r\n").encode(),
                       (b"%x\r\n" % len(chunk) + chunk + b"\r\n" for _ in range(100)))
    assert chunked.startswith(b"HTTP/1.1 413 ")
    slow_headers = post_raw(server.port, b"POST /mcp HTTP/1.1\r\nHost: " + b"x" * 20000, [])
    assert slow_headers.startswith(b"HTTP/1.1 431 ")

    status, _, body = server.post(PING, session)
    assert status == 200 and body["result"] == {}
    # Wrong argument types: under 2025-06-18, the protocol error.
    old = server.initialize("2025-06-18")
    status, _, body = server.post(tool_call("run_python", code=5), old)
    assert status == 200 and body["error"]["code"] == -32602
    for s in (session, old):
        assert server.request("DELETE", headers={"Mcp-Session-Id": s})[0] == 204


@pytest.mark.parametrize("method, headers, body, status", [
    ("POST", {"Host": "evil.example.com"}, PING, 403),
    ("POST", {"Host": "localhost.evil.example.com:80"}, PING, 403),
    ("POST", {"Origin": "http://evil.example.com"}, PING, 403),
    ("POST", {"Origin": "null"}, PING, 403),
    ("POST", {"Origin": "http://127.0.0.1:{port}"}, PING, 200),
    ("POST", {"Origin": "http://localhost:1"}, PING, 403),
    ("POST", {"Origin": "https://app.example.org"}, PING, 200),
    ("OPTIONS", {"Origin": "https://app.example.org"}, None, 204),
    ("OPTIONS", {}, None, 405),
    ("GET", {"Accept": "text/event-stream"}, None, 405),
    ("PUT", {}, b"", 405),
    ("POST", {"Mcp-Session-Id": None}, PING, 400),
    ("POST", {"Mcp-Session-Id": "no-such-session"}, PING, 404),
    ("POST", {"MCP-Protocol-Version": "2025-03-26"}, PING, 400),
    ("POST", {"MCP-Protocol-Version": "2025-06-18"}, PING, 400),
    ("POST", {"MCP-Protocol-Version": "2025-11-25"}, PING, 200),
    ("POST", {"Content-Type": "text/plain"}, PING, 415),
    ("POST", {"Accept": "application/json"}, PING, 406),
    ("POST", {}, INIT, 400),  # initialize inside a session
    ("POST", {}, {"jsonrpc": "2.0", "method": "notifications/initialized"}, 202),
    ("POST", {}, {"jsonrpc": "2.0", "id": 9, "result": {}}, 202),
    ("DELETE", {"Mcp-Session-Id": "no-such-session"}, None, 404),
])
def test_the_transport_refuses_what_it_must(server, method, headers, body, status):
    session = server.initialize()
    sent = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream",
            "Mcp-Session-Id": session}
    for name, value in headers.items():
        if value is None:
            del sent[name]
        else:
            sent[name] = value.replace("{port}", str(server.port))
    data = json.dumps(body).encode() if isinstance(body, dict) else body
    got, answer_headers, answer = server.request(method, data, sent)
    assert got == status, answer
    if status == 405:
        assert answer_headers["allow"] == "POST, DELETE"
    if headers.get("Origin") == "https://app.example.org":
        assert answer_headers["access-control-allow-origin"] == "https://app.example.org"
    if status in (400, 403, 404) and answer:
        assert "error" in json.loads(answer)
    server.request("DELETE", headers={"Mcp-Session-Id": session})


def test_other_paths_are_not_found(server):
    assert server.request("POST", b"{}", {"Content-Type": "application/json"}, path="/")[0] == 404


def test_a_client_that_disconnects_mid_call_loses_only_the_answer(server, gate):
    session = server.initialize()
    body = json.dumps(tool_call("run_shell", command=gate.command)).encode()
    head = (f"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            f"Accept: application/json, text/event-stream\r\nMcp-Session-Id: {session}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    post_raw(server.port, head, [body], read=False)
    other = server.initialize()
    status, _, answer = server.post(tool_call("write_file", path="a", content="b"), other)
    assert status == 200 and not answer["result"]["isError"]
    gate.open()
    # The abandoned call ran to its end, in order, and the session lives on.
    status, _, answer = server.post(tool_call("list_history", request_id=3), session)
    made_by = [c["made_by"] for c in answer["result"]["structuredContent"]["checkpoints"]]
    assert made_by[-1].startswith("run_shell: until")
    for s in (session, other):
        server.request("DELETE", headers={"Mcp-Session-Id": s})


def test_a_flood_is_answered_or_refused_request_by_request(server, gate):
    session = server.initialize()
    blocked = threading.Thread(target=server.post,
                               args=(tool_call("run_shell", command=gate.command), session))
    blocked.start()
    # The blocked call running, not only its worker (a standby worker is
    # there before the call reaches it).
    assert wait_until(lambda: any(str(gate.flag) in command_line(p)
                                  for p in descendants(server.pid)))
    answers: list[dict] = []

    def ask(i: int) -> None:
        answers.append(server.post(tool_call("list_files", request_id=100 + i), session)[2])

    flood = [threading.Thread(target=ask, args=(i,)) for i in range(40)]
    for t in flood:
        t.start()
    # Requests beyond the 32 a session may have in flight are refused at
    # once; the rest wait for the blocked call.
    assert wait_until(lambda: len(answers) >= 9)
    assert all(a["error"]["code"] == -32000 for a in answers)
    gate.open()
    for t in [blocked, *flood]:
        t.join(timeout=120)
    refused = [a for a in answers if "error" in a]
    assert len(answers) == 40 and len(refused) == 9
    assert all(a["result"]["isError"] is False for a in answers if "result" in a)
    server.request("DELETE", headers={"Mcp-Session-Id": session})


def test_the_session_limit_delete_and_the_idle_time_out():
    server = ServerProcess("--max-sessions", "2", "--idle-timeout", "1")
    try:
        first, second = server.initialize(), server.initialize()
        status, headers, body = server.post(INIT)
        assert status == 503 and headers["retry-after"] and "maximum of 2 sessions" in \
            body["error"]["message"]
        assert server.request("DELETE", headers={"Mcp-Session-Id": first})[0] == 204
        assert server.request("DELETE", headers={"Mcp-Session-Id": first})[0] == 404
        third = server.initialize()
        # A session with a worker, left alone, ends with it.
        status, _, body = server.post(tool_call("list_files"), second)
        assert status == 200 and body["result"]["structuredContent"]["files"] == []
        # (Watched from outside: a request would keep it active.)
        assert wait_until(lambda: not server.workers(), timeout=60)
        status, _, body = server.post(PING, second)
        assert status == 404 and "idle for more than 1 s" in body["error"]["message"]
        assert server.post(PING, third)[0] == 404
    finally:
        assert server.stop() == 0


def test_a_bearer_token_is_required_when_configured(tmp_path, clients):
    token = tmp_path / "token"
    token.write_text("s3cret\n")
    server = ServerProcess("--token-file", str(token))
    try:
        for auth in (None, "Bearer wrong", "Basic s3cret"):
            headers = {"Content-Type": "application/json",
                       "Accept": "application/json, text/event-stream"}
            if auth:
                headers["Authorization"] = auth
            status, answer_headers, _ = server.request("POST", json.dumps(INIT).encode(), headers)
            assert status == 401 and answer_headers["www-authenticate"].startswith("Bearer")
        clients.connect_http(server.url, "authorized", Authorization="Bearer s3cret")
        assert clients.do("ping", "authorized") == {}
        clients.do("close", "authorized")
    finally:
        server.stop()


def test_a_public_address_without_a_token_is_refused():
    import subprocess

    done = subprocess.run(serve_command("--http", "0.0.0.0:0"), env=server_env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "needs a bearer token" in done.stderr


def test_the_servers_memory_stays_flat_over_a_thousand_sessions():
    import http.client

    server = ServerProcess("--max-sessions", "5")
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
    body = json.dumps(INIT).encode()

    def cycle(count: int) -> None:
        for _ in range(count):
            conn.request("POST", "/mcp", body, headers)
            response = conn.getresponse()
            response.read()
            session = response.getheader("Mcp-Session-Id")
            assert response.status == 200 and session
            conn.request("DELETE", "/mcp", headers={"Mcp-Session-Id": session})
            response = conn.getresponse()
            response.read()
            assert response.status == 204

    try:
        cycle(300)  # past the remembered endings and the allocator's warm-up
        before = rss_kib(server.pid)
        cycle(1000)
        after = rss_kib(server.pid)
        print(f"server RSS {before} KiB -> {after} KiB over 1000 sessions")
        assert after - before < 1024
    finally:
        conn.close()
        server.stop()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stopping_the_server_mid_call_leaves_no_process_or_file(sig, clients, gate):
    base = Path(tempfile.mkdtemp(prefix="vesk-stop-", dir="/var/tmp"))
    server = ServerProcess(env=server_env(TMPDIR=str(base)))
    try:
        clients.connect_http(server.url, "busy")
        clients.connect_http(server.url, "idle")
        structured(clients.call("run_shell", "idle", command="echo hi > f"))
        structured(clients.call("run_python", "busy", code="print(1)"))
        blocked = clients.start("callTool", "busy", name="run_shell",
                                arguments={"command": gate.command})
        assert wait_until(lambda: any("bwrap" in command_line(p)
                                      for p in descendants(server.pid)))
        everything = descendants(server.pid)
        (scratch,) = base.iterdir()
        # The module's root there holds the workers' shell directories (their
        # runners keep nothing on the host's disks).
        # (A worker starting its first runner, the standby's say, may have its
        # Deno probe's cache there for a moment.)
        assert [p.name for p in scratch.iterdir() if not p.name.startswith("vesk-deno-probe-")] \
            == [f"vesk-{os.geteuid()}"]
        assert work_dirs(scratch)
        assert server.stop(sig) == 0
        # Killed runners are reaped by whoever inherits them, a moment later.
        assert wait_until(lambda: not [p for p in everything if alive(p)]), [
            (p, command_line(p)[:30], Path(f"/proc/{p}/stat").read_text().rsplit(")", 1)[1][:40])
            for p in everything if alive(p)]
        assert list(base.iterdir()) == []
        with pytest.raises(Exception):
            blocked.result(timeout=60)
    finally:
        for name in ("busy", "idle"):
            clients.do("close", name)
        server.stop()
        base.rmdir()
