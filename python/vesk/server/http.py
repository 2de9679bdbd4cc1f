"""The Streamable HTTP transport: one MCP endpoint, many sessions.

A small HTTP/1.1 server on asyncio streams, written for this one endpoint
(`/mcp`): POST carries one JSON-RPC message and is answered with one JSON
object, DELETE ends a session, GET is answered 405 (no stream from server to
client is offered). Keep-alive connections, `Content-Length` and chunked
bodies are understood. Beside it: `/metrics` (metrics.py) and, with
`--ui`, the read-only web view under `/ui/` (ui.py), behind the same gate
(its static files aside, which hold no data and need no token). `GET
/health` (no token, nothing about workspaces) answers 200 while the server
takes requests and 503 while it drains (`draining`: new workspaces are
handed on to another node in a `cluster`, new sessions and workspaces are
otherwise refused with 503; then `closed_to_requests`: every request is, for a balancer to retry
it elsewhere; both refusals carry `Vesk-Refused`). With a `cluster`, a
request for a workspace another live node holds is handed on to it, and a
workspace whose requests keep coming handed on by one node moves there
(cluster.py).

The one event stream: a POST whose Accept lists text/event-stream is
answered as one (`EventStream`, chunked) once the request has a notification
to send before its response (progress of a run); the response is then the
stream's last event. A client that does not read its stream loses
notifications, not memory: past STREAM_BUFFER bytes unsent they are
dropped.

Every request is checked before anything else happens, in this order:
- the head: HTTP/1.1 or HTTP/1.0, a Host header either way (400), request
  line and header lines 16 KiB (431), 100 header lines, each line counted
  even when a name repeats (431); headers that may appear once (Host,
  Content-Length, Authorization, Mcp-Session-Id, ...) are refused twice,
  and field values with control characters (a bare CR) at all (400);
  Content-Length is 1*DIGIT and a chunk size 1*HEXDIG (400);
- the Host header must name this server (loopback names, the address it is
  bound to, `--allowed-host`), and an Origin header, when present, must be
  this server's own loopback origin or one given with `--allowed-origin`;
  both answer 403 otherwise (a web page that reaches a loopback server
  through DNS rebinding carries a foreign Host and Origin);
- with bearer tokens configured, `Authorization: Bearer <token>` (401); the
  token names the principal who owns what the request opens (sessions,
  workspaces), and another principal's look unknown;
- a body of `max_body` bytes (413), read in pieces and dropped the moment
  its client goes; after an exchange that held a megabyte or more, the
  allocator's free memory goes back to the system. All requests together
  hold at most `max_body_memory` body bytes (four times `max_body`) beyond
  the first 64 KiB of each, counted as declared before they are read, until
  their answer is sent (503 with Retry-After past it): slow large bodies
  cannot take the server's memory, nor keep small requests out. (The
  parsed message is a second copy, so the memory is up to twice that.)

Connections and time:
- a connection's first request head is due within `header_timeout` (30 s)
  of the connection opening, a later one's first line within
  `keepalive_timeout` (60 s) of the answer before it and the rest within
  30 s of that line; stray blank lines before a request extend neither;
  the body is due within `body_timeout` (120 s);
- a connection that has not yet sent a head that passed the checks above
  is unauthenticated: at most `max_unauthenticated` (128) are held, and one
  more closes the oldest, so half-sent requests cannot keep out a client
  that sends its request whole; connections past the checks count against
  `max_connections` (512; past it, 503);
- an answer (or event stream) that its client reads none of for
  `write_timeout` (30 s) is dropped with its connection.
The time-outs and both counts can be cut for tests through the environment
(VESK_SERVE_HTTP_LIMITS, `tuned`).

The head and chunk parsing is this module's own (about a hundred lines), not
a library's: what this endpoint needs of HTTP/1.1 is small, the bounds above
live in the reading loop itself (per line, per piece, against deadlines that
nothing the client sends moves), and the server installs with nothing beyond
the standard library.

Revision 2026-07-28 has no sessions: a request without `Mcp-Session-Id` is
one of it (`initialize` aside), and its headers must mirror its body
(`MCP-Protocol-Version` the `_meta` version, `Mcp-Method` the method,
`Mcp-Name` the tool's name or the resource's URI; 400 with HeaderMismatch
otherwise); an unknown method is answered 404, an unsupported version or
incomplete `_meta` 400, each with its JSON-RPC error.

Sessions (`Mcp-Session-Id`): `initialize` without a session id opens one (503
with Retry-After at the maximum number of sessions). It is provisional until
its client sends `notifications/initialized`: it answers only `ping`, does
not count against the maximum, and ends after `init_timeout` (10 s) if the
handshake is not finished (`SessionManager`); a session whose `initialize`
answer could not be sent ends at once. Every other message
must carry the id of a live session (400 without one, 404 once it has ended,
with the reason when it is known) and, if it carries `MCP-Protocol-Version`,
the version the session negotiated (400 otherwise). A client that
disconnects while its call runs loses the answer, not the session: the call
runs to its end and the session lives on until DELETE, the idle time-out or
the server's end.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import dataclasses
import ctypes
import hmac
import ipaddress
import re
import socket
import struct
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, TypeVar
from urllib.parse import urlsplit

from vesk.server import cluster, jsonrpc, killpoint, metrics, ui
from vesk.server.jsonrpc import Notification, Request, Response
from vesk.server.protocol import (LEGACY_VERSIONS, PROTOCOL_VERSION_KEY, Protocol, ServerConfig,
                                  check_modern)
from vesk.server.sessions import SessionManager

ENDPOINT = "/mcp"
METRICS_PATH = "/metrics"
HEALTH_PATH = "/health"
# A draining or stopping node's refusal: it ran nothing (cluster.refused).
REFUSED = {"Retry-After": "1", "Vesk-Refused": "1"}
LINE_LIMIT = 16 * 1024
MAX_HEADERS = 100
LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
STREAM_BUFFER = 256 * 1024
# Bodies are read in pieces of at most PIECE bytes; after an exchange that
# read or wrote GIVE_BACK bytes or more, freed memory goes back to the system.
PIECE = 1 << 20
GIVE_BACK = 1 << 20
# What of each body does not count against the budget of body memory.
SMALL_BODY = 64 * 1024
# Header fields that may appear once (a second one is refused, not joined).
_SINGLE = frozenset({"content-length", "host", "transfer-encoding", "authorization",
                     "mcp-session-id", "mcp-protocol-version", "origin", "mcp-method",
                     "mcp-name"})
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
_DIGITS = re.compile(r"[0-9]{1,18}")
# What a field value may not hold: control characters but tab (a bare CR
# among them, which some proxies take for a line end).
_CONTROLS = re.compile(r"[\x00-\x08\x0a-\x1f\x7f]")
# chunk-size = 1*HEXDIG, then optional extensions (ignored); nothing else.
_CHUNK_SIZE = re.compile(rb"([0-9A-Fa-f]{1,15})(?:[ \t]*;[^\r\n]*)?\r?\n")
_malloc_trim: Any = None
T = TypeVar("T")

REASONS = {200: "OK", 202: "Accepted", 204: "No Content", 400: "Bad Request",
           401: "Unauthorized", 403: "Forbidden", 404: "Not Found",
           405: "Method Not Allowed", 406: "Not Acceptable", 408: "Request Timeout",
           411: "Length Required", 413: "Content Too Large", 415: "Unsupported Media Type",
           431: "Request Header Fields Too Large", 501: "Not Implemented",
           503: "Service Unavailable", 505: "HTTP Version Not Supported"}


@dataclass(frozen=True)
class HttpOptions:
    host: str
    port: int
    max_body: int
    # (principal, token) pairs; empty: no token is asked for.
    tokens: tuple[tuple[str, str], ...] = ()
    allowed_hosts: frozenset[str] = frozenset()
    allowed_origins: frozenset[str] = frozenset()
    # Connections past the gate (Host, Origin, token), and connections not
    # yet past it: opening one more of those closes the oldest.
    max_connections: int = 512
    max_unauthenticated: int = 128
    header_timeout: float = 30.0
    body_timeout: float = 120.0
    keepalive_timeout: float = 60.0
    # Body bytes held at once by all requests (beyond 64 KiB each); 0: four
    # times max_body.
    max_body_memory: int = 0
    # An answer whose client reads none of it for this long is dropped.
    write_timeout: float = 30.0
    # A session `initialize` opened ends if not initialized by then.
    init_timeout: float = 10.0
    # The read-only web view at /ui/ (ui.py).
    ui: bool = False


# The bounds that VESK_SERVE_HTTP_LIMITS may set (name=value,...): an
# internal knob, so that tests need not wait out the real time-outs.
TUNABLE = ("max_connections", "max_unauthenticated", "max_body_memory", "header_timeout",
           "body_timeout", "keepalive_timeout", "write_timeout", "init_timeout")


def tuned(options: HttpOptions, text: str) -> HttpOptions:
    """`options` with the bounds `text` names; ValueError for a wrong one."""
    changes: dict[str, Any] = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        name, _, value = item.partition("=")
        if name not in TUNABLE:
            raise ValueError(f"unknown HTTP bound '{name}'")
        number = int(value) if name.startswith("max_") else float(value)
        if not number > 0:
            raise ValueError(f"the HTTP bound '{name}' must be positive")
        changes[name] = number
    return dataclasses.replace(options, **changes)


class HttpError(Exception):
    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None,
                 request_id: Any = None) -> None:
        super().__init__(message)
        self.status = status
        self.headers = headers or {}
        self.request_id = request_id


class BodyBudget:
    """The body bytes all connections may hold at once, beyond the first
    SMALL_BODY of each request (so that small requests always get through)."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.used = 0


class _Held:
    """What one connection's exchange holds: the body bytes it took from the
    budget, and `big` when it read or wrote enough that the memory is worth
    giving back once it is over."""

    def __init__(self, budget: BodyBudget) -> None:
        self.budget = budget
        self.big = False
        self.read = 0
        self.reserved = 0

    def take(self, size: int) -> None:
        """Counts `size` more body bytes before they are read; 503 when the
        budget has no room for them."""
        self.read += size
        over = self.read - SMALL_BODY - self.reserved
        if over <= 0:
            return
        if self.budget.used + over > self.budget.total:
            raise HttpError(503, "the server holds as many request bodies as it may; try again",
                            {"Retry-After": "1"})
        self.budget.used += over
        self.reserved += over

    def release(self) -> None:
        self.budget.used -= self.reserved
        self.read = self.reserved = 0


@dataclass
class HttpRequest:
    method: str
    target: str
    version: str
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""
    principal: str | None = None  # whose token came with it
    # The connection it came on, to notice the client closing it (which
    # cancels a request of revision 2026-07-28).
    reader: asyncio.StreamReader | None = None
    close_after: bool = False
    opened: Any = None  # the session its `initialize` opened
    tool_call: bool = False  # a tools/call: its answer is a relayed result

    @property
    def keep_alive(self) -> bool:
        tokens = {t.strip().lower() for t in self.headers.get("connection", "").split(",")}
        if self.version == "HTTP/1.0":
            return "keep-alive" in tokens
        return "close" not in tokens


def is_loopback(host: str) -> bool:
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def host_name(value: str) -> str | None:
    """The host of a Host header ("[::1]:8080" -> "::1"), or None if malformed."""
    value = value.strip().lower()
    if value.startswith("["):
        end = value.find("]")
        if end < 0 or (value[end + 1:] and not value[end + 1:].startswith(":")):
            return None
        return value[1:end]
    name, _, port = value.partition(":")
    if port and not port.isdigit():
        return None
    return name or None


def _header_value(value: str) -> str | None:
    """A mirrored header's value, decoded from `=?base64?...?=` when so
    sent; None when it is not a valid header value."""
    if any(not (" " <= c <= "~" or c == "\t") for c in value):
        return None
    if value.startswith("=?base64?") and value.endswith("?=") and len(value) >= 11:
        try:
            return base64.b64decode(value[9:-2], validate=True).decode("utf-8")
        except (binascii.Error, UnicodeDecodeError):
            return None
    return value


def header_mismatch(headers: dict[str, str], request: Request) -> str | None:
    """What in the headers of a request of revision 2026-07-28 is missing or
    contradicts its body, or None: a proxy may route on the headers, so
    they must say what the server will do."""
    meta = request.params.get("_meta")
    body_version = meta.get(PROTOCOL_VERSION_KEY) if isinstance(meta, dict) else None
    mirrored = [("MCP-Protocol-Version", body_version), ("Mcp-Method", request.method)]
    if request.method in ("tools/call", "prompts/get"):
        mirrored.append(("Mcp-Name", request.params.get("name")))
    elif request.method == "resources/read":
        mirrored.append(("Mcp-Name", request.params.get("uri")))
    elif request.method in ("tasks/get", "tasks/update", "tasks/cancel"):
        mirrored.append(("Mcp-Name", request.params.get("taskId")))
    for name, body_value in mirrored:
        raw = headers.get(name.lower())
        if raw is None:
            return f"the {name} header is missing"
        value = _header_value(raw) if name == "Mcp-Name" else raw
        if value is None:
            return f"the {name} header is malformed"
        if value != body_value:
            return f"the {name} header does not match the body"
    return None


def _opens(message: Request) -> bool:
    """Whether `message` opens a session or a workspace."""
    return message.method == "initialize" or (
        message.method == "tools/call"
        and message.params.get("name") in ("create_workspace", "fork_workspace"))


def _media_types(value: str) -> set[str]:
    return {part.split(";")[0].strip().lower() for part in value.split(",") if part.strip()}


def _accepts(accept: str | None, wanted: str) -> bool:
    if accept is None:
        return True
    types = _media_types(accept)
    return bool({wanted, wanted.split("/")[0] + "/*", "*/*"} & types)


async def _read_line(reader: asyncio.StreamReader) -> bytes:
    try:
        return await reader.readuntil(b"\n")
    except asyncio.LimitOverrunError:
        raise HttpError(431, "a request or header line is too long") from None


async def _by(awaitable: Awaitable[T], deadline: float) -> T:
    """`awaitable`'s result, or asyncio.TimeoutError at `deadline` (loop time)."""
    left = deadline - asyncio.get_running_loop().time()
    return await asyncio.wait_for(awaitable, max(0.0, left))


async def _first_line(reader: asyncio.StreamReader) -> bytes:
    line = await _read_line(reader)
    while line in (b"\r\n", b"\n"):  # a stray line between requests is allowed
        line = await _read_line(reader)
    return line


async def read_request(reader: asyncio.StreamReader, wait_until: float,
                       headers_by: float | None, header_timeout: float) -> HttpRequest | None:
    """The next request's head on a connection, or None when the client is
    done or sent nothing by `wait_until`. The head must be complete by
    `headers_by`, or, when None, `header_timeout` seconds after its first
    line came; stray blank lines extend neither."""
    try:
        line = await _by(_first_line(reader), wait_until)
    except (asyncio.IncompleteReadError, asyncio.TimeoutError, ConnectionError):
        return None
    if headers_by is None:
        headers_by = asyncio.get_running_loop().time() + header_timeout
    return await _by(_read_rest(line, reader), headers_by)


async def _read_rest(line: bytes, reader: asyncio.StreamReader) -> HttpRequest:
    parts = line.decode("latin-1").rstrip("\r\n").split(" ")
    if len(parts) != 3:
        raise HttpError(400, "malformed request line")
    method, target, version = parts
    if version not in ("HTTP/1.1", "HTTP/1.0"):
        raise HttpError(505, "only HTTP/1.1 and HTTP/1.0 are spoken here")
    request = HttpRequest(method, target, version)
    fields: dict[str, list[str]] = {}
    count = 0
    while True:
        raw = await _read_line(reader)
        if raw in (b"\r\n", b"\n"):
            break
        count += 1  # every line counts, a repeated name as much as a new one
        if count > MAX_HEADERS:
            raise HttpError(431, "too many header fields")
        text = raw.decode("latin-1").rstrip("\r\n")
        name, colon, value = text.partition(":")
        if not colon or _TOKEN.fullmatch(name) is None or _CONTROLS.search(value):
            raise HttpError(400, "malformed header field")
        name = name.lower()
        if name in fields and name in _SINGLE:
            raise HttpError(400, f"the header field {name} appears twice")
        fields.setdefault(name, []).append(value.strip())
    request.headers = {name: ", ".join(values) for name, values in fields.items()}
    if "host" not in request.headers:
        raise HttpError(400, "no Host header")
    return request


def _content_length(headers: dict[str, str]) -> int | None:
    """The declared length; None when there is none. HttpError when it is
    not 1*DIGIT."""
    text = headers.get("content-length")
    if text is None:
        return None
    if _DIGITS.fullmatch(text) is None:
        raise HttpError(400, "malformed Content-Length")
    return int(text)


async def read_body(request: HttpRequest, reader: asyncio.StreamReader,
                    options: HttpOptions, held: _Held) -> bytes:
    encoding = request.headers.get("transfer-encoding")
    if encoding is not None:
        if encoding.lower() != "chunked" or "content-length" in request.headers:
            raise HttpError(501, "only the chunked transfer coding is understood")
        try:
            return await asyncio.wait_for(_read_chunked(reader, options.max_body, held),
                                          options.body_timeout)
        except asyncio.TimeoutError:
            raise HttpError(408, "the body did not arrive in time") from None
    length = _content_length(request.headers)
    if length is None:
        return b""
    if length > options.max_body:
        raise HttpError(413, f"the body exceeds the limit of {options.max_body} bytes")
    try:
        return await asyncio.wait_for(_read_exactly(reader, length, held), options.body_timeout)
    except asyncio.TimeoutError:
        raise HttpError(408, "the body did not arrive in time") from None


async def _read_exactly(reader: asyncio.StreamReader, size: int, held: _Held) -> bytes:
    """`size` bytes, read as they come: the stream's buffer stays small, and
    what came of a body whose client goes is dropped at once (the failure's
    traceback, which holds this frame, may live on in a reference cycle
    until the collector finds it)."""
    held.take(size)
    pieces: list[bytes] = []
    left = size
    if size >= GIVE_BACK:
        held.big = True
    try:
        while left:
            piece = await reader.read(min(left, PIECE))
            if not piece:
                raise asyncio.IncompleteReadError(b"", size)
            pieces.append(piece)
            left -= len(piece)
        return b"".join(pieces)
    finally:
        pieces.clear()


async def _read_chunked(reader: asyncio.StreamReader, limit: int, held: _Held) -> bytes:
    pieces: list[bytes] = []
    try:
        return await _read_chunks(reader, limit, held, pieces)
    finally:
        pieces.clear()  # as in _read_exactly


async def _read_chunks(reader: asyncio.StreamReader, limit: int, held: _Held,
                       pieces: list[bytes]) -> bytes:
    total = 0
    while True:
        found = _CHUNK_SIZE.fullmatch(await _read_line(reader))
        if found is None:
            raise HttpError(400, "malformed chunk size")
        size = int(found.group(1), 16)
        if total + size > limit:
            raise HttpError(413, f"the body exceeds the limit of {limit} bytes")
        if size == 0:
            for _ in range(MAX_HEADERS + 1):  # trailer fields are read and ignored
                if (await _read_line(reader)) in (b"\r\n", b"\n"):
                    return b"".join(pieces)
            raise HttpError(431, "too many trailer fields")
        total += size
        pieces.append(await _read_exactly(reader, size, held))
        if total >= GIVE_BACK:
            held.big = True
        if (await _read_line(reader)) not in (b"\r\n", b"\n"):
            raise HttpError(400, "malformed chunk")


def give_back() -> None:
    """Returns the allocator's free memory to the system. glibc keeps large
    freed blocks (a body, an answer) in its heap for reuse, so the memory of
    clients that have gone would otherwise stay with the server."""
    global _malloc_trim
    if _malloc_trim is None:
        try:
            _malloc_trim = ctypes.CDLL(None).malloc_trim
        except (OSError, AttributeError):
            _malloc_trim = False
    if _malloc_trim:
        _malloc_trim(0)


def _reset(transport: asyncio.WriteTransport) -> None:
    """Closes a connection at once, with what is queued for it: a plain
    close would leave the kernel trying to deliver its send buffer (some
    megabytes) to a client that reads nothing, for minutes."""
    sock = transport.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    transport.abort()


def _head(status: int, headers: dict[str, str]) -> bytes:
    lines = [f"HTTP/1.1 {status} {REASONS.get(status, 'Error')}"]
    lines += [f"{name}: {value}" for name, value in headers.items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def _event(body: bytes) -> bytes:
    """One server-sent event, as one chunk (the JSON is a single line)."""
    data = b"event: message\ndata: " + body + b"\n\n"
    return b"%x\r\n%s\r\n" % (len(data), data)


class EventStream:
    """The answer to one POST as an event stream, begun by its first
    notification; until then nothing is written and the answer may still be
    plain JSON."""

    def __init__(self, writer: asyncio.StreamWriter, headers: dict[str, str],
                 drain: Callable[[asyncio.StreamWriter], Awaitable[None]]) -> None:
        self._writer = writer
        self._headers = headers
        self._drain = drain
        self.started = False

    def notify(self, message: dict[str, Any]) -> None:
        transport = self._writer.transport
        if transport.is_closing() or transport.get_write_buffer_size() > STREAM_BUFFER:
            return
        if not self.started:
            self.started = True
            self._writer.write(_head(200, {**self._headers,
                                           "Content-Type": "text/event-stream",
                                           "Cache-Control": "no-cache",
                                           "Transfer-Encoding": "chunked"}))
        self._writer.write(_event(jsonrpc.dumps(message)))

    async def finish(self, response: bytes) -> None:
        self._writer.write(_event(response) + b"0\r\n\r\n")
        await self._drain(self._writer)


class HttpServer:
    def __init__(self, options: HttpOptions, manager: SessionManager,
                 config: ServerConfig) -> None:
        self.options = options
        self.manager = manager
        self.config = config
        self.port = options.port
        self._server: asyncio.AbstractServer | None = None
        self._connections: set[asyncio.Task[Any]] = set()
        # Connections not yet past the gate, oldest first, and those past it.
        self._unauthenticated: dict[asyncio.Task[Any], asyncio.StreamWriter] = {}
        self._authenticated: set[asyncio.Task[Any]] = set()
        self._bodies = BodyBudget(options.max_body_memory or 4 * options.max_body)
        self._stopping = False
        # Draining: new sessions and workspaces are refused, /health says
        # 503; closed: every request is (503, for a balancer to retry).
        self.draining = False
        self.closed_to_requests = False
        self.cluster: cluster.Cluster | None = None
        self._moving: dict[str, asyncio.Task[None]] = {}  # parks of workspaces that move
        self.active = 0  # requests being answered
        names = set(LOOPBACK_NAMES) | {h.lower() for h in options.allowed_hosts}
        if options.host not in ("", "0.0.0.0", "::"):
            names.add(options.host.lower())
        self._hosts = frozenset(names)
        self.ui = ui.WebView(manager) if options.ui else None

    async def start(self) -> None:
        self._server = await asyncio.start_server(
            self._connection, self.options.host, self.options.port, limit=LINE_LIMIT,
            reuse_address=True)
        self.port = self._server.sockets[0].getsockname()[1]

    @property
    def url(self) -> str:
        host = self.options.host
        return f"http://{'[' + host + ']' if ':' in host else host}:{self.port}{ENDPOINT}"

    def stop_listening(self) -> None:
        """New connections are refused from now on (a balancer sends their
        requests elsewhere); those open go on."""
        if self._server is not None:
            self._server.close()

    async def close(self) -> None:
        """Stops listening and cancels every connection, waiting a little for
        them. A connection whose request waits on a worker may end only once
        the workers are stopped: finish() waits for those."""
        self._stopping = True
        if self._server is not None:
            self._server.close()
        for task in list(self._connections):
            task.cancel()
        if self._connections:
            await asyncio.wait(list(self._connections), timeout=2)

    async def finish(self) -> None:
        """Waits, boundedly, for the connections close() left (call it after
        the sessions have been ended)."""
        if self._connections:
            await asyncio.wait(list(self._connections), timeout=10)

    async def _connection(self, reader: asyncio.StreamReader,
                          writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None
        loop = asyncio.get_running_loop()
        self._connections.add(task)
        self._unauthenticated[task] = writer
        if len(self._unauthenticated) > self.options.max_unauthenticated:
            # Those held longest without a complete, admitted request make
            # room: a flood of half-sent requests cannot keep out a client
            # that sends its request whole.
            oldest = next(iter(self._unauthenticated))
            _reset(self._unauthenticated.pop(oldest).transport)
        held = _Held(self._bodies)
        try:
            # The first request's head is due header_timeout after the
            # connection opened; a later one's, keepalive_timeout after the
            # answer before it for its first line, then header_timeout.
            wait_until = loop.time() + self.options.header_timeout
            headers_by: float | None = wait_until
            while True:
                try:
                    keep = await self._exchange(reader, writer, wait_until, headers_by, held)
                finally:
                    held.release()
                if held.big:
                    held.big = False
                    give_back()
                if not keep:
                    break
                wait_until, headers_by = loop.time() + self.options.keepalive_timeout, None
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.TimeoutError):
            pass
        finally:
            self._connections.discard(task)
            self._unauthenticated.pop(task, None)
            self._authenticated.discard(task)
            writer.close()
            if held.big:
                give_back()

    def _admit(self) -> None:
        """The current connection is past the gate: it counts against
        max_connections from now on (503 past it)."""
        task = asyncio.current_task()
        assert task is not None
        if self._unauthenticated.pop(task, None) is None:
            return
        self._authenticated.add(task)
        if len(self._authenticated) > self.options.max_connections:
            raise HttpError(503, "too many open connections", {"Retry-After": "1"})

    async def _exchange(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                        wait_until: float, headers_by: float | None, held: _Held) -> bool:
        """Reads and answers one request; False when the connection is done."""
        try:
            request = await read_request(reader, wait_until, headers_by,
                                         self.options.header_timeout)
            if request is None:
                return False
            self._check_gate(request)
            self._admit()
            if request.method == "POST":
                length = _content_length(request.headers)
                if request.headers.get("expect", "").lower() == "100-continue" and \
                        length is not None and length <= self.options.max_body:
                    writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                request.body = await read_body(request, reader, self.options, held)
                request.reader = reader
            elif ("content-length" in request.headers
                  and request.headers["content-length"] != "0") \
                    or "transfer-encoding" in request.headers:
                await read_body(request, reader, self.options, held)
        except HttpError as e:
            # What is left of the request is unread: the connection cannot go on.
            await self._send(writer, e.status, e.headers, self._error_body(None, str(e)), False,
                             held)
            return False
        try:
            return await self._answer(request, writer, held)
        except BaseException:
            if request.opened is not None:
                # Nobody learnt the session's id: nobody could end it.
                self.manager.end(request.opened, "its initialize answer could not be sent")
            raise

    async def _answer(self, request: HttpRequest, writer: asyncio.StreamWriter,
                      held: _Held) -> bool:
        keep = request.keep_alive
        cors = self._cors(request)
        accept = request.headers.get("accept")
        stream = EventStream(writer, cors if keep else {**cors, "Connection": "close"},
                             self._drain) if (
            request.version == "HTTP/1.1" and accept is not None
            and "text/event-stream" in _media_types(accept)) else None
        try:
            status, headers, body = await self._route(request, stream)
        except HttpError as e:
            status, headers = e.status, e.headers
            body = self._error_body(e.request_id, str(e))
        if status == 0:  # a cancelled request: no answer is owed
            return False
        keep = keep and not request.close_after
        if self._stopping:  # the server stopped while it waited: none is sent
            return False
        if stream is not None and stream.started:
            await stream.finish(body)
        else:
            await self._send(writer, status, {**cors, **headers}, body, keep, held)
        if request.tool_call:
            killpoint.reach("server.after_relay")
        return keep

    def _check_gate(self, request: HttpRequest) -> None:
        host = request.headers.get("host")
        if host is not None and host_name(host) not in self._hosts:
            raise HttpError(403, f"Host '{host}' is not allowed")
        origin = request.headers.get("origin")
        if origin is not None and not self._origin_allowed(origin):
            raise HttpError(403, f"Origin '{origin}' is not allowed")
        path = urlsplit(request.target).path if request.target.startswith("/") else None
        in_ui = self.ui is not None and path is not None and (
            path == "/ui" or path.startswith(ui.PREFIX))
        if path not in (ENDPOINT, METRICS_PATH, HEALTH_PATH) and not in_ui:
            raise HttpError(404, f"the MCP endpoint is {ENDPOINT}")
        # The web view's own files hold no data, and a browser's navigation
        # carries no token: its JSON API needs one. The health check says
        # only whether this node takes requests.
        public = path == HEALTH_PATH or (
            in_ui and path is not None and ui.static_path(path) is not None)
        if self.options.tokens and request.method != "OPTIONS" and not public:
            scheme, _, given = request.headers.get("authorization", "").partition(" ")
            found = None
            for principal, token in self.options.tokens:  # every one: no early exit to time
                if hmac.compare_digest(given.strip().encode(), token.encode()):
                    found = principal
            if scheme.lower() != "bearer" or found is None:
                raise HttpError(401, "a valid bearer token is required",
                                {"WWW-Authenticate": 'Bearer realm="vesk"'})
            request.principal = found

    def _origin_allowed(self, origin: str) -> bool:
        if origin in self.options.allowed_origins:
            return True
        try:
            parts = urlsplit(origin)
            port = parts.port or (443 if parts.scheme == "https" else 80)
        except ValueError:
            return False
        return (parts.scheme in ("http", "https") and parts.hostname is not None
                and is_loopback(parts.hostname) and port == self.port)

    def _cors(self, request: HttpRequest) -> dict[str, str]:
        origin = request.headers.get("origin")
        if origin is None or origin not in self.options.allowed_origins:
            return {}
        return {"Access-Control-Allow-Origin": origin, "Vary": "Origin",
                "Access-Control-Expose-Headers": "Mcp-Session-Id"}

    def _error_body(self, request_id: Any, message: str) -> bytes:
        return jsonrpc.dumps(jsonrpc.error(request_id, jsonrpc.INVALID_REQUEST, message))

    async def _route(self, request: HttpRequest, stream: EventStream | None
                     ) -> tuple[int, dict[str, str], bytes]:
        self.active += 1
        try:
            return await self._route_one(request, stream)
        finally:
            self.active -= 1

    async def _route_one(self, request: HttpRequest, stream: EventStream | None
                         ) -> tuple[int, dict[str, str], bytes]:
        path = urlsplit(request.target).path
        if path == HEALTH_PATH:
            if request.method != "GET":
                raise HttpError(405, f"{request.method} is not offered at {HEALTH_PATH}",
                                {"Allow": "GET"})
            if self.draining:
                return 503, {"Content-Type": "text/plain"}, b"draining\n"
            return 200, {"Content-Type": "text/plain"}, b"ok\n"
        if self.closed_to_requests:
            request.close_after = True
            raise HttpError(503, "this node is stopping; try again", dict(REFUSED))
        if self.ui is not None and (path == "/ui" or path.startswith(ui.PREFIX)):
            return await self.ui.answer(request.method, request.target, request.principal)
        if path == METRICS_PATH:
            if request.method != "GET":
                raise HttpError(405, f"{request.method} is not offered at {METRICS_PATH}",
                                {"Allow": "GET"})
            held = list(self.manager.sessions.values())
            workers = [s.worker.pid for s in held if s.worker is not None
                       and s.worker.pid is not None]
            standby = self.manager.standby.pid if self.manager.standby is not None else None
            if standby is not None:  # it holds a runner's worth too
                workers.append(standby)
            page = metrics.METRICS.render(self.manager.by_state(), self.manager.max_sessions,
                                          workers)
            return 200, {"Content-Type": metrics.CONTENT_TYPE}, page.encode()
        if request.method == "POST":
            return await self._post(request, stream)
        if request.method == "DELETE":
            session = self._session(request, None)
            self.manager.end(session, "the client ended the session")
            return 204, {}, b""
        if request.method == "OPTIONS" and self._cors(request):
            return 204, {"Access-Control-Allow-Methods": "POST, DELETE",
                         "Access-Control-Allow-Headers":
                             "Content-Type, Accept, Authorization, Mcp-Session-Id, "
                             "MCP-Protocol-Version, Mcp-Method, Mcp-Name, Last-Event-ID",
                         "Access-Control-Max-Age": "600"}, b""
        raise HttpError(405, f"{request.method} is not offered at {ENDPOINT}",
                        {"Allow": "POST, DELETE"})

    def _session(self, request: HttpRequest, request_id: Any) -> Any:
        session_id = request.headers.get("mcp-session-id")
        if session_id is None:
            raise HttpError(400, "Bad Request: no Mcp-Session-Id header", request_id=request_id)
        session = self.manager.get(session_id, request.principal)
        if session is None or session.handle:
            why = self.manager.why_gone(session_id, request.principal)
            raise HttpError(404, f"Session not found: {why}" if why else "Session not found",
                            request_id=request_id)
        version = request.headers.get("mcp-protocol-version")
        if version is not None and (version not in LEGACY_VERSIONS
                                    or version != session.protocol_version):
            raise HttpError(400, f"Bad Request: unsupported protocol version {version}"
                                 f" (this session speaks {session.protocol_version})",
                            request_id=request_id)
        return session

    async def _post(self, request: HttpRequest, stream: EventStream | None
                    ) -> tuple[int, dict[str, str], bytes]:
        if _media_types(request.headers.get("content-type", "")) != {"application/json"}:
            raise HttpError(415, "the body must be application/json")
        accept = request.headers.get("accept")
        if not (_accepts(accept, "application/json") and _accepts(accept, "text/event-stream")):
            raise HttpError(406, "Accept must list application/json and text/event-stream")
        message = jsonrpc.parse(request.body)
        if isinstance(message, dict):
            return 400, {}, jsonrpc.dumps(message)
        request.tool_call = isinstance(message, Request) and message.method == "tools/call"
        via = request.headers.get(cluster.FORWARDED)
        key = cluster.workspace_of(message, request.headers.get("mcp-session-id")) if (
            self.cluster is not None and isinstance(message, Request)) else None
        routed = await self._routed(request, message, key, via)
        if routed is not None:
            return routed
        answer = await self._serve(request, message, stream)
        # Counted for workspaces served here only, by a node id of bounded
        # length: a client that reaches a node directly sets any header.
        if self.cluster is not None and key is not None and key in self.manager.sessions \
                and self.cluster.moves.served(key, None if via is None else via[:128]):
            # Its requests come by way of another node now: that node takes it over.
            parking = self.manager.park_now(key, request.principal)
            if parking is not None:
                moved: str = key
                self._moving[moved] = parking
                parking.add_done_callback(lambda _: self._moving.pop(moved, None))
        return answer

    async def _routed(self, request: HttpRequest, message: jsonrpc.Message, key: str | None,
                      via: str | None) -> tuple[int, dict[str, str], bytes] | None:
        """The answer of another node to a request this one does not serve
        (it drains, or another node holds the workspace), or the refusal of
        it; None: it is served here. `key`: the workspace the request acts
        on; `via`: the node that handed it on, if one did."""
        if not isinstance(message, Request):
            return None
        if self.draining and _opens(message):
            # Not a legacy session's initialize: until its handshake ends it
            # is known only to the node that opened it, which HAProxy's stick
            # table would not name.
            if self.cluster is not None and via is None and message.method == "tools/call":
                answer = await self.cluster.elsewhere(request.method, request.target,
                                                      request.headers, request.body)
                if answer is not None:
                    metrics.METRICS.handed_on += 1
                    return answer
            raise HttpError(503, "this node is draining: it takes no new sessions or "
                                 "workspaces; try again", dict(REFUSED), request_id=message.id)
        if self.cluster is None or key is None:
            return None
        if via is None:
            address = await self.cluster.route(key)
            if address is None:
                return None
            self.manager.let_go(key)
            answer = await self.cluster.hand_on(address, key, request.method, request.target,
                                                request.headers, request.body)
            if answer is not None:
                metrics.METRICS.handed_on += 1
            return answer
        # The workspace moves to the node that handed this on: once it is
        # parked, that node serves it (its lease is released).
        moving = self._moving.get(key)
        if moving is not None:
            await asyncio.wait([moving], timeout=cluster.MOVE_WAIT)
        held = self.manager.sessions.get(key)
        if held is not None and held.parked:
            raise HttpError(503, "this workspace moves to another node; try again",
                            dict(REFUSED), request_id=message.id)
        return None

    async def _serve(self, request: HttpRequest, message: jsonrpc.Message,
                     stream: EventStream | None) -> tuple[int, dict[str, str], bytes]:
        request_id = message.id if isinstance(message, Request) else None
        if isinstance(message, Request) and message.method == "initialize":
            if "mcp-session-id" in request.headers:
                raise HttpError(400, "Bad Request: initialize opens a session; it carries no "
                                     "Mcp-Session-Id", request_id=request_id)
            return await self._initialize(message, request)
        if "mcp-session-id" not in request.headers and \
                request.headers.get("mcp-protocol-version") not in LEGACY_VERSIONS:
            return await self._modern(request, message, stream)
        session = self._session(request, request_id)
        protocol = Protocol(session, self.manager, self.config, request.principal)
        if isinstance(message, (Notification, Response)):
            await protocol.dispatch(message)
            return 202, {}, b""
        response = await protocol.dispatch(message, stream.notify if stream else None)
        if response is None:
            return 0, {}, b""
        return 200, {"Content-Type": "application/json"}, jsonrpc.dumps(response)

    async def _modern(self, request: HttpRequest, message: jsonrpc.Message,
                      stream: EventStream | None) -> tuple[int, dict[str, str], bytes]:
        """A message of revision 2026-07-28, which belongs to no session."""
        if not isinstance(message, Request):
            return 202, {}, b""  # nothing this revision sends over HTTP needs doing
        meta = message.params.get("_meta")
        problem = check_modern(message) if not isinstance(meta, dict) or not isinstance(
            meta.get(PROTOCOL_VERSION_KEY), str) else None
        if problem is None:
            mismatch = header_mismatch(request.headers, message)
            if mismatch is not None:
                problem = jsonrpc.error(message.id, jsonrpc.HEADER_MISMATCH,
                                        f"Header mismatch: {mismatch}")
        problem = problem or check_modern(message)
        if problem is not None:
            return 400, {}, jsonrpc.dumps(problem)
        protocol = Protocol(None, self.manager, self.config, request.principal)
        answering = asyncio.ensure_future(
            protocol.dispatch(message, stream.notify if stream else None))
        if request.reader is not None:
            # The client closing the connection cancels the request.
            closing = asyncio.ensure_future(request.reader.read(1))
            try:
                await asyncio.wait([answering, closing], return_when=asyncio.FIRST_COMPLETED)
            except asyncio.CancelledError:
                answering.cancel()
                raise
            finally:
                closing.cancel()
            if closing.done() and not closing.cancelled():
                if closing.exception() is None and closing.result():
                    # A byte of a next request (clients do not pipeline):
                    # it is lost, so the connection ends with this answer.
                    request.close_after = True
                elif not answering.done():
                    protocol.stop()
                    answering.cancel()
                    return 0, {}, b""
        response = await answering
        if response is None:
            return 0, {}, b""
        error = response.get("error")
        code = error.get("code") if isinstance(error, dict) else None
        status = {jsonrpc.METHOD_NOT_FOUND: 404, jsonrpc.MISSING_CLIENT_CAPABILITY: 400}.get(
            code, 200) if isinstance(code, int) else 200
        return status, {"Content-Type": "application/json"}, jsonrpc.dumps(response)

    async def _initialize(self, message: Request,
                          request: HttpRequest) -> tuple[int, dict[str, str], bytes]:
        principal = request.principal
        full = self.manager.store_full()
        if full is not None:
            raise HttpError(503, full, {"Retry-After": "5"}, request_id=message.id)
        session = self.manager.open(principal, provisional=True)
        if session is None:
            raise HttpError(503, f"the server has its maximum of {self.manager.max_sessions} "
                                 f"sessions; end one or try again later",
                            {"Retry-After": "5"}, request_id=message.id)
        response = await Protocol(session, self.manager, self.config, principal).dispatch(message)
        headers = {"Content-Type": "application/json"}
        if response is None or "error" in response:
            self.manager.end(session, "its initialize request failed")
        else:
            headers["Mcp-Session-Id"] = session.id
            request.opened = session
        return 200, headers, jsonrpc.dumps(response) if response is not None else b""

    async def _send(self, writer: asyncio.StreamWriter, status: int, headers: dict[str, str],
                    body: bytes, keep: bool, held: _Held) -> None:
        lines = [f"HTTP/1.1 {status} {REASONS.get(status, 'Error')}"]
        if body and "Content-Type" not in headers:
            headers = {**headers, "Content-Type": "application/json"}
        for name, value in headers.items():
            lines.append(f"{name}: {value}")
        if status != 204:
            lines.append(f"Content-Length: {len(body)}")
        if not keep:
            lines.append("Connection: close")
        if len(body) >= GIVE_BACK:
            held.big = True
        writer.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)
        await self._drain(writer)

    async def _drain(self, writer: asyncio.StreamWriter) -> None:
        """Waits until what was written has gone to the client. A client
        that takes none of it for write_timeout seconds loses the
        connection, and the server the answer it held."""
        transport = writer.transport
        while True:
            left = transport.get_write_buffer_size()
            try:
                await asyncio.wait_for(writer.drain(), self.options.write_timeout)
                return
            except asyncio.TimeoutError:
                if transport.get_write_buffer_size() >= left:
                    _reset(transport)
                    raise ConnectionResetError("the client read none of its answer") from None
