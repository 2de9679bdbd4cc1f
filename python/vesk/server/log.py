"""The server's standard error: its own lines and its workers', made safe.

Code in a session can write to its runner's standard error, which is its
worker's, and so would reach the operator's terminal (escape sequences
included) or the stdio client's log as it pleases. Workers' standard error
is therefore a pipe that the server reads (`relay`); each line is tagged
with the worker's number. Every line written, the server's own included
(they may quote what a client sent), has its control characters escaped
(C0, DEL, C1, and the format and separator characters that reorder or
break what a terminal or a log viewer shows: U+202E, U+2028, ...) and is
cut to `MAX_LINE` characters.

Writing is done by a thread of its own from a bounded queue, so a reader of
standard error that stops reading (a client that never drains it) cannot
stall the server: lines beyond the queue are dropped and counted, and the
count is written once there is room again.

With `set_format("json")` every line is one JSON object instead: `time`
(UTC, ISO 8601), `level`, `message`, and for a tool call (`call`)
`workspace`, `tool`, `duration` (seconds) and `outcome`. Each string field
is escaped as a text line is and cut on its own (`MAX_FIELD`, the message
`MAX_LINE`), so a line stays one valid, bounded JSON object.
"""

from __future__ import annotations

import asyncio
import datetime
import json
import os
import queue
import threading
import time

MAX_LINE = 2000
MAX_FIELD = 200
QUEUED = 1000
# C0 controls but tab, DEL, and the C1 controls, which some terminals obey too.
_CONTROL = {c: f"\\x{c:02x}" for c in [*range(0x00, 0x09), *range(0x0a, 0x20),
                                       *range(0x7f, 0xa0)]}
# Bidirectional marks, embeddings, overrides and isolates, line and paragraph
# separators, invisible joiners and the byte order mark.
_CONTROL.update({c: f"\\u{c:04x}" for c in [0x061c, *range(0x200b, 0x2010),
                                             *range(0x2028, 0x202f), *range(0x2060, 0x2070),
                                             0xfeff, *range(0xfff9, 0xfffc)]})

_lines: queue.Queue[str] = queue.Queue(QUEUED)
_dropped = 0
_lock = threading.Lock()
_writer: threading.Thread | None = None
_json = False


def set_format(name: str) -> None:
    """"text" (the default) or "json"."""
    global _json
    _json = name == "json"


def _clean_field(text: str, bound: int) -> str:
    # Cut before escaping too: a client may send a field of megabytes.
    text = text[:bound + 1].translate(_CONTROL)
    return text if len(text) <= bound else text[:bound] + "..."


def _record(level: str, message: str, fields: dict[str, object]) -> str:
    record: dict[str, object] = {
        "time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds"),
        "level": level}
    for name, value in fields.items():
        record[name] = _clean_field(value, MAX_FIELD) if isinstance(value, str) else value
    record["message"] = _clean_field(message, MAX_LINE)
    return json.dumps(record, ensure_ascii=False)


def clean(text: str) -> str:
    """One line as it may be shown: control characters escaped, cut short."""
    return _clean_field(text, MAX_LINE)


def _write_forever() -> None:
    while True:
        line = _lines.get()
        data = (line + "\n").encode("utf-8", errors="replace")
        try:
            while data:
                data = data[os.write(2, data):]
        except OSError:
            pass
        _lines.task_done()


def flush(timeout: float = 2.0) -> None:
    """Waits (a while) until the queued lines are written."""
    deadline = time.monotonic() + timeout
    while _lines.unfinished_tasks and time.monotonic() < deadline:
        time.sleep(0.01)


def say(text: str, level: str = "info") -> None:
    """Queues one line of the server's own for standard error."""
    _put(_record(level, text, {}) if _json else f"vesk serve: {clean(text)}")


def call(workspace: str | None, tool: str, duration: float, outcome: str,
         kind: str | None = None, message: str = "") -> None:
    """Logs one tool call; only in the JSON format, whose records are for
    machines (the text log stays as terse as it was)."""
    if _json:
        _put(_record("info" if outcome == "ok" else "warning", message,
                     {"workspace": workspace, "tool": tool, "duration": round(duration, 6),
                      "outcome": outcome, **({"kind": kind} if kind else {})}))


def _put(line: str) -> None:
    global _dropped, _writer
    with _lock:
        if _writer is None:
            _writer = threading.Thread(target=_write_forever, name="vesk-stderr", daemon=True)
            _writer.start()
        try:
            if _dropped:
                dropped = f"{_dropped} lines of standard error were dropped"
                _lines.put_nowait(_record("warning", dropped, {}) if _json
                                  else f"vesk serve: {dropped}")
                _dropped = 0
            _lines.put_nowait(line)
        except queue.Full:
            _dropped += 1


async def relay(stream: asyncio.StreamReader, tag: str) -> None:
    """Copies a worker's standard error, line by line, until it ends."""
    pending = b""
    while True:
        chunk = await stream.read(65536)
        if not chunk:
            break
        pending += chunk
        *lines, pending = pending.split(b"\n")
        if len(pending) > MAX_LINE * 4:  # a line without end: show what came
            lines.append(pending)
            pending = b""
        for line in lines:
            say(f"{tag}: {line.decode('utf-8', errors='replace')}")
    if pending:
        say(f"{tag}: {pending.decode('utf-8', errors='replace')}")
