"""Figures of `vesk serve --http` under a held-connection flood.

- A client with the bearer token makes 100 cheap calls (`list_files` in its
  session, each on a connection of its own, as a client whose keep-alive
  connections were closed would) while 600 connections that have sent half
  a request head, and no token, are held open and reopened as the server
  closes them; median and 95th percentile against the same calls without
  the flood. Every call must be answered (a refused one fails the run).
- The server's resident memory before eight clients send 56 MiB of 63 MiB
  bodies each, while it holds them (those past its budget for bodies are
  refused), and after the clients have gone (once it holds still): what
  half-sent bodies cost and leave behind.
"""

from __future__ import annotations

import http.client
import json
import socket
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from server_bench import HEADERS, _env, _rss, _settled_rss, start_server  # noqa: E402

FIGURES = [
    {"title": "server: token client's call under a 600-connection flood, median",
     "value": "server_flood:flooded_median_s", "unit": "s",
     "baseline": "server_flood:quiet_median_s"},
    {"title": "server: token client's call under a 600-connection flood, p95",
     "value": "server_flood:flooded_p95_s", "unit": "s", "baseline": "server_flood:quiet_p95_s"},
    {"title": "server: its memory holding 8 half-sent 63 MiB bodies, vs before",
     "value": "server_flood:rss_holding_bodies", "unit": "B",
     "baseline": "server_flood:rss_before_bodies"},
    {"title": "server: its memory after 8 half-sent 63 MiB bodies, vs before",
     "value": "server_flood:rss_after_bodies", "unit": "B",
     "baseline": "server_flood:rss_before_bodies"},
]

TOKEN = "bench-token"
FLOOD = 600
CALLS = 100


def _post(port: int, message: dict[str, Any], session: str | None) -> tuple[int, Any, str | None]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    try:
        headers = {**HEADERS, "Authorization": f"Bearer {TOKEN}"}
        if session:
            headers["Mcp-Session-Id"] = session
        conn.request("POST", "/mcp", json.dumps(message), headers)
        response = conn.getresponse()
        data = response.read()
        return response.status, json.loads(data) if data else None, \
            response.getheader("Mcp-Session-Id")
    finally:
        conn.close()


def _calls(port: int, session: str) -> list[float]:
    times = []
    for i in range(CALLS):
        start = time.perf_counter()
        status, answer, _ = _post(port, {"jsonrpc": "2.0", "id": i, "method": "tools/call",
                                         "params": {"name": "list_files", "arguments": {}}},
                                  session)
        times.append(time.perf_counter() - start)
        assert status == 200 and not answer["result"]["isError"], (status, answer)
    return times


class Flood:
    """FLOOD connections holding half a request head, reopened as they close."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._hold, daemon=True)
        self.thread.start()

    def _open(self) -> socket.socket | None:
        try:
            conn = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            conn.sendall(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            conn.setblocking(False)
            return conn
        except OSError:
            return None

    def _hold(self) -> None:
        held: list[socket.socket] = []
        while not self.stop.is_set():
            alive = []
            for conn in held:
                try:
                    if conn.recv(1) == b"":
                        conn.close()
                        continue
                except BlockingIOError:
                    pass
                except OSError:
                    conn.close()
                    continue
                alive.append(conn)
            held = alive
            while len(held) < FLOOD and not self.stop.is_set():
                conn = self._open()
                if conn is not None:
                    held.append(conn)
            time.sleep(0.05)
        for conn in held:
            conn.close()

    def end(self) -> None:
        self.stop.set()
        self.thread.join()


def _half_sent_bodies(port: int, pid: int) -> tuple[int, int]:
    """Sends the bodies; (how many the server refused, its memory while it
    held the others)."""
    declared, sent = 63 << 20, 56 << 20
    piece = b"x" * (1 << 20)
    conns = []
    refused = 0
    for _ in range(8):
        conn = socket.create_connection(("127.0.0.1", port), timeout=300)
        conns.append(conn)
        try:
            conn.sendall((f"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                          f"{TOKEN}\r\nContent-Type: application/json\r\nAccept: "
                          f"application/json, text/event-stream\r\nContent-Length: {declared}"
                          f"\r\n\r\n").encode())
            for _ in range(sent >> 20):
                conn.sendall(piece)
        except OSError:  # refused: past the server's budget for bodies
            refused += 1
    held = _settled_rss([pid])
    for conn in conns:
        conn.close()
    return refused, held


def run() -> dict[str, float]:
    env = dict(_env(), VESK_SERVE_TOKEN=TOKEN)
    server, port = start_server("--max-sessions", "4", env=env)
    results: dict[str, float] = {}
    try:
        _, _, session = _post(port, {"jsonrpc": "2.0", "id": 0, "method": "initialize",
                                     "params": {"protocolVersion": "2025-11-25",
                                                "capabilities": {},
                                                "clientInfo": {"name": "bench", "version": "1"}}},
                              None)
        _post(port, {"jsonrpc": "2.0", "method": "notifications/initialized"}, session)
        assert session
        _calls(port, session)  # the worker starts
        quiet = _calls(port, session)
        flood = Flood(port)
        time.sleep(2.0)  # the flood fills up
        try:
            flooded = _calls(port, session)
        finally:
            flood.end()
        for name, times in (("quiet", quiet), ("flooded", flooded)):
            results[f"server_flood:{name}_median_s"] = statistics.median(times)
            results[f"server_flood:{name}_p95_s"] = statistics.quantiles(times, n=20)[-1]

        results["server_flood:rss_before_bodies"] = float(_settled_rss([server.pid]))
        refused, held = _half_sent_bodies(port, server.pid)
        results["server_flood:rss_holding_bodies"] = float(held)
        results["server_flood:rss_after_bodies"] = float(_settled_rss([server.pid]))
        print(f"server_flood: {refused} of 8 bodies refused; server RSS {held >> 20} MiB while "
              f"it held the rest, {_rss(server.pid) >> 20} MiB after", file=sys.stderr)
    finally:
        server.terminate()
        server.wait(timeout=60)
    return results


if __name__ == "__main__":
    for key, value in run().items():
        print(f"{key} {value:.6g}")
