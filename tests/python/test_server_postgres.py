"""`vesk serve --store postgresql://...`: a real PostgreSQL cluster of the
test's own (scripts/pg-private.sh) holds workspaces that outlive a server
killed with SIGKILL, and leases keep a workspace on one server at a time:
a server paused past its lease loses the workspace to another, and its
writes are refused."""

from __future__ import annotations

import os
import secrets
import shutil
import signal
import subprocess
import tempfile

import pytest

from mcp_util import ROOT, Clients, ServerProcess
from test_server_store import call, connect, kill_all, ok, refused

HELPER = str(ROOT / "scripts" / "pg-private.sh")


@pytest.fixture(scope="module")
def postgres():
    if shutil.which("initdb", path="/usr/lib/postgresql/15/bin") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("PostgreSQL 15 is not installed (scripts/setup.sh --tests)")
        pytest.skip("PostgreSQL 15 is not installed (scripts/setup.sh --tests)")
    try:
        import psycopg  # noqa: F401
    except ImportError:
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
