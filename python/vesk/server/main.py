"""`vesk serve`'s main loop: `run(settings)` serves until the transport ends
(stdio: the client closes its input) or the process gets SIGTERM or SIGINT,
then ends every session, waits for every worker and removes the scratch
directory.

Drain (HTTP, `drain_secs` > 0): on the first signal /health answers 503 and
new workspaces are handed on to another node (new sessions, or without
another node, refused), for `drain_secs` while the
balancer's checks notice; then the node stops listening, answers 503 to any
further request (a balancer retries it on another node) and waits for the
calls under way (at most `drain_timeout`; a second signal cuts it short)
before it parks, stores and releases everything as any stop does.
"""

from __future__ import annotations

import asyncio
import importlib.util
import os
import signal
from dataclasses import dataclass

from vesk.server import log
from vesk.server.cluster import Cluster
from vesk.server.http import HttpOptions, HttpServer
from vesk.server.protocol import ServerConfig
from vesk.server.sessions import SessionManager
from vesk.server.stdio import StdioServer
from vesk.server.store import Store
from vesk.server.tools import Limits, offered
from vesk.server.worker import become_subreaper


@dataclass(frozen=True)
class Settings:
    http: HttpOptions | None  # None: stdio
    max_sessions: int
    idle_timeout: float | None
    max_message: int
    host_exchange: bool
    export_root: str | None
    park_after: int = 0  # seconds; 0: sessions never park
    limits: Limits = Limits()  # what the tools say of their limits; the output bound
    store: Store | None = None  # where workspaces are kept; None: in memory only
    max_stored: int = 10_000  # most workspaces and sessions the store holds
    # Where other nodes hand on requests for the workspaces this one serves
    # (http://host:port); None: no handing on.
    advertise: str | None = None
    # On SIGTERM: how long /health says 503 before the node stops taking
    # requests and waits for its calls under way; 0: it stops at once.
    drain_secs: float = 0.0
    drain_timeout: float = 120.0  # the longest wait for calls under way


def worker_env(settings: Settings) -> dict[str, str]:
    """The workers' environment: the server's, plus where to find this
    package and the module (wherever this process found them), the server's
    pid (workers die with it), the export root and the park time, which
    takes the place of the configuration file's (the user's file is left as
    it is)."""
    env = dict(os.environ)
    paths = [os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))]
    spec = importlib.util.find_spec("vesk_internal")
    if spec is not None and spec.origin:
        paths.append(os.path.dirname(spec.origin))
    paths += [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    env["VESK_SERVE_PID"] = str(os.getpid())
    env.pop("VESK_SERVE_EXPORT_ROOT", None)
    if settings.export_root is not None:
        env["VESK_SERVE_EXPORT_ROOT"] = settings.export_root
    env.pop("VESK_SERVE_TOKEN", None)
    env["VESK_PARK_AFTER_IDLE_SECS"] = str(settings.park_after)
    # A worker holds one session: a runner kept ready beside each would cost
    # more than all the parked sessions save.
    env["VESK_SPARE_RUNNER"] = "0"
    # Python in a shell command would otherwise leave __pycache__ files in
    # the workspace, each a change in the next checkpoint and the diff.
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


async def serve(settings: Settings) -> None:
    become_subreaper()
    loop = asyncio.get_running_loop()
    stop, again = asyncio.Event(), asyncio.Event()

    def signalled() -> None:
        (again if stop.is_set() else stop).set()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, signalled)
    # Over stdio the connection's own session comes on top of the workspaces,
    # and keeps no spare runner (one client rarely has many sessions).
    stdio = settings.http is None
    manager = SessionManager(worker_env(settings),
                             max_sessions=settings.max_sessions + (1 if stdio else 0),
                             idle_timeout=settings.idle_timeout, spares=not stdio,
                             store=settings.store, park_after=float(settings.park_after),
                             max_stored=settings.max_stored,
                             init_timeout=10.0 if settings.http is None
                             else settings.http.init_timeout)
    tools = offered(settings.host_exchange)
    sweeper = asyncio.ensure_future(manager.sweep_forever())
    renewer = asyncio.ensure_future(manager.renew_forever())
    server: HttpServer | None = None
    cluster = None
    if settings.store is not None and settings.store.node is not None and settings.advertise:
        cluster = Cluster(settings.store, settings.advertise)
    try:
        if settings.http is None:
            config = ServerConfig(tools, end_session_on_crash=False, limits=settings.limits)
            await StdioServer(manager, config, settings.max_message).serve(stop)
        else:
            config = ServerConfig(tools, end_session_on_crash=True, limits=settings.limits)
            server = HttpServer(settings.http, manager, config)
            server.cluster = cluster
            await server.start()
            if cluster is not None:
                await cluster.announce()
            log.say(f"listening on {server.url}")
            await stop.wait()
            if settings.drain_secs > 0:
                await drain(server, manager, cluster, settings, again)
            await server.close()
    finally:
        sweeper.cancel()
        renewer.cancel()
        await manager.stop()
        # A request that was waiting on its worker ends with the worker.
        if server is not None:
            await server.finish()
        if cluster is not None:
            cluster.close()


async def drain(server: HttpServer, manager: SessionManager, cluster: Cluster | None,
                settings: Settings, again: asyncio.Event) -> None:
    log.say("draining: no new sessions; stopping once the calls under way are done")
    server.draining = True
    if cluster is not None:
        await cluster.announce(draining=True)
    try:
        await asyncio.wait_for(again.wait(), settings.drain_secs)
        return
    except asyncio.TimeoutError:
        pass
    server.stop_listening()
    server.closed_to_requests = True
    loop = asyncio.get_running_loop()
    deadline = loop.time() + settings.drain_timeout
    # Polled: calls end in many places (answers, cancels, dead workers).
    while (server.active or manager.busy()) and loop.time() < deadline \
            and not again.is_set():
        await asyncio.sleep(0.05)


def run(settings: Settings) -> int:
    try:
        asyncio.run(serve(settings))
    finally:
        log.flush()
    return 0
