"""What a tool result says: its text for a model, and bounds on both parts.

Pure: no I/O. `result_content(tool, structured, limit)` turns a worker's
structured result into the text a person would read (a run's output as it
is, then its standard error, then a non-zero exit code; a file's content; a
diff; short listings) and bounds the structured content and that text to
about `limit` bytes each. A text past its share loses its middle: the head
and tail stay, cut on UTF-8 character boundaries, with a marker naming how
many bytes were left out; a list loses its end. The structured content then
carries `truncated`: {field: bytes left out}. A client can therefore never
make a call answer with more than a few times `limit` bytes, however large
the file or the output.
"""

from __future__ import annotations

import json
from typing import Any

MARKER = "\n[... {} bytes left out ...]\n"
_MARKER_ROOM = len(MARKER) + 20


def cut(text: str, limit: int) -> tuple[str, int]:
    """`text` within `limit` UTF-8 bytes, its middle replaced by a marker,
    and the number of bytes left out (0 when it fitted)."""
    data = text.encode("utf-8")
    if len(data) <= limit:
        return text, 0
    keep = max(limit - _MARKER_ROOM, 0)
    head, tail = keep // 2, len(data) - (keep - keep // 2)
    # Never split a character: move the head back and the tail forward past
    # continuation bytes.
    while head > 0 and data[head] & 0xC0 == 0x80:
        head -= 1
    while tail < len(data) and data[tail] & 0xC0 == 0x80:
        tail += 1
    left_out = tail - head
    return (data[:head].decode("utf-8") + MARKER.format(left_out)
            + data[tail:].decode("utf-8")), left_out


def _head(text: str, limit: int, quantum: int = 1) -> tuple[str, int]:
    """The first `limit` bytes of an ASCII text (base64), a whole number of
    `quantum`s, so that what is kept still decodes."""
    if len(text) <= limit:
        return text, 0
    keep = limit - limit % quantum
    return text[:keep], len(text) - keep


def _json_size(value: Any) -> int:
    return len(json.dumps(value, ensure_ascii=False).encode("utf-8"))


def bound(structured: dict[str, Any], limit: int) -> tuple[dict[str, Any], dict[str, int]]:
    """`structured` with its large top-level strings and lists cut to share
    `limit` bytes, and what was left out of each. Small fields are never cut;
    the rest share what the small ones leave evenly."""
    sizes = {name: (len(value.encode("utf-8")) if isinstance(value, str)
                    else _json_size(value))
             for name, value in structured.items() if isinstance(value, (str, list))}
    budget, shares = limit, {}
    for rank, name in enumerate(sorted(sizes, key=lambda n: sizes[n])):
        share = budget // (len(sizes) - rank)
        shares[name] = min(sizes[name], share)
        budget -= shares[name]
    bounded, truncated = dict(structured), {}
    for name, share in shares.items():
        if sizes[name] <= share:
            continue
        value = structured[name]
        if isinstance(value, str):
            if name == "content" and structured.get("encoding") == "base64":
                bounded[name], left_out = _head(value, share, 4)
            else:
                bounded[name], left_out = cut(value, share)
        else:
            kept: list[Any] = []
            used = 2
            for item in value:
                used += _json_size(item) + 1
                if used > share:
                    break
                kept.append(item)
            bounded[name], left_out = kept, sizes[name] - _json_size(kept)
        truncated[name] = left_out
    return bounded, truncated


def _joined(*parts: str) -> str:
    """Parts one after another, each starting on a line of its own."""
    out = ""
    for part in parts:
        if part:
            out += ("\n" if out and not out.endswith("\n") else "") + part
    return out


def _notes(s: dict[str, Any]) -> str:
    lines = [f"[{s['notice']}]"] if "notice" in s else []
    if "forgot_before" in s:
        lines.append(f"[the history was full: checkpoints before {s['forgot_before']} were "
                     f"forgotten ({s.get('forgot', 0)} of them; labelled ones are kept while "
                     "there is room)]")
    for name, left_out in s.get("truncated", {}).items():
        lines.append(f"[{name}: {left_out} bytes left out of this answer]")
    return "\n".join(lines)


def _listing(rows: list[str], footer: str) -> str:
    return "\n".join([*rows, footer])


def text_of(tool: str, s: dict[str, Any]) -> str:
    """What a person would read of a structured result."""
    if tool in ("run_python", "run_shell"):
        code = s.get("exit_code")
        status = f"[exit code {code}]" if code else ""
        body = _joined(s["stdout"], s["stderr"], status)
        return _joined(body or "(no output)", _notes(s))
    if tool == "read_file":
        content = s["content"]
        if s["encoding"] == "base64":
            content = f"[{s['path']}: {s['size']} bytes, not UTF-8 text; as base64:]\n{content}"
        elif s.get("total_lines") is not None and (
                s["first_line"] > 1 or s["first_line"] + s["line_count"] - 1 < s["total_lines"]):
            last = s["first_line"] + s["line_count"] - 1
            content = _joined(content, f"[lines {s['first_line']}-{last} of "
                                       f"{s['total_lines']}]" if s["line_count"] else
                              f"[no lines from {s['first_line']}: the file has "
                              f"{s['total_lines']}]")
        return _joined(content, _notes(s))
    if tool == "diff":
        return _joined(s["diff"] or "(no differences)", _notes(s))
    if tool == "search_files":
        rows = [f"{m['path']}:{m['line']}: {m['text']}" for m in s["matches"]]
        footer = f"[{len(s['matches'])} matches in checkpoint {s['checkpoint']}]"
        if s.get("stopped"):
            footer += f" [stopped early: {s['stopped']}]"
        return _joined(_listing(rows, footer), _notes(s))
    if tool == "list_files":
        rows = [f"{f['path']}  ({f['size']} bytes)" for f in s["files"]]
        return _joined(_listing(rows, f"[{len(s['files'])} files, {s['total_size']} bytes, "
                                      f"checkpoint {s['checkpoint']}]"), _notes(s))
    if tool == "list_history":
        rows = []
        for c in s["checkpoints"]:
            mark = "*" if c["current"] else " "
            label = f"  [{c['label']}]" if c.get("label") else ""
            if c.get("exit_code"):
                label += f"  [exit code {c['exit_code']}]"
            made_at = c.get("made_at") or "-"
            rows.append(f"{mark}{c['id']:>5}  {made_at}  {c['made_by'] or '?'}{label}")
        size = (f"; {s['history_bytes'] / 1048576:.1f} of {s['max_history_mb']} MiB held"
                if "history_bytes" in s else "")
        footer = (f"[current: {s['current']}; oldest kept: {s['oldest']}; "
                  f"at most {s['max_checkpoints']} are kept, the oldest unlabelled forgotten "
                  f"first{size}]")
        return _joined(_listing(rows, footer), _notes(s))
    if tool in ("write_file", "edit_file"):
        verb = "wrote" if tool == "write_file" else "edited"
        return _joined(f"{verb} {s['path']} ({s['size']} bytes): checkpoint {s['checkpoint']}",
                       _notes(s))
    if tool == "delete_file":
        return _joined(f"deleted {s['path']}: checkpoint {s['checkpoint']}", _notes(s))
    if tool == "rollback":
        return f"checkpoint {s['current']} is current"
    if tool == "label_checkpoint":
        return (f"checkpoint {s['checkpoint']} labelled {s['label']!r}" if s["label"]
                else f"checkpoint {s['checkpoint']} has no label")
    if tool == "install_package":
        return _joined(f"installed {s['package']}", _notes(s))
    if tool == "mount":
        return _listing(s["keys"], f"[{len(s['keys'])} files mounted]")
    if tool in ("commit", "export"):
        return _listing(s["written"], f"[{len(s['written'])} files written]")
    return json.dumps(s, ensure_ascii=False)


def result_content(tool: str, structured: dict[str, Any],
                   limit: int) -> tuple[str, dict[str, Any]]:
    """The text and the structured content of a successful call, each within
    about `limit` bytes."""
    # The text adds a line per cut field to what the structured content
    # holds: leave room for them, so that the text is not cut a second time.
    bounded, truncated = bound(structured, max(limit - 256, limit // 2))
    if truncated:
        bounded["truncated"] = truncated
    text, _ = cut(text_of(tool, bounded), limit)
    return text, bounded
