"""MCP sessions, their workers, and the scratch directory they share.

A `Session` is one client's MCP session: its negotiated protocol version, the
requests it has in flight, when it was last active, and its worker, which is
started on the first call that needs the workspace (a session that only lists
tools costs no process). The `SessionManager` opens sessions up to a maximum,
ends them (on request, when idle too long, or when the server stops) and
keeps the workers of ended sessions counted until they are gone, so that
closing sessions in a loop cannot pile up processes beyond the maximum.

Scratch directory: the server makes one private directory (0700) and gives
it to every worker as TMPDIR, so the module puts everything it writes there:
runner scripts, runner directories and shell work directories. Shell commands
of any session see that directory as an empty file system (the sandbox hides
the directory above its work directory and TMPDIR), so one session's files
stay out of another's sight, and whatever a worker that was killed could not
remove goes with the directory when the server stops. It lives outside /tmp,
which the sandbox replaces (see scratch_parent()).

Workspaces: from protocol revision 2026-07-28 there are no MCP sessions;
a client's `create_workspace` opens a `Session` whose id is the workspace's
handle (192 random bits, so it cannot be guessed), owned by the principal
whose bearer token asked for it (None without tokens). Handles and MCP
sessions share the maximum, the idle time-out and the workers; `lookup`
answers a principal's own handle only, so another principal's handle looks
exactly like one that never existed.

Provisional sessions: over HTTP `initialize` opens a session that is
provisional until its client sends `notifications/initialized`. Such a
session has no worker and may call nothing but `ping`, does not count
against the maximum, is ended after `init_timeout` seconds (default 10) if
still provisional, and at most MAX_PROVISIONAL of them are kept (opening one
more ends the oldest): bare `initialize` requests cannot take the slots of
clients that finish their handshake.

A session opened here takes the standby worker (standby.py) for its first
worker, when there is one: a process started in advance, its fresh session
already made, so that the first call does not wait for a worker's start.

Idle sessions are ended after `idle_timeout` seconds without a request;
`Session.idle_since()` is the one place that decides what counts as idle.

The store (`vesk.server.store`, optional): workspace handles, and MCP
sessions once initialized (over HTTP), are kept there (`Session.keep`), so
that a server started again on the same store serves them: an id that is
not in memory is looked up in the store and brought back, parked, for its
owner (`get`, `lookup`, `owned`). Their workers write every change
themselves. A kept session idle for `park_after` seconds is parked: its
worker stores the interpreter's image and ends, and the session holds no
process and does not count against the maximum until its next call starts a
worker that rebuilds it from the store (`unpark`). Ending a session removes
it from the store, except when the server stops (which parks the idle
ones first).
"""

from __future__ import annotations

import asyncio
import os
from concurrent.futures import ThreadPoolExecutor
from operator import methodcaller
import secrets
import shutil
import tempfile
import time
from collections import OrderedDict
from typing import Any, Callable

from vesk.server import config, killpoint, log, metrics
from vesk.server.spares import SpareKeeper
from vesk.server.standby import Standby
from vesk.server.store import HANDLE, SESSION, Store, StoreError
from vesk.server.store_db import is_url
from vesk.server.workers import (StartFailed, Worker, WorkerGone, WorkerOptions, forget_pid,
                                 reap_strays)

# How many ended sessions are remembered, to tell a client why its session
# is gone rather than only that it is unknown.
REMEMBERED_ENDINGS = 256
# Sessions opened by `initialize` and not yet initialized, at most.
MAX_PROVISIONAL = 256


def scratch_parent() -> str:
    """Where the scratch directory goes: $TMPDIR, else /var/tmp, when it is a
    writable directory outside /tmp and /dev (Deno refuses its runners a
    directory below /dev, /proc or /sys); else the system's temporary
    directory."""
    candidates = [os.environ.get("TMPDIR", ""), "/var/tmp"]
    for candidate in candidates:
        if not os.path.isabs(candidate):
            continue
        resolved = os.path.realpath(candidate)
        if resolved == "/" or any(resolved == top or resolved.startswith(top + "/")
                                  for top in ("/tmp", "/dev", "/proc", "/sys")):
            continue
        if os.path.isdir(resolved) and os.access(resolved, os.W_OK | os.X_OK):
            return resolved
    return tempfile.gettempdir()


class Session:
    def __init__(self, session_id: str, options: WorkerOptions, owner: str | None = None,
                 handle: bool = False) -> None:
        self.id = session_id
        self.owner = owner  # the principal that opened it
        self.handle = handle  # a workspace handle, not an MCP session
        # The stdio connection's own session is never idle: it ends with the connection.
        self.pinned = False
        # Requests of this session that run on another session's worker (a
        # workspace named by its handle), for cancel().
        self.routes: dict[Any, Session] = {}
        self.protocol_version: str | None = None
        self.initialized = False
        self.provisional = False  # opened, not yet initialized (not counted)
        self.expiry: asyncio.TimerHandle | None = None  # ends it while provisional
        self.inflight: dict[Any, asyncio.Task[Any]] = {}
        self.last_active = time.monotonic()
        self.ended: str | None = None
        self._options = options
        self._worker: Worker | None = None
        self._starting: asyncio.Task[Worker] | None = None
        self._pending: Worker | None = None  # the worker being started
        self.keep = False  # kept in the store
        self.parked = False  # held in the store only, no worker (does not count)
        self.parking = False  # a park is under way
        self.park_refused = 0.0  # when the worker last refused to park
        self.load_file: str | None = None  # a session file its worker starts from
        self.recording: asyncio.Future[None] | None = None  # its row being added
        self.resuming = False  # its next worker brings a parked session back
        # The server's standby worker (standby.py), which a session opened
        # here and never started takes (`fresh`), and others make room for.
        self.standby: Standby | None = None
        self.fresh = False

    def worker_env(self) -> dict[str, str]:
        """Where this session's worker takes its session from (durable.py)."""
        env: dict[str, str] = {}
        if self.keep:
            env.update(VESK_STORE_ID=self.id, VESK_STORE_LOAD="1")
        if self.load_file is not None:
            env["VESK_LOAD_FILE"] = self.load_file
        return env

    def touch(self) -> None:
        self.last_active = time.monotonic()

    def idle_since(self) -> float | None:
        """When the session became idle, or None while a request is in flight."""
        return None if self.inflight else self.last_active

    @property
    def worker(self) -> Worker | None:
        return self._worker

    def cancel(self, request_id: Any) -> bool:
        """Cancels the request `request_id` of this session: one still
        waiting for the worker is dropped, one the worker runs is stopped as
        a time-out would stop it (Python, shell, install; it appends no
        checkpoint), and neither is answered. False when no such request is
        in progress."""
        task = self.inflight.get(request_id)
        if task is None:
            return False
        target = self.routes.get(request_id, self)
        if target._worker is not None:
            target._worker.cancel(self.call_key(request_id))
        task.cancel()
        return True

    def call_key(self, request_id: Any) -> tuple[str, Any]:
        """What names this session's request `request_id` to a worker: two
        clients may use the same request id on one workspace."""
        return (self.id, request_id)

    async def ready_worker(self) -> Worker:
        """The session's worker, started on first use; StartFailed when the
        session cannot be started (the next call tries again)."""
        if self.ended is not None:
            raise WorkerGone(self.ended)
        if self._worker is not None:
            return self._worker
        if self._starting is None:
            self._starting = asyncio.ensure_future(self._start())
        return await asyncio.shield(self._starting)

    async def _start(self) -> Worker:
        if self.recording is not None:  # the worker's environment depends on it
            await asyncio.wait([self.recording])
        worker = None
        try:
            if self.standby is not None and self.fresh and self.load_file is None:
                worker = self._pending = await self.standby.take()
            if worker is not None:
                try:
                    await worker.assign(self.worker_env())
                except WorkerGone:  # it failed: this session starts its own
                    worker = None
            if worker is None:
                if self.standby is not None:
                    await self.standby.yield_room()
                worker = self._pending = Worker(self._options, self.worker_env())
                await worker.start()
        except WorkerGone as e:
            self._starting = None
            if self.ended is not None:  # ended while it started
                raise WorkerGone(self.ended) from None
            raise StartFailed(str(e)) from None
        except BaseException:
            self._starting = None
            if worker is not None:
                await worker.close()
            raise
        self._starting = None
        self.fresh = False
        self.load_file = None  # read (and deleted) by the worker
        if self.resuming and worker.start_seconds is not None:
            self.resuming = False
            metrics.METRICS.resume(worker.start_seconds)
        if self.ended is not None:  # ended while it started
            await worker.close()
            raise WorkerGone(self.ended)
        self._worker = worker
        return worker

    def holds_worker(self) -> bool:
        """Whether it has a worker, or one starting."""
        return self._worker is not None or self._starting is not None

    def forget_worker(self) -> None:
        """After the worker died: the next call starts a new, empty session."""
        self._worker = None

    async def close(self) -> None:
        starting = self._starting
        if starting is not None:
            # Not waiting for the start (up to install_timeout_ms): ending
            # the worker makes it fail at once.
            if self._pending is not None:
                await self._pending.close()
            try:
                await starting
            except BaseException:
                pass
        if self._worker is not None:
            await self._worker.close()
            self._worker = None


class SessionManager:
    def __init__(self, worker_env: dict[str, str], max_sessions: int,
                 idle_timeout: float | None, grace: float = 10.0,
                 spares: bool = True, init_timeout: float = 10.0,
                 store: Store | None = None, park_after: float = 0.0,
                 max_stored: int = 10_000) -> None:
        self.store = store
        self.max_stored = max_stored
        self.park_after = park_after
        # The server's writes to the store go to a thread of their own, with
        # a connection of its own: a worker's large write holds the store's
        # lock for a while, and the event loop must not wait for it. Reads
        # (write-ahead log) never wait for writers.
        self._writes = ThreadPoolExecutor(1, "vesk-store") if store is not None else None
        self._writer: Store | None = None
        if store is not None:
            worker_env = dict(worker_env, VESK_STORE=store.path)
            if not is_url(store.path):
                # Shell commands run as the server's user and see the host's
                # files: the store's directory, which holds every principal's
                # workspaces, is covered in their sandboxes.
                hidden = os.path.dirname(os.path.realpath(store.path))
                worker_env.update(VESK_SANDBOX_HIDE=hidden)
            if store.node is not None:
                worker_env.update(VESK_STORE_NODE=store.node,
                                  VESK_LEASE_SECS=f"{store.lease_secs:g}")
        self.scratch = tempfile.mkdtemp(prefix="vesk-serve-", dir=scratch_parent())
        env = dict(worker_env, TMPDIR=self.scratch)
        # Workers whose sessions park borrow a spare runner from one keeper
        # (it follows the user's spare_runner setting, which workers are
        # told to ignore for spares of their own). A server of one session
        # keeps none: a spare would cost about what parking saves.
        self.spares: SpareKeeper | None = None
        if spares and max_sessions > 1 and env.get("VESK_PARK_AFTER_IDLE_SECS", "0") not in ("", "0"):
            keeper_env = dict(env)
            keeper_env.pop("VESK_SPARE_RUNNER", None)
            if "VESK_SPARE_RUNNER" in os.environ:
                keeper_env["VESK_SPARE_RUNNER"] = os.environ["VESK_SPARE_RUNNER"]
            self.spares = SpareKeeper(keeper_env)
        self.options = WorkerOptions(env=env, grace=grace, spares=self.spares)
        # Where spare runners are lent, a worker waits, started, for the next
        # new session (standby.py): a spare of a kind, so the user's
        # spare_runner setting decides on it too.
        self.standby: Standby | None = None
        if self.spares is not None and _spare_runner(keeper_env):
            self.standby = Standby(self.options, self._room_for_worker,
                                   renew_after=_seconds(env["VESK_PARK_AFTER_IDLE_SECS"]) / 2)
        self.max_sessions = max_sessions
        self.idle_timeout = idle_timeout
        self.init_timeout = init_timeout
        self.sessions: dict[str, Session] = {}
        # Provisional sessions, oldest first.
        self._provisional: dict[str, Session] = {}
        self._closing: set[asyncio.Task[None]] = set()
        self._parks: set[asyncio.Task[None]] = set()  # parks under way
        # Why recently ended sessions ended, and whose they were.
        self._endings: OrderedDict[str, tuple[str | None, str]] = OrderedDict()

    def counted(self) -> int:
        """Sessions held against the maximum: live ones but provisional
        ones, and those still ending."""
        parked = sum(1 for s in self.sessions.values() if s.parked)
        return len(self.sessions) - len(self._provisional) - parked + len(self._closing)

    def open(self, owner: str | None = None, handle: bool = False,
             provisional: bool = False) -> Session | None:
        """A new session, or None at the maximum. A provisional one is
        refused at the maximum too (its client could not go on), but does
        not count until `confirm`."""
        if self.counted() >= self.max_sessions:
            return None
        session = Session(secrets.token_urlsafe(24), self.options, owner, handle)
        self.sessions[session.id] = session
        session.standby, session.fresh = self.standby, True
        if self.standby is not None:
            self.standby.refill()
        if provisional:
            session.provisional = True
            if len(self._provisional) >= MAX_PROVISIONAL:
                oldest = next(iter(self._provisional.values()))
                self.end(oldest, "too many sessions were opened and not initialized")
            self._provisional[session.id] = session
            session.expiry = asyncio.get_running_loop().call_later(
                self.init_timeout, self._expire, session)
        return session

    def _room_for_worker(self) -> bool:
        """Whether one more worker process than the sessions' (and those
        still ending) fits the maximum."""
        held = sum(1 for s in self.sessions.values() if s.holds_worker())
        return held + len(self._closing) < self.max_sessions

    def store_full(self) -> str | None:
        """Why no new workspace or session may be stored, or None. Parked
        ones cost a row each and never count against the maximum of live
        ones, and with no idle time-out nothing removes them: this bounds
        the rows. Creations under way may pass it by as many."""
        if self.store is None:
            return None
        try:
            held = self.store.count()
        except StoreError as e:
            return str(e)
        if held < self.max_stored:
            return None
        return (f"the server's store holds its maximum of {self.max_stored} workspaces and "
                f"sessions (--max-stored): close one or try again later")

    def _expire(self, session: Session) -> None:
        if session.provisional and session.ended is None:
            self.end(session, f"it was not initialized within {self.init_timeout:g} s")

    def confirm(self, session: Session) -> bool:
        """A provisional session initialized: it counts from now on. At the
        maximum it is ended instead (False)."""
        if not session.provisional or session.ended is not None:
            return session.ended is None
        self._provisional.pop(session.id, None)
        session.provisional = False
        if session.expiry is not None:
            session.expiry.cancel()
            session.expiry = None
        if self.counted() > self.max_sessions:
            self.end(session, f"the server reached its maximum of {self.max_sessions} sessions "
                              f"before this one was initialized")
            return False
        self._keep(session)
        return True

    def _write(self, work: Callable[[Store], Any]) -> asyncio.Future[Any]:
        """`work` on the writer thread's connection to the store."""
        assert self._writes is not None and self.store is not None
        path = self.store.path

        def run() -> Any:
            if self._writer is None:
                self._writer = Store(path, check=False)
            began = time.monotonic()
            try:
                return work(self._writer)
            finally:
                # Counted on the loop's thread: the registry has no lock.
                try:
                    loop.call_soon_threadsafe(metrics.METRICS.store_write,
                                              time.monotonic() - began)
                except RuntimeError:  # the loop has closed: nobody scrapes
                    pass

        loop = asyncio.get_running_loop()
        return loop.run_in_executor(self._writes, run)

    def _write_later(self, work: Callable[[Store], Any]) -> None:
        """`work` on the writer thread, its failure only logged."""
        def logged(done: asyncio.Future[Any]) -> None:
            if not done.cancelled() and done.exception() is not None:
                log.say(str(done.exception()))

        self._write(work).add_done_callback(logged)

    def record(self, session: Session) -> asyncio.Future[None]:
        """Adds the session's row to the store (it is then `keep`); its
        worker waits for it. Fails with StoreError, the session then living
        in memory only."""
        owner, kind, version = session.owner, HANDLE if session.handle else SESSION, \
            session.protocol_version
        assert self.store is not None
        node, seconds = self.store.node, self.store.lease_secs
        def add(store: Store) -> None:
            store.add(session.id, owner, kind, version)
            killpoint.reach("server.row_added")
            if node is not None:
                # Held from the start, not from its worker's: until then a
                # request for it on another node (a close, say) would find no
                # lease, serve it there, and leave it counted here for ever.
                # The node renews it with its others.
                store.claim(session.id, node, seconds)

        done = self._write(add)
        session.keep = True  # its worker's environment waits for the outcome

        def settled(future: asyncio.Future[None]) -> None:
            if future.cancelled() or future.exception() is not None:
                session.keep = False
            session.recording = None

        done.add_done_callback(settled)
        session.recording = done
        return done

    def _keep(self, session: Session) -> None:
        """Records an initialized MCP session in the store; one that cannot
        be recorded lives in memory only."""
        if self.store is None or session.handle or session.pinned or session.keep:
            return
        self.record(session).add_done_callback(
            lambda done: None if done.cancelled() or done.exception() is None else log.say(
                f"{done.exception()}; the session is kept in memory only"))

    def _restore(self, session_id: str, owner: str | None) -> Session | None:
        """The session the store holds under `session_id` for `owner`, back
        in memory, parked; None if there is none."""
        if self.store is None or session_id in self._endings or len(session_id) > 128:
            return None
        try:
            found = self.store.find(session_id)
        except StoreError as e:
            log.say(str(e))
            return None
        if found is None or found.principal != owner:
            return None
        session = Session(session_id, self.options, owner, found.kind == HANDLE)
        session.standby = self.standby
        session.keep = session.parked = True
        # Its idle time goes on from its last use, not from now.
        session.last_active -= max(0.0, time.time() - found.last_used)
        if found.kind == SESSION:
            session.protocol_version = found.protocol
            session.initialized = True
        self.sessions[session_id] = session
        return session

    def unpark(self, session: Session) -> bool:
        """Lets a parked session start a worker; False at the maximum."""
        if not session.parked:
            return True
        if self.counted() >= self.max_sessions:
            return False
        session.parked = False
        session.resuming = True
        return True

    def get(self, session_id: str, owner: str | None = None) -> Session | None:
        """The live session `session_id` if `owner` opened it."""
        session = self.sessions.get(session_id) or self._restore(session_id, owner)
        return session if session is not None and session.owner == owner else None

    def lookup(self, handle: str, owner: str | None) -> Session | None:
        """`owner`'s live workspace `handle`; None for any other."""
        session = self.get(handle, owner)
        return session if session is not None and session.handle else None

    def owned(self, owner: str | None) -> list[Session]:
        """`owner`'s live workspaces, oldest first."""
        if self.store is not None:
            try:
                for stored in self.store.owned(owner):
                    if stored.id not in self.sessions:
                        self._restore(stored.id, owner)
            except StoreError as e:
                log.say(str(e))
        return [s for s in self.sessions.values() if s.handle and s.owner == owner]

    def let_go(self, session_id: str) -> None:
        """Forgets a kept session that another node serves now (its worker
        goes): its next request here brings it back from the store."""
        session = self.sessions.get(session_id)
        if session is None or not session.keep or session.inflight or session.pinned:
            return
        del self.sessions[session_id]
        session.ended = "another node serves it now"
        if session.holds_worker():
            task = asyncio.ensure_future(session.close())
            self._closing.add(task)
            task.add_done_callback(self._closing.discard)

    def busy(self) -> bool:
        """Whether a call runs in some session or workspace."""
        return any(s.inflight for s in self.sessions.values())

    def why_gone(self, session_id: str, owner: str | None = None) -> str | None:
        ending = self._endings.get(session_id)
        return ending[1] if ending is not None and ending[0] == owner else None

    def _remember(self, session_id: str, owner: str | None, reason: str) -> None:
        self._endings[session_id] = (owner, reason)
        while len(self._endings) > REMEMBERED_ENDINGS:
            self._endings.popitem(last=False)

    def end(self, session: Session, reason: str, forget: bool = True) -> None:
        """Ends a session now; its worker goes in the background. `forget`:
        removes it from the store too."""
        if session.ended is not None:
            return
        session.ended = reason
        if forget and session.keep and self.store is not None:
            node = self.store.node
            self._write_later(lambda store: store.remove(session.id, node))
        self.sessions.pop(session.id, None)
        self._remember(session.id, session.owner, reason)
        if session.expiry is not None:
            session.expiry.cancel()
            session.expiry = None
        self._provisional.pop(session.id, None)
        if not session.holds_worker():
            return  # nothing to wait for, nothing to count
        task = asyncio.ensure_future(session.close())
        self._closing.add(task)
        task.add_done_callback(self._closing.discard)

    def sweep(self) -> None:
        """Ends the sessions idle for longer than the idle time-out, and
        parks the kept ones idle for `park_after`."""
        now = time.monotonic()
        for session in list(self.sessions.values()):
            since = session.idle_since()
            if since is None or session.pinned:
                continue
            if self.idle_timeout is not None and now - since >= self.idle_timeout:
                what = "workspace" if session.handle else "session"
                self.end(session, f"the {what} was idle for more than {self.idle_timeout:g} s")
            elif self.park_after and session.keep and session.worker is not None \
                    and not session.parking and now - since >= self.park_after \
                    and now - session.park_refused >= self.park_after:
                self._start_park(session)
        if self.store is not None and self.idle_timeout is not None:
            try:
                for stale, owner in self.store.unused_since(time.time() - self.idle_timeout):
                    if stale not in self.sessions and stale not in self._endings:
                        # Remembered as ended first, so that it is not brought back
                        # before the writer removes it.
                        self._remember(stale, owner, f"it was idle for more than "
                                                     f"{self.idle_timeout:g} s")
                        self._write_later(methodcaller("remove", stale))
            except StoreError as e:
                log.say(str(e))

    def park_now(self, session_id: str, owner: str | None) -> asyncio.Task[None] | None:
        """Parks `owner`'s kept session now if it is idle (another node
        takes it over from the store): the park, or None. A call under way
        or a park refused leaves it here."""
        session = self.sessions.get(session_id)
        if session is not None and session.owner == owner and session.keep and session.worker is not None and \
                not session.parking and not session.pinned and not session.inflight:
            return self._start_park(session)
        return None

    def _start_park(self, session: Session) -> asyncio.Task[None]:
        session.parking = True
        task = asyncio.ensure_future(self._park(session))
        self._parks.add(task)
        task.add_done_callback(self._parks.discard)
        return task

    async def _park(self, session: Session) -> None:
        """Parks a kept session into the store and ends its worker, unless
        a call came meanwhile or the worker cannot park (tried again a
        park time later)."""
        try:
            worker = session.worker
            if worker is None:
                return
            began = time.monotonic()
            try:
                reply = await worker.call("_park", {})
            except WorkerGone:
                metrics.METRICS.park(time.monotonic() - began, "failed")
                return
            parked = bool((reply.get("ok") or {}).get("parked"))
            metrics.METRICS.park(time.monotonic() - began, "parked" if parked else "refused")
            if not parked:
                session.park_refused = time.monotonic()
                return
            if session.ended is not None or session.worker is not worker or session.inflight:
                return  # the call resumes it in this worker
            session.forget_worker()
            session.parked = True
            when = _wall(session.last_active)
            node = self.store.node if self.store is not None else None

            def write_parked(store: Store) -> None:
                store.touch(session.id, when, node)
                if node is not None:  # another node may resume it at once
                    store.release(node, session.id)
            self._write_later(write_parked)
            closing = asyncio.ensure_future(worker.close())  # counted until it is gone
            self._closing.add(closing)
            closing.add_done_callback(self._closing.discard)
            await closing
        finally:
            session.parking = False

    async def sweep_forever(self) -> None:
        limits = [t / 4 for t in (self.idle_timeout, self.park_after if self.store else 0) if t]
        interval = max(0.05, min([30.0, *limits]))
        while True:
            await asyncio.sleep(interval)
            self.sweep()
            reap_strays()

    async def renew_forever(self) -> None:
        """Renews this node's leases three times per lease time, so that one
        renewal lost (a store restarting) costs none."""
        if self.store is None or self.store.node is None:
            return
        node, seconds = self.store.node, self.store.lease_secs
        while True:
            try:
                await self._write(lambda store: store.renew(node, seconds))
            except StoreError as e:
                log.say(f"{e}; this node's workspaces may move to another")
            await asyncio.sleep(seconds / 3)

    async def stop(self) -> None:
        """Ends every session, waits for every worker, removes the scratch
        directory. Kept sessions that are idle are parked first (for at
        most the grace time), so that a restart brings their interpreters
        back; the store keeps every kept session."""
        if self.store is not None and self.park_after:
            idle = [s for s in self.sessions.values() if s.keep and s.worker is not None
                    and not s.inflight and not s.parking]
            for session in idle:
                session.parking = True
            parks = [*self._parks, *(asyncio.ensure_future(self._park(s)) for s in idle)]
            if parks:
                await asyncio.wait(parks, timeout=self.options.grace)
        for session in list(self.sessions.values()):
            if session.keep and self.store is not None and not session.parked:
                when = _wall(session.last_active)
                self._write_later(methodcaller("touch", session.id, when, self.store.node))
            self.end(session, "the server stopped", forget=False)
        if self.standby is not None:
            await self.standby.close()
        while self._closing:
            await asyncio.gather(*list(self._closing), return_exceptions=True)
        if self.store is not None and self.store.node is not None:
            # No worker of this node is left: another node may take any of
            # its workspaces over at once, not after the lease time.
            self._write_later(methodcaller("release", self.store.node))
        if self.spares is not None:
            await self.spares.close()
            forget_pid(self.spares.pid)
        reap_strays()
        shutil.rmtree(self.scratch, ignore_errors=True)
        if self._writes is not None:  # what is queued is written
            await asyncio.get_running_loop().run_in_executor(None, self._writes.shutdown)

    def by_state(self) -> dict[str, int]:
        """Workspaces and sessions live, parked and stored (metrics.STATES):
        a count of the store's rows, no more."""
        parked = sum(1 for s in self.sessions.values() if s.parked)
        live = sum(1 for s in self.sessions.values() if not s.provisional) - parked
        stored = 0
        if self.store is not None:
            try:
                stored = self.store.count()
            except StoreError as e:
                log.say(str(e))
        return {"live": live, "parked": parked, "stored": stored}

    def worker_count(self) -> int:
        """Sessions with a live worker, workers still being ended, and the
        standby worker."""
        live = sum(1 for s in self.sessions.values() if s.worker is not None)
        standby = 1 if self.standby is not None and self.standby.held else 0
        return live + len(self._closing) + standby


def _spare_runner(env: dict[str, str]) -> bool:
    """The spare_runner setting the module reads from `env` (an invalid
    VESK_SPARE_RUNNER is ignored, as the module ignores it)."""
    if env.get("VESK_SPARE_RUNNER") in ("0", "1"):
        return env["VESK_SPARE_RUNNER"] == "1"
    return bool(config.load(env)[0]["spare_runner"])


def _seconds(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        return 0.0


def _wall(monotonic: float) -> float:
    """The wall-clock time of a time.monotonic() reading."""
    return time.time() - (time.monotonic() - monotonic)
