"""In-tree PEP 517 build backend for vesk_internal.

`pip install --no-build-isolation .` must work with no package index in
reach and with nothing but the standard library installed (not even
setuptools or wheel), so the backend drives CMake itself and writes the wheel
by hand: it is a zip file with three small metadata files.

The wheel holds the abi3 extension module, its type stubs next to it, and the
same stubs as a PEP 561 stub package with its py.typed marker, which is where
type checkers look for the stubs of an installed single-module distribution;
and the pure-Python package `vesk` (python/vesk) with its console script
`vesk`, from the [project.scripts] table.
"""

from __future__ import annotations

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TAG = "cp310-abi3-linux_x86_64"


def _project() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _dist_name() -> str:
    return _project()["name"].replace("-", "_")


def _metadata() -> str:
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {p['name']}",
        f"Version: {p['version']}",
        f"Summary: {p.get('description', '')}",
        f"Requires-Python: {p.get('requires-python', '>=3.10')}",
    ]
    return "\n".join(lines) + "\n"


def _build_module() -> Path:
    build = Path(os.environ.get("VESK_WHEEL_BUILD", ROOT / "build-wheel"))
    if not (build / "build.ninja").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), *generator,
             "-DCMAKE_BUILD_TYPE=Release", "-DVESK_BUILD_TESTS=OFF", "-DVESK_BUILD_BENCH=OFF",
             f"-DPython3_EXECUTABLE={sys.executable}"],
            check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", str(build), "--target", "vesk_internal"],
                   check=True, stdout=sys.stderr)
    return build / "python" / "vesk_internal.abi3.so"


def _record_line(arcname: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def _package_files() -> dict[str, bytes]:
    """python/vesk's sources, by their place in the wheel."""
    base = ROOT / "python"
    paths = [*(base / "vesk").rglob("*.py"), base / "vesk" / "py.typed"]
    return {path.relative_to(base).as_posix(): path.read_bytes() for path in sorted(paths)}


def _entry_points() -> str:
    scripts = _project().get("scripts", {})
    lines = ["[console_scripts]"] + [f"{name} = {target}" for name, target in scripts.items()]
    return "\n".join(lines) + "\n"


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    module = _build_module()
    stubs = (ROOT / "python" / "vesk_internal.pyi").read_bytes()
    name = _dist_name()
    version = _project()["version"]
    info = f"{name}-{version}.dist-info"
    files = {
        "vesk_internal.abi3.so": module.read_bytes(),
        "vesk_internal.pyi": stubs,
        "vesk_internal-stubs/__init__.pyi": stubs,
        "vesk_internal-stubs/py.typed": b"",
        **_package_files(),
        # The web view (`vesk serve --ui`), beside the module where the server looks.
        **{f"vesk_ui/{page.name}": page.read_bytes()
           for page in sorted((module.parent / "vesk_ui").iterdir())},
        f"{info}/METADATA": _metadata().encode(),
        f"{info}/entry_points.txt": _entry_points().encode(),
        f"{info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: vesk_build\nRoot-Is-Purelib: false\n"
                          f"Tag: {TAG}\n").encode(),
    }
    wheel_name = f"{name}-{version}-{TAG}.whl"
    path = Path(wheel_directory) / wheel_name
    record = [_record_line(arc, data) for arc, data in files.items()]
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for arc, data in files.items():
            zi = zipfile.ZipInfo(arc, date_time=(2020, 1, 1, 0, 0, 0))
            zi.external_attr = (0o755 if arc.endswith(".so") else 0o644) << 16
            zi.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(zi, data)
    return wheel_name


if sysconfig.get_platform() != "linux-x86_64":  # pragma: no cover
    raise RuntimeError("vesk_internal builds on Linux x86-64 only")
