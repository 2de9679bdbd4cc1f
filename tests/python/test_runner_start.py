"""What runners may do to the things every later runner starts from.

Each test works on a private copy of Deno's cache (DENO_DIR), so the
machine's own cache is never at risk."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from runner_harness import deno_cache_dir
from session_util import make_session

PYODIDE = Path("npm/registry.npmjs.org/pyodide/314.0.8")


@pytest.fixture
def private_cache(tmp_path, monkeypatch) -> Path:
    cache = tmp_path / "deno-cache"
    shutil.copytree(deno_cache_dir(), cache, symlinks=True)
    monkeypatch.setenv("DENO_DIR", str(cache))
    return cache


def digest_tree(root: Path) -> dict[str, str]:
    """Every regular file below root and the hash of its bytes."""
    return {str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(root.rglob("*")) if p.is_file() and not p.is_symlink()}


def test_no_runner_can_change_what_later_runners_load(private_cache, tmp_path, monkeypatch):
    npm = private_cache / "npm" / "registry.npmjs.org"
    targets = [private_cache / PYODIDE / name
               for name in ("pyodide.mjs", "pyodide.asm.mjs", "pyodide.asm.wasm", "python_stdlib.zip")]
    targets += [next(p for p in (npm / "ws").rglob("*.js")), private_cache / "gen" / "vesk-planted.js"]
    targets += [p for p in private_cache.iterdir() if p.is_file()][:2]  # Deno's own caches
    before = digest_tree(private_cache / "npm")
    s = make_session(tmp_path, monkeypatch)
    js = "(async () => { const out = [];\n"
    for target in targets:
        for call in (f"Deno.writeFileSync({json.dumps(str(target))}, new Uint8Array([1]))",
                     f"Deno.removeSync({json.dumps(str(target))})",
                     f"Deno.renameSync({json.dumps(str(target))}, {json.dumps(str(target) + '.x')})"):
            js += f"try {{ {call}; out.push('allowed: ' + {json.dumps(call)}); }} catch (e) {{ out.push(e.name); }}\n"
    js += "return JSON.stringify(out); })()"
    cp = s.execute_python(f"from pyodide.code import run_js\nprint(await run_js({js!r}))")
    assert set(json.loads(cp.stdout)) == {"NotCapable"}
    # Not even a dynamic import makes Deno fetch into the shared cache.
    cp = s.execute_python(
        "from pyodide.code import run_js\n"
        "try:\n    await run_js('import(\"npm:is-number@7.0.0\")')\nexcept Exception as e:\n    print('refused')")
    assert cp.stdout == "refused"
    assert not (npm / "is-number").exists()
    assert digest_tree(private_cache / "npm") == before
    # Later runners, in this process and in another, run the same Pyodide.
    assert make_session(tmp_path, monkeypatch).execute_python("print(1 + 1)").stdout == "2"
    code = ("import vesk_internal; s = vesk_internal.VeskSession(); "
            "print(s.execute_python('import sys; print(sys.version_info[0])').stdout)")
    other = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                           env=os.environ.copy())
    assert other.stdout.strip() == "3", other.stderr[-2000:]


def test_a_cache_without_pyodide_and_no_registry_says_what_to_run(tmp_path, monkeypatch):
    monkeypatch.setenv("DENO_DIR", str(tmp_path / "empty-cache"))
    # Nothing listens there: the fetch fails at once.
    monkeypatch.setenv("NPM_CONFIG_REGISTRY", "http://127.0.0.1:9/")
    with pytest.raises(RuntimeError) as info:
        make_session(tmp_path, monkeypatch, install_timeout_ms=60000)
    assert str(info.value) == (
        f"Deno's cache ({tmp_path / 'empty-cache'}) lacks Pyodide 314.0.8 and it could not be "
        "fetched; with access to the npm registry run: deno cache npm:pyodide@314.0.8 "
        "(or ./scripts/setup.sh)")


def snapshot_files(cache: Path) -> list[Path]:
    return sorted((cache.parent / "vesk" / "snapshots").glob("*.snap"))


def snapshot_is_sound(path: Path) -> bool:
    """The header names a key and the SHA-256 of the bytes after it."""
    data = path.read_bytes()
    magic, key, digest, body = data.split(b"\n", 3)
    return (magic == b"vesk start snapshot 1" and key + b".snap" == path.name.encode()
            and hashlib.sha256(body).hexdigest().encode() == digest)


# Starts a session, keeps the process until the start snapshot exists (it is
# made in the background), then runs a probe.
WAIT_FOR_SNAPSHOT = """
import sys, time, vesk_internal
from pathlib import Path
s = vesk_internal.VeskSession()
folder = Path(sys.argv[1])
deadline = time.monotonic() + 240
while not list(folder.glob("*.snap")) and time.monotonic() < deadline:
    time.sleep(0.05)
print(s.execute_python("print(6 * 7)").stdout)
"""


def test_start_snapshots_are_made_once_and_out_of_every_runners_reach(private_cache, tmp_path,
                                                                      monkeypatch):
    folder = private_cache.parent / "vesk" / "snapshots"
    # Two processes start at once with no snapshot: one makes it, both go on.
    procs = [subprocess.Popen([sys.executable, "-c", WAIT_FOR_SNAPSHOT, str(folder)],
                              stdout=subprocess.PIPE, text=True, env=os.environ.copy())
             for _ in range(2)]
    assert [p.communicate(timeout=300)[0].strip() for p in procs] == ["42", "42"]
    [made] = snapshot_files(private_cache)
    assert snapshot_is_sound(made)
    assert oct(folder.stat().st_mode & 0o777) == "0o700"
    stamp = made.stat().st_mtime_ns
    # A runner started from it can neither read nor write where it is kept.
    s = make_session(tmp_path, monkeypatch)
    js = (f"(() => {{ const out = []; for (const f of [() => Deno.readFileSync({json.dumps(str(made))}),"
          f" () => Deno.writeFileSync({json.dumps(str(made))}, new Uint8Array(1)),"
          f" () => Deno.removeSync({json.dumps(str(made))})]) "
          "{ try { f(); out.push('allowed'); } catch (e) { out.push(e.name); } } return out.join(' '); })()")
    cp = s.execute_python(f"from pyodide.code import run_js\nprint(run_js({js!r}))")
    assert cp.stdout == "NotCapable NotCapable NotCapable"
    assert made.stat().st_mtime_ns == stamp and snapshot_is_sound(made)
