"""The read-only web view (`vesk serve --http ... --ui`) at /ui/.

Two parts, both behind the HTTP gate (Host and Origin checks):
- the page itself, three static files (index.html, app.js, style.css) built
  from ui/ next to the extension module (vesk_ui/); they hold no data, so
  they are served without a token (a browser's navigation cannot carry
  one), and read once, then kept in memory;
- a JSON API under /ui/api/, which needs the bearer token like /mcp and
  answers the token's principal about its own workspaces only (another
  principal's handle is unknown, 404):
    GET /ui/api/workspaces                       the list
    GET /ui/api/workspaces/H/timeline            every kept checkpoint
    GET /ui/api/workspaces/H/files?checkpoint=N&page=K
    GET /ui/api/workspaces/H/file?checkpoint=N&path=P&page=K
    GET /ui/api/workspaces/H/diff?from=A&to=B&page=K
    GET /ui/api/workspaces/H/output?checkpoint=N&page=K
  Each is answered by the workspace's worker (`view.py`), which bounds
  every answer. A parked workspace's worker is started to answer (its
  files and history come from the store; its interpreter stays parked
  until a run), and parks again once idle.

Everything shown comes from sandboxed code: the page builds its DOM with
textContent only, and every answer carries a Content-Security-Policy that
allows the page's own script and style and nothing else (no inline
script, no inline style, no frames), with nosniff and no caching.
"""

from __future__ import annotations

import asyncio
import json
import time
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, unquote, urlsplit

from vesk.server.sessions import Session, SessionManager
from vesk.server.store import StoreError
from vesk.server.workers import WorkerGone

PREFIX = "/ui/"
API = "/ui/api/"
STATIC = {"index.html": "text/html; charset=utf-8",
          "app.js": "text/javascript; charset=utf-8",
          "style.css": "text/css; charset=utf-8"}
HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "connect-src 'self'; img-src 'self'; frame-ancestors 'none'; "
                               "base-uri 'none'; form-action 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
    "X-Frame-Options": "DENY",
}
# The list shows this many workspaces, the most recently used first; a
# worker that does not answer its summary within SUMMARY_WAIT is shown
# without size and checkpoints (it may be running a long command).
MAX_LISTED = 500
SUMMARY_WAIT = 2.0
# A view waits this long for a worker busy with a call (a run may take
# minutes), then answers 503 rather than hold the page.
VIEW_WAIT = 10.0
VIEWS = ("timeline", "files", "file", "diff", "output")


class UiError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def static_path(path: str) -> str | None:
    """The static file a request path names ("/ui/" is index.html), or None."""
    if path in ("/ui", PREFIX):
        return "index.html"
    name = path[len(PREFIX):] if path.startswith(PREFIX) else ""
    return name if name in STATIC else None


def _bundle_dir() -> Path:
    import vesk_internal

    return Path(vesk_internal.__file__).resolve().parent / "vesk_ui"


def _json(status: int, value: Any) -> tuple[int, dict[str, str], bytes]:
    body = json.dumps(value, ensure_ascii=True, separators=(",", ":")).encode()
    return status, {**HEADERS, "Content-Type": "application/json"}, body


def _utc(when: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(when))


def _whole(query: dict[str, list[str]], name: str, default: int | None = None) -> int:
    values = query.get(name)
    if not values:
        if default is None:
            raise UiError(400, f"'{name}' is missing")
        return default
    value = values[0]
    if not (value.isascii() and value.isdigit() and len(value) <= 12):
        raise UiError(400, f"'{name}' must be a whole number")
    return int(value)


class WebView:
    def __init__(self, manager: SessionManager, bundle: Path | None = None) -> None:
        self.manager = manager
        self.bundle = bundle
        self._files: dict[str, bytes] = {}

    async def answer(self, method: str, target: str, principal: str | None
                     ) -> tuple[int, dict[str, str], bytes]:
        parts = urlsplit(target)
        if method != "GET":
            return 405, {**HEADERS, "Allow": "GET"}, b""
        name = static_path(parts.path)
        if name is not None:
            return self._static(name)
        try:
            if not parts.path.startswith(API):
                raise UiError(404, "no such page")
            return _json(200, await self._api(parts.path[len(API):], parse_qs(parts.query),
                                              principal))
        except UiError as e:
            return _json(e.status, {"error": str(e)})

    def _static(self, name: str) -> tuple[int, dict[str, str], bytes]:
        if name not in self._files:
            try:
                self._files[name] = ((self.bundle or _bundle_dir()) / name).read_bytes()
            except OSError:
                return (404, {**HEADERS, "Content-Type": "text/plain; charset=utf-8"},
                        b"the web view was not built (vesk_ui/ is missing beside the module)")
        return 200, {**HEADERS, "Content-Type": STATIC[name]}, self._files[name]

    async def _api(self, path: str, query: dict[str, list[str]],
                   principal: str | None) -> Any:
        if path == "workspaces":
            return {"workspaces": await self._list(principal)}
        top, _, rest = path.partition("/")
        handle, _, view = rest.partition("/")
        handle = unquote(handle)
        if top != "workspaces" or view not in VIEWS or not handle or len(handle) > 128:
            raise UiError(404, "no such view")
        session = self.manager.lookup(handle, principal)
        if session is None:
            raise UiError(404, "no such workspace")
        arguments: dict[str, Any] = {"what": view}
        if view in ("files", "file", "output"):
            arguments["checkpoint"] = _whole(query, "checkpoint")
        if view in ("files", "file", "diff", "output"):
            arguments["page"] = _whole(query, "page", 0)
        if view == "file":
            paths = query.get("path")
            if not paths:
                raise UiError(400, "'path' is missing")
            arguments["path"] = paths[0]
        if view == "diff":
            arguments["from"] = _whole(query, "from")
            arguments["to"] = _whole(query, "to")
        return await self._ask(session, arguments)

    async def _ask(self, session: Session, arguments: dict[str, Any]) -> Any:
        if not self.manager.unpark(session):
            raise UiError(503, "the server has its maximum of live workspaces; this parked "
                               "workspace can be shown once one ends or parks")
        try:
            worker = await session.ready_worker()
            reply = await asyncio.wait_for(worker.call("_view", arguments), VIEW_WAIT)
        except WorkerGone as e:
            raise UiError(503, f"the workspace's worker is not available: {e}") from None
        except asyncio.TimeoutError:
            raise UiError(503, "the workspace is busy with a call; try again once it "
                               "ends") from None
        if "ok" in reply:
            return reply["ok"]
        raise UiError(404 if reply.get("missing") else 400, str(reply.get("error")))

    async def _summary(self, session: Session) -> dict[str, Any] | None:
        worker = session.worker
        if worker is None or worker.busy:
            return None
        try:
            reply = await asyncio.wait_for(worker.call("_view", {"what": "summary"}),
                                           SUMMARY_WAIT)
        except (WorkerGone, asyncio.TimeoutError):
            return None
        ok = reply.get("ok")
        return ok if isinstance(ok, dict) else None

    def _stored_summary(self, session: Session) -> dict[str, Any] | None:
        """What the store says of a workspace no worker can answer for now
        (parked, or busy with a call): as of its last saved change."""
        store = self.manager.store
        if store is None or not session.keep:
            return None
        try:
            checkpoints, size = store.summary(session.id)
        except StoreError:
            return None
        return {"checkpoints": checkpoints, "size": size} if checkpoints else None

    async def _list(self, principal: str | None) -> list[dict[str, Any]]:
        owned = sorted(self.manager.owned(principal), key=lambda s: s.last_active,
                       reverse=True)[:MAX_LISTED]
        summaries = await asyncio.gather(*(self._summary(s) for s in owned))
        summaries = [found or self._stored_summary(s) for s, found in zip(owned, summaries)]
        now_wall, now = time.time(), time.monotonic()
        return [{"id": s.id, "state": "parked" if s.parked else "live", "stored": s.keep,
                 "last_activity": _utc(now_wall - (now - s.last_active)),
                 "size": summary["size"] if summary else None,
                 "checkpoints": summary["checkpoints"] if summary else None}
                for s, summary in zip(owned, summaries)]
