"""The tools `vesk serve` offers: names, descriptions and schemas.

Pure data and pure functions. `TOOLS` describes every tool as a client
sees it in `tools/list`, its description completed with the server's limits
(`Limits`: time-outs, the history's length, the output bound); each tool's arguments are checked against its input
schema (`check_arguments`) before anything reaches a session, and what the
session's worker returns is the tool's structured content, which conforms to
its output schema. The worker (`vesk.server.worker`) implements each tool
under the same name.

Host exchange (mount, commit, export) reaches the host's files, so those
tools exist only when the server was started with `--host-exchange`.

Workspaces: `create_workspace`, `close_workspace` and `list_workspaces` are
answered by the server itself (`Tool.server_side`); every other tool acts on
one workspace, named by the `workspace` handle that `with_workspace` adds to
its input schema (a client of an MCP session may omit it: its session's own).
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any

from vesk.server import schema, search

_CHECKPOINT = {"type": "integer", "minimum": 0,
               "description": "A checkpoint id (see list_history)."}
_TRUNCATED = {"type": "object", "additionalProperties": {"type": "integer"},
              "description": "Fields cut to bound this answer, each with the bytes left out."}
# A change that found the history full says what it forgot first.
_FORGOT = {
    "forgot_before": {"type": "integer",
                      "description": "The history was full (in checkpoints or in size): "
                                     "checkpoints before this id were forgotten (labelled "
                                     "ones kept while there was room)."},
    "forgot": {"type": "integer", "description": "How many checkpoints were forgotten."},
}
_NOTICE = {"type": "string",
           "description": "Something the caller must know about this call, such as an "
                          "interpreter restarted when the workspace came back from the store."}
_OUTPUT = {
    "checkpoint": {"type": "integer", "description": "Id of the checkpoint the run appended."},
    "stdout": {"type": "string"},
    "stderr": {"type": "string"},
    "truncated": _TRUNCATED,
    **_FORGOT,
    "notice": _NOTICE,
}
_PATH = {"type": "string", "minLength": 1,
         "description": "Workspace path of the file, relative, with / between directories."}
_TIMEOUT = {"type": "number", "minimum": 0.001,
            "description": "This call's own time limit in seconds; the server's limit (in the "
                           "description) caps it."}
_WRITTEN = {"checkpoint": _OUTPUT["checkpoint"], "path": {"type": "string"},
            "size": {"type": "integer", "description": "Bytes of the file now."}, **_FORGOT}

# Said by every tool whose answer can be long, and by every change.
_BOUND = (" An answer carries at most {output} of text: past that the middle is cut, head and "
          "tail kept, and a marker says how many bytes were left out.")
_WINDOW = (" The history keeps at most {max_checkpoints} checkpoints and {max_history} of "
           "distinct content: a change that finds it full first forgets the oldest ones "
           "(labelled ones last) and says so.")


def _object(properties: dict[str, Any], required: list[str] | None = None) -> dict[str, Any]:
    schema_: dict[str, Any] = {"type": "object", "properties": properties,
                               "additionalProperties": False}
    if required:
        schema_["required"] = required
    return schema_


@dataclass(frozen=True)
class Limits:
    """What the tools' descriptions tell a model about the server's limits."""
    python_ms: int = 60000
    shell_ms: int = 30000
    install_ms: int = 120000
    max_checkpoints: int = 200
    max_history_mb: int = 4096
    max_output: int = 64 << 10

    def words(self) -> dict[str, str]:
        def seconds(ms: int) -> str:
            return f"{ms / 1000:g} s"
        output = (f"{self.max_output >> 10} KiB" if self.max_output % 1024 == 0
                  else f"{self.max_output} bytes")
        return {"python_timeout": seconds(self.python_ms), "shell_timeout": seconds(self.shell_ms),
                "install_timeout": seconds(self.install_ms),
                "max_checkpoints": str(self.max_checkpoints),
                "max_history": f"{self.max_history_mb} MiB", "output": output,
                "line_cap": f"{search.LINE_CAP:,}", "max_matches": str(search.MAX_MATCHES),
                "search_seconds": f"{search.SECONDS:g}"}


@dataclass(frozen=True)
class Tool:
    name: str
    title: str
    description: str  # with the placeholders of Limits.words()
    input_schema: dict[str, Any]
    output_schema: dict[str, Any]
    annotations: dict[str, Any] = field(default_factory=dict)
    host_exchange: bool = False
    server_side: bool = False  # about workspaces, not in one

    def listing(self, limits: Limits = Limits()) -> dict[str, Any]:
        """The tool as `tools/list` shows it."""
        entry = {"name": self.name, "title": self.title,
                 "description": self.description.format(**limits.words()),
                 "inputSchema": self.input_schema, "outputSchema": self.output_schema}
        if self.annotations:
            entry["annotations"] = {"title": self.title, **self.annotations}
        return entry


_READ_ONLY = {"readOnlyHint": True, "openWorldHint": False}

TOOLS: list[Tool] = [
    Tool("run_python", "Run Python",
         "Runs Python code in the session's interpreter (CPython in WebAssembly, no access to "
         "the host). The workspace is the working directory /workspace; files the code leaves "
         "there become a new checkpoint. Variables and imports persist between runs, but a "
         "rollback restores files only, not the interpreter's memory. Returns what the code "
         "printed. An exception is reported as an error with the traceback; a run is stopped "
         "after {python_timeout} (or timeout_seconds, if shorter), and then the interpreter is "
         "restarted: its variables and imports are gone." + _BOUND + _WINDOW,
         _object({"code": {"type": "string", "description": "Python source to run."},
                  "timeout_seconds": _TIMEOUT}, ["code"]),
         _object(_OUTPUT, ["checkpoint", "stdout", "stderr"]),
         {"readOnlyHint": False, "destructiveHint": False, "openWorldHint": True}),
    Tool("run_shell", "Run a shell command",
         "Runs a command with bash -o pipefail -c (sh -c where the sandbox has no bash) in a "
         "sandbox over a copy of the workspace: the host's files read-only, no network, only "
         "the workspace writable. Files it leaves become a new checkpoint, whatever its exit "
         "status, which is returned as exit_code (128+N when killed by signal N; a non-zero "
         "status is a result, not an error). A command is killed after {shell_timeout} (or "
         "timeout_seconds, if shorter)." + _BOUND + _WINDOW,
         _object({"command": {"type": "string", "minLength": 1,
                              "description": "Shell command line."},
                  "timeout_seconds": _TIMEOUT}, ["command"]),
         _object({**_OUTPUT, "exit_code": {"type": ["integer", "null"],
                                           "description": "The command's exit status."}},
                 ["checkpoint", "stdout", "stderr", "exit_code"]),
         {"readOnlyHint": False, "destructiveHint": False, "openWorldHint": False}),
    Tool("write_file", "Write a file",
         "Creates or replaces one workspace file, appending a checkpoint." + _WINDOW,
         _object({"path": _PATH,
                  "content": {"type": "string",
                              "description": "The file's content, as text or as base64."},
                  "encoding": {"type": "string", "enum": ["utf-8", "base64"],
                               "description": "How `content` is given; utf-8 by default."}},
                 ["path", "content"]),
         _object(_WRITTEN, ["checkpoint", "path", "size"]),
         {"readOnlyHint": False, "destructiveHint": True, "idempotentHint": True,
          "openWorldHint": False}),
    Tool("edit_file", "Edit a file",
         "Replaces exactly one occurrence of old_text with new_text in a UTF-8 text file of "
         "the workspace, appending a checkpoint. Nothing is written, and the answer is an "
         "error, when old_text is missing or occurs more than once (include more of the "
         "surrounding text to make it unique), or when the file is not UTF-8 text." + _WINDOW,
         _object({"path": _PATH,
                  "old_text": {"type": "string", "minLength": 1,
                               "description": "The exact text to replace; it must occur once."},
                  "new_text": {"type": "string", "description": "Its replacement."}},
                 ["path", "old_text", "new_text"]),
         _object(_WRITTEN, ["checkpoint", "path", "size"]),
         {"readOnlyHint": False, "destructiveHint": True, "idempotentHint": False,
          "openWorldHint": False}),
    Tool("read_file", "Read a file",
         "Reads one workspace file, from the current checkpoint or an earlier one. Text comes "
         "back as it is (or the lines from offset, at most limit of them, optionally "
         "numbered); bytes that are not UTF-8 come back as base64." + _BOUND,
         _object({"path": _PATH, "checkpoint": _CHECKPOINT,
                  "offset": {"type": "integer", "minimum": 1,
                             "description": "First line to return, 1 first (text only)."},
                  "limit": {"type": "integer", "minimum": 1,
                            "description": "Most lines to return (text only)."},
                  "line_numbers": {"type": "boolean",
                                   "description": "Put each line's number and a tab before "
                                                  "it."}},
                 ["path"]),
         _object({"path": {"type": "string"}, "checkpoint": {"type": "integer"},
                  "size": {"type": "integer", "description": "Bytes in the whole file."},
                  "encoding": {"type": "string", "enum": ["utf-8", "base64"]},
                  "content": {"type": "string"},
                  "first_line": {"type": "integer"}, "line_count": {"type": "integer"},
                  "total_lines": {"type": "integer"}, "truncated": _TRUNCATED},
                 ["path", "checkpoint", "size", "encoding", "content"]),
         _READ_ONLY),
    Tool("search_files", "Search files",
         "Searches the workspace's text files (current checkpoint or an earlier one) for a "
         "Python regular expression, line by line; returns each match's path, line number "
         "and line. Files that are not UTF-8 text are skipped. The work is bounded: only the "
         "first {line_cap} characters of a line are searched, and the search stops after "
         "{max_matches} matches or {search_seconds} s (a pattern that backtracks badly is "
         "stopped, not waited for), saying so." + _BOUND,
         _object({"pattern": {"type": "string", "minLength": 1,
                              "description": "A Python regular expression (re module)."},
                  "glob": {"type": "string",
                           "description": "Only paths matching this glob (fnmatch; * also "
                                          "matches /), e.g. src/*.py."},
                  "checkpoint": _CHECKPOINT},
                 ["pattern"]),
         _object({"checkpoint": {"type": "integer"},
                  "matches": {"type": "array",
                              "items": _object({"path": {"type": "string"},
                                                "line": {"type": "integer"},
                                                "text": {"type": "string"}},
                                               ["path", "line", "text"])},
                  "stopped": {"type": ["string", "null"],
                              "description": "Why the search stopped early, if it did."},
                  "truncated": _TRUNCATED},
                 ["checkpoint", "matches", "stopped"]),
         _READ_ONLY),
    Tool("list_files", "List files",
         "Lists the workspace's files with their sizes in bytes, sorted by path, from the "
         "current checkpoint or an earlier one." + _BOUND,
         _object({"prefix": {"type": "string",
                             "description": "Only paths that start with this."},
                  "checkpoint": _CHECKPOINT}),
         _object({"checkpoint": {"type": "integer"},
                  "files": {"type": "array",
                            "items": _object({"path": {"type": "string"},
                                              "size": {"type": "integer"}},
                                             ["path", "size"])},
                  "total_size": {"type": "integer"}, "truncated": _TRUNCATED},
                 ["checkpoint", "files", "total_size"]),
         _READ_ONLY),
    Tool("delete_file", "Delete a file",
         "Removes one workspace file, appending a checkpoint." + _WINDOW,
         _object({"path": _PATH}, ["path"]),
         _object({"checkpoint": _OUTPUT["checkpoint"], "path": {"type": "string"}, **_FORGOT},
                 ["checkpoint"]),
         {"readOnlyHint": False, "destructiveHint": True, "openWorldHint": False}),
    Tool("diff", "Diff two checkpoints",
         "A unified diff of the workspace between two checkpoints (by default from the oldest "
         "kept one to the current one), optionally of some paths only. Files that are not "
         "text are named, not shown." + _BOUND,
         _object({"from_checkpoint": {**_CHECKPOINT,
                                      "description": "Older side; the oldest kept by default."},
                  "to_checkpoint": {**_CHECKPOINT,
                                    "description": "Newer side; the current checkpoint by "
                                                   "default."},
                  "paths": {"type": "array", "items": {"type": "string"},
                            "description": "Only files whose path is one of these or starts "
                                           "with one (a directory: end it with /)."}}),
         _object({"from_checkpoint": {"type": "integer"}, "to_checkpoint": {"type": "integer"},
                  "diff": {"type": "string"}, "truncated": _TRUNCATED},
                 ["from_checkpoint", "to_checkpoint", "diff"]),
         _READ_ONLY),
    Tool("list_history", "List the history",
         "Lists the session's checkpoints, oldest first, with what made each one (as far as "
         "this server knows it), when (UTC), its label and exit code, and which one is "
         "current. After a rollback the later checkpoints stay until the next change replaces "
         "them." + _WINDOW,
         _object({}),
         _object({"current": {"type": "integer"},
                  "oldest": {"type": "integer", "description": "The oldest checkpoint kept."},
                  "max_checkpoints": {"type": "integer"},
                  "history_bytes": {"type": "integer",
                                    "description": "Bytes the history holds: each distinct "
                                                   "file content once, and the outputs."},
                  "max_history_mb": {"type": "integer"},
                  "checkpoints": {
                      "type": "array",
                      "items": _object({"id": {"type": "integer"},
                                        "made_by": {"type": ["string", "null"]},
                                        "made_at": {"type": ["string", "null"]},
                                        "label": {"type": ["string", "null"]},
                                        "exit_code": {"type": ["integer", "null"]},
                                        "current": {"type": "boolean"}},
                                       ["id", "made_by", "made_at", "label", "current"])},
                  "truncated": _TRUNCATED},
                 ["current", "oldest", "max_checkpoints", "checkpoints"]),
         _READ_ONLY),
    Tool("label_checkpoint", "Label a checkpoint",
         "Gives a checkpoint a label (an empty one removes it). Labelled checkpoints are the "
         "last to be forgotten when the history is full, and rollback accepts a label.",
         _object({"checkpoint": _CHECKPOINT,
                  "label": {"type": "string", "description": "The label; empty to remove."}},
                 ["checkpoint", "label"]),
         _object({"checkpoint": {"type": "integer"}, "label": {"type": "string"}},
                 ["checkpoint", "label"]),
         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": True,
          "openWorldHint": False}),
    Tool("rollback", "Roll back",
         "Makes an earlier (or later) checkpoint current again, by id or label. It restores "
         "the workspace's files only: the Python interpreter's variables and imports stay as "
         "they are. Nothing is deleted: the checkpoints after it stay until the next change "
         "replaces them.",
         _object({"checkpoint": {"type": ["integer", "string"], "minimum": 0, "minLength": 1,
                                 "description": "A checkpoint id, or a label."}},
                 ["checkpoint"]),
         _object({"current": {"type": "integer"}}, ["current"]),
         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": True,
          "openWorldHint": False}),
    Tool("install_package", "Install a Python package",
         "Installs a pure-Python package into the session's interpreter with micropip: a "
         "wheel's URL, or a name from the package index. It stays installed for the session. "
         "An install is stopped after {install_timeout} (or timeout_seconds, if shorter); a "
         "failed install restarts the interpreter.",
         _object({"package": {"type": "string", "minLength": 1,
                              "description": "A wheel URL or a package name."},
                  "timeout_seconds": _TIMEOUT}, ["package"]),
         _object({"package": {"type": "string"}, "notice": _NOTICE}, ["package"]),
         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": True,
          "openWorldHint": True}),
    Tool("mount", "Mount host files",
         "Copies a host file or directory (within the server's mount allowlist) into the "
         "current checkpoint; its files can later be committed back.",
         _object({"path": {"type": "string", "minLength": 1,
                           "description": "Absolute host path."}}, ["path"]),
         _object({"keys": {"type": "array", "items": {"type": "string"}}}, ["keys"]),
         {"readOnlyHint": False, "destructiveHint": False, "openWorldHint": True},
         host_exchange=True),
    Tool("commit", "Commit mounted files",
         "Writes mounted files that the session changed back to the host paths they came from. "
         "Refuses (and writes nothing) when a host file changed since it was mounted.",
         _object({"keys": {"type": ["array", "null"], "items": {"type": "string"},
                           "description": "Workspace paths to commit; all mounted ones if "
                                          "omitted."}}),
         _object({"written": {"type": "array", "items": {"type": "string"}}}, ["written"]),
         {"readOnlyHint": False, "destructiveHint": True, "openWorldHint": True},
         host_exchange=True),
    Tool("export", "Export files",
         "Writes workspace files into a directory below the server's export root.",
         _object({"output_dir": {"type": "string", "minLength": 1,
                                 "description": "Directory relative to the export root."},
                  "keys": {"type": ["array", "null"], "items": {"type": "string"},
                           "description": "Workspace paths; all files not mounted if "
                                          "omitted."}},
                 ["output_dir"]),
         _object({"written": {"type": "array", "items": {"type": "string"}}}, ["written"]),
         {"readOnlyHint": False, "destructiveHint": True, "openWorldHint": True},
         host_exchange=True),
]


_HANDLE = {"type": "string", "minLength": 1, "maxLength": 128,
           "description": "The workspace's handle, from create_workspace (a client of an MCP "
                          "session may omit it: its session's own workspace)."}


def with_workspace(tool: Tool) -> Tool:
    """`tool` taking the `workspace` handle among its arguments."""
    if tool.server_side:
        return tool
    properties = dict(tool.input_schema["properties"], workspace=_HANDLE)
    return replace(tool, input_schema={**tool.input_schema, "properties": properties})


WORKSPACE_TOOLS: list[Tool] = [
    Tool("create_workspace", "Create a workspace",
         "Creates a private workspace (files with a history of checkpoints and an interpreter "
         "of its own) and returns its handle: pass it as `workspace` to every other tool. It "
         "ends with close_workspace, or when unused for the server's idle time-out.",
         _object({}), _object({"workspace": {"type": "string"}}, ["workspace"]),
         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": False,
          "openWorldHint": False}, server_side=True),
    Tool("fork_workspace", "Fork a workspace",
         "Creates a new workspace that starts as a copy of the given one (a client of an MCP "
         "session may omit it: its session's own): its files, its history and labels, and its "
         "interpreter's variables and imports when they can be copied (`interpreter`). The two "
         "then go their own ways: a change to either never shows in the other. Returns the new "
         "handle; try two approaches from one point.",
         _object({"workspace": {**_HANDLE, "description": "The handle of the workspace to "
                                                          "fork."}}),
         _object({"workspace": {"type": "string", "description": "The new workspace's handle."},
                  "interpreter": {"type": "boolean",
                                  "description": "Whether the interpreter's state was copied "
                                                 "(else the new one starts afresh, with the "
                                                 "packages installed again)."}},
                 ["workspace", "interpreter"]),
         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": False,
          "openWorldHint": False}, server_side=True),
    Tool("close_workspace", "Close a workspace",
         "Ends a workspace: its files, history and interpreter are gone.",
         _object({"workspace": {**_HANDLE, "description": "The handle to close."}},
                 ["workspace"]),
         _object({"workspace": {"type": "string"}}, ["workspace"]),
         {"readOnlyHint": False, "destructiveHint": True, "openWorldHint": False},
         server_side=True),
    Tool("list_workspaces", "List workspaces",
         "Lists the caller's open workspaces.",
         _object({}),
         _object({"workspaces": {"type": "array", "items": _object({
             "workspace": {"type": "string"},
             "idle_seconds": {"type": "number", "description": "Seconds since its last use."},
             "running": {"type": "boolean", "description": "Whether a call is in progress."}},
             ["workspace", "idle_seconds", "running"])}}, ["workspaces"]),
         _READ_ONLY, server_side=True),
]


def limits_of(values: dict[str, Any], max_output: int) -> Limits:
    """The limits of a server, from its configuration (`vesk.server.config`)."""
    return Limits(python_ms=values["exec_timeout_ms"], shell_ms=values["bash_timeout_ms"],
                  install_ms=values["install_timeout_ms"],
                  max_checkpoints=values["max_checkpoints"],
                  max_history_mb=values["max_history_mb"], max_output=max_output)


def offered(host_exchange: bool) -> dict[str, Tool]:
    """The tools of a server, by name."""
    tools = [with_workspace(t) for t in TOOLS if host_exchange or not t.host_exchange]
    return {t.name: t for t in [*WORKSPACE_TOOLS, *tools]}


def check_arguments(tool: Tool, arguments: Any) -> str | None:
    """Why `arguments` do not fit the tool's input schema, or None."""
    return schema.validate(arguments, tool.input_schema)
