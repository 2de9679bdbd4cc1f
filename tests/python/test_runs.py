"""Python runs and installs as a user meets them: what is refused before
anything runs, what a run's files and output may hold, the errors a user gets,
and packages that come back exactly after the runner is replaced."""

from __future__ import annotations

import textwrap

import pytest

from runner_harness import make_wheel
from session_util import make_session, rss_kib, snapshot, under_address_sanitizer


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
    with pytest.raises(RuntimeError, match="^execution timed out after 3000ms$"):
        s.execute_python("while True: pass")
    # The new runner has the same packages, without the index setting and
    # without the wheel file in its workspace; the one that cannot be had
    # again is named on standard error and the session goes on.
    cp = s.execute_python("import chain_app, local_pkg\nprint(chain_app.chain_dep.NAME, local_pkg.VALUE)")
    assert cp.stdout == "dep local"
    err = [line for line in capfd.readouterr().err.splitlines() if line.startswith("vesk: ")]
    assert len(err) == 1 and f"'{gone}'" in err[0], err
