"""`vesk serve --store`: workspaces in a real SQLite file outlive a server
killed with SIGKILL (the SDK's clients come back with their old handle and
old session id), a parked workspace holds no worker and keeps its
interpreter, forks go their own ways, and a store that goes wrong is refused
at start or fails the call while the session goes on."""

from __future__ import annotations

import json
import os
import re
import shutil
import tempfile
from pathlib import Path
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from mcp_util import (ROOT, Clients, ServerProcess, alive, command_line, descendants,
                      serve_command, server_env)


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


def ok(result: dict) -> dict:
    assert not result.get("isError"), result
    return result["structuredContent"]


def refused(result: dict) -> str:
    assert result["isError"] is True, result
    return result["content"][0]["text"]


def kill_all(server: ServerProcess) -> None:
    """SIGKILL to the server and every process below it, as a crash would."""
    below = descendants(server.pid)
    for pid in [server.pid, *below]:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    server.proc.wait(timeout=60)
    wait_for(lambda: not any(alive(p) for p in below), "the workers to die")


def wait_for(condition, what: str, seconds: float = 120) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def connect(clients: Clients, name: str, server: ServerProcess, **fields) -> dict:
    return clients.do("connect", name, transport="http", url=server.url, **fields)


def call(clients: Clients, name: str, tool: str, **arguments) -> dict:
    return clients.do("callTool", name, name=tool, arguments=arguments)


def test_workspaces_outlive_a_killed_server(clients, tmp_path):
    store = str(tmp_path / "store.sqlite3")
    flags = ("--store", store, "--park-after", "0")
    server = ServerProcess(*flags)
    connect(clients, "v2", server, modern=True)
    handle = ok(call(clients, "v2", "create_workspace"))["workspace"]
    ok(call(clients, "v2", "write_file", workspace=handle, path="a.txt", content="one"))
    ok(call(clients, "v2", "run_python", workspace=handle,
            code="x = 1\nopen('b.txt', 'w').write('two')"))
    ok(call(clients, "v2", "label_checkpoint", workspace=handle, checkpoint=1, label="first"))
    gone = ok(call(clients, "v2", "create_workspace"))["workspace"]
    ok(call(clients, "v2", "write_file", workspace=gone, path="c.txt", content="three"))
    ok(call(clients, "v2", "close_workspace", workspace=gone))
    session = connect(clients, "v1", server)["sessionId"]
    ok(call(clients, "v1", "write_file", path="own.txt", content="legacy"))
    # Killed mid-call: the change never answered is not in the store.
    clients.start("callTool", "v2", name="run_shell", arguments={
        "workspace": handle, "command": "echo lost > c.txt; sleep 60"})
    wait_for(lambda: any("bwrap" in command_line(p) for p in descendants(server.pid)),
             "the shell command to run")
    kill_all(server)
    for name in ("v1", "v2"):
        clients.do("close", name)

    server = ServerProcess(*flags)
    try:
        connect(clients, "v2", server, modern=True)
        history = ok(call(clients, "v2", "list_history", workspace=handle))
        assert [(c["id"], c["label"]) for c in history["checkpoints"]] == \
            [(0, None), (1, "first"), (2, None)]
        assert history["checkpoints"][1]["made_by"] == "write_file a.txt"
        files = ok(call(clients, "v2", "list_files", workspace=handle))["files"]
        assert [f["path"] for f in files] == ["a.txt", "b.txt"]
        # Never parked: the interpreter is new, and the first run says so.
        text = refused(call(clients, "v2", "run_python", workspace=handle, code="print(x)"))
        assert "NameError" in text and "the interpreter was restarted" in text
        assert "no such workspace" in refused(call(clients, "v2", "list_files", workspace=gone))
        assert [w["workspace"] for w in
                ok(call(clients, "v2", "list_workspaces"))["workspaces"]] == [handle]
        connect(clients, "v1", server, sessionId=session)
        read = ok(call(clients, "v1", "read_file", path="own.txt"))
        assert read["content"] == "legacy"
        # DELETE and close_workspace take them out of the store.
        clients.do("terminate", "v1")
        ok(call(clients, "v2", "close_workspace", workspace=handle))
        for name in ("v1", "v2"):
            clients.do("close", name)
    finally:
        assert server.stop() == 0
    with sqlite3.connect(store) as db:
        assert db.execute("SELECT count(*) FROM workspaces").fetchone()[0] == 0
        assert db.execute("SELECT count(*) FROM contents").fetchone()[0] == 0


def test_a_parked_workspace_holds_no_worker_and_forks_go_their_own_ways(clients, tmp_path):
    store = str(tmp_path / "store.sqlite3")
    flags = ("--store", store, "--park-after", "1")
    server = ServerProcess(*flags)
    connect(clients, "park", server, modern=True)
    handle = ok(call(clients, "park", "create_workspace"))["workspace"]
    ok(call(clients, "park", "run_python", workspace=handle,
            code="x = 41\nopen('a.txt', 'w').write('base')"))
    wait_for(lambda: not server.workers(), "the parked workspace's worker to end")
    kill_all(server)
    clients.do("close", "park")

    server = ServerProcess(*flags)
    try:
        connect(clients, "park", server, modern=True)
        run = ok(call(clients, "park", "run_python", workspace=handle, code="print(x + 1)"))
        assert run["stdout"].strip() == "42" and "notice" not in run
        fork = ok(call(clients, "park", "fork_workspace", workspace=handle))
        assert fork["interpreter"] is True
        twin = fork["workspace"]
        with sqlite3.connect(store) as db:  # stored before its handle was given out
            assert db.execute("SELECT count(*) FROM checkpoints WHERE workspace=?",
                              (twin,)).fetchone()[0] == 3
        ok(call(clients, "park", "run_python", workspace=twin,
                code="x += 100\nopen('a.txt', 'w').write('fork')"))
        ok(call(clients, "park", "write_file", workspace=handle, path="b.txt", content="own"))
        seen = {h: {f["path"] for f in ok(call(clients, "park", "list_files",
                                                workspace=h))["files"]} for h in (handle, twin)}
        assert seen == {handle: {"a.txt", "b.txt"}, twin: {"a.txt"}}
        for h, expected in ((handle, "42 base"), (twin, "142 fork")):
            printed = ok(call(clients, "park", "run_python", workspace=h,
                              code="print(x + 1, open('a.txt').read())"))["stdout"]
            assert printed.strip() == expected
        clients.do("close", "park")
    finally:
        assert server.stop() == 0
    # The stop parked both into the store; a server whose idle time-out they
    # have passed removes them, though it never brought them back.
    count = "SELECT count(*) FROM workspaces WHERE image IS NOT NULL"
    with sqlite3.connect(store) as db:
        assert db.execute(count).fetchone()[0] == 2
    server = ServerProcess("--store", store, "--idle-timeout", "1")
    try:
        def left() -> int:
            with sqlite3.connect(store) as db:
                return db.execute("SELECT count(*) FROM workspaces").fetchone()[0]
        wait_for(lambda: left() == 0, "the idle workspaces to leave the store")
    finally:
        assert server.stop() == 0


@pytest.mark.parametrize("damage", ["garbage", "read-only", "in use"])
def test_a_store_that_cannot_be_used_is_refused_at_start(tmp_path, damage):
    path = tmp_path / "store.sqlite3"
    holder = ServerProcess("--store", str(path)) if damage == "in use" else None
    if damage == "garbage":
        path.write_bytes(b"not a database at all, " * 100)
    elif damage == "read-only":
        mount = tmp_path / "ro"
        mount.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mount)]
                          ).returncode != 0:
            pytest.skip("cannot mount a tmpfs here")
        path = mount / "store.sqlite3"
        sqlite3.connect(path).close()
        subprocess.run(["mount", "-o", "remount,ro", str(mount)], check=True)
    try:
        done = subprocess.run(serve_command("--http", "127.0.0.1:0", "--store", str(path)),
                              env=server_env(), capture_output=True, text=True, timeout=120)
    finally:
        if damage == "read-only":
            subprocess.run(["umount", str(mount)])
        if holder is not None:
            assert holder.stop() == 0
    assert done.returncode == 2
    assert f"cannot use the store {path}" in done.stderr
    assert {"garbage": "not a vesk store", "read-only": "not writable",
            "in use": "another vesk serve is using it"}[damage] in done.stderr


def test_a_full_disk_fails_the_call_and_the_session_goes_on(clients, tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(mount)]
                      ).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        server = ServerProcess("--store", str(mount / "store.sqlite3"))
        try:
            connect(clients, "full", server, modern=True)
            handle = ok(call(clients, "full", "create_workspace"))["workspace"]
            ok(call(clients, "full", "write_file", workspace=handle, path="a", content="a"))
            filler = mount / "filler"
            # Unbuffered: a buffered file would fail again when it closes,
            # flushing what the last short write left.
            with open(filler, "wb", buffering=0) as f:
                try:
                    while True:
                        f.write(b"\0" * 65536)
                except OSError:
                    pass
            text = refused(call(clients, "full", "write_file", workspace=handle, path="big",
                                content="b" * 200_000))
            assert "could not be saved" in text and "full" in text
            # In memory all the same; saved once there is room again.
            files = ok(call(clients, "full", "list_files", workspace=handle))["files"]
            assert {f["path"] for f in files} == {"a", "big"}
            filler.unlink()
            ok(call(clients, "full", "write_file", workspace=handle, path="c", content="c"))
            clients.do("close", "full")
        finally:
            kill_all(server)
        db = sqlite3.connect(mount / "store.sqlite3")
        try:
            assert db.execute("SELECT count(*) FROM checkpoints").fetchone()[0] == 4
        finally:
            db.close()
    finally:
        subprocess.run(["umount", "-l", str(mount)])


def test_the_store_follows_forgets_and_frees_only_what_nothing_uses(tmp_path):
    sys.path.insert(0, str(ROOT / "python"))
    from vesk.server.store import HANDLE, Store
    from vesk_internal import VeskSession

    store = Store(str(tmp_path / "store.sqlite3"))
    counts = lambda: tuple(store._db.execute(f"SELECT count(*) FROM {t}").fetchone()[0]
                           for t in ("checkpoints", "contents"))
    with VeskSession() as s:
        store.add("w", None, HANDLE)

        def save() -> None:
            store.write("w", s._journal(), s._journal_content, lambda i: (None, None))
            s._journal_written()

        s.write_file("kept", b"written first, used by every checkpoint")
        save()
        for i in range(4):
            s.write_file("f", f"version {i}".encode())
            save()
        s.set_checkpoint_label(2, "two")
        save()
        assert counts() == (6, 5)
        # The oldest kept row is rewritten as all its files: "kept" comes
        # from a generation whose rows are gone and must stay.
        s.forget_before(s.current.id)
        save()
        assert counts() == (1, 2)
        loaded = store.load("w")
        back = VeskSession._from_store(loaded.current_id, loaded.rows, loaded.parts,
                                       store.content)
        assert back.current.files == s.current.files and back.current.id == s.current.id
        back.close()
    store.remove("w")
    assert counts() == (0, 0)


# Each step at which a process is crashed, what the client was doing, and
# whether the restarted server must show the change (a call: its checkpoint;
# a new workspace: its row; a park: the interpreter's image). A call's
# change is stored once committed, before its answer goes.
KILLS = [
    ("journal.before_write", "call", False),
    ("store.write.before_commit", "call", False),
    ("journal.after_commit", "call", True),
    ("worker.before_answer", "call", True),
    ("server.before_relay", "call", True),
    ("server.after_relay", "call", True),
    ("store.add.before_commit", "create", False),
    ("server.row_added", "create", True),
    ("park.imaged", "park", False),
    ("store.image.before_commit", "park", False),
    ("park.stored", "park", True),
    ("worker.before_exit", "park", True),
]
# The crashing step is reached for the Nth time: after two answered changes
# (a call), one answered creation, or at the first park.
# Answers relayed count create_workspace's too.
NTH = {"call": 3, "create": 2, "park": 1, "server.after_relay": 4}


@pytest.mark.parametrize("step,victim,kept", KILLS, ids=[k[0] for k in KILLS])
def test_a_crash_at_any_step_keeps_what_was_answered(clients, tmp_path, step, victim, kept):
    store = str(tmp_path / "store.sqlite3")
    env = dict(server_env(), VESK_TEST_KILL_AT=f"{step}:{NTH.get(step, NTH[victim])}")
    server = ServerProcess("--store", store, "--park-after", "1" if victim == "park" else "0",
                           env=env)
    connect(clients, "k", server, modern=True)
    handle = ok(call(clients, "k", "create_workspace"))["workspace"]
    if victim == "park":
        ok(call(clients, "k", "run_python", workspace=handle,
                code="x = 1\nopen('a.txt', 'w').write('one')"))
    else:
        ok(call(clients, "k", "write_file", workspace=handle, path="a.txt", content="one"))
    ok(call(clients, "k", "label_checkpoint", workspace=handle, checkpoint=1, label="one"))
    if victim == "call":
        clients.start("callTool", "k", name="write_file",
                      arguments={"workspace": handle, "path": "b.txt", "content": "two"})
    elif victim == "create":
        clients.start("callTool", "k", name="create_workspace", arguments={})
    wait_for(lambda: any(f"killed at {step}" in line for line in server.stderr),
             f"the crash at {step}")
    kill_all(server)
    clients.do("close", "k")

    server = ServerProcess("--store", store, "--park-after", "0")
    try:
        connect(clients, "k", server, modern=True)
        history = ok(call(clients, "k", "list_history", workspace=handle))["checkpoints"]
        files = {f["path"]: ok(call(clients, "k", "read_file", workspace=handle,
                                    path=f["path"]))["content"]
                 for f in ok(call(clients, "k", "list_files", workspace=handle))["files"]}
        added = victim == "call" and kept
        assert [(c["id"], c["label"]) for c in history] == \
            [(0, None), (1, "one"), *([(2, None)] if added else [])]
        assert files == {"a.txt": "one", **({"b.txt": "two"} if added else {})}
        others = [w["workspace"] for w in ok(call(clients, "k", "list_workspaces"))["workspaces"]
                  if w["workspace"] != handle]
        assert len(others) == (victim == "create" and kept)
        for other in others:  # a row without a checkpoint yet is a new, empty workspace
            assert ok(call(clients, "k", "list_files", workspace=other))["files"] == []
        if victim == "park":
            run = call(clients, "k", "run_python", workspace=handle, code="print(x)")
            if kept:
                assert ok(run)["stdout"].strip() == "1"
            else:
                assert "the interpreter was restarted" in refused(run)
        clients.do("close", "k")
    finally:
        assert server.stop() == 0


def test_the_store_is_private_bounded_and_counted(clients, tmp_path):
    # Outside /tmp, which every sandbox replaces anyway.
    store = Path(tempfile.mkdtemp(dir="/var/tmp")) / "store.sqlite3"
    store.parent.chmod(0o755)
    sqlite3.connect(store).close()
    store.chmod(0o644)
    server = ServerProcess("--store", str(store), "--max-stored", "1", "--park-after", "1")
    try:
        def states() -> dict:
            body = server.request("GET", path="/metrics")[2].decode()
            return {s: float(v) for s, v in re.findall(r'vesk_workspaces\{state="(\w+)"\} (\S+)',
                                                       body)}

        connect(clients, "full", server, modern=True)
        handle = ok(call(clients, "full", "create_workspace"))["workspace"]
        ok(call(clients, "full", "write_file", workspace=handle, path="a", content="a"))
        assert states() == {"live": 1, "parked": 0, "stored": 1}
        # Shell commands run as the server's user, but never see the store,
        # nor its address (a PostgreSQL URL may carry a password).
        shown = ok(call(clients, "full", "run_shell", workspace=handle,
                        command=f"ls -a {store.parent}; cat {store} | wc -c; "
                                "env | grep -c '^VESK_STORE='"))
        assert shown["stdout"].split() == [".", "..", "0", "0"], shown
        for text in (refused(call(clients, "full", "create_workspace")),
                     refused(call(clients, "full", "fork_workspace", workspace=handle))):
            assert "holds its maximum of 1 workspaces and sessions (--max-stored)" in text
        status, _, body = server.post({
            "jsonrpc": "2.0", "id": 1, "method": "initialize",
            "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                       "clientInfo": {"name": "raw", "version": "1"}}})
        assert status == 503 and "--max-stored" in json.dumps(body)
        wait_for(lambda: states() == {"live": 0, "parked": 1, "stored": 1}, "the park")
        clients.do("close", "full")
    finally:
        assert server.stop() == 0
    modes = {p.name: p.stat().st_mode & 0o777 for p in store.parent.iterdir()}
    shutil.rmtree(store.parent)
    assert set(modes.values()) == {0o600}, modes


def test_images_are_stored_as_shared_pieces_freed_with_their_last_user(tmp_path):
    check_image_pieces(str(tmp_path / "store.sqlite3"))


def check_image_pieces(path: str) -> None:
    """The image pieces' life on the store at `path` (SQLite or PostgreSQL)."""
    sys.path.insert(0, str(ROOT / "python"))
    import hashlib
    import struct
    from vesk.server.store import HANDLE, Store
    from vesk.server.store_images import CHUNK

    store = Store(path)
    pieces = lambda: store._db.execute("SELECT count(*) FROM chunks").fetchone()[0]
    # The runner's lead varies in length; the memory after it is cut alike.
    lead = lambda n: b"vskpark2" + struct.pack("<dd", n, 0) + b"{" * n
    common = os.urandom(3 * CHUNK)
    images = {"a": lead(10) + common + os.urandom(CHUNK + 5),
              "b": lead(11) + common + os.urandom(CHUNK),
              "c": b""}  # an empty image is an image, not none
    journal = {"dropped": [], "written": [(1, b"row")], "contents": [], "parts": b"p",
               "current_id": 1}
    for w, image in images.items():
        store.add(w, None, HANDLE)
        store.write(w, journal, lambda d: None, lambda i: (None, None), image=image)
    assert pieces() == 6 + 2
    store.set_image("a", images["b"])  # re-parked: its own pieces go
    assert pieces() == 5 and store.load("a").image == images["b"]
    assert store.load("c").image == b""
    store.set_image("c", images["b"], compressed=True)  # as the module gave it: cut from 0
    assert store.load("c").image_compressed and pieces() == 5 + 5
    store.write("b", journal, lambda d: None, lambda i: (None, None), image=None)
    assert store.load("b").image is None and pieces() == 10
    # Retired (its interpreter moved on): no image, its pieces freed later.
    store.write("c", journal, lambda d: None, lambda i: (None, None), retire_image=True)
    assert store.load("c").image is None and pieces() == 10
    # A damaged piece is refused, and the interpreter restarts instead.
    store._db.execute("UPDATE chunks SET bytes=? WHERE hash=?",
                      (bytes(9), hashlib.sha256(common[:CHUNK]).digest()))
    assert store.load("a").image is None
    store.remove("a")
    store.set_image("c", None)
    assert pieces() == 0
    # A store of version 1 held compressed images: they are cut up when it opens.
    from vesk_internal import _blob_of_image
    store._db.execute("UPDATE workspaces SET image=? WHERE id='c'",
                      (_blob_of_image(images["a"]),))
    store._db.execute("UPDATE meta SET value='1' WHERE key='version'")
    store.close()
    store = Store(path)
    assert store.load("c").image == images["a"] and pieces() == 6
    store.close()
