"""A node among others on one PostgreSQL store: requests for a workspace
another node serves are handed on to it.

A balancer keeps each workspace on one node, but not always (a node that
came back, a hash that changed, a round-robin balancer): a request may land
on a node that does not hold the workspace's lease. `Cluster.route` reads
the lease; when another node holds it, live, and takes requests (it gave an
address with `--advertise` and is not draining), the request is sent on to
it once (`forward`), marked so that the holder serves it itself. Otherwise
the request is served here: the worker takes over an expired lease, or
waits a bounded time for the holder to let go (durable.claim). Fencing by
generation, not this routing, is what keeps two nodes from writing one
workspace: routing only spares the wait.

The store is read on a thread of its own, with its own connection, so that
a slow or restarting database holds up the requests that need it, not the
event loop.

A draining node hands the requests that open a workspace on to another
node that takes requests (`elsewhere`), rather than refusing them: a balancer retries a refusal only while it has another node it finds
up, and a drain begins before its checks notice.

The extra hop does not last: a node that serves a workspace's requests
only as handed on, `MOVE_AFTER` in a row from one other node (the
balancer sends them there now), parks the workspace into the store, which
releases its lease, so that the other node takes it over with its next
request (`Moves`); requests it hands on meanwhile wait for the park and are
refused (`REFUSED`), which that node then serves itself. Direct requests in
between reset the count (a round-robin balancer moves nothing), and a
workspace moves from a node at most once per `MOVE_PAUSE`. Parking keeps the lease until the park is written: never two
nodes at once.

Errors: a store that cannot be read routes nothing (the request is served
here, and the lease decides), nor does a holder that takes no connection
(dead or stopping); a holder that fails after it took the request answers
503 with Retry-After, which a balancer may retry elsewhere.
"""

from __future__ import annotations

import asyncio
import json
import random
import time
from collections import OrderedDict
from concurrent.futures import ThreadPoolExecutor
from typing import Any
from urllib.parse import urlsplit

from vesk.server import log
from vesk.server.store import Store, StoreError

# The header that marks a request handed on by another node (its value:
# that node's id).
FORWARDED = "vesk-forwarded"
# The header of a node's refusal of a request it did not run (draining or
# stopping): the request may be served by another node.
REFUSED = "vesk-refused"
# Headers not passed on either way: hop-by-hop, or recomputed.
_HOP = frozenset({"connection", "keep-alive", "transfer-encoding", "content-length", "te",
                  "upgrade", "proxy-connection", FORWARDED})
# How long a handed-on request may take (a long run included).
FORWARD_TIMEOUT = 3600.0
MAX_ANSWER = 256 << 20
# How often a request handed on checks that its node still holds the lease.
HOLDER_CHECK = 1.0
# How long an opening request handed on by a draining node may take (a
# worker's start on a busy node), and how many nodes it tries.
OPEN_TIMEOUT = 60.0
OPEN_TRIES = 3
# Requests in a row handed on by one node before a workspace moves there;
# the shortest time between two moves of one workspace from this node; how
# many workspaces' counts are kept (the least recent go first).
MOVE_AFTER = 8
MOVE_PAUSE = 60.0
MOVES_KEPT = 4096
# How long a request handed on waits for its workspace's park when it moves.
MOVE_WAIT = 30.0


class Cluster:
    def __init__(self, store: Store, address: str | None) -> None:
        """`address`: where other nodes reach this one (http://host:port),
        or None when it takes no handed-on requests."""
        assert store.node is not None
        self.node = store.node
        self.address = address
        self._path = store.path
        self._store: Store | None = None
        self._reads = ThreadPoolExecutor(1, "vesk-route")
        self.draining = False
        self.moves = Moves()

    async def _run(self, work: Any) -> Any:
        def run() -> Any:
            if self._store is None:
                self._store = Store(self._path, check=False)
            return work(self._store)
        return await asyncio.get_running_loop().run_in_executor(self._reads, run)

    async def announce(self, draining: bool = False) -> None:
        """Records this node's address (none while draining) in the store."""
        self.draining = draining
        try:
            await self._run(lambda store: store.announce(self.node, self.address, draining))
        except StoreError as e:
            log.say(f"{e}; other nodes will not hand requests on to this one")

    async def route(self, workspace: str) -> str | None:
        """The address of the live node that holds `workspace`'s lease when
        it is another than this and takes requests; None: serve it here."""
        try:
            found = await self._run(lambda store: store.holder(workspace))
        except StoreError as e:
            log.say(str(e))
            return None
        if found is None:
            return None
        node, live, address = found
        return address if live and node != self.node and address else None

    async def hand_on(self, address: str, workspace: str, method: str, target: str,
                      headers: dict[str, str], body: bytes
                      ) -> tuple[int, dict[str, str], bytes] | None:
        """`forward`, given up (None: serve it here) once the holder's lease
        is no longer live: a node paused or cut off takes the connection
        and never answers, and its lease runs out."""
        sending = asyncio.ensure_future(forward(address, method, target, headers, body,
                                                self.node))
        try:
            while True:
                done, _ = await asyncio.wait([sending], timeout=HOLDER_CHECK)
                if done:
                    answer = sending.result()
                    # The holder began to drain after the lookup: it ran
                    # nothing, and its lease is released soon.
                    return None if answer is not None and refused(answer) else answer
                if await self.route(workspace) != address:
                    log.say(f"the node at {address} stopped answering for a workspace it no "
                            f"longer holds; it is served here")
                    return None
        finally:
            sending.cancel()

    async def elsewhere(self, method: str, target: str, headers: dict[str, str], body: bytes
                        ) -> tuple[int, dict[str, str], bytes] | None:
        """Hands a request on to another node that takes requests (this one
        drains): its answer, or None when none took it."""
        try:
            takers = await self._run(lambda store: store.takers())
        except StoreError as e:
            log.say(str(e))
            return None
        others = [address for node, address in takers if node != self.node]
        random.shuffle(others)
        for address in others[:OPEN_TRIES]:
            try:
                answer = await asyncio.wait_for(
                    forward(address, method, target, headers, body, self.node), OPEN_TIMEOUT)
            except asyncio.TimeoutError:
                continue
            if answer is not None and not refused(answer):
                return answer
        return None

    def close(self) -> None:
        self._reads.shutdown(wait=False)


class Moves:
    """Counts, per workspace, the requests in a row this node served as
    handed on by one other node, and says when the workspace should move
    there. Pure; bounded to MOVES_KEPT workspaces."""

    def __init__(self, clock: Any = time.monotonic) -> None:
        self._clock = clock
        # workspace: (the node that handed on the last requests, how many)
        self._runs: OrderedDict[str, tuple[str, int]] = OrderedDict()
        self._moved: OrderedDict[str, float] = OrderedDict()

    def served(self, workspace: str, via: str | None) -> bool:
        """Counts one request served here, handed on by node `via` (None:
        it came straight); True when the workspace should move now."""
        now = self._clock()
        if via is None:
            self._runs.pop(workspace, None)
            return False
        last, count = self._runs.pop(workspace, (via, 0))
        count = count + 1 if last == via else 1
        moved = self._moved.get(workspace)
        if count >= MOVE_AFTER and (moved is None or now - moved >= MOVE_PAUSE):
            self._moved.pop(workspace, None)
            self._moved[workspace] = now
            _bound(self._moved)
            return True
        self._runs[workspace] = (via, count)
        _bound(self._runs)
        return False


def _bound(counts: OrderedDict[str, Any]) -> None:
    while len(counts) > MOVES_KEPT:
        counts.popitem(last=False)


def refused(answer: tuple[int, dict[str, str], bytes]) -> bool:
    """Whether a node's answer is a refusal of a request it did not run."""
    return answer[0] == 503 and any(name.lower() == REFUSED for name in answer[1])


def workspace_of(message: Any, session_id: str | None) -> str | None:
    """The workspace or session a request acts on: the MCP session's id, or
    a tool call's `workspace` argument."""
    if session_id is not None:
        return session_id
    params = getattr(message, "params", None)
    if not isinstance(params, dict):
        return None
    arguments = params.get("arguments")
    handle = arguments.get("workspace") if isinstance(arguments, dict) else None
    if handle is None:
        meta = params.get("_meta")
        handle = meta.get("vesk/workspace") if isinstance(meta, dict) else None
    return handle if isinstance(handle, str) and 0 < len(handle) <= 128 else None


async def forward(address: str, method: str, target: str, headers: dict[str, str],
                  body: bytes, node: str) -> tuple[int, dict[str, str], bytes] | None:
    """Sends one request on to the node at `address` and returns its answer
    whole (an event stream's events arrive together); None when the node
    cannot be reached (it died, or stopped listening: its lease runs out or
    is released, and this node may serve the request). `node`: this node's
    id, which the request carries."""
    parts = urlsplit(address)
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection(parts.hostname, parts.port or 80), 5)
    except (OSError, asyncio.TimeoutError):
        return None
    try:
        lines = [f"{method} {target} HTTP/1.1"]
        lines += [f"{name}: {value}" for name, value in headers.items() if name not in _HOP]
        lines += [f"{FORWARDED}: {node}", f"Content-Length: {len(body)}", "Connection: close"]
        writer.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)
        return await asyncio.wait_for(_answer(reader), FORWARD_TIMEOUT)
    except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError) as e:
        return _unreachable(e)
    finally:
        writer.close()


def _unreachable(e: BaseException) -> tuple[int, dict[str, str], bytes]:
    text = f"the node that serves this workspace did not answer ({e or type(e).__name__}); " \
           f"try again"
    body = json.dumps({"jsonrpc": "2.0", "id": None,
                       "error": {"code": -32600, "message": text}}).encode()
    return 503, {"Retry-After": "1", "Content-Type": "application/json"}, body


async def _answer(reader: asyncio.StreamReader) -> tuple[int, dict[str, str], bytes]:
    status_line = (await reader.readuntil(b"\n")).decode("latin-1").split(" ", 2)
    status = int(status_line[1])
    headers: dict[str, str] = {}
    while True:
        line = (await reader.readuntil(b"\n")).decode("latin-1").rstrip("\r\n")
        if not line:
            break
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    if headers.get("transfer-encoding", "").lower() == "chunked":
        pieces: list[bytes] = []
        total = 0
        while True:
            size = int((await reader.readuntil(b"\n")).split(b";")[0].strip(), 16)
            if size == 0:
                break
            total += size
            if total > MAX_ANSWER:
                raise ValueError("the answer is too large")
            pieces.append(await reader.readexactly(size))
            await reader.readuntil(b"\n")
        body = b"".join(pieces)
    elif "content-length" in headers:
        length = int(headers["content-length"])
        if length > MAX_ANSWER:
            raise ValueError("the answer is too large")
        body = await reader.readexactly(length)
    else:
        body = b""
    kept = {name.title() if name != "mcp-session-id" else "Mcp-Session-Id": value
            for name, value in headers.items() if name not in _HOP}
    return status, kept, body
