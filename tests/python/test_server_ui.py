"""`vesk serve --ui`: the web view in Debian's chromium (headless), checked
against the workspace's history; hostile content executes nothing; the
gate refuses what it must. Screenshots are kept under build/ui-screenshots."""

from __future__ import annotations

import os
import sys

import pytest

from browser_util import TOKENS, Agent, artifacts, drive, missing, ui_server
from mcp_util import ROOT
from session_util import wait_until

CSP = ("default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
       "img-src 'self'; frame-ancestors 'none'")


@pytest.fixture(scope="module")
def server():
    process = ui_server()
    yield process
    assert process.stop() == 0


def needs_browser() -> None:
    why = missing()
    if why is not None:
        if os.environ.get("CI") == "true":
            pytest.fail(why)
        pytest.skip(why)


def clean(shown: dict) -> None:
    """Nothing ran, nothing could, no link leaves the page."""
    assert not shown["pwned"]
    assert not [e for e in shown["events"] if e.startswith(("pageerror", "dialog"))]
    for page in shown["pages"]:
        assert page["active"] == [] and page["away"] == [], page["name"]


def test_each_view_shows_the_history(server):
    needs_browser()
    agent = Agent(server)
    agent.call("write_file", path="src/app.py", content="print('one')\nx = 1\n")
    agent.call("run_shell", command="echo built; echo warn >&2; mkdir -p out; "
                                    "printf '\\x00\\x01' > out/blob.bin; exit 3")
    agent.call("edit_file", path="src/app.py", old_text="x = 1", new_text="x = 2")
    agent.call("label_checkpoint", checkpoint=3, label="edited")
    agent.call("delete_file", path="out/blob.bin")
    history = agent.call("list_history")["checkpoints"]
    w = agent.workspace
    shown = drive(server, [
        {"name": "list", "hash": "#/", "wait": w},
        {"name": "timeline", "hash": f"#/w/{w}", "wait": "edited"},
        {"name": "files", "hash": f"#/w/{w}/files?c=2", "wait": "blob.bin"},
        {"name": "file", "hash": f"#/w/{w}/file?c=3&path=src%2Fapp.py", "wait": "x = 2"},
        {"name": "diff", "hash": f"#/w/{w}/diff?from=1&to=4&mode=split", "wait": "x = 2"},
        {"name": "output", "hash": f"#/w/{w}/output?c=2", "wait": "built"},
    ], TOKENS["alice"], artifacts("views"))
    clean(shown)
    pages = {p["name"]: p for p in shown["pages"]}
    assert "live, stored\t" in pages["list"]["text"] and f"\t{len(history)}" in pages["list"]["text"]
    timeline = pages["timeline"]["text"]
    for checkpoint in history:
        assert checkpoint["made_by"] in timeline
    assert "\t3\t" in timeline and "added 1: out/blob.bin" in timeline
    assert "removed 1: out/blob.bin" in timeline and "changed 1: src/app.py" in timeline
    assert "binary" in pages["files"]["text"] and "src/app.py" in pages["files"]["text"]
    assert "print('one')\nx = 2" in pages["file"]["text"]
    assert "-x = 1\t+x = 2" in pages["diff"]["text"]  # side by side: one row
    assert "(exit code 3)" in pages["output"]["text"] and "warn" in pages["output"]["text"]
    assert all((artifacts("views") / f"{name}.png").stat().st_size > 0 for name in pages)


def test_hostile_content_executes_nothing(server):
    needs_browser()
    agent = Agent(server)
    script = "<script>pwned=1</script>"
    img = '<img src=x onerror="pwned=1">'
    names = [f"{img}.txt", "\u202egnp.exe", "javascript:pwned=1"]
    for name in names:
        agent.call("write_file", path=name, content=f"{script}\n<a href=\"javascript:pwned=1\">x</a>\n")
    agent.call("run_shell", command=f"echo '{script}{img}'; head -c 10000000 /dev/zero | tr '\\0' a > big.txt")
    agent.call("label_checkpoint", checkpoint=4, label=img)
    w = agent.workspace
    shown = drive(server, [
        {"name": "timeline", "hash": f"#/w/{w}", "wait": "big.txt"},
        {"name": "files", "hash": f"#/w/{w}/files?c=4", "wait": "big.txt"},
        {"name": "file", "hash": f"#/w/{w}/file?c=4&path={names[0]}", "wait": script},
        {"name": "big", "hash": f"#/w/{w}/file?c=4&path=big.txt&page=38", "wait": "page 39 of 39"},
        {"name": "diff", "hash": f"#/w/{w}/diff?from=0&to=4", "wait": "more characters"},
        {"name": "output", "hash": f"#/w/{w}/output?c=4", "wait": script},
        {"name": "list", "hash": "#/", "wait": w},  # still usable after all of it
    ], TOKENS["alice"], artifacts("hostile"))
    clean(shown)
    pages = {p["name"]: p for p in shown["pages"]}
    assert img in pages["timeline"]["text"] and "<U+202E>gnp.exe" in pages["files"]["text"]
    assert "\u202e" not in "".join(p["text"] for p in shown["pages"])
    assert len(pages["big"]["text"]) < 300_000 and len(pages["diff"]["text"]) < 100_000


def test_gate_refuses_and_pages_are_locked_down(server):
    agent = Agent(server)
    timeline = f"/ui/api/workspaces/{agent.workspace}/timeline"
    bob = {"Authorization": f"Bearer {TOKENS['bob']}"}
    foreign = {"Origin": "http://evil.example", **agent.auth}
    cases = [
        ("/ui/api/workspaces", {}, 401),
        (timeline, {}, 401),
        (timeline, bob, 404),
        (f"{timeline[:-8]}file?checkpoint=0&path=x", bob, 404),
        ("/ui/", {"Origin": "http://evil.example"}, 403),
        (timeline, foreign, 403),
        ("/ui/", {"Host": "evil.example"}, 403),
        ("/ui/../mcp", agent.auth, 404),
        (f"{timeline[:-8]}diff?from=0&to=x", agent.auth, 400),
    ]
    for path, headers, status in cases:
        assert server.request("GET", headers=headers, path=path)[0] == status, (path, headers)
    assert agent.api("workspaces")[1]["workspaces"][0]["id"] == agent.workspace
    status, _, body = server.request("GET", headers=bob, path="/ui/api/workspaces")
    assert status == 200 and agent.workspace.encode() not in body
    assert server.request("POST", b"{}", agent.auth, path=timeline)[0] == 405
    for path in ("/ui/", "/ui/app.js", timeline):
        status, headers, _ = server.request("GET", headers=agent.auth, path=path)
        assert status == 200 and headers["content-security-policy"].startswith(CSP), path
        assert headers["x-content-type-options"] == "nosniff"


def test_a_parked_workspace_is_shown_and_keeps_its_interpreter():
    server = ui_server("--park-after", "1")
    try:
        agent = Agent(server)
        agent.call("run_python", code="x = 41")
        agent.call("write_file", path="f.txt", content="kept")
        assert wait_until(lambda: agent.api("workspaces")[1]["workspaces"][0]["state"]
                          == "parked", 60)
        # With no worker to ask, the list says what the store holds.
        listed = agent.api("workspaces")[1]["workspaces"][0]
        assert (listed["checkpoints"], listed["size"]) == (3, len("kept")), listed
        status, timeline = agent.api(f"workspaces/{agent.workspace}/timeline")
        assert status == 200 and [c["id"] for c in timeline["checkpoints"]] == [0, 1, 2]
        assert agent.api(f"workspaces/{agent.workspace}/file?checkpoint=2&path=f.txt")[1][
            "text"] == "kept"
        assert agent.call("run_python", code="print(x + 1)")["stdout"].strip() == "42"
    finally:
        assert server.stop() == 0


def test_pages_of_a_file_cut_no_character_and_lose_nothing():
    sys.path.insert(0, str(ROOT / "python"))
    from vesk.server import view

    for text in ("é" * view.PAGE, "a" + "€" * view.PAGE, "x" * (2 * view.PAGE + 1), ""):
        data = text.encode()
        first = view._page_of(data, 0)
        pages = [first["text"]] + [view._page_of(data, k)["text"]
                                   for k in range(1, first["pages"])]
        assert "".join(pages) == text and "\ufffd" not in "".join(pages)
    # Escape sequences (coloured logs) are text; NUL, bells and invalid UTF-8 are not.
    assert [view.is_binary(d) for d in (b"a\tb\r\n\x0c", b"\x1b[31mred", b"\x00", b"\x07",
                                        b"\xff")] == [False, False, True, True, True]
