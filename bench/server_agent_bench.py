"""Figures of `vesk serve --http` as an agent uses it, with default limits.

- Conversation: one session makes 1,000 calls as an agent would (write_file,
  edit_file, run_shell, run_python, search_files, rollback, read_file,
  list_history, in a fixed pseudo-random order over a small project). Every
  call must succeed: a session that dead-ends (a history at its limit, a
  worker gone) shows here as failed calls. The server's and the worker's
  resident memory (and the runner's) are printed every 100 calls.
- search_files over 10,000 files (made by one shell command) for a line in
  one of them: its round trip against a `grep -rl` of the same in run_shell,
  and against list_history, which does no work (medians of 5).
- Cancel: the time from `notifications/cancelled` for a running `sleep` in
  run_shell, and for a Python loop, to the answer of the next call of the
  session (medians of 5). The cancel is sent once the run's first progress
  notification has arrived, so the run is known to be under way.
"""

from __future__ import annotations

import http.client
import json
import random
import statistics
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from server_bench import HEADERS, Client, _rss, start_server  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from mcp_util import command_line, descendants  # noqa: E402

FIGURES = [
    {"title": "server: 1,000-call agent conversation, failed calls",
     "value": "server_agent:conversation_failed", "unit": "calls", "max_value": 0.0},
    {"title": "server: that conversation, round trip median",
     "value": "server_agent:conversation_call_median_s", "unit": "s"},
    {"title": "server: that conversation, server memory growth",
     "value": "server_agent:conversation_server_growth", "unit": "B"},
    {"title": "server: that conversation, worker memory at its end",
     "value": "server_agent:conversation_worker_rss", "unit": "B"},
    {"title": "server: search_files, 10,000 files, vs grep -rl in run_shell",
     "value": "server_agent:search_10k_s", "unit": "s", "baseline": "server_agent:grep_10k_s"},
    {"title": "server: search_files, 10,000 files, over list_history",
     "value": "server_agent:search_10k_over_idle_s", "unit": "s"},
    {"title": "server: cancel of run_shell sleep to the next call served",
     "value": "server_agent:cancel_shell_s", "unit": "s", "max_value": 2.0},
    {"title": "server: cancel of a Python loop to the next call served",
     "value": "server_agent:cancel_python_s", "unit": "s", "max_value": 2.0},
]

CONVERSATION = 1000


def _memory(server_pid: int) -> tuple[int, int, int]:
    """Resident bytes of the server, its workers, and their runners."""
    below = descendants(server_pid)
    workers = [p for p in below if "vesk.server.worker" in command_line(p)]
    runners = [p for p in below if "vesk_runner" in command_line(p)]
    return _rss(server_pid), sum(map(_rss, workers)), sum(map(_rss, runners))


def _conversation(port: int, server_pid: int, results: dict[str, float]) -> None:
    client = Client(port)
    rng = random.Random(7)
    modules = [f"src/mod{i}.py" for i in range(20)]
    versions = {path: 0 for path in modules}
    for path in modules[:5]:
        client.call("write_file", path=path, content=f"def f():\n    return {path!r}, 0\n")
    written = modules[:5]
    changes: list[int] = []  # checkpoints made, for rollbacks
    times, failed = [], []
    start_memory = _memory(server_pid)
    for i in range(CONVERSATION):
        kind = rng.choices(["write", "edit", "shell", "python", "search", "rollback", "read",
                            "history"], [20, 20, 15, 15, 12, 4, 10, 4])[0]
        path = rng.choice(written)
        if kind == "write":
            path = rng.choice(modules)
            versions[path] = 0
            took, _, result = client.call("write_file", path=path,
                                          content=f"def f():\n    return {path!r}, 0\n")
            written = sorted(set(written) | {path})
        elif kind == "edit":
            old = f"return {path!r}, {versions[path]}"
            new = f"return {path!r}, {versions[path] + 1}"
            took, _, result = client.call("edit_file", path=path, old_text=old, new_text=new)
            if not result["isError"]:
                versions[path] += 1
        elif kind == "shell":
            took, _, result = client.call("run_shell", command="cat src/*.py | wc -l")
        elif kind == "python":
            took, _, result = client.call("run_python", code=f"x = {i}\nprint(sum(range(x)))")
        elif kind == "search":
            took, _, result = client.call("search_files", pattern="return")
        elif kind == "rollback" and len(changes) > 2:
            took, _, result = client.call("rollback", checkpoint=changes[-2])
            # Files written since then are gone: reread what exists.
            listing = client.call("list_files", prefix="src/")[2]["structuredContent"]
            written = [f["path"] for f in listing["files"]] or written
            for path in written:
                content = client.call("read_file", path=path)[2]["structuredContent"]["content"]
                versions[path] = int(content.rsplit(", ", 1)[1])
            changes = changes[:-1]
        elif kind == "read":
            took, _, result = client.call("read_file", path=path)
        else:
            took, _, result = client.call("list_history")
        times.append(took)
        if result["isError"]:
            failed.append(f"call {i} ({kind}): {result['content'][0]['text'][:200]}")
        elif isinstance(result.get("structuredContent", {}).get("checkpoint"), int):
            changes.append(result["structuredContent"]["checkpoint"])
        if (i + 1) % 100 == 0:
            server_rss, worker_rss, runner_rss = _memory(server_pid)
            print(f"bench: conversation, {i + 1} calls: server {server_rss / 1048576:.1f} MiB, "
                  f"worker {worker_rss / 1048576:.1f} MiB, runners (the spare too) "
                  f"{runner_rss / 1048576:.1f} MiB, {len(failed)} failed", file=sys.stderr)
    for line in failed[:5]:
        print(f"bench: {line}", file=sys.stderr)
    end_memory = _memory(server_pid)
    results["server_agent:conversation_failed"] = float(len(failed))
    results["server_agent:conversation_call_median_s"] = statistics.median(times)
    results["server_agent:conversation_server_growth"] = float(end_memory[0] - start_memory[0])
    results["server_agent:conversation_worker_rss"] = float(end_memory[1])
    client.end()


def _search(port: int, results: dict[str, float]) -> None:
    client = Client(port)
    made = client.call("run_shell", command="mkdir -p d && i=0; while [ $i -lt 10000 ]; do "
                                            "echo \"line $i needle\" > d/f$i.txt; i=$((i+1)); "
                                            "done")[2]
    assert not made["isError"], made

    def median(name: str, **arguments: Any) -> float:
        took = []
        for _ in range(5):
            elapsed, _, result = client.call(name, **arguments)
            assert not result["isError"], result
            took.append(elapsed)
        return statistics.median(took)

    # One file matches, so the search reads every file (it stops at its
    # limit of matches otherwise).
    results["server_agent:search_10k_s"] = median("search_files", pattern="line 9999 needle")
    found = client.call("search_files", pattern="line 9999 needle")[2]["structuredContent"]
    print(f"bench: search_files over 10,000 files: {len(found['matches'])} matches, stopped: "
          f"{found['stopped']}", file=sys.stderr)
    results["server_agent:grep_10k_s"] = median("run_shell",
                                                command="grep -rl 'line 9999 needle' d")
    results["server_agent:search_10k_over_idle_s"] = (results["server_agent:search_10k_s"]
                                                      - median("list_history"))
    client.end()


def _cancel_to_next(port: int, session: str, tool: str, arguments: dict[str, Any]) -> float:
    """Seconds from the cancel of a run under way to the next call's answer."""
    running = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    body = {"jsonrpc": "2.0", "id": "long", "method": "tools/call",
            "params": {"name": tool, "arguments": arguments, "_meta": {"progressToken": 1}}}
    running.request("POST", "/mcp", json.dumps(body),
                    {**HEADERS, "Mcp-Session-Id": session})
    response = running.getresponse()
    assert response.getheader("Content-Type") == "text/event-stream", response.status
    while b"notifications/progress" not in response.readline():
        pass
    other = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    started = time.perf_counter()
    cancel = {"jsonrpc": "2.0", "method": "notifications/cancelled",
              "params": {"requestId": "long"}}
    other.request("POST", "/mcp", json.dumps(cancel), {**HEADERS, "Mcp-Session-Id": session})
    other.getresponse().read()
    call = {"jsonrpc": "2.0", "id": "next", "method": "tools/call",
            "params": {"name": "list_history", "arguments": {}}}
    other.request("POST", "/mcp", json.dumps(call), {**HEADERS, "Mcp-Session-Id": session})
    answer = json.loads(other.getresponse().read())
    elapsed = time.perf_counter() - started
    assert not answer["result"]["isError"], answer
    running.close()
    other.close()
    return elapsed


def _cancel(port: int, results: dict[str, float]) -> None:
    client = Client(port)
    client.call("list_files")
    assert client.session is not None
    for name, tool, arguments in [
            ("shell", "run_shell", {"command": "echo started; sleep 300"}),
            ("python", "run_python", {"code": "print('started', flush=True)\nwhile True:\n"
                                              "    pass"})]:
        results[f"server_agent:cancel_{name}_s"] = statistics.median(
            _cancel_to_next(port, client.session, tool, arguments) for _ in range(5))
    client.end()


def run() -> dict[str, float]:
    server, port = start_server()
    results: dict[str, float] = {}
    try:
        _cancel(port, results)
        _search(port, results)
        _conversation(port, server.pid, results)
    finally:
        server.terminate()
        server.wait(timeout=120)
    return results


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name} = {value:.6g}")
