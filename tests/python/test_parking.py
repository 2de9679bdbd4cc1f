"""Parking: an idle session's interpreter is imaged, its runner ends, and the
next call that needs it resumes from the image as if nothing had happened.
Real runners throughout; short idle times, and waits on what can be seen
(the kept image, the runner processes), never on the clock."""

from __future__ import annotations

import gc
import os
import random
import signal
import subprocess
import sys

import pytest
from mcp_util import alive
from runner_harness import make_wheel
from session_util import RESET_LINE, make_session, runner_pids, snapshot, thread_count, wait_until

import vesk_internal
from vesk_internal import VeskSession

# A resume or a park on a busy machine may take seconds: time-outs are generous.
WAIT_S = 120.0


def parked(session: VeskSession) -> bool:
    return session._parked_size > 0


def wait_parked(session: VeskSession) -> None:
    assert wait_until(lambda: parked(session), timeout=WAIT_S), "the session did not park"


def interpreter_state(session: VeskSession) -> str:
    """The user's globals as text: names, types and values (addresses aside)."""
    return session.execute_python(
        "import re as _re\n"
        "print(sorted((k, type(v).__name__, _re.sub(' at 0x[0-9a-f]+', '', repr(v)[:200]))"
        " for k, v in globals().items() if not k.startswith('_')))"
    ).stdout


# Steps of the model test: each is applied to both sessions alike. Python runs
# use the interpreter's state (counters, seeded random numbers, the monotonic
# clock, imported modules, files outside the workspace) so that a resume that
# lost or changed any of it shows.
PYTHON_STEPS = [
    "n = globals().get('n', 0) + 1\nprint('n', n)",
    "import random\nrng = globals().get('rng') or random.Random(7)\nprint(rng.random())",
    "import json, re, math, collections\nprint(json.dumps({'k': math.pi}), re.sub('a', 'b', 'aa'))",
    "data = globals().get('data', []) + [list(range(1000))]\nprint(len(data), sum(map(sum, data)))",
    "def twice(x):\n    return 2 * x\nprint(twice(21))",
    "import time\n_t = time.monotonic()\nprint(_t >= globals().get('_last_t', 0))\n_last_t = _t",
    "import os\nprint(sorted(os.listdir('.')))",
    "open('note.txt', 'a').write('line\\n')\nprint(open('note.txt').read().count('line'))",
    "import os\nos.makedirs('/tmp/own', exist_ok=True)\n"
    "open('/tmp/own/count', 'a').write('x')\nprint(open('/tmp/own/count').read())",
    "import sys\nprint('to stderr', file=sys.stderr)",
    "raise ValueError('on purpose')",
    "print(twice(n) if 'twice' in globals() and 'n' in globals() else 'none')",
    "import asyncio\nasync def main():\n    await asyncio.sleep(0)\n    return 5\nprint(await main())",
    "import sys\nprint(sys.path[:2], sorted(m for m in sys.modules if m in ('json', 're', 'micropip')))",
]


def apply(session: VeskSession, step: tuple) -> tuple:
    """One step's observable outcome: output, error and the files after it."""
    kind, arg = step
    try:
        if kind == "python":
            cp = session.execute_python(arg)
            result = ("ok", cp.stdout, cp.stderr)
        elif kind == "bash":
            cp = session.execute_bash(arg)
            result = ("ok", cp.stdout, cp.stderr)
        elif kind == "write":
            session.write_file(arg[0], arg[1])
            result = ("ok",)
        elif kind == "delete":
            result = ("ok", session.delete_file(arg).id)
        elif kind == "rollback":
            session.rollback(min(arg, len(session.history) - 1))
            result = ("ok",)
        else:
            result = ("ok", session.diff(0))
    except RuntimeError as error:
        result = ("error", str(error))
    return result, session.current.files


def test_parked_and_live_sessions_agree_on_every_result(tmp_path, monkeypatch):
    """The model: one session parked and resumed at random points, one never
    parked, given the same calls."""
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    live = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    moving = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    parks = 0
    for i in range(28):
        roll = rng.random()
        if roll < 0.6:
            step = ("python", rng.choice(PYTHON_STEPS))
        elif roll < 0.7:
            step = ("bash", rng.choice(["ls -1", "cat note.txt 2>&1; echo done", "echo x >> shell.txt"]))
        elif roll < 0.8:
            step = ("write", (rng.choice(["a.txt", "d/b.bin"]), bytes(rng.randrange(256) for _ in range(8))))
        elif roll < 0.85:
            step = ("delete", rng.choice(["a.txt", "note.txt", "missing.txt"]))
        elif roll < 0.92:
            step = ("rollback", rng.randrange(0, 6))
        else:
            step = ("diff", None)
        if rng.random() < 0.3 and not parked(moving):
            assert moving._park() == "parked", f"seed {seed}"
            parks += 1
        assert apply(moving, step) == apply(live, step), f"seed {seed}, step {i}: {step}"
    if not parked(moving):
        assert moving._park() == "parked"
        parks += 1
    assert snapshot(moving) == snapshot(live), f"seed {seed}"
    assert interpreter_state(moving) == interpreter_state(live), f"seed {seed}"
    assert parks >= 1


def test_an_idle_session_parks_works_while_parked_and_resumes(tmp_path, monkeypatch, capfd):
    wheel = make_wheel(tmp_path, "parked_pkg", "1.0", {"parked_pkg.py": "VALUE = 'pkg'\n"})
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=1)
    s.write_file(f"dist/{wheel.name}", wheel.read_bytes())
    s.install(f"emfs:/workspace/dist/{wheel.name}")
    s.execute_python("import parked_pkg\nkept = {'a': [1, 2, 3]}\nopen('seen.txt', 'w').write('1')")
    before = runner_pids()
    wait_parked(s)
    assert wait_until(lambda: not (runner_pids() & before), timeout=WAIT_S)

    # Everything but Python and installs works without a runner.
    s.write_file("new.txt", b"new")
    s.delete_file(f"dist/{wheel.name}")
    bash = s.execute_bash("cat seen.txt new.txt")
    assert bash.stdout == "1new"
    s.set_label("parked")
    s.set_checkpoint_label(1, "one")
    assert "+new" in s.diff(0)
    s.export(str(tmp_path / "out"))
    assert (tmp_path / "out" / "new.txt").read_bytes() == b"new"
    s.rollback(len(s.history) - 1)
    assert parked(s) and not runner_pids() & before and len(runner_pids()) == 0

    # The interpreter comes back with its state, the whole workspace (written
    # while parked included) and its package, both imported and importable.
    cp = s.execute_python(
        "import importlib, sys, os\ndel sys.modules['parked_pkg']\n"
        "print(kept, importlib.import_module('parked_pkg').VALUE, sorted(os.listdir('.')))")
    assert cp.stdout == "{'a': [1, 2, 3]} pkg ['new.txt', 'seen.txt']"
    assert not parked(s)
    # It parks again after another idle time: a chain.
    wait_parked(s)
    assert s.execute_python("print(kept['a'][-1])").stdout == "3"
    # Nothing failed to come back (a reinstall failure is a "vesk: " line).
    assert not [l for l in capfd.readouterr().err.splitlines() if l.startswith("vesk: ")]


# Each case: code that leaves state an image cannot carry, the reason the
# runner gives, and code that lets it go again.
LIVE_STATE = [
    ("import js\nheld = js.Object.new()", "references into JavaScript", "del held"),
    # A cancelled asyncio timer still has its JavaScript timer pending: the
    # session stays live until the time it was set for.
    ("import asyncio\nlater = asyncio.get_event_loop().call_later(3600, print, 'late')",
     "work still scheduled", None),
    ("import asyncio\nasync def forever():\n    await asyncio.Event().wait()\n"
     "task = asyncio.ensure_future(forever())", "work still scheduled", "task.cancel()"),
    ("f = open('/tmp/open.txt', 'w')\nf.write('x')", "files still open", "f.close()"),
    # Work that is no timer of setTimeout's: an abort signal's time-out, a
    # wait on shared memory, a Worker that would post later.
    ("from pyodide.code import run_js\nrun_js('globalThis.sig = AbortSignal.timeout(3600000)')",
     "work still scheduled", None),
    ("from pyodide.code import run_js\nrun_js('globalThis.ia = new Int32Array(new SharedArrayBuffer(4));"
     " Atomics.waitAsync(ia, 0, 0, 3600000); 0')",
     "work still scheduled", "run_js('Atomics.notify(ia, 0)')"),
    ("from pyodide.code import run_js\nrun_js(\"globalThis.w = new Worker(URL.createObjectURL(new Blob("
     "['setTimeout(() => postMessage(1), 3600000)'], {type: 'text/javascript'})), {type: 'module'}); 0\")",
     "work still scheduled", "run_js('w.terminate()')"),
    # Random bytes do not compress: the image would pass max_park_image_mb
    # (and so it stays once the file is gone: freed memory keeps its bytes).
    ("import os\nopen('/tmp/big', 'wb').write(os.urandom(80 << 20))",
     "its image passes max_park_image_mb (64 MiB)", None),
]


@pytest.mark.parametrize("keep, reason, release", LIVE_STATE,
                         ids=["js", "timer", "task", "file", "abort", "wait", "worker", "large"])
def test_state_that_cannot_be_imaged_keeps_the_session_live(tmp_path, monkeypatch, keep, reason,
                                                           release):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    s.execute_python("value = 41\n" + keep)
    pid = runner_pids()
    refusal = s._park()
    assert refusal.startswith("not parked: " + reason), refusal
    # Nothing was lost: the same runner, the same state.
    assert runner_pids() == pid and not parked(s)
    assert s.execute_python("value += 1\nprint(value)").stdout == "42"
    if release is None:
        return
    s.execute_python(release)
    assert s._park() == "parked", reason
    assert s.execute_python("print(value)").stdout == "42"


def test_a_refused_park_is_tried_again_after_another_idle_time(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=1)
    s.execute_python("f = open('/tmp/held', 'w')")
    # The parker asks, is refused, and asks again each idle time; once the
    # file is closed (a call, which starts the idle time anew) it parks.
    assert not wait_until(lambda: parked(s), timeout=3)
    s.execute_python("f.close()\nx = 'after'")
    wait_parked(s)
    assert s.execute_python("print(x)").stdout == "after"


@pytest.mark.parametrize("keep_frame", [False, True], ids=["frame", "image"])
def test_a_damaged_image_gives_a_clear_error_and_a_fresh_interpreter(tmp_path, monkeypatch,
                                                                   keep_frame):
    wheel = make_wheel(tmp_path, "kept_pkg", "1.0", {"kept_pkg.py": "VALUE = 'still'\n"})
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    s.write_file(f"dist/{wheel.name}", wheel.read_bytes())
    s.install(f"emfs:/workspace/dist/{wheel.name}")
    s.execute_python("lost = 1\nopen('kept.txt', 'w').write('kept')")
    assert s._park() == "parked"
    s._damage_parked_image(keep_frame)
    with pytest.raises(RuntimeError, match=r"^the session's parked interpreter could not be restored "
                       rf"\(.+\); it goes on with a fresh one\n{RESET_LINE}$"):
        s.execute_python("print('never runs')")
    assert not parked(s) and len(runner_pids()) == 1
    cp = s.execute_python("import kept_pkg\nprint(kept_pkg.VALUE, open('kept.txt').read(), "
                          "'lost' in globals())")
    assert cp.stdout == "still kept False"
    # The fresh interpreter parks and resumes as any other.
    s.execute_python("again = 2")
    assert s._park() == "parked"
    assert s.execute_python("print(again)").stdout == "2"


# What code in a session may do to the functions its runner keeps in the
# interpreter (and a resumed runner finds there again).
HELPER_DAMAGE = [
    "import sys\ndel sys.modules['_vesk_runner']",
    "import sys\nsys.modules['_vesk_runner'].run = 5\ndel sys.modules['_vesk_runner'].flush",
]


@pytest.mark.parametrize("damage", HELPER_DAMAGE, ids=["gone", "not-callable"])
def test_a_resume_makes_the_runners_helpers_afresh_when_the_session_broke_them(
        tmp_path, monkeypatch, damage):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    s.execute_python("kept = 'yes'\n" + damage)
    assert s._park() == "parked"
    cp = s.execute_python("import sys\nprint(kept)\nprint('err', file=sys.stderr)")
    assert not parked(s) and (cp.stdout, cp.stderr) == ("yes", "err")
    # Errors still come as CPython prints them, without the runner's frames.
    with pytest.raises(RuntimeError, match=r'^Traceback[^\n]*\n  File "<exec>", line 1, in <module>\n'
                       r"KeyError: 1$"):
        s.execute_python("raise KeyError(1)")
    assert s._park() == "parked"
    assert s.execute_python("print(kept)").stdout == "yes"
    # Nothing of it reaches a session started now.
    other = VeskSession()
    assert other.execute_python("print(1)").stdout == "1"


def test_limits_hold_after_a_resume(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600, exec_timeout_ms=4000)
    s.execute_python("x = 1")
    assert s._park() == "parked"
    with pytest.raises(RuntimeError, match=rf"^execution timed out after 4000ms\n{RESET_LINE}$"):
        s.execute_python("while True: pass")
    # As after any time-out: a fresh interpreter, files kept.
    assert s.execute_python("print('x' in globals())").stdout == "False"
    # No network for a resumed runner either, and no host files.
    assert s._park() == "parked"
    cp = s.execute_python(
        "import os\ntry:\n    open('/etc/hostname').read()\n    print('read')\n"
        "except OSError:\n    print('no host')\n"
        "from pyodide.http import pyfetch\ntry:\n    await pyfetch('http://127.0.0.1:9/')\n"
        "    print('net')\nexcept Exception:\n    print('no net')")
    assert cp.stdout == "no host\nno net"


def test_a_parked_session_dropped_leaves_nothing_behind(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=1)
    s.execute_python("x = bytes(1 << 20)")
    wait_parked(s)
    threads = thread_count()
    del s
    gc.collect()
    assert runner_pids() == set()
    # At most the parker's own thread, which ends once it has nothing to do.
    assert thread_count() <= threads


def test_many_sessions_park_and_resume_at_once(tmp_path, monkeypatch):
    sessions = [make_session(tmp_path, monkeypatch, park_after_idle_secs=1) for _ in range(5)]
    for i, s in enumerate(sessions):
        s.execute_python(f"mine = {i}")
    for s in sessions:
        wait_parked(s)
    assert wait_until(lambda: runner_pids() == set(), timeout=WAIT_S)
    # Dropped or closed while parked, while being parked, or live: the others
    # go on.
    del sessions[0]
    sessions[0].execute_python("mine += 100")
    del sessions[0]
    sessions.pop().close()
    for i, s in enumerate(sessions, start=2):
        assert s.execute_python("print(mine)").stdout == str(i)
    for s in sessions:
        wait_parked(s)
    for i, s in enumerate(sessions, start=2):
        assert s.execute_python("print(mine)").stdout == str(i)


def test_the_spare_runner_goes_to_one_session_and_is_replaced(tmp_path, monkeypatch):
    first = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    first.execute_python("mine = 'first'\nopen('/tmp/left', 'w').write('first')")
    spare = vesk_internal._spare_runner_pid()
    assert spare and spare not in runner_pids()

    # A start takes it (behind the constructor): it becomes that session's
    # runner, and another is made.
    second = VeskSession()
    cp = second.execute_python("import os\nprint('mine' in globals(), os.path.exists('/tmp/left'))")
    assert cp.stdout == "False False"
    assert spare in runner_pids()
    second.execute_python("mine = 'second'")
    replacement = vesk_internal._spare_runner_pid()
    assert replacement not in (0, spare)

    # So does a resume, and the interpreter is the parked one.
    assert first._park() == "parked"
    assert first.execute_python("print(mine, open('/tmp/left').read())").stdout == "first first"
    assert replacement in runner_pids()
    assert second.execute_python("print(mine)").stdout == "second"

    # A spare that has died is passed over.
    dead = vesk_internal._spare_runner_pid()
    assert dead
    os.kill(dead, signal.SIGKILL)
    assert wait_until(lambda: not alive(dead), timeout=WAIT_S)
    assert second._park() == "parked"
    assert second.execute_python("print(mine)").stdout == "second"
    assert dead not in runner_pids()


def test_a_start_behind_the_constructor_fails_the_first_call_as_the_constructor_would(
        tmp_path, monkeypatch):
    make_session(tmp_path, monkeypatch, park_after_idle_secs=3600).execute_python("pass")
    assert vesk_internal._spare_runner_pid()
    (tmp_path / "late").mkdir()
    s = make_session(tmp_path / "late", monkeypatch, park_after_idle_secs=3600,
                     install_timeout_ms=1)
    s.write_file("a.txt", b"kept")  # no runner needed
    for call in range(2):  # the next call starts a runner again
        with pytest.raises(RuntimeError) as e:
            s.execute_python("pass")
        assert str(e.value).startswith("Deno runner startup timed out after 1ms")
        assert ("restarted" in str(e.value)) == (call == 1)
    assert s.current.files["a.txt"] == b"kept"
    s.close()


def test_a_spare_serves_only_sessions_launched_alike(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, park_after_idle_secs=3600)
    s.execute_python("pass")
    spare = vesk_internal._spare_runner_pid()
    assert spare
    # Other limits: another command. The spare is not taken (the session's
    # own limits hold) but stopped, and one for the new command made.
    (tmp_path / "other").mkdir()
    other = make_session(tmp_path / "other", monkeypatch, park_after_idle_secs=3600,
                         max_runner_memory_mb=1024)
    assert spare not in runner_pids()
    assert b"--interpreter-memory-mb=768" in b"".join(
        open(f"/proc/{p}/cmdline", "rb").read() for p in runner_pids())
    assert other.execute_python("print('ok')").stdout == "ok"
    assert vesk_internal._spare_runner_pid() not in (0, spare)
    assert wait_until(lambda: not alive(spare), timeout=WAIT_S)
    # Sessions that keep no spare neither take one nor leave one.
    spare = vesk_internal._spare_runner_pid()
    (tmp_path / "none").mkdir()
    plain = make_session(tmp_path / "none", monkeypatch, park_after_idle_secs=3600,
                         max_runner_memory_mb=1024, spare_runner=False)
    plain.execute_python("pass")
    assert plain._park() == "parked"
    plain.execute_python("pass")
    assert vesk_internal._spare_runner_pid() == spare and spare not in runner_pids()


def test_a_spare_ends_quietly_with_its_process(tmp_path):
    config = tmp_path / "vesk.toml"
    config.write_text("park_after_idle_secs = 3600\ndomain_allowlist = []\n")
    code = ("import vesk_internal\ns = vesk_internal.VeskSession()\ns.execute_python('pass')\n"
            "assert vesk_internal._spare_runner_pid()\n"
            # Made while the spare waits: the process exits before its start ends.
            "t = vesk_internal.VeskSession()\n")
    env = dict(os.environ, VESK_CONFIG=str(config))
    # The output pipes stay open until the spare, which inherited them, ends.
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=WAIT_S)
    assert done.returncode == 0, done.stderr
    assert [line for line in done.stderr.splitlines() if "micropip" not in line] == []
