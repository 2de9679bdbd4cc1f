"""Installing with pip, offline, gives the module and its type stubs."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
from pathlib import Path

import vesk_internal

ROOT = Path(__file__).resolve().parents[2]


def test_pip_installs_module_and_stubs_offline(tmp_path):
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

    probe = subprocess.run(
        [sys.executable, "-c", "import vesk_internal; print(vesk_internal.__file__)"],
        env=dict(os.environ, PYTHONPATH=str(target)), capture_output=True, text=True, timeout=60)
    assert probe.returncode == 0, probe.stderr
    assert Path(probe.stdout.strip()).parent == target


def test_stubs_describe_the_module():
    tree = ast.parse((ROOT / "python" / "vesk_internal.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {"VeskCheckpoint", "VeskSession"}
    for name, node in classes.items():
        declared = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        runtime = {attr for attr in vars(getattr(vesk_internal, name)) if not attr.startswith("_")}
        assert runtime <= declared, runtime - declared
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                assert ast.get_docstring(item), f"{name}.{item.name} has no docstring"
