"""`search_files`: a regular expression over a checkpoint's text files.

A client chooses the pattern, so the work is bounded three ways: each line is
searched in its first LINE_CAP characters only, the search ends after
MAX_MATCHES matches, and after SECONDS of work. The time bound is checked
between lines, and, for one pattern that backtracks for ever on one line, by
an interval timer whose signal the regular expression engine notices while it
matches (`interrupt_after`; in the main thread only, where Python runs signal
handlers). What stopped a search is said, never silently dropped.
"""

from __future__ import annotations

import fnmatch
import re
import signal
import threading
import time
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any

LINE_CAP = 4000
SHOWN = 400  # characters of a matching line returned
MAX_MATCHES = 500
SECONDS = 5.0


class _TimeUp(Exception):
    pass


@contextmanager
def interrupt_after(seconds: float) -> Iterator[None]:
    """Raises _TimeUp in the block after `seconds`, even inside one match."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def expire(signum: int, frame: Any) -> None:
        raise _TimeUp()

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def search(files: Mapping[str, bytes], pattern: re.Pattern[str], glob: str | None,
           seconds: float = SECONDS) -> tuple[list[dict[str, Any]], str | None]:
    """Matches ({path, line, text}) in path order, and why the search stopped
    early (None when it did not)."""
    matches: list[dict[str, Any]] = []
    deadline = time.monotonic() + seconds
    try:
        with interrupt_after(seconds):
            for path in sorted(files):
                if glob is not None and not fnmatch.fnmatchcase(path, glob):
                    continue
                data = files[path]
                if b"\0" in data:
                    continue
                try:
                    text = data.decode("utf-8")
                except UnicodeDecodeError:
                    continue
                for number, line in enumerate(text.split("\n"), 1):
                    if number % 1024 == 0 and time.monotonic() > deadline:
                        raise _TimeUp()
                    if pattern.search(line, 0, LINE_CAP) is None:
                        continue
                    matches.append({"path": path, "line": number,
                                    "text": line[:SHOWN].rstrip("\r")})
                    if len(matches) >= MAX_MATCHES:
                        return matches, f"{MAX_MATCHES} matches"
    except _TimeUp:
        return matches, f"{seconds:g} s of work"
    return matches, None
