#!/usr/bin/env python3
"""A tour of vesk: what a program does with a session, step by step.

Run it with ./scripts/run-tour.sh (which sets up and builds first), or with
PYTHONPATH=build/python python3 examples/tour.py once built. Its last step
runs examples/mcp/client.ts, a client built on the official MCP SDK, against
`vesk serve` (deno on PATH, and the SDK in .tools/mcp-sdk: scripts/setup.sh).

It works on a scratch copy of examples/sample_project, so nothing in the
repository changes, and serves a small wheel from a local HTTP server to show
package installation without any package index.
"""

from __future__ import annotations

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import zipfile
from contextlib import contextmanager
from pathlib import Path

HERE = Path(__file__).resolve().parent
BOLD, DIM, GREEN, RESET = ("\033[1m", "\033[2m", "\033[32m", "\033[0m") if sys.stdout.isatty() \
    else ("", "", "", "")


class RunnerLog:
    """Collects what the runner writes to standard error, to show it in place.

    The runner inherits the standard error of the process that starts it, so
    pointing file descriptor 2 at a file before the session starts sends its
    messages there; they are printed, dimmed, after the step that caused them.
    """

    def __init__(self, path: Path):
        self.path = path
        self.offset = 0
        sys.stderr.flush()
        self.saved = os.dup(2)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        os.dup2(fd, 2)
        os.close(fd)

    def show_new(self) -> None:
        data = self.path.read_bytes()[self.offset:]
        self.offset += len(data)
        for line in data.decode(errors="replace").splitlines():
            print(f"{DIM}    runner: {line}{RESET}")

    def close(self) -> None:
        os.dup2(self.saved, 2)
        os.close(self.saved)


LOG: RunnerLog | None = None


@contextmanager
def step(number: int, title: str):
    print(f"\n{BOLD}{number:>2}. {title}{RESET}")
    start = time.perf_counter()
    yield
    elapsed = time.perf_counter() - start
    if LOG:
        LOG.show_new()
    print(f"{DIM}    ({elapsed * 1000:.1f} ms){RESET}")


def show(text: str, indent: str = "    | ") -> None:
    for line in text.rstrip("\n").splitlines() or [""]:
        print(indent + line)


def build_wheel(source: Path, out_dir: Path, name: str, version: str) -> Path:
    """A pure-Python wheel of one module, built with the standard library."""
    dist = f"{name}-{version}"
    files = {
        f"{name}.py": source.read_bytes(),
        f"{dist}.dist-info/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n".encode(),
        f"{dist}.dist-info/WHEEL": b"Wheel-Version: 1.0\nGenerator: vesk-tour\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = []
    for arc, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{arc},sha256={digest},{len(data)}")
    record.append(f"{dist}.dist-info/RECORD,,")
    files[f"{dist}.dist-info/RECORD"] = ("\n".join(record) + "\n").encode()
    path = out_dir / f"{dist}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as z:
        for arc, data in files.items():
            z.writestr(arc, data)
    return path


# The server runs in a process of its own: a session holds the interpreter
# lock while it waits for its runner, so a server thread in this process
# could not answer the runner's request.
SERVER = """
import functools, http.server, sys
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
handler = functools.partial(Quiet, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


@contextmanager
def serve(directory: Path):
    """Serves `directory` on 127.0.0.1 for the block; yields the port."""
    server = subprocess.Popen([sys.executable, "-c", SERVER, str(directory)],
                              stdout=subprocess.PIPE, text=True)
    try:
        yield int(server.stdout.readline())
    finally:
        server.terminate()
        server.wait()


def main() -> int:
    global LOG
    work = Path(tempfile.mkdtemp(prefix="vesk-tour-"))
    LOG = RunnerLog(work / "runner-stderr.log")
    wheels = work / "wheels"
    wheels.mkdir()
    try:
        with serve(wheels) as port:
            return tour(work, wheels, port)
    finally:
        LOG.close()
        shutil.rmtree(work, ignore_errors=True)


def tour(work: Path, wheels: Path, port: int) -> int:
    # A scratch copy of the sample project: mount reads it, commit writes to it.
    project = work / "sample_project"
    shutil.copytree(HERE / "sample_project", project)
    wheel = build_wheel(HERE / "packages" / "shelfstats" / "shelfstats.py", wheels,
                        "shelfstats", "1.0.0")
    host = f"127.0.0.1:{port}"
    # The runner may reach only the hosts named here; this one serves our wheel.
    config = work / "vesk.toml"
    config.write_text(f'domain_allowlist = ["{host}"]\nexec_timeout_ms = 30000\n')
    os.environ["VESK_CONFIG"] = str(config)

    import vesk_internal

    print(f"{BOLD}vesk tour{RESET}: a private, versioned workspace for untrusted code")
    print(f"{DIM}configuration: {config} (domain_allowlist = [{host!r}]){RESET}")

    with step(1, "Create a session (starts a Deno + Pyodide runner, from a start snapshot once one exists)"):
        session = vesk_internal.VeskSession()
        print(f"    session ready; current checkpoint {session.current.id}, "
              f"{len(session.current.files)} files")

    with step(2, f"Mount the sample project ({project.name}) into the workspace"):
        keys = session.mount(str(project))
        for k in sorted(keys):
            print(f"    + {k}")
        print(f"    mount changes the current checkpoint in place: still checkpoint {session.current.id}")

    with step(3, "Run Python that analyses the project and writes report.md"):
        analysis = session.execute_python(textwrap.dedent("""
            import pathlib, sys
            sys.path.insert(0, "/workspace")  # import the mounted package itself
            from inventory import Stock

            stock = Stock.from_csv("data/stock.csv")
            lines = ["# Project report", ""]
            for path in sorted(pathlib.Path(".").rglob("*.py")):
                text = path.read_text()
                todos = text.count("TODO")
                lines.append(f"- {path}: {len(text.splitlines())} lines, {todos} TODO")
            lines += ["", f"Stock value: {stock.value_cents() / 100:.2f} EUR",
                      "Low stock: " + ", ".join(i.name for i in stock.low())]
            pathlib.Path("report.md").write_text("\\n".join(lines) + "\\n")
            print(f"analysed {len(stock.items)} items")
        """))
        print(f"    checkpoint {analysis.id}; the code printed: {analysis.stdout!r}")
        show(analysis.files["report.md"].decode())

    with step(4, "Run a shell command over the result (sandboxed: no network, host read-only)"):
        shell = session.execute_bash(
            "grep -c TODO report.md > todo-count.txt; "
            "sort -t, -k4 -n data/stock.csv | head -3 > lowest.csv; "
            "echo \"files: $(find . -type f | wc -l)\"; "
            "touch /etc/vesk-was-here 2>/dev/null || echo 'cannot write outside the workspace'")
        print(f"    checkpoint {shell.id}; stdout:")
        show(shell.stdout)
        print(f"    new files: todo-count.txt = {shell.files['todo-count.txt'].decode().strip()}, "
              f"lowest.csv ({len(shell.files['lowest.csv'])} bytes)")

    with step(5, "Label the checkpoint with the analysis"):
        session.set_checkpoint_label(analysis.id, "analysed")
        session.set_label("tour")
        print(f"    checkpoint {analysis.id} labelled 'analysed'")

    with step(6, "Edit a mounted file with Python and show the diff"):
        edit = session.execute_python(textwrap.dedent("""
            import pathlib
            p = pathlib.Path("inventory/stock.py")
            p.write_text(p.read_text().replace("threshold: int = 5", "threshold: int = 3"))
        """))
        show(session.diff(shell.id, edit.id))

    with step(7, "Roll back, and see that a new change replaces the later checkpoints"):
        print(f"    history before: {[c.id for c in session.history]} (current {session.current.id})")
        session.rollback(analysis.id)
        print(f"    rolled back to {session.current.id}; report.md is still there, "
              f"todo-count.txt is {'there' if 'todo-count.txt' in session.current.files else 'gone'}")
        session.execute_python("print('a new branch of history')")
        print(f"    history after a new run: {[c.id for c in session.history]}")

    with step(8, f"Install a package from a local wheel ({wheel.name})"):
        session.install(f"http://{host}/{wheel.name}")
        result = session.execute_python(textwrap.dedent("""
            import csv, shelfstats
            prices = [int(r["price_cents"]) / 100 for r in csv.DictReader(open("data/stock.csv"))]
            print(shelfstats.describe(prices))
        """))
        print(f"    shelfstats says: {result.stdout}")

    with step(9, "Export the results (the files that were not mounted) to a directory"):
        out = work / "exported"
        written = session.export(str(out))
        for path in sorted(written):
            print(f"    -> {Path(path).relative_to(work)}")

    with step(10, "Commit a changed mounted file back to the scratch copy"):
        session.execute_python(textwrap.dedent("""
            import pathlib
            p = pathlib.Path("inventory/items.py")
            p.write_text(p.read_text().replace("# TODO: support currencies other than euro\\n", ""))
        """))
        written = session.commit(None)
        for path in written:
            print(f"    -> {Path(path).relative_to(work)}")
        still_todo = "TODO" in (project / "inventory" / "items.py").read_text()
        print(f"    the scratch copy's items.py now {'still has' if still_todo else 'has no'} TODO")

    with step(11, "Serve sessions to an MCP client: `vesk serve`, talked to by the official SDK"):
        print("    the server listens on a loopback port (`vesk serve --http --ui`); the client")
        print("    speaks MCP to it, and the server gives its workspace a worker process of its own")
        talk_to_the_server(work)

    print(f"\n{GREEN}tour complete{RESET}: {len(session.history)} checkpoints in this session's history")
    return 0


def talk_to_the_server(work: Path) -> None:
    """examples/mcp/client.ts under Deno, against `vesk serve --http --ui`;
    ends by printing the address of the web view of the client's workspace."""
    import vesk_internal

    env = dict(os.environ)
    env.pop("VESK_CONFIG", None)  # the server's sessions need no package host
    env["PYTHONPATH"] = os.pathsep.join([str(HERE.parent / "python"),
                                         str(Path(vesk_internal.__file__).resolve().parent)])
    server = subprocess.Popen(
        [sys.executable, "-m", "vesk", "serve", "--http", "127.0.0.1:0", "--ui",
         "--store", str(work / "store.sqlite3")],
        env=env, cwd=work, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        assert server.stderr is not None
        endpoint = None
        for line in server.stderr:
            if "listening on " in line:
                endpoint = line.split("listening on ", 1)[1].strip()
                break
        if endpoint is None:
            raise RuntimeError("the server ended before it listened")
        # What the server logs from now on is read and dropped, so that a full
        # pipe never stops it.
        threading.Thread(target=server.stderr.read, daemon=True).start()
        done = subprocess.run(
            ["deno", "run", "--quiet", "--config", str(HERE / "mcp" / "deno.json"),
             "--allow-net=127.0.0.1", "--allow-env", "--allow-read",
             str(HERE / "mcp" / "client.ts"), endpoint],
            env=env, cwd=work, capture_output=True, text=True, timeout=300)
        shown = [line for line in done.stdout.splitlines() if not line.startswith("workspace: ")]
        show("\n".join(shown) + "\n", indent="    client: ")
        if done.returncode != 0:
            raise RuntimeError(f"the MCP client failed:\n{done.stderr}")
        handle = done.stdout.rsplit("workspace: ", 1)[1].strip()
        base = endpoint.removesuffix("/mcp")
        print("    the server's read-only web view shows what the client did, call by call:")
        print(f"    {base}/ui/#/w/{handle}")
        print("    (open it while a server runs; this one stops with the tour)")
    finally:
        server.terminate()
        server.wait(timeout=60)


if __name__ == "__main__":
    sys.exit(main())
