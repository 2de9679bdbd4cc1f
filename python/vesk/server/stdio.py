"""The stdio transport: one MCP session over standard input and output.

What desktop and IDE clients start. Messages are single lines of JSON; a line
longer than `max_message` bytes is read to its end and dropped, and answered
with a parse error, so a client cannot make the server hold an unbounded line.
Progress notifications are lines like any message, written before the
response they precede.
Standard input is read by a thread of its own (it may be a pipe, a file or a
terminal), which waits while 64 lines are queued, so a client that floods
the server is slowed to the pace at which it is served. Requests are answered
concurrently and in any order; nothing but protocol messages is written to
standard output (the server's own messages and those of its workers and
their runners go to standard error).

The session ends when standard input ends (once the requests already read are
answered), when the client closes its end of standard output (a thread
watches for that, so a client that dies mid-call is noticed at once), or
when the server is told to stop (SIGTERM, SIGINT); then calls in progress are
abandoned and the session's worker is ended.
"""

from __future__ import annotations

import asyncio
import os
import select
import threading
from typing import Any, Union

from vesk.server import jsonrpc
from vesk.server.protocol import Protocol, ServerConfig
from vesk.server.sessions import SessionManager

QUEUED_LINES = 64
Line = Union[bytes, int, None]  # a line, the length of a dropped one, the end


def _read_lines(fd: int, max_message: int, loop: asyncio.AbstractEventLoop,
                queue: asyncio.Queue[Line]) -> None:
    def put(item: Line) -> None:
        asyncio.run_coroutine_threadsafe(queue.put(item), loop).result()

    pending = bytearray()
    dropping = 0  # bytes of an overlong line dropped so far
    try:
        while True:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            start = 0
            while True:
                newline = chunk.find(b"\n", start)
                piece = chunk[start:] if newline < 0 else chunk[start:newline]
                if dropping or len(pending) + len(piece) > max_message:
                    dropping += len(pending) + len(piece)
                    pending.clear()
                else:
                    pending += piece
                if newline < 0:
                    break
                if dropping:
                    put(dropping)
                else:
                    put(bytes(pending))
                pending.clear()
                dropping = 0
                start = newline + 1
        if pending.strip() and not dropping:
            put(bytes(pending))
    except (OSError, RuntimeError):  # RuntimeError: the loop has closed
        pass
    try:
        put(None)
    except RuntimeError:
        pass


def _watch_output(fd: int, loop: asyncio.AbstractEventLoop, closed: asyncio.Event) -> None:
    """Sets `closed` when the reader of `fd` goes away: poll() reports an
    error on a pipe whose other end has closed, even with no events asked."""
    poller = select.poll()
    poller.register(fd, 0)
    while True:
        try:
            events = poller.poll()
        except InterruptedError:
            continue
        if any(mask & (select.POLLERR | select.POLLHUP | select.POLLNVAL)
               for _, mask in events):
            break
    try:
        loop.call_soon_threadsafe(closed.set)
    except RuntimeError:  # the loop has closed
        pass


class StdioServer:
    def __init__(self, manager: SessionManager, config: ServerConfig, max_message: int,
                 in_fd: int = 0, out_fd: int = 1) -> None:
        self.manager = manager
        self.config = config
        self.max_message = max_message
        self.in_fd = in_fd
        self.out_fd = out_fd
        self._tasks: set[asyncio.Task[None]] = set()
        self._closed = asyncio.Event()

    def _write(self, message: dict[str, Any]) -> None:
        data = jsonrpc.dumps(message) + b"\n"
        try:
            while data:
                written = os.write(self.out_fd, data)
                data = data[written:]
        except OSError:  # the client closed its end
            self._closed.set()

    async def _answer(self, protocol: Protocol, message: jsonrpc.Message) -> None:
        response = await protocol.dispatch(message, self._write)
        if response is not None:
            self._write(response)

    async def serve(self, stop: asyncio.Event) -> None:
        """Serves until input ends, output fails or `stop` is set."""
        loop = asyncio.get_running_loop()
        queue: asyncio.Queue[Line] = asyncio.Queue(QUEUED_LINES)
        threading.Thread(target=_read_lines, args=(self.in_fd, self.max_message, loop, queue),
                         name="vesk-stdin", daemon=True).start()
        threading.Thread(target=_watch_output, args=(self.out_fd, loop, self._closed),
                         name="vesk-stdout", daemon=True).start()
        session = self.manager.open()
        assert session is not None
        session.pinned = True  # it ends with the connection, never for being idle
        protocol = Protocol(session, self.manager, self.config)
        ending = [asyncio.ensure_future(stop.wait()), asyncio.ensure_future(self._closed.wait())]
        line: Line = b""
        while True:
            getting = asyncio.ensure_future(queue.get())
            await asyncio.wait([getting, *ending], return_when=asyncio.FIRST_COMPLETED)
            if not getting.done():
                getting.cancel()
                break
            line = getting.result()
            if line is None:
                break
            if isinstance(line, int):
                self._write(jsonrpc.error(None, jsonrpc.PARSE_ERROR,
                                          f"Parse error: a message of more than "
                                          f"{self.max_message} bytes was dropped"))
                continue
            if not line.strip():
                continue
            message = jsonrpc.parse(line)
            if isinstance(message, dict):
                self._write(message)
                continue
            task = asyncio.ensure_future(self._answer(protocol, message))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)
        if line is None and self._tasks:
            # The input ended: what was asked is still answered, unless the
            # server is stopped or the client stops reading meanwhile.
            answered = asyncio.ensure_future(asyncio.wait(list(self._tasks)))
            await asyncio.wait([answered, *ending], return_when=asyncio.FIRST_COMPLETED)
            answered.cancel()
        for pending in [*ending, *self._tasks]:
            pending.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self.manager.end(session, "the client disconnected")
