"""The server's spare runner keeper.

A worker holds one session, so a spare runner kept in each (what a process
of the module keeps when its sessions park) would cost about as much memory
as parking saves. The server instead starts one keeper process, `python -m
vesk.server.spares FD`, which keeps one spare for all its workers and lends
it to the first that starts or resumes a runner (the module's
`_serve_spares`): that call then skips most of a runner's start.

Each worker gets one end of a socket pair of its own (its descriptor in
VESK_SPARE_CHANNEL); the keeper gets the other over its control socket,
with the worker's pid. Only the server and its workers hold these sockets:
no path names them, and the module closes every descriptor of its own in
the processes it starts. A lent runner stays the keeper's child: the keeper
kills it when its worker's end closes, or when the server says the worker
is being ended (`end()`), and reaps it. The keeper dies with the server, and
ends (killing its spare and what it lent) when its control socket does.
"""

from __future__ import annotations

import asyncio
import os
import signal
import socket
import sys

from vesk.server import log


class SpareKeeper:
    """The keeper process, started on first use; every failure to reach it
    only costs the workers their spare."""

    def __init__(self, env: dict[str, str], python: str = sys.executable) -> None:
        self._env = env
        self._python = python
        self._proc: asyncio.subprocess.Process | None = None
        self._control: socket.socket | None = None
        self._relay: asyncio.Future[None] | None = None
        self._starting: asyncio.Future[None] | None = None

    @property
    def pid(self) -> int | None:
        return self._proc.pid if self._proc else None

    async def ensure_started(self) -> None:
        if self._starting is None:
            self._starting = asyncio.ensure_future(self._start())
        await asyncio.shield(self._starting)

    async def _start(self) -> None:
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self._proc = await asyncio.create_subprocess_exec(
                self._python, "-m", "vesk.server.spares", str(theirs.fileno()),
                stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.DEVNULL,
                stderr=asyncio.subprocess.PIPE, env=self._env, pass_fds=(theirs.fileno(),),
                start_new_session=True)
        except OSError as e:
            log.say(f"no spare runner keeper: {e}")
            ours.close()
            return
        finally:
            theirs.close()
        ours.setblocking(False)
        self._control = ours
        assert self._proc.stderr is not None
        self._relay = asyncio.ensure_future(log.relay(self._proc.stderr, "spare runners"))

    def pair(self) -> tuple[socket.socket, socket.socket] | None:
        """A new channel (the worker's end, the keeper's end), or None when
        there is no keeper to attach it to."""
        if self._control is None:
            return None
        return socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)

    def attach(self, keepers_end: socket.socket, worker_pid: int) -> None:
        """Hands the keeper its end of a worker's channel (and closes ours)."""
        try:
            self._send(f"channel {worker_pid}", [keepers_end.fileno()])
        finally:
            keepers_end.close()

    def end(self, worker_pid: int) -> None:
        """Kills what the keeper lent to a worker that is being ended."""
        self._send(f"end {worker_pid}", [])

    def _send(self, text: str, fds: list[int]) -> None:
        if self._control is None:
            return
        try:
            socket.send_fds(self._control, [text.encode()], fds)
        except OSError:  # gone, or not reading: the worker goes without
            pass

    async def close(self) -> None:
        """Ends the keeper, its spare, and what it still lent."""
        if self._starting is not None:
            await asyncio.shield(self._starting)
        if self._control is not None:
            self._control.close()
            self._control = None
        proc = self._proc
        if proc is None:
            return
        try:
            await asyncio.wait_for(asyncio.shield(proc.wait()), 10)
        except asyncio.TimeoutError:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            await proc.wait()
        if self._relay is not None:
            try:
                await asyncio.wait_for(asyncio.shield(self._relay), 5)
            except asyncio.TimeoutError:
                self._relay.cancel()


def main() -> int:
    from vesk.server.worker import die_with_server

    die_with_server(int(os.environ.get("VESK_SERVE_PID", "0")))
    control = int(sys.argv[1])
    import vesk_internal

    try:
        vesk_internal._serve_spares(control)
    except (RuntimeError, ValueError, OSError) as e:
        print(f"vesk: no spare runners: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
