"""The host boundary: signatures, argument conversion, error mapping, records."""

from __future__ import annotations

import inspect

import pytest

import vesk_internal
from vesk_internal import VeskCheckpoint, VeskSession


@pytest.fixture(scope="module")
def session():
    s = VeskSession()
    yield s
    del s


def test_module_surface():
    assert vesk_internal.__doc__ == ""
    names = sorted(n for n in dir(vesk_internal) if not n.startswith("__"))
    assert names == ["InternalFault", "VeskCheckpoint", "VeskSession", "_serve_spares",
                     "_spare_runner_pid"]
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
        "diff": "(from_id=0, to_id=None)",
        "install": "(package, *, timeout_ms=None, cancel_fd=None)",
        "execute_python": "(code, *, timeout_ms=None, cancel_fd=None, on_output=None)",
        "execute_bash": "(command, *, timeout_ms=None, cancel_fd=None, on_output=None)",
        "write_file": "(path, content)",
        "delete_file": "(path)",
        "export": "(output_dir, keys=None)",
        "set_label": "(label)",
        "set_checkpoint_label": "(checkpoint_id, label)",
        "rollback": "(id)",
    }
    methods = [n for n in VeskSession.__dict__ if not n.startswith("_")
               and callable(VeskSession.__dict__[n])]
    assert methods == list(expected)  # the method table's order
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
    "call, exc, argument, text",
    [
        (lambda s: s.write_file("k", "text"), TypeError, "content", "Can't extract `str` to `Vec`"),
        (lambda s: s.write_file("k", {1, 2}), TypeError, "content", None),
        (lambda s: s.write_file("k", (i for i in range(3))), TypeError, "content", None),
        (lambda s: s.write_file("k", [1, "a"]), TypeError, "content", None),
        (lambda s: s.write_file("k", [256]), OverflowError, None, None),
        (lambda s: s.write_file("k", [-1]), OverflowError, None, None),
        (lambda s: s.write_file(b"k", b""), TypeError, "path", None),
        (lambda s: s.write_file("\ud800", b""), UnicodeEncodeError, None, None),
        (lambda s: s.rollback(-1), OverflowError, None, None),
        (lambda s: s.rollback(2 ** 64), OverflowError, None, None),
        (lambda s: s.rollback("1"), TypeError, "id", None),
        (lambda s: s.rollback(1.0), TypeError, "id", None),
        (lambda s: s.diff(None), TypeError, "from_id", None),
        (lambda s: s.diff(0, "x"), TypeError, "to_id", None),
        (lambda s: s.commit("a"), TypeError, "keys", "Can't extract `str` to `Vec`"),
        (lambda s: s.commit([1]), TypeError, "keys", None),
        (lambda s: s.export("out", {"a"}), TypeError, "keys", None),
        (lambda s: s.set_checkpoint_label(-1, "x"), OverflowError, None, None),
        (lambda s: s.execute_python(code=1), TypeError, "code", None),
        # Binding errors keep the host's own wording.
        (lambda s: s.commit(), TypeError, None, None),
        (lambda s: s.mount(), TypeError, None, None),
        (lambda s: s.mount("a", "b"), TypeError, None, None),
        (lambda s: s.rollback(id=0, other=1), TypeError, None, None),
    ],
)
def test_argument_errors(session, call, exc, argument, text):
    before = len(session.history)
    with pytest.raises(exc) as info:
        call(session)
    assert type(info.value) is exc
    if argument is not None:
        cause = info.value.__cause__
        assert isinstance(cause, TypeError)
        assert str(info.value) == f"argument '{argument}': {cause}"
        if text is not None:
            assert str(cause) == text
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
