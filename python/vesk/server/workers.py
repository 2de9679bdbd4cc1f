"""The server's side of a worker process (see `vesk.server.worker`).

A `Worker` starts one worker process, waits for its session to be ready, and
passes it tool calls one at a time, in the order they were made. A call whose
caller goes away (a client that disconnected) still runs to its end and its
reply is read and dropped, so the channel never gets out of step.

`cancel(key)` stops the call in flight made under that key: it writes a byte
to the worker's cancel pipe, and the module stops a run (Python, shell,
install) as a time-out would; other tools finish, as they are quick. The
caller stops waiting for the reply itself (it cancels its task); the reply
is still read and dropped. Progress frames the worker sends before a reply
go to the call's `on_progress`. A worker that dies, or reports that its
session cannot go on, raises `WorkerGone` in the call that was waiting and
in every later one.

`close()` ends the worker: it closes the channel, which an idle worker takes
as the end of its session (it drops the session, so the module stops its
runner and removes its directories, and exits). A busy worker cannot notice
until its call returns, so close() closes the cancel pipe (its end reads as
a cancel) and kills the worker's children (the runner, a shell sandbox)
until the call fails and the worker exits. What is still there after
`grace` seconds is killed with its whole process group.

A worker's standard error (its own, its module's and its runner's) is a pipe
the server copies to its own, tagged and cleaned (`vesk.server.log`).

Each worker runs in a process group and session of its own, so that signals
meant for the server (a terminal's Ctrl-C) do not reach it mid-call: the
server ends its workers itself. Workers and the server are subreapers
(`become_subreaper`), so that a process orphaned in a worker's tree stays
the worker's descendant, and reaches the server if the worker goes first;
`reap_strays()` kills and reaps those.
"""

from __future__ import annotations

import asyncio
import json
import os
import signal
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable

from vesk.server import log, metrics
from vesk.server.spares import SpareKeeper
from vesk.server.worker import HEADER

# Replies are whole files and histories; a frame this long is a broken worker.
MAX_FRAME = 8 << 30


class WorkerGone(Exception):
    """The worker and its session no longer exist; the text says why."""


class StartFailed(WorkerGone):
    """No session could be started (Deno missing, a runner that would not
    start); nothing was lost, and a later start may succeed."""


@dataclass(frozen=True)
class WorkerOptions:
    env: dict[str, str]
    python: str = sys.executable
    grace: float = 10.0
    # Lends spare runners to the workers (vesk.server.spares); None: none.
    spares: SpareKeeper | None = None


# Workers (and the spare runner keeper) this server started and asyncio has
# not yet reaped (asyncio reaps them), and how many are being started:
# reap_strays() leaves those alone.
_WORKER_PIDS: set[int] = set()
_spawning = 0
_started = 0  # workers started so far: their numbers in the log


def children_of(pid: int) -> list[int]:
    """Live child processes of `pid` (of every thread of it)."""
    found: list[int] = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                found.extend(int(p) for p in f.read().split())
        except OSError:
            continue
    return found


def descendants(pid: int) -> list[int]:
    """Every live descendant of `pid`."""
    found: list[int] = []
    parents = [pid]
    while parents:
        children = children_of(parents.pop())
        found += children
        parents += children
    return found


def _kill(pids: list[int]) -> None:
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def forget_pid(pid: int | None) -> None:
    """A child that reap_strays() spared has been waited for."""
    _WORKER_PIDS.discard(pid or 0)


def reap_strays() -> None:
    """Kills and reaps what came to this server from its workers' trees (it
    is a subreaper: see become_subreaper): every child that is not a worker."""
    if _spawning:
        return
    for child in children_of(os.getpid()):
        if child in _WORKER_PIDS:
            continue
        _kill([*descendants(child), child])
        try:
            os.waitpid(child, os.WNOHANG)
        except ChildProcessError:
            pass


def _exit_text(code: int | None) -> str:
    if code is None:
        return "still running"
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


class Worker:
    def __init__(self, options: WorkerOptions, env: dict[str, str] | None = None) -> None:
        self._options = options
        self._env = env or {}  # this worker's own, beside options.env
        self._proc: asyncio.subprocess.Process | None = None
        self._turn = asyncio.Lock()
        self._exchanges: set[asyncio.Task[dict[str, Any]]] = set()
        self._gone: str | None = None
        self._relay: asyncio.Future[None] | None = None
        self._cancel_w: int | None = None  # the server's end of the cancel pipe
        self._running: Any = None  # the key of the call in flight
        self._cancelled = False  # its cancel byte was written
        self.busy = False
        self.start_seconds: float | None = None

    @property
    def pid(self) -> int | None:
        return self._proc.pid if self._proc else None

    @property
    def alive(self) -> bool:
        return self._gone is None and self._proc is not None and self._proc.returncode is None

    async def start(self) -> None:
        """Starts the process and waits for its session; WorkerGone if none."""
        started = time.monotonic()
        await self._spawn()
        await self._ready(started)

    async def start_standby(self) -> None:
        """Starts the process as a standby (worker.py), which makes a fresh
        session in advance and waits for `assign`; WorkerGone if it fails."""
        await self._spawn("--standby")
        if (await self._receive()).get("standby") is not True:
            await self._died("the standby worker process sent a malformed reply")

    async def assign(self, env: dict[str, str]) -> None:
        """Gives a standby worker its session (`env`: worker.SESSION_ENV
        only) and waits for it; WorkerGone if none."""
        started = time.monotonic()
        self._env = env
        assert self._proc is not None and self._proc.stdin is not None
        body = json.dumps({"env": env}).encode("utf-8")
        try:
            self._proc.stdin.write(HEADER.pack(len(body)) + body)
            await self._proc.stdin.drain()
        except (ConnectionError, RuntimeError):
            await self._lost()
        await self._ready(started)

    async def _spawn(self, *args: str) -> None:
        global _spawning, _started
        spares = self._options.spares
        if spares is not None:
            await spares.ensure_started()
            if spares.pid is not None:
                _WORKER_PIDS.add(spares.pid)
        channel = spares.pair() if spares is not None else None
        cancel_r, self._cancel_w = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)
        env = dict(self._options.env, **self._env, VESK_CANCEL_FD=str(cancel_r))
        passed = [cancel_r]
        if channel is not None:
            env["VESK_SPARE_CHANNEL"] = str(channel[0].fileno())
            passed.append(channel[0].fileno())
        _spawning += 1
        _started += 1
        try:
            self._proc = await asyncio.create_subprocess_exec(
                self._options.python, "-m", "vesk.server.worker", *args,
                stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE, env=env, start_new_session=True,
                pass_fds=passed)
            _WORKER_PIDS.add(self._proc.pid)
        finally:
            _spawning -= 1
            os.close(cancel_r)
            if channel is not None:
                channel[0].close()
                if self._proc is not None and spares is not None:
                    spares.attach(channel[1], self._proc.pid)
                else:
                    channel[1].close()
        assert self._proc.stderr is not None
        self._relay = asyncio.ensure_future(log.relay(self._proc.stderr, f"worker {_started}"))

    async def _ready(self, started: float) -> None:
        ready = await self._receive()
        if not ready.get("ready"):
            await self._died(f"could not start a session: {ready.get('error', 'unknown error')}")
        self.start_seconds = time.monotonic() - started
        if ready.get("took_over"):
            metrics.METRICS.lease_taken_over()

    async def call(self, tool: str, arguments: dict[str, Any], *, key: Any = None,
                   on_progress: Callable[[str], None] | None = None) -> dict[str, Any]:
        """The worker's reply ({"ok": ...} or {"error": ...}, plus "took", its
        seconds in the session); WorkerGone when the session is gone. `key`
        names the call for cancel(); `on_progress` gets the output the call
        prints as it runs."""
        await self._turn.acquire()
        self._running, self._cancelled = key, False
        exchange = asyncio.ensure_future(self._exchange(tool, arguments, on_progress))
        self._exchanges.add(exchange)
        exchange.add_done_callback(self._exchanges.discard)
        return await asyncio.shield(exchange)

    def cancel(self, key: Any) -> bool:
        """Stops the call in flight made under `key` (not None); False when
        no such call is in flight."""
        if key is None or self._running != key or self._cancel_w is None:
            return False
        if not self._cancelled:
            self._cancelled = True
            try:
                os.write(self._cancel_w, b"x")
            except BlockingIOError:  # bytes are there already: one is enough
                pass
        return True

    async def _exchange(self, tool: str, arguments: dict[str, Any],
                        on_progress: Callable[[str], None] | None) -> dict[str, Any]:
        try:
            if self._gone is not None:
                raise WorkerGone(self._gone)
            assert self._proc is not None and self._proc.stdin is not None
            request: dict[str, Any] = {"tool": tool, "arguments": arguments}
            if on_progress is not None:
                request["progress"] = True
            try:
                body = json.dumps(request, ensure_ascii=False).encode("utf-8")
            except UnicodeEncodeError:  # JSON from a client may hold a lone surrogate
                return {"error": "the arguments hold text that is not valid Unicode (a lone "
                                 "surrogate)", "took": 0.0}
            self.busy = True
            started = time.monotonic()
            try:
                self._proc.stdin.write(HEADER.pack(len(body)) + body)
                await self._proc.stdin.drain()
            except (ConnectionError, RuntimeError):
                await self._lost()
            reply = await self._receive()
            while "progress" in reply:
                if on_progress is not None and isinstance(reply["progress"], str):
                    try:
                        on_progress(reply["progress"])
                    except Exception as e:  # the caller's fault; the call goes on
                        log.say(f"internal error: progress: {e!r}")
                reply = await self._receive()
            if "fatal" in reply:
                await self._died(f"the session failed and cannot go on: {reply['fatal']}")
            reply.setdefault("took", time.monotonic() - started)
            stored = reply.pop("store_s", None)
            if isinstance(stored, float):
                metrics.METRICS.store_write(stored)
            return reply
        finally:
            self.busy = False
            self._running = None
            self._turn.release()

    async def _receive(self) -> dict[str, Any]:
        assert self._proc is not None and self._proc.stdout is not None
        try:
            header = await self._proc.stdout.readexactly(HEADER.size)
            (length,) = HEADER.unpack(header)
            if length > MAX_FRAME:
                await self._died("the worker process sent a malformed reply")
            body = await self._proc.stdout.readexactly(length)
        except (asyncio.IncompleteReadError, ConnectionError):
            await self._lost()
        message = json.loads(body)
        if not isinstance(message, dict):
            await self._died("the worker process sent a malformed reply")
        reply: dict[str, Any] = message
        return reply

    async def _lost(self) -> Any:
        """The channel broke: the worker has ended, or is about to."""
        assert self._proc is not None
        try:
            code: int | None = await asyncio.wait_for(asyncio.shield(self._proc.wait()), 5)
        except asyncio.TimeoutError:
            code = None
        if code is None:
            await self._died("the worker process stopped answering")
        await self._died(f"the worker process ended unexpectedly ({_exit_text(code)})")

    async def _died(self, why: str) -> Any:
        self._gone = self._gone or why
        await self.close()
        raise WorkerGone(self._gone)

    async def close(self) -> None:
        """Ends the worker and everything it started; idempotent."""
        self._gone = self._gone or "the session was ended"
        if self._cancel_w is not None:
            os.close(self._cancel_w)
            self._cancel_w = None
        proc = self._proc
        if proc is None:
            return
        if proc.stdin is not None and not proc.stdin.is_closing():
            proc.stdin.close()
        deadline = time.monotonic() + self._options.grace
        while proc.returncode is None and time.monotonic() < deadline:
            if self.busy:
                _kill(descendants(proc.pid))
                if self._options.spares is not None:
                    self._options.spares.end(proc.pid)
            try:
                await asyncio.wait_for(asyncio.shield(proc.wait()), 0.1)
            except asyncio.TimeoutError:
                pass
        # Whatever is left: the tree first (shell sandboxes run in process
        # groups of their own), then the worker's group.
        _kill(descendants(proc.pid))
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        await proc.wait()
        _WORKER_PIDS.discard(proc.pid)
        reap_strays()
        if self._relay is not None:  # ends once every holder of the pipe is gone
            try:
                await asyncio.wait_for(asyncio.shield(self._relay), 5)
            except asyncio.TimeoutError:
                self._relay.cancel()
