"""Figures of `vesk serve --http` on protocol revision 2026-07-28 against
2025-11-25.

- Overhead per call: one client makes the 50 mixed calls of server_bench.py
  (write, read, Python, list, shell) on each revision, the stateless one in
  a workspace it names by handle, the older one in its session. The overhead
  is the round trip minus the seconds the worker spent in the module for the
  call (reported in `_meta`): on 2026-07-28 it also carries the checks of
  `_meta` and the headers on every request.
- A task's round trip: `run_python("pass")` made as a task (the call answers
  at once; `tasks/get` is polled until the task is completed and its result
  read), against the same call made plainly (medians of 20). The polls are
  made back to back, so the figure is the cost of the task's bookkeeping,
  not of a client's polling interval.
"""

from __future__ import annotations

import http.client
import json
import statistics
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from server_bench import HEADERS, _mixed_calls, start_server  # noqa: E402

FIGURES = [
    {"title": "server: 50 mixed calls on 2026-07-28 vs 2025-11-25, overhead median",
     "value": "server_revision:modern_overhead_median_s", "unit": "s",
     "baseline": "server_revision:legacy_overhead_median_s"},
    {"title": "server: run_python('pass') as a task (create, poll, result) vs a plain call",
     "value": "server_revision:task_round_trip_s", "unit": "s",
     "baseline": "server_revision:plain_call_s"},
]

REVISION = "2026-07-28"
TASKS = "io.modelcontextprotocol/tasks"


class ModernClient:
    """Requests of revision 2026-07-28 over one keep-alive connection: no
    handshake, the revision and capabilities in every request's `_meta`,
    mirrored by the headers."""

    def __init__(self, port: int, tasks: bool = False) -> None:
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        self.next_id = 0
        capabilities: dict[str, Any] = {"extensions": {TASKS: {}}} if tasks else {}
        self.meta = {"io.modelcontextprotocol/protocolVersion": REVISION,
                     "io.modelcontextprotocol/clientCapabilities": capabilities,
                     "io.modelcontextprotocol/clientInfo": {"name": "bench", "version": "1"}}
        self.workspace = self.result("tools/call", {"name": "create_workspace", "arguments": {}},
                                     "create_workspace")["structuredContent"]["workspace"]

    def send(self, method: str, params: dict[str, Any], name: str | None = None) -> dict[str, Any]:
        self.next_id += 1
        headers = {**HEADERS, "MCP-Protocol-Version": REVISION, "Mcp-Method": method}
        if name is not None:
            headers["Mcp-Name"] = name
        body = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": method,
                           "params": {**params, "_meta": self.meta}})
        self.conn.request("POST", "/mcp", body, headers)
        answer: dict[str, Any] = json.loads(self.conn.getresponse().read())
        return answer

    def result(self, method: str, params: dict[str, Any], name: str | None = None) -> dict[str, Any]:
        answer = self.send(method, params, name)
        assert "result" in answer, answer
        result: dict[str, Any] = answer["result"]
        return result

    def call(self, name: str, **arguments: Any) -> tuple[float, float, dict[str, Any]]:
        """(round trip, seconds in the tool, result), as server_bench's Client."""
        start = time.perf_counter()
        result = self.result("tools/call", {"name": name,
                                            "arguments": {"workspace": self.workspace,
                                                          **arguments}}, name)
        elapsed = time.perf_counter() - start
        return elapsed, result.get("_meta", {}).get("vesk/module-seconds", 0.0), result

    def task_round_trip(self, code: str) -> float:
        start = time.perf_counter()
        made = self.result("tools/call", {"name": "run_python",
                                          "arguments": {"workspace": self.workspace,
                                                        "code": code}}, "run_python")
        assert made["resultType"] == "task", made
        while True:
            got = self.result("tasks/get", {"taskId": made["taskId"]}, made["taskId"])
            if got["status"] == "completed":
                assert not got["result"]["isError"], got
                return time.perf_counter() - start
            assert got["status"] == "working", got

    def end(self) -> None:
        self.call("close_workspace")
        self.conn.close()


def run() -> dict[str, float]:
    server, port = start_server("--max-sessions", "8")
    results: dict[str, float] = {}
    try:
        legacy = _mixed_calls(port, 50)
        assert all(ok for _, _, ok in legacy)
        results["server_revision:legacy_overhead_median_s"] = statistics.median(
            took - inside for took, inside, _ in legacy)
        modern = _mixed_calls(port, 50, client_class=ModernClient)
        assert all(ok for _, _, ok in modern)
        results["server_revision:modern_overhead_median_s"] = statistics.median(
            took - inside for took, inside, _ in modern)

        client = ModernClient(port, tasks=True)
        plain = ModernClient(port)
        plain.call("run_python", code="pass")  # the worker starts here
        client.task_round_trip("pass")
        results["server_revision:plain_call_s"] = statistics.median(
            plain.call("run_python", code="pass")[0] for _ in range(20))
        results["server_revision:task_round_trip_s"] = statistics.median(
            client.task_round_trip("pass") for _ in range(20))
        client.end()
        plain.end()
    finally:
        server.terminate()
        server.wait(timeout=120)
    return results


if __name__ == "__main__":
    for name, value in run().items():
        print(f"{name} = {value:.6g}")
