"""The host boundary: signatures, argument conversion, error mapping, records."""

from __future__ import annotations

import gc
import inspect
import shutil
import tempfile
from pathlib import Path

import pytest

import vesk_internal
from session_util import make_session, runner_pids, wait_until, work_dirs
from vesk_internal import VeskCheckpoint, VeskSession


@pytest.fixture(scope="module")
def session():
    s = VeskSession()
    yield s
    del s


def test_module_surface():
    assert vesk_internal.__doc__ == ""
    names = sorted(n for n in dir(vesk_internal) if not n.startswith("__"))
    assert names == ["InternalFault", "VeskCheckpoint", "VeskSession", "_blob_of_image",
                     "_image_of_blob", "_pack_image_piece", "_serve_spares",
                     "_spare_runner_pid", "_unpack_image_pieces"]
    # Catchable by name, and not by handlers written for Exception.
    assert issubclass(vesk_internal.InternalFault, BaseException)
    assert not issubclass(vesk_internal.InternalFault, Exception)
    assert VeskSession.__bases__ == (object,)
    assert VeskCheckpoint.__bases__ == (object,)


def test_signatures():
    assert str(inspect.signature(VeskSession)) == "()"
    expected = {
        "mount": "(path)",
        "commit": "(keys)",
        "diff": "(from_id=None, to_id=None)",
        "install": "(package, *, timeout_ms=None, cancel_fd=None)",
        "execute_python": "(code, *, timeout_ms=None, cancel_fd=None, on_output=None)",
        "execute_bash": "(command, *, timeout_ms=None, cancel_fd=None, on_output=None)",
        "write_file": "(path, content)",
        "delete_file": "(path)",
        "export": "(output_dir, keys=None)",
        "set_label": "(label)",
        "set_checkpoint_label": "(checkpoint_id, label)",
        "rollback": "(id)",
        "forget_before": "(id, *, keep_labelled=False)",
        "save": "(path, interpreter=True)",
        "fork": "(id=None)",
        "labels": "()",
        "close": "()",
    }
    methods = [n for n in VeskSession.__dict__ if not n.startswith("_")
               and callable(VeskSession.__dict__[n]) and n != "load"]
    assert methods == list(expected)  # the method table's order
    assert str(inspect.signature(VeskSession.load)) == "(path)"  # a class method
    for name, sig in expected.items():
        method = getattr(VeskSession, name)
        full = inspect.signature(method)
        params = list(full.parameters.values())
        assert params[0].name == "self"
        assert str(full.replace(parameters=params[1:])) == sig
        assert "\n" not in (method.__doc__ or "")  # no docstring beyond the signature


def test_constructor_refuses_arguments():
    with pytest.raises(TypeError):
        VeskSession(1)
    with pytest.raises(TypeError):
        VeskSession(config="x")


def test_checkpoint_has_no_constructor_and_is_read_only(session):
    with pytest.raises(TypeError):
        VeskCheckpoint()
    cp = session.current
    for attr in ("id", "stdout", "stderr", "files"):
        with pytest.raises(AttributeError):
            setattr(cp, attr, 1)
    with pytest.raises(AttributeError):
        cp.label = "x"
    assert not hasattr(cp, "label")


def test_content_conversions_store_the_same_bytes(session):
    data = [0, 127, 128, 255]
    class MyBytes(bytes):
        pass
    class MyArray(bytearray):
        pass
    for value in (bytes(data), bytearray(data), data, tuple(data), MyBytes(data), MyArray(data)):
        session.write_file("conv.bin", value)
        assert session.current.files["conv.bin"] == bytes(data)


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda s: s.write_file("k", "text"), TypeError, "content must be bytes, not str"),
        (lambda s: s.write_file("k", {1, 2}), TypeError, "content must be bytes, not set"),
        (lambda s: s.write_file("k", (i for i in range(3))), TypeError,
         "content must be bytes, not generator"),
        (lambda s: s.write_file("k", [1, "a"]), TypeError, "content[1] must be int, not str"),
        (lambda s: s.write_file("k", [256]), OverflowError, None),
        (lambda s: s.write_file("k", [-1]), OverflowError, None),
        (lambda s: s.write_file(b"k", b""), TypeError, "path must be str, not bytes"),
        (lambda s: s.write_file("\ud800", b""), UnicodeEncodeError, None),
        (lambda s: s.rollback(-1), OverflowError, None),
        (lambda s: s.rollback(2 ** 64), OverflowError, None),
        (lambda s: s.rollback("1"), TypeError, "id must be int, not str"),
        (lambda s: s.rollback(1.0), TypeError, "id must be int, not float"),
        (lambda s: s.diff("0"), TypeError, "from_id must be int, not str"),
        (lambda s: s.diff(0, "x"), TypeError, "to_id must be int, not str"),
        (lambda s: s.commit("a"), TypeError, "keys must be a list of str or None, not str"),
        (lambda s: s.commit([1]), TypeError, "keys[0] must be str, not int"),
        (lambda s: s.export("out", {"a"}), TypeError,
         "keys must be a list of str or None, not set"),
        (lambda s: s.set_checkpoint_label(-1, "x"), OverflowError, None),
        (lambda s: s.execute_python(code=1), TypeError, "code must be str, not int"),
        (lambda s: s.forget_before("0"), TypeError, "id must be int, not str"),
        # Binding errors keep the host's own wording.
        (lambda s: s.commit(), TypeError, None),
        (lambda s: s.mount(), TypeError, None),
        (lambda s: s.mount("a", "b"), TypeError, None),
        (lambda s: s.rollback(id=0, other=1), TypeError, None),
        (lambda s: s.forget_before(0, True), TypeError, None),
    ],
)
def test_argument_errors(session, call, exc, text):
    before = len(session.history)
    with pytest.raises(exc) as info:
        call(session)
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text
    assert len(session.history) == before


def test_index_protocol_is_accepted(session):
    class Index:
        def __index__(self):
            return 0
    session.write_file("index.txt", b"")
    session.rollback(Index())
    assert session.current.id == 0
    session.rollback(True)  # bool is an int
    assert session.current.id == 1
    session.rollback(len(session.history) - 1)


def test_core_errors_are_runtime_errors_with_exact_text(session):
    n = len(session.history)
    cases = [
        (lambda: session.rollback(n), f"checkpoint {n} does not exist"),
        (lambda: session.set_checkpoint_label(n, "x"), f"checkpoint {n} does not exist"),
        (lambda: session.diff(n, 0), f"checkpoint {n} does not exist"),
        (lambda: session.diff(0, n + 5), f"checkpoint {n + 5} does not exist"),
        (lambda: session.write_file("", b""), "workspace key must not be empty"),
        (lambda: session.write_file("/etc/passwd", b""),
         "workspace key must be a relative path: '/etc/passwd'"),
        (lambda: session.write_file("a/../b", b""), "workspace key must not contain '..': 'a/../b'"),
        (lambda: session.delete_file(""), "'' not in current checkpoint"),
        (lambda: session.commit(["x"]), "'x' was not mounted from host"),
        (lambda: session.mount("/nonexistent/vesk"), "path does not exist: /nonexistent/vesk"),
        (lambda: session.export("/tmp", ["../x"]), "workspace key must not contain '..': '../x'"),
    ]
    for call, text in cases:
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError
        assert str(info.value) == text
    assert len(session.history) == n


def test_python_exception_text_is_the_runners(session):
    with pytest.raises(RuntimeError) as info:
        session.execute_python("raise ValueError('boom')")
    text = str(info.value)
    assert text.startswith("Traceback") or "ValueError: boom" in text
    assert text.rstrip().endswith("ValueError: boom")


def test_write_returns_none_delete_returns_checkpoint(session):
    assert session.write_file("doomed.txt", b"x") is None
    cp = session.delete_file("doomed.txt")
    assert isinstance(cp, VeskCheckpoint)
    assert cp.id == session.current.id
    assert "doomed.txt" not in cp.files
    assert cp.stdout == "" and cp.stderr == ""


def test_records_are_copies(session):
    session.write_file("r.txt", b"one")
    first = session.current
    second = session.current
    assert first is not second
    assert (first.id, first.stdout, first.stderr, first.files) == \
        (second.id, second.stdout, second.stderr, second.files)
    files = first.files
    files["added"] = b"x"
    del files["r.txt"]
    assert "r.txt" in first.files and "added" not in first.files
    assert first.files is not first.files
    session.write_file("r.txt", b"two")
    session.rollback(0)
    assert first.files["r.txt"] == b"one"
    session.set_checkpoint_label(first.id, "labelled")
    again = session.history[first.id]
    assert again.files == first.files and not hasattr(again, "label")


def test_history_bytes_bound_every_kind_of_change(tmp_path, monkeypatch):
    """Past max_history_mb a run or an edit is refused, and the session goes
    on from its current checkpoint; forgetting makes room again."""
    with make_session(tmp_path, monkeypatch, max_history_mb=1) as s:
        s.write_file("a", b"a" * 600_000)
        s.write_file("copy", b"a" * 600_000)  # shared: counted once
        assert s.history_bytes == 600_000
        changes = [  # each with the total it would have made, its output included
            (lambda: s.execute_python("open('b', 'wb').write(b'b' * 600_000); print('ran')"),
             1_200_003),  # the runner keeps no final line feed
            (lambda: s.execute_bash("head -c 600000 /dev/zero > b"), 1_200_000),
            (lambda: s.write_file("b", b"b" * 600_000), 1_200_000),
        ]
        for change, total in changes:
            with pytest.raises(RuntimeError) as info:
                change()
            assert str(info.value) == (
                f"history size {total} bytes would exceed limit of 1048576 bytes "
                "(max_history_mb = 1); forget older checkpoints or start a new session")
        assert s.current.id == 2 and s.history_bytes == 600_000
        # The runner still holds the refused run's file: the next run lays
        # the workspace out anew.
        listed = s.execute_python("import os; print(sorted(os.listdir()))")
        assert listed.stdout == "['a', 'copy']"
        assert s.history_bytes == 600_000 + len(listed.stdout)
        s.delete_file("a")
        s.delete_file("copy")
        s.forget_before(s.current.id)
        assert s.history_bytes == 0
        s.write_file("b", b"b" * 600_000)


def test_diff_defaults(session):
    session.rollback(len(session.history) - 1)
    session.write_file("d.txt", b"line\n")
    cur = session.current.id
    assert session.diff() == session.diff(0, cur) == session.diff(0, None)
    assert session.diff(cur) == ""
    assert session.diff(cur - 1) == "--- a/d.txt\n+++ b/d.txt\n@@ -0,0 +1 @@\n+line\n"
    assert session.diff(cur, cur - 1) == "--- a/d.txt\n+++ b/d.txt\n@@ -1 +0,0 @@\n-line\n"


def test_labels_accept_any_text(session):
    assert session.set_label("") is None
    assert session.set_label("tour ✓") is None


# Every member but close, called with arguments it accepts.
CALLS_ON_CLOSED = {
    "mount": lambda s: s.mount("/nonexistent"),
    "commit": lambda s: s.commit(None),
    "diff": lambda s: s.diff(),
    "install": lambda s: s.install("x"),
    "execute_python": lambda s: s.execute_python("1"),
    "execute_bash": lambda s: s.execute_bash("true"),
    "write_file": lambda s: s.write_file("a", b""),
    "delete_file": lambda s: s.delete_file("a"),
    "export": lambda s: s.export("/nonexistent"),
    "set_label": lambda s: s.set_label("x"),
    "set_checkpoint_label": lambda s: s.set_checkpoint_label(0, "x"),
    "rollback": lambda s: s.rollback(0),
    "forget_before": lambda s: s.forget_before(0),
    "save": lambda s: s.save("/nonexistent/s.vesk"),
    "fork": lambda s: s.fork(),
    "labels": lambda s: s.labels(),
    "current": lambda s: s.current,
    "history": lambda s: s.history,
    "history_bytes": lambda s: s.history_bytes,
    "session_label": lambda s: s.session_label,
    "__enter__": lambda s: s.__enter__(),
    "_park": lambda s: s._park(),
    "_damage_parked_image": lambda s: s._damage_parked_image(False),
    "_parked_size": lambda s: s._parked_size,
    "_journal": lambda s: s._journal(),
    "_journal_written": lambda s: s._journal_written(),
    "_journal_content": lambda s: s._journal_content(bytes(32)),
    "_image": lambda s: s._image(),
}


@pytest.fixture(scope="module")
def closed_session():
    members = {n for n in VeskSession.__dict__ if not n.startswith("__")} | {"__enter__"}
    assert members - {"close", "load", "_from_store"} == set(CALLS_ON_CLOSED)
    s = VeskSession()
    s.close()
    return s


@pytest.mark.parametrize("name", list(CALLS_ON_CLOSED))
def test_a_closed_session_refuses_every_member(closed_session, name):
    with pytest.raises(RuntimeError) as info:
        CALLS_ON_CLOSED[name](closed_session)
    assert str(info.value) == "session is closed"
    assert closed_session.close() is None  # again: nothing


def test_closing_ends_the_session_at_once(monkeypatch):
    base = Path(tempfile.mkdtemp(prefix="vesk-close-", dir="/var/tmp"))
    monkeypatch.setenv("TMPDIR", str(base))
    try:
        before = runner_pids()
        session = VeskSession()
        (pid,) = runner_pids() - before
        with pytest.raises(ValueError, match="passes through"):
            with session as s:
                assert s is session
                held = s.execute_bash("echo hi > f")
                assert work_dirs(base)
                raise ValueError("passes through")
        assert work_dirs(base) == []
        assert wait_until(lambda: not Path(f"/proc/{pid}").exists())
        assert held.files == {"f": b"hi\n"}  # a record keeps its own contents
        with pytest.raises(RuntimeError, match="^session is closed$"):
            session.current
        assert session.__exit__(None, None, None) is False
        del s, session
        gc.collect()
    finally:
        shutil.rmtree(base, ignore_errors=True)
