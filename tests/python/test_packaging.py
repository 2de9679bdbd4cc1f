"""Installing with pip, offline, gives the module, its type stubs, and the
package `vesk` with its console script."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
from pathlib import Path

import vesk_internal

ROOT = Path(__file__).resolve().parents[2]


def test_pip_installs_module_stubs_and_package_offline(tmp_path):
    target = tmp_path / "site"
    env = dict(os.environ)
    # Reuse the tree's build so that the test does not compile everything again.
    build = Path(vesk_internal.__file__).resolve().parent.parent
    env["VESK_WHEEL_BUILD"] = str(build)
    out = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--disable-pip-version-check", "--target", str(target), str(ROOT)],
        env=env, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    assert (target / "vesk_internal.abi3.so").is_file()
    assert (target / "vesk_internal.pyi").is_file()
    assert (target / "vesk_internal-stubs" / "__init__.pyi").is_file()
    assert (target / "vesk_internal-stubs" / "py.typed").is_file()
    assert (target / "vesk_ui" / "app.js").is_file()

    probe = subprocess.run(
        [sys.executable, "-c", "import vesk, vesk_internal; print(vesk_internal.__file__)"],
        env=dict(os.environ, PYTHONPATH=str(target)), capture_output=True, text=True, timeout=60)
    assert probe.returncode == 0, probe.stderr
    assert Path(probe.stdout.strip()).parent == target
    installed = {p.relative_to(target).as_posix() for p in (target / "vesk").rglob("*")}
    shipped = {p.relative_to(ROOT / "python").as_posix()
               for p in (ROOT / "python" / "vesk").rglob("*") if "__pycache__" not in p.parts}
    assert shipped <= installed

    # The console script and `python -m vesk` both reach the server's help.
    env = dict(os.environ, PYTHONPATH=str(target))
    for command in ([str(target / "bin" / "vesk")], [sys.executable, "-m", "vesk"]):
        help_text = subprocess.run([*command, "serve", "--help"], env=env, capture_output=True,
                                   text=True, timeout=60)
        assert help_text.returncode == 0, help_text.stderr
        assert "--http" in help_text.stdout and "VESK_CONFIG" in help_text.stdout


def test_stubs_describe_the_module():
    tree = ast.parse((ROOT / "python" / "vesk_internal.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {"InternalFault", "VeskCheckpoint", "VeskSession"}
    assert [base.id for base in classes["InternalFault"].bases] == ["BaseException"]
    for name, node in classes.items():
        if name == "InternalFault":
            continue
        declared = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        runtime = {attr for attr in vars(getattr(vesk_internal, name)) if not attr.startswith("_")}
        assert runtime <= declared, runtime - declared
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                assert ast.get_docstring(item), f"{name}.{item.name} has no docstring"
