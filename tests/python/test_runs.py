"""Python runs and installs as a user meets them: what is refused before
anything runs, what a run's files and output may hold, the errors a user gets,
and packages that come back exactly after the runner is replaced."""

from __future__ import annotations

import os
import signal
import sys
import textwrap
from pathlib import Path

import pytest

from runner_harness import make_wheel
from session_util import (RESET_LINE, children_of, make_session, rss_kib, runner_pids, snapshot,
                          under_address_sanitizer, wait_until)


def gone_or_zombie(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1][0] == "Z"
    except OSError:
        return True


def test_refusals_come_before_the_code_runs(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, max_checkpoints=2)
    s.write_file("a.txt", b"a")
    # A full history: the code never runs, so the interpreter is untouched.
    with pytest.raises(RuntimeError, match=r"^checkpoint limit of 2 reached; close or snapshot"):
        s.execute_python("ran = True")
    s.rollback(0)
    assert s.execute_python("print('ran' in globals())").stdout == "False"

    # A workspace that cannot be a directory tree: the error names both keys,
    # nothing is appended, and the runner keeps its state.
    s = make_session(tmp_path, monkeypatch)
    s.execute_python("kept = 41")
    s.write_file("config", b"x")
    s.write_file("config/settings.toml", b"y")
    before = snapshot(s)
    clash = ("workspace key 'config' is a file, but 'config/settings.toml' needs it to be a "
             "directory; delete one of them")
    for run in (s.execute_python, s.execute_bash):
        with pytest.raises(RuntimeError) as info:
            run("print('ran')")
        assert str(info.value) == clash
    assert snapshot(s) == before
    s.delete_file("config")
    for key, message in {
        "dir/": "workspace key 'dir/' does not name a file; delete it",
        ".": "workspace key '.' does not name a file; delete it",
        "a\0b": "workspace key 'a\\0b' holds a NUL byte; delete it",
        "./config/settings.toml": "workspace keys './config/settings.toml' and "
                                  "'config/settings.toml' name the same file; delete one of them",
    }.items():
        s.write_file(key, b"z")
        for run in (s.execute_python, s.execute_bash):
            with pytest.raises(RuntimeError) as info:
                run("print('ran')")
            assert str(info.value) == message, key
        s.delete_file(key)
    cp = s.execute_python("print(kept + 1, open('config/settings.toml').read())")
    assert cp.stdout == "42 y"
    assert s.execute_bash("cat config/settings.toml").stdout == "y"


def test_what_a_run_leaves_comes_back_as_plain_files_and_text(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    s.write_file("kept.txt", b"kept")
    # Links are not followed: not into Pyodide's library, not to /, not round
    # a cycle.
    cp = s.execute_python(textwrap.dedent("""
        import os
        os.symlink('/lib', 'lib_link')
        os.symlink('/', 'root_link')
        os.symlink('c1', 'c2'); os.symlink('c2', 'c1')
        os.makedirs('d'); os.symlink('../kept.txt', 'd/file_link')
        print('ok')
    """))
    assert (cp.stdout, cp.files) == ("ok", {"kept.txt": b"kept"})
    # Bytes that are not UTF-8 on standard output become U+FFFD, and the next
    # request is not touched by them.
    cp = s.execute_python("import sys\nsys.stdout.buffer.write(b'\\xff ok\\n')\nsys.stdout.flush()")
    assert cp.stdout == "\ufffd ok"
    assert s.execute_python("print('next')").stdout == "next"
    # A file name that is not UTF-8 still makes a reply the host can read.
    cp = s.execute_python("open(b'caf\\xe9.txt', 'wb').write(b'x')")
    assert len(cp.files) == 2 and b"x" in cp.files.values()


def test_errors_read_as_python_prints_them(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    with pytest.raises(RuntimeError) as info:
        s.execute_python("def f():\n    return 1 / 0\nf()")
    assert str(info.value) == textwrap.dedent("""\
        Traceback (most recent call last):
          File "<exec>", line 3, in <module>
          File "<exec>", line 2, in f
        ZeroDivisionError: division by zero
    """)
    with pytest.raises(RuntimeError) as info:
        s.execute_python("x = (")
    assert str(info.value).startswith('  File "<exec>", line 1\n')
    assert str(info.value).rstrip().endswith("SyntaxError: '(' was never closed")


@pytest.mark.skipif(under_address_sanitizer(), reason="resident memory says nothing under ASan")
def test_a_huge_output_line_does_not_stay_in_the_host(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    s.execute_python("print('warm')")
    before = rss_kib()
    # 256 MiB of output without a line feed: one progress line.
    cp = s.execute_python("import sys\nsys.stdout.write('x' * (256 << 20))")
    assert len(cp.stdout) <= (1 << 20) + 1
    assert rss_kib() - before < 128 << 10


def test_installs_come_back_exactly_after_a_new_runner(tmp_path, monkeypatch, served_index, capfd):
    index = served_index
    index.add_wheel("chain-dep", "1.0", {"chain_dep.py": "NAME = 'dep'\n"})
    index.add_wheel("chain-app", "1.0", {"chain_app.py": "import chain_dep\n"}, requires=["chain-dep"])
    gone = index.add_wheel("gone-pkg", "1.0", {"gone_pkg.py": ""})
    wheel = make_wheel(tmp_path, "local_pkg", "1.0", {"local_pkg.py": "VALUE = 'local'\n"})
    s = make_session(tmp_path, monkeypatch, domain_allowlist=[index.host], exec_timeout_ms=3000)
    # A wheel that is a file of the workspace installs by its emfs: path.
    s.write_file(f"dist/{wheel.name}", wheel.read_bytes())
    s.install(f"emfs:/workspace/dist/{wheel.name}")
    # A package found by name through an index that a run set.
    s.execute_python(f"import micropip\nmicropip.set_index_urls([{index.index_url!r}])")
    s.install("chain-app")
    s.install(gone)
    (index.root / "files" / gone.rsplit("/", 1)[1]).unlink()
    s.delete_file(f"dist/{wheel.name}")
    capfd.readouterr()
    with pytest.raises(RuntimeError, match=rf"^execution timed out after 3000ms\n{RESET_LINE}$"):
        s.execute_python("while True: pass")
    # The new runner has the same packages, without the index setting and
    # without the wheel file in its workspace; the one that cannot be had
    # again is named on standard error and the session goes on.
    cp = s.execute_python("import chain_app, local_pkg\nprint(chain_app.chain_dep.NAME, local_pkg.VALUE)")
    assert cp.stdout == "dep local"
    err = [line for line in capfd.readouterr().err.splitlines() if line.startswith("vesk: ")]
    assert len(err) == 1 and f"'{gone}'" in err[0], err


def test_failures_say_what_they_cost(tmp_path, monkeypatch):
    others = runner_pids()  # of sessions that other tests left to the collector
    s = make_session(tmp_path, monkeypatch)

    def kill_runner(wait: bool) -> None:
        # The whole tree: bubblewrap's sandbox would end a moment after it.
        tree = list(runner_pids() - others)
        for pid in tree:
            tree += children_of(pid)
        for pid in tree:
            os.kill(pid, signal.SIGKILL)
        if wait:
            assert wait_until(lambda: all(gone_or_zombie(pid) for pid in tree))

    crash = "sandbox process exited unexpectedly (exit code: "
    # call -> (start of the first line, stdout, stderr, interpreter_reset)
    cases = {
        "python error": (lambda: s.execute_python(
            "import sys\nprint('out')\nprint('err', file=sys.stderr)\nraise ValueError('v')"),
            "Traceback (most recent call last):", "out", "err", False),
        "python time-out": (lambda: s.execute_python(
            "import sys\nprint('before')\nprint('e', file=sys.stderr)\nwhile True: pass",
            timeout_ms=1500), "execution timed out after 1500ms", "before", "e", True),
        "shell time-out": (lambda: s.execute_bash("echo before; echo e >&2; sleep 60",
                                                  timeout_ms=1500),
                           "execution timed out after 1500ms", "before\n", "e\n", False),
        # The installer's own words vary with the installer.
        "failed install": (lambda: s.install("emfs:/workspace/missing.whl"), "", None, "", True),
        # Whenever it died, a runner that cannot take the request crashed.
        "runner killed while idle": (lambda: kill_runner(True) or s.execute_python("print(1)"),
                                     crash, "", "", True),
        "runner killed just before": (lambda: kill_runner(False) or s.execute_python("print(1)"),
                                      crash, "", "", True),
    }
    for name, (call, first, out, err, reset) in cases.items():
        s.execute_python("state = 1")
        count = len(s.history)
        with pytest.raises(RuntimeError) as info:
            call()
        lines = str(info.value).split("\n")
        assert lines[0].startswith(first), (name, lines)
        assert (lines[-1] == RESET_LINE) == reset, (name, lines)
        e = info.value
        assert (e.stdout if out is not None else None, e.stderr, e.interpreter_reset) == (
            out, err, reset), name
        assert len(s.history) == count, name
        assert s.execute_python("print('state' in globals())").stdout == str(not reset), name
        # The traceback holds this frame: without this the session would
        # live on in a cycle, its runner with it, until a collection.
        del info, e


def test_cancel_descriptor_and_time_limit_per_call(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, exec_timeout_ms=60000, bash_timeout_ms=60000)
    read_end, write_end = os.pipe()

    def cancel_on(line: str):
        def on_output(text: str) -> None:
            if text == line:
                os.write(write_end, b"x")
        return on_output

    runs = {
        "python": (lambda: s.execute_python("print('started')\nwhile True: pass",
                                            cancel_fd=read_end, on_output=cancel_on("started")),
                   "started", True),
        "shell": (lambda: s.execute_bash("echo started; sleep 60", cancel_fd=read_end,
                                         on_output=cancel_on("started")), "started\n", False),
        # Readable before the call: refused before anything runs.
        "already readable": (lambda: os.write(write_end, b"x") and s.execute_python(
            "print('never')", cancel_fd=read_end), "", False),
    }
    for name, (call, out, reset) in runs.items():
        s.execute_python("state = 1")
        count = len(s.history)
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value).split("\n")[0] == "execution cancelled", name
        assert (info.value.stdout, info.value.interpreter_reset) == (out, reset), name
        assert len(s.history) == count, name
        os.read(read_end, 1)  # the caller drains its descriptor
        assert s.execute_python("print('state' in globals())").stdout == str(not reset), name
        del info
    # The smaller limit wins, and the message names it.
    s = make_session(tmp_path, monkeypatch, bash_timeout_ms=2000)
    for timeout_ms, applied in ((800, 800), (10**9, 2000)):
        with pytest.raises(RuntimeError, match=f"^execution timed out after {applied}ms$"):
            s.execute_bash("sleep 120", timeout_ms=timeout_ms)
    os.close(read_end)
    os.close(write_end)


def test_output_that_is_not_utf8_keeps_every_line(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    seen: list[str] = []
    cp = s.execute_python(textwrap.dedent("""
        import os, sys
        sys.stdout.buffer.write(b'a\\xffb\\xe0\\x80c\\n')
        sys.stdout.flush()
        os.write(1, b'\\xfe\\n')
        print('after')
        os.write(2, b'e\\xff\\n')
    """), on_output=seen.append)
    assert (cp.stdout, cp.stderr, cp.exit_code) == ("a\ufffdb\ufffd\ufffdc\n\ufffd\nafter",
                                                    "e\ufffd", None)
    assert seen == ["a\ufffdb\ufffd\ufffdc", "\ufffd", "after", "e\ufffd"]
    # A callback that raises is reported as unraisable; the run goes on.
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def failing(text: str) -> None:
        raise ValueError(text)
    cp = s.execute_bash("printf 'x\\377\\ny\\n'; printf 'e\\377\\n' >&2; exit 7", on_output=failing)
    assert (cp.stdout, cp.stderr, cp.exit_code) == ("x\ufffd\ny\n", "e\ufffd\n", 7)
    assert [str(u.exc_value) for u in unraisable] == ["x\ufffd", "y"]
    # A callback that uses its own session is refused, not left waiting.
    s.execute_bash("echo a", on_output=lambda text: s.current)
    assert "busy with a call on this thread" in str(unraisable[-1].exc_value)
    unraisable.clear()  # what it holds (the callbacks) holds the session
