"""The Model Context Protocol's server side, for one session, by hand.

Written to the protocol's schema of revision 2025-11-25, and negotiating
2025-06-18 as well (a client asking for any other revision is offered
2025-11-25, which it may decline by disconnecting). What is offered:

- lifecycle: `initialize`, `notifications/initialized`, `ping`,
  `notifications/cancelled` (`Session.cancel`: a request still waiting for
  its session is dropped; a run in progress is stopped as a time-out would
  stop it; other calls finish; no answer is sent);
- `notifications/progress` for a `tools/call` whose `_meta` has a
  `progressToken`: the output the run printed so far, as it comes, through
  the `notify` the transport gives `dispatch`;
- tools: `tools/list` (one page), `tools/call`;
- resources: `resources/list` (pages of 500), `resources/read`,
  `resources/templates/list`; no subscriptions, no change notifications.

Not offered: prompts, completions, logging, sampling, elicitation, roots,
tasks, and requests from server to client. Unknown methods get "Method not
found".

Tool arguments that do not fit the tool's input schema are a tool error
(`isError`) under 2025-11-25 and an "Invalid params" error under 2025-06-18,
as each revision says. The transport (`vesk.server.stdio`,
`vesk.server.http`) reads and writes messages and calls `Protocol.dispatch`
once per message, concurrently: requests of one session reach its worker in
the order they arrive.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import Any, Callable

from vesk import __version__
from vesk.server import jsonrpc, log, resources
from vesk.server.content import cut, result_content
from vesk.server.jsonrpc import Message, Notification, Request, Response
from vesk.server.sessions import Session, SessionManager
from vesk.server.tools import Limits, Tool, check_arguments
from vesk.server.workers import StartFailed, WorkerGone

SUPPORTED_VERSIONS = ("2025-11-25", "2025-06-18")
LATEST = SUPPORTED_VERSIONS[0]
MODULE_SECONDS = "vesk/module-seconds"

INSTRUCTIONS = (
    "This server gives each client session a private vesk workspace: files with a history of "
    "checkpoints, against which untrusted code runs in isolation. run_python runs Python in "
    "the session's own interpreter (state persists between runs); run_shell runs bash (sh "
    "where there is none) in a sandbox without network. Every change appends a checkpoint: "
    "list_history shows them, diff compares two, rollback returns to one (files only, not the "
    "interpreter's memory); when the history is full the oldest are forgotten, labelled ones "
    "last. Long answers lose their middle, with a marker. Files are also resources "
    "(vesk://workspace/{key}).")


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


def _tool_error(text: str) -> dict[str, Any]:
    return {"content": [{"type": "text", "text": text}], "isError": True}


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


class Protocol:
    def __init__(self, session: Session, manager: SessionManager, config: ServerConfig) -> None:
        self.session = session
        self.manager = manager
        self.config = config

    async def dispatch(self, message: Message,
                       notify: Callable[[dict[str, Any]], None] | None = None
                       ) -> dict[str, Any] | None:
        """The response to send, or None (a notification, a response from the
        client, a cancelled request). `notify` sends a notification about
        the request before its response (it must not block; it may drop)."""
        self.session.touch()
        if isinstance(message, Response):
            return None
        if isinstance(message, Notification):
            self._notification(message)
            return None
        inflight = self.session.inflight
        if message.id in inflight:
            return jsonrpc.error(message.id, jsonrpc.INVALID_REQUEST,
                                 "Invalid Request: a request with this id is in progress")
        if len(inflight) >= self.config.max_inflight:
            return jsonrpc.error(message.id, jsonrpc.SERVER_BUSY,
                                 f"too many requests in progress in this session "
                                 f"(at most {self.config.max_inflight})")
        task = asyncio.ensure_future(self._answer(message, notify))
        inflight[message.id] = task
        try:
            await asyncio.wait([task])
        except asyncio.CancelledError:  # the transport is stopping
            task.cancel()
            raise
        finally:
            inflight.pop(message.id, None)
            self.session.touch()
        if task.cancelled():
            return None
        error = task.exception()
        if error is not None:  # a fault of the server's own, not of the request
            log.say(f"internal error: {error!r}")
            return jsonrpc.error(message.id, jsonrpc.INTERNAL_ERROR,
                                 f"Internal error: {type(error).__name__}: {error}")
        result: dict[str, Any] = task.result()
        return result

    def _notification(self, message: Notification) -> None:
        if message.method == "notifications/initialized":
            self.session.initialized = True
        elif message.method == "notifications/cancelled":
            request_id = message.params.get("requestId")
            if jsonrpc.valid_id(request_id):
                self.session.cancel(request_id)

    async def _answer(self, request: Request,
                      notify: Callable[[dict[str, Any]], None] | None) -> dict[str, Any]:
        method, params = request.method, request.params
        if method == "initialize":
            return self._initialize(request)
        if method == "ping":
            return jsonrpc.result(request.id, {})
        if self.session.protocol_version is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_REQUEST,
                                 "Invalid Request: the session is not initialized")
        if method == "tools/list":
            if params.get("cursor") is not None:
                return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                     "Invalid params: unknown cursor")
            return jsonrpc.result(request.id, {
                "tools": [tool.listing(self.config.limits) for tool in self.config.tools.values()]})
        if method == "tools/call":
            return await self._call_tool(request, notify)
        if method == "resources/list":
            return await self._list_resources(request)
        if method == "resources/templates/list":
            return jsonrpc.result(request.id, {"resourceTemplates": [resources.TEMPLATE]})
        if method == "resources/read":
            return await self._read_resource(request)
        return jsonrpc.error(request.id, jsonrpc.METHOD_NOT_FOUND,
                             f"Method not found: {method}")

    def _initialize(self, request: Request) -> dict[str, Any]:
        if self.session.protocol_version is not None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_REQUEST,
                                 "Invalid Request: the session is already initialized")
        requested = request.params.get("protocolVersion")
        if not isinstance(requested, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "protocolVersion" must be a string')
        version = requested if requested in SUPPORTED_VERSIONS else LATEST
        self.session.protocol_version = version
        return jsonrpc.result(request.id, {
            "protocolVersion": version,
            "capabilities": {"tools": {"listChanged": False},
                             "resources": {"subscribe": False, "listChanged": False}},
            "serverInfo": {"name": "vesk", "title": "vesk sessions", "version": __version__},
            "instructions": INSTRUCTIONS,
        })

    async def _session_call(self, tool: str, arguments: dict[str, Any], key: Any = None,
                            on_progress: Callable[[str], None] | None = None
                            ) -> dict[str, Any]:
        """The worker's reply; WorkerGone (with the text for the client) when
        the session's worker could not start or has died. `key` (the
        request's id) lets Session.cancel stop the call."""
        try:
            worker = await self.session.ready_worker()
            return await worker.call(tool, arguments, key=key, on_progress=on_progress)
        except StartFailed:
            raise
        except WorkerGone as e:
            if self.session.ended is not None:
                raise WorkerGone(f"the session has ended: {self.session.ended}") from None
            log.say(f"a session's worker is gone: {e}")
            lost = (f"{e}; the session's workspace and history are lost, and ")
            if self.config.end_session_on_crash:
                self.manager.end(self.session, str(e))
                raise WorkerGone(lost + "this MCP session has ended: start a new one") from None
            self.session.forget_worker()
            raise WorkerGone(lost + "the next call starts a new, empty session") from None

    async def _call_tool(self, request: Request,
                         notify: Callable[[dict[str, Any]], None] | None) -> dict[str, Any]:
        name = request.params.get("name")
        if not isinstance(name, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "name" must be a string')
        tool = self.config.tools.get(name)
        if tool is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS, f"Unknown tool: {name}")
        arguments = request.params.get("arguments")
        arguments = {} if arguments is None else arguments
        problem = check_arguments(tool, arguments)
        if problem is not None:
            if self.session.protocol_version == "2025-06-18":
                return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                     f"Invalid params: {problem}")
            return jsonrpc.result(request.id, _tool_error(f"invalid arguments: {problem}"))
        try:
            reply = await self._session_call(tool.name, arguments, request.id,
                                             _progress(request, notify))
        except WorkerGone as e:
            return jsonrpc.result(request.id, _tool_error(str(e)))
        meta = {MODULE_SECONDS: reply.get("took", 0.0)}
        if "error" in reply:
            text, _ = cut(reply["error"], self.config.limits.max_output)
            return jsonrpc.result(request.id, {**_tool_error(text), "_meta": meta})
        text, structured = result_content(tool.name, reply["ok"], self.config.limits.max_output)
        return jsonrpc.result(request.id, {
            "content": [{"type": "text", "text": text}],
            "structuredContent": structured,
            "isError": False,
            "_meta": meta,
        })

    async def _list_resources(self, request: Request) -> dict[str, Any]:
        cursor = request.params.get("cursor")
        if cursor is not None and not isinstance(cursor, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "cursor" must be a string')
        try:
            reply = await self._session_call("list_files", {})
        except WorkerGone as e:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, str(e))
        if "error" in reply:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, reply["error"])
        files = [(f["path"], f["size"]) for f in reply["ok"]["files"]]
        page = resources.listing(files, cursor)
        if page is None:
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 "Invalid params: unknown cursor")
        return jsonrpc.result(request.id, page)

    async def _read_resource(self, request: Request) -> dict[str, Any]:
        uri = request.params.get("uri")
        if not isinstance(uri, str):
            return jsonrpc.error(request.id, jsonrpc.INVALID_PARAMS,
                                 'Invalid params: "uri" must be a string')
        key = resources.key_of(uri)
        if key is None:
            return jsonrpc.error(request.id, jsonrpc.RESOURCE_NOT_FOUND,
                                 f"Resource not found: {uri}", {"uri": uri})
        try:
            reply = await self._session_call("read_file", {"path": key})
        except WorkerGone as e:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, str(e))
        if reply.get("missing"):
            return jsonrpc.error(request.id, jsonrpc.RESOURCE_NOT_FOUND,
                                 f"Resource not found: {uri}", {"uri": uri})
        if "error" in reply:
            return jsonrpc.error(request.id, jsonrpc.INTERNAL_ERROR, reply["error"])
        found = reply["ok"]
        return jsonrpc.result(request.id, {
            "contents": [resources.contents(key, found["encoding"], found["content"])]})
