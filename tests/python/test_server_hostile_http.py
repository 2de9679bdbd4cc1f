"""`vesk serve --http` against hostile clients, over raw sockets: request ids
no answer could carry, heads that never end, floods of half-sent requests
and bodies, answers nobody reads, sessions opened and never initialized,
and what the log shows of it all. The time-outs are cut short (VESK_SERVE_HTTP_LIMITS)."""

from __future__ import annotations

import json
import socket
import time
from pathlib import Path

import pytest

from mcp_util import ServerProcess, server_env
from session_util import wait_until

TOKEN = "t0ken"
LIMITS = ("header_timeout=2,keepalive_timeout=5,write_timeout=2,init_timeout=3,"
          "max_connections=16,max_unauthenticated=8,max_body_memory=25165824")
INIT = {"jsonrpc": "2.0", "method": "initialize",
        "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                   "clientInfo": {"name": "raw", "version": "1"}}}


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    token = tmp_path_factory.mktemp("token") / "token"
    token.write_text(TOKEN + "\n")
    process = ServerProcess("--token-file", str(token), "--max-sessions", "2",
                            env=server_env(VESK_SERVE_HTTP_LIMITS=LIMITS))
    yield process
    assert process.stop() == 0


def head(server, body: bytes = b"", *, extra: str = "", version: str = "HTTP/1.1",
         length: bool = True) -> bytes:
    """A POST with the token, `extra` header lines, and `body`."""
    lines = [f"POST /mcp {version}", f"Host: 127.0.0.1:{server.port}",
             "Content-Type: application/json", "Accept: application/json, text/event-stream",
             "Connection: close", f"Authorization: Bearer {TOKEN}"]
    if length:
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n" + extra + "\r\n").encode() + body


def exchange(server, data: bytes) -> bytes:
    """Sends `data`, then reads until the server closes the connection."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=60) as conn:
        try:
            conn.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # answered (and closed) before all was sent
        answer = b""
        try:
            while chunk := conn.recv(1 << 16):
                answer += chunk
        except ConnectionResetError:
            pass
        return answer


def status_and_body(answer: bytes) -> tuple[int, dict | None]:
    top, _, body = answer.partition(b"\r\n\r\n")
    return int(top.split()[1]), json.loads(body) if body else None


def closed(conn: socket.socket) -> bool:
    conn.settimeout(60)
    try:
        return conn.recv(100) == b""
    except ConnectionResetError:
        return True


def post(server, message: dict | bytes, session: str | None = None) -> tuple[int, dict | None]:
    body = message if isinstance(message, bytes) else json.dumps(message).encode()
    extra = f"Mcp-Session-Id: {session}\r\n" if session else ""
    return status_and_body(exchange(server, head(server, body, extra=extra)))


def initialize(server, request_id: object = 1) -> tuple[int, dict | None, str | None]:
    answer = exchange(server, head(server, json.dumps({**INIT, "id": request_id}).encode()))
    found = [line.split(b":", 1)[1].strip().decode() for line in answer.split(b"\r\n")
             if line.lower().startswith(b"mcp-session-id:")]
    return (*status_and_body(answer), found[0] if found else None)


@pytest.mark.parametrize("raw_id, answered", [
    ('"\\ud800"', False),            # a lone surrogate: no answer could carry it
    ('"\\ud83d\\ude00"', True),      # a proper pair
    ('"' + "i" * 200_000 + '"', True),
    ("-7", True), ("1.5", True),
    ("1e400", False), ("1" * 5000, False),  # infinite; too many digits to read
    ("true", False), ("null", False), ("{}", False), ("[1]", False),
])
def test_an_initialize_of_any_id_is_answered_or_refused_and_takes_no_slot(server, raw_id,
                                                                            answered):
    body = ('{"jsonrpc":"2.0","id":%s,"method":"initialize","params":%s}'
            % (raw_id, json.dumps(INIT["params"]))).encode()
    status, answer = status_and_body(exchange(server, head(server, body)))
    if answered:
        assert status == 200 and answer["id"] == json.loads(raw_id) and "result" in answer
    else:
        assert status == 400 and "id" not in answer and answer["error"]["code"] in (-32600,
                                                                                   -32700)
    # Neither a refused id nor an open handshake holds one of the 2 slots.
    sessions = [initialize(server)[2] for _ in range(2)]
    for session in sessions:
        assert post(server, {"jsonrpc": "2.0", "method": "notifications/initialized"},
                    session)[0] == 202
    for session in sessions:
        extra = f"Mcp-Session-Id: {session}\r\n"
        assert exchange(server, head(server, extra=extra).replace(b"POST", b"DELETE", 1)
                        ).startswith(b"HTTP/1.1 204")


def test_a_session_never_initialized_calls_nothing_and_expires(server):
    opened = [initialize(server, i) for i in range(6)]  # more than the 2 slots
    assert all(status == 200 and session for status, _, session in opened)
    session = opened[0][2]
    call = {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
            "params": {"name": "list_files", "arguments": {}}}
    status, answer = post(server, call, session)
    assert status == 200 and "send notifications/initialized" in answer["error"]["message"]
    assert post(server, {"jsonrpc": "2.0", "id": 3, "method": "ping"}, session)[0] == 200
    assert wait_until(lambda: post(server, {"jsonrpc": "2.0", "id": 4, "method": "ping"},
                                   session)[0] == 404, timeout=120)
    status, answer = post(server, {"jsonrpc": "2.0", "id": 5, "method": "ping"}, session)
    assert "not initialized within 3 s" in answer["error"]["message"]
    assert not server.workers()


@pytest.mark.parametrize("attack, status", [
    ("header_repeated", 431),       # one name a hundred times and more
    ("http10_without_host", 400),
    ("chunk_0x4d", 400), ("chunk_4_d", 400), ("chunk_spaced_sign", 400), ("chunk_minus", 400),
    ("chunk_extension", 200),       # 1*HEXDIG then an extension: sound
    ("length_superscript", 400),    # a Latin-1 digit that is no DIGIT
    ("bare_cr_in_value", 400),
])
def test_malformed_heads_and_chunks_are_refused(server, attack, status):
    ping = json.dumps({**INIT, "id": 1}).encode()  # a request that needs no session
    chunked = head(server, extra="Transfer-Encoding: chunked\r\n", length=False)
    data = {
        "header_repeated": head(server, ping, extra="X-Same: 1\r\n" * 101),
        "http10_without_host": head(server, ping, version="HTTP/1.0").replace(
            f"Host: 127.0.0.1:{server.port}\r\n".encode(), b""),
        "chunk_0x4d": chunked + b"0x%x\r\n%s\r\n0\r\n\r\n" % (len(ping), ping),
        "chunk_4_d": chunked + b"%s_%s\r\n%s\r\n0\r\n\r\n" % (
            b"%x" % (len(ping) >> 4), b"%x" % (len(ping) & 15), ping),
        "chunk_spaced_sign": chunked + b" +%x \r\n%s\r\n0\r\n\r\n" % (len(ping), ping),
        "chunk_minus": chunked + b"-1\r\n",
        "chunk_extension": chunked + b"%X;a=b\r\n%s\r\n0\r\n\r\n" % (len(ping), ping),
        "length_superscript": head(server, ping).replace(
            f"Content-Length: {len(ping)}".encode(), "Content-Length: \u00b2".encode("latin-1")),
        "bare_cr_in_value": head(server, ping, extra="X-Smuggle: a\rb\r\n"),
    }[attack]
    assert status_and_body(exchange(server, data))[0] == status


def test_held_connections_keep_no_client_with_the_token_out(server):
    """Half-sent heads, more than all the connections allowed, and blank
    lines sent for ever: the oldest held connections make room, blank lines
    do not extend the time a head may take, and a client with the token is
    answered meanwhile."""
    held = []
    try:
        for _ in range(40):
            conn = socket.create_connection(("127.0.0.1", server.port), timeout=60)
            conn.sendall(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            held.append(conn)
        for _ in range(5):
            assert post(server, {**INIT, "id": 1})[0] == 200
        assert closed(held[0])
        stray = socket.create_connection(("127.0.0.1", server.port), timeout=60)
        held.append(stray)
        deadline = time.monotonic() + 120
        with pytest.raises(OSError):
            while time.monotonic() < deadline:
                stray.sendall(b"\r\n")
                time.sleep(0.2)  # paces the attack; the server's deadline is 2 s
    finally:
        for conn in held:
            conn.close()


def test_half_sent_bodies_take_no_more_than_the_body_budget(server):
    """Bodies held at once are bounded (24 MiB here): one more large body is
    refused while small requests still pass, and a body whose client went
    gives its room back."""
    def send_half(declared: int) -> socket.socket:
        conn = socket.create_connection(("127.0.0.1", server.port), timeout=60)
        conn.sendall(head(server, b"{" * (declared // 2)).replace(
            f"Content-Length: {declared // 2}".encode(), f"Content-Length: {declared}".encode()))
        return conn

    first = send_half(20 << 20)
    try:
        # (Only the head: the refusal comes before the body is read.)
        large = head(server, extra=f"Content-Length: {8 << 20}\r\n", length=False)
        assert wait_until(lambda: status_and_body(exchange(server, large))[0] == 503)
        assert post(server, {**INIT, "id": 1})[0] == 200
    finally:
        first.close()
    assert wait_until(lambda: status_and_body(exchange(server, head(server, b"{" * (
        8 << 20))))[0] == 400)  # read whole, and refused as the JSON it is not


def test_an_answer_nobody_reads_is_dropped_with_its_connection(server):
    big = json.dumps({"jsonrpc": "2.0", "id": "x" * (16 << 20), "method": "ping"}).encode()

    def server_end_open(client_port: int) -> bool:
        for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
            local, remote = line.split()[1:3]
            if int(local.split(":")[1], 16) == server.port and \
                    int(remote.split(":")[1], 16) == client_port:
                return True
        return False

    with socket.socket() as conn:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        conn.connect(("127.0.0.1", server.port))
        conn.sendall(head(server, big))
        # The server gives up on the connection while nothing is read.
        port = conn.getsockname()[1]
        assert server_end_open(port)
        assert wait_until(lambda: not server_end_open(port), timeout=120)
        got = 0
        conn.settimeout(60)
        try:
            while chunk := conn.recv(1 << 20):
                got += len(chunk)
        except ConnectionResetError:
            pass
        assert got < len(big)


def test_what_a_session_writes_to_the_log_is_escaped_and_bounded(server):
    # (A request needs the handshake and a worker: code of the session writes.)
    status, _, session = initialize(server)
    post(server, {"jsonrpc": "2.0", "method": "notifications/initialized"}, session)
    code = "import js\njs.console.error('mark\\u202e\\u2028' + 'y' * 200000)"
    status, answer = post(server, {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                                   "params": {"name": "run_python", "arguments": {"code": code}}},
                          session)
    assert status == 200 and not answer["result"]["isError"], answer
    assert wait_until(lambda: any("mark" in line for line in server.stderr))
    (line,) = [line for line in server.stderr if "mark" in line]
    assert "mark\\u202e\\u2028y" in line and len(line) < 2200
    assert "\u202e" not in line and "\u2028" not in line
    # Text no worker could be sent is the call's error, not the server's.
    body = ('{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"write_file",'
            '"arguments":{"path":"a\\ud800","content":"x"}}}').encode()
    status, answer = post(server, body, session)
    assert status == 200 and answer["result"]["isError"]
    assert "not valid Unicode" in answer["result"]["content"][0]["text"]
