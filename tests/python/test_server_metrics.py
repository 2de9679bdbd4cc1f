"""`vesk serve --http --log-format json`: /metrics counts the tool calls a
client made, behind the same gate as /mcp, and every log line is one
bounded JSON object, hostile text escaped."""

from __future__ import annotations

import json
import re

import pytest

from mcp_util import ServerProcess, server_env
from session_util import wait_until

AUTH = {"Authorization": "Bearer tok-metrics"}
SAMPLE = re.compile(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$')


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    tokens = tmp_path_factory.mktemp("tokens") / "tokens"
    tokens.write_text("ops:tok-metrics\n")
    process = ServerProcess("--token-file", str(tokens), "--log-format", "json",
                            env=server_env())
    yield process
    assert process.stop() == 0


def scrape(server: ServerProcess) -> dict[tuple[str, frozenset], float]:
    """The samples of /metrics by name and labels (a parser of the text format)."""
    status, headers, body = server.request("GET", headers=AUTH, path="/metrics")
    assert status == 200 and headers["content-type"].startswith("text/plain; version=0.0.4")
    samples = {}
    for line in body.decode().splitlines():
        if line.startswith("#"):
            assert re.match(r"^# (HELP|TYPE) [a-z_]+ ", line), line
            continue
        name, labels, value = SAMPLE.match(line).groups()
        pairs = frozenset(re.findall(r'([a-z_]+)="([^"]*)"', labels or ""))
        samples[name, pairs] = float(value)
    return samples


def call(server: ServerProcess, session: str, name: str, **arguments) -> dict:
    status, _, body = server.post({"jsonrpc": "2.0", "id": 9, "method": "tools/call",
                                   "params": {"name": name, "arguments": arguments}},
                                  session, AUTH)
    assert status == 200, body
    return body


def test_metrics_count_calls_and_logs_are_bounded_json(server):
    status, headers, _ = server.post({
        "jsonrpc": "2.0", "id": 0, "method": "initialize",
        "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                   "clientInfo": {"name": "raw", "version": "1"}}}, extra=AUTH)
    session = headers["mcp-session-id"]
    assert server.post({"jsonrpc": "2.0", "method": "notifications/initialized"},
                       session, AUTH)[0] == 202
    assert not call(server, session, "write_file", path="a.txt", content="x")["result"]["isError"]
    assert not call(server, session, "read_file", path="a.txt")["result"]["isError"]
    assert call(server, session, "read_file", path="missing")["result"]["isError"]
    hostile = "\u202e" + "w" * 200_000
    assert call(server, session, "read_file", path="a.txt", workspace=hostile)["result"][
        "isError"]
    assert "error" in call(server, session, "no_such_tool\u202e")

    m = scrape(server)
    assert m["vesk_tool_calls_total", frozenset({("tool", "write_file"), ("outcome", "ok")})] == 1
    assert m["vesk_tool_calls_total", frozenset({("tool", "read_file"), ("outcome", "ok")})] == 1
    assert m["vesk_tool_errors_total", frozenset({("tool", "read_file"), ("kind", "tool")})] == 1
    assert m["vesk_tool_errors_total", frozenset({("tool", "unknown"),
                                                  ("kind", "unknown_tool")})] == 1
    assert sum(v for (name, labels), v in m.items() if name == "vesk_tool_errors_total"
               and ("tool", "read_file") in labels) == 2  # the tool's, and no workspace
    # The histogram's buckets are cumulative and end in the count.
    buckets = sorted((float(dict(labels)["le"]), v) for (name, labels), v in m.items()
                     if name == "vesk_tool_call_seconds_bucket"
                     and ("tool", "read_file") in labels)
    assert [v for _, v in buckets] == sorted(v for _, v in buckets)
    assert buckets[-1] == (float("inf"), 3)
    assert m["vesk_tool_call_seconds_count", frozenset({("tool", "read_file")})] == 3
    assert m["vesk_workspaces", frozenset({("state", "live")})] >= 1
    assert m["vesk_budget_bytes", frozenset({("budget", "worker_resident")})] == 6464 << 20
    assert m["vesk_worker_resident_max_bytes", frozenset()] > 0

    # Every line is one JSON object, bounded, with nothing that reorders text.
    wait_until(lambda: sum('"tool"' in line for line in server.stderr) >= 5, 30)
    records = [json.loads(line) for line in server.stderr]
    assert all(len(line) < 8000 and "\u202e" not in line for line in server.stderr)
    calls = [r for r in records if "tool" in r]
    assert {(r["tool"], r["outcome"]) for r in calls} >= {("write_file", "ok"),
                                                         ("read_file", "error")}
    assert all(isinstance(r["duration"], float) and r["time"].endswith("+00:00") for r in calls)
    wild = next(r for r in calls if r.get("kind") == "no_workspace")
    assert wild["workspace"].startswith("\\u202ewww") and len(wild["workspace"]) < 300
    assert any(r["tool"].startswith("no_such_tool\\u202e") for r in calls)


@pytest.mark.parametrize("method,headers,status", [
    ("GET", {}, 401),
    ("GET", {"Authorization": "Bearer wrong"}, 401),
    ("GET", {**AUTH, "Origin": "https://evil.example"}, 403),
    ("GET", {**AUTH, "Host": "evil.example"}, 403),
    ("POST", AUTH, 405),
])
def test_metrics_are_behind_the_gate(server, method, headers, status):
    assert server.request(method, headers=headers, path="/metrics")[0] == status


def test_parks_resumes_and_store_writes_are_counted(tmp_path):
    """Parsed with Prometheus's own text-format parser: every family is
    well formed, and a park, a resume and the store's writes are counted."""
    parser = pytest.importorskip("prometheus_client.parser")
    tokens = tmp_path / "tokens"
    tokens.write_text("ops:tok-metrics\n")
    server = ServerProcess("--token-file", str(tokens), "--park-after", "1", env=server_env())
    try:
        status, headers, _ = server.post({
            "jsonrpc": "2.0", "id": 0, "method": "initialize",
            "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                       "clientInfo": {"name": "raw", "version": "1"}}}, extra=AUTH)
        session = headers["mcp-session-id"]
        server.post({"jsonrpc": "2.0", "method": "notifications/initialized"}, session, AUTH)
        assert not call(server, session, "run_python", code="x = 41")["result"]["isError"]

        def samples() -> dict[tuple[str, frozenset], float]:
            text = server.request("GET", headers=AUTH, path="/metrics")[2].decode()
            return {(s.name, frozenset(s.labels.items())): s.value
                    for family in parser.text_string_to_metric_families(text)
                    for s in family.samples}

        parked = ("vesk_parks_seconds_count", frozenset({("outcome", "parked")}))
        assert wait_until(lambda: samples().get(parked, 0) >= 1, 120)
        result = call(server, session, "run_python", code="print(x + 1)")["result"]
        assert "42" in json.dumps(result)
        m = samples()
        assert m["vesk_resumes_seconds_count", frozenset()] == 1
        assert m["vesk_store_write_seconds_count", frozenset()] >= 2
        assert m["vesk_leases_taken_over_total", frozenset()] == 0
        assert m["vesk_workspaces", frozenset({("state", "live")})] == 1
    finally:
        assert server.stop() == 0
