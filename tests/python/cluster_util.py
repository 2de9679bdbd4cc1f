"""scripts/run-cluster.sh run by a test or a benchmark, and what it printed
(one line each: `postgres URL`, `node I PID PORT`, `cluster URL`, `logs
DIR`, `ready`, `rolled`), read on a thread of its own; and what the store
and HAProxy say of it. `stop()` ends it as Ctrl-C would."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import threading
from pathlib import Path

SCRIPT = str(Path(__file__).resolve().parents[2] / "scripts" / "run-cluster.sh")
ENDED = "<ended>"


class RunCluster:
    def __init__(self, nodes: int, env: dict[str, str], *flags: str,
                 node_flags: tuple[str, ...] = ()) -> None:
        self.proc = subprocess.Popen(
            [SCRIPT, "--nodes", str(nodes), "--port", "0", "--no-setup", *flags,
             *(("--", *node_flags) if node_flags else ())],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env, text=True)
        self.nodes: dict[int, tuple[int, int]] = {}  # i: (pid, port)
        self.lines: list[str] = []
        self._seen = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.expect("ready")
        self.url = self.value("cluster")
        self.port = int(self.url.rsplit(":", 1)[1].split("/")[0])
        self.postgres = self.value("postgres")
        self.dir = self.value("logs")

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            words = line.split()
            with self._seen:
                if words[:1] == ["node"]:
                    self.nodes[int(words[1])] = (int(words[2]), int(words[3]))
                self.lines.append(line.strip())
                self._seen.notify_all()
        with self._seen:
            self.lines.append(ENDED)
            self._seen.notify_all()

    def value(self, key: str) -> str:
        return next(line.split()[1] for line in self.lines if line.startswith(key + " "))

    def expect(self, line: str, after: int = 0, timeout: float = 600) -> None:
        """Waits until the script prints `line` (after the first `after`)."""
        with self._seen:
            self._seen.wait_for(lambda: line in self.lines[after:] or ENDED in self.lines,
                                timeout=timeout)
            assert line in self.lines[after:], (line, self.lines)

    def holder(self, workspace: str) -> int:
        """The node whose lease the workspace is under (0: none)."""
        import psycopg
        with psycopg.connect(self.postgres) as db:
            row = db.execute("SELECT node FROM leases WHERE workspace=%s",
                             (workspace,)).fetchone()
        return int(row[0].removeprefix("node")) if row else 0

    def down(self, node: int) -> bool:
        """Whether HAProxy's checks found `node` down in every backend."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(os.path.join(self.dir, "haproxy.sock"))
            s.sendall(b"show stat\n")
            data = b"".join(iter(lambda: s.recv(65536), b""))
        states = [f[17] for f in (line.split(",") for line in data.decode().splitlines())
                  if len(f) > 17 and f[1] == f"node{node}"]
        return bool(states) and all(state.startswith("DOWN") for state in states)

    def stop(self, timeout: float = 300) -> int:
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=timeout)
