"""The workspace as MCP resources: URIs, listing entries and contents.

Pure functions, no I/O. A workspace file is the resource
`vesk://workspace/{key}`, where `{key}` is the workspace key expanded as an
RFC 6570 simple expression: every byte that is not an unreserved character,
`/` included, is percent-encoded. So one template, `vesk://workspace/{key}`,
names every file, and a key never splits into path segments that a client's
URL parser could normalise away (`a/../b`, `./a`).
"""

from __future__ import annotations

import mimetypes
from typing import Any
from urllib.parse import quote, unquote

PREFIX = "vesk://workspace/"
TEMPLATE = {
    "uriTemplate": PREFIX + "{key}",
    "name": "workspace-file",
    "title": "Workspace file",
    "description": "A file of the session's current checkpoint, by its workspace path "
                   "(percent-encoded, / as %2F).",
}
PAGE_SIZE = 500


def uri_of(key: str) -> str:
    return PREFIX + quote(key, safe="")


def key_of(uri: str) -> str | None:
    """The workspace key a URI names, or None if it names none."""
    if not uri.startswith(PREFIX):
        return None
    encoded = uri[len(PREFIX):]
    if not encoded or "/" in encoded or "?" in encoded or "#" in encoded:
        return None
    try:
        key = unquote(encoded, errors="strict")
    except UnicodeDecodeError:
        return None
    return key or None


def mime_type(key: str) -> str:
    guessed, _ = mimetypes.guess_type(key, strict=False)
    return guessed or "application/octet-stream"


def cursor_key(cursor: str | None) -> str | None:
    """The key a `resources/list` cursor says the page starts after ("" for
    the first page), or None for a cursor this server did not hand out. The
    cursor is the last key of the previous page, so a page stays right when
    files come and go between requests."""
    return "" if cursor is None else key_of(cursor)


def listing(page: list[tuple[str, int]], more: bool) -> dict[str, Any]:
    """One page of `resources/list` from (key, size) pairs sorted by key;
    `more` when files follow it."""
    result: dict[str, Any] = {"resources": [
        {"uri": uri_of(key), "name": key, "mimeType": mime_type(key), "size": size}
        for key, size in page]}
    if more and page:
        result["nextCursor"] = uri_of(page[-1][0])
    return result


def contents(key: str, encoding: str, content: str) -> dict[str, Any]:
    """The `resources/read` entry of one file as the read_file tool gives it:
    text when it is UTF-8, else base64."""
    guessed = mime_type(key)
    if encoding == "utf-8":
        return {"uri": uri_of(key), "text": content,
                "mimeType": "text/plain" if guessed == "application/octet-stream" else guessed}
    return {"uri": uri_of(key), "blob": content, "mimeType": guessed}
