"""Checkpoints handed to Python: what a caller relies on.

A VeskCheckpoint shares the session's immutable contents instead of copying
them, so these tests hold records across everything a session does to its
history and check that none of it shows through, that a record costs its
caller nothing like its workspace, and that it outlives the session.
"""

from __future__ import annotations

import gc
import os

from session_util import make_session, rss_kib, under_address_sanitizer
from vesk_internal import VeskCheckpoint, VeskSession


def _seen(records: list[VeskCheckpoint]) -> list[tuple[int, str, str, dict[str, bytes]]]:
    return [(c.id, c.stdout, c.stderr, c.files) for c in records]


def test_a_handed_out_checkpoint_never_changes(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    s.write_file("a.txt", b"one")
    held = [s.current]
    held.append(s.execute_python("open('b.txt', 'w').write('py')\nprint('out')"))
    held.append(s.execute_bash("echo sh > c.txt; echo err >&2"))
    held.append(s.delete_file("b.txt"))
    seen = _seen(held)
    assert seen[1][1:3] == ("out", "")
    assert seen[2][2] == "err\n" and seen[2][3]["c.txt"] == b"sh\n"

    # A mount changes the current checkpoint's files in place: a record taken
    # of it before keeps the version it was given, and one taken after, its own.
    host = tmp_path / "host"
    host.mkdir()
    (host / "m.txt").write_bytes(b"from host")
    before_mount = s.current
    assert before_mount.id == held[-1].id
    s.mount(str(host / "m.txt"))
    after_mount = s.current
    assert after_mount.id == before_mount.id
    assert "m.txt" not in before_mount.files
    assert after_mount.files["m.txt"] == b"from host"
    s.mount(str(host / "m.txt"))  # again, over the same key
    (host / "m.txt").write_bytes(b"changed on the host")
    s.mount(str(host / "m.txt"))
    assert after_mount.files["m.txt"] == b"from host"

    # Later writes of the same keys, labels, a rollback and new checkpoints
    # appended over the held ids.
    s.write_file("a.txt", b"two")
    s.set_checkpoint_label(1, "labelled")
    s.rollback(1)
    replaced = s.execute_python("open('a.txt', 'w').write('three')\nprint('new')")
    assert replaced.id == 2
    s.execute_bash("echo four > a.txt && rm -f c.txt")
    s.write_file("c.txt", b"five")
    assert _seen(held) == seen
    assert s.history[2].stdout == "new" and s.history[2].files["a.txt"] == b"three"

    # Each read of files is a new dict; changing one changes nothing held.
    files = held[1].files
    files["a.txt"] = b"tampered"
    del files["b.txt"]
    files.clear()
    assert held[1].files is not held[1].files
    assert _seen(held) == seen


def test_history_of_a_large_workspace_costs_what_its_records_are(tmp_path, monkeypatch):
    # 81 checkpoints over a workspace growing to 40 MB: a copy of every
    # checkpoint's files would be about 1.6 GB.
    s = make_session(tmp_path, monkeypatch, max_checkpoints=1000, max_workspace_mb=1024)
    for i in range(80):
        s.write_file(f"data/part_{i:02d}.bin", os.urandom(512 * 1024))
    gc.collect()
    before = rss_kib()
    history = s.history
    held = [s.current for _ in range(100)] + [s.execute_python("pass") for _ in range(5)]
    grew_kib = rss_kib() - before
    assert [c.id for c in history] == list(range(81))
    if not under_address_sanitizer():  # its quarantine keeps freed memory resident
        assert grew_kib < 16 * 1024, f"reading history grew the process by {grew_kib} KiB"
    # Contents are copied when files is read, and only that record's.
    assert len(history[40].files) == 40
    assert held[-1].files == history[-1].files


def test_a_checkpoint_outlives_its_session():
    s = VeskSession()
    s.write_file("kept.txt", b"value")
    ran = s.execute_python("open('made.txt', 'w').write('by python')\nprint('done')")
    history = s.history
    del s
    gc.collect()
    assert ran.files == {"kept.txt": b"value", "made.txt": b"by python"}
    assert ran.stdout == "done"
    assert [c.files for c in history] == [{}, {"kept.txt": b"value"}, ran.files]
