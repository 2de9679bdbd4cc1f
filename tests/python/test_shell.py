"""Shell commands against what surrounds the host process: its terminal and
the work directories of other sessions, which run as the same user."""

from __future__ import annotations

import gc
import hashlib
import os
import random
import select
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from session_util import make_session, work_dirs

pytestmark = pytest.mark.skipif(shutil.which("bwrap") is None, reason="bwrap is not installed")


def fresh_dir_on_disk() -> Path:
    """A new directory under /var/tmp: on disk, and outside the /tmp that the
    sandbox replaces anyway."""
    return Path(tempfile.mkdtemp(prefix="vesk-test-", dir="/var/tmp"))


def host_env(**changes: str) -> dict[str, str]:
    env = dict(os.environ)
    env.pop("VESK_CONFIG", None)  # the defaults, unless changed
    env.update(changes)
    return env


def test_command_has_no_controlling_terminal():
    # A host process in a terminal session: a command there could open
    # /dev/tty and type into the terminal with TIOCSTI.
    if shutil.which("script") is None:
        pytest.skip("script (util-linux) is needed for a pseudo-terminal")
    program = textwrap.dedent("""
        import vesk_internal
        with open("/dev/tty", "rb"):
            print("host-has-tty")
        s = vesk_internal.VeskSession()
        cp = s.execute_bash(
            "if ( : < /dev/tty ) 2>/dev/null; then echo command-has-tty; "
            "else echo command-has-no-tty; fi; "
            "python3 -c 'import fcntl, termios; "
            "fcntl.ioctl(open(\\"/dev/tty\\", \\"rb\\"), termios.TIOCSTI, b\\"#\\")' "
            "2>/dev/null && echo injected || echo not-injected")
        print("result:", cp.stdout.replace("\\n", " "))
    """)
    work = fresh_dir_on_disk()
    try:
        (work / "tty_probe.py").write_text(program)
        done = subprocess.run(
            ["script", "-qec", f"{sys.executable} {work / 'tty_probe.py'}", "/dev/null"],
            env=host_env(), stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    finally:
        shutil.rmtree(work)
    out = done.stdout.decode(errors="replace").replace("\r", "").splitlines()
    assert done.returncode == 0, (out, done.stderr)
    # The runner's standard error shares the terminal, so other lines may
    # come in between.
    assert "host-has-tty" in out, out
    assert [line[line.index("result:"):] for line in out if "result:" in line] == [
        "result: command-has-no-tty not-injected "], out


def test_other_sessions_work_directories_are_hidden(tmp_path, monkeypatch):
    """Session A's command holds its work directory open (blocked on a FIFO);
    session B, in this process, with the same on-disk TMPDIR, looks for it."""
    tmpdir = fresh_dir_on_disk()
    fifos = fresh_dir_on_disk()
    where, go = fifos / "where", fifos / "go"
    os.mkfifo(where)
    os.mkfifo(go)
    # Held open for reading and writing, neither end ever blocks the other
    # side, and A's line waits in the FIFO until read.
    where_fd = os.open(where, os.O_RDWR | os.O_NONBLOCK)
    go_fd = os.open(go, os.O_RDWR)
    program = textwrap.dedent(f"""
        import vesk_internal
        s = vesk_internal.VeskSession()
        s.write_file("secret.txt", b"secret of A")
        cp = s.execute_bash("pwd > {where}; read line < {go}; cat secret.txt")
        print(cp.stdout, end="")
    """)
    monkeypatch.setenv("TMPDIR", str(tmpdir))
    b = make_session(tmp_path, monkeypatch, bash_timeout_ms=300000)
    # A waits for the test as long as the test may wait for anything.
    a_config = fifos / "a.toml"
    a_config.write_text("bash_timeout_ms = 300000\n")
    a = subprocess.Popen([sys.executable, "-c", program],
                         env=host_env(TMPDIR=str(tmpdir), VESK_CONFIG=str(a_config)),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        ready, _, _ = select.select([where_fd], [], [], 300)
        assert ready, "session A's command never started"
        a_dir = Path(os.read(where_fd, 4096).decode().strip())
        # On the host A's file is there, in A's own directory below vesk's
        # root in the shared TMPDIR.
        assert a_dir.parent.parent == tmpdir.resolve() / f"vesk-{os.geteuid()}"
        assert (a_dir / "secret.txt").read_bytes() == b"secret of A"

        cp = b.execute_bash(
            f"ls -A {a_dir} >/dev/null 2>&1 && echo listed || echo not-listed; "
            f"cat {a_dir}/secret.txt 2>/dev/null || echo not-read; "
            f"ls -A {tmpdir}; ls -A {a_dir.parent.parent}; pwd")
        lines = cp.stdout.splitlines()
        assert lines[:2] == ["not-listed", "not-read"], cp.stdout
        # B's TMPDIR holds the way to its own work directory and nothing
        # else: not A's, not either runner's files.
        b_dir = Path(lines[-1])
        assert lines[2:] == [b_dir.parent.parent.name, b_dir.parent.name, str(b_dir)], cp.stdout
        assert b_dir.parent.parent == a_dir.parent.parent and b_dir.parent != a_dir.parent
    finally:
        os.write(go_fd, b"go\n")
        out, err = a.communicate(timeout=300)
        os.close(where_fd)
        os.close(go_fd)
        shutil.rmtree(fifos)
        shutil.rmtree(tmpdir)
    assert (a.returncode, out) == (0, b"secret of A"), err


LISTING = ("find . -mindepth 1 -printf '%y %P\\n' | LC_ALL=C sort -k2; "
           "find . -type f -printf '%P\\n' | LC_ALL=C sort | while read -r f; do "
           "printf '%s %s\\n' \"$f\" \"$(sha256sum < \"$f\" | cut -c1-64)\"; done; echo --")


def listing_of(files: dict[str, bytes]) -> str:
    """What LISTING prints in a fresh directory holding `files`."""
    entries = {k: "f" for k in files}
    for key in files:
        parts = key.split("/")
        for i in range(1, len(parts)):
            entries["/".join(parts[:i])] = "d"
    lines = [f"{kind} {name}" for name, kind in sorted(entries.items())]
    lines += [f"{k} {hashlib.sha256(v).hexdigest()}" for k, v in sorted(files.items())]
    return "\n".join(lines + ["--"]) + "\n"


PROBE = ("for p in {paths}; do "
         "if cat \"$p\" >/dev/null 2>&1 || ls -A \"$p\" >/dev/null 2>&1; "
         "then echo \"seen $p\"; fi; done; echo probed")


def probe(session, paths: list[str]) -> list[str]:
    """What of `paths` a command of `session` can read or list."""
    quoted = " ".join(f"'{p}'" for p in paths)
    out = session.execute_bash(PROBE.format(paths=quoted)).stdout.splitlines()
    assert out[-1] == "probed", out
    return out[:-1]


def test_no_session_sees_another_whatever_its_directories(tmp_path, monkeypatch):
    """Sessions whose work directories have different parents: in one
    process, one on /var/tmp (its workspace limit is more than /dev/shm can
    hold) beside one on /dev/shm; and two processes with different TMPDIRs,
    where neither can know the other's. No command sees or finds another
    session's work directory, nor a runner's files (the paths on its command
    line)."""
    monkeypatch.delenv("TMPDIR", raising=False)
    for name in "abc":
        (tmp_path / name).mkdir()
    on_disk = make_session(tmp_path / "a", monkeypatch, max_workspace_mb=1 << 40)
    in_memory = make_session(tmp_path / "b", monkeypatch)
    dirs = {}
    for name, s in (("disk", on_disk), ("memory", in_memory)):
        s.write_file("secret.txt", name.encode())
        dirs[name] = Path(s.execute_bash("pwd").stdout.strip())
    assert dirs["disk"].parts[1:3] == ("var", "tmp"), dirs
    assert dirs["memory"].parts[1:3] == ("dev", "shm"), dirs
    assert probe(on_disk, [f"{dirs['memory']}/secret.txt", str(dirs["memory"])]) == []
    assert probe(in_memory, [f"{dirs['disk']}/secret.txt", str(dirs["disk"])]) == []

    # Another process, with a TMPDIR of its own, keeps its session alive.
    other_tmp = fresh_dir_on_disk()
    program = textwrap.dedent("""
        import os, sys, vesk_internal
        s = vesk_internal.VeskSession()
        s.write_file("secret.txt", b"other")
        print(s.execute_bash("pwd").stdout.strip())
        for pid in os.listdir("/proc"):
            try:
                args = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\\0")
            except OSError:
                continue
            if any(a.endswith(b".ts") and b"vesk" in a for a in args) and b"run" in args:
                if open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[1] != str(os.getpid()):
                    continue
                # The runner's script and its own directory (not Deno's files).
                print("\\n".join(a.decode() for a in args
                                 if a.startswith(b"/") and b"/vesk" in a and b"deno" not in a))
        print("end", flush=True)
        sys.stdin.read()
    """)
    other = subprocess.Popen([sys.executable, "-c", program],
                             env=host_env(TMPDIR=str(other_tmp)), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        lines = []
        for line in other.stdout:
            if line.strip() == "end":
                break
            lines.append(line.strip())
        other_dir, *runner_paths = lines
        assert Path(other_dir).is_relative_to(other_tmp.resolve()), lines
        seen = [p for p in runner_paths if os.path.exists(p)]
        mine_tmp = fresh_dir_on_disk()
        monkeypatch.setenv("TMPDIR", str(mine_tmp))
        mine = make_session(tmp_path / "c", monkeypatch)
        try:
            # The runner's files are not on the host at all; and its work
            # directory, below a TMPDIR this process cannot know, cannot be
            # found from it: the root there shows no names, and the name of
            # the directory below it is 128 random bits.
            for s in (mine, on_disk):
                assert probe(s, seen) == []
                found = s.execute_bash(
                    f"ls -A {other_tmp}; ls -A {other_tmp}/vesk-* 2>&1 >/dev/null | wc -l; "
                    f"find {other_tmp} -name 'vesk-bash-*' 2>/dev/null | wc -l").stdout
                assert found.split() == [f"vesk-{os.geteuid()}", "1", "0"], found
        finally:
            del mine
            gc.collect()
            shutil.rmtree(mine_tmp)
    finally:
        other.stdin.close()
        other.wait(timeout=120)
        shutil.rmtree(other_tmp)


def test_shell_commands_see_exactly_what_edits_runs_and_rollbacks_left(tmp_path, monkeypatch):
    """The session keeps its shell directory between commands; whatever
    happened in between (an edit, a Python run, a rollback, a failed command)
    the next command sees exactly the current checkpoint, and a Python run
    exactly what the last command left."""
    tmpdir = fresh_dir_on_disk()
    monkeypatch.setenv("TMPDIR", str(tmpdir))
    rng = random.Random(1207)
    try:
        s = make_session(tmp_path, monkeypatch, max_workspace_mb=1)
        names = ["a.txt", "b.txt", "d/c.txt", "d/e/f.txt"]
        for step in range(40):
            files = s.current.files
            name = rng.choice(names)
            text = "".join(rng.choice("xyz") for _ in range(rng.randint(1, 8)))
            action = rng.randrange(7)
            if action == 0:
                s.write_file(name, text.encode())
                continue
            if action == 1 and files:
                s.delete_file(rng.choice(sorted(files)))
                continue
            if action == 2:
                s.rollback(rng.randrange(len(s.history)))
                continue
            if action == 3:
                cp = s.execute_python(
                    f"import os\nos.makedirs(os.path.dirname('{name}') or '.', exist_ok=True)\n"
                    f"open('{name}', 'a').write('{text}')\n")
                expected = dict(files)
                expected[name] = files.get(name, b"") + text.encode()
                assert cp.files == expected, step
                continue
            if action == 4:
                # Fails after leaving files behind: nothing of it may stay.
                with pytest.raises(RuntimeError, match="exceeds"):
                    s.execute_bash("echo junk > a.txt; mkfifo p; head -c 2000000 /dev/zero > big")
                continue
            if action == 5 and len(files) >= 2:
                first, second = rng.sample(sorted(files), 2)
                command = f"ln -f {first} {second}"
                expected = dict(files)
                expected[second] = files[first]
            else:
                command = f"mkdir -p $(dirname {name}) && printf {text} >> {name}"
                expected = dict(files)
                expected[name] = files.get(name, b"") + text.encode()
            cp = s.execute_bash(f"{LISTING}; {command}")
            assert cp.stdout == listing_of(files), (step, command)
            assert cp.files == expected, (step, command)
            # The next Python run reads what the command left.
            seen = s.execute_python(
                "import os\nfor root, _, names in sorted(os.walk('.')):\n"
                "    for n in sorted(names):\n"
                "        p = os.path.join(root, n)[2:]\n"
                "        print(p, open(p, 'rb').read().hex())\n")
            assert seen.stdout.rstrip("\n") == "\n".join(
                f"{k} {v.hex()}" for k, v in sorted(expected.items())), step
        # The kept directory is private and goes with its session.
        kept = work_dirs(tmpdir)
        assert len(kept) == 1
        assert all(p.stat().st_mode & 0o777 == 0o700 for p in kept)
        del s
        gc.collect()
        assert work_dirs(tmpdir) == []
    finally:
        shutil.rmtree(tmpdir)


def test_directory_swaps_reach_the_checkpoint_and_rollbacks_undo_them(tmp_path, monkeypatch):
    """Renaming a directory tells the files in it nothing. A swap of two
    directories, or a directory put in another's place, must still reach the
    checkpoint, and a rollback to before it must undo it for the next
    command: each command sees exactly the current checkpoint."""
    tmpdir = fresh_dir_on_disk()
    monkeypatch.setenv("TMPDIR", str(tmpdir))
    failing = b"echo 'running real tests'; exit 1\n"
    passing = b"echo 'running real tests'; exit 0\n"
    try:
        s = make_session(tmp_path, monkeypatch)
        s.write_file("tests/test_main.sh", failing)
        s.execute_bash("mkdir -p docs/examples && printf \"echo 'running real tests'; exit 0\\n\" "
                       "> docs/examples/test_main.sh")
        s.execute_bash("true")
        cp = s.execute_bash("mv tests t && mv docs/examples tests && mv t docs/examples")
        assert cp.files == {"tests/test_main.sh": passing, "docs/examples/test_main.sh": failing}
        assert "+echo 'running real tests'; exit 0" in s.diff(cp.id - 1, cp.id)
        assert s.execute_bash("sh tests/test_main.sh; echo $?").stdout == "running real tests\n0\n"

        s.rollback(cp.id - 1)
        before = s.current.files
        assert s.execute_bash(LISTING).stdout == listing_of(before)
        assert s.execute_bash("sh tests/test_main.sh; echo $?").stdout == "running real tests\n1\n"

        # A tree put in place of another, the old one kept aside.
        s.write_file("src/main.c", b"old")
        s.write_file("new/main.c", b"new")
        s.execute_bash("true")
        swapped = s.execute_bash("mv src src.bak && mv new src")
        assert {k: v for k, v in swapped.files.items() if "main.c" in k} == {
            "src/main.c": b"new", "src.bak/main.c": b"old"}
        s.rollback(swapped.id - 1)
        assert s.execute_bash(LISTING).stdout == listing_of(s.current.files)
    finally:
        shutil.rmtree(tmpdir)


INOTIFY_PROGRAM = r'''
import ctypes, gc, os, sys
import vesk_internal

def watches_held():
    """Inotify watches held by this process, as the kernel lists them."""
    held = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            with open(f"/proc/self/fdinfo/{fd}") as info:
                held += info.read().count("inotify wd:")
        except OSError:
            pass
    return held

with open("/proc/sys/user/max_inotify_watches", "w") as limit:
    limit.write("400")
make = ("for i in $(seq 0 599); do mkdir -p d$((i % 10)); printf x > d$((i % 10))/f$i; done")
a, b = vesk_internal.VeskSession(), vesk_internal.VeskSession()
for s in (a, b):
    s.execute_bash(make)
    s.execute_bash("true")
print("held", watches_held())

# Another program of the user's, here in the same process.
libc = ctypes.CDLL(None, use_errno=True)
other = libc.inotify_init1(0)
taken = 0
for i in range(250):
    path = os.path.join(sys.argv[1], f"w{i}")
    open(path, "w").close()
    if libc.inotify_add_watch(other, path.encode(), 0x2) < 0:
        print("other program:", os.strerror(ctypes.get_errno()))
        break
    taken += 1
print("other", taken)
os.close(other)

# Every file changed in place, with its size and the second of its mtime
# kept: watched or not, each must be seen.
cp = a.execute_bash("for i in $(seq 0 599); do printf y > d$((i % 10))/f$i; done; "
                    "touch -d @1000000000 d*/*")
print("changed", sum(v == b"y" for v in cp.files.values()), len(cp.files))
del a, b
gc.collect()
print("after", watches_held())
'''


def test_kept_directories_leave_most_inotify_watches_to_other_programs(tmp_path):
    """A user may hold only so many inotify watches, and every program of
    the user draws on them. Sessions whose workspaces have more files than
    that hold a quarter of them at most, all together, and still see every
    change. Run in a user namespace of its own whose limit is 400 watches."""
    if shutil.which("unshare") is None:
        pytest.skip("unshare (util-linux) is needed for a user namespace")
    probe = subprocess.run(["unshare", "-Ur", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"no user namespace here: {probe.stderr!r}")
    (tmp_path / "program.py").write_text(INOTIFY_PROGRAM)
    host = tmp_path / "host"
    host.mkdir()
    tmpdir = fresh_dir_on_disk()
    try:
        done = subprocess.run(
            ["unshare", "-Ur", sys.executable, str(tmp_path / "program.py"), str(host)],
            env=host_env(TMPDIR=str(tmpdir)), stdin=subprocess.DEVNULL, capture_output=True,
            timeout=600)
    finally:
        shutil.rmtree(tmpdir)
    out = done.stdout.decode().splitlines()
    assert done.returncode == 0, (out, done.stderr.decode()[-2000:])
    held = int(out[0].split()[1])
    assert 0 < held <= 100, out
    assert out[1:] == ["other 250", "changed 600 600", "after 0"], out


def test_a_subreaper_host_is_left_no_zombie_per_command():
    # A host that is a subreaper (as vesk serve's workers are) inherits each
    # sandbox's first process when bubblewrap ends; unreaped, every command
    # and every runner would leave a zombie for the host's lifetime.
    script = textwrap.dedent("""
        import ctypes, os, vesk_internal
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        s = vesk_internal.VeskSession()
        for i in range(25):
            s.execute_bash("true" if i % 2 else "sleep 0.01 & echo started")
        s.execute_python("pass")
        s.execute_bash("true")
        me = os.getpid()
        children = []
        for task in os.listdir(f"/proc/{me}/task"):
            try:  # a thread may end between listing and reading
                children += open(f"/proc/{me}/task/{task}/children").read().split()
            except FileNotFoundError:
                pass
        states = []
        for c in children:
            try:  # one reaped since it was listed is no zombie
                states.append(open(f"/proc/{c}/stat").read().rsplit(") ", 1)[1][0])
            except FileNotFoundError:
                pass
        print(states.count("Z"))
    """)
    done = subprocess.run([sys.executable, "-c", script], env=host_env(), capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    # What the last command or two left may not have been reaped yet.
    assert int(done.stdout) <= 2
