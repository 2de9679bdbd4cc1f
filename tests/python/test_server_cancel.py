"""Cancelling calls and receiving their progress through `vesk serve`, over
stdio and Streamable HTTP, with the official SDK client."""

from __future__ import annotations

import time

import pytest

from mcp_util import ClientError, Clients, ServerProcess

# Runs that would go on far longer than any wait below.
LONG_RUNS = [("run_shell", {"command": "echo started; sleep 300"}),
             ("run_python", {"code": "print('started', flush=True)\nwhile True:\n    pass"})]


@pytest.fixture(scope="module")
def clients():
    bridge = Clients()
    yield bridge
    bridge.close()


@pytest.fixture(scope="module", params=["stdio", "http"])
def client(request, clients):
    name = request.param
    if name == "stdio":
        clients.connect_stdio(name)
        yield name
        return
    server = ServerProcess()
    clients.connect_http(server.url, name)
    yield name
    clients.do("terminate", name)
    server.stop()


def call(clients, client, tool, **arguments):
    result = clients.call(tool, client=client, **arguments)
    assert not result.get("isError"), result
    return result["structuredContent"]


def test_cancel_stops_a_run_and_the_session_goes_on(clients, client):
    call(clients, client, "write_file", path="kept.txt", content="kept\n")
    for tool, arguments in LONG_RUNS:
        before = call(clients, client, "list_history")
        running = clients.start("callTool", client, name=tool, arguments=arguments,
                                abortOnProgress=True)
        with pytest.raises(ClientError, match="cancelled by the test"):
            running.result(timeout=120)
        # The next call waits for the cancelled one to stop: well within the
        # shell's 30 s and Python's 60 s time-outs.
        started = time.monotonic()
        assert call(clients, client, "list_history") == before, tool
        assert time.monotonic() - started < 20, tool
        assert call(clients, client, "run_shell", command="cat kept.txt")["stdout"] == "kept\n"


def test_progress_reports_output_as_it_comes(clients, client):
    command = "for i in 1 2 3; do echo line$i; sleep 0.4; done"
    result = clients.do("callTool", client, name="run_shell", arguments={"command": command},
                        progress=True)
    assert result["structuredContent"]["stdout"] == "line1\nline2\nline3\n"
    assert result["progress"] and result["progress"][0].startswith("line1")
    # Each message holds what came since the one before, in order.
    assert "".join(result["progress"]).replace("\n", "") in "line1line2line3"

    code = "import time\nfor i in range(3):\n    print('step', i, flush=True)\n    time.sleep(0.4)"
    result = clients.do("callTool", client, name="run_python", arguments={"code": code},
                        progress=True)
    assert result["structuredContent"]["stdout"].rstrip("\n") == "step 0\nstep 1\nstep 2"
    assert result["progress"] and result["progress"][0].startswith("step 0")
