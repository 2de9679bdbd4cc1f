"""The runner script the module embeds is the bundle of runner/ as it is now.

The build bundles the modules in runner/ into one script
(cmake/bundle_runner.cmake) and embeds it. These tests bundle the sources
again and compare, and make the bundling meet what it must refuse.
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest
import vesk_internal

from runner_harness import ROOT, RUNNER_SOURCE, deno_executable
from session_util import children_of, make_session, runner_pids

BUILD = Path(vesk_internal.__file__).resolve().parent.parent


def bundle(source_dir: Path, output: Path) -> subprocess.CompletedProcess:
    """Runs the build's bundling step on `source_dir`/runner, with the
    bundler the build has fetched already."""
    return subprocess.run(
        ["cmake", f"-DDENO={deno_executable()}", f"-DSOURCE_DIR={source_dir}", f"-DOUTPUT={output}",
         f"-DDENO_DIR={BUILD / 'deno-bundler'}", "-P", str(ROOT / "cmake" / "bundle_runner.cmake")],
        capture_output=True, text=True, timeout=300)


def test_the_module_embeds_and_runs_the_bundle_of_the_sources_as_they_are(tmp_path, monkeypatch):
    fresh = tmp_path / "runner.js"
    out = bundle(ROOT, fresh)
    assert out.returncode == 0, out.stderr
    assert fresh.read_bytes() == RUNNER_SOURCE.read_bytes(), "the build's runner script is stale"
    # The runner runs that bundle, byte for byte: the script its Deno reads,
    # seen through the process's own root (in its sandbox, or on the host
    # where bubblewrap cannot be used).
    before = runner_pids()
    session = make_session(tmp_path, monkeypatch)
    (child,) = runner_pids() - before
    deno = next((pid for pid in [child, *children_of(child)]
                 if b"deno" in Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[0]), None)
    assert deno is not None
    args = Path(f"/proc/{deno}/cmdline").read_bytes().split(b"\0")
    script = next(a.decode() for a in args if b"vesk_runner" in a and a.endswith(b".js"))
    assert Path(f"/proc/{deno}/root{script}").read_bytes() == fresh.read_bytes()
    assert session.execute_python("print(6 * 7)").stdout == "42"


@pytest.mark.parametrize(
    "import_line, message",
    [
        ('import { x } from "../outside.ts";\nconsole.log(x);',
         "the runner script draws on {tree}/outside.ts, which the build does not watch"),
        ('import data from "./data.json" with { type: "json" };\nconsole.log(data);',
         "the runner script draws on {tree}/runner/data.json, which the build does not watch"),
        ('import "npm:is-number@7.0.0";', "bundling the runner script failed"),
    ],
    ids=["outside-runner", "not-ts-or-py", "another-package"],
)
def test_bundling_refuses_what_would_go_stale_or_unread(tmp_path, import_line, message):
    tree = tmp_path / "src"
    shutil.copytree(ROOT / "runner", tree / "runner")
    (tree / "outside.ts").write_text("export const x = 1;\n")
    (tree / "runner" / "data.json").write_text("{}\n")
    main = tree / "runner" / "main.ts"
    main.write_text(import_line + "\n" + main.read_text())
    output = tmp_path / "runner.js"
    out = bundle(tree, output)
    assert out.returncode != 0
    assert message.format(tree=tree) in " ".join(out.stderr.split()), out.stderr
    assert not output.exists()
