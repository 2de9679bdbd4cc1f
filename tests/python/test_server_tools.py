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
         "diff", "list_history", "rollback", "install_package", "edit_file", "search_files",
         "label_checkpoint", "create_workspace", "close_workspace", "list_workspaces",
         "fork_workspace"}


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


def answer(clients, name, client="stdio", **arguments):
    """A successful call's structured content and its text."""
    result = clients.call(name, client=client, **arguments)
    assert not result.get("isError"), result
    assert [c["type"] for c in result["content"]] == ["text"]
    return result["structuredContent"], result["content"][0]["text"]


def call(clients, name, **arguments):
    return answer(clients, name, **arguments)[0]


def failure(clients, name, client="stdio", **arguments):
    result = clients.call(name, client=client, **arguments)
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


@pytest.mark.parametrize("command, code, stdout", [
    ("echo ok", 0, "ok\n"),
    ("echo no; exit 1", 1, "no\n"),
    ("exit 7", 7, ""),
    ("kill -9 $$", 137, ""),
    ("exit 3 | cat", 3, ""),  # pipefail: the pipeline fails with its failing part
    # The command reaches bash as written: quotes, $ and $0 are its own.
    ("echo \"it's\" '$1' $0", 0, "it's $1 bash\n"),
    ("echo $PYTHONDONTWRITEBYTECODE", 0, "1\n"),  # no __pycache__ in the workspace
])
def test_shell_runs_by_bash_with_pipefail_and_reports_its_exit_code(clients, stdio, command,
                                                                    code, stdout):
    result, text = answer(clients, "run_shell", command=command)
    assert (result["exit_code"], result["stdout"]) == (code, stdout)
    assert text.endswith(f"[exit code {code}]") == (code != 0), text


def test_a_call_can_shorten_its_time_limit(clients, stdio):
    assert "timed out after 1000ms" in failure(clients, "run_shell", command="sleep 30",
                                               timeout_seconds=1)


def test_a_full_history_forgets_its_oldest_checkpoints_labelled_ones_last(clients, tmp_path):
    config = tmp_path / "vesk.toml"
    config.write_text("max_checkpoints = 4\n")
    clients.connect_stdio("window", env=server_env(VESK_CONFIG=str(config)))

    def write(path):
        return answer(clients, "write_file", "window", path=path, content=path)

    assert write("1")[0]["checkpoint"] == 1
    call(clients, "label_checkpoint", client="window", checkpoint=1, label="keep")
    write("2"), write("3")
    # Full (0 to 3): the oldest unlabelled one goes, the labelled one stays.
    result, text = write("4")
    assert (result["forgot_before"], result["forgot"]) == (1, 1) and "forgotten" in text
    assert write("5")[0]["forgot_before"] == 3
    history = call(clients, "list_history", client="window")
    assert [c["id"] for c in history["checkpoints"]] == [1, 3, 4, 5]
    assert history["oldest"] == 1 and history["checkpoints"][0]["label"] == "keep"
    assert all(c["made_at"].endswith("Z") for c in history["checkpoints"])
    assert "was forgotten" in failure(clients, "read_file", "window", path="1", checkpoint=2)

    assert call(clients, "rollback", client="window", checkpoint="keep") == {"current": 1}
    # A run discards what follows the current checkpoint before it counts.
    ran = call(clients, "run_python", client="window", code="pass")
    assert ran["checkpoint"] == 2 and "forgot_before" not in ran
    call(clients, "label_checkpoint", client="window", checkpoint=2, label="b")
    write("x")
    call(clients, "label_checkpoint", client="window", checkpoint=3, label="c")
    write("y")
    # Labelled ones alone fill the room: the oldest labelled one goes.
    assert write("z")[0]["forgot_before"] == 2
    assert [c["id"] for c in call(clients, "list_history", client="window")["checkpoints"]] \
        == [2, 3, 4, 5]
    clients.do("close", "window")


def test_a_history_past_its_size_forgets_its_oldest_checkpoints_first(clients, tmp_path):
    config = tmp_path / "vesk.toml"
    config.write_text("max_history_mb = 2\nmax_workspace_mb = 1\n")
    clients.connect_stdio("sized", env=server_env(VESK_CONFIG=str(config)))
    def write(path, size):
        return call(clients, "write_file", client="sized", path=path, content=path * size)

    write("a", 700_000)
    call(clients, "delete_file", client="sized", path="a")
    assert "forgot" not in write("x", 1_000_000)  # 1.7 MB held
    call(clients, "delete_file", client="sized", path="x")
    # An edit counts what it writes: 0 and 1 (which holds 'a') go.
    assert {k: v for k, v in write("y", 1_000_000).items() if "forgot" in k} == \
        {"forgot_before": 2, "forgot": 2}
    # 2 MB held and a run may add 1 MiB: 2 and 3 (which holds 'x') go.
    ran = call(clients, "run_python", client="sized", code="pass")
    assert (ran["forgot_before"], ran["forgot"]) == (4, 2)
    history = call(clients, "list_history", client="sized")
    assert (history["history_bytes"], history["max_history_mb"]) == (1_000_000, 2)
    clients.do("close", "sized")


def test_long_outputs_and_files_are_cut_in_the_middle(clients, stdio):
    bound = 64 << 10
    result, text = answer(clients, "run_python",
                          code="print('HEAD' + 'é' * 300_000 + 'TAIL')")
    assert result["truncated"]["stdout"] > 500_000
    for got in (text, result["stdout"]):
        assert len(got.encode()) <= bound
        assert got.startswith("HEADé") and "bytes left out ...]" in got
    assert result["stdout"].endswith("éTAIL")

    call(clients, "run_python",
         code="open('big.txt', 'w').write(''.join(f'line {i} é\\n' for i in range(200_000)))")
    big, text = answer(clients, "read_file", path="big.txt")
    assert big["size"] > 2_000_000 and big["truncated"]["content"] > 2_000_000 - bound
    assert len(text.encode()) <= bound and len(big["content"].encode()) <= bound
    assert big["content"].endswith("line 199999 é\n")
    part, text = answer(clients, "read_file", path="big.txt", offset=1000, limit=2,
                        line_numbers=True)
    assert part["content"] == "  1000\tline 999 é\n  1001\tline 1000 é\n"
    assert (part["total_lines"], part["line_count"]) == (200_000, 2)
    assert text.endswith("[lines 1000-1001 of 200000]")


def test_edit_search_and_diff_of_some_paths(clients, stdio):
    call(clients, "write_file", path="src/app.py", content="def f():\n    return 1\n")
    call(clients, "write_file", path="src/twice.py", content="x = 1\nx = 1\n")
    before = call(clients, "write_file", path="blob.bin", encoding="base64",
                  content=base64.b64encode(b"\xffreturn").decode())["checkpoint"]
    for path, old, problem in [("src/app.py", "return 2", "not found"),
                               ("src/twice.py", "x = 1", "occurs 2 times"),
                               ("blob.bin", "return", "not UTF-8 text"),
                               ("none.py", "x", "not in checkpoint")]:
        assert problem in failure(clients, "edit_file", path=path, old_text=old, new_text="y")
    edited = call(clients, "edit_file", path="src/app.py", old_text="return 1",
                  new_text="return 2")
    assert edited["checkpoint"] == before + 1  # the failed edits wrote nothing
    assert call(clients, "read_file", path="src/app.py")["content"] == "def f():\n    return 2\n"

    found, text = answer(clients, "search_files", pattern=r"return \d", glob="src/*")
    assert found["matches"] == [{"path": "src/app.py", "line": 2, "text": "    return 2"}]
    assert text.startswith("src/app.py:2:     return 2")
    assert call(clients, "search_files", pattern="return")["matches"][0]["path"] != "blob.bin"
    assert "not a valid regular expression" in failure(clients, "search_files", pattern="(")
    call(clients, "write_file", path="src/aaa.txt", content="a" * 40 + "b\n")
    slow = call(clients, "search_files", pattern="(a+)+$", glob="src/aaa.txt")
    assert slow["matches"] == [] and "s of work" in slow["stopped"]

    # Changed lines that look like a section's header, and lone carriage
    # returns, do not confuse the split.
    call(clients, "write_file", path="odd.txt", content="1\r-- a/src/x\n+++ b/src/x\n@@ -1 +1 @@\n")

    def diff(*paths):
        return call(clients, "diff", from_checkpoint=before, paths=list(paths))["diff"]

    whole = diff("src/")
    assert whole.startswith("--- a/src/aaa.txt") and "+    return 2" in whole
    assert diff("src/app.py") == whole[whole.index("--- a/src/app.py"):]
    assert diff("blob", "none") == "" and diff("odd") == (
        "--- a/odd.txt\n+++ b/odd.txt\n@@ -0,0 +1,4 @@\n+1\r+-- a/src/x\n++++ b/src/x\n"
        "+@@ -1 +1 @@\n")
    assert "odd" not in whole and "src/x" not in whole


def test_the_shell_lists_judge_the_command_as_written(clients, tmp_path):
    # "bash" would deny every wrapped command, and "sh" admit every one.
    config = tmp_path / "vesk.toml"
    config.write_text('bash_command_denylist = ["bash", "it\'s"]\n'
                      'bash_command_allowlist = ["echo", "sh"]\n')
    clients.connect_stdio("lists", env=server_env(VESK_CONFIG=str(config)))
    ran = call(clients, "run_shell", client="lists", command="echo hi; exit 4")
    assert (ran["stdout"], ran["exit_code"]) == ("hi\n", 4)
    for command, problem in [("ls", "not matched by any allowlist pattern; permitted: echo, sh"),
                             ("echo bash", "matches denylist pattern 'bash'"),
                             ("echo \"it's\"", "matches denylist pattern 'it's'")]:
        assert problem in failure(clients, "run_shell", "lists", command=command)
    clients.do("close", "lists")
