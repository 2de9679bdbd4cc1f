"""The `vesk` command line (console script `vesk`, and `python -m vesk`).

`vesk serve` starts the MCP server; `vesk serve --help` lists every flag.
`main()` returns the exit status: 0 after a normal end, 2 for a command line
or configuration the server refuses to start with.
"""

from __future__ import annotations

import argparse
import ipaddress
import os
import re
import socket
import sys
from collections.abc import Sequence

from vesk import __version__
from vesk.server import config as server_config

SERVE_DESCRIPTION = """\
Serves vesk sessions to Model Context Protocol (MCP) clients. Each client
session gets a private workspace with a history of checkpoints, in a worker
process of its own, and the tools run_python, run_shell, write_file,
edit_file, read_file, search_files, list_files, delete_file, diff,
list_history, label_checkpoint, rollback and install_package; its files are also resources (vesk://workspace/{key}).

By default the server speaks MCP on standard input and output, one session
for the connection (what desktop and IDE clients start). With --http it
serves Streamable HTTP at http://HOST:PORT/mcp, one session per MCP session.
"""

SERVE_EPILOG = """\
configuration:
  VESK_CONFIG names the module's TOML configuration, which every session reads
  (time-outs, workspace limits, allow and deny lists: see docs/api.md). The
  server also acts on max_sessions (default of --max-sessions),
  session_idle_timeout_secs (default of --idle-timeout), park_after_idle_secs
  (default of --park-after; the server's default is 300 where the module's is
  0), the time-outs and max_checkpoints (which the tools' descriptions name;
  a change that finds the history full first forgets its oldest checkpoints),
  and, with
  --host-exchange, mount_allowlist (what mount may read; it must not be
  empty) and export_root (the directory export writes below, relative to the
  server's working directory).

environment:
  VESK_CONFIG        the configuration file
  VESK_SERVE_TOKEN   the bearer token, when --token-file is not given
  VESK_PARK_AFTER_IDLE_SECS
                     set by the server for its workers (from --park-after);
                     it takes the place of the file's park_after_idle_secs
  TMPDIR             where the server's scratch directory goes, if outside /tmp
                     and /dev (else /var/tmp)

The server ends on SIGTERM or SIGINT (and, with stdio, when its input ends),
after ending every session and its worker.
"""


def _address(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    if not colon:
        host, port = "", text
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"'{text}' is not [HOST:]PORT")
    return host or "127.0.0.1", int(port)


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive whole number")
    return int(text)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds")
    return value


def _whole_seconds(text: str) -> int:
    if not text.isdigit() or len(text) > 12:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number of seconds")
    return int(text)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="vesk", description="Private, versioned workspaces in which untrusted code runs "
                                 "in isolation.")
    top.add_argument("--version", action="version", version=f"vesk {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    serve = commands.add_parser(
        "serve", help="serve vesk sessions to MCP clients (stdio or Streamable HTTP)",
        description=SERVE_DESCRIPTION, epilog=SERVE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    http = serve.add_argument_group("Streamable HTTP")
    http.add_argument("--http", metavar="[HOST:]PORT", type=_address,
                      help="serve HTTP instead of stdio; HOST defaults to 127.0.0.1, PORT 0 "
                           "takes a free port; the address is printed on standard error. A "
                           "HOST that is not a loopback address needs a bearer token")
    http.add_argument("--token-file", metavar="PATH",
                      help="require the header 'Authorization: Bearer TOKEN', for a TOKEN of "
                           "PATH: one 'PRINCIPAL:TOKEN' a line (a bare TOKEN is principal "
                           "'default'); each principal sees only its own sessions and "
                           "workspaces (default: $VESK_SERVE_TOKEN, if set)")
    http.add_argument("--allowed-host", metavar="NAME", action="append", default=[],
                      help="accept requests whose Host header names NAME (besides localhost, "
                           "127.0.0.1, ::1 and the bound address); repeatable")
    http.add_argument("--allowed-origin", metavar="ORIGIN", action="append", default=[],
                      help="accept requests from web pages of ORIGIN (for example "
                           "https://app.example.org), with CORS headers; repeatable. Other "
                           "origins are refused (403), except this server's own")
    http.add_argument("--ui", action="store_true",
                      help="also serve a read-only web view of each principal's workspaces "
                           "at /ui/ (the page asks for the bearer token once)")
    http.add_argument("--idle-timeout", metavar="SECONDS", type=_seconds,
                      help="end a session after SECONDS without a request (0: never; "
                           "default: session_idle_timeout_secs of the configuration, 3600)")
    sessions = serve.add_argument_group("sessions")
    sessions.add_argument("--max-sessions", metavar="N", type=_positive,
                          help="most sessions at once, HTTP (default: max_sessions of the "
                               "configuration, 50); beyond it a new session is refused with "
                               "503; sessions parked into the store do not count")
    sessions.add_argument("--max-body-mb", metavar="N", type=_positive, default=64,
                          help="largest HTTP request body or stdio message, in MiB "
                               "(default: 64)")
    sessions.add_argument("--max-output-kb", metavar="N", type=_positive, default=64,
                          help="most text, in KiB, one tool result carries (and as much "
                               "structured content): past it the middle of a long output, file "
                               "or listing is cut, with a marker naming the bytes left out "
                               "(default: 64)")
    sessions.add_argument("--park-after", metavar="SECONDS", type=_whole_seconds,
                          help="park a session whose Python interpreter has been idle for "
                               "SECONDS: its state is imaged into the server's memory and its "
                               "runner process ends, until the next run or install resumes it "
                               "(about half a second); a session whose state cannot be imaged "
                               "stays live (0: never park; default: park_after_idle_secs of "
                               "the configuration, else 300)")
    sessions.add_argument("--store", metavar="PATH|URL|none",
                          help="keep workspaces in the SQLite database PATH, or the PostgreSQL "
                               "database of a postgresql:// URL, so that a server "
                               "started again on it serves every workspace handle and MCP "
                               "session it held, and parked workspaces hold no process; every "
                               "change is stored before its answer is sent. 'none': in memory "
                               "only (default: $XDG_STATE_HOME/vesk/store.sqlite3, else "
                               "~/.local/state/vesk/store.sqlite3, with --http; none with "
                               "stdio)")
    sessions.add_argument("--max-stored", metavar="N", type=_positive, default=10_000,
                          help="most workspaces and MCP sessions the store holds, parked ones "
                               "included; past it a new one is refused (default: 10000)")
    serve.add_argument("--log-format", choices=("text", "json"), default="text",
                       help="standard error as text lines (default), or as one JSON object a "
                            "line: time, level, message, and for each tool call workspace, "
                            "tool, duration, outcome (and kind, for an error)")
    sessions.add_argument("--node-id", metavar="ID",
                          help="this server's name in the store's leases: each workspace is "
                               "served by one node at a time, and a node started again under "
                               "its old id takes its leases back at once (default: the host "
                               "name; two servers on one PostgreSQL store and one host need "
                               "ids of their own)")
    sessions.add_argument("--lease-secs", type=float, default=10.0, metavar="SECONDS",
                          help="how long a workspace's lease outlives its node's last renewal "
                               "(renewed three times as often); then another node may take the "
                               "workspace over (default: 10)")
    sessions.add_argument("--advertise", metavar="URL",
                          help="where the other nodes on the same PostgreSQL store reach this "
                               "one (http://host:port): a request for a workspace this node "
                               "serves that lands on another is handed on to it (default: "
                               "none; it waits for the lease instead)")
    sessions.add_argument("--drain-secs", type=float, default=0.0, metavar="SECONDS",
                          help="on SIGTERM, refuse new sessions and answer /health with 503 for "
                               "this long (for a balancer to notice), then stop taking requests "
                               "and let the calls under way finish before stopping (default: 0, "
                               "stop at once)")
    sessions.add_argument("--host-exchange", action="store_true",
                          help="also offer the tools mount, commit and export, which read and "
                               "write host files: mount within mount_allowlist, export below "
                               "export_root")
    return top


def _fail(text: str) -> int:
    print(f"vesk serve: {text}", file=sys.stderr)
    return 2


def _tokens(args: argparse.Namespace) -> tuple[tuple[tuple[str, str], ...], str | None]:
    """The (principal, token) pairs, and what is wrong with the token file."""
    from vesk.server import tokens

    if args.token_file:
        with open(args.token_file, encoding="utf-8") as f:
            return tokens.parse(f.read())
    token = os.environ.get("VESK_SERVE_TOKEN", "").strip()
    return (((tokens.DEFAULT_PRINCIPAL, token),) if token else ()), None


def serve(args: argparse.Namespace) -> int:
    from vesk.server.log import say, set_format
    from vesk.server.main import Settings, run
    from vesk.server.metrics import METRICS
    from vesk.server.http import HttpOptions, is_loopback, tuned
    from vesk.server.tools import limits_of
    from vesk.server.store import Store, StoreError, default_path

    set_format(args.log_format)
    values, problem = server_config.load(os.environ)
    METRICS.configure(values)
    if problem is not None:
        if args.host_exchange:
            return _fail(f"{problem}; --host-exchange needs a configuration that reads "
                         "without error")
        say(f"{problem}; the server uses the defaults")
    export_root = None
    if args.host_exchange:
        if not os.environ.get("VESK_CONFIG") or not values["mount_allowlist"]:
            return _fail("--host-exchange needs a mount_allowlist in the configuration "
                         "(VESK_CONFIG): with none, a client could mount any file this "
                         "server can read")
        export_root = os.path.realpath(values["export_root"])
        os.makedirs(export_root, mode=0o700, exist_ok=True)
    if args.ui and args.http is None:
        return _fail("--ui serves the web view over HTTP: it needs --http")
    http = None
    if args.http is not None:
        host, port = args.http
        try:
            pairs, wrong = _tokens(args)
        except (OSError, UnicodeDecodeError) as e:
            return _fail(f"cannot read the token file: {e}")
        if wrong is not None:
            return _fail(f"the token file: {wrong}")
        if not is_loopback(host) and not pairs:
            return _fail(f"serving on {host}, which is not a loopback address, needs a bearer "
                         "token (--token-file or VESK_SERVE_TOKEN)")
        for origin in args.allowed_origin:
            if "://" not in origin or origin.endswith("/"):
                return _fail(f"'{origin}' is not an origin like https://app.example.org")
        if host == "localhost":  # one address, so that port 0 means one port
            host = "127.0.0.1"
        try:
            ipaddress.ip_address(host)
        except ValueError:
            return _fail(f"'{host}' is not an IP address or localhost")
        http = HttpOptions(host=host, port=port, max_body=args.max_body_mb << 20, tokens=pairs,
                           allowed_hosts=frozenset(args.allowed_host),
                           allowed_origins=frozenset(args.allowed_origin), ui=args.ui)
        try:
            http = tuned(http, os.environ.get("VESK_SERVE_HTTP_LIMITS", ""))
        except ValueError as e:
            return _fail(f"VESK_SERVE_HTTP_LIMITS: {e}")
    idle = args.idle_timeout
    if idle is None:
        idle = float(values["session_idle_timeout_secs"])
    park_after = args.park_after
    if park_after is None:
        park_after = values["park_after_idle_secs"]
    limits = limits_of(values, args.max_output_kb << 10)
    store = None
    path = args.store if args.store is not None else (default_path() if http else "none")
    if path != "none":
        try:
            if args.advertise is not None and not re.fullmatch(
                    r"http://[A-Za-z0-9.\-]+(:[0-9]{1,5})?|http://\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?",
                    args.advertise):
                return _fail("--advertise: an address like http://10.0.0.5:8808")
            if not 0 <= args.drain_secs <= 3600:
                return _fail("--drain-secs: between 0 and 3600 seconds")
            if not 0.5 <= args.lease_secs <= 3600:
                return _fail("--lease-secs: between 0.5 and 3600 seconds")
            node = args.node_id if args.node_id is not None else socket.gethostname()
            if not 0 < len(node) <= 200:
                return _fail("--node-id: 1 to 200 characters")
            store = Store(path, node=node, lease_secs=args.lease_secs)
        except StoreError as e:
            return _fail(f"{e} (--store none keeps workspaces in memory only)")
        say(f"workspaces are kept in {store.shown}")
    settings = Settings(http=http, park_after=park_after, limits=limits, store=store,
                        max_stored=args.max_stored,
                        advertise=args.advertise, drain_secs=args.drain_secs,
                        max_sessions=args.max_sessions or max(1, values["max_sessions"]),
                        idle_timeout=idle or None, max_message=args.max_body_mb << 20,
                        host_exchange=args.host_exchange, export_root=export_root)
    return run(settings)


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    if args.command == "serve":
        return serve(args)
    top.print_help(sys.stderr)
    return 2
