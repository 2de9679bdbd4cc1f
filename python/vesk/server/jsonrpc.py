"""JSON-RPC 2.0 messages as the Model Context Protocol uses them.

Pure functions: `parse` turns the bytes of one message into a `Message` or a
ready error response, and the builders make responses. No I/O. The protocol
narrows JSON-RPC: one message per line or body (no batches since revision
2025-06-18), request ids are strings or numbers and never null, and params,
when present, are an object. A string id must be text that UTF-8 can carry:
JSON lets a lone surrogate through (`"\\ud800"`), and the answer to such an
id could never be written.

Errors are values: `parse` never raises; what it cannot accept becomes the
error response the sender should get. An error response to a message whose id
could not be read carries no id: the protocol's schema has no null ids.
"""

from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass
from typing import Any, Union

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
# Implementation-defined server errors (-32000 to -32099).
SERVER_BUSY = -32000
# MCP: a resource that does not exist (up to revision 2025-11-25; later
# revisions say INVALID_PARAMS).
RESOURCE_NOT_FOUND = -32002
# MCP from revision 2026-07-28: HTTP headers that contradict the body or are
# missing, a capability the request needs but did not declare, a protocol
# version the server does not speak.
HEADER_MISMATCH = -32020
MISSING_CLIENT_CAPABILITY = -32021
UNSUPPORTED_PROTOCOL_VERSION = -32022

RequestId = Union[str, int, float]


@dataclass(frozen=True)
class Request:
    id: RequestId
    method: str
    params: dict[str, Any]


@dataclass(frozen=True)
class Notification:
    method: str
    params: dict[str, Any]


@dataclass(frozen=True)
class Response:
    """A response from the peer (this server sends no requests, so these are
    accepted and dropped)."""
    id: RequestId | None


Message = Union[Request, Notification, Response]


_SURROGATE = re.compile("[\ud800-\udfff]")


def valid_id(value: Any) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, str):
        return _SURROGATE.search(value) is None
    return isinstance(value, int)


def _reject_constant(name: str) -> Any:
    # Python's reader takes NaN and Infinity, which are not JSON.
    raise ValueError(f"{name} is not JSON")


def loads(data: bytes | str) -> Any:
    """Strict JSON: UTF-8 only, no NaN or Infinity. Raises ValueError."""
    if isinstance(data, bytes):
        data = data.decode("utf-8")  # UnicodeDecodeError is a ValueError
    return json.loads(data, parse_constant=_reject_constant)


def dumps(value: Any) -> bytes:
    """Compact UTF-8 JSON on one line (json escapes every newline in strings).
    A lone surrogate (a client's text echoed back in a message) becomes
    U+FFFD, so that every answer can be written."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return _SURROGATE.sub("\ufffd", text).encode("utf-8")


def parse(data: bytes | str) -> Message | dict[str, Any]:
    """One message, or the error response to send back for it."""
    try:
        value = loads(data)
    except (ValueError, RecursionError) as e:
        return error(None, PARSE_ERROR, f"Parse error: {e}")
    return classify(value)


def classify(value: Any) -> Message | dict[str, Any]:
    """A decoded JSON value as a message, or the error response for it."""
    if isinstance(value, list):
        return error(None, INVALID_REQUEST,
                     "Invalid Request: batches are not part of this protocol revision")
    if not isinstance(value, dict):
        return error(None, INVALID_REQUEST, "Invalid Request: a message is a JSON object")
    has_id = "id" in value
    raw_id = value.get("id")
    reply_id = raw_id if has_id and valid_id(raw_id) else None
    if value.get("jsonrpc") != "2.0":
        return error(reply_id, INVALID_REQUEST, 'Invalid Request: "jsonrpc" must be "2.0"')
    if "method" not in value:
        if ("result" in value) != ("error" in value) and (raw_id is None or valid_id(raw_id)):
            return Response(reply_id)
        return error(reply_id, INVALID_REQUEST, 'Invalid Request: no "method"')
    method = value["method"]
    if not isinstance(method, str):
        return error(reply_id, INVALID_REQUEST, 'Invalid Request: "method" must be a string')
    params = value.get("params", {})
    if not isinstance(params, dict):
        if has_id and valid_id(raw_id):
            return error(raw_id, INVALID_PARAMS, 'Invalid params: "params" must be an object')
        return error(None, INVALID_REQUEST, 'Invalid Request: "params" must be an object')
    if not has_id:
        return Notification(method, params)
    if reply_id is None:
        return error(None, INVALID_REQUEST, 'Invalid Request: "id" must be a string (of Unicode text) '
                                             'or a number')
    return Request(reply_id, method, params)


def result(request_id: RequestId, value: dict[str, Any]) -> dict[str, Any]:
    return {"jsonrpc": "2.0", "id": request_id, "result": value}


def error(request_id: RequestId | None, code: int, message: str,
          data: Any = None) -> dict[str, Any]:
    body: dict[str, Any] = {"code": code, "message": message}
    if data is not None:
        body["data"] = data
    response: dict[str, Any] = {"jsonrpc": "2.0"}
    if request_id is not None:
        response["id"] = request_id
    response["error"] = body
    return response
