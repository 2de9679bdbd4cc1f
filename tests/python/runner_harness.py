"""Drives the runner script under real Deno and serves Python packages to it.

`Runner` starts the runner script the module embeds (the build's bundle of
runner/, RUNNER_SOURCE) exactly as the module launches it (read access to the
script, the Pyodide package and its own directory, write access to that
directory, network only for the hosts given) and speaks JSON lines with it. `PackageIndex` builds
wheels with zipfile and serves them, together with a JSON package index, from
a loopback HTTP server in a thread.
"""

from __future__ import annotations

import email.message
import hashlib
import http.server
import importlib.util
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def built_runner_script() -> Path:
    """The bundle the module under test embeds: in the build directory that
    holds the importable module (build/python), else in build/."""
    spec = importlib.util.find_spec("vesk_internal")
    build = Path(spec.origin).resolve().parent.parent if spec and spec.origin else ROOT / "build"
    return build / "generated" / "runner.js"


RUNNER_SOURCE = built_runner_script()

# Generous: a cold runner start is about 2 s, a big workspace a few seconds.
READ_TIMEOUT_S = 120.0


def deno_executable() -> str:
    local = ROOT / ".tools" / "bin" / "deno"
    if local.exists():
        return str(local)
    found = shutil.which("deno")
    if found is None:
        raise RuntimeError("deno not found: run scripts/setup.sh")
    return found


def deno_cache_dir() -> str:
    """The directory Deno caches npm packages in, found as the module finds it."""
    if os.environ.get("DENO_DIR"):
        return os.environ["DENO_DIR"]
    if os.environ.get("XDG_CACHE_HOME"):
        return os.path.join(os.environ["XDG_CACHE_HOME"], "deno")
    base = os.environ.get("HOME") or tempfile.gettempdir()
    return os.path.join(base, ".cache", "deno")


PYODIDE_VERSION = "314.0.8"


def pyodide_package_dir() -> str:
    return os.path.join(deno_cache_dir(), "npm", "registry.npmjs.org", "pyodide", PYODIDE_VERSION)


def launch_command(script: str, own_dir: str, allow_net: list[str] | None = None,
                   mode: str | None = None) -> list[str]:
    """The module's command: Deno's cache read-only (the Pyodide package only),
    `own_dir` the only place the runner may write; `mode` is how to start
    ("snapshot-load", "snapshot-make")."""
    cmd = [deno_executable(), "run", "--no-config", "--no-lock", "--cached-only",
           f"--allow-read={script},{pyodide_package_dir()},{own_dir}", f"--allow-write={own_dir}"]
    if allow_net:
        cmd.append("--allow-net" if "*" in allow_net else "--allow-net=" + ",".join(allow_net))
    cmd += [script, own_dir] + ([mode] if mode else [])
    return cmd


def write_script(directory: Path) -> str:
    path = directory / "vesk_runner_test.js"
    path.write_bytes(RUNNER_SOURCE.read_bytes())
    return str(path)


_BYTE_TEXT = [str(b).encode() for b in range(256)]


def encode_bytes(data: bytes) -> bytes:
    """A byte string as the protocol's JSON array of decimal byte values."""
    return b"[" + b",".join([_BYTE_TEXT[b] for b in data]) + b"]"


def encode_execute(code: str, files: dict[str, bytes]) -> bytes:
    """An execute request line, written as the module writes it."""
    parts = [b'{"code":', json.dumps(code, ensure_ascii=False).encode(), b',"files":{']
    for i, (key, data) in enumerate(files.items()):
        if i:
            parts.append(b",")
        parts += [json.dumps(key, ensure_ascii=False).encode(), b":", encode_bytes(data)]
    parts.append(b"}}\n")
    return b"".join(parts)


def decode_files(reply: dict) -> dict[str, bytes]:
    return {key: bytes(values) for key, values in reply["files"].items()}


class Runner:
    """One runner process; stdout lines arrive through a reader thread."""

    def __init__(self, script: str, allow_net: list[str] | None = None, mode: str | None = None):
        self.own_dir = tempfile.mkdtemp(prefix="vesk-runner-")
        self.proc = subprocess.Popen(
            launch_command(script, self.own_dir, allow_net, mode),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.replies = 0
        self._lines: queue.Queue[bytes | None] = queue.Queue()
        self._stderr: list[bytes] = []
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read_stdout(self) -> None:
        # Big reads: replies can be hundreds of megabytes on one line.
        fd = self.proc.stdout.fileno()
        pending: list[bytes] = []
        while chunk := os.read(fd, 1 << 20):
            start = 0
            while (end := chunk.find(b"\n", start)) >= 0:
                pending.append(chunk[start : end + 1])
                self._lines.put(b"".join(pending))
                pending.clear()
                start = end + 1
            if start < len(chunk):
                pending.append(chunk[start:])
        if pending:
            self._lines.put(b"".join(pending))
        self._lines.put(None)

    def _read_stderr(self) -> None:
        for line in self.proc.stderr:
            self._stderr.append(line)

    @property
    def stderr(self) -> str:
        return b"".join(self._stderr).decode(errors="replace")

    def read_line(self, timeout: float = READ_TIMEOUT_S) -> bytes | None:
        """The next stdout line with its line feed, or None at the end of output."""
        return self._lines.get(timeout=timeout)

    def read_json(self) -> dict:
        line = self.read_line()
        if line is None:
            raise EOFError(f"runner ended (exit {self.proc.wait()}); stderr:\n{self.stderr}")
        assert line.endswith(b"\n"), line[-200:]
        return json.loads(line)

    def wait_ready(self) -> None:
        """The ready line of an ordinary start, which also says the script can
        make a start snapshot."""
        line = self.read_line()
        assert line == b'{"ready":true,"snapshot":false}\n', (line, self.stderr)

    def send_raw(self, data: bytes) -> None:
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, request: dict) -> None:
        self.send_raw(json.dumps(request, ensure_ascii=False, separators=(",", ":")).encode() + b"\n")

    def reply(self) -> tuple[list[str], dict]:
        """Progress texts and the reply that ends the current request.

        The reply's request number ("seq") is checked against the count of
        replies read so far and removed."""
        progress = []
        while True:
            line = self.read_json()
            if isinstance(line.get("progress"), str):
                progress.append(line["progress"])
            else:
                self.replies += 1
                assert line.pop("seq", None) == self.replies, line
                return progress, line

    def execute(self, code: str, files: dict[str, bytes] | None = None) -> tuple[list[str], dict]:
        self.send_raw(encode_execute(code, files or {}))
        return self.reply()

    def install(self, package: str) -> tuple[list[str], dict]:
        self.send({"package": package})
        return self.reply()

    def close(self) -> int:
        """Ends input and waits for the runner to exit; returns its exit code."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()

    def __enter__(self) -> Runner:
        return self

    def __exit__(self, *exc) -> None:
        if self.proc.poll() is None:
            self.close()
        shutil.rmtree(self.own_dir, ignore_errors=True)


def make_wheel(
    directory: Path,
    name: str,
    version: str,
    files: dict[str, str],
    requires: list[str] = (),
    tag: str = "py3-none-any",
    purelib: dict[str, str] | None = None,
) -> Path:
    """Writes a wheel holding files (path -> text), plus .data/purelib files."""
    dist = name.replace("-", "_")
    info = f"{dist}-{version}.dist-info"
    meta = email.message.Message()
    meta["Metadata-Version"] = "2.1"
    meta["Name"] = name
    meta["Version"] = version
    for req in requires:
        meta["Requires-Dist"] = req
    wheel_meta = f"Wheel-Version: 1.0\nGenerator: vesk-tests\nRoot-Is-Purelib: true\nTag: {tag}\n"
    entries = dict(files)
    for path, text in (purelib or {}).items():
        entries[f"{dist}-{version}.data/purelib/{path}"] = text
    entries[f"{info}/METADATA"] = meta.as_string()
    entries[f"{info}/WHEEL"] = wheel_meta
    entries[f"{info}/RECORD"] = "".join(f"{p},,\n" for p in [*entries, f"{info}/RECORD"])
    path = directory / f"{dist}-{version}-{tag}.whl"
    with zipfile.ZipFile(path, "w") as zf:
        for member, text in entries.items():
            zf.writestr(member, text)
    return path


class PackageIndex:
    """Wheels and a JSON package index (/pypi/{name}/json) on 127.0.0.1."""

    def __init__(self, root: Path, own_process: bool = False):
        """`own_process`: serve from a child process, for callers that block
        this interpreter while the runner fetches (a session holds the
        interpreter lock for the whole of a call)."""
        self.root = root
        (root / "files").mkdir(parents=True, exist_ok=True)
        self._projects: dict[str, dict] = {}
        self.server = None
        self.process = None
        if own_process:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _SERVER, str(root)], stdout=subprocess.PIPE, text=True)
            self.port = int(self.process.stdout.readline())
        else:
            handler = lambda *a, **kw: _QuietHandler(*a, directory=str(root), **kw)  # noqa: E731
            self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
            self.port = self.server.server_address[1]
        self.host = f"127.0.0.1:{self.port}"
        self.url = f"http://{self.host}"
        self.index_url = f"{self.url}/pypi/{{package_name}}/json"
        if self.server is not None:
            threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def add_wheel(self, name: str, version: str, files: dict[str, str], **kwargs) -> str:
        """Builds a wheel, lists it in the index and returns its URL."""
        path = make_wheel(self.root / "files", name, version, files, **kwargs)
        return self.add_file(name, version, path.name, path.read_bytes())

    def add_file(self, name: str, version: str, filename: str, data: bytes) -> str:
        (self.root / "files" / filename).write_bytes(data)
        key = name.lower().replace("_", "-").replace(".", "-")
        project = self._projects.setdefault(key, {"info": {"name": name}, "releases": {}})
        project["releases"].setdefault(version, []).append({
            "filename": filename,
            "url": f"/files/{filename}",
            "packagetype": "bdist_wheel" if filename.endswith(".whl") else "sdist",
            "digests": {"sha256": hashlib.sha256(data).hexdigest()},
        })
        project["info"]["version"] = version
        index = self.root / "pypi" / key
        index.mkdir(parents=True, exist_ok=True)
        (index / "json").write_text(json.dumps(project))
        return f"{self.url}/files/{filename}"

    def close(self) -> None:
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
        if self.process is not None:
            self.process.kill()
            self.process.wait()


_SERVER = """
import functools, http.server, sys
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
handler = functools.partial(Quiet, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args) -> None:
        pass
