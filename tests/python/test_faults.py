"""Faults around a session: a runner whose output closes or is cut short, a
full disk under the shell's work directory, a bubblewrap that cannot start.
Each gives its designed error, loses no checkpoint and leaves the session
usable."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from session_util import (RESET_LINE, make_session, mounted_tmpfs, runner_pids, snapshot,
                          wait_until, work_dirs)

# Has the runner write half of its next reply and exit.
CUT_REPLY = textwrap.dedent("""
    from pyodide.code import run_js
    run_js('''
    const out = Deno.stdout;
    const write = out.writeSync;
    out.writeSync = function (bytes) {
      if (bytes[0] !== 0x7b || bytes[2] !== 0x73) return write.call(out, bytes);  // {"s...
      write.call(out, bytes.subarray(0, bytes.length >> 1));
      Deno.exit(3);
    };
    ''')
    open('lost.txt', 'w').write('never recorded')
""")


# Each is a crash; the exit status is known only if the runner is reaped by
# the time its output has ended, which is a matter of timing.
OUTPUT_ENDS_EARLY = {
    # Deno keeps the descriptor open; the runner ends at its next write.
    "output closed": ("from js import Deno\nDeno.stdout.close()\nopen('lost.txt', 'w').write('x')",
                      "Some(1)"),
    "reply cut in half": (CUT_REPLY, "Some(3)"),
}


def test_runner_output_ending_early_is_a_crash_and_the_runner_is_replaced(tmp_path, monkeypatch):
    others = runner_pids()  # of sessions that other tests left to the collector
    s = make_session(tmp_path, monkeypatch)
    s.write_file("kept.txt", b"kept")
    for name, (code, status) in OUTPUT_ENDS_EARLY.items():
        s.execute_python("state = 1")
        before = snapshot(s)
        old = runner_pids() - others
        with pytest.raises(RuntimeError) as info:
            s.execute_python(code)
        assert str(info.value) in (f"sandbox process exited unexpectedly (exit code: {c})\n{RESET_LINE}"
                                   for c in (status, "None")), name
        assert snapshot(s) == before, name
        assert wait_until(lambda: len(runner_pids() - others - old) == 1
                          and runner_pids().isdisjoint(old)), name
        cp = s.execute_python("print(open('kept.txt').read(), 'state' in globals())")
        assert (cp.id, cp.stdout, cp.files) == (len(before), "kept False", {"kept.txt": b"kept"}), name


@pytest.fixture
def small_disk():
    """A 2 MiB tmpfs outside /tmp (the shell never works below /tmp)."""
    if os.getuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    with mounted_tmpfs("2m", "vesk-small-disk-") as mount_point:
        yield mount_point


def test_full_disk_under_the_work_directory(tmp_path, monkeypatch, small_disk):
    s = make_session(tmp_path, monkeypatch)
    monkeypatch.setenv("TMPDIR", str(small_disk))
    s.write_file("big.bin", b"\1" * (3 << 20))
    before = snapshot(s)
    # The workspace does not fit: nothing is appended, nothing left behind.
    with pytest.raises(RuntimeError, match=r"^No space left on device \(os error 28\)$"):
        s.execute_bash("echo never")
    assert snapshot(s) == before
    assert work_dirs(small_disk) == []
    # A command that fills the disk may have lost writes it never checked:
    # the call fails with what it printed, nothing is appended, and its
    # work directory goes.
    s.rollback(0)
    with pytest.raises(RuntimeError, match="file system ran out of space") as raised:
        s.execute_bash("head -c 3145728 /dev/zero > filled.bin; echo after")
    assert raised.value.stdout == "after\n"
    assert "No space left on device" in raised.value.stderr
    assert len(s.history) == 1 and work_dirs(small_disk) == []
    # The session goes on, on this disk with a workspace that fits and on
    # another one with the big file.
    assert s.execute_bash("echo small > s.txt").files == {"s.txt": b"small\n"}
    monkeypatch.delenv("TMPDIR")
    s.write_file("big.bin", b"\1" * (3 << 20))
    cp = s.execute_bash("wc -c < big.bin")
    assert (cp.id, cp.stdout, sorted(cp.files)) == (3, "3145728\n", ["big.bin", "s.txt"])


def stand_in(directory: Path, content: bytes, mode: int) -> Path:
    directory.mkdir()
    path = directory / "bwrap"
    path.write_bytes(content)
    path.chmod(mode)
    return directory


def test_bwrap_that_fails_to_start(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    s.write_file("kept.txt", b"kept")
    work = Path(tempfile.mkdtemp(dir="/var/tmp", prefix="vesk-work-"))
    monkeypatch.setenv("TMPDIR", str(work))
    system_path = os.environ["PATH"]
    refused = b"#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\nexit 1\n"
    cases = {
        # bubblewrap runs and gives up before the command could run (it never
        # reports the command's exit): an error with what it said.
        "exits at once": (stand_in(tmp_path / "exits", refused, 0o755),
                          "shell sandbox could not be set up: "
                          "bwrap: No permissions to create new namespace"),
        # It cannot be started at all: the operating system's error.
        "is no program": (stand_in(tmp_path / "garbage", b"\x7fELF not really", 0o755),
                          "Exec format error (os error 8)"),
        "names a missing interpreter": (
            stand_in(tmp_path / "interp", b"#!/nonexistent/sh\n", 0o755),
            "No such file or directory (os error 2)"),
        "may not be executed": (
            stand_in(tmp_path / "noexec", refused, 0o644),
            "bwrap not found; install bubblewrap (e.g. `apt install bubblewrap`) to enable session_bash"),
    }
    try:
        for name, (directory, outcome) in cases.items():
            before = snapshot(s)
            monkeypatch.setenv("PATH", f"{directory}:/nonexistent")
            with pytest.raises(RuntimeError) as info:
                s.execute_bash("echo never")
            assert str(info.value) == outcome, name
            assert snapshot(s) == before, name
            assert work_dirs(work) == [], name
            monkeypatch.setenv("PATH", system_path)
            cp = s.execute_bash("cat kept.txt")
            assert (cp.stdout, cp.files) == ("kept", {"kept.txt": b"kept"}), name
    finally:
        shutil.rmtree(work)


def test_killed_runners_and_commands_are_reaped_as_they_end():
    # A subreaper host (as vesk serve's workers are) also inherits each
    # killed sandbox's first process; neither it nor the killed runner or
    # bubblewrap may stay a zombie until the session ends.
    script = textwrap.dedent("""
        import ctypes, os, time, vesk_internal
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        s = vesk_internal.VeskSession()

        def children():
            me = os.getpid()
            found = []
            for task in os.listdir(f"/proc/{me}/task"):
                for c in open(f"/proc/{me}/task/{task}/children").read().split():
                    try:
                        found.append((int(c), open(f"/proc/{c}/stat").read().rsplit(") ", 1)[1][0]))
                    except OSError:
                        pass
            return found

        for i in range(3):
            for run in (s.execute_python, s.execute_bash):
                try:
                    run("while True: pass" if run == s.execute_python else "sleep 60",
                        timeout_ms=300)
                except RuntimeError:
                    pass
            try:
                s.execute_python("from pyodide.code import run_js\\nrun_js('Deno.exit(3)')")
            except RuntimeError:
                pass
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and any(st == "Z" for _, st in children()):
            time.sleep(0.05)
        print(sum(st == "Z" for _, st in children()))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "0"
