"""Load and leaks: ten thousand mixed operations on one session, twenty
sessions created and dropped in turn, several threads on one session and
several sessions at once.

The leak tests compare this process's open descriptors, threads, child
processes (zombies included) and resident memory before a session exists and
after it is gone; the figures are printed (run pytest with -s to see them).
"""

from __future__ import annotations

import ctypes
import gc
import os
import random
import threading
from collections import Counter
from pathlib import Path

from session_util import (child_counts, make_session, open_fds, rss_kib, runner_pids,
                          snapshot, thread_count, under_address_sanitizer, wait_until)

_libc = ctypes.CDLL("libc.so.6")

# Resident memory may end this much above where it started, and grow this
# much while a session lives from its first thousand operations to its last
# (its history stays small). Freed memory is not always handed back to the
# system: CPython keeps the arenas of its small objects while any object lives
# in them, and the C allocator keeps heap pages that lie below live blocks even
# after malloc_trim(). A leak of the workspace or of what crossed the runner's
# pipes would be many times this: the run below moves tens of megabytes
# through them.
RSS_TOLERANCE_KIB = 4 * 1024
CHECK_RSS = not under_address_sanitizer()


def watch_threads() -> int:
    """The module's thread that watches the runs' time limits: it stays until
    the last limit it was given would have passed, then ends, and holds one
    descriptor while it runs."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            count += Path(f"/proc/self/task/{task}/comm").read_text().strip() == "vesk-watchdog"
        except OSError:
            pass
    return count


def figures() -> dict[str, int]:
    """Counts without the watch thread and its descriptor, which come and go
    with the time limits, not with what a session holds."""
    children, zombies = child_counts()
    watch = watch_threads()
    return {"fds": open_fds() - watch, "threads": thread_count() - watch, "children": children,
            "zombies": zombies, "rss_kib": rss_kib()}


def settled(reference: dict[str, int] | None = None) -> dict[str, int]:
    """The figures once dropped sessions are gone: a killed runner is reaped
    in the background, by a thread that ends when nothing is left to reap.
    With a reference, waits until the counts are back at it; without, until
    no runner or zombie is left and the counts hold still."""
    gc.collect()
    counts = ("fds", "threads", "children", "zombies")
    if reference is not None:
        wait_until(lambda: all(figures()[k] == reference[k] for k in counts), timeout=30)
    else:
        wait_until(lambda: not runner_pids() and child_counts()[1] == 0, timeout=30)
        samples: list[dict[str, int]] = []

        def still() -> bool:
            samples.append({k: figures()[k] for k in counts})
            return len(samples) >= 5 and all(x == samples[-1] for x in samples[-5:])

        wait_until(still, timeout=30)
    _libc.malloc_trim(0)
    return figures()


def report(title: str, rows: dict[str, dict[str, int]]) -> None:
    print(f"\n{title}")
    for name, row in rows.items():
        print(f"  {name:<22}" + "  ".join(f"{k} {v}" for k, v in row.items()))


def assert_back(before: dict[str, int], after: dict[str, int]) -> None:
    for key in ("fds", "threads", "children", "zombies"):
        assert after[key] == before[key], (key, before, after)
    if CHECK_RSS:
        assert after["rss_kib"] <= before["rss_kib"] + RSS_TOLERANCE_KIB, (before, after)


def warm_up(tmp_path: Path, monkeypatch, host: Path) -> None:
    """Every kind of operation once, so that what stays for the life of the
    process (loaded code, the reaper's descriptor, caches) is there before
    the counting starts."""
    s = make_session(tmp_path, monkeypatch)
    s.write_file("w", b"w")
    s.execute_python("print(1)")
    s.execute_bash("echo 1")
    s.mount(str(host))
    s.export(str(tmp_path / "warm-out"))
    s.diff(0)
    del s


class Model:
    """What the session's history must hold: one dict of files per checkpoint."""

    def __init__(self) -> None:
        self.history: list[dict[str, bytes]] = [{}]
        self.current = 0

    @property
    def files(self) -> dict[str, bytes]:
        return self.history[self.current]

    def append(self, files: dict[str, bytes]) -> int:
        del self.history[self.current + 1:]
        self.history.append(files)
        self.current = len(self.history) - 1
        return self.current


# Keys the operations pick from; none is both a file and a directory.
KEYS = [f"f{i}" for i in range(20)] + [f"d/g{i}" for i in range(10)] + [f"d/e/h{i}" for i in range(5)]
OPERATIONS = {  # name: weight
    "write_file": 30, "delete_file": 10, "execute_python": 20, "execute_bash": 4,
    "rollback": 6, "diff": 15, "mount": 5, "commit": 3, "export": 7,
}
OPERATION_COUNT = 10_000


def test_ten_thousand_mixed_operations_on_one_session(tmp_path, monkeypatch):
    rng = random.Random(20240607)
    host = tmp_path / "host"
    (host / "msub").mkdir(parents=True)
    host_files = {"ma.txt": b"mounted a\n", "msub/mb.txt": b"mounted b\n", "msub/mc.bin": b"\0\1"}
    for key, data in host_files.items():
        (host / key).write_bytes(data)
    out = tmp_path / "out"
    warm_up(tmp_path, monkeypatch, host)
    before = settled()

    s = make_session(tmp_path, monkeypatch, max_checkpoints=OPERATION_COUNT + 1)
    model = Model()
    done: Counter[str] = Counter()
    names, weights = list(OPERATIONS), list(OPERATIONS.values())
    while_alive = {}
    for i in range(OPERATION_COUNT):
        op = rng.choices(names, weights)[0]
        files = model.files
        if op == "delete_file" and not files:
            op = "write_file"
        if op == "write_file":
            key, data = rng.choice(KEYS), rng.randbytes(rng.randrange(65))
            s.write_file(key, data)
            model.append({**files, key: data})
        elif op == "delete_file":
            key = rng.choice(sorted(files))
            cp = s.delete_file(key)
            assert cp.id == model.append({k: v for k, v in files.items() if k != key})
        elif op == "execute_python":
            key, data = rng.choice(KEYS), rng.randbytes(rng.randrange(1, 33))
            cp = s.execute_python(
                "import os\n"
                f"os.makedirs(os.path.dirname({key!r}) or '.', exist_ok=True)\n"
                f"with open({key!r}, 'ab') as f: f.write({data!r})\n"
                f"print(os.path.getsize({key!r}))")
            grown = files.get(key, b"") + data
            assert (cp.id, cp.stdout) == (model.append({**files, key: grown}), str(len(grown)))
        elif op == "execute_bash":
            key, text = rng.choice(KEYS), f"{rng.randrange(10**6)}\n"
            cp = s.execute_bash(f"mkdir -p d/e && printf '{text.strip()}\\n' >> {key} && wc -c < {key}")
            grown = files.get(key, b"") + text.encode()
            assert (cp.id, cp.stdout) == (model.append({**files, key: grown}), f"{len(grown)}\n")
        elif op == "rollback":
            model.current = rng.randrange(len(model.history))
            s.rollback(model.current)
        elif op == "diff":
            a, b = rng.randrange(len(model.history)), rng.randrange(len(model.history))
            assert isinstance(s.diff(a, b), str)
            assert s.diff(b, b) == ""
        elif op == "mount":  # into the current checkpoint, in place
            assert sorted(s.mount(str(host))) == sorted(host_files)
            files.update(host_files)
        elif op == "commit":  # what differs from checkpoint 0 goes back to the host
            mounted = [k for k in sorted(host_files) if k in files]
            written = s.commit(mounted)
            changed = [k for k in mounted if files[k] != model.history[0].get(k, b"")]
            assert written == [str(host / k) for k in changed]
            for k in changed:
                host_files[k] = files[k]
                assert (host / k).read_bytes() == files[k]
        elif op == "export":
            keys = rng.sample(sorted(files), min(len(files), 3))
            assert s.export(str(out), keys) == [f"{out}/{k}" for k in keys]
            assert all((out / k).read_bytes() == files[k] for k in keys)
        done[op] += 1
        if i % 1000 == 999:
            assert (len(s.history), s.current.files) == (len(model.history), model.files), i
            while_alive[f"after {i + 1} ops"] = figures()
    assert snapshot(s) == [(i, files) for i, files in enumerate(model.history)]
    del s
    after = settled(before)

    report(f"{OPERATION_COUNT} operations on one session: {dict(sorted(done.items()))}, "
           f"history {len(model.history)} checkpoints",
           {"before the session": before, **while_alive, "after it was dropped": after})
    # While the session lives nothing grows from one thousand operations to
    # the next: its runner, the runner's two pipes, the inotify instance that
    # watches its shell work directory, and nothing else.
    counts = [{k: v for k, v in row.items() if k != "rss_kib"} for row in while_alive.values()]
    assert all(row == counts[0] for row in counts), while_alive
    assert counts[0]["fds"] == before["fds"] + 3 and counts[0]["children"] == before["children"] + 1
    alive_rss = [row["rss_kib"] for row in while_alive.values()]
    if CHECK_RSS:
        assert alive_rss[-1] <= alive_rss[0] + RSS_TOLERANCE_KIB, while_alive
    assert_back(before, after)


def test_twenty_sessions_created_and_dropped_in_turn(tmp_path, monkeypatch):
    host = tmp_path / "host"
    host.mkdir()
    (host / "h.txt").write_bytes(b"h")
    warm_up(tmp_path, monkeypatch, host)
    before = settled()
    rows = {"before": before}
    for n in range(20):
        s = make_session(tmp_path, monkeypatch)
        s.write_file("n.txt", str(n).encode())
        assert s.execute_python("print(open('n.txt').read())").stdout == str(n)
        assert s.execute_bash("cat n.txt").stdout == str(n)
        s.mount(str(host))
        del s
        if n in (0, 9):
            rows[f"after session {n + 1}"] = settled(before)
    after = settled(before)
    rows["after session 20"] = after
    report("20 sessions created and dropped in turn", rows)
    assert_back(before, after)


def run_threads(workers, timeout: float = 300.0) -> None:
    """Runs the workers on threads of their own; fails if any raises or hangs."""
    errors: list[BaseException] = []

    def guarded(work):
        try:
            work()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread is stuck: deadlock?"
    assert not errors, errors


def own(name: str, files: dict[str, bytes]) -> dict[str, bytes]:
    """The files of worker `name`."""
    return {k: v for k, v in files.items() if k.startswith(name + "/")}


def worker(s, name: str, host: Path, out: Path, rounds: int,
           states: list[dict[str, bytes]]) -> dict[str, bytes]:
    """Mixed operations on keys below `name`/ only, checking each result;
    returns what those keys must hold at the end, and records in `states`
    what they held after each checkpoint the worker appended. Other workers
    may run on the same session meanwhile: every operation carries their
    keys forward untouched, so each worker's view of its own keys is exact."""
    mine: dict[str, bytes] = {}
    states.append({})
    (host / name).mkdir(parents=True)
    (host / name / "m.txt").write_bytes(name.encode())

    for i in range(rounds):
        s.write_file(f"{name}/w{i}", f"{name} {i}".encode())
        mine[f"{name}/w{i}"] = f"{name} {i}".encode()
        states.append(dict(mine))
        if i % 3 == 2:
            del mine[f"{name}/w{i - 1}"]
            assert own(name, s.delete_file(f"{name}/w{i - 1}").files) == mine
            states.append(dict(mine))
        cp = s.execute_python(f"open('{name}/p{i}', 'w').write('{i}')\nprint('{name}', {i})")
        mine[f"{name}/p{i}"] = str(i).encode()
        assert (cp.stdout, own(name, cp.files)) == (f"{name} {i}", mine)
        states.append(dict(mine))
        if i % 4 == 0:
            cp = s.execute_bash(f"echo {i} > {name}/b{i}; cat {name}/p{i}")
            mine[f"{name}/b{i}"] = f"{i}\n".encode()
            assert (cp.stdout, own(name, cp.files)) == (str(i), mine)
            states.append(dict(mine))
        assert s.mount(str(host / name)) == ["m.txt"]
        assert isinstance(s.diff(0), str)
        keys = sorted(mine)
        assert s.export(str(out / name), keys) == [f"{out / name}/{k}" for k in keys]
        assert all((out / name / k).read_bytes() == mine[k] for k in keys)
    return mine


def test_threads_mixing_operations_on_one_session(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, max_checkpoints=5000)
    names = [f"t{n}" for n in range(6)]
    states: dict[str, list[dict[str, bytes]]] = {name: [] for name in names}
    results: dict[str, dict[str, bytes]] = {}

    def work(name):
        return lambda: results.__setitem__(
            name, worker(s, name, tmp_path / "host", tmp_path / "out", 12, states[name]))

    run_threads([work(name) for name in names])
    files = s.current.files
    assert files == {**{k: v for name in names for k, v in results[name].items()},
                     "m.txt": files["m.txt"]}
    assert files["m.txt"] in {name.encode() for name in names}  # each mounted one; one won
    # One checkpoint per appending operation, and each one whole: for every
    # worker it holds a state that worker went through.
    history = s.history
    assert len(history) == 1 + sum(len(states[name]) - 1 for name in names)
    for cp in history:
        for name in names:
            assert own(name, cp.files) in states[name], (cp.id, name)


def test_several_sessions_at_once(tmp_path, monkeypatch):
    make_session(tmp_path, monkeypatch)  # writes the configuration every session reads
    names = [f"s{n}" for n in range(3)]
    states: dict[str, list[dict[str, bytes]]] = {name: [] for name in names}
    finals = {}

    def work(name):
        def run():
            from vesk_internal import VeskSession

            s = VeskSession()
            mine = worker(s, name, tmp_path / "host", tmp_path / "out", 10, states[name])
            finals[name] = (mine, s.history)
        return run

    run_threads([work(name) for name in names])
    for name, (mine, history) in finals.items():
        # Nothing of another session, and every step of this one, in order.
        assert history[-1].files == {**mine, "m.txt": name.encode()}
        assert [own(name, cp.files) for cp in history] == states[name]
