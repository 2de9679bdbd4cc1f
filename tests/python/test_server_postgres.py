"""`vesk serve --store postgresql://...`: a real PostgreSQL cluster of the
test's own (scripts/pg-private.sh) holds workspaces that outlive a server
killed with SIGKILL, and leases keep a workspace on one server at a time:
a server paused past its lease loses the workspace to another, and its
writes are refused."""

from __future__ import annotations

import importlib.util
import os
import secrets
import shutil
import signal
import subprocess
import tempfile

import pytest

import sys
import time

from mcp_util import ROOT, Clients, ServerProcess
from test_server_store import call, check_image_pieces, connect, kill_all, ok, refused

HELPER = str(ROOT / "scripts" / "pg-private.sh")


@pytest.fixture(scope="module")
def postgres():
    if shutil.which("initdb", path="/usr/lib/postgresql/15/bin") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("PostgreSQL 15 is not installed (scripts/setup.sh --tests)")
        pytest.skip("PostgreSQL 15 is not installed (scripts/setup.sh --tests)")
    if importlib.util.find_spec("psycopg") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("psycopg is not installed (scripts/setup.sh --tests)")
        pytest.skip("psycopg is not installed (scripts/setup.sh --tests)")
    # Not under a directory of mkdtemp's: the cluster's user must reach it.
    where = os.path.join(tempfile.gettempdir(), f"vesk-pg-test-{secrets.token_hex(8)}")
    started = subprocess.run([HELPER, "start", where], capture_output=True, text=True)
    try:
        assert started.returncode == 0, started.stderr
        yield started.stdout.strip()
    finally:
        subprocess.run([HELPER, "stop", where], check=True)


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


def fresh_database(url: str, name: str) -> str:
    import psycopg
    with psycopg.connect(url, autocommit=True) as db:
        db.execute(f"CREATE DATABASE {name}")
    return url.replace("/postgres?", f"/{name}?")


def test_workspaces_outlive_a_killed_server(postgres, clients):
    url = fresh_database(postgres, "restart")
    flags = ("--store", url, "--park-after", "0")
    server = ServerProcess(*flags)
    connect(clients, "v2", server, modern=True)
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    ok(call(clients, "v2", "write_file", workspace=handle, path="a.txt", content="one"))
    ok(call(clients, "v2", "write_file", workspace=handle, path="b.txt", content="one"))
    ok(call(clients, "v2", "write_file", workspace=handle, path="b.txt", content="two"))
    kill_all(server)
    clients.do("close", "v2")

    server = ServerProcess(*flags)
    try:
        connect(clients, "v2", server, modern=True)
        history = ok(call(clients, "v2", "list_history", workspace=handle))
        assert [c["id"] for c in history["checkpoints"]] == [0, 1, 2, 3]
        read = ok(call(clients, "v2", "read_file", workspace=handle, path="b.txt"))
        assert read["content"] == "two"
        ok(call(clients, "v2", "close_workspace", workspace=handle))
        clients.do("close", "v2")
    finally:
        assert server.stop() == 0
    import psycopg
    with psycopg.connect(url) as db:
        for table in ("workspaces", "checkpoints", "contents", "refs"):
            assert db.execute(f"SELECT count(*) FROM {table}").fetchone()[0] == 0, table


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_a_lease_is_kept_taken_over_when_expired_and_fences_the_old_holder(
        backend, request, tmp_path):
    sys.path.insert(0, str(ROOT / "python"))
    from vesk.server.store import HANDLE, Fenced, Leased, Store
    from vesk_internal import VeskSession

    path = str(tmp_path / "store.sqlite3") if backend == "sqlite" else \
        fresh_database(request.getfixturevalue("postgres"), "leases")
    store = Store(path)
    store.add("w", None, HANDLE)
    assert store.claim("w", "a", 60) == ("a", 1)
    with pytest.raises(Leased, match="served by another node \\(a\\)"):
        store.claim("w", "b", 60)
    assert store.claim("w", "a", -1) == ("a", 1)  # its own: kept, now expired
    assert not store.took_over
    assert store.renew("b", 60) == 0
    assert store.claim("w", "b", 60) == ("b", 2)
    assert store.took_over  # counted in the server's metrics
    with VeskSession() as s:
        s.write_file("f", b"late")
        for attempt in (
                lambda: store.write("w", s._journal(), s._journal_content,
                                    lambda i: (None, None), lease=("a", 1)),
                lambda: store.set_image("w", b"image", lease=("a", 1)),
                lambda: store.remove("w", "a")):
            with pytest.raises(Fenced, match="no longer holds the workspace w"):
                attempt()
        assert store.load("w") is None  # nothing of it was written
        store.write("w", s._journal(), s._journal_content, lambda i: (None, None),
                    lease=("b", 2))
    assert store.load("w") is not None
    store.release("b", "w")  # parked or stopped: another may take it at once
    assert store.claim("w", "a", 60) == ("a", 3)
    store.remove("w", "a")
    assert store.find("w") is None
    store.close()


def lease_of(url: str, workspace: str) -> tuple[str, int, bool]:
    import psycopg
    with psycopg.connect(url) as db:
        return db.execute("SELECT node, generation, expires < extract(epoch FROM "
                          "clock_timestamp()) FROM leases WHERE workspace=%s",
                          (workspace,)).fetchone()


def test_a_server_paused_past_its_lease_loses_the_workspace(postgres, clients):
    url = fresh_database(postgres, "takeover")
    flags = ("--store", url, "--park-after", "0", "--lease-secs", "2")
    first = ServerProcess(*flags, "--node-id", "first")
    second = ServerProcess(*flags, "--node-id", "second")
    try:
        connect(clients, "first", first, modern=True)
        connect(clients, "second", second, modern=True)
        handle = ok(call(clients, "first", "create_workspace"))["workspace"]
        ok(call(clients, "first", "write_file", workspace=handle, path="f", content="first"))
        assert lease_of(url, handle)[:2] == ("first", 1)
        # Never two nodes at once: while the first's lease lasts, the second
        # refuses the workspace, and keeps it.
        text = refused(call(clients, "second", "read_file", workspace=handle, path="f"))
        assert "served by another node (first)" in text, text
        # Paused (a partition): its lease runs out, and the second takes over.
        os.kill(first.pid, signal.SIGSTOP)
        try:
            deadline = time.monotonic() + 120
            while not lease_of(url, handle)[2]:
                assert time.monotonic() < deadline, "the lease never expired"
                time.sleep(0.1)
            ok(call(clients, "second", "write_file", workspace=handle, path="f",
                    content="second"))
            assert lease_of(url, handle)[:2] == ("second", 2)
            assert b"\nvesk_leases_taken_over_total 1\n" in second.request(
                "GET", path="/metrics")[2]
        finally:
            os.kill(first.pid, signal.SIGCONT)
        # Resumed, the first still holds the workspace in a worker: its
        # change is refused, and the second's is what the store keeps.
        text = refused(call(clients, "first", "write_file", workspace=handle, path="f",
                            content="late"))
        assert "no longer holds the workspace" in text, text
        read = ok(call(clients, "second", "read_file", workspace=handle, path="f"))
        assert read["content"] == "second"
        for name in ("first", "second"):
            clients.do("close", name)
    finally:
        assert first.stop() == 0 and second.stop() == 0


def test_images_are_stored_as_shared_pieces(postgres):
    check_image_pieces(fresh_database(postgres, "pieces"))
