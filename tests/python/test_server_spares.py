"""`vesk serve` with parking keeps one spare runner for all its workers: a
session that starts or resumes borrows it, it ran nothing of any session,
and nothing it lent outlives the worker that borrowed it or the server."""

from __future__ import annotations

import os
import signal
from concurrent.futures import Future
from pathlib import Path
from typing import Any

import pytest

from mcp_util import (ClientError, Clients, ServerProcess, alive, command_line, descendants,
                      is_standby, runners_below, server_env)
from session_util import wait_until


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


def structured(result: dict) -> dict:
    assert not result.get("isError"), result
    return result["structuredContent"]


def keepers(server: ServerProcess) -> list[int]:
    return [p for p in descendants(server.pid) if "vesk.server.spares" in command_line(p)]


def cpu_ticks(pid: int) -> int:
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0
    return int(fields[11]) + int(fields[12])


def spin(clients: Clients, client: str, server: ServerProcess) -> tuple[Future[Any], set[int]]:
    """Starts a call that keeps the session's runner busy; returns once one
    of the sessions' runners is, with that runner. With --park-after 1 the
    session may have parked meanwhile, so its runner is whichever spins: a
    resume costs far less CPU than the threshold."""
    call = clients.start("callTool", client, name="run_python",
                         arguments={"code": "while True: pass"})
    first: dict[int, int] = {}
    busy: set[int] = set()

    def spinning() -> bool:
        for pid in runners_below(server.pid)[0]:
            ticks = cpu_ticks(pid)
            first.setdefault(pid, ticks)
            if ticks > first[pid] + 100:
                busy.add(pid)
        return bool(busy)

    assert wait_until(spinning, timeout=120)
    return call, busy


def test_sessions_borrow_the_one_spare_and_nothing_outlives_its_borrower(clients):
    # In memory: a parked session keeps its worker (with a store it would end).
    server = ServerProcess("--max-sessions", "8", "--park-after", "1", "--store", "none")
    try:
        clients.connect_http(server.url, "a")
        structured(clients.call("run_python", "a", code="x = 41"))
        assert wait_until(lambda: not runners_below(server.pid)[0] and runners_below(server.pid)[1],
                          timeout=120)
        spare = set(runners_below(server.pid)[1])
        (worker_a,) = server.workers()

        # The resume takes the spare: it becomes the session's runner, the
        # keeper's child, not the worker's; the state comes back all the same.
        ran = structured(clients.call("run_python", "a", code="print(x + 1)"))
        assert ran["stdout"].strip() == "42"
        # (A standby worker refilled meanwhile may be taking the next spare: its
        # runner is in passage for a moment.)
        assert wait_until(lambda: runners_below(server.pid)[0]
                          and set(runners_below(server.pid)[0]) <= spare, timeout=60)
        session_runners = set(runners_below(server.pid)[0])
        assert not session_runners & set(descendants(worker_a))
        # Another takes its place once the borrower has served its call.
        assert wait_until(lambda: runners_below(server.pid)[1], timeout=120)
        assert not set(runners_below(server.pid)[1]) & spare

        # A new session starts on a runner that was waiting (the standby
        # worker's, or the spare), which holds nothing of a's.
        waiting = {p for p in descendants(server.pid) if "vesk_runner" in command_line(p)} \
            - set(runners_below(server.pid)[0])
        clients.connect_http(server.url, "b")
        ran = structured(clients.call("run_python", "b", code="print('x' in globals())"))
        assert ran["stdout"].strip() == "False"
        assert waiting & set(runners_below(server.pid)[0])
        (worker_b,) = set(server.workers()) - {worker_a}

        # A worker that dies outright takes its borrowed runner with it, even
        # one too busy to notice its input end.
        _, busy = spin(clients, "a", server)
        os.kill(worker_a, signal.SIGKILL)
        assert wait_until(lambda: not any(map(alive, busy)), timeout=60)
        clients.do("close", "a")

        # Ending a session busy in its borrowed runner ends that runner too.
        call, busy = spin(clients, "b", server)
        clients.do("terminate", "b")
        try:  # the call's end, however the client reports it
            call.result(timeout=120)
        except Exception:
            pass
        assert wait_until(lambda: not alive(worker_b) and not any(map(alive, busy)), timeout=60)
        clients.do("close", "b")

        # The server's end is the keeper's and its spare's.
        keeper = keepers(server)
        left = set(descendants(server.pid))
        assert keeper and left
        assert server.stop() == 0
        assert wait_until(lambda: not any(map(alive, left)), timeout=60)
    finally:
        server.stop(signal.SIGKILL)


def test_the_users_spare_runner_setting_holds_for_the_server(clients):
    # Without a spare, sessions park and resume as before, each on a runner
    # of its own worker.
    server = ServerProcess("--max-sessions", "2", "--park-after", "1", "--store", "none",
                           env=server_env(VESK_SPARE_RUNNER="0"))
    try:
        clients.connect_http(server.url, "c")
        structured(clients.call("run_python", "c", code="x = 1"))
        assert wait_until(lambda: not runners_below(server.pid)[0], timeout=120)
        ran = structured(clients.call("run_python", "c", code="print(x + 1)"))
        assert ran["stdout"].strip() == "2"
        (worker,) = server.workers()
        runners = runners_below(server.pid)
        assert runners[0] and set(runners[0]) <= set(descendants(worker)) and not runners[1]
        clients.do("close", "c")
    finally:
        assert server.stop() == 0


def test_the_standby_worker_serves_one_new_session_within_the_maximum(clients):
    server = ServerProcess("--max-sessions", "2", "--store", "none")

    def standby() -> list[int]:
        return [p for p in descendants(server.pid) if is_standby(p)]

    try:
        clients.connect_http(server.url, "s1")
        structured(clients.call("run_python", "s1", code="x = 41"))
        assert wait_until(lambda: len(standby()) == 1, timeout=120)
        (waiting,) = standby()
        # The next session takes it, and finds nothing of the other's.
        clients.connect_http(server.url, "s2")
        ran = structured(clients.call("run_python", "s2", code="print('x' in globals())"))
        assert ran["stdout"].strip() == "False" and waiting in server.workers()
        # Two sessions at a maximum of two: no room for another.
        assert not wait_until(lambda: standby(), timeout=3)
        clients.do("terminate", "s1")

        def connected() -> bool:  # once s1's worker is gone
            try:
                clients.connect_http(server.url, "s3")
            except ClientError:
                return False
            return True

        assert wait_until(connected, timeout=60)
        assert wait_until(lambda: len(standby()) == 1, timeout=120)
        left = set(descendants(server.pid))
        assert server.stop() == 0
        assert wait_until(lambda: not any(map(alive, left)), timeout=60)
    finally:
        server.stop(signal.SIGKILL)
