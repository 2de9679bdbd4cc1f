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

The worker dies with the server (PR_SET_PDEATHSIG), so a server killed
outright leaves no session behind, and is a subreaper, so that what its
session starts stays its descendant until the server has killed it.
"""

from __future__ import annotations

import base64
import ctypes
import gc
import json
import os
import signal
import struct
import sys
import time
from typing import Any, BinaryIO, Callable

HEADER = struct.Struct(">Q")
# Progress frames: at most one per PROGRESS_INTERVAL seconds, each the last
# PROGRESS_CHARS characters of the output since the one before.
PROGRESS_INTERVAL = 0.25
PROGRESS_CHARS = 4000
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


# The tools that run code or an install: they take a cancel descriptor and
# report output as it comes.
RUNS = frozenset({"run_python", "run_shell", "install_package"})


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


class Operations:
    """The tools over one session, and what made each checkpoint.

    The module does not record what produced a checkpoint, so the worker
    keeps `made_by` beside the history, following the module's rules: a
    change appends after the current checkpoint and drops the ones after it;
    a Python or shell run drops them even when it fails; a rollback moves
    the current checkpoint only; mount changes the current checkpoint in
    place.
    """

    def __init__(self, session: Any, export_root: str | None) -> None:
        self.session = session
        self.export_root = export_root
        self.made_by: list[str | None] = ["session start"]
        self.current = 0

    def call(self, tool: str, arguments: dict[str, Any], *, cancel_fd: int | None = None,
             on_output: Callable[[str], None] | None = None) -> dict[str, Any]:
        method = getattr(self, "tool_" + tool, None)
        if method is None:
            raise ToolError(f"unknown tool '{tool}'")
        if tool in RUNS:
            result: dict[str, Any] = method(**arguments, cancel_fd=cancel_fd,
                                            on_output=on_output)
        else:
            result = method(**arguments)
        return result

    def _appended(self, checkpoint_id: int, what: str) -> None:
        self.made_by = self.made_by[:checkpoint_id]
        self.made_by += [None] * (checkpoint_id - len(self.made_by)) + [what]
        self.current = checkpoint_id

    def _run(self, run: Any, source: str, what: str, **options: Any) -> dict[str, Any]:
        before = self.current
        try:
            checkpoint = run(source, **options)
        except RuntimeError:
            self.made_by = self.made_by[:before + 1]
            raise
        self._appended(checkpoint.id, f"{what}: {_summary(source)}")
        return {"checkpoint": checkpoint.id, "stdout": checkpoint.stdout,
                "stderr": checkpoint.stderr}

    def _checkpoint(self, checkpoint: int | None) -> Any:
        if checkpoint is None:
            return self.session.current
        history = self.session.history
        if checkpoint >= len(history):
            raise NotFound(f"checkpoint {checkpoint} does not exist")
        return history[checkpoint]

    def tool_run_python(self, code: str, **options: Any) -> dict[str, Any]:
        return self._run(self.session.execute_python, code, "run_python", **options)

    def tool_run_shell(self, command: str, **options: Any) -> dict[str, Any]:
        return self._run(self.session.execute_bash, command, "run_shell", **options)

    def tool_write_file(self, path: str, content: str, encoding: str = "utf-8") -> dict[str, Any]:
        if encoding == "base64":
            try:
                data = base64.b64decode(content, validate=True)
            except ValueError as e:
                raise ToolError(f"content is not valid base64: {e}") from None
        else:
            data = content.encode("utf-8")
        self.session.write_file(path, data)
        checkpoint = self.session.current.id
        self._appended(checkpoint, f"write_file {path}")
        return {"checkpoint": checkpoint, "path": path, "size": len(data)}

    def tool_read_file(self, path: str, checkpoint: int | None = None) -> dict[str, Any]:
        found = self._checkpoint(checkpoint)
        files = found.files
        if path not in files:
            raise NotFound(f"'{path}' not in checkpoint {found.id}")
        data = files[path]
        encoding, content = _text_or_base64(data)
        return {"path": path, "checkpoint": found.id, "size": len(data),
                "encoding": encoding, "content": content}

    def tool_list_files(self, prefix: str = "", checkpoint: int | None = None) -> dict[str, Any]:
        found = self._checkpoint(checkpoint)
        files = sorted((key, len(data)) for key, data in found.files.items()
                       if key.startswith(prefix))
        return {"checkpoint": found.id,
                "files": [{"path": key, "size": size} for key, size in files],
                "total_size": sum(size for _, size in files)}

    def tool_delete_file(self, path: str) -> dict[str, Any]:
        checkpoint = self.session.delete_file(path)
        self._appended(checkpoint.id, f"delete_file {path}")
        return {"checkpoint": checkpoint.id}

    def tool_diff(self, from_checkpoint: int = 0,
                  to_checkpoint: int | None = None) -> dict[str, Any]:
        text = self.session.diff(from_checkpoint, to_checkpoint)
        to = self.session.current.id if to_checkpoint is None else to_checkpoint
        return {"from_checkpoint": from_checkpoint, "to_checkpoint": to, "diff": text}

    def tool_list_history(self) -> dict[str, Any]:
        ids = [c.id for c in self.session.history]
        current = self.session.current.id
        return {"current": current,
                "checkpoints": [{"id": i,
                                 "made_by": self.made_by[i] if i < len(self.made_by) else None,
                                 "current": i == current} for i in ids]}

    def tool_rollback(self, checkpoint: int) -> dict[str, Any]:
        self.session.rollback(checkpoint)
        self.current = checkpoint
        return {"current": checkpoint}

    def tool_install_package(self, package: str, *, cancel_fd: int | None = None,
                             on_output: Callable[[str], None] | None = None) -> dict[str, Any]:
        self.session.install(package, cancel_fd=cancel_fd)
        return {"package": package}

    def tool_mount(self, path: str) -> dict[str, Any]:
        keys = self.session.mount(path)
        if self.current < len(self.made_by):
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
          cancel_fd: int | None = None) -> int:
    started = time.monotonic()
    try:
        import vesk_internal
        session = vesk_internal.VeskSession()
    except Exception as e:  # RuntimeError from the module, ImportError
        send(out, {"ready": False, "error": str(e) or type(e).__name__})
        return 1
    send(out, {"ready": True, "pid": os.getpid(), "start_s": time.monotonic() - started})
    ops = Operations(session, export_root)
    while True:
        request = receive(inp)
        if request is None:
            break
        if cancel_fd is not None:
            drain(cancel_fd)
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
        except BaseException as e:  # the module's InternalFault, MemoryError
            send(out, {"fatal": f"{type(e).__name__}: {e}"})
            break
        reply["took"] = time.monotonic() - started
        send(out, reply)
    # Dropping the session stops its runner and removes its directories.
    del ops, session
    gc.collect()
    return 0


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
    return serve(inp, out, export_root, cancel_fd)


if __name__ == "__main__":
    sys.exit(main())
