"""Sessions end to end: scenarios across subsystems, time-outs, lifetime, threads."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from session_util import RESET_LINE, make_session, runner_pids, under_address_sanitizer, wait_until
from vesk_internal import VeskSession


def test_scenario_across_subsystems(tmp_path, monkeypatch):
    host = tmp_path / "host"
    (host / "src").mkdir(parents=True)
    (host / "src" / "app.py").write_text("print('v1')\n")
    (host / "notes.txt").write_text("keep\n")
    s = make_session(tmp_path, monkeypatch)

    assert sorted(s.mount(str(host))) == ["notes.txt", "src/app.py"]
    assert s.current.id == 0  # mount adds to the current checkpoint in place
    s.write_file("data.txt", b"1\n2\n3\n")                      # 1
    py = s.execute_python(textwrap.dedent("""
        total = sum(int(x) for x in open('data.txt'))
        open('total.txt', 'w').write(str(total))
        src = open('src/app.py').read().replace('v1', 'v2')
        open('src/app.py', 'w').write(src)
        print('total', total)
    """))                                                        # 2
    assert (py.id, py.stdout, py.files["total.txt"]) == (2, "total 6", b"6")
    sh = s.execute_bash("cat total.txt; echo; ls src > listing.txt")  # 3
    assert sh.stdout == "6\n" and sh.files["listing.txt"] == b"app.py\n"
    assert "+print('v2')" in s.diff(0, 3) and "-print('v1')" in s.diff(0, 3)

    s.rollback(1)
    again = s.execute_python("open('after.txt', 'w').write('x')")  # replaces 2 and 3
    assert again.id == 2
    assert [c.id for c in s.history] == [0, 1, 2]
    assert "total.txt" not in again.files and "after.txt" in again.files

    # Only changed mounted files are committed; export takes the rest.
    assert s.commit(None) == []
    s.execute_python("open('src/app.py', 'w').write('changed\\n')")
    assert s.commit(None) == [str(host / "src" / "app.py")]
    assert (host / "src" / "app.py").read_text() == "changed\n"
    out = tmp_path / "out"
    written = s.export(str(out))
    assert sorted(Path(p).relative_to(out).as_posix() for p in written) == ["after.txt", "data.txt"]
    assert (out / "data.txt").read_bytes() == b"1\n2\n3\n"


def test_timeouts_and_denials_are_runtime_errors(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, exec_timeout_ms=1500, bash_timeout_ms=1500,
                     bash_command_denylist=["rm"])
    s.execute_python("kept = 41")
    s.write_file("later.txt", b"")
    s.rollback(0)
    with pytest.raises(RuntimeError, match=rf"^execution timed out after 1500ms\n{RESET_LINE}$"):
        s.execute_python("while True: pass")
    assert [c.id for c in s.history] == [0]  # the discard before the run stands
    # The runner was replaced: a fresh interpreter.
    with pytest.raises(RuntimeError, match="NameError"):
        s.execute_python("kept")
    with pytest.raises(RuntimeError, match=r"^execution timed out after 1500ms$"):
        s.execute_bash("sleep 20")
    with pytest.raises(RuntimeError) as info:
        s.execute_bash("rm -rf /")
    assert str(info.value) == "command denied: matches denylist pattern 'rm'"
    assert s.execute_python("print(1 + 1)").stdout == "2"


def test_limits(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, max_checkpoints=3, max_workspace_mb=1)
    with pytest.raises(RuntimeError, match="^workspace size 1048577 bytes exceeds limit of 1048576 bytes$"):
        s.write_file("big", b"x" * 1048577)
    with pytest.raises(RuntimeError, match="^workspace size"):
        s.execute_python("open('big', 'wb').write(b'x' * 1048577)")
    s.write_file("a", b"")
    s.write_file("b", b"")
    with pytest.raises(RuntimeError, match="^checkpoint limit of 3 reached; close or snapshot"):
        s.write_file("c", b"")
    s.rollback(0)
    with pytest.raises(RuntimeError, match="^checkpoint limit of 3 reached"):
        s.write_file("c", b"")  # edits count before discarding
    assert s.execute_bash("true").id == 1  # runs discard first


def test_forget_before_keeps_ids_labels_and_the_mount_base(tmp_path, monkeypatch):
    host = tmp_path / "host.txt"
    host.write_text("v1\n")
    s = make_session(tmp_path, monkeypatch, max_checkpoints=5)
    assert s.session_label is None and s.labels() == {}
    s.mount(str(host))
    for i in range(1, 5):
        s.write_file("f", str(i).encode())                       # 1..4: full
    s.set_checkpoint_label(1, "first")
    s.set_label("job")
    held = s.history[2]
    s.forget_before(3, keep_labelled=True)
    assert [c.id for c in s.history] == [1, 3, 4]
    assert (s.labels(), s.session_label) == ({1: "first"}, "job")
    assert held.files["f"] == b"2"
    s.rollback(3)
    assert s.diff() == s.diff(1, 3)                          # from the oldest kept
    refusals = [
        (lambda: s.rollback(2), "checkpoint 2 was forgotten (the oldest kept is 1)"),
        (lambda: s.diff(0), "checkpoint 0 was forgotten (the oldest kept is 1)"),
        (lambda: s.forget_before(4), "checkpoint 3 is current and cannot be forgotten"),
        (lambda: s.set_checkpoint_label(5, "x"), "checkpoint 5 does not exist"),
    ]
    for call, text in refusals:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == text
    # Runs take the next id after the discard, within the limit of kept ones.
    assert s.execute_python("open('host.txt', 'w').write('v2')").id == 4
    assert s.execute_bash("true").id == 5
    s.forget_before(5)
    assert [c.id for c in s.history] == [5] and s.labels() == {}
    # commit still compares with what was mounted, not with the oldest kept.
    assert s.commit(None) == [str(host)]
    assert host.read_text() == "v2"


def test_dropping_a_session_kills_its_runner():
    before = runner_pids()
    s = VeskSession()
    mine = runner_pids() - before
    assert len(mine) == 1
    del s
    gc.collect()
    pid = mine.pop()
    assert wait_until(lambda: not Path(f"/proc/{pid}").exists()), "runner still alive or a zombie"


def test_the_runner_starts_with_its_memory_settings():
    # The real Deno takes the V8 flags (a probe that failed would silently
    # drop them, and the compiler's memory with them).
    before = runner_pids()
    s = VeskSession()
    (pid,) = runner_pids() - before
    environ = Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
    host_flags = os.environ.get("DENO_V8_FLAGS")
    expected = ("--no-wasm-inlining-call-indirect,--max-old-space-size=2048"
                + (f",{host_flags}" if host_flags else ""))
    assert f"DENO_V8_FLAGS={expected}".encode() in environ
    if "MALLOC_MMAP_THRESHOLD_" not in os.environ:
        assert b"MALLOC_MMAP_THRESHOLD_=131072" in environ
    assert s.execute_python("print(1 + 1)").stdout == "2"


def test_runners_keep_nothing_on_the_hosts_disks(tmp_path):
    # Each runner gets its script on a descriptor and its own directory in a
    # file system of its sandbox: nothing of either is left anywhere the host
    # or another sandbox could read, however the runner ends, and a runner
    # still starts after another session has gone.
    code = textwrap.dedent("""
        import gc, os
        from vesk_internal import VeskSession
        a = VeskSession()
        b = VeskSession()
        del a; gc.collect()
        try:
            b.execute_python("while True: pass")
        except RuntimeError as e:
            assert str(e).startswith("execution timed out after 1000ms\\nthe interpreter"), e
        assert b.execute_python("print('b alive')").stdout == "b alive"
        print(sorted(os.listdir(os.environ["TMPDIR"])))
    """)
    config = tmp_path / "vesk.toml"
    config.write_text("exec_timeout_ms = 1000\n")
    tmpdir = tmp_path / "tmp"
    tmpdir.mkdir()
    env = dict(os.environ, TMPDIR=str(tmpdir), VESK_CONFIG=str(config))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
    assert not list(tmp_path.rglob("*vesk_runner*")) and not list(tmp_path.rglob("vesk-runner*"))


def test_threads_share_one_session_safely():
    s = VeskSession()
    errors = []

    def worker(n: int) -> None:
        try:
            for i in range(10):
                s.write_file(f"t{n}/{i}", str(i).encode())
            s.execute_python(f"open('py{n}', 'w').write('{n}')")
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors
    files = s.current.files
    assert len(s.history) == 1 + 4 * 11
    assert all(files[f"t{n}/{i}"] == str(i).encode() for n in range(4) for i in range(10))
    assert all(files[f"py{n}"] == str(n).encode() for n in range(4))


def test_sessions_in_several_threads_at_once():
    results: dict[int, str] = {}
    errors = []

    def worker(n: int) -> None:
        try:
            s = VeskSession()
            s.write_file("n.txt", str(n).encode())
            results[n] = s.execute_python("print(open('n.txt').read())").stdout
            results[n] += s.execute_bash("cat n.txt").stdout
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=180)
    assert not errors
    assert results == {n: f"{n}{n}" for n in range(3)}


@pytest.mark.skipif(under_address_sanitizer(),
                    reason="ASan's allocator stops the process where the host would fail a call")
def test_internal_fault_abandons_only_that_session():
    # An allocation that fails is a real internal fault: with the host's
    # address space bounded just above what it maps now, the reply that
    # brings back a 100 MB file cannot be read.
    code = textwrap.dedent("""
        import resource
        from vesk_internal import InternalFault, VeskSession
        a = VeskSession()
        b = VeskSession()
        a.execute_python("pass")
        mapped = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
                      if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), hard))
        try:
            a.execute_python("open('big.bin', 'wb').write(b'x' * (100 << 20))")
        except Exception as e:
            print("caught as Exception:", e)
        except InternalFault as e:
            print("fault:", type(e).__name__)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        for call in (lambda: a.rollback(0), lambda: a.current):
            try:
                call()
            except InternalFault as e:
                print("abandoned:", type(e).__name__, issubclass(type(e), Exception))
        print("other session:", b.execute_python("print(6 * 7)").stdout)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "fault: InternalFault",
        "abandoned: InternalFault False",
        "abandoned: InternalFault False",
        "other session: 42",
    ]
