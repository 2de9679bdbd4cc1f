"""The standby worker: one worker process started ahead of the session it
will serve.

A new session's first call would otherwise wait for a worker process to
start, import the module and start its runner (borrowed from the server's
spare, still most of a second's tenth or two). The standby has done all of
that: its session is made, fresh and idle (worker.py), and the next new
session takes it, so that its first call is answered as fast as any other.
Only sessions the server has just opened take it; one that comes back from
the store or a file starts a worker of its own (the worker also checks,
and drops the session made in advance when it has another to rebuild).

There is at most one, started only while the server's maximum leaves room
for one more worker process (`room`), and it counts as one; a session that
needs the room ends it (`yield_room`). A taken standby is replaced
`REFILL_DELAY` seconds later, once the server's spare runner, which the
taken one had borrowed, has most likely been replaced too. A standby that
could not start is not tried again before the next take, so a server whose
runners cannot start does not start processes in a loop. A standby that
has waited `renew_after` seconds is replaced: its idle session would
otherwise park its runner (the module parks idle sessions), and the first
call would wait for a resume. `close()` ends it
with the server; it also dies with the server as every worker does.
"""

from __future__ import annotations

import asyncio
from typing import Callable

from vesk.server import log
from vesk.server.workers import Worker, WorkerGone, WorkerOptions

REFILL_DELAY = 0.5
# Replaced at most this often, however soon the module parks.
SHORTEST_RENEWAL = 60.0


class Standby:
    def __init__(self, options: WorkerOptions, room: Callable[[], bool],
                 renew_after: float) -> None:
        self._options = options
        self._room = room  # whether one more worker process fits the maximum
        self._renew_after = max(SHORTEST_RENEWAL, renew_after)
        self._renewal: asyncio.TimerHandle | None = None
        self._task: asyncio.Task[Worker | None] | None = None
        self._later: asyncio.TimerHandle | None = None
        self._closed = False

    @property
    def held(self) -> bool:
        """Whether a standby worker runs or is starting."""
        task = self._task
        return task is not None and (not task.done() or task.cancelled()
                                     or task.exception() is not None or task.result() is not None)

    @property
    def pid(self) -> int | None:
        """The waiting standby worker's process id, if one is ready."""
        task = self._task
        if task is None or not task.done() or task.cancelled() or task.exception() is not None:
            return None
        worker = task.result()
        return worker.pid if worker is not None else None

    def refill(self, delay: float = 0.0) -> None:
        """Starts a standby (after `delay` seconds) unless one is held or
        the maximum has no room for it."""
        if self._closed or self._task is not None or self._later is not None:
            return
        if delay > 0:
            self._later = asyncio.get_running_loop().call_later(delay, self._refill_now)
        else:
            self._refill_now()

    def _refill_now(self) -> None:
        self._later = None
        if not self._closed and self._task is None and self._room():
            self._task = asyncio.ensure_future(self._start())

    async def _start(self) -> Worker | None:
        worker = Worker(self._options)
        try:
            await worker.start_standby()
        except asyncio.CancelledError:
            await worker.close()
            raise
        except Exception as e:  # WorkerGone, or no process or pipe (OSError)
            log.say(f"no standby worker: {e}")
            await worker.close()
            return None
        self._renewal = asyncio.get_running_loop().call_later(
            self._renew_after, lambda: asyncio.ensure_future(self._renew()))
        return worker

    async def _renew(self) -> None:
        self._renewal = None
        if self._task is not None and self._task.done():
            await self._end()
            self.refill()

    async def take(self) -> Worker | None:
        """The standby worker, waited for while it starts, for the caller
        to assign; None when there is none."""
        task, self._task = self._task, None
        if task is None:
            return None
        if self._renewal is not None:
            self._renewal.cancel()
            self._renewal = None
        try:
            worker = await asyncio.shield(task)
        except asyncio.CancelledError:
            # The caller went; the standby goes as well, once started.
            task.add_done_callback(_close_result)
            raise
        self.refill(REFILL_DELAY)
        return worker

    async def yield_room(self) -> None:
        """Ends the standby when the maximum has no room for it."""
        if self.held and not self._room():
            await self._end()

    async def _end(self) -> None:
        if self._renewal is not None:
            self._renewal.cancel()
            self._renewal = None
        task, self._task = self._task, None
        if task is None:
            return
        if not task.done():
            task.cancel()
        try:
            worker = await task
        except (asyncio.CancelledError, WorkerGone):
            return
        if worker is not None:
            await worker.close()

    async def close(self) -> None:
        """Ends the standby for good."""
        self._closed = True
        if self._later is not None:
            self._later.cancel()
            self._later = None
        await self._end()


def _close_result(task: asyncio.Task[Worker | None]) -> None:
    if not task.cancelled() and task.exception() is None:
        worker = task.result()
        if worker is not None:
            asyncio.ensure_future(worker.close())
