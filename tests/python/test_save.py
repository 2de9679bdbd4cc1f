"""Saving, loading and forking sessions with real runners: what comes back is
the same session (history, labels, interpreter when imaged), forks never see
each other's changes, and a bad file is refused by name."""

from __future__ import annotations

import os

import pytest
from runner_harness import make_wheel
from session_util import make_session

from vesk_internal import VeskSession, _image_of_blob


def observable(s: VeskSession) -> tuple:
    """What a caller can see of a session apart from its interpreter."""
    history = [(c.id, c.stdout, c.stderr, c.exit_code, c.files) for c in s.history]
    diffs = [s.diff(c.id, s.current.id) for c in s.history]
    return history, s.current.id, s.labels(), s.session_label, diffs, s.history_bytes


def test_load_gives_back_the_saved_session(tmp_path, monkeypatch):
    wheel = make_wheel(tmp_path, "saved_pkg", "1.0", {"saved_pkg.py": "VALUE = 'pkg'\n"})
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    s.write_file(f"dist/{wheel.name}", wheel.read_bytes())
    s.install(f"emfs:/workspace/dist/{wheel.name}")
    s.execute_python("import saved_pkg\nkept = [1, 2, 3]\nopen('a.txt', 'w').write('a')\nprint('out')")
    s.execute_bash("echo shell > b.txt; echo warn >&2; exit 3")
    s.set_checkpoint_label(2, "after python")
    s.set_label("my session")
    s.write_file("big.bin", os.urandom(1 << 20))
    s.forget_before(1)
    s.rollback(3)
    path = tmp_path / "s.vesk"
    assert s.save(path) is True
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("s.vesk")) == ["s.vesk"]
    assert (path.stat().st_mode & 0o777) == 0o600

    loaded = VeskSession.load(path)
    assert observable(loaded) == observable(s)
    assert loaded.execute_python("print(kept, saved_pkg.VALUE)").stdout == "[1, 2, 3] pkg"
    # The saved session goes on: imaging did not end its interpreter.
    assert s.execute_python("print(kept)").stdout == "[1, 2, 3]"

    # Without an image the interpreter starts afresh, its packages installed again.
    assert s.save(str(path), interpreter=False) is False
    fresh = VeskSession.load(str(path))
    assert fresh.execute_python(
        "import saved_pkg\nprint(saved_pkg.VALUE, 'kept' in globals())").stdout == "pkg False"


def test_forks_never_see_each_others_changes(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    s.execute_python("v = 'base'\nopen('f.txt', 'w').write('base')")
    s.write_file("g.txt", b"g")
    f = s.fork()
    assert [c.id for c in f.history] == [0, 1, 2] and f.history_bytes == s.history_bytes
    f.execute_python("v = 'fork'\nopen('f.txt', 'w').write('fork')")
    s.execute_python("v = v + '!'\nopen('f.txt', 'a').write('!')")
    assert s.execute_python("print(v, open('f.txt').read())").stdout == "base! base!"
    assert f.execute_python("print(v, open('f.txt').read())").stdout == "fork fork"
    s.delete_file("g.txt")
    assert f.current.files["g.txt"] == b"g"

    # At an older checkpoint: that history, and a fresh interpreter.
    old = s.fork(1)
    assert [c.id for c in old.history] == [0, 1] and old.current.id == 1
    assert old.execute_python("print('v' in globals(), open('f.txt').read())").stdout == "False base"
    with pytest.raises(RuntimeError, match="^checkpoint 99 does not exist$"):
        s.fork(99)


def test_a_bad_file_is_refused_by_name(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    s.write_file("a.txt", b"content")
    path = tmp_path / "s.vesk"
    assert s.save(path) is False  # parking is off: no image to have
    good = path.read_bytes()
    cases = [
        (good[: len(good) // 2], "session file is truncated"),
        (good[:-1] + bytes([good[-1] ^ 1]), "session file is damaged: checksum mismatch"),
        (b"#!/bin/sh\necho not a session\n" * 3, "not a vesk session file"),
    ]
    for data, message in cases:
        path.write_bytes(data)
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            VeskSession.load(path)
    with pytest.raises(RuntimeError, match="^could not read '.*missing.vesk': No such file"):
        VeskSession.load(tmp_path / "missing.vesk")


class Store:
    """A host's store kept by journals, as the server's database would be."""

    def __init__(self) -> None:
        self.rows: dict[int, bytes] = {}
        self.contents: dict[bytes, bytes] = {}
        self.parts = b""
        self.current_id = 0

    def sync(self, s: VeskSession, confirm: bool = True) -> dict:
        j = s._journal()
        for id in j["dropped"]:
            self.rows.pop(id, None)
        self.rows.update(j["written"])
        for digest in j["contents"]:
            if digest not in self.contents:
                self.contents[digest] = s._journal_content(digest)
        if j["parts"] is not None:
            self.parts = j["parts"]
        self.current_id = j["current_id"]
        if confirm:
            s._journal_written()
        return j

    def load(self, image: bytes | None = None, expanded: bool = False) -> VeskSession:
        return VeskSession._from_store(self.current_id, list(self.rows.values()), self.parts,
                                       self.contents.get, image, expanded=expanded)


def test_a_store_kept_by_journals_gives_back_the_session(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    store = Store()
    s.write_file("big.bin", os.urandom(1 << 20))
    store.sync(s)
    s.execute_python("v = 7\nopen('a.txt', 'w').write('a')")
    j = store.sync(s)
    # Only the run's checkpoint and its one new content go out.
    assert [id for id, _ in j["written"]] == [2] and len(j["contents"]) == 1
    assert store.sync(s) == {"dropped": [], "written": [], "contents": [],
                             "current_id": 2, "parts": None}
    s.set_label("stored")
    s.rollback(1)
    s.write_file("b.txt", b"b")  # makes id 2 anew; not confirmed, so sent again below
    store.sync(s, confirm=False)
    s.forget_before(1)
    store.sync(s)
    image = s._image()
    assert image is not None
    t = store.load(image)
    assert observable(t) == observable(s)
    assert t.execute_python("print(v)").stdout == "7"
    with pytest.raises(RuntimeError, match="^stored checkpoint is damaged: "):
        VeskSession._from_store(2, [b"\0"], store.parts, store.contents.get)
    # The image itself, as a store that keeps it expanded gives it: resumed as
    # it is, saved compressed, and refused by the runner when damaged.
    expanded = _image_of_blob(image)
    u = store.load([expanded[:100], expanded[100:]], expanded=True)  # as pieces too
    u.save(tmp_path / "u.vesk")
    assert u.execute_python("print(v)").stdout == "7"
    assert VeskSession.load(tmp_path / "u.vesk").execute_python("print(v)").stdout == "7"
    damaged = store.load(bytes([expanded[0] ^ 0x5a]) + expanded[1:], expanded=True)
    with pytest.raises(RuntimeError, match="^the session's parked interpreter could not be restored"):
        damaged.execute_python("print(v)")
    assert damaged.execute_python("print('v' in globals())").stdout == "False"
