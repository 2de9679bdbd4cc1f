"""What the web view shows of one workspace, answered in its worker.

The server asks its worker `{"tool": "_view", "arguments": {"what": ...}}`
(a name no client can call); `answer` reads the session and the worker's
records of what made each checkpoint, and changes nothing. Everything it
returns is bounded whatever the workspace holds, since all of it comes
from sandboxed code: a page of a file or of a run's output is at most
PAGE bytes, a page of a diff at most DIFF_LINES lines of at most
LINE_CHARS characters each (a longer line is cut, with a marker saying
how much), and a timeline entry names at most NAMES files per kind of
change (with the full counts). Wrong arguments raise ValueError, unknown
or forgotten checkpoints LookupError; the worker answers both as errors.
"""

from __future__ import annotations

import re
from typing import Any

PAGE = 256 * 1024
DIFF_LINES = 2000
LINE_CHARS = 4000
NAMES = 50
FILES_PAGE = 1000
# A name in a timeline is cut at NAME_CHARS characters, and a timeline
# names no more files once its names reach TIMELINE_CHARS characters (a
# thousand checkpoints of long names would otherwise make an answer of
# hundreds of megabytes); the counts are always whole.
NAME_CHARS = 300
TIMELINE_CHARS = 1 << 20
_LINE = re.compile(r"[^\r\n]*(?:\r\n?|\n)|[^\r\n]+")


def is_binary(data: bytes) -> bool:
    """Shown as binary: not UTF-8, or holding NUL or other C0 controls a
    text file would not (tab, line ends, form feed, and escape, which
    coloured logs hold, aside)."""
    if b"\0" in data:
        return True
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return True
    return re.search(r"[\x01-\x08\x0e-\x1a\x1c-\x1f]", text) is not None


def _page_of(data: bytes, page: int) -> dict[str, Any]:
    """Page `page` of `data`, cut on a character boundary."""
    pages = max(1, -(-len(data) // PAGE))
    if not 0 <= page < pages:
        raise ValueError(f"page {page} is out of range (0 to {pages - 1})")
    start, end = page * PAGE, min(len(data), (page + 1) * PAGE)
    # Move both ends back past UTF-8 continuation bytes, so no character is split.
    while 0 < start < len(data) and data[start] & 0xC0 == 0x80:
        start -= 1
    while 0 < end < len(data) and data[end] & 0xC0 == 0x80:
        end -= 1
    return {"page": page, "pages": pages, "text": data[start:end].decode("utf-8", "replace")}


def _cut(name: str) -> str:
    return name if len(name) <= NAME_CHARS else name[:NAME_CHARS] + "\u2026"


def _changes(before: dict[str, bytes] | None, after: dict[str, bytes],
             room: list[int]) -> dict[str, Any]:
    """The files added, changed and removed; `room[0]` is how many more
    characters of names the answer may hold, and shrinks."""
    old = before or {}
    added = sorted(k for k in after if k not in old)
    removed = sorted(k for k in old if k not in after)
    changed = sorted(k for k in after if k in old and old[k] != after[k])
    result = {}
    for kind, names in (("added", added), ("changed", changed), ("removed", removed)):
        shown = []
        for name in names[:NAMES]:
            if room[0] <= 0:
                break
            shown.append(_cut(name))
            room[0] -= len(shown[-1])
        result[kind] = {"count": len(names), "names": shown}
    return result


def _find(session: Any, checkpoint: Any) -> Any:
    if not isinstance(checkpoint, int) or isinstance(checkpoint, bool):
        raise ValueError("checkpoint must be a whole number")
    for found in session.history:
        if found.id == checkpoint:
            return found
    raise LookupError(f"checkpoint {checkpoint} is not in the history")


def _page(arguments: dict[str, Any]) -> int:
    page = arguments.get("page", 0)
    if not isinstance(page, int) or isinstance(page, bool):
        raise ValueError("page must be a whole number")
    return page


def summary(session: Any) -> dict[str, Any]:
    history = session.history
    return {"checkpoints": len(history), "size": int(session.history_bytes),
            "current": session.current.id}


def timeline(session: Any, made_by: dict[int, str | None],
             made_at: dict[int, float]) -> dict[str, Any]:
    labels = session.labels()
    current = session.current.id
    entries = []
    before: dict[str, bytes] | None = None
    room = [TIMELINE_CHARS]
    for checkpoint in session.history:
        files = checkpoint.files
        entries.append({"id": checkpoint.id, "made_by": made_by.get(checkpoint.id),
                        "made_at": made_at.get(checkpoint.id), "label": labels.get(checkpoint.id),
                        "exit_code": checkpoint.exit_code, "current": checkpoint.id == current,
                        "output_bytes": len(checkpoint.stdout) + len(checkpoint.stderr),
                        # The oldest kept checkpoint is compared with nothing.
                        **_changes(before, files, room)})
        before = files
    return {"current": current, "checkpoints": entries}


def files_of(session: Any, checkpoint: Any, page: int) -> dict[str, Any]:
    files = _find(session, checkpoint).files
    keys = sorted(files)
    pages = max(1, -(-len(keys) // FILES_PAGE))
    if not 0 <= page < pages:
        raise ValueError(f"page {page} is out of range (0 to {pages - 1})")
    return {"checkpoint": checkpoint, "page": page, "pages": pages,
            "files": [{"path": key, "size": len(files[key]), "binary": is_binary(files[key])}
                      for key in keys[page * FILES_PAGE:(page + 1) * FILES_PAGE]]}


def file_page(session: Any, checkpoint: Any, path: Any, page: int) -> dict[str, Any]:
    if not isinstance(path, str):
        raise ValueError("path must be a string")
    files = _find(session, checkpoint).files
    if path not in files:
        raise LookupError(f"no file of that name in checkpoint {checkpoint}")
    data = files[path]
    result: dict[str, Any] = {"checkpoint": checkpoint, "path": path, "size": len(data)}
    if is_binary(data):
        return {**result, "binary": True, "page": 0, "pages": 1, "text": ""}
    return {**result, "binary": False, **_page_of(data, page)}


def diff_page(session: Any, start: Any, end: Any, page: int) -> dict[str, Any]:
    _find(session, start)
    _find(session, end)
    lines = _LINE.findall(session.diff(start, end))
    pages = max(1, -(-len(lines) // DIFF_LINES))
    if not 0 <= page < pages:
        raise ValueError(f"page {page} is out of range (0 to {pages - 1})")
    shown = []
    for line in lines[page * DIFF_LINES:(page + 1) * DIFF_LINES]:
        line = line.rstrip("\r\n")
        if len(line) > LINE_CHARS:
            line = f"{line[:LINE_CHARS]}\u2026 [{len(line) - LINE_CHARS} more characters]"
        shown.append(line)
    return {"from": start, "to": end, "page": page, "pages": pages, "lines": shown}


def output_page(session: Any, checkpoint: Any, page: int) -> dict[str, Any]:
    found = _find(session, checkpoint)
    out = found.stdout.encode("utf-8", "replace")
    err = found.stderr.encode("utf-8", "replace")
    pages = max(1, -(-max(len(out), len(err)) // PAGE))
    if not 0 <= page < pages:
        raise ValueError(f"page {page} is out of range (0 to {pages - 1})")
    texts = [_page_of(data, page)["text"] if page * PAGE < max(1, len(data)) else ""
             for data in (out, err)]
    return {"checkpoint": checkpoint, "exit_code": found.exit_code, "page": page,
            "pages": pages, "stdout": texts[0], "stderr": texts[1]}


def answer(session: Any, made_by: dict[int, str | None], made_at: dict[int, float],
           arguments: dict[str, Any]) -> dict[str, Any]:
    what = arguments.get("what")
    if what == "summary":
        return summary(session)
    if what == "timeline":
        return timeline(session, made_by, made_at)
    if what == "files":
        return files_of(session, arguments.get("checkpoint"), _page(arguments))
    if what == "file":
        return file_page(session, arguments.get("checkpoint"),
                         arguments.get("path"), _page(arguments))
    if what == "diff":
        return diff_page(session, arguments.get("from"),
                         arguments.get("to"), _page(arguments))
    if what == "output":
        return output_page(session, arguments.get("checkpoint"),
                           _page(arguments))
    raise ValueError("unknown view")
