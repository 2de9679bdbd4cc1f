"""`vesk serve` over stdio, driven by the official SDK client: every tool,
the resources, tool errors against protocol errors, a worker that dies, and
what a client that writes garbage gets."""

from __future__ import annotations

import base64
import json
import os
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

from mcp_util import (ClientError, Clients, Gate, alive, command_line, descendants, runners_below,
                      serve_command, server_env)
from session_util import wait_until

TOOLS = {"run_python", "run_shell", "write_file", "read_file", "list_files", "delete_file",
         "diff", "list_history", "rollback", "install_package"}


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


@pytest.fixture(scope="module")
def stdio(clients, package_index, tmp_path_factory):
    """A stdio session whose runner may reach the test's package index and
    whose shell commands time out after 2 s."""
    config = tmp_path_factory.mktemp("config") / "vesk.toml"
    config.write_text(f'domain_allowlist = ["{package_index.host}"]\nbash_timeout_ms = 2000\n')
    info = clients.connect_stdio("stdio", env=server_env(VESK_CONFIG=str(config)))
    return info


def call(clients, name, **arguments):
    result = clients.call(name, client="stdio", **arguments)
    assert not result.get("isError"), result
    structured = result["structuredContent"]
    assert json.loads(result["content"][0]["text"]) == structured
    return structured


def failure(clients, name, **arguments):
    result = clients.call(name, client="stdio", **arguments)
    assert result["isError"] is True and "structuredContent" not in result, result
    return result["content"][0]["text"]


def test_initialize_offers_tools_and_resources(clients, stdio):
    assert stdio["serverVersion"]["name"] == "vesk"
    assert stdio["capabilities"] == {"tools": {"listChanged": False},
                                     "resources": {"subscribe": False, "listChanged": False}}
    tools = clients.do("listTools", "stdio")["tools"]
    assert {t["name"] for t in tools} == TOOLS
    assert all(t["outputSchema"]["type"] == "object" for t in tools)
    assert clients.do("ping", "stdio") == {}


def test_files_history_diff_and_rollback(clients, stdio):
    first = call(clients, "write_file", path="notes/a.txt", content="one\n")
    call(clients, "write_file", path="bin/blob", content=base64.b64encode(b"\xff\x00\xfe").decode(),
         encoding="base64")
    assert call(clients, "read_file", path="notes/a.txt")["content"] == "one\n"
    blob = call(clients, "read_file", path="bin/blob")
    assert blob["encoding"] == "base64" and base64.b64decode(blob["content"]) == b"\xff\x00\xfe"

    edited = call(clients, "write_file", path="notes/a.txt", content="two\n")
    listing = call(clients, "list_files", prefix="notes/")
    assert listing["files"] == [{"path": "notes/a.txt", "size": 4}]
    old = call(clients, "read_file", path="notes/a.txt", checkpoint=first["checkpoint"])
    assert old["content"] == "one\n"
    diff = call(clients, "diff", from_checkpoint=first["checkpoint"],
                to_checkpoint=edited["checkpoint"])["diff"]
    assert "-one" in diff and "+two" in diff

    call(clients, "rollback", checkpoint=first["checkpoint"])
    assert call(clients, "read_file", path="notes/a.txt")["content"] == "one\n"
    history = call(clients, "list_history")
    assert history["current"] == first["checkpoint"]
    made_by = {c["id"]: c["made_by"] for c in history["checkpoints"]}
    assert made_by[0] == "session start"
    assert made_by[edited["checkpoint"]] == "write_file notes/a.txt"

    # A run after a rollback replaces the checkpoints after the current one.
    ran = call(clients, "run_python", code="print('branch')")
    assert ran["checkpoint"] == first["checkpoint"] + 1
    ids = [c["id"] for c in call(clients, "list_history")["checkpoints"]]
    assert ids[-1] == ran["checkpoint"] and call(clients, "list_history")["checkpoints"][-1][
        "made_by"] == "run_python: print('branch')"

    deleted = call(clients, "delete_file", path="notes/a.txt")
    assert "notes/a.txt" not in {f["path"] for f in call(clients, "list_files")["files"]}
    assert deleted["checkpoint"] == ran["checkpoint"] + 1
    assert "not in checkpoint" in failure(clients, "read_file", path="notes/a.txt")
    assert "does not exist" in failure(clients, "read_file", path="x", checkpoint=10_000)


def test_runs_keep_state_and_report_failures_as_tool_errors(clients, stdio, package_index):
    ran = call(clients, "run_python", code="x = 6\nopen('out.txt', 'w').write('hi')\nprint(x * 7)")
    assert ran["stdout"].strip() == "42"
    assert call(clients, "run_python", code="print(x)")["stdout"].strip() == "6"
    shell = call(clients, "run_shell", command="cat out.txt; echo err >&2; echo $? > st")
    assert shell["stdout"] == "hi" and shell["stderr"] == "err\n"

    assert "ZeroDivisionError" in failure(clients, "run_python", code="1 / 0")
    assert "timed out" in failure(clients, "run_shell", command="sleep 30")
    assert "invalid base64" in failure(clients, "write_file", path="a", content="***",
                                       encoding="base64") \
        or "not valid base64" in failure(clients, "write_file", path="a", content="***",
                                         encoding="base64")
    # Arguments that break the input schema: a tool error under 2025-11-25.
    assert "arguments.code must be of type string" in failure(clients, "run_python", code=5)

    wheel = package_index.add_wheel("mcpdemo", "1.0", {"mcpdemo.py": "ANSWER = 42\n"})
    assert call(clients, "install_package", package=wheel) == {"package": wheel}
    assert call(clients, "run_python", code="import mcpdemo; print(mcpdemo.ANSWER)")[
        "stdout"].strip() == "42"

    with pytest.raises(ClientError) as unknown:
        clients.call("no_such_tool", client="stdio")
    assert unknown.value.code == -32602


def test_workspace_files_are_resources(clients, stdio):
    call(clients, "write_file", path="res/data.json", content='{"a": 1}')
    call(clients, "write_file", path="res/raw.bin", content=base64.b64encode(b"\x80\x81").decode(),
         encoding="base64")
    listed = clients.do("listResources", "stdio")["resources"]
    by_name = {r["name"]: r for r in listed}
    assert by_name["res/data.json"]["uri"] == "vesk://workspace/res%2Fdata.json"
    assert by_name["res/data.json"]["size"] == 8
    templates = clients.do("listResourceTemplates", "stdio")["resourceTemplates"]
    assert templates[0]["uriTemplate"] == "vesk://workspace/{key}"

    text = clients.do("readResource", "stdio", uri="vesk://workspace/res%2Fdata.json")
    assert text["contents"] == [{"uri": "vesk://workspace/res%2Fdata.json",
                                 "mimeType": "application/json", "text": '{"a": 1}'}]
    blob = clients.do("readResource", "stdio", uri="vesk://workspace/res%2Fraw.bin")["contents"][0]
    assert base64.b64decode(blob["blob"]) == b"\x80\x81"
    for uri in ("vesk://workspace/res%2Fnone", "file:///etc/passwd", "vesk://workspace/res/raw.bin"):
        with pytest.raises(ClientError) as missing:
            clients.do("readResource", "stdio", uri=uri)
        assert missing.value.code == -32002


def test_a_worker_that_dies_is_reported_and_the_next_call_starts_afresh(clients, stdio):
    call(clients, "write_file", path="before.txt", content="x")
    server = next(p for p in descendants(clients.proc.pid)
                  if command_line(p).endswith("-m vesk serve "))
    worker = next(p for p in descendants(server) if "vesk.server.worker" in command_line(p))
    os.kill(worker, signal.SIGKILL)
    text = failure(clients, "list_files")
    assert "ended unexpectedly (killed by SIGKILL)" in text and "new, empty session" in text
    assert call(clients, "list_files")["files"] == []
    assert wait_until(lambda: worker not in descendants(server))


def raw_stdio(lines: list[bytes], *flags: str) -> list[dict]:
    done = subprocess.run(serve_command(*flags), input=b"".join(lines), env=server_env(),
                          capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def test_stdio_answers_garbage_and_bounds_messages():
    init = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                       "params": {"protocolVersion": "2024-01-01", "capabilities": {},
                                  "clientInfo": {"name": "raw", "version": "1"}}}).encode()
    replies = raw_stdio([
        b'{"jsonrpc":"2.0","id":0,"method":"tools/list"}\n',  # before initialize
        b"not json\n",
        b"x" * (2 << 20) + b"\n",  # more than --max-body-mb 1
        b"\n",
        init + b"\n",
        b'{"jsonrpc":"2.0","id":2,"method":"tools/list"}\n',
        b'{"jsonrpc":"2.0","id":3,"method":"nope"}\n',
        b'[{"jsonrpc":"2.0","id":4,"method":"ping"}]\n',
        b'{"jsonrpc":"2.0","id":5,"method":"ping"}',  # the last line needs no newline
    ], "--max-body-mb", "1")
    # Requests are answered concurrently, so in any order.
    errors = sorted(r["error"]["code"] for r in replies if "error" in r)
    assert errors == [-32700, -32700, -32601, -32600, -32600]
    by_id = {r.get("id"): r for r in replies}
    # An unknown revision is answered with the latest one.
    assert by_id[1]["result"]["protocolVersion"] == "2025-11-25"
    assert len(by_id[2]["result"]["tools"]) == len(TOOLS)
    assert by_id[5]["result"] == {}


def test_a_stdio_client_that_dies_mid_call_leaves_no_process_or_file():
    gate = Gate()
    base = Path(tempfile.mkdtemp(prefix="vesk-stdio-", dir="/var/tmp"))
    server = subprocess.Popen(serve_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              env=server_env(TMPDIR=str(base)))
    try:
        assert server.stdin is not None and server.stdout is not None
        for message in ({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                         "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                                    "clientInfo": {"name": "raw", "version": "1"}}},
                        {"jsonrpc": "2.0", "method": "notifications/initialized"},
                        {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                         "params": {"name": "run_shell", "arguments": {"command": gate.command}}}):
            server.stdin.write(json.dumps(message).encode() + b"\n")
        server.stdin.flush()
        assert json.loads(server.stdout.readline())["id"] == 1
        assert wait_until(lambda: any("bwrap" in command_line(p)
                                      for p in descendants(server.pid)))
        everything = descendants(server.pid)
        # The client goes away without a word: both pipes close.
        server.stdin.close()
        server.stdout.close()
        assert server.wait(timeout=60) == 0
        assert wait_until(lambda: not [p for p in everything if alive(p)]), [
            (p, command_line(p)[:30], Path(f"/proc/{p}/stat").read_text().rsplit(")", 1)[1][:40])
            for p in everything if alive(p)]
        assert list(base.iterdir()) == []
    finally:
        gate.open()
        gate.remove()
        if server.poll() is None:
            server.kill()
        base.rmdir()


def test_cancelled_requests_are_dropped_or_unanswered_and_the_session_stays_in_step():
    gate = Gate()
    server = subprocess.Popen(serve_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              env=server_env())
    assert server.stdin is not None and server.stdout is not None

    def send(*messages: dict) -> None:
        for message in messages:
            server.stdin.write(json.dumps({"jsonrpc": "2.0", **message}).encode() + b"\n")
        server.stdin.flush()

    def call(request_id: int, name: str, **arguments) -> dict:
        return {"id": request_id, "method": "tools/call",
                "params": {"name": name, "arguments": arguments}}

    def cancel(request_id: int) -> dict:
        return {"method": "notifications/cancelled", "params": {"requestId": request_id}}

    try:
        send({"id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                         "clientInfo": {"name": "raw", "version": "1"}}},
             {"method": "notifications/initialized"}, call(2, "list_files"))
        assert [json.loads(server.stdout.readline())["id"] for _ in range(2)] == [1, 2]
        # 3 runs; 4 waits behind it and is cancelled before it starts.
        send(call(3, "run_shell", command=gate.command), call(4, "write_file", path="q",
                                                              content="x"), cancel(4))
        assert wait_until(lambda: any("bwrap" in command_line(p)
                                      for p in descendants(server.pid)))
        send(cancel(3))  # running: it is stopped (the gate stays shut), and not answered
        send(call(5, "list_history"))
        answer = json.loads(server.stdout.readline())
        assert answer["id"] == 5
        made_by = [c["made_by"] for c in answer["result"]["structuredContent"]["checkpoints"]]
        assert made_by == ["session start"]
        server.stdin.close()
        assert server.stdout.read() == b"" and server.wait(timeout=60) == 0
    finally:
        gate.open()
        gate.remove()
        if server.poll() is None:
            server.kill()


def test_park_after_parks_idle_sessions_and_wins_over_the_file(clients, tmp_path):
    # The user's file sets its own park time, after a table: the flag wins,
    # and the rest of the file still holds (the shell's time-out).
    config = tmp_path / "vesk.toml"
    config.write_text("bash_timeout_ms = 1500\npark_after_idle_secs = 3600\n[extra]\nkey = 1\n")
    clients.connect_stdio("parking", flags=("--park-after", "1"),
                          env=server_env(VESK_CONFIG=str(config)))

    def runners() -> list[int]:
        server = next(p for p in descendants(clients.proc.pid)
                      if "-m vesk serve --park-after 1" in command_line(p))
        return runners_below(server)[0]

    ran = clients.call("run_python", client="parking", code="x = 41")
    assert not ran.get("isError"), ran
    # Parked: the worker's runner is gone, and its state comes back.
    assert wait_until(lambda: not runners(), timeout=120)
    shell = clients.call("run_shell", client="parking", command="sleep 30")
    assert shell["isError"] and "timed out" in shell["content"][0]["text"]
    assert not runners()
    ran = clients.call("run_python", client="parking", code="print(x + 1)")
    assert ran["structuredContent"]["stdout"].strip() == "42"
    clients.do("close", "parking")


def test_help_names_the_park_flag():
    done = subprocess.run(serve_command("--help"), capture_output=True, text=True,
                          env=server_env(), timeout=60)
    assert done.returncode == 0 and "--park-after SECONDS" in done.stdout
