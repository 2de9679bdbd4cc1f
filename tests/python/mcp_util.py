"""Helpers for the tests of `vesk serve`: server processes, the official SDK
client (tests/mcp/client.ts under Deno), and raw HTTP for what no client
would send."""

from __future__ import annotations

import http.client
import json
import os
import signal
import subprocess
import sys
import threading
from concurrent.futures import Future
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[2]
MCP_DIR = ROOT / "tests" / "mcp"
SDK = ROOT / ".tools" / "mcp" / "node_modules"


def _state_home() -> str:
    """A state directory of its own for each server (one server per store)."""
    import atexit
    import shutil
    import tempfile

    path = tempfile.mkdtemp(prefix="vesk-state-")
    atexit.register(shutil.rmtree, path, True)
    return path


def server_env(**extra: str) -> dict[str, str]:
    """This process's environment with the package and the built module on
    the path (wherever the tests found the module)."""
    import vesk_internal

    env = dict(os.environ)
    env.pop("VESK_CONFIG", None)
    # A server over HTTP keeps a store in the state directory: never the user's,
    # and never another test server's.
    env["XDG_STATE_HOME"] = _state_home()
    paths = [str(ROOT / "python"), str(Path(vesk_internal.__file__).resolve().parent)]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(
        os.pathsep) if p])
    env.update(extra)
    return env


def serve_command(*flags: str) -> list[str]:
    return [sys.executable, "-m", "vesk", "serve", *flags]


def descendants(pid: int) -> list[int]:
    """Every live descendant of `pid`, nearest first."""
    found: list[int] = []
    queue = [pid]
    while queue:
        parent = queue.pop(0)
        try:
            tasks = list(Path(f"/proc/{parent}/task").glob("*"))
        except OSError:  # it ended meanwhile
            continue
        for task in tasks:
            try:
                children = [int(c) for c in (task / "children").read_text().split()]
            except OSError:
                continue
            found += children
            queue += children
    return found


def command_line(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode()
    except OSError:
        return ""


def _open_files(pid: int) -> set[str]:
    found: set[str] = set()
    for fd in Path(f"/proc/{pid}/fd").glob("*"):
        try:
            found.add(os.readlink(fd))
        except OSError:
            pass
    return found


def is_standby(pid: int) -> bool:
    """A standby worker, which has no session yet (vesk.server.standby)."""
    try:
        named = Path(f"/proc/{pid}/comm").read_text().strip()
    except OSError:
        return False
    return "vesk.server.worker --standby" in command_line(pid) and named != "vesk-worker"


def runners_below(pid: int) -> tuple[list[int], list[int]]:
    """The runner processes below `pid`: those of sessions, and the spare
    kept in reserve by a spare runner keeper (whose input the keeper holds;
    a runner it has lent, it no longer does). The runner a standby worker
    holds is in neither."""
    below = descendants(pid)
    runners = [p for p in below if "vesk_runner" in command_line(p)]
    held: set[str] = set()
    for keeper in (p for p in below if "vesk.server.spares" in command_line(p)):
        held |= _open_files(keeper)
    standby: set[str] = set()
    spares, reserved = [], []
    for worker in (p for p in below if is_standby(p)):
        standby |= _open_files(worker)
        reserved += descendants(worker)  # one it started itself, without a spare
    for runner in runners:
        try:
            stdin = os.readlink(f"/proc/{runner}/fd/0")
        except OSError:
            continue
        if stdin in held:
            spares.append(runner)
        elif stdin in standby:
            reserved.append(runner)
    return [p for p in runners if p not in spares and p not in reserved], spares


def alive(pid: int) -> bool:
    """True while `pid` runs (a zombie has ended: only its exit status is left)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


class ServerProcess:
    """`vesk serve --http 127.0.0.1:0 ...` with its standard error collected."""

    def __init__(self, *flags: str, env: dict[str, str] | None = None,
                 cwd: str | Path | None = None) -> None:
        self.proc = subprocess.Popen(serve_command("--http", "127.0.0.1:0", *flags),
                                     env=env or server_env(), stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, cwd=cwd)
        self.stderr: list[str] = []
        ready: Future[str] = Future()

        def drain() -> None:
            assert self.proc.stderr is not None
            for raw in self.proc.stderr:
                line = raw.decode(errors="replace").rstrip("\n")
                self.stderr.append(line)
                print(line, file=sys.stderr)
                if "listening on " in line and not ready.done():
                    ready.set_result(line.split("listening on ", 1)[1])
            if not ready.done():
                ready.set_exception(RuntimeError("server ended: " + "\n".join(self.stderr)))

        threading.Thread(target=drain, daemon=True).start()
        self.url = ready.result(timeout=60)
        self.port = int(self.url.rsplit(":", 1)[1].split("/")[0])

    @property
    def pid(self) -> int:
        return self.proc.pid

    def workers(self) -> list[int]:
        """The server's worker processes but a standby (is_standby)."""
        return [p for p in descendants(self.pid)
                if "vesk.server.worker" in command_line(p) and not is_standby(p)]

    def request(self, method: str, body: bytes | None = None,
                headers: dict[str, str] | None = None, path: str = "/mcp",
                timeout: float = 120) -> tuple[int, dict[str, str], bytes]:
        """One raw HTTP request on a connection of its own."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, \
                response.read()
        finally:
            conn.close()

    def post(self, message: Any, session: str | None = None,
             extra: dict[str, str] | None = None) -> tuple[int, dict[str, str], Any]:
        headers = {"Content-Type": "application/json",
                   "Accept": "application/json, text/event-stream"}
        if session is not None:
            headers["Mcp-Session-Id"] = session
        headers.update(extra or {})
        body = message if isinstance(message, bytes) else json.dumps(message).encode()
        status, got, data = self.request("POST", body, headers)
        return status, got, json.loads(data) if data else None

    def initialize(self, version: str = "2025-11-25", initialized: bool = True) -> str:
        status, headers, body = self.post({
            "jsonrpc": "2.0", "id": 0, "method": "initialize",
            "params": {"protocolVersion": version, "capabilities": {},
                       "clientInfo": {"name": "raw", "version": "1"}}})
        assert status == 200, body
        session = headers["mcp-session-id"]
        if initialized:  # as a client does: till then the session can only ping
            status, _, body = self.post({"jsonrpc": "2.0", "method": "notifications/initialized"},
                                        session)
            assert status == 202, body
        return session

    def stop(self, sig: int = signal.SIGTERM) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout=60)


class ClientError(Exception):
    def __init__(self, error: dict[str, Any]) -> None:
        super().__init__(error.get("message"))
        self.code = error.get("code")


class Clients:
    """tests/mcp/client.ts under Deno: the official SDK's clients, by name."""

    def __init__(self) -> None:
        deno = ROOT / ".tools" / "bin" / "deno"
        self.proc = subprocess.Popen(
            [str(deno), "run", "--quiet", "--config", str(MCP_DIR / "deno.json"),
             "--allow-net=127.0.0.1", "--allow-run", "--allow-env", "--allow-read",
             "--allow-sys", str(MCP_DIR / "client.ts")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=MCP_DIR)
        self._pending: dict[int, Future[Any]] = {}
        self._lock = threading.Lock()
        self._next = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            message = json.loads(line)
            with self._lock:
                future = self._pending.pop(message["id"])
            if "error" in message:
                future.set_exception(ClientError(message["error"]))
            else:
                future.set_result(message["result"])
        with self._lock:
            for future in self._pending.values():
                future.set_exception(RuntimeError("the client process ended"))

    def start(self, op: str, client: str = "main", **fields: Any) -> Future[Any]:
        with self._lock:
            self._next += 1
            future: Future[Any] = Future()
            self._pending[self._next] = future
            line = json.dumps({"id": self._next, "op": op, "client": client, **fields})
        assert self.proc.stdin is not None
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        return future

    def do(self, op: str, client: str = "main", **fields: Any) -> Any:
        return self.start(op, client, **fields).result(timeout=300)

    def connect_http(self, url: str, client: str = "main", **headers: str) -> Any:
        return self.do("connect", client, transport="http", url=url, headers=headers)

    def connect_stdio(self, client: str = "main", flags: tuple[str, ...] = (),
                      env: dict[str, str] | None = None, cwd: str | None = None) -> Any:
        command = serve_command(*flags)
        return self.do("connect", client, transport="stdio", command=command[0],
                       args=command[1:], env=env or server_env(), cwd=cwd)

    def call(self, name: str, client: str = "main", **arguments: Any) -> Any:
        return self.do("callTool", client, name=name, arguments=arguments)

    def close(self) -> None:
        if self.proc.stdin is not None:
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Gate:
    """A shell command that blocks until the test opens the gate: a file the
    sandbox can see (outside /tmp, which it replaces, and outside the
    server's scratch directory, which it hides)."""

    def __init__(self) -> None:
        import tempfile

        self.dir = Path(tempfile.mkdtemp(prefix="vesk-gate-", dir="/var/tmp"))
        self.flag = self.dir / "open"
        self.command = f"until [ -e {self.flag} ]; do sleep 0.05; done; echo released"

    def open(self) -> None:
        self.flag.touch()

    def remove(self) -> None:
        import shutil

        shutil.rmtree(self.dir, ignore_errors=True)
