"""The runner script under real Deno and Pyodide, spoken to over its pipes.

One runner serves most tests of this module in turn, as it serves a session;
tests that end the runner start their own.
"""

from __future__ import annotations

import hashlib
import math
import os
import random
import types

import pytest

from runner_harness import ROOT, Runner, decode_files, encode_execute, make_wheel

CAPTURE_LIMIT = 1048576
INSTALLER_SOURCE = ROOT / "runner" / "micropip_standin.py"


def ok(reply: dict) -> dict:
    assert "error" not in reply, reply["error"]
    return reply


@pytest.fixture(scope="module")
def runner(runner_script):
    with Runner(runner_script) as r:
        r.wait_ready()
        yield r
        # An unterminated last line is dropped and the runner ends cleanly.
        r.send_raw(encode_execute("print('never')", {})[:-1])
        assert r.close() == 0, r.stderr
        assert r.read_line() is None


# --- workspace ------------------------------------------------------------------


def test_workspace_bytes_and_keys_survive_both_directions(runner):
    files = {
        "all_bytes.bin": bytes(range(256)) * 3,
        "empty": b"",
        "latin1.txt": "café".encode("latin-1"),
        "dätä/日本語 ✓.txt": "ü\n".encode(),
        "deep/a/b/c/d.txt": b"x",
        "big.bin": os.urandom(300_000),
    }
    code = """
import hashlib, os
for root, _, names in os.walk('.'):
    for name in names:
        path = os.path.join(root, name)[2:]
        print(path, hashlib.sha256(open(path, 'rb').read()).hexdigest())
"""
    _, reply = runner.execute(code, files)
    assert decode_files(ok(reply)) == files
    seen = dict(line.rsplit(" ", 1) for line in reply["stdout"].splitlines())
    assert seen == {key: hashlib.sha256(data).hexdigest() for key, data in files.items()}


def test_reply_holds_exactly_the_files_left_by_the_run(runner):
    code = """
import os
os.remove('gone.txt')
open('dir/edit.txt', 'ab').write(b' new')
os.makedirs('empty/nested')
os.makedirs('made')
open('made/new.bin', 'wb').write(bytes([0, 255]))
"""
    _, reply = runner.execute(code, {"keep.txt": b"keep", "gone.txt": b"bye", "dir/edit.txt": b"old"})
    assert decode_files(ok(reply)) == {"keep.txt": b"keep", "dir/edit.txt": b"old new", "made/new.bin": b"\0\xff"}


def test_interpreter_state_persists_but_workspace_and_directory_do_not(runner):
    code = "import os\ncounter = 41\nos.makedirs('sub')\nos.chdir('sub')\nopen('/tmp/outside.txt', 'w').write('kept')"
    ok(runner.execute(code, {"old.txt": b"1"})[1])
    code = "import os\nprint(counter + 1, os.getcwd(), sorted(os.listdir('.')), open('/tmp/outside.txt').read())"
    _, reply = runner.execute(code, {"new.txt": b"2"})
    assert ok(reply)["stdout"] == "42 /workspace ['new.txt'] kept"
    assert decode_files(reply) == {"new.txt": b"2"}


def test_links_are_neither_collected_nor_followed_and_removed_when_clearing(runner):
    code = """
import os
os.makedirs('/tmp/shared', exist_ok=True)
open('/tmp/shared/data.txt', 'w').write('precious')
os.symlink('/tmp/shared', 'dir_link')
os.symlink('/tmp/shared/data.txt', 'file_link')
os.symlink('/tmp/shared/missing', 'dangling')
"""
    _, reply = runner.execute(code, {"a.txt": b"a"})
    assert decode_files(ok(reply)) == {"a.txt": b"a"}
    _, reply = runner.execute("print(open('/tmp/shared/data.txt').read())", {"b.txt": b"b"})
    assert ok(reply)["stdout"] == "precious"
    assert decode_files(reply) == {"b.txt": b"b"}


@pytest.mark.parametrize(
    "replace, first_reply",
    [
        ("os.symlink('/tmp/elsewhere', '/workspace')", {"stdout": "", "stderr": "", "files": {}}),
        ("open('/workspace', 'w').write('x')", {"error": "ErrnoError: ENOTDIR"}),
    ],
    ids=["link", "file"],
)
def test_a_workspace_directory_replaced_by_the_code_is_rebuilt(runner, replace, first_reply):
    code = f"import os, shutil\nos.makedirs('/tmp/elsewhere/keep', exist_ok=True)\nos.chdir('/')\nshutil.rmtree('/workspace')\n{replace}"
    assert runner.execute(code)[1] == first_reply
    _, reply = runner.execute("import os\nprint(os.listdir('/tmp/elsewhere'))", {"c.txt": b"c"})
    assert ok(reply)["stdout"] == "['keep']"
    assert decode_files(reply) == {"c.txt": b"c"}


# --- output ---------------------------------------------------------------------


def test_each_printed_line_is_a_progress_line_and_part_of_the_capture(runner):
    code = """
import sys
for i in range(3):
    print(i)
print('warn', file=sys.stderr)
print('  indented  ')
sys.stdout.write('no line feed')
"""
    progress, reply = runner.execute(code)
    assert progress == ["0", "1", "2", "warn", "  indented  ", "no line feed"]
    assert ok(reply)["stdout"] == "0\n1\n2\n  indented  \nno line feed"
    assert reply["stderr"] == "warn"
    # The unterminated last line belonged to that run, not to the next one.
    assert runner.execute("print('next')") == (["next"], {"stdout": "next", "stderr": "", "files": {}})


def test_capture_stops_after_the_batch_that_reaches_the_limit(runner):
    # 500 emoji are 1000 UTF-16 code units: with its line feed a batch adds 1001.
    line = "\U0001f600" * 500
    code = f"import sys\nfor _ in range(1100):\n    print({line!r})\n    print('e', file=sys.stderr)"
    progress, reply = runner.execute(code)
    assert len(progress) == 2200
    assert ok(reply)["stdout"] == "\n".join([line] * math.ceil(CAPTURE_LIMIT / 1001))
    assert reply["stderr"] == "\n".join(["e"] * 1100)


@pytest.mark.parametrize(
    "code, last_line",
    [
        ("raise ValueError('boom')", "ValueError: boom"),
        ("x = (", "SyntaxError: '(' was never closed"),
        ("import sys\nsys.exit(3)", "SystemExit: 3"),
        ("raise KeyboardInterrupt", "KeyboardInterrupt"),
        ("input()", "EOFError: EOF when reading a line"),
    ],
    ids=["exception", "syntax", "exit", "interrupt", "stdin"],
)
def test_python_failures_are_error_replies_and_the_runner_goes_on(runner, code, last_line):
    _, reply = runner.execute(code, {"f": b"1"})
    assert set(reply) == {"error"}
    # As CPython prints it: a traceback of the user's frames only, none for
    # a syntax error.
    lines = reply["error"].rstrip("\n").splitlines()
    if last_line.startswith("SyntaxError"):
        assert lines[0] == '  File "<exec>", line 1'
    else:
        assert lines[0] == "Traceback (most recent call last):"
        assert lines[1].startswith('  File "<exec>", line ') and lines[1].endswith(", in <module>")
        assert not any("_pyodide" in line for line in lines)
    assert lines[-1] == last_line
    assert ok(runner.execute("print('still here')")[1])["stdout"] == "still here"


# --- framing --------------------------------------------------------------------


def test_requests_are_delimited_by_line_feeds_alone(runner):
    runner.send_raw(b"\n \t\n" + encode_execute("print('one')", {}) + encode_execute("print('two')", {}))
    assert runner.reply() == (["one"], {"stdout": "one", "stderr": "", "files": {}})
    assert runner.reply() == (["two"], {"stdout": "two", "stderr": "", "files": {}})


def test_a_character_split_between_reads_arrives_whole(runner):
    head = b'{"code":"print(\'' + b"a" * 4000
    pad = 4094 - len(head)  # the 4-byte character straddles byte 4096
    head += b"b" * pad
    request = head + "\U0001f600é".encode() + b"')\",\"files\":{\"\xc3\xa9.txt\":[]}}\n"
    runner.send_raw(request[:4096])
    runner.send_raw(request[4096:])
    progress, reply = runner.reply()
    assert ok(reply)["stdout"] == "a" * 4000 + "b" * pad + "\U0001f600é"
    assert decode_files(reply) == {"é.txt": b""}


def test_a_request_longer_than_the_longest_javascript_string_is_served(runner):
    # V8 strings end at 2**29 - 24 characters; a workspace of about 150 MB
    # already makes a longer request line. White space makes one cheaply.
    line = b'{"code":"print(1)",' + b" " * (2**29) + b'"files":{"a":[1,2]}}\n'
    runner.send_raw(line)
    assert runner.reply() == (["1"], {"stdout": "1", "stderr": "", "files": {"a": [1, 2]}})


def test_byte_arrays_cut_anywhere_by_the_reads_arrive_whole(runner):
    # Requests are parsed as they arrive, a window at a time: elements of
    # every length, in the compact form and spaced out, fall across the
    # window's edges at every offset.
    rng = random.Random(5)
    compact = bytes(rng.getrandbits(8) for _ in range(3 << 20))
    spaced_values = bytes(rng.choice([0, 7, 42, 255]) for _ in range(200_000))
    spaced = b"[ " + b" ,  ".join(b"%d" % v for v in spaced_values) + b" ]"
    line = encode_execute("print(len(open('c','rb').read()))", {"c": compact})
    line = line[:-3] + b',"s":' + spaced + b"}}\n"
    runner.send_raw(line)
    _, reply = runner.reply()
    assert ok(reply)["stdout"] == str(len(compact))
    assert decode_files(reply) == {"c": compact, "s": spaced_values}


def test_a_whole_request_can_ask_for_only_what_the_run_changed(runner):
    code = "import os\nos.remove('gone')\nopen('new', 'w').write('n')\nopen('kept', 'a').write('+')"
    line = encode_execute(code, {"gone": b"g", "kept": b"k", "same": b"s"})
    runner.send_raw(line.replace(b'"files":', b'"reply":"changes","files":', 1))
    _, reply = runner.reply()
    assert ok(reply) == {"stdout": "", "stderr": "", "changed": {"new": [110], "kept": [107, 43]},
                         "removed": ["gone"]}
    # The runner holds what that reply said: a difference request builds on it.
    runner.send({"code": "import os\nprint(sorted(os.listdir()))", "changed": {}, "removed": []})
    _, reply = runner.reply()
    assert ok(reply)["stdout"] == "['kept', 'new', 'same']" and reply["changed"] == {}


def test_any_valid_json_request_is_understood(runner):
    line = (
        ' { "extra" : [ {"y": "]}\\"["}, null, true, -1.5e3 ], "files" : { "a/b" : [ 1 , 2e0 ,0,\t255.0 ] ,'
        ' "e" : [ ], "c": [9], "c": [7], "__proto__": [1] }, "code" : "print(\\"\\u00e9\\", len(\\"\\\\n\\"))" } \n'
    )
    runner.send_raw(line.encode())
    _, reply = runner.reply()
    assert ok(reply)["stdout"] == "é 1"
    assert decode_files(reply) == {"a/b": bytes([1, 2, 0, 255]), "e": b"", "c": b"\x07", "__proto__": b"\x01"}


# --- requests that end the runner ---------------------------------------------------


@pytest.mark.parametrize(
    "line",
    [
        encode_execute("pass", {"a": b"1", "a/b": b"2"}),
        encode_execute("pass", {"a/b": b"2", "a": b"1"}),
        b"this is not json\n",
        b'{"code":"pass"}\n',
        b'{"code":"pass","files":{"a":[256]}}\n',
        # A line feed ends the line wherever it comes.
        b'{"code":"pass","files":{"a":[1,\n2]}}\n',
        b'{"code":"pass",\n"files":{}}\n',
        b'{"code":"pa\nss","files":{}}\n',
    ],
    ids=["file-then-dir", "dir-then-file", "not-json", "no-files", "not-a-byte", "feed-in-array",
         "feed-between-members", "feed-in-string"],
)
def test_requests_that_cannot_be_served_end_the_runner_without_a_reply(runner_script, line):
    with Runner(runner_script) as r:
        r.wait_ready()
        r.send_raw(line)
        assert r.read_line() is None
        assert r.proc.wait(timeout=30) != 0


def test_a_snapshot_the_interpreter_refuses_gives_an_ordinary_start(runner_script):
    # The module checks its snapshots, so this takes a snapshot of another
    # Pyodide build; bytes that are no snapshot at all stand in for one.
    with Runner(runner_script, mode="snapshot-load") as r:
        r.send_raw(b"4096\n" + bytes(range(256)) * 16)
        r.wait_ready()
        assert "the start snapshot was refused" in r.stderr
        assert ok(r.execute("print(6 * 7)")[1])["stdout"] == "42"


# --- micropip stand-in: installs through a loopback package index ----------------------


@pytest.fixture(scope="module")
def wheels(package_index):
    index = package_index
    urls = {"direct": index.add_wheel("direct-pkg", "1.0", {"direct_pkg/__init__.py": "VALUE = 'direct'\n"})}
    index.add_wheel("later", "1.0", {"later.py": ""})
    for version in ("1.0", "2.0", "2.5", "3.0a1"):
        index.add_wheel("pinned", version, {"pinned.py": f"VERSION = {version!r}\n"})
    index.add_wheel("lib-dep", "1.2", {}, purelib={"lib_dep.py": "NAME = 'lib'\n"})
    index.add_wheel(
        "app",
        "1.0",
        {"app.py": "import lib_dep\n"},
        requires=["lib-dep>=1.0", "absent-pkg; python_version < '3'", "absent-extra; extra == 'more'"],
    )
    index.add_file("native", "1.0", "native-1.0-cp314-cp314-linux_x86_64.whl", b"not a pure wheel")
    urls["broken"] = index.add_file("broken", "1.0", "broken-1.0-py3-none-any.whl", b"this is not a zip")
    return urls


@pytest.fixture(scope="module")
def net_runner(runner_script, package_index, wheels):
    with Runner(runner_script, allow_net=[package_index.host]) as r:
        r.wait_ready()
        code = f"import micropip\nmicropip.set_index_urls([{package_index.index_url!r}])"
        ok(r.execute(code)[1])
        yield r


def python(runner: Runner, code: str) -> str:
    return ok(runner.execute(code)[1])["stdout"]


@pytest.mark.parametrize("source", ["http", "emfs"])
def test_install_from_a_wheel_location(net_runner, tmp_path, wheels, source):
    name = f"from_{source}"
    wheel = make_wheel(tmp_path, name, "1.0", {f"{name}.py": f"VALUE = {source!r}\n"})
    if source == "http":
        location = wheels["direct"]
        name, value = "direct_pkg", "direct"
    else:
        # Files outside the workspace outlive the request that wrote them.
        code = f"import shutil\nshutil.copy({wheel.name!r}, '/tmp')"
        ok(net_runner.execute(code, {wheel.name: wheel.read_bytes()})[1])
        location, value = f"emfs:/tmp/{wheel.name}", "emfs"
    progress, reply = net_runner.install(location)
    # The reply names the wheels put in place, which a new runner installs
    # again as they are.
    assert reply == {"stdout": "", "stderr": "", "files": {}, "installed": [location]}
    assert progress[-1].startswith("Successfully installed ")
    code = f"import {name}\nprint({name}.VALUE, '_vesk_pkg' in globals())"
    assert python(net_runner, code) == f"{value} False"


def test_install_by_name_picks_the_newest_matching_final_release(net_runner):
    progress, reply = net_runner.install("pinned>=1.5,!=2.5")
    ok(reply)
    assert progress[0] == "Collecting pinned>=1.5,!=2.5"
    assert python(net_runner, "import pinned\nprint(pinned.VERSION)") == "2.0"
    progress, reply = net_runner.install("pinned")
    assert progress[-1] == "Requirement already satisfied: pinned (2.0)"


def test_install_brings_the_dependencies_that_apply(net_runner):
    progress, reply = net_runner.install("app")
    ok(reply)
    assert "Collecting lib-dep>=1.0 (from app)" in progress
    assert progress[-1] == "Successfully installed lib-dep-1.2 app-1.0"
    code = "import app, micropip\nprint(app.lib_dep.NAME, sorted(set(micropip.list()) & {'app', 'lib-dep', 'absent-pkg'}))"
    assert python(net_runner, code) == "lib ['app', 'lib-dep']"


@pytest.mark.parametrize(
    "package, message",
    [
        ("no-such-package", "ValueError: Can't find a pure Python 3 wheel for 'no-such-package': no package named"),
        ("native", "ValueError: Can't find a pure Python 3 wheel for 'native': none of the matching releases"),
        ("later>=2", "ValueError: Can't find a pure Python 3 wheel for 'later>=2': no release of 'later' matches"),
        ("broken", "ValueError: 'broken-1.0-py3-none-any.whl' is not a valid wheel"),
        ("{other_host}/files/later-1.0-py3-none-any.whl",
         "network access to 'localhost:{port}' is not allowed: add the host to domain_allowlist"),
    ],
    ids=["unknown", "not-pure", "no-version", "bad-wheel", "host-not-allowed"],
)
def test_install_failures_are_error_replies(net_runner, package_index, package, message):
    _, reply = net_runner.install(package.format(other_host=f"http://localhost:{package_index.port}"))
    assert set(reply) == {"error"}
    assert message.format(port=package_index.port) in reply["error"]
    assert "Traceback" not in reply["error"]
    assert python(net_runner, "print('_vesk_pkg' in globals())") == "False"


def test_the_stand_in_the_runner_installs_is_the_installer_file(runner):
    # This runner has no route to Pyodide's CDN, so micropip is the stand-in.
    digest = python(runner, "import hashlib, micropip\n"
                            "print(hashlib.sha256(open(micropip.__file__, 'rb').read()).hexdigest())")
    assert digest == hashlib.sha256(INSTALLER_SOURCE.read_bytes()).hexdigest()


# --- micropip stand-in: version and requirement logic, run in this interpreter ----------


@pytest.fixture(scope="module")
def standin():
    source = INSTALLER_SOURCE.read_text()
    module = types.ModuleType("micropip_standin")
    exec(compile(source, "micropip.py", "exec"), module.__dict__)
    return module


@pytest.mark.parametrize(
    "version, specifier, expected",
    [
        ("1.0", "==1", True),
        ("1.0+local", "==1.0", True),
        ("1.0", "==1.0+local", False),
        ("1.1.5", "==1.1.*", True),
        ("1.10", "==1.1.*", False),
        ("2.0", "!=2.0.0", False),
        ("2.9", "~=2.2", True),
        ("3.0", "~=2.2", False),
        ("2.2.9", "~=2.2.1", True),
        ("2.3", "~=2.2.1", False),
        ("1.0a1", "<1.0", False),
        ("1.0a1", "<1.0b1", True),
        ("1.0.post1", ">1.0", False),
        ("1.0.1", ">1.0", True),
        ("1!0.5", ">=2.0", True),
        ("1.5", ">=1.0, <2", True),
        ("2.0", ">=1.0, <2", False),
        ("1.0rc1", "==1.0c1", True),
        ("1.0", "(>=1.0)", True),
    ],
)
def test_version_specifiers(standin, version, specifier, expected):
    assert standin._satisfies(standin._parse_specifier(specifier), standin.Version(version)) is expected


def test_versions_sort_in_release_order(standin):
    ordered = ["1.0.dev1", "1.0a1", "1.0a2.dev1", "1.0a2", "1.0b1", "1.0rc1", "1.0", "1.0.post1.dev1",
               "1.0.post1", "1.0.1", "1.1", "1!0.1"]
    assert sorted(reversed(ordered), key=lambda v: standin.Version(v).key) == ordered


@pytest.mark.parametrize(
    "marker, extras, expected",
    [
        ("python_version >= '3.8'", (), True),
        ("python_version < '3'", (), False),
        ("os_name == 'posix' and (python_version < '3' or implementation_name == 'cpython')", (), True),
        ("extra == 'More'", ("more",), True),
        ("extra == 'more'", (), False),
        ("'x' not in sys_platform or extra == 'a'", ("a",), True),
    ],
)
def test_markers(standin, marker, extras, expected):
    assert standin.Requirement(f"dep; {marker}").applies(extras) is expected


@pytest.mark.parametrize("text", ["dep; python_version >>= '3'", "dep; unknown_var == '1'", "dep >= one", "-dep"])
def test_malformed_requirements_are_rejected(standin, text):
    with pytest.raises(ValueError):
        standin.Requirement(text)


@pytest.mark.parametrize(
    "filename, pure",
    [
        ("x-1.0-py3-none-any.whl", True),
        ("x-1.0-py2.py3-none-any.whl", True),
        ("x-1.0-1-py3-none-any.whl", True),
        ("x-1.0-py2-none-any.whl", False),
        ("x-1.0-py399-none-any.whl", False),
        ("x-1.0-cp314-cp314-linux_x86_64.whl", False),
        ("x-1.0.tar.gz", False),
    ],
)
def test_pure_python_wheel_names(standin, filename, pure):
    assert standin._is_pure_python3(filename) is pure
