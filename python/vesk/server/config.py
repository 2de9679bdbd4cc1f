"""The module's configuration file, as far as the server acts on it.

Each session's worker reads `VESK_CONFIG` itself (the module does); the
server reads the same file for the keys the module carries without acting on
them and the server gives a meaning: `max_sessions`, `session_idle_timeout_secs`
and `export_root`, for `mount_allowlist`, which decides whether mount is
offered, and for `park_after_idle_secs`, whose default the server changes
(the module's is 0, never; the server's 300), and for the limits the tools
describe to a model and the worker works within (the time-outs,
`max_checkpoints` and the sizes its memory budget adds up, with the module's
defaults, and the shell's deny and
allow lists, which the worker applies to the command as written). It reads the file by the
module's rules, so that both see the same
values: types are strict (an unsigned integer, a string, a boolean, a list of
strings), unknown keys are ignored, and a file that cannot be read or parsed,
or that has one value of the wrong type, counts as absent: every key takes
its default, and the reason is returned for the server to print.

Reading TOML needs `tomllib` (Python 3.11 or newer); without it the server
uses the defaults and says so.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

UINT, STRING, BOOLEAN, STRINGS = "an unsigned integer", "a string", "a boolean", \
    "an array of strings"
KEYS = {
    "domain_allowlist": STRINGS, "fetch_timeout_ms": UINT, "connect_timeout_ms": UINT,
    "exec_timeout_ms": UINT, "install_timeout_ms": UINT, "max_workspace_mb": UINT,
    "mount_allowlist": STRINGS, "export_root": STRING, "snapshots_dir": STRING,
    "snapshot_on_close": BOOLEAN, "max_sessions": UINT, "max_checkpoints": UINT,
    "session_idle_timeout_secs": UINT, "env_allowlist": STRINGS, "package_allowlist": STRINGS,
    "bash_timeout_ms": UINT, "bash_command_denylist": STRINGS, "bash_command_allowlist": STRINGS,
    "max_runner_memory_mb": UINT, "park_after_idle_secs": UINT,
    "spare_runner": BOOLEAN, "max_shell_memory_mb": UINT, "max_park_image_mb": UINT,
    "max_history_mb": UINT,
}
DEFAULTS: dict[str, Any] = {
    "max_sessions": 50,
    "session_idle_timeout_secs": 3600,
    "mount_allowlist": [],
    "export_root": "vesk-export",
    "park_after_idle_secs": 300,
    "exec_timeout_ms": 60000,
    "bash_timeout_ms": 30000,
    "install_timeout_ms": 120000,
    "max_checkpoints": 200,
    "max_history_mb": 4096,
    "max_workspace_mb": 512,
    "max_park_image_mb": 64,
    "spare_runner": True,
    "bash_command_denylist": [],
    "bash_command_allowlist": [],
}


def _fits(value: Any, kind: str) -> bool:
    if kind == UINT:
        return isinstance(value, int) and not isinstance(value, bool) and value >= 0
    if kind == STRING:
        return isinstance(value, str)
    if kind == BOOLEAN:
        return isinstance(value, bool)
    return isinstance(value, list) and all(isinstance(item, str) for item in value)


def check(table: Mapping[str, Any]) -> str | None:
    """What is wrong with a parsed file by the module's rules, or None."""
    for key, kind in KEYS.items():
        if key in table and not _fits(table[key], kind):
            return f"invalid value for key `{key}`, expected {kind}"
    return None


def load(environ: Mapping[str, str]) -> tuple[dict[str, Any], str | None]:
    """The server's keys, and why the defaults were used (None if they were
    not, or if no file is configured)."""
    path = environ.get("VESK_CONFIG")
    if not path:
        return dict(DEFAULTS), None
    try:
        import tomllib
    except ImportError:
        return dict(DEFAULTS), (f"cannot read the config at {path}: reading TOML needs "
                                "Python 3.11 or newer")
    try:
        with open(path, "rb") as f:
            table = tomllib.loads(f.read().decode("utf-8"))
    except OSError as e:
        return dict(DEFAULTS), f"failed to read config at {path}: {e.strerror} (os error {e.errno})"
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        return dict(DEFAULTS), f"failed to parse config at {path}: {e}"
    problem = check(table)
    if problem is not None:
        return dict(DEFAULTS), f"failed to parse config at {path}: {problem}"
    return {key: table.get(key, default) for key, default in DEFAULTS.items()}, None
