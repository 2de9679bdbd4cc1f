"""Host exchange through `vesk serve --host-exchange`: off unless asked for,
refused without a mount allowlist, and kept inside the allowlist and the
export root when on."""

from __future__ import annotations

import subprocess

from mcp_util import Clients, serve_command, server_env


def test_host_exchange_needs_the_flag_and_a_mount_allowlist(tmp_path):
    done = subprocess.run(serve_command("--host-exchange"), env=server_env(), cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and "mount_allowlist" in done.stderr
    config = tmp_path / "bad.toml"
    config.write_text('mount_allowlist = ["/srv"]\nexec_timeout_ms = -5\n')
    done = subprocess.run(serve_command("--host-exchange"), cwd=tmp_path,
                          env=server_env(VESK_CONFIG=str(config)), capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and "exec_timeout_ms" in done.stderr


def test_mount_commit_and_export_stay_within_their_bounds(tmp_path):
    allowed = tmp_path / "allowed"
    (allowed / "project").mkdir(parents=True)
    (allowed / "project" / "app.py").write_text("VERSION = 1\n")
    (tmp_path / "private.txt").write_text("not for clients\n")
    config = tmp_path / "vesk.toml"
    config.write_text(f'mount_allowlist = ["{allowed}"]\nexport_root = "exports"\n')
    clients = Clients()
    try:
        clients.connect_stdio("host", ("--host-exchange",),
                              server_env(VESK_CONFIG=str(config)), cwd=str(tmp_path))
        names = {t["name"] for t in clients.do("listTools", "host")["tools"]}
        assert {"mount", "commit", "export"} <= names

        def call(name, **arguments):
            return clients.call(name, client="host", **arguments)

        mounted = call("mount", path=str(allowed / "project"))["structuredContent"]["keys"]
        assert mounted == ["app.py"]
        call("run_python", code="open('app.py', 'w').write('VERSION = 2\\n')\n"
                                "open('new.txt', 'w').write('made here')")
        written = call("commit")["structuredContent"]["written"]
        assert written == [str(allowed / "project" / "app.py")]
        assert (allowed / "project" / "app.py").read_text() == "VERSION = 2\n"

        refused = call("mount", path=str(tmp_path / "private.txt"))
        assert refused["isError"] and "allowlist" in refused["content"][0]["text"]

        exported = call("export", output_dir="run1")["structuredContent"]["written"]
        assert exported == [str(tmp_path / "exports" / "run1" / "new.txt")]
        assert (tmp_path / "exports" / "run1" / "new.txt").read_text() == "made here"
        for outside in ("../escape", str(tmp_path), "a/../../b"):
            result = call("export", output_dir=outside)
            assert result["isError"], outside
        assert not (tmp_path / "escape").exists()
    finally:
        clients.close()
