#!/usr/bin/env python3
"""Checks that the core's folders stay layers: a file in src/core/FOLDER/ includes
from src/core/ only its own folder and the folders FOLDER may use (below), so
that no include points up and the shell and the runner stay apart. Prints each
include that breaks this and exits 1 if there is one; run by
scripts/run-tests.sh with the linters."""
from __future__ import annotations

import pathlib
import re
import sys

# Each folder and what it may include besides itself, lowest first.
MAY_USE = {
    "base": set(),
    "history": {"base"},
    "exchange": {"base", "history"},
    "shell": {"base", "history", "exchange"},
    "runner": {"base", "history", "exchange"},
    "session": {"base", "history", "exchange", "shell", "runner"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"core/([^"]+)"', re.M)


def main() -> int:
    core = pathlib.Path(__file__).resolve().parent.parent / "src" / "core"
    problems = []
    for file in sorted(core.rglob("*")):
        if file.suffix not in (".h", ".cpp"):
            continue
        where = file.relative_to(core).parts
        if len(where) != 2 or where[0] not in MAY_USE:
            problems.append(f"{file.relative_to(core.parent.parent)}: not in a folder of the core's layers")
            continue
        for target in INCLUDE.findall(file.read_text(encoding="utf-8")):
            folder = target.split("/")[0]
            if "/" not in target or folder not in MAY_USE:
                problems.append(f"{file.relative_to(core.parent.parent)}: includes \"core/{target}\", "
                                "which names no folder of the core")
            elif folder != where[0] and folder not in MAY_USE[where[0]]:
                problems.append(f"{file.relative_to(core.parent.parent)}: includes \"core/{target}\", "
                                f"but {where[0]}/ may use only {sorted(MAY_USE[where[0]]) or 'nothing else'}")
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
