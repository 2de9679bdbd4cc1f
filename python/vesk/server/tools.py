"""The tools `vesk serve` offers: names, descriptions and schemas.

Pure data and two pure functions. `TOOLS` describes every tool as a client
sees it in `tools/list`; each tool's arguments are checked against its input
schema (`check_arguments`) before anything reaches a session, and what the
session's worker returns is the tool's structured content, which conforms to
its output schema. The worker (`vesk.server.worker`) implements each tool
under the same name.

Host exchange (mount, commit, export) reaches the host's files, so those
tools exist only when the server was started with `--host-exchange`.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from vesk.server import schema

_CHECKPOINT = {"type": "integer", "minimum": 0,
               "description": "A checkpoint id: its position in the session's history, 0 first."}
_OUTPUT = {
    "checkpoint": {"type": "integer", "description": "Id of the checkpoint the run appended."},
    "stdout": {"type": "string"},
    "stderr": {"type": "string"},
}
_PATH = {"type": "string", "minLength": 1,
         "description": "Workspace path of the file, relative, with / between directories."}


def _object(properties: dict[str, Any], required: list[str] | None = None) -> dict[str, Any]:
    schema_: dict[str, Any] = {"type": "object", "properties": properties,
                               "additionalProperties": False}
    if required:
        schema_["required"] = required
    return schema_


@dataclass(frozen=True)
class Tool:
    name: str
    title: str
    description: str
    input_schema: dict[str, Any]
    output_schema: dict[str, Any]
    annotations: dict[str, Any] = field(default_factory=dict)
    host_exchange: bool = False

    def listing(self) -> dict[str, Any]:
        """The tool as `tools/list` shows it."""
        entry = {"name": self.name, "title": self.title, "description": self.description,
                 "inputSchema": self.input_schema, "outputSchema": self.output_schema}
        if self.annotations:
            entry["annotations"] = {"title": self.title, **self.annotations}
        return entry


_READ_ONLY = {"readOnlyHint": True, "openWorldHint": False}

TOOLS: list[Tool] = [
    Tool("run_python", "Run Python",
         "Runs Python code in the session's interpreter (CPython in WebAssembly, no access to "
         "the host). The workspace is the working directory /workspace; files the code leaves "
         "there become a new checkpoint. Variables and imports persist between runs. Returns "
         "what the code printed. An exception or a time-out is reported as an error with the "
         "traceback.",
         _object({"code": {"type": "string", "description": "Python source to run."}}, ["code"]),
         _object(_OUTPUT, ["checkpoint", "stdout", "stderr"]),
         {"readOnlyHint": False, "destructiveHint": False, "openWorldHint": True}),
    Tool("run_shell", "Run a shell command",
         "Runs a command with sh -c in a sandbox over a copy of the workspace: the host's files "
         "read-only, no network, only the workspace writable. Files it leaves become a new "
         "checkpoint. The exit status is not reported; append `; echo $?` to see it.",
         _object({"command": {"type": "string", "minLength": 1,
                              "description": "Shell command line."}}, ["command"]),
         _object(_OUTPUT, ["checkpoint", "stdout", "stderr"]),
         {"readOnlyHint": False, "destructiveHint": False, "openWorldHint": False}),
    Tool("write_file", "Write a file",
         "Creates or replaces one workspace file, appending a checkpoint.",
         _object({"path": _PATH,
                  "content": {"type": "string",
                              "description": "The file's content, as text or as base64."},
                  "encoding": {"type": "string", "enum": ["utf-8", "base64"],
                               "description": "How `content` is given; utf-8 by default."}},
                 ["path", "content"]),
         _object({"checkpoint": _OUTPUT["checkpoint"], "path": {"type": "string"},
                  "size": {"type": "integer", "description": "Bytes written."}},
                 ["checkpoint", "path", "size"]),
         {"readOnlyHint": False, "destructiveHint": True, "idempotentHint": True,
          "openWorldHint": False}),
    Tool("read_file", "Read a file",
         "Reads one workspace file, from the current checkpoint or an earlier one. Text comes "
         "back as it is; bytes that are not UTF-8 come back as base64.",
         _object({"path": _PATH, "checkpoint": _CHECKPOINT}, ["path"]),
         _object({"path": {"type": "string"}, "checkpoint": {"type": "integer"},
                  "size": {"type": "integer"},
                  "encoding": {"type": "string", "enum": ["utf-8", "base64"]},
                  "content": {"type": "string"}},
                 ["path", "checkpoint", "size", "encoding", "content"]),
         _READ_ONLY),
    Tool("list_files", "List files",
         "Lists the workspace's files with their sizes in bytes, sorted by path, from the "
         "current checkpoint or an earlier one.",
         _object({"prefix": {"type": "string",
                             "description": "Only paths that start with this."},
                  "checkpoint": _CHECKPOINT}),
         _object({"checkpoint": {"type": "integer"},
                  "files": {"type": "array",
                            "items": _object({"path": {"type": "string"},
                                              "size": {"type": "integer"}},
                                             ["path", "size"])},
                  "total_size": {"type": "integer"}},
                 ["checkpoint", "files", "total_size"]),
         _READ_ONLY),
    Tool("delete_file", "Delete a file",
         "Removes one workspace file, appending a checkpoint.",
         _object({"path": _PATH}, ["path"]),
         _object({"checkpoint": _OUTPUT["checkpoint"]}, ["checkpoint"]),
         {"readOnlyHint": False, "destructiveHint": True, "openWorldHint": False}),
    Tool("diff", "Diff two checkpoints",
         "A unified diff of the workspace between two checkpoints (by default from the first, "
         "empty one to the current one). Files that are not text are named, not shown.",
         _object({"from_checkpoint": {**_CHECKPOINT, "description": "Older side; 0 by default."},
                  "to_checkpoint": {**_CHECKPOINT,
                                    "description": "Newer side; the current checkpoint by "
                                                   "default."}}),
         _object({"from_checkpoint": {"type": "integer"}, "to_checkpoint": {"type": "integer"},
                  "diff": {"type": "string"}},
                 ["from_checkpoint", "to_checkpoint", "diff"]),
         _READ_ONLY),
    Tool("list_history", "List the history",
         "Lists the session's checkpoints, oldest first, with what made each one (as far as "
         "this server knows it) and which one is current. After a rollback the later "
         "checkpoints stay until the next change replaces them.",
         _object({}),
         _object({"current": {"type": "integer"},
                  "checkpoints": {
                      "type": "array",
                      "items": _object({"id": {"type": "integer"},
                                        "made_by": {"type": ["string", "null"]},
                                        "current": {"type": "boolean"}},
                                       ["id", "made_by", "current"])}},
                 ["current", "checkpoints"]),
         _READ_ONLY),
    Tool("rollback", "Roll back",
         "Makes an earlier (or later) checkpoint current again. Nothing is deleted: the "
         "checkpoints after it stay until the next change replaces them.",
         _object({"checkpoint": _CHECKPOINT}, ["checkpoint"]),
         _object({"current": {"type": "integer"}}, ["current"]),
         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": True,
          "openWorldHint": False}),
    Tool("install_package", "Install a Python package",
         "Installs a pure-Python package into the session's interpreter with micropip: a "
         "wheel's URL, or a name from the package index. It stays installed for the session.",
         _object({"package": {"type": "string", "minLength": 1,
                              "description": "A wheel URL or a package name."}}, ["package"]),
         _object({"package": {"type": "string"}}, ["package"]),
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


def offered(host_exchange: bool) -> dict[str, Tool]:
    """The tools of a server, by name."""
    return {t.name: t for t in TOOLS if host_exchange or not t.host_exchange}


def check_arguments(tool: Tool, arguments: Any) -> str | None:
    """Why `arguments` do not fit the tool's input schema, or None."""
    return schema.validate(arguments, tool.input_schema)
