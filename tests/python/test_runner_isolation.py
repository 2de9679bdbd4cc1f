"""What code in a runner can do to what lies outside its session: Deno's
shared cache, the disks where vesk and other sessions keep things, and the
host's memory.

A runner reaches Deno through Pyodide's JavaScript bridge, so these tests
attack through it: they write modules and import them, fill the one
directory a runner may write, and allocate past its memory bound.
"""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import tempfile
import textwrap
from pathlib import Path

import pytest

from runner_harness import deno_cache_dir
from session_util import RESET_LINE, make_session, mounted_tmpfs, runner_pids, wait_until

pytestmark = pytest.mark.skipif(shutil.which("bwrap") is None,
                                reason="runners run directly without bubblewrap")


def tree_digest(root: Path) -> dict[str, str]:
    """Every file below `root` and a digest of its bytes."""
    return {str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(root.rglob("*")) if p.is_file() and not p.is_symlink()}


IMPORTS = textwrap.dedent("""
    import js
    from pyodide.ffi import run_sync
    own = "/tmp/vesk-runner"
    js.Deno.writeTextFileSync(own + "/m.ts", "export const x: number = 40;")
    js.Deno.writeTextFileSync(own + "/n.js", "export const y = 1;")
    m = await js.eval(f"import('file://{own}/m.ts')")
    n = await js.eval(f"import('file://{own}/n.js')")
    d = await js.eval("import('data:application/typescript,export const z: number = 1;')")
    print(m.x + n.y + d.z)
""")


def test_imports_in_a_runner_leave_deno_s_cache_as_it_was(tmp_path, monkeypatch):
    # A copy of the cache's packages, as the runners' cache: Deno would keep
    # what it compiles (transpiled modules, V8's code cache) beside them.
    cache = Path(tempfile.mkdtemp(prefix="vesk-cache-", dir="/var/tmp"))
    try:
        shutil.copytree(Path(deno_cache_dir()) / "npm", cache / "npm")
        monkeypatch.setenv("DENO_DIR", str(cache))
        before = tree_digest(cache)
        s = make_session(tmp_path, monkeypatch)
        for _ in range(3):
            assert s.execute_python(IMPORTS).stdout == "42"
        del s
        assert tree_digest(cache) == before
    finally:
        shutil.rmtree(cache)


FILL = textwrap.dedent("""
    import js
    from pyodide.ffi import to_js
    chunk = to_js(bytes(1 << 20))
    f = js.Deno.openSync("/tmp/vesk-runner/fill", to_js({"write": True, "create": True}))
    try:
        for _ in range(64):
            f.writeSync(chunk)
    finally:
        f.close()
""")


@pytest.fixture
def small_tmpdir():
    """A 16 MiB tmpfs as TMPDIR, where runners once kept their files."""
    if os.getuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    with mounted_tmpfs("16m", "vesk-small-tmp-") as mount_point:
        yield mount_point


def test_a_runner_that_fills_its_directory_fills_only_its_own(tmp_path, monkeypatch,
                                                               small_tmpdir):
    monkeypatch.setenv("TMPDIR", str(small_tmpdir))
    s = make_session(tmp_path, monkeypatch, max_workspace_mb=8)
    s.execute_python("state = 1")
    with pytest.raises(RuntimeError, match="No space left on device"):
        s.execute_python(FILL)
    # Nothing of it reached the host's temporary directory; other sessions
    # start, and this one goes on with its interpreter.
    assert list(small_tmpdir.iterdir()) == []
    other = make_session(tmp_path, monkeypatch)
    assert other.execute_python("print(1)").stdout == "1"
    assert s.execute_python("print(state)").stdout == "1"


def test_runner_memory_is_bounded_and_the_session_goes_on(tmp_path, monkeypatch):
    others = runner_pids()  # of sessions that other tests left to the collector
    s = make_session(tmp_path, monkeypatch, max_runner_memory_mb=600)
    s.execute_python("state = 1")
    # Python's own objects: refused inside the interpreter, which goes on.
    with pytest.raises(RuntimeError) as info:
        s.execute_python("b = bytearray(700 << 20)")
    assert str(info.value).endswith(
        "MemoryError\nthe interpreter's memory is limited to 450 MiB "
        "(three quarters of max_runner_memory_mb in the vesk configuration)\n")
    assert s.execute_python("print(state)").stdout == "1"

    # JavaScript's objects: the runner is stopped, the call says why, and the
    # session goes on in a new interpreter with its files.
    s.write_file("kept.txt", b"kept")
    before = runner_pids() - others
    stopped = ("the runner went over its memory limit of 600 MiB (max_runner_memory_mb) and was stopped\n"
               + RESET_LINE)
    with pytest.raises(RuntimeError, match=f"^{re.escape(stopped)}$"):
        s.execute_python("import js\na = js.Uint8Array.new(700 << 20)\na.fill(1)")
    assert wait_until(lambda: not (before & runner_pids()))
    cp = s.execute_python("print(open('kept.txt').read(), 'state' in globals())")
    assert cp.stdout == "kept False"

    # Between calls too: memory taken by work a run left scheduled.
    s.execute_python("import js\njs.eval('globalThis.keep = []; "
                     "setInterval(() => keep.push(new Uint8Array(64 << 20).fill(1)), 5)')")
    before = runner_pids() - others
    assert wait_until(lambda: not (before & runner_pids()), timeout=60)
    with pytest.raises(RuntimeError, match=f"^{re.escape(stopped)}$"):
        s.execute_python("print('never')")
    assert s.execute_python("print('again')").stdout == "again"
