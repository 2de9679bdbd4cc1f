"""Host exchange against a real git repository: a mounted tree comes back
whole, and an edit made on the host meanwhile is never overwritten."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

from session_util import make_session

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")

GIT = ["git", "-c", "user.name=t", "-c", "user.email=t@example.org"]


def git(repo: Path, *args: str) -> str:
    done = subprocess.run([*GIT, *args], cwd=repo, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, (args, done.stdout, done.stderr)
    return done.stdout


def make_repository(path: Path) -> Path:
    (path / "src").mkdir(parents=True)
    git(path, "init", "-q")
    (path / "README").write_text("readme\n")
    (path / "src" / "app.py").write_text("print('v1')\n")
    git(path, "add", ".")
    git(path, "commit", "-qm", "init")
    return path


def test_a_mounted_repository_comes_back_whole(tmp_path, monkeypatch):
    repo = make_repository(tmp_path / "repo")
    s = make_session(tmp_path, monkeypatch)
    mounted = s.mount(str(repo))
    assert ".git/HEAD" in mounted and "src/app.py" in mounted

    s.execute_bash("sed -i s/v1/v2/ src/app.py && echo new > added.txt && git add added.txt && "
                   "git -c user.name=t -c user.email=t@example.org commit -qam x")
    # The files that came from the mount go back with commit, the new ones
    # (the commit's objects, the new file) with export into the same tree.
    written = s.commit(None)
    assert str(repo / "src" / "app.py") in written and str(repo / ".git" / "index") in written
    new_keys = sorted(set(s.current.files) - set(mounted))
    assert "added.txt" in new_keys and any(k.startswith(".git/objects/") for k in new_keys)
    s.export(str(repo), new_keys)

    assert git(repo, "fsck", "--full", "--strict").strip() == ""
    assert git(repo, "status", "--porcelain") == ""
    assert git(repo, "log", "--format=%s") == "x\ninit\n"
    assert (repo / "src" / "app.py").read_text() == "print('v2')\n"


def test_commit_refuses_to_overwrite_a_file_edited_on_the_host(tmp_path, monkeypatch):
    repo = make_repository(tmp_path / "repo")
    s = make_session(tmp_path, monkeypatch)
    s.mount(str(repo / "src"))
    s.write_file("app.py", b"print('session')\n")
    (repo / "src" / "app.py").write_text("print('host')\n")

    with pytest.raises(RuntimeError) as info:
        s.commit(None)
    assert str(info.value) == (
        f"conflict on 'app.py': '{repo.resolve()}/src/app.py' changed since it was mounted "
        "or last committed; nothing was written")
    assert (repo / "src" / "app.py").read_text() == "print('host')\n"
    # Mounting again takes the host's edit in; then the session's own edit
    # goes back.
    s.mount(str(repo / "src"))
    s.write_file("app.py", b"print('both')\n")
    assert s.commit(["app.py"]) == [f"{repo.resolve()}/src/app.py"]
    assert (repo / "src" / "app.py").read_text() == "print('both')\n"
