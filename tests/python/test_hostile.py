"""Code in a session that turns on its runner, its sandbox or the host.

Python in the runner reaches Deno through Pyodide's JavaScript bridge and can
write to the runner's standard output directly; shell commands can make
links, FIFOs, devices and odd names in their workspace. None of it may leave
the session, corrupt its history or desynchronise it.
"""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from session_util import (RESET_LINE, make_session, mounted_tmpfs, snapshot,
                          under_address_sanitizer, wait_until)

# Defines _out(bytes), which writes straight to the runner's standard output.
RAW_OUT = textwrap.dedent("""
    from js import Deno
    from pyodide.ffi import to_js
    def _out(data):
        view = to_js(data)
        done = 0
        while done < len(data):
            done += Deno.stdout.writeSync(view.subarray(done))
""")

NO_VARIANT = "data did not match any variant of untagged enum RunnerResponse"
CRASH = f"sandbox process exited unexpectedly (exit code: None)\n{RESET_LINE}"

# (what the code writes before printing "real", as a Python expression; how
# the request ends): "real" for a run that succeeds untouched, else the
# error's text, in which "*" stands for any text; CRASH also means that the
# runner is replaced.
FORGED_LINES = {
    "reply without a number, keys outside the workspace": (
        """b'{"stdout":"forged","stderr":"","files":{"/etc/vesk-forged":[1],"../up":[2]}}\\n'""",
        "real"),
    "replies numbered for other requests": (
        """b'{"seq":0,"stdout":"forged","stderr":"","files":{"a":[]}}\\n{"seq":999999,"error":"x"}\\n'""",
        "real"),
    "progress lines": ("""b'{"progress":"forged"}\\n{"progress":""}\\n'""", "real"),
    "a huge progress line": ("""b'{"progress":"' + b'x' * (16 << 20) + b'"}\\n'""", "real"),
    "a line that is not JSON": ("b'Loading...\\n'", "parse error at line 1, column 1: *"),
    "JSON of no known shape": ("""b'{"stdout":"a"}\\n'""", NO_VARIANT),
    "a reply with a key given twice": (
        """b'{"stdout":"a","stdout":"b","stderr":"","files":{}}\\n'""", NO_VARIANT),
    "part of a line, which the next line completes": ("""b'{"stdout":'""", "parse error at line 1*"),
    "a huge line that is not JSON": ("b'x' * (32 << 20) + b'\\n'", "parse error at line 1, column 1: *"),
    "nesting deeper than any parser takes": ("b'[' * 100000 + b'\\n'", "* at line 1*"),
    "bytes that are not UTF-8": ("""b'{"progress":"\\xff"}\\n'""", CRASH),
}


def matches(text: str, expected: str) -> bool:
    parts = expected.split("*")
    if len(parts) == 1:
        return text == expected
    return text.startswith(parts[0]) and all(p in text for p in parts[1:])


def test_forged_lines_on_the_runners_output(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch, max_checkpoints=1000)
    s.write_file("kept.txt", b"kept")
    for name, (line, outcome) in FORGED_LINES.items():
        s.execute_python("hostile_state = 1")
        before = snapshot(s)
        code = RAW_OUT + f"_out({line})\nprint('real')\n"
        if outcome == "real":
            cp = s.execute_python(code)
            assert (cp.stdout, cp.files) == ("real", before[-1][1]), name
            expected_history = before + [(cp.id, before[-1][1])]
        else:
            with pytest.raises(RuntimeError) as info:
                s.execute_python(code)
            message = str(info.value)
            assert matches(message, outcome), (name, message[:300])
            assert len(message) < 1000, name  # a huge line is not echoed whole
            expected_history = before
        assert snapshot(s) == expected_history, name
        # In step with the runner: the next request gets its own reply, in the
        # same interpreter unless the stream had to be given up.
        nxt = s.execute_python("print('next', 'hostile_state' in globals())")
        assert nxt.stdout == f"next {outcome != CRASH}", name
        assert nxt.files == {"kept.txt": b"kept"}, name
    assert not Path("/etc/vesk-forged").exists()


def _rss_mib() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) >> 10


def test_a_line_longer_than_any_reply_stops_the_runner_and_leaves_no_memory(tmp_path, monkeypatch):
    # With a 1 MiB workspace no reply passes 37 MiB; the line goes on for
    # 512 MiB, which the host must never take in.
    s = make_session(tmp_path, monkeypatch, max_workspace_mb=1)
    s.execute_python("hostile_state = 1")
    before = _rss_mib()
    flood = RAW_OUT + "chunk = b'x' * (16 << 20)\nfor _ in range(32):\n    _out(chunk)\n"
    with pytest.raises(RuntimeError) as info:
        s.execute_python(flood)
    assert str(info.value) == ("the runner wrote a line of more than 38797312 bytes, longer than any "
                               f"reply can be (max_workspace_mb), and was stopped\n{RESET_LINE}")
    assert info.value.interpreter_reset
    # (Under ASan freed memory stays in quarantine.)
    assert _rss_mib() < before + 16 or under_address_sanitizer()
    assert s.execute_python("print('hostile_state' in globals())").stdout == "False"


# Replaces the runner's next reply with one carrying its own number and the
# given files: what code that takes the runner over can do at most.
HOOK_REPLY = textwrap.dedent("""
    from pyodide.code import run_js
    run_js('''
    const out = Deno.stdout;
    const write = out.writeSync;
    out.writeSync = function (bytes) {
      const seq = /^[{]"seq":([0-9]+),/.exec(new TextDecoder().decode(bytes.subarray(0, 40)));
      if (!seq) return write.call(out, bytes);
      delete out.writeSync;
      write.call(out, new TextEncoder().encode(
        `{"seq":${seq[1]},"stdout":"hooked","stderr":"","files":FILES}\\\\n`));
      return bytes.length;
    };
    ''')
""")


def test_a_taken_over_runner_still_cannot_name_files_outside_the_workspace(tmp_path, monkeypatch):
    s = make_session(tmp_path, monkeypatch)
    s.write_file("kept.txt", b"kept")
    # The hook works: a reply it forges with a harmless key is taken.
    cp = s.execute_python(HOOK_REPLY.replace("FILES", '{"forged.txt":[33]}'))
    assert (cp.stdout, cp.files) == ("hooked", {"forged.txt": b"!"})
    # Only names as a file system gives them: a second spelling of a key
    # ("./ok.txt" beside "ok.txt") would let export write one content while
    # files show another.
    refused = ["/etc/vesk-forged", "../up", "a/../../up", "a/..", "./ok.txt", "d//f", "d/", "."]
    for key in refused:
        before = snapshot(s)
        files = json.dumps({key: [1], "ok.txt": [2]})
        with pytest.raises(RuntimeError) as info:
            s.execute_python(HOOK_REPLY.replace("FILES", files))
        assert str(info.value) == f"the run reported a file name that is not a plain relative path: '{key}'"
        assert snapshot(s) == before
        assert s.execute_python("print('next')").stdout == "next"
    out = tmp_path / "out"
    s.export(str(out))
    assert sorted(p.name for p in out.iterdir()) == ["forged.txt"]
    assert not (tmp_path / "up").exists() and not Path("/etc/vesk-forged").exists()


def test_deno_refuses_what_the_runner_was_not_granted(tmp_path, monkeypatch):
    # A listener the runner must not reach: connecting needs no accept(), so
    # no thread of this process has to serve it while the call holds the GIL.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.setblocking(False)
    port = listener.getsockname()[1]
    target = tmp_path / "written-by-deno"
    probes = {
        "read a host file": 'Deno.readTextFileSync("/etc/hostname")',
        "list the root": '[...Deno.readDirSync("/")]',
        "read a variable": 'Deno.env.get("PATH")',
        "read the environment": "Deno.env.toObject()",
        "read it through /proc": 'Deno.readFileSync("/proc/self/environ")',
        "write a host file": f'Deno.writeTextFileSync("{target}", "x")',
        "run a program": 'new Deno.Command("true").outputSync()',
        "signal the host process": f'Deno.kill({os.getpid()}, "SIGCONT")',
        "load native code": 'Deno.dlopen("libc.so.6", {})',
        "ask the host's name": "Deno.hostname()",
        "connect to the host": f'Deno.connect({{hostname: "127.0.0.1", port: {port}}})',
        "fetch from the host": f'fetch("http://127.0.0.1:{port}/", {{signal: AbortSignal.timeout(5000)}})',
        "start a process through node": '(await import("node:child_process")).execSync("true")',
        "read through node": '(await import("node:fs")).readFileSync("/etc/hostname")',
    }
    js = "(async () => { const out = {};\n"
    for name, call in probes.items():
        js += f"try {{ await ({call}); out[{json.dumps(name)}] = 'allowed'; }} "
        js += f"catch (e) {{ out[{json.dumps(name)}] = e.name; }}\n"
    js += "return JSON.stringify(out); })()"
    s = make_session(tmp_path, monkeypatch)  # the default hosts, none of them local
    cp = s.execute_python(f"from pyodide.code import run_js\nprint(await run_js({js!r}))")
    assert json.loads(cp.stdout) == {name: "NotCapable" for name in probes}
    assert not target.exists()
    with pytest.raises(BlockingIOError):
        listener.accept()
    listener.close()


def test_shell_links_fifos_devices_and_odd_names_stay_in_the_workspace(tmp_path, monkeypatch):
    host = tmp_path / "host"
    host.mkdir()
    (host / "secret.txt").write_bytes(b"secret")
    s = make_session(tmp_path, monkeypatch, bash_timeout_ms=20000)
    cp = s.execute_bash(textwrap.dedent(f"""
        ln -s / root_link
        ln -s {host}/secret.txt host_link
        ln -s ../../.. up_link
        mkdir -p d && ln -s {host} d/host_dir_link
        ln {host}/secret.txt hard_link 2>/dev/null || echo no-hard-link
        mkfifo fifo d/fifo
        mknod char_dev c 1 3 2>/dev/null || echo no-char-device
        mknod block_dev b 7 0 2>/dev/null || echo no-block-device
        python3 -c "import socket; socket.socket(socket.AF_UNIX).bind('sock')"
        printf 1 > ...; printf 2 > ..a; printf 3 > .hidden; printf 4 > -rf
        printf 5 > 'new
        line'
        printf 6 > 'back\\slash'
        printf 7 > "$(printf 'bad\\377name')"
        echo done
    """))
    assert cp.stdout == "no-hard-link\nno-char-device\nno-block-device\ndone\n", cp.stderr
    names = {"...": b"1", "..a": b"2", ".hidden": b"3", "-rf": b"4", "new\nline": b"5",
             "back\\slash": b"6", "bad\ufffdname": b"7"}
    assert cp.files == names  # links, FIFOs, devices and sockets stay behind
    # The names travel back into the sandbox and into the runner unchanged.
    listing = s.execute_bash("for f in * .*; do [ -f \"$f\" ] && printf '%s\\0' \"$f\"; done")
    assert sorted(listing.stdout.split("\0")[:-1]) == sorted(names)
    py = s.execute_python("import os\nprint(sorted(os.listdir('.')))")
    assert py.stdout == repr(sorted(names))
    out = tmp_path / "out"
    written = s.export(str(out))
    assert sorted(written) == sorted(str(out / n) for n in names)
    assert sorted(p.name for p in out.iterdir()) == sorted(names)
    assert all(not p.is_symlink() for p in out.rglob("*"))
    assert (host / "secret.txt").read_bytes() == b"secret"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["host", "out", "vesk.toml"]


def test_host_paths_with_links_dots_bytes_and_missing_parents(tmp_path, monkeypatch):
    allowed = tmp_path / "allowed"
    outside = tmp_path / "outside"
    (allowed / "proj").mkdir(parents=True)
    outside.mkdir()
    (outside / "secret.txt").write_bytes(b"secret")
    (allowed / "escape").symlink_to(outside)
    raw = os.fsencode(allowed / "proj") + b"/caf\xe9.txt"  # Latin-1, not UTF-8
    with open(raw, "wb") as f:
        f.write(b"v1")
    s = make_session(tmp_path, monkeypatch, mount_allowlist=[str(allowed)])

    refused = {
        "a link out of the allowed tree": (
            f"{allowed}/escape/secret.txt",
            f"'{outside}/secret.txt' is not in the mount allowlist; permitted prefixes: {allowed}"),
        "'..' out of the allowed tree": (
            f"{allowed}/proj/../../outside/secret.txt",
            f"'{outside}/secret.txt' is not in the mount allowlist; permitted prefixes: {allowed}"),
        "a missing parent": (f"{allowed}/no/such/file", f"path does not exist: {allowed}/no/such/file"),
    }
    for name, (path, message) in refused.items():
        with pytest.raises(RuntimeError) as info:
            s.mount(path)
        assert str(info.value) == message, name
    # A name that is not UTF-8 reaches the host only as a str with lone
    # surrogates, which cannot be passed on.
    for call in (lambda p: s.mount(p), lambda p: s.export(p), lambda p: s.commit([p])):
        with pytest.raises(UnicodeEncodeError):
            call(os.fsdecode(raw))
    assert snapshot(s) == [(0, {})]

    # Mounted, the name becomes a key with U+FFFD; commit finds the real file.
    assert s.mount(str(allowed / "proj")) == ["caf\ufffd.txt"]
    s.write_file("caf\ufffd.txt", b"v2")
    assert s.commit(None) == [f"{allowed}/proj/caf\ufffd.txt"]
    with open(raw, "rb") as f:
        assert f.read() == b"v2"

    # The origin's directory went away: the write fails and creates nothing.
    moved = tmp_path / "moved"
    (allowed / "proj").rename(moved)
    with pytest.raises(RuntimeError, match=r"^conflict on 'caf\ufffd.txt': '.*/allowed/proj/caf\ufffd.txt' was deleted since it was mounted or last committed; nothing was written$"):
        s.commit(None)
    assert not (allowed / "proj").exists()

    # Export takes its directory as given: missing parents and '..' are made
    # and resolved; a file in the way is an error and nothing is written.
    s.write_file("out.txt", b"o")
    deep = tmp_path / "a" / "b" / ".." / "c"
    assert s.export(str(deep), ["out.txt"]) == [f"{deep}/out.txt"]
    assert (tmp_path / "a" / "c" / "out.txt").read_bytes() == b"o"
    blocker = tmp_path / "blocker"
    blocker.write_bytes(b"")
    with pytest.raises(RuntimeError, match=r"\(os error (17|20)\)$"):
        s.export(str(blocker / "sub"), ["out.txt"])
    assert blocker.read_bytes() == b""
    assert (outside / "secret.txt").read_bytes() == b"secret"


def test_a_session_filling_the_shared_disk_is_stopped_and_leaves_the_others_room(
        tmp_path, monkeypatch):
    """One 300 MiB file system under every work directory, 100 MiB a
    workspace: A's command writes towards 280 MB and then sleeps, in a
    process of its own; B's 30 MB, written once A passed 150 MB or ended,
    comes out whole, and A's call fails with the workspace limit while its
    command still runs."""
    if os.getuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    with mounted_tmpfs("300m", "vesk-shared-disk-") as disk:
        monkeypatch.setenv("TMPDIR", str(disk))
        b = make_session(tmp_path, monkeypatch, max_workspace_mb=100)
        a = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent("""
                import vesk_internal
                try:
                    vesk_internal.VeskSession().execute_bash(
                        "for i in $(seq 280); do head -c 1000000 /dev/zero >> fill.bin; done;"
                        " sleep 60")
                    print("appended")
                except RuntimeError as e:
                    print(e)
            """)], stdout=subprocess.PIPE, text=True)
        try:
            used = lambda: (lambda st: (st.f_blocks - st.f_bfree) * st.f_frsize)(os.statvfs(disk))
            assert wait_until(lambda: used() > 150 << 20 or a.poll() is not None)
            cp = b.execute_bash("head -c 30000000 /dev/zero > b.bin; echo $?")
            assert (cp.stdout, len(cp.files["b.bin"])) == ("0\n", 30_000_000)
            out, _ = a.communicate(timeout=60)
        finally:
            a.kill()
            a.wait()
        assert out.startswith("workspace size ") and out.endswith(
            " bytes exceeds limit of 104857600 bytes\n"), out
