"""Helpers for the web view's tests and benchmark: a server with --ui and
two principals, a scripted agent over raw MCP, and Debian's chromium driven
by tests/browser/drive.ts (puppeteer-core from .tools/browser, which
scripts/setup.sh --tests installs; VESK_BROWSER_TREE names another)."""

from __future__ import annotations

import atexit
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any

from mcp_util import ROOT, ServerProcess, server_env

TOKENS = {"alice": "tok-alice", "bob": "tok-bob"}
TREE = Path(os.environ.get("VESK_BROWSER_TREE", ROOT / ".tools" / "browser"))
PUPPETEER = TREE / "node_modules" / "puppeteer-core" / "lib" / "puppeteer" / \
    "puppeteer-core.js"
DRIVER = ROOT / "tests" / "browser" / "drive.ts"
DENO = ROOT / ".tools" / "bin" / "deno"


def browser() -> str | None:
    return shutil.which("chromium")


def missing() -> str | None:
    """Why the browser tests cannot run here, or None."""
    if browser() is None:
        return "chromium is not installed (scripts/setup.sh --tests)"
    if not PUPPETEER.exists():
        return f"puppeteer-core is not installed in {TREE} (scripts/setup.sh --tests)"
    return None


def token_file() -> Path:
    """TOKENS as a token file in a directory of its own, removed at exit
    (a server reads it until it stops)."""
    made = tempfile.mkdtemp(prefix="vesk-ui-tokens-")
    atexit.register(shutil.rmtree, made, True)
    tokens = Path(made) / "tokens"
    tokens.write_text("".join(f"{p}:{t}\n" for p, t in TOKENS.items()))
    return tokens


def ui_server(*flags: str) -> ServerProcess:
    return ServerProcess("--token-file", str(token_file()), "--ui", *flags, env=server_env())


class Agent:
    """An MCP session of one principal that works in one workspace."""

    def __init__(self, server: ServerProcess, principal: str = "alice") -> None:
        self.server = server
        self.auth = {"Authorization": f"Bearer {TOKENS[principal]}"}
        _, headers, _ = server.post({
            "jsonrpc": "2.0", "id": 0, "method": "initialize",
            "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                       "clientInfo": {"name": "agent", "version": "1"}}}, extra=self.auth)
        self.session = headers["mcp-session-id"]
        server.post({"jsonrpc": "2.0", "method": "notifications/initialized"}, self.session,
                    self.auth)
        self.workspace = self.call("create_workspace")["workspace"]

    def call(self, name: str, **arguments: Any) -> Any:
        if name != "create_workspace":
            arguments["workspace"] = self.workspace
        status, _, body = self.server.post(
            {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
             "params": {"name": name, "arguments": arguments}}, self.session, self.auth)
        assert status == 200 and not body["result"].get("isError"), body
        return body["result"]["structuredContent"]

    def api(self, path: str) -> tuple[int, Any]:
        status, _, body = self.server.request("GET", headers=self.auth, path="/ui/api/" + path)
        return status, json.loads(body)


def drive(server: ServerProcess, pages: list[dict[str, str]], token: str | None,
          shots: Path | None) -> dict[str, Any]:
    """What chromium showed of `pages` ({"name", "hash", "wait"}): see drive.ts."""
    if shots is not None:
        shots.mkdir(parents=True, exist_ok=True)
    plan = {"browser": browser(), "puppeteer": PUPPETEER.as_uri(),
            "base": f"http://127.0.0.1:{server.port}/ui/", "token": token,
            "shots": str(shots) if shots is not None else None, "pages": pages}
    done = subprocess.run(
        [str(DENO), "run", "--quiet", "--no-config", "--no-lock", "--node-modules-dir=manual",
         "--allow-all", str(DRIVER)],
        input=json.dumps(plan).encode(), capture_output=True, timeout=600)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    result: dict[str, Any] = json.loads(done.stdout.decode().strip().splitlines()[-1])
    return result


def artifacts(name: str) -> Path:
    """Where a test keeps its screenshots: under the build directory."""
    return Path(os.environ.get("VESK_BUILD", ROOT / "build")) / "ui-screenshots" / name
