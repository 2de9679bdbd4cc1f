#!/usr/bin/env python3
"""Checks every relative link of README.md and docs/*.md: the file exists and,
for `page.md#anchor`, the page has a heading of that anchor (GitHub's rule:
lower case, punctuation dropped, spaces to hyphens). Prints each broken link
and exits 1 if there is one; run by scripts/run-tests.sh with the linters."""
from __future__ import annotations

import pathlib
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~)")


def anchors(page: pathlib.Path) -> set[str]:
    found, fenced = set(), False
    for line in page.read_text(encoding="utf-8").splitlines():
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced and line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"\s", "-", re.sub(r"[^\w\s-]", "", title)))
    return found


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    broken = []
    for page in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
        fenced = False
        for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
            if FENCE.match(line):
                fenced = not fenced
                continue
            if fenced:
                continue
            for target in LINK.findall(line):
                if re.match(r"[a-z]+:", target):
                    continue
                path, _, anchor = target.partition("#")
                file = (page.parent / path).resolve() if path else page
                if not file.exists():
                    broken.append(f"{page.relative_to(root)}:{number}: no such file: {target}")
                elif anchor and file.suffix == ".md" and anchor not in anchors(file):
                    broken.append(f"{page.relative_to(root)}:{number}: no heading for #{anchor}: {target}")
    for line in broken:
        print(line)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
