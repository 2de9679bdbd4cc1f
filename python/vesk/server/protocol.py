"""The Model Context Protocol's server side, by hand.

Two eras of the protocol. Revision 2026-07-28 has no handshake and no
sessions: each request names its revision and the client's capabilities in
`_meta` (`check_modern`), every result says `resultType` and the server in
its `_meta`, lists carry caching hints (`ttlMs`, `cacheScope`), and
`server/discover` describes the server. State between calls is a workspace
that `create_workspace` opens and every other tool names by its handle
(`workspace`), owned by the caller's principal (`vesk.server.sessions`).
Revisions 2025-11-25 and 2025-06-18 go through `initialize` (a client asking
for any other revision is offered 2025-11-25, which it may decline by
disconnecting), and their session is a workspace of its own, used when a
call names none. What is offered:

- lifecycle: `initialize`, `notifications/initialized`, `ping`,
  `notifications/cancelled` (`Session.cancel`: a request still waiting for
  its session is dropped; a run in progress is stopped as a time-out would
  stop it; other calls finish; no answer is sent); over HTTP a 2026-07-28
  request is cancelled by closing its connection (`Protocol.stop`); a
  session opened provisionally (HTTP) answers nothing but `ping` until
  `notifications/initialized` confirms it (`SessionManager.confirm`);
- `notifications/progress` for a `tools/call` whose `_meta` has a
  `progressToken`: the output the run printed so far, as it comes, through
  the `notify` the transport gives `dispatch`;
- tools: `tools/list` (one page), `tools/call`;
- resources: `resources/list` (pages of 500), `resources/read`,
  `resources/templates/list`; no subscriptions, no change notifications;
- `server/discover` (2026-07-28; `initialize` and `ping` are of the others);
- tasks (revision 2026-07-28, `vesk.server.tasks`): `tasks/get`,
  `tasks/cancel`, `tasks/list`, `tasks/result`, for the runs of a client
  that declares the extension.

Not offered: prompts, completions, logging, sampling, elicitation, roots,
`subscriptions/listen`, and requests from server to client. Unknown methods
get "Method not found".

Tool arguments that do not fit the tool's input schema are a tool error
(`isError`) under 2025-11-25 and an "Invalid params" error under 2025-06-18,
as each revision says. The transport (`vesk.server.stdio`,
`vesk.server.http`) reads and writes messages and calls `Protocol.dispatch`
once per message, concurrently: requests of one session reach its worker in
the order they arrive.
"""

from __future__ import annotations

import asyncio
import os
from dataclasses import dataclass, field
from typing import Any, Callable

import time

from vesk import __version__
from vesk.server import jsonrpc, killpoint, log, metrics, resources
from vesk.server.content import cut, result_content
from vesk.server.jsonrpc import Message, Notification, Request, Response
from vesk.server.sessions import Session, SessionManager
from vesk.server.store import StoreError
from vesk.server.tasks import EXTENSION, MAX_TASKS, TASK_TOOLS, TERMINAL, TaskStore
from vesk.server.tools import Limits, Tool, check_arguments
from vesk.server.workers import StartFailed, WorkerGone

MODERN = "2026-07-28"
LEGACY_VERSIONS = ("2025-11-25", "2025-06-18")
SUPPORTED_VERSIONS = (MODERN, *LEGACY_VERSIONS)
LATEST = LEGACY_VERSIONS[0]  # what `initialize` offers a client asking for another
MODULE_SECONDS = "vesk/module-seconds"
PROTOCOL_VERSION_KEY = "io.modelcontextprotocol/protocolVersion"
CLIENT_INFO_KEY = "io.modelcontextprotocol/clientInfo"
CLIENT_CAPABILITIES_KEY = "io.modelcontextprotocol/clientCapabilities"
SERVER_INFO_KEY = "io.modelcontextprotocol/serverInfo"
# A modern client names the workspace whose files resources/list and
# resources/read show in the request's _meta (the URI names none).
WORKSPACE_META_KEY = "vesk/workspace"
SERVER_INFO = {"name": "vesk", "title": "vesk sessions", "version": __version__}
CAPABILITIES = {"tools": {"listChanged": False},
                "resources": {"subscribe": False, "listChanged": False}}
# How long a client may keep what does not change while the server runs
# (tools, templates, the server's description); a restart with other flags
# may change it.
STATIC_TTL_MS = 300_000
NO_WORKSPACE = ("this call needs a workspace: call create_workspace and pass its handle as "
                "`workspace`")

INSTRUCTIONS = (
    "This server gives each client session a private vesk workspace: files with a history of "
    "checkpoints, against which untrusted code runs in isolation. run_python runs Python in "
    "the session's own interpreter (state persists between runs); run_shell runs bash (sh "
    "where there is none) in a sandbox without network. Every change appends a checkpoint: "
    "list_history shows them, diff compares two, rollback returns to one (files only, not the "
    "interpreter's memory); when the history is full the oldest are forgotten, labelled ones "
    "last. Long answers lose their middle, with a marker. Files are also resources "
    "(vesk://workspace/{key}).")
MODERN_INSTRUCTIONS = INSTRUCTIONS + (
    " Without an MCP session (protocol 2026-07-28), call create_workspace first and pass the "
    "handle it returns as `workspace` to every other tool; close_workspace ends it.")


def is_modern(request: Request) -> bool:
    meta = request.params.get("_meta")
    return isinstance(meta, dict) and PROTOCOL_VERSION_KEY in meta


def check_modern(request: Request) -> dict[str, Any] | None:
    """The error response for a request without a handshake whose `_meta`
    lacks what every such request carries, or names a revision not spoken
    without one; None when it is sound."""
    meta = request.params.get("_meta")
    version = meta.get(PROTOCOL_VERSION_KEY) if isinstance(meta, dict) else None
    if not isinstance(meta, dict) or not isinstance(version, str):
        return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                             f'Invalid params: "_meta" must name the protocol version '
                             f'("{PROTOCOL_VERSION_KEY}")')
    if version != MODERN:
        return jsonrpc.error(request.id, jsonrpc.UNSUPPORTED_PROTOCOL_VERSION,
                             "Unsupported protocol version",
                             {"supported": list(SUPPORTED_VERSIONS), "requested": version})
    if not isinstance(meta.get(CLIENT_CAPABILITIES_KEY), dict):
        return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                             f'Invalid params: "_meta" must carry the client\'s capabilities '
                             f'("{CLIENT_CAPABILITIES_KEY}", an object)')
    info = meta.get(CLIENT_INFO_KEY)
    if info is not None and not isinstance(info, dict):
        return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                             f'Invalid params: "{CLIENT_INFO_KEY}" must be an object')
    return None


def _stamp(response: dict[str, Any]) -> dict[str, Any]:
    """A modern result: its kind and the server's identity."""
    result = response.get("result")
    if isinstance(result, dict):
        meta = result.get("_meta")
        result.setdefault("resultType", "complete")
        result["_meta"] = {**(meta if isinstance(meta, dict) else {}),
                           SERVER_INFO_KEY: SERVER_INFO}
    return response


def _cacheable(response: dict[str, Any], ttl_ms: int, scope: str) -> dict[str, Any]:
    result = response.get("result")
    if isinstance(result, dict):
        result["ttlMs"], result["cacheScope"] = ttl_ms, scope
    return response


@dataclass(frozen=True)
class ServerConfig:
    tools: dict[str, Tool]
    # HTTP: a session whose worker died is over (the client starts another).
    # stdio: the connection is the session, so the next call starts afresh.
    end_session_on_crash: bool
    max_inflight: int = 32
    # What the tools' descriptions say, and the bytes of text (and of
    # structured content) one tool result may carry (limits.max_output).
    limits: Limits = Limits()
    tasks: TaskStore = field(default_factory=TaskStore)


def _declares_tasks(request: Request) -> bool:
    meta = request.params.get("_meta")
    capabilities = meta.get(CLIENT_CAPABILITIES_KEY) if isinstance(meta, dict) else None
    extensions = capabilities.get("extensions") if isinstance(capabilities, dict) else None
    return isinstance(extensions, dict) and isinstance(extensions.get(EXTENSION), dict)


def _tool_error(text: str) -> dict[str, Any]:
    return {"content": [{"type": "text", "text": text}], "isError": True}


def _tool_result(text: str, structured: dict[str, Any]) -> dict[str, Any]:
    return {"content": [{"type": "text", "text": text}], "structuredContent": structured,
            "isError": False}


def _progress(request: Request, notify: Callable[[dict[str, Any]], None] | None
              ) -> Callable[[str], None] | None:
    """What sends the request's progress notifications, or None when the
    client asked for none (or the transport cannot send them)."""
    meta = request.params.get("_meta")
    token = meta.get("progressToken") if isinstance(meta, dict) else None
    if notify is None or isinstance(token, bool) or not isinstance(token, (str, int)):
        return None
    deliver = notify
    count = 0

    def send(text: str) -> None:
        nonlocal count
        count += 1
        deliver({"jsonrpc": "2.0", "method": "notifications/progress",
                "params": {"progressToken": token, "progress": count, "message": text}})

    return send


def _outcome(response: dict[str, Any], kind: str | None) -> tuple[str, str]:
    """A tool call's outcome ("ok", "error", "task": a task was started)
    and, for an error, its text; `kind` is what failed had it failed."""
    if "error" in response:
        return "error", str(response["error"].get("message", ""))
    result = response.get("result", {})
    if kind == "task" and not result.get("isError"):
        return "task", ""
    if result.get("isError"):
        content = result.get("content") or [{}]
        return "error", str(content[0].get("text", ""))
    return "ok", ""


def _count(tool: str, workspace: str | None, took: float, outcome: str, kind: str | None,
           message: str) -> None:
    metrics.METRICS.record(tool, took, outcome, kind)
    log.call(workspace, tool, took, outcome, kind, message)


class Protocol:
    """Answers the messages of one MCP session (`session`), or, with None,
    requests of revision 2026-07-28 over HTTP, each on its own. `principal`
    is whose bearer token came with them (None without tokens): it owns the
    workspaces they open and sees no others."""

    def __init__(self, session: Session | None, manager: SessionManager, config: ServerConfig,
                 principal: str | None = None) -> None:
        self.session = session
        self.manager = manager
        self.config = config
        self.principal = principal
        self._running: tuple[Session, Any] | None = None  # the workspace call in flight

    async def dispatch(self, message: Message,
                       notify: Callable[[dict[str, Any]], None] | None = None
                       ) -> dict[str, Any] | None:
        """The response to send, or None (a notification, a response from the
        client, a cancelled request). `notify` sends a notification about
        the request before its response (it must not block; it may drop)."""
        session = self.session
        if session is not None:
            session.touch()
        if isinstance(message, Response):
            return None
        if isinstance(message, Notification):
            self._notification(message)
            return None
        if session is not None:
            inflight = session.inflight
            if message.id in inflight:
                return jsonrpc.error(message.id, jsonrpc.INVALID_REQUEST,
                                     "Invalid Request: a request with this id is in progress")
            if len(inflight) >= self.config.max_inflight:
                return jsonrpc.error(message.id, jsonrpc.SERVER_BUSY,
                                     f"too many requests in progress in this session "
                                     f"(at most {self.config.max_inflight})")
        task = asyncio.ensure_future(self._answer(message, notify))
        if session is not None:
            session.inflight[message.id] = task
        try:
            await asyncio.wait([task])
        except asyncio.CancelledError:  # the transport is stopping
            task.cancel()
            raise
        finally:
            if session is not None:
                session.inflight.pop(message.id, None)
                session.routes.pop(message.id, None)
                session.touch()
        if task.cancelled():
            return None
        error = task.exception()
        if error is not None:  # a fault of the server's own, not of the request
            log.say(f"internal error: {error!r}", "error")
            return jsonrpc.error(message.id, jsonrpc.INTERNAL_ERROR,
                                 f"Internal error: {type(error).__name__}: {error}")
        result: dict[str, Any] = task.result()
        return result

    def _notification(self, message: Notification) -> None:
        if self.session is None:
            return  # over HTTP a modern client cancels by closing its stream
        if message.method == "notifications/initialized":
            self.session.initialized = True
            self.manager.confirm(self.session)
        elif message.method == "notifications/cancelled":
            request_id = message.params.get("requestId")
            if jsonrpc.valid_id(request_id):
                self.session.cancel(request_id)

    def modern(self, request: Request) -> bool:
        """Whether `request` is of revision 2026-07-28: every request without
        a session, and a request that names its revision in a session (over
        stdio) that has not been initialized."""
        return self.session is None or (self.session.protocol_version is None
                                        and is_modern(request))

    async def _answer(self, request: Request,
                      notify: Callable[[dict[str, Any]], None] | None) -> dict[str, Any]:
        method = request.method
        if self.modern(request):
            problem = check_modern(request)
            if problem is not None:
                return problem
            if method in ("initialize", "ping"):  # not part of this revision
                return jsonrpc.error(request.id, jsonrpc.METHOD_NOT_FOUND,
                                     f"Method not found: {method}")
            return _stamp(await self._method(request, notify, True))
        if method == "initialize":
            return self._initialize(request)
        if method == "ping":
            return jsonrpc.result(request.id, {})
        assert self.session is not None
        if self.session.protocol_version is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_REQUEST,
                                 "Invalid Request: the session is not initialized")
        if self.session.provisional:
            return jsonrpc.error(request.id, jsonrpc.INVALID_REQUEST,
                                 "Invalid Request: the session is not initialized: send "
                                 "notifications/initialized first")
        if method == "server/discover":
            return jsonrpc.error(request.id, jsonrpc.METHOD_NOT_FOUND,
                                 f"Method not found: {method}")
        return await self._method(request, notify, False)

    async def _method(self, request: Request,
                      notify: Callable[[dict[str, Any]], None] | None,
                      modern: bool) -> dict[str, Any]:
        method, params = request.method, request.params
        if method == "server/discover":
            return _cacheable(jsonrpc.result(request.id, {
                "supportedVersions": list(SUPPORTED_VERSIONS),
                "capabilities": {**CAPABILITIES, "extensions": {EXTENSION: {}}},
                "instructions": MODERN_INSTRUCTIONS}), STATIC_TTL_MS, "public")
        if method == "tools/list":
            if params.get("cursor") is not None:
                return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                     "Invalid params: unknown cursor")
            response = jsonrpc.result(request.id, {
                "tools": [tool.listing(self.config.limits) for tool in self.config.tools.values()]})
            return _cacheable(response, STATIC_TTL_MS, "public") if modern else response
        if method == "tools/call":
            return await self._call_tool(request, notify, modern)
        if method == "resources/list":
            response = await self._list_resources(request, modern)
            return _cacheable(response, 0, "private") if modern else response
        if method == "resources/templates/list":
            response = jsonrpc.result(request.id, {"resourceTemplates": [resources.TEMPLATE]})
            return _cacheable(response, STATIC_TTL_MS, "public") if modern else response
        if modern and method in ("tasks/get", "tasks/cancel", "tasks/list", "tasks/result"):
            return self._task_method(request)
        if method == "resources/read":
            response = await self._read_resource(request, modern)
            return _cacheable(response, 0, "private") if modern else response
        return jsonrpc.error(request.id, jsonrpc.METHOD_NOT_FOUND,
                             f"Method not found: {method}")

    def _workspace(self, handle: Any, modern: bool) -> Session | str:
        """The workspace a call acts on, or why there is none: the handle's,
        if it is the caller's own and open; without one, the MCP session's
        own workspace."""
        if handle is None:
            if modern or self.session is None:
                return NO_WORKSPACE
            return self.session
        found = self.manager.lookup(handle, self.principal) if isinstance(handle, str) else None
        if found is None:
            why = self.manager.why_gone(handle, self.principal) if isinstance(handle, str) \
                else None
            return ("no such workspace: the handle is unknown or the workspace has ended"
                    + (f" ({why})" if why else "") + "; create_workspace opens a new one")
        return found

    def _initialize(self, request: Request) -> dict[str, Any]:
        assert self.session is not None
        if self.session.protocol_version is not None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_REQUEST,
                                 "Invalid Request: the session is already initialized")
        requested = request.params.get("protocolVersion")
        if not isinstance(requested, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "protocolVersion" must be a string')
        version = requested if requested in LEGACY_VERSIONS else LATEST
        self.session.protocol_version = version
        return jsonrpc.result(request.id, {
            "protocolVersion": version,
            "capabilities": {"tools": {"listChanged": False},
                             "resources": {"subscribe": False, "listChanged": False}},
            "serverInfo": {"name": "vesk", "title": "vesk sessions", "version": __version__},
            "instructions": INSTRUCTIONS,
        })

    async def _session_call(self, target: Session, tool: str, arguments: dict[str, Any],
                            key: Any = None, on_progress: Callable[[str], None] | None = None
                            ) -> dict[str, Any]:
        """The reply of `target`'s worker; WorkerGone (with the text for the
        client) when the worker could not start or has died. `key` lets
        Session.cancel stop the call."""
        what = "workspace" if target.handle else "session"
        if not self.manager.unpark(target):
            raise StartFailed(f"the server has its maximum of {self.manager.max_sessions} live "
                              f"workspaces and sessions: this parked {what} can resume once one "
                              f"ends or parks; try again later")
        try:
            worker = await target.ready_worker()
            reply = await worker.call(tool, arguments, key=key, on_progress=on_progress)
            killpoint.reach("server.before_relay")
            return reply
        except StartFailed:
            raise
        except WorkerGone as e:
            if target.ended is not None:
                raise WorkerGone(f"the {what} has ended: {target.ended}") from None
            log.say(f"a {what}'s worker is gone: {e}")
            if target.keep:
                target.forget_worker()
                raise WorkerGone(f"{e}; the {what}'s files and history are kept in the "
                                 f"server's store up to its last answered change: the next "
                                 f"call brings it back with a new interpreter") from None
            lost = (f"{e}; the {what}'s workspace and history are lost, and ")
            if target.handle:
                self.manager.end(target, str(e))
                raise WorkerGone(lost + "the workspace has ended: create another") from None
            if self.config.end_session_on_crash:
                self.manager.end(target, str(e))
                raise WorkerGone(lost + "this MCP session has ended: start a new one") from None
            target.forget_worker()
            raise WorkerGone(lost + "the next call starts a new, empty session") from None

    async def _on(self, target: Session, request: Request, tool: str, arguments: dict[str, Any],
                  on_progress: Callable[[str], None] | None = None,
                  task_key: Any = None) -> dict[str, Any]:
        """`_session_call` on `target`, counted there as a request in
        progress (it is not idle meanwhile) and reachable by the session's
        cancel(), or, for a task (`task_key`), by the task's stop."""
        session = None if task_key is not None else self.session
        key = task_key if task_key is not None else (
            session.call_key(request.id) if session is not None else (None, object()))
        if target is session:
            return await self._session_call(target, tool, arguments, key, on_progress)
        if len(target.inflight) >= self.config.max_inflight:
            raise WorkerGone(f"too many requests in progress in this workspace "
                             f"(at most {self.config.max_inflight})")
        if task_key is None:
            self._running = (target, key)
        marker, task = object(), asyncio.current_task()
        assert task is not None
        target.inflight[marker] = task
        target.touch()
        if session is not None:
            session.routes[request.id] = target
        try:
            return await self._session_call(target, tool, arguments, key, on_progress)
        finally:
            if task_key is None:
                self._running = None
            target.inflight.pop(marker, None)
            target.touch()

    def stop(self) -> None:
        """Stops the workspace call in flight as a time-out would (the
        caller then cancels the request's task): a request of revision
        2026-07-28 whose client closed its connection."""
        if self._running is not None:
            target, key = self._running
            if target.worker is not None:
                target.worker.cancel(key)

    async def _open_workspace(self) -> Session | str:
        """A new workspace, in the store before its handle is given out."""
        full = self.manager.store_full()
        if full is not None:
            return full
        opened = self.manager.open(self.principal, handle=True)
        if opened is None:
            return (f"the server has its maximum of {self.manager.max_sessions} "
                    f"workspaces and sessions: close one or try again later")
        if self.manager.store is not None:
            try:
                await self.manager.record(opened)
            except StoreError as e:
                self.manager.end(opened, "it could not be stored", forget=False)
                return f"could not create the workspace: {e}"
        return opened

    async def _create(self) -> dict[str, Any]:
        opened = await self._open_workspace()
        if isinstance(opened, str):
            return _tool_error(opened)
        return _tool_result(f"workspace {opened.id}: pass it as `workspace` to the other "
                            f"tools", {"workspace": opened.id})

    async def _fork(self, request: Request, handle: str | None, modern: bool) -> dict[str, Any]:
        """fork_workspace: the source saves itself to a file in the scratch
        directory, and a new workspace's worker starts from it (and stores
        it) before the handle is given out."""
        source = self._workspace(handle, modern)
        if isinstance(source, str):
            return _tool_error(source)
        opened = await self._open_workspace()
        if isinstance(opened, str):
            return _tool_error(opened)
        path = os.path.join(self.manager.scratch, f"fork-{opened.id}.vesk")
        try:
            reply = await self._on(source, request, "_fork", {"path": path})
            if "error" in reply:
                raise WorkerGone(reply["error"])
            opened.load_file = path
            await opened.ready_worker()
        except (WorkerGone, asyncio.CancelledError) as e:
            self.manager.end(opened, "its fork failed")
            for name in (path, path + ".records"):
                try:
                    os.unlink(name)
                except OSError:
                    pass
            if isinstance(e, asyncio.CancelledError):
                raise
            return _tool_error(f"could not fork the workspace: {e}")
        opened.touch()
        with_interpreter = bool(reply["ok"].get("interpreter"))
        return _tool_result(
            f"workspace {opened.id}: a fork of {source.id} "
            f"({'with' if with_interpreter else 'without'} its interpreter's state); pass it "
            f"as `workspace` to the other tools",
            {"workspace": opened.id, "interpreter": with_interpreter})

    def _server_side(self, name: str, arguments: dict[str, Any]) -> dict[str, Any]:
        """The workspace tools, which the server answers itself."""
        if name == "close_workspace":
            found = self._workspace(arguments["workspace"], True)
            if isinstance(found, str):
                return _tool_error(found)
            self.manager.end(found, "it was closed")
            return _tool_result(f"closed workspace {found.id}", {"workspace": found.id})
        now = time.monotonic()
        listed = [{"workspace": s.id, "idle_seconds": round(now - s.last_active, 1),
                   "running": bool(s.inflight)} for s in self.manager.owned(self.principal)]
        text = "\n".join(f"{w['workspace']} ({'running' if w['running'] else 'idle'})"
                         for w in listed) or "no workspaces"
        return _tool_result(text, {"workspaces": listed})

    async def _call_tool(self, request: Request,
                         notify: Callable[[dict[str, Any]], None] | None,
                         modern: bool) -> dict[str, Any]:
        """A tool call, counted in the metrics and logged."""
        name = request.params.get("name")
        tool = name if isinstance(name, str) and name in self.config.tools \
            else metrics.UNKNOWN_TOOL
        arguments = request.params.get("arguments")
        handle = arguments.get("workspace") if isinstance(arguments, dict) else None
        workspace = handle if isinstance(handle, str) else (
            self.session.id if self.session is not None and not modern else None)
        began = time.monotonic()
        outcome, kind, message = "cancelled", None, ""
        try:
            response, kind = await self._call_tool_kind(request, notify, modern)
            outcome, message = _outcome(response, kind)
            return response
        except Exception as e:
            outcome, kind, message = "error", "internal", repr(e)
            raise
        finally:
            # A task started is counted when it ends (`_start_task`).
            if outcome != "task":
                took = time.monotonic() - began
                kind = ("refused" if kind == "task" else kind) if outcome == "error" else None
                # Only offered tools' names become labels; the log names any.
                metrics.METRICS.record(tool, took, outcome, kind)
                log.call(workspace, name if isinstance(name, str) else "(not a string)", took,
                         outcome, kind, message)

    async def _call_tool_kind(self, request: Request,
                              notify: Callable[[dict[str, Any]], None] | None,
                              modern: bool) -> tuple[dict[str, Any], str | None]:
        """The response, and the kind of error it is if it is one (for a
        task started, "task")."""
        name = request.params.get("name")
        if not isinstance(name, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "name" must be a string'), "unknown_tool"
        tool = self.config.tools.get(name)
        if tool is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 f"Unknown tool: {name}"), "unknown_tool"
        arguments = request.params.get("arguments")
        arguments = {} if arguments is None else arguments
        problem = check_arguments(tool, arguments)
        if problem is not None:
            if not modern and self.session is not None \
                    and self.session.protocol_version == "2025-06-18":
                return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                     f"Invalid params: {problem}"), "invalid_arguments"
            return jsonrpc.result(request.id, _tool_error(f"invalid arguments: {problem}")), \
                "invalid_arguments"
        if tool.name == "create_workspace":
            return jsonrpc.result(request.id, await self._create()), "refused"
        if tool.name == "fork_workspace":
            return jsonrpc.result(request.id, await self._fork(request, arguments.get("workspace"),
                                                               modern)), "refused"
        if tool.server_side:
            return jsonrpc.result(request.id, self._server_side(tool.name, arguments)), "refused"
        arguments = dict(arguments)
        target = self._workspace(arguments.pop("workspace", None), modern)
        if isinstance(target, str):
            return jsonrpc.result(request.id, _tool_error(target)), "no_workspace"
        if modern and tool.name in TASK_TOOLS and _declares_tasks(request):
            return jsonrpc.result(request.id, self._start_task(target, request, tool.name,
                                                               arguments)), "task"
        try:
            reply = await self._on(target, request, tool.name, arguments,
                                   _progress(request, notify))
        except WorkerGone as e:
            return jsonrpc.result(request.id, _tool_error(str(e))), "worker_gone"
        return jsonrpc.result(request.id, self._tool_reply(tool.name, reply)), "tool"

    def _tool_reply(self, tool: str, reply: dict[str, Any]) -> dict[str, Any]:
        """A tool's result from its worker's reply."""
        meta = {MODULE_SECONDS: reply.get("took", 0.0)}
        if "error" in reply:
            text, _ = cut(reply["error"], self.config.limits.max_output)
            return {**_tool_error(text), "_meta": meta}
        text, structured = result_content(tool, reply["ok"], self.config.limits.max_output)
        return {**_tool_result(text, structured), "_meta": meta}

    def _start_task(self, target: Session, request: Request, tool: str,
                    arguments: dict[str, Any]) -> dict[str, Any]:
        """Starts a tool call as a task and returns the task as made."""
        opened = self.config.tasks.open(self.principal)
        if opened is None:
            return _tool_error(f"too many tasks are running (at most {MAX_TASKS}): wait for "
                               f"one to end or cancel one")
        task = opened
        key = ("task", task.id)

        def stop() -> None:
            if target.worker is not None:
                target.worker.cancel(key)

        async def run() -> None:
            began = time.monotonic()
            outcome, kind, message = "cancelled", None, ""
            try:
                reply = await self._on(target, request, tool, arguments, task.progress, key)
                answer = self._tool_reply(tool, reply)
                task.finish("completed", answer)
                outcome, message = _outcome({"result": answer}, "tool")
                kind = "tool" if outcome == "error" else None
            except WorkerGone as e:
                task.finish("completed", _tool_error(str(e)))
                outcome, kind, message = "error", "worker_gone", str(e)
            except asyncio.CancelledError:
                task.finish("cancelled")
            except Exception as e:  # a fault of the server's own
                outcome, kind, message = "error", "internal", repr(e)
                log.say(f"internal error in a task: {e!r}", "error")
                task.finish("failed", error={"code": jsonrpc.INTERNAL_ERROR,
                                             "message": f"Internal error: {e}"})
            finally:
                _count(tool, target.id, time.monotonic() - began, outcome, kind, message)

        task.stop = stop
        task.runner = asyncio.ensure_future(run())
        return {**task.view(), "resultType": "task"}

    def _task_method(self, request: Request) -> dict[str, Any]:
        """tasks/get, tasks/cancel, and, from the extension's first form,
        tasks/list and tasks/result (the result once the task has ended)."""
        if not _declares_tasks(request):
            return jsonrpc.error(request.id, jsonrpc.MISSING_CLIENT_CAPABILITY,
                                 "Missing required client capability",
                                 {"requiredCapabilities": {"extensions": {EXTENSION: {}}}})
        tasks = self.config.tasks
        if request.method == "tasks/list":
            return jsonrpc.result(request.id, {
                "tasks": [{k: v for k, v in t.view().items() if k not in ("result", "error")}
                          for t in tasks.owned(self.principal)]})
        task = tasks.get(self.principal, request.params.get("taskId"))
        if task is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 "Invalid params: unknown task")
        if request.method == "tasks/cancel":
            if task.status not in TERMINAL:
                if task.stop is not None:
                    task.stop()
                if task.runner is not None:
                    task.runner.cancel()
                task.finish("cancelled")
            return jsonrpc.result(request.id, {})
        if request.method == "tasks/result":
            if task.result is None:
                return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                     f"Invalid params: the task has no result (it is "
                                     f"{task.status})")
            return jsonrpc.result(request.id, dict(task.result))
        return jsonrpc.result(request.id, task.view())

    def _resource_workspace(self, request: Request, modern: bool) -> Session | str:
        meta = request.params.get("_meta")
        handle = meta.get(WORKSPACE_META_KEY) if isinstance(meta, dict) else None
        return self._workspace(handle, modern)

    async def _list_resources(self, request: Request, modern: bool) -> dict[str, Any]:
        cursor = request.params.get("cursor")
        if cursor is not None and not isinstance(cursor, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "cursor" must be a string')
        after = resources.cursor_key(cursor)
        if after is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 "Invalid params: unknown cursor")
        target = self._resource_workspace(request, modern)
        if isinstance(target, str):
            # Without a workspace there are no files to list.
            return jsonrpc.result(request.id, {"resources": []})
        try:
            reply = await self._on(target, request, "list_page",
                                   {"after": after or None, "limit": resources.PAGE_SIZE})
        except WorkerGone as e:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, str(e))
        if "error" in reply:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, reply["error"])
        page = [(f["path"], f["size"]) for f in reply["ok"]["files"]]
        return jsonrpc.result(request.id, resources.listing(page, reply["ok"]["more"]))

    async def _read_resource(self, request: Request, modern: bool) -> dict[str, Any]:
        uri = request.params.get("uri")
        if not isinstance(uri, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "uri" must be a string')
        # Revision 2026-07-28 says Invalid params where earlier ones had a code of their own.
        missing = jsonrpc.INVALID_PARAMS if modern else jsonrpc.RESOURCE_NOT_FOUND
        key = resources.key_of(uri)
        if key is None:
            return jsonrpc.error(request.id, missing, f"Resource not found: {uri}", {"uri": uri})
        target = self._resource_workspace(request, modern)
        if isinstance(target, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 f"Invalid params: {target} (in _meta, as "
                                 f'"{WORKSPACE_META_KEY}")')
        try:
            reply = await self._on(target, request, "read_file", {"path": key})
        except WorkerGone as e:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, str(e))
        if reply.get("missing"):
            return jsonrpc.error(request.id, missing, f"Resource not found: {uri}", {"uri": uri})
        if "error" in reply:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, reply["error"])
        found = reply["ok"]
        return jsonrpc.result(request.id, {
            "contents": [resources.contents(key, found["encoding"], found["content"])]})
