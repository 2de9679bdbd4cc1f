"""Tasks: long tool calls that answer at once and are polled (the
`io.modelcontextprotocol/tasks` extension of revision 2026-07-28).

A client that declares the extension in its request's capabilities gets a
task for `run_python`, `run_shell` and `install_package`: the call returns
its handle at once and runs on; `tasks/get` shows its status, the output
printed so far (the last STATUS_CHARS characters, as its status message)
and, once it has ended, its result (already bounded by the output limit).
`tasks/cancel` stops the run as a time-out would. A task belongs to the
principal whose call made it: another principal's id is unknown.

Bounds: a task is kept TTL_MS from its creation (at least KEEP_DONE_S after
it ends), and each principal has at most MAX_TASKS (the oldest ended ones
make room; when all are running, no new one is made).

This module keeps the records; `vesk.server.protocol` runs the calls.
"""

from __future__ import annotations

import asyncio
import secrets
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Callable

EXTENSION = "io.modelcontextprotocol/tasks"
TASK_TOOLS = frozenset({"run_python", "run_shell", "install_package"})
TTL_MS = 600_000
KEEP_DONE_S = 60.0
POLL_MS = 500
MAX_TASKS = 64
STATUS_CHARS = 4000
TERMINAL = frozenset({"completed", "failed", "cancelled"})


def _stamp(when: float) -> str:
    return datetime.fromtimestamp(when, timezone.utc).isoformat(
        timespec="milliseconds").replace("+00:00", "Z")


@dataclass
class Task:
    id: str
    owner: str | None
    created: float = field(default_factory=time.time)
    updated: float = field(default_factory=time.time)
    status: str = "working"
    message: str = ""
    result: dict[str, Any] | None = None
    error: dict[str, Any] | None = None
    ended: float | None = None  # monotonic
    runner: asyncio.Task[None] | None = None
    stop: Callable[[], None] | None = None  # stops the run in its worker

    def progress(self, text: str) -> None:
        self.message = (self.message + text)[-STATUS_CHARS:]
        self.updated = time.time()

    def finish(self, status: str, result: dict[str, Any] | None = None,
               error: dict[str, Any] | None = None) -> None:
        if self.status in TERMINAL:
            return
        self.status, self.result, self.error = status, result, error
        self.updated, self.ended = time.time(), time.monotonic()

    def view(self) -> dict[str, Any]:
        """The task as tasks/get shows it."""
        shown: dict[str, Any] = {"taskId": self.id, "status": self.status,
                                 "createdAt": _stamp(self.created),
                                 "lastUpdatedAt": _stamp(self.updated),
                                 "ttlMs": TTL_MS, "pollIntervalMs": POLL_MS}
        if self.message:
            shown["statusMessage"] = self.message
        if self.result is not None:
            shown["result"] = self.result
        if self.error is not None:
            shown["error"] = self.error
        return shown


class TaskStore:
    def __init__(self, ttl_ms: int = TTL_MS, per_owner: int = MAX_TASKS) -> None:
        self.ttl = ttl_ms / 1000
        self.per_owner = per_owner
        self.tasks: dict[str, Task] = {}

    def sweep(self) -> None:
        """Forgets ended tasks past their time."""
        now_wall, now = time.time(), time.monotonic()
        for task in list(self.tasks.values()):
            if task.ended is not None and now_wall - task.created >= self.ttl and \
                    now - task.ended >= KEEP_DONE_S:
                del self.tasks[task.id]

    def open(self, owner: str | None) -> Task | None:
        """A new working task of `owner`, or None when it has its maximum
        of running ones."""
        self.sweep()
        mine = self.owned(owner)
        while len(mine) >= self.per_owner:
            ended = [t for t in mine if t.ended is not None]
            if not ended:
                return None
            oldest = min(ended, key=lambda t: t.created)
            del self.tasks[oldest.id]
            mine.remove(oldest)
        task = Task(secrets.token_urlsafe(24), owner)
        self.tasks[task.id] = task
        return task

    def get(self, owner: str | None, task_id: Any) -> Task | None:
        self.sweep()
        task = self.tasks.get(task_id) if isinstance(task_id, str) else None
        return task if task is not None and task.owner == owner else None

    def owned(self, owner: str | None) -> list[Task]:
        return [t for t in self.tasks.values() if t.owner == owner]
