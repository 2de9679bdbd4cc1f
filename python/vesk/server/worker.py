"""The worker: one process per session, holding one VeskSession.

`vesk_internal` holds the interpreter lock for the whole of every call, so a
server that kept its sessions in its own process would stop every client while
one of them ran `sleep 4`. Each session therefore lives in a process of its
own, started by the server (`vesk.server.workers`) as `python -m
vesk.server.worker`, which serves the session's tool calls one at a time.

Channel: the server's pipes on the worker's standard input and output, moved
at start to descriptors of their own; standard output then points at standard
error, so nothing the module or its children might print can reach the
channel. Each message is a frame: an 8-byte big-endian length, then that many
bytes of UTF-8 JSON. The worker first sends `{"ready": true, ...}` once its
session has started (or `{"ready": false, "error": ...}` and exits), then
answers each `{"tool": name, "arguments": {...}}` with `{"ok": structured
result}` or `{"error": message}` (the tool failed; the session goes on), both
with "took", the seconds the call spent in the session, or with `{"fatal":
message}` (the session cannot go on; the worker exits). A request with
`"progress": true` may be answered first by frames `{"progress": text}`, the
output the call printed since the previous one (see `Progress`). End of
input ends the session: the worker drops it, which stops its runner and
removes its directories, and exits.

Cancelling: the server also gives the worker the read end of a pipe (its
number in VESK_CANCEL_FD) and writes a byte to it to stop the call in
flight. The module watches that descriptor during runs and stops a run as a
time-out would; the worker empties the pipe before each call, so a byte
meant for a call that ended anyway cannot stop the next one.

Standby: started as `python -m vesk.server.worker --standby`, a worker
makes a fresh session before it has one to serve (a runner borrowed from
the server's spare, started from the start snapshot and idle), sends
`{"standby": true}` and waits for `{"env": {...}}`, the environment of the
session it is given (SESSION_ENV only). It then starts as any other, except that a new, empty
session takes the one made in advance: one that comes from the store or a
file drops it. Nothing has run in it, so it carries nothing of anyone.
Its process name (/proc/PID/comm) is STANDBY_NAME while it waits, and
WORKER_NAME once it has a session.

The worker dies with the server (PR_SET_PDEATHSIG), so a server killed
outright leaves no session behind, and is a subreaper, so that what its
session starts stays its descendant until the server has killed it.
"""

from __future__ import annotations

import base64
import bisect
import ctypes
import gc
import json
import os
import re
import shlex
import signal
import struct
import sys
import time
from typing import Any, BinaryIO, Callable

from vesk.server import config, durable, killpoint, search, view
from vesk.server.diffs import diff_of
from vesk.server.memory import MIB, Memory

HEADER = struct.Struct(">Q")
# What a standby worker may be told when it is given its session.
SESSION_ENV = frozenset({"VESK_STORE_ID", "VESK_STORE_LOAD", "VESK_LOAD_FILE"})
# Progress frames: at most one per PROGRESS_INTERVAL seconds, each the last
# PROGRESS_CHARS characters of the output since the one before.
PROGRESS_INTERVAL = 0.25
PROGRESS_CHARS = 4000
PR_SET_PDEATHSIG = 1
PR_SET_NAME = 15
# The process's name (/proc/PID/comm) while it is a standby with no session.
STANDBY_NAME = b"vesk-standby"
WORKER_NAME = b"vesk-worker"
PR_SET_CHILD_SUBREAPER = 36


class ToolError(Exception):
    """A failure reported to the client as the tool's error result."""


class NotFound(ToolError):
    """A file or checkpoint that does not exist (replied with "missing": true)."""


def send(out: BinaryIO, message: dict[str, Any]) -> None:
    body = json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    out.write(HEADER.pack(len(body)) + body)
    out.flush()


def receive(inp: BinaryIO) -> dict[str, Any] | None:
    """The next message, or None at the end of input."""
    header = inp.read(HEADER.size)
    if len(header) < HEADER.size:
        return None
    (length,) = HEADER.unpack(header)
    body = inp.read(length)
    if len(body) < length:
        return None
    message = json.loads(body)
    assert isinstance(message, dict)
    return message


def _summary(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    first = lines[0] if lines else ""
    if len(first) > 60:
        first = first[:57] + "..."
    return first + (f" (+{len(lines) - 1} lines)" if len(lines) > 1 else "")


def _text_or_base64(data: bytes) -> tuple[str, str]:
    try:
        return "utf-8", data.decode("utf-8")
    except UnicodeDecodeError:
        return "base64", base64.b64encode(data).decode("ascii")


def inside(root: str, relative: str) -> str:
    """`relative` joined to `root`, refused when it leaves it (absolute, `..`,
    or through a link that points elsewhere)."""
    if os.path.isabs(relative) or ".." in relative.split("/"):
        raise ToolError(f"'{relative}' must be a relative path without '..'")
    target = os.path.join(root, relative)
    resolved = os.path.realpath(target)
    if os.path.commonpath([resolved, root]) != root:
        raise ToolError(f"'{relative}' leads outside the export root")
    return resolved


def shell_line(command: str) -> str:
    """`command` for the sandbox's `sh -c`: run by bash with pipefail where
    the sandbox has bash, else by sh. The command travels as a positional
    parameter in one single-quoted word, so no character of it is ever read
    as part of the wrapper."""
    return (f"set -- {shlex.quote(command)}; if command -v bash >/dev/null 2>&1; then exec "
            'bash -o pipefail -c "$1"; else exec sh -c "$1"; fi')


def screen(command: str, denylist: list[str], allowlist: list[str]) -> str | None:
    """Why the module's shell lists refuse `command` (by its rules: plain
    substrings, the denylist first), or None."""
    for pattern in denylist:
        if pattern in command:
            return f"command denied: matches denylist pattern '{pattern}'"
    if allowlist and not any(pattern in command for pattern in allowlist):
        return ("command denied: not matched by any allowlist pattern; permitted: "
                + ", ".join(allowlist))
    return None


_LINE = re.compile(r"[^\n]*\n|[^\n]+")


def _numbered(lines: list[str], first: int) -> str:
    return "".join(f"{number:>6}\t{line}" for number, line in enumerate(lines, first))


def _timeout_ms(seconds: float | None) -> int | None:
    # The module caps it by the configured limit; this only keeps it in range.
    if seconds is None:
        return None
    if not seconds < 1e12:  # also NaN and infinity, which a JSON parser may let through
        return 1 << 40
    return max(1, min(int(seconds * 1000), 1 << 40))


def _utc(when: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(when))


class Operations:
    """The tools over one session, and what made each checkpoint and when.

    The module does not record what produced a checkpoint, so the worker
    keeps `made_by` and `made_at` beside the history, by checkpoint id,
    following the module's rules: a change appends after the current
    checkpoint and drops the ones after it; a Python or shell run drops them
    even when it fails; a rollback moves the current checkpoint only; mount
    changes the current checkpoint in place; forgetting drops the oldest.

    A change that would find the history at `max_checkpoints`, or past
    `max_history_mb` with what it may add, first forgets the oldest
    checkpoints, so that a long conversation never meets the module's
    refusal: it keeps the newest and the labelled ones while there is room,
    then drops the oldest labelled ones too, never the current one. A run may
    add up to `max_workspace_mb` of new contents, so before a run the history
    is brought that far under its bound; an edit counts what it writes. With
    a `memory` budget (memory.py), a worker past it forgets the same way.
    """

    def __init__(self, session: Any, export_root: str | None,
                 settings: dict[str, Any] | None = None, memory: Memory | None = None) -> None:
        self.session = session
        self.export_root = export_root
        self.memory = memory
        # The configuration the session read (by the module's rules).
        settings = config.load(os.environ)[0] if settings is None else settings
        self.max_checkpoints: int = settings["max_checkpoints"]
        self.max_history: int = settings["max_history_mb"] * MIB
        self.run_adds: int = settings["max_workspace_mb"] * MIB
        self.denylist: list[str] = settings["bash_command_denylist"]
        self.allowlist: list[str] = settings["bash_command_allowlist"]
        self.made_by: dict[int, str | None] = {0: "session start"}
        self.made_at: dict[int, float] = {0: time.time()}
        self.current = 0
        self._run_options: dict[str, Any] = {}
        # The current checkpoint's keys, sorted, and their sizes, for
        # list_page; dropped by any other call, which might change them.
        self._listing: tuple[list[str], list[int]] | None = None

    def call(self, tool: str, arguments: dict[str, Any], *, cancel_fd: int | None = None,
             on_output: Callable[[str], None] | None = None) -> dict[str, Any]:
        """Runs one tool. `cancel_fd` and `on_output` reach the module's runs
        (see VeskSession.execute_python): a readable `cancel_fd` stops the
        run, `on_output` gets its output as it comes."""
        method = getattr(self, "tool_" + tool, None)
        if method is None:
            raise ToolError(f"unknown tool '{tool}'")
        if tool != "list_page":
            self._listing = None
        self._run_options = {name: value for name, value in
                             (("cancel_fd", cancel_fd), ("on_output", on_output))
                             if value is not None}
        try:
            result: dict[str, Any] = method(**arguments)
        finally:
            self._run_options = {}
        return result

    def _appended(self, checkpoint_id: int, what: str) -> None:
        self._keep_records(lambda i: i < checkpoint_id)
        self.made_by[checkpoint_id] = what
        self.made_at[checkpoint_id] = time.time()
        self.current = checkpoint_id

    def _keep_records(self, keep: Callable[[int], bool]) -> None:
        """Keeps what made each checkpoint, and when, for the ids `keep` accepts."""
        self.made_by = {i: w for i, w in self.made_by.items() if keep(i)}
        self.made_at = {i: t for i, t in self.made_at.items() if keep(i)}

    def _make_room(self, run: bool, adding: int = 0) -> dict[str, int]:
        """Forgets the oldest checkpoints when the next change would find the
        history full, or past its size with `adding` more bytes, or the worker
        past its memory budget; what it did, for the result. A run counts the
        history up to the current checkpoint (it discards the later ones
        first), a file change counts all of it. Raises OverBudget when the
        worker is past its budget with nothing left to forget."""
        ids: list[int] = [c.id for c in self.session.history]
        current = self.session.current.id
        counted = sum(1 for i in ids if i <= current) if run else len(ids)
        excess = counted - (self.max_checkpoints - 1)
        older = [i for i in ids if i < current]
        if len(older) < excess:
            excess = 0  # nothing can help: the module refuses
        labels = self.session.labels()
        plain = [i for i in older if i not in labels]
        labelled = [i for i in older if i in labels]
        # What follows each one once those before it in this order are gone:
        # the unlabelled ones go first, oldest first, then the labelled ones.
        following = dict(zip(ids, ids[1:]))
        following.update(zip(labelled, [*labelled[1:], current]))
        memory = self.memory

        def needed(forgot: int) -> bool:
            held = int(self.session.history_bytes)
            return (forgot < excess or held + adding > self.max_history
                    or (memory is not None and memory.over_budget(held)))

        forgot = 0
        before = None
        for victim in [*plain, *labelled]:
            if not needed(forgot):
                break
            before = following[victim]
            self.session.forget_before(before, keep_labelled=victim not in labels)
            forgot += 1
        if memory is not None:
            memory.check(int(self.session.history_bytes))
        if before is None:
            return {}
        kept = {c.id for c in self.session.history}
        self._keep_records(lambda i: i in kept)
        return {"forgot_before": before, "forgot": forgot}

    def _run(self, run: Any, source: str, what: str, timeout_seconds: float | None,
             wrapped: str | None = None) -> dict[str, Any]:
        forgot = self._make_room(run=True, adding=self.run_adds)
        before: int = self.session.current.id
        options = dict(self._run_options)
        if timeout_seconds is not None:
            options["timeout_ms"] = _timeout_ms(timeout_seconds)
        try:
            checkpoint = run(source if wrapped is None else wrapped, **options)
        except RuntimeError as e:
            self._keep_records(lambda i: i <= before)
            output = "\n".join(part for part in (getattr(e, "stdout", ""),
                                                  getattr(e, "stderr", "")) if part)
            if output:
                raise RuntimeError(f"{e}\n[output before the failure:]\n{output}") from None
            raise
        self._appended(checkpoint.id, f"{what}: {_summary(source)}")
        result = {"checkpoint": checkpoint.id, "stdout": checkpoint.stdout,
                  "stderr": checkpoint.stderr, **forgot}
        if wrapped is not None:
            result["exit_code"] = checkpoint.exit_code
        return result

    def _kept(self, checkpoint: int) -> Any:
        history = self.session.history
        for found in history:
            if found.id == checkpoint:
                return found
        if checkpoint < history[-1].id:
            raise NotFound(f"checkpoint {checkpoint} was forgotten (the oldest kept is "
                           f"{history[0].id})")
        raise NotFound(f"checkpoint {checkpoint} does not exist")

    def _checkpoint(self, checkpoint: int | None) -> Any:
        return self.session.current if checkpoint is None else self._kept(int(checkpoint))

    def tool_run_python(self, code: str, timeout_seconds: float | None = None) -> dict[str, Any]:
        return self._run(self.session.execute_python, code, "run_python", timeout_seconds)

    def tool_run_shell(self, command: str,
                       timeout_seconds: float | None = None) -> dict[str, Any]:
        if "\0" in command:
            raise ToolError("the command contains a NUL character")
        # The lists judge the command as written; the module judges what it
        # runs. Where the wrapper itself would fail a list (a denied "bash"),
        # the command runs unwrapped, by sh, as it would without this server.
        problem = screen(command, self.denylist, self.allowlist)
        if problem is not None:
            raise ToolError(problem)
        wrapped = shell_line(command)
        if screen(wrapped, self.denylist, self.allowlist) is not None:
            wrapped = command
        return self._run(self.session.execute_bash, command, "run_shell", timeout_seconds,
                         wrapped=wrapped)

    def _file_change(self, change: Callable[[], Any]) -> None:
        try:
            change()
        except RuntimeError as e:
            # Only checkpoints older than the current one can be forgotten;
            # the later ones count until a change replaces them.
            if str(e).startswith("checkpoint limit of"):
                raise RuntimeError(f"{e}\nthe checkpoints after the current one count until a "
                                   "run replaces them: run_python or run_shell discards them "
                                   "first") from None
            raise

    def _write(self, path: str, data: bytes, what: str) -> dict[str, Any]:
        # A file past max_workspace_mb is refused whatever is forgotten.
        fits = len(data) <= self.run_adds
        forgot = self._make_room(run=False, adding=len(data) if fits else 0)
        self._file_change(lambda: self.session.write_file(path, data))
        checkpoint = self.session.current.id
        self._appended(checkpoint, what)
        return {"checkpoint": checkpoint, "path": path, "size": len(data), **forgot}

    def tool_write_file(self, path: str, content: str, encoding: str = "utf-8") -> dict[str, Any]:
        if encoding == "base64":
            try:
                data = base64.b64decode(content, validate=True)
            except ValueError as e:
                raise ToolError(f"content is not valid base64: {e}") from None
        else:
            data = content.encode("utf-8")
        return self._write(path, data, f"write_file {path}")

    def tool_edit_file(self, path: str, old_text: str, new_text: str) -> dict[str, Any]:
        files = self.session.current.files
        if path not in files:
            raise NotFound(f"'{path}' not in checkpoint {self.session.current.id}")
        try:
            text = files[path].decode("utf-8")
        except UnicodeDecodeError:
            raise ToolError(f"'{path}' is not UTF-8 text; nothing was written") from None
        count = text.count(old_text)
        if count == 0:
            raise ToolError(f"old_text was not found in '{path}'; nothing was written")
        if count > 1:
            raise ToolError(f"old_text occurs {count} times in '{path}'; nothing was written: "
                            "include more of the surrounding text so that it occurs once")
        return self._write(path, text.replace(old_text, new_text, 1).encode("utf-8"),
                           f"edit_file {path}")

    def tool_read_file(self, path: str, checkpoint: int | None = None, offset: int | None = None,
                       limit: int | None = None, line_numbers: bool = False) -> dict[str, Any]:
        found = self._checkpoint(checkpoint)
        files = found.files
        if path not in files:
            raise NotFound(f"'{path}' not in checkpoint {found.id}")
        data = files[path]
        encoding, content = _text_or_base64(data)
        result = {"path": path, "checkpoint": found.id, "size": len(data),
                  "encoding": encoding, "content": content}
        if encoding == "base64":
            if offset is not None or limit is not None or line_numbers:
                raise ToolError(f"'{path}' is not UTF-8 text: offset, limit and line_numbers "
                                "apply to text")
            return result
        if offset is None and limit is None and not line_numbers:
            return result
        lines = _LINE.findall(content)
        first = int(offset or 1)
        chosen = lines[first - 1:] if limit is None else lines[first - 1:first - 1 + int(limit)]
        result.update(content=_numbered(chosen, first) if line_numbers else "".join(chosen),
                      first_line=first, line_count=len(chosen), total_lines=len(lines))
        return result

    def tool_search_files(self, pattern: str, glob: str | None = None,
                          checkpoint: int | None = None) -> dict[str, Any]:
        try:
            compiled = re.compile(pattern)
        except (re.error, RecursionError, OverflowError) as e:
            raise ToolError(f"pattern is not a valid regular expression: {e}") from None
        found = self._checkpoint(checkpoint)
        matches, stopped = search.search(found.files, compiled, glob)
        return {"checkpoint": found.id, "matches": matches, "stopped": stopped}

    def tool_list_files(self, prefix: str = "", checkpoint: int | None = None) -> dict[str, Any]:
        found = self._checkpoint(checkpoint)
        files = sorted((key, len(data)) for key, data in found.files.items()
                       if key.startswith(prefix))
        return {"checkpoint": found.id,
                "files": [{"path": key, "size": size} for key, size in files],
                "total_size": sum(size for _, size in files)}

    def tool_list_page(self, after: str | None = None, limit: int = 500) -> dict[str, Any]:
        """The current checkpoint's files after the key `after`, at most
        `limit`, sorted by key (the server's resources/list): the sorted keys
        are made once for all the pages a client asks in a row."""
        if self._listing is None:
            files = self.session.current.files
            keys = sorted(files)
            self._listing = (keys, [len(files[key]) for key in keys])
            del files
        keys, sizes = self._listing
        start = 0 if after is None else bisect.bisect_right(keys, after)
        end = start + max(1, int(limit))
        return {"files": [{"path": key, "size": size}
                          for key, size in zip(keys[start:end], sizes[start:end])],
                "more": end < len(keys)}

    def tool_delete_file(self, path: str) -> dict[str, Any]:
        forgot = self._make_room(run=False)
        self._file_change(lambda: self.session.delete_file(path))
        checkpoint = self.session.current.id
        self._appended(checkpoint, f"delete_file {path}")
        return {"checkpoint": checkpoint, "path": path, **forgot}

    def tool_diff(self, from_checkpoint: int | None = None, to_checkpoint: int | None = None,
                  paths: list[str] | None = None) -> dict[str, Any]:
        start = self.session.history[0].id if from_checkpoint is None else int(from_checkpoint)
        end = None if to_checkpoint is None else int(to_checkpoint)
        text = self.session.diff(start, end)
        if paths is not None:
            text = diff_of(text, paths)
        to = self.session.current.id if end is None else end
        return {"from_checkpoint": start, "to_checkpoint": to, "diff": text}

    def tool_list_history(self) -> dict[str, Any]:
        history = self.session.history
        labels = self.session.labels()
        current = self.session.current.id
        made_at = self.made_at
        return {"current": current, "oldest": history[0].id,
                "max_checkpoints": self.max_checkpoints,
                "history_bytes": int(self.session.history_bytes),
                "max_history_mb": self.max_history // MIB,
                "checkpoints": [{"id": c.id, "made_by": self.made_by.get(c.id),
                                 "made_at": _utc(made_at[c.id]) if c.id in made_at else None,
                                 "label": labels.get(c.id),
                                 "exit_code": getattr(c, "exit_code", None),
                                 "current": c.id == current} for c in history]}

    def tool_label_checkpoint(self, checkpoint: int, label: str) -> dict[str, Any]:
        self.session.set_checkpoint_label(int(checkpoint), label)
        return {"checkpoint": int(checkpoint), "label": label}

    def tool_rollback(self, checkpoint: int | str) -> dict[str, Any]:
        if isinstance(checkpoint, str):
            named = sorted(i for i, label in self.session.labels().items() if label == checkpoint)
            if not named and checkpoint.isdigit():  # an id sent as text
                named = [int(checkpoint)]
            if not named:
                raise NotFound(f"no checkpoint is labelled {checkpoint!r}")
            if len(named) > 1:
                raise ToolError(f"the label {checkpoint!r} names checkpoints "
                                f"{', '.join(map(str, named))}: give the id")
            checkpoint = named[0]
        checkpoint = int(checkpoint)
        self.session.rollback(checkpoint)
        self.current = checkpoint
        return {"current": checkpoint}

    def tool_install_package(self, package: str,
                             timeout_seconds: float | None = None) -> dict[str, Any]:
        options = {"cancel_fd": self._run_options["cancel_fd"]} \
            if "cancel_fd" in self._run_options else {}
        if timeout_seconds is not None:
            options["timeout_ms"] = _timeout_ms(timeout_seconds)
        self.session.install(package, **options)
        return {"package": package}

    def tool_mount(self, path: str) -> dict[str, Any]:
        keys = self.session.mount(path)
        if self.current in self.made_by:
            self.made_by[self.current] = f"{self.made_by[self.current]}; mount {path}"
        return {"keys": keys}

    def tool_commit(self, keys: list[str] | None = None) -> dict[str, Any]:
        return {"written": self.session.commit(keys)}

    def tool_export(self, output_dir: str, keys: list[str] | None = None) -> dict[str, Any]:
        if self.export_root is None:
            raise ToolError("export is not enabled on this server")
        target = inside(self.export_root, output_dir)
        os.makedirs(target, mode=0o700, exist_ok=True)
        return {"written": self.session.export(target, keys)}


class Progress:
    """Turns a run's output, as the module reports it, into progress frames.

    The module calls `output` on the worker's thread while the call runs and
    keeps the interpreter lock between reports, so a frame can only go when
    output arrives: the first at once, then at most one per interval, each
    carrying what came since the one before (its tail, when that is long).
    What is held between frames is bounded the same way; output that came
    after the last frame reaches the client in the answer."""

    def __init__(self, out: BinaryIO, interval: float = PROGRESS_INTERVAL,
                 limit: int = PROGRESS_CHARS) -> None:
        self._out = out
        self._interval = interval
        self._limit = limit
        self._pieces: list[str] = []
        self._size = 0
        self._last = float("-inf")

    def output(self, text: str) -> None:
        # Cut only once twice the limit is held, so that a flood of short
        # lines costs each line its own length, not the limit's.
        self._pieces.append(text)
        self._size += len(text)
        if self._size > 2 * self._limit:
            self._pieces = ["".join(self._pieces)[-self._limit:]]
            self._size = len(self._pieces[0])
        now = time.monotonic()
        if now - self._last >= self._interval and self._size:
            self._last = now
            send(self._out, {"progress": "".join(self._pieces)[-self._limit:]})
            self._pieces, self._size = [], 0


def drain(fd: int) -> None:
    """Empties a non-blocking pipe."""
    try:
        while os.read(fd, 4096):
            pass
    except BlockingIOError:
        pass


def become_subreaper() -> None:
    """Processes orphaned below this one come to it instead of to init, so
    that they can still be found, and killed, as its descendants: a shell
    sandbox whose first process was killed while it set up can leave a
    process behind in a group and session of its own."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def die_with_server(server_pid: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != server_pid:  # the server was gone before the line above
        os._exit(1)


def _own_channel() -> tuple[BinaryIO, BinaryIO]:
    """The server's pipes on descriptors of their own, and standard input and
    output pointed away from them."""
    inp, out = os.dup(0), os.dup(1)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
    os.dup2(2, 1)
    return os.fdopen(inp, "rb"), os.fdopen(out, "wb")


def serve(inp: BinaryIO, out: BinaryIO, export_root: str | None,
          cancel_fd: int | None = None, ahead: list[Any] | None = None) -> int:
    """`ahead`: a fresh session made in advance (standby), if any."""
    started = time.monotonic()
    try:
        session, keeper, records = durable.open_session(os.environ, ahead)
    except Exception as e:  # RuntimeError from the module, ImportError, StoreError
        send(out, {"ready": False, "error": str(e) or type(e).__name__})
        return 1
    # Shell commands inherit this environment, and the store's address (a
    # PostgreSQL URL may carry a password) is none of their business.
    os.environ.pop("VESK_STORE", None)
    settings = config.load(os.environ)[0]
    memory = Memory(settings)
    ops = Operations(session, export_root, settings, memory)
    _take_records(ops, records)
    problem = durable.store_loaded(keeper, session, ops, os.environ)
    if problem is not None:
        send(out, {"ready": False, "error": problem})
        return 1
    send(out, {"ready": True, "pid": os.getpid(), "start_s": time.monotonic() - started,
               "took_over": keeper is not None and keeper.took_over})
    while True:
        request = receive(inp)
        if request is None:
            break
        if cancel_fd is not None:
            drain(cancel_fd)
        if _server_request(request, session, ops, keeper, out):
            continue
        progress = Progress(out) if request.get("progress") else None
        started = time.monotonic()
        try:
            reply: dict[str, Any] = {"ok": ops.call(
                request["tool"], request["arguments"], cancel_fd=cancel_fd,
                on_output=progress.output if progress is not None else None)}
        except NotFound as e:
            reply = {"error": str(e), "missing": True}
        except (ToolError, RuntimeError, TypeError, ValueError, OverflowError) as e:
            reply = {"error": str(e)}
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # the module's InternalFault, MemoryError, OverBudget
            send(out, {"fatal": f"{type(e).__name__}: {e}"})
            break
        if keeper is not None:
            keeper.save(session, ops, request["tool"], reply)
        reply["took"] = time.monotonic() - started
        killpoint.reach("worker.before_answer")
        send(out, reply)
        # What the call freed, or left in buffers, goes back to the system
        # now rather than when the session next needs memory.
        memory.give_back(session.history_bytes)
    killpoint.reach("worker.before_exit")
    # Dropping the session stops its runner and removes its directories.
    del ops, session
    gc.collect()
    return 0


def _take_records(ops: Operations, records: dict[str, Any] | None) -> None:
    """What made each checkpoint, for a session that came from the store or
    a fork."""
    if records is not None:
        ops.made_by, ops.made_at = dict(records["made_by"]), dict(records["made_at"])
        ops.current = ops.session.current.id


def _server_request(request: dict[str, Any], session: Any, ops: Operations,
                    keeper: durable.Keeper | None, out: BinaryIO) -> bool:
    """Answers the server's own requests about the session as a whole
    (`_park`, `_fork`, and `_view` for the web view, which reads only), which
    no client can name; False for a tool call."""
    tool = request.get("tool")
    if tool == "_park":
        reply = keeper.park(session, ops) if keeper is not None else \
            {"ok": {"parked": False, "why": "the session is not kept in a store"}}
    elif tool == "_fork":
        reply = durable.fork_to(session, ops, str(request["arguments"]["path"]))
    elif tool == "_view":
        try:
            reply = {"ok": view.answer(session, ops.made_by, ops.made_at,
                                       dict(request["arguments"]))}
        except (ValueError, LookupError, RuntimeError, TypeError) as e:
            reply = {"error": str(e), "missing": isinstance(e, LookupError)}
    else:
        return False
    reply["took"] = 0.0
    send(out, reply)
    return True


def standby(inp: BinaryIO, out: BinaryIO, ahead: list[Any]) -> bool:
    """Makes a session in advance (into `ahead`) and waits to be given one:
    False when none is given (the server ended this worker unused). The
    environment then holds the given session's."""
    set_name = ctypes.CDLL(None, use_errno=True).prctl
    set_name(PR_SET_NAME, ctypes.c_char_p(STANDBY_NAME), 0, 0, 0)
    try:
        import vesk_internal

        ahead.append(vesk_internal.VeskSession())
    except Exception as e:  # no runner now: the session's own start says why
        print(f"vesk: a standby worker made no session in advance: {e}", file=sys.stderr)
    send(out, {"standby": True})
    message = receive(inp)
    env = message.get("env") if message is not None else None
    if not isinstance(env, dict) or not all(
            k in SESSION_ENV and isinstance(v, str) for k, v in env.items()):
        ahead.clear()
        return False
    os.environ.update(env)
    set_name(PR_SET_NAME, ctypes.c_char_p(WORKER_NAME), 0, 0, 0)
    return True


def main() -> int:
    die_with_server(int(os.environ.get("VESK_SERVE_PID", "0")))
    become_subreaper()
    inp, out = _own_channel()
    export_root = os.environ.get("VESK_SERVE_EXPORT_ROOT") or None
    cancel_text = os.environ.pop("VESK_CANCEL_FD", None)
    cancel_fd = int(cancel_text) if cancel_text else None
    if cancel_fd is not None:
        # Nothing the session starts may hold it: code that drained it
        # could not be stopped.
        os.set_inheritable(cancel_fd, False)
        os.set_blocking(cancel_fd, False)
    # Held by a list only, which open_session empties: a session made in
    # advance that is not used must not live on in this frame.
    ahead: list[Any] = []
    if sys.argv[1:] == ["--standby"] and not standby(inp, out, ahead):
        return 0
    return serve(inp, out, export_root, cancel_fd, ahead)


if __name__ == "__main__":
    sys.exit(main())
