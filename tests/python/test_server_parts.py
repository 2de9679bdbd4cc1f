"""The server's pure parts, by tables: JSON-RPC classification, the schema
checks of tool arguments, resource URIs and pages, the configuration's type
rules, and the HTTP gate's parsing of Host headers, when a
cluster node moves a workspace to the node its requests come through."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

from vesk.server import config, jsonrpc, resources  # noqa: E402
from vesk.server.cluster import MOVE_AFTER, MOVE_PAUSE, Moves  # noqa: E402
from vesk.server.http import host_name, is_loopback  # noqa: E402
from vesk.server.jsonrpc import Notification, Request, Response  # noqa: E402
from vesk.server.tools import TOOLS, check_arguments, offered  # noqa: E402


@pytest.mark.parametrize("text, expected", [
    ('{"jsonrpc":"2.0","id":1,"method":"ping"}', Request(1, "ping", {})),
    ('{"jsonrpc":"2.0","id":"a","method":"x","params":{"k":1}}', Request("a", "x", {"k": 1})),
    ('{"jsonrpc":"2.0","method":"notifications/initialized"}',
     Notification("notifications/initialized", {})),
    ('{"jsonrpc":"2.0","id":3,"result":{}}', Response(3)),
    ('{"jsonrpc":"2.0","id":3,"error":{"code":1,"message":"m"}}', Response(3)),
    # Errors: (code, id of the error response; None: no id).
    ("{", (jsonrpc.PARSE_ERROR, None)),
    (b'{"jsonrpc":"2.0","id":1,"method":"\xff"}', (jsonrpc.PARSE_ERROR, None)),
    ('{"jsonrpc":"2.0","id":NaN,"method":"ping"}', (jsonrpc.PARSE_ERROR, None)),
    ("[]", (jsonrpc.INVALID_REQUEST, None)),
    ('[{"jsonrpc":"2.0","id":1,"method":"ping"}]', (jsonrpc.INVALID_REQUEST, None)),
    ('"ping"', (jsonrpc.INVALID_REQUEST, None)),
    ('{"id":1,"method":"ping"}', (jsonrpc.INVALID_REQUEST, 1)),
    ('{"jsonrpc":"1.0","id":1,"method":"ping"}', (jsonrpc.INVALID_REQUEST, 1)),
    ('{"jsonrpc":"2.0","id":null,"method":"ping"}', (jsonrpc.INVALID_REQUEST, None)),
    ('{"jsonrpc":"2.0","id":true,"method":"ping"}', (jsonrpc.INVALID_REQUEST, None)),
    ('{"jsonrpc":"2.0","id":{},"method":"ping"}', (jsonrpc.INVALID_REQUEST, None)),
    ('{"jsonrpc":"2.0","id":1,"method":7}', (jsonrpc.INVALID_REQUEST, 1)),
    ('{"jsonrpc":"2.0","id":1,"method":"x","params":[1]}', (jsonrpc.INVALID_PARAMS, 1)),
    ('{"jsonrpc":"2.0","method":"x","params":"p"}', (jsonrpc.INVALID_REQUEST, None)),
    ('{"jsonrpc":"2.0","id":1,"result":{},"error":{}}', (jsonrpc.INVALID_REQUEST, 1)),
    ('{"jsonrpc":"2.0","id":1}', (jsonrpc.INVALID_REQUEST, 1)),
])
def test_messages_are_classified_or_answered(text, expected):
    got = jsonrpc.parse(text)
    if isinstance(expected, tuple):
        code, request_id = expected
        assert isinstance(got, dict) and got["error"]["code"] == code
        assert got.get("id") == request_id and ("id" in got) == (request_id is not None)
    else:
        assert got == expected


def test_responses_are_one_line_of_json():
    line = jsonrpc.dumps(jsonrpc.result(1, {"text": "a\nb\u2028"}))
    assert b"\n" not in line and jsonrpc.loads(line)["result"]["text"] == "a\nb\u2028"


TOOL = {t.name: t for t in TOOLS}


@pytest.mark.parametrize("tool, arguments, problem", [
    ("run_python", {"code": "print(1)"}, None),
    ("run_python", {}, "lacks the required property 'code'"),
    ("run_python", {"code": 1}, "arguments.code must be of type string"),
    ("run_python", {"code": "x", "extra": 1}, "unknown property 'extra'"),
    ("run_python", [], "arguments must be of type object"),
    ("run_shell", {"command": ""}, "arguments.command must not be empty"),
    ("write_file", {"path": "a", "content": "x", "encoding": "hex"}, "must be one of"),
    ("write_file", {"path": "a", "content": "eA==", "encoding": "base64"}, None),
    ("read_file", {"path": "a", "checkpoint": 2}, None),
    ("read_file", {"path": "a", "checkpoint": 2.0}, None),
    ("read_file", {"path": "a", "checkpoint": 2.5}, "must be of type integer"),
    ("read_file", {"path": "a", "checkpoint": True}, "must be of type integer"),
    ("read_file", {"path": "a", "checkpoint": -1}, "must be at least 0"),
    ("diff", {}, None),
    ("commit", {"keys": None}, None),
    ("commit", {"keys": ["a", 2]}, "arguments.keys[1] must be of type string"),
    ("commit", {"keys": "a"}, "must be of type array or null"),
    ("list_history", {"x": 1}, "unknown property 'x'"),
])
def test_tool_arguments_are_checked_against_the_input_schema(tool, arguments, problem):
    got = check_arguments(TOOL[tool], arguments)
    if problem is None:
        assert got is None
    else:
        assert got is not None and problem in got


def test_every_tool_describes_itself_and_host_exchange_needs_the_flag():
    for tool in TOOLS:
        listing = tool.listing()
        assert listing["description"] and listing["inputSchema"]["type"] == "object"
        assert listing["outputSchema"]["type"] == "object"
        assert set(listing["outputSchema"]["required"]) <= set(
            listing["outputSchema"]["properties"])
    exchange = {"mount", "commit", "export"}
    assert exchange.isdisjoint(offered(False)) and exchange <= set(offered(True))


@pytest.mark.parametrize("key", ["a.txt", "dir/sub/file.py", "./a", "a//b", "a/../b",
                                 "sp ace?#%", "ünï/cødé", "a%2Fb"])
def test_resource_uris_name_exactly_one_key(key):
    uri = resources.uri_of(key)
    assert uri.startswith(resources.PREFIX) and "/" not in uri[len(resources.PREFIX):]
    assert resources.key_of(uri) == key


@pytest.mark.parametrize("uri", ["vesk://workspace/", "vesk://workspace/a/b", "file:///a",
                                 "vesk://workspace/%FF", "vesk://workspace/a?x",
                                 "vesk://other/a"])
def test_foreign_or_malformed_uris_name_no_key(uri):
    assert resources.key_of(uri) is None


def test_resource_pages_follow_the_keys_even_when_files_change():
    from types import SimpleNamespace

    from vesk.server.worker import Operations

    files = {f"f{i:04}": b"x" * i for i in range(resources.PAGE_SIZE + 3)}
    session = SimpleNamespace(current=SimpleNamespace(id=1, files=files))
    ops = Operations(session, None, {"max_checkpoints": 5, "max_history_mb": 4096,
                                     "max_workspace_mb": 512, "bash_command_denylist": [],
                                     "bash_command_allowlist": []})

    def page(cursor):
        after = resources.cursor_key(cursor)
        assert after is not None
        reply = ops.call("list_page", {"after": after or None, "limit": resources.PAGE_SIZE})
        return resources.listing([(f["path"], f["size"]) for f in reply["files"]], reply["more"])

    first = page(None)
    assert len(first["resources"]) == resources.PAGE_SIZE
    # A file before the cursor goes away between the pages (another call
    # came between them): nothing is skipped.
    del files["f0000"]
    ops.call("list_files", {})
    second = page(first["nextCursor"])
    assert "nextCursor" not in second
    assert [r["name"] for r in second["resources"]] == sorted(files)[-3:]
    assert resources.cursor_key("not a cursor") is None
    assert resources.listing([], False) == {"resources": []}


def test_resource_contents_are_text_or_base64():
    assert resources.contents("a.json", "utf-8", "{}") == {
        "uri": "vesk://workspace/a.json", "text": "{}", "mimeType": "application/json"}
    assert resources.contents("noext", "utf-8", "x")["mimeType"] == "text/plain"
    blob = resources.contents("p.png", "base64", "iVBO")
    assert blob["blob"] == "iVBO" and blob["mimeType"] == "image/png"


@pytest.mark.parametrize("table, problem", [
    ({}, None),
    ({"max_sessions": 3, "mount_allowlist": ["/srv"], "unknown": 1.5}, None),
    ({"max_sessions": -1}, "max_sessions"),
    ({"max_sessions": 5.0}, "max_sessions"),
    ({"max_sessions": True}, "max_sessions"),
    ({"mount_allowlist": "/srv"}, "mount_allowlist"),
    ({"mount_allowlist": ["/srv", 1]}, "mount_allowlist"),
    ({"snapshot_on_close": 1}, "snapshot_on_close"),
    ({"export_root": []}, "export_root"),
])
def test_configuration_types_follow_the_module(table, problem):
    got = config.check(table)
    assert (got is None) if problem is None else (got is not None and problem in got)


def test_a_configuration_with_one_bad_value_is_ignored_whole(tmp_path):
    path = tmp_path / "vesk.toml"
    path.write_text('max_sessions = 3\nexec_timeout_ms = "soon"\n')
    values, problem = config.load({"VESK_CONFIG": str(path)})
    assert values == config.DEFAULTS and "exec_timeout_ms" in problem
    path.write_text('max_sessions = 3\nmount_allowlist = ["/srv"]\n')
    values, problem = config.load({"VESK_CONFIG": str(path)})
    assert problem is None and values["max_sessions"] == 3
    assert values["mount_allowlist"] == ["/srv"]
    values, problem = config.load({"VESK_CONFIG": str(tmp_path / "absent.toml")})
    assert values == config.DEFAULTS and "failed to read config" in problem


@pytest.mark.parametrize("header, name", [
    ("localhost", "localhost"), ("LOCALHOST:8080", "localhost"), ("127.0.0.1:1", "127.0.0.1"),
    ("[::1]:8080", "::1"), ("[::1]", "::1"), ("evil.example.com", "evil.example.com"),
    ("[::1]x", None), ("[::1", None), ("host:port", None), ("", None),
])
def test_host_headers_are_parsed_before_they_are_compared(header, name):
    assert host_name(header) == name


def test_loopback_means_loopback():
    assert all(map(is_loopback, ["localhost", "127.0.0.1", "127.1.2.3", "::1"]))
    assert not any(map(is_loopback, ["0.0.0.0", "10.0.0.1", "localhost.evil.com", "::"]))


def test_progress_frames_are_few_and_bounded():
    import io

    from vesk.server.worker import Progress, receive

    out = io.BytesIO()
    progress = Progress(out, interval=3600, limit=100)
    for i in range(100_000):  # a flood: the first line goes at once, the rest wait
        progress.output(f"line {i}\n")
    out.seek(0)
    assert receive(out) == {"progress": "line 0\n"} and receive(out) is None
    out = io.BytesIO()
    progress = Progress(out, interval=0, limit=100)
    progress.output("x" * 1000 + "end")
    out.seek(0)
    assert receive(out) == {"progress": "x" * 97 + "end"}


@pytest.mark.parametrize("text, pairs, problem", [
    ("s3cret\n", (("default", "s3cret"),), None),
    ("# who\nalice:a1\n\nbob: b:2 \n", (("alice", "a1"), ("bob", "b:2")), None),
    ("alice:same\nbob:same\n", (), "repeats a token"),
    (":t\n", (), "line 1 is not PRINCIPAL:TOKEN"),
    ("alice:two words\n", (), "line 1 is not PRINCIPAL:TOKEN"),
    ("\n# none\n", (), "empty"),
])
def test_token_files_name_principals(text, pairs, problem):
    from vesk.server import tokens

    got, wrong = tokens.parse(text)
    assert got == pairs and (wrong is None if problem is None else problem in wrong)


def test_moves_wait_for_a_run_of_requests_from_one_node():
    now = [0.0]
    moves = Moves(lambda: now[0])
    # Direct requests or two nodes in turn (a round-robin balancer): no move.
    for i in range(3 * MOVE_AFTER):
        assert not moves.served("w", None if i % 3 == 0 else "b")
        assert not moves.served("x", "b" if i % 2 else "c")
    moves.served("w", None)
    assert [moves.served("w", "b") for _ in range(MOVE_AFTER)][-2:] == [False, True]
    # At most once per MOVE_PAUSE from here.
    assert not any(moves.served("w", "b") for _ in range(3 * MOVE_AFTER))
    now[0] += MOVE_PAUSE
    assert moves.served("w", "b")
