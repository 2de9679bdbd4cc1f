"""Helpers for tests that drive whole sessions: configuration, the processes,
descriptors and threads of this test process, and checkpoint snapshots."""

from __future__ import annotations

import contextlib
import os
import subprocess
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import vesk_internal
from vesk_internal import VeskSession


# The second line of a failure that lost the interpreter's state.
RESET_LINE = "the interpreter was restarted; its variables and imports are gone"


def make_session(tmp_path: Path, monkeypatch, **settings) -> VeskSession:
    """A session whose configuration file sets `settings` (TOML values)."""
    lines = []
    for key, value in settings.items():
        if isinstance(value, str):
            lines.append(f'{key} = "{value}"')
        elif isinstance(value, list):
            lines.append(f"{key} = [" + ", ".join(f'"{v}"' for v in value) + "]")
        else:
            lines.append(f"{key} = {str(value).lower() if isinstance(value, bool) else value}")
    config = tmp_path / "vesk.toml"
    config.write_text("\n".join(lines) + "\n")
    monkeypatch.setenv("VESK_CONFIG", str(config))
    return VeskSession()


def _children() -> list[tuple[int, str, bytes]]:
    """(pid, state, command line) of every child of this process."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            after_name = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            cmdline = (entry / "cmdline").read_bytes()
        except (OSError, IndexError):
            continue
        if int(after_name[1]) == os.getpid():
            found.append((int(entry.name), after_name[0], cmdline))
    return found


def children_of(pid: int) -> list[int]:
    """The live children of `pid`."""
    try:
        tasks = Path(f"/proc/{pid}/task").iterdir()
        return [int(c) for t in tasks for c in (t / "children").read_text().split()]
    except OSError:
        return []


def runner_pids() -> set[int]:
    """Our own child processes running a vesk runner script for a session:
    the spare runner, started ahead of need, aside."""
    spare = vesk_internal._spare_runner_pid()
    return {pid for pid, _, cmdline in _children() if b"vesk_runner" in cmdline and pid != spare}


def child_counts() -> tuple[int, int]:
    """How many children this process has: (all of them, zombies among them)."""
    children = _children()
    return len(children), sum(1 for _, state, _ in children if state == "Z")


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def rss_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def under_address_sanitizer() -> bool:
    """True when AddressSanitizer's runtime is loaded (the sanitizer stage of
    the tests): freed memory then waits in its quarantine, so resident memory
    says nothing about leaks, and its leak checker answers for them instead."""
    return "libasan" in Path("/proc/self/maps").read_text()


def wait_until(condition, timeout=30.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def snapshot(session: VeskSession) -> list[tuple[int, dict[str, bytes]]]:
    """Every checkpoint's id and files."""
    return [(c.id, c.files) for c in session.history]


def work_dirs(base: Path) -> list[Path]:
    """The shell work directories below vesk's root in `base`, of every
    process (the root can be listed only by a privileged user: the tests run
    as root)."""
    root = base / f"vesk-{os.geteuid()}"
    if not root.exists():
        return []
    return [w for own in root.iterdir() if own.name not in ("processes", "roots")
            for w in own.iterdir() if w.name.startswith("vesk-bash-")]


@contextlib.contextmanager
def mounted_tmpfs(size: str, prefix: str) -> Iterator[Path]:
    """A tmpfs of `size` (as mount takes it: "2m") on a new directory below
    /var/tmp, outside the /tmp that sandboxes replace; unmounted afterwards.
    Needs root."""
    mount_point = Path(tempfile.mkdtemp(dir="/var/tmp", prefix=prefix))
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount_point)],
                   check=True)
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)
        mount_point.rmdir()
