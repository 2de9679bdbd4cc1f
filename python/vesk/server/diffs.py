"""The part of a workspace diff that concerns some paths.

Pure: no I/O. The module's diff (`VeskSession.diff`) is a run of sections,
one per changed file in key order: either "Binary file {key} changed.\\n" or
"--- a/{key}\\n+++ b/{key}\\n" and hunks. A hunk's header gives how many old
and new lines follow, so the sections are told apart by counting, never by
what a changed line looks like (a removed line "-- a/x" reads "--- a/x").
Lines end as the module splits them: at "\\r\\n", "\\n" or a lone "\\r".
"""

from __future__ import annotations

import re

_LINE = re.compile(r"[^\r\n]*(?:\r\n?|\n)|[^\r\n]+")
_HUNK = re.compile(r"@@ -\d+(?:,(\d+))? \+\d+(?:,(\d+))? @@\n")
_BINARY = re.compile(r"Binary file (.*) changed\.\n")


def _wanted(key: str, paths: list[str]) -> bool:
    return any(key.startswith(path) for path in paths)


def diff_of(text: str, paths: list[str]) -> str:
    """The sections of `text` whose key is one of `paths` or starts with one."""
    lines = _LINE.findall(text)
    out: list[str] = []
    i = 0
    while i < len(lines):
        binary = _BINARY.fullmatch(lines[i])
        if binary:
            if _wanted(binary.group(1), paths):
                out.append(lines[i])
            i += 1
            continue
        if not (lines[i].startswith("--- a/") and lines[i].endswith("\n")):
            raise ValueError(f"unexpected line in a diff: {lines[i][:80]!r}")
        key, start = lines[i][len("--- a/"):-1], i
        i += 2
        while i < len(lines) and (hunk := _HUNK.fullmatch(lines[i])):
            old = int(hunk.group(1) or 1)
            new = int(hunk.group(2) or 1)
            i += 1
            while i < len(lines) and (old > 0 or new > 0 or lines[i].startswith("\\")):
                tag = lines[i][0]
                old -= tag in " -"
                new -= tag in " +"
                i += 1
        if _wanted(key, paths):
            out += lines[start:i]
    return "".join(out)
