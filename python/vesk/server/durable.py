"""A worker's side of the store: its session made, saved and parked.

The server tells a worker through its environment where its session comes
from: `VESK_STORE` (the database) with `VESK_STORE_ID` (the workspace's
row), plus `VESK_STORE_LOAD=1` to rebuild the session the store holds, and
`VESK_LOAD_FILE` for a session file to start from (a fork; the worker
deletes the file once read). Without `VESK_STORE_ID` the session is kept in
memory only. With `VESK_STORE_NODE` (the server's node id) the worker first
claims the workspace's lease for `VESK_LEASE_SECS`, waiting a bounded time
while another node holds it, and fences every write by it: a worker whose
node lost the lease answers each change with an error.

`Keeper.save` runs after every call that may have changed the session and
before its answer goes: it writes the module's journal in one transaction
and confirms it, so every change a client was told about is in the store.
A write that fails (a full disk) turns the answer into an error that says
so; the session goes on in memory, and the next journal holds the change
again. `Keeper.park` parks the session and stores its interpreter's image,
after which the server ends the worker. The store holds images
uncompressed (vesk_internal._image_of_blob), so that it can keep what
images share once, and gives them back to the module as they are. A session
rebuilt without an image (never parked, or run since its last park) has a
fresh interpreter: the first result of a call that uses it says so.
"""

from __future__ import annotations

import json
import os
import time
from typing import Any, Mapping

from vesk.server import killpoint, store_images
from vesk.server.store import Fenced, Lease, Leased, Store, StoreError

# Calls that never change the session: nothing to save after them.
READ_ONLY = frozenset({"read_file", "search_files", "list_files", "list_page", "diff",
                       "list_history"})
INTERPRETER = frozenset({"run_python", "install_package"})
# How long a worker waits at most for a workspace another node holds.
LEASE_WAIT = 30.0
RESTARTED = ("the workspace was brought back from the server's store without its "
             "interpreter: the interpreter was restarted; its variables and imports are gone")


class Keeper:
    """Keeps one worker's session in the store."""

    def __init__(self, store: Store, workspace: str, lease: Lease | None = None) -> None:
        self.store = store
        self.workspace = workspace
        self.lease = lease  # what every write is fenced by; None: no leases
        # The store holds an image the interpreter moves on from at its next use.
        self.image_stored = False
        # Something ran in the interpreter since its image was stored, whether
        # or not the store could be told.
        self.moved_on = False
        # The first interpreter call's result says the interpreter was restarted.
        self.notice: str | None = None
        # The current checkpoint the store holds (a rollback changes only it).
        self.stored_current = -1
        # Its lease was another node's, expired or released, when claimed.
        self.took_over = False

    def save(self, session: Any, ops: Any, tool: str, reply: dict[str, Any]) -> None:
        """Writes what `tool` changed; on failure, makes `reply` say so."""
        if tool in READ_ONLY:
            return
        uses_interpreter = tool in INTERPRETER
        self.moved_on = self.moved_on or uses_interpreter
        try:
            journal = session._journal()
            drop_image = uses_interpreter and self.image_stored
            if journal["written"] or journal["dropped"] or journal["parts"] is not None \
                    or drop_image or journal["current_id"] != self.stored_current:
                killpoint.reach("journal.before_write")
                began = time.monotonic()
                self.store.write(self.workspace, journal, session._journal_content,
                                 lambda i: (ops.made_by.get(i), ops.made_at.get(i)),
                                 retire_image=drop_image, lease=self.lease)
                self.stored_current = journal["current_id"]
                # The server counts it (metrics): the worker has no page of its own.
                reply["store_s"] = time.monotonic() - began
                killpoint.reach("journal.after_commit")
            session._journal_written()
            if drop_image:
                self.image_stored = False
        except (StoreError, RuntimeError) as e:
            what = "the change was made" if "ok" in reply else "the call failed"
            text = (f"{what}, but could not be saved: {e}; the workspace goes on in this "
                    f"server's memory, and its next change saves this one too")
            if isinstance(e, Fenced):
                text = f"{what} here, but {e}; call again to reach the node that serves it"
            reply.pop("ok", None)
            reply["error"] = f"{reply['error']}\n{text}" if "error" in reply else text
            return
        if uses_interpreter and self.notice is not None:
            if "ok" in reply:
                reply["ok"]["notice"] = self.notice
            else:
                reply["error"] = f"{reply['error']}\n{self.notice}"
            self.notice = None

    def park(self, session: Any, ops: Any) -> dict[str, Any]:
        """Saves what is pending, parks the session and stores its image:
        {"parked": True} once the store holds all of it (the worker may
        end), else {"parked": False, "why": ...}."""
        reply: dict[str, Any] = {"ok": {}}
        self.save(session, ops, "_park", reply)
        if "error" in reply:
            return {"ok": {"parked": False, "why": reply["error"]}}
        if self.image_stored and not self.moved_on:
            # Nothing has run in the interpreter since its image was stored
            # (a workspace resumed for calls that did not use it): imaging it
            # again would only store the same pieces.
            return {"ok": {"parked": True}}
        why = session._park()
        if why != "parked" and session._parked_size == 0:
            return {"ok": {"parked": False, "why": why}}
        try:
            image = session._image()
            if image is None:
                return {"ok": {"parked": False, "why": "the interpreter could not be imaged"}}
            killpoint.reach("park.imaged")
            # Expanded, so that the store keeps the pieces images share once.
            import vesk_internal
            compressed = store_images.expanded_size(image) > store_images.EXPAND_LIMIT
            self.store.set_image(self.workspace,
                                 image if compressed else vesk_internal._image_of_blob(image),
                                 lease=self.lease, compressed=compressed)
            killpoint.reach("park.stored")
        except (StoreError, RuntimeError) as e:
            return {"ok": {"parked": False, "why": str(e)}}
        self.image_stored = True
        self.moved_on = False
        return {"ok": {"parked": True}}


def fork_to(session: Any, ops: Any, path: str) -> dict[str, Any]:
    """Saves the session (with its interpreter when it can be imaged) to
    `path` for a new worker to start from, with what made each checkpoint
    beside it."""
    try:
        image = session.save(path, interpreter=True)
        with open(path + ".records", "w", encoding="utf-8") as f:
            json.dump({"made_by": ops.made_by, "made_at": ops.made_at}, f)
    except (RuntimeError, OSError) as e:
        return {"error": f"could not fork the workspace: {e}"}
    return {"ok": {"interpreter": bool(image)}}


def store_loaded(keeper: Keeper | None, session: Any, ops: Any,
                 env: Mapping[str, str]) -> str | None:
    """A session that came from a file (a fork) goes to the store before its
    handle is given out; what went wrong, or None."""
    if keeper is None or not env.get("VESK_LOAD_FILE"):
        return None
    reply: dict[str, Any] = {"ok": {}}
    keeper.save(session, ops, "_load", reply)
    error: str | None = reply.get("error")
    return error


def claim(store: Store, workspace: str, node: str, seconds: float) -> Lease:
    """The workspace's lease, waited for while another node holds it: a
    node that failed stops renewing, and a draining one releases it once
    its calls are done. Leased after LEASE_WAIT seconds (a live holder
    that does not let go)."""
    deadline = time.monotonic() + max(LEASE_WAIT, 2 * seconds)
    while True:
        try:
            return store.claim(workspace, node, seconds)
        except Leased as e:
            left = deadline - time.monotonic()
            if left <= 0:
                raise
            # Until the lease runs out, or a little while for a release.
            time.sleep(min(left, max(0.05, min(e.left + 0.01, 0.25))))


def open_session(env: Mapping[str, str], ahead: list[Any] | None = None
                 ) -> tuple[Any, Keeper | None, dict[str, Any] | None]:
    """The worker's session, its keeper (None: memory only), and the records
    of what made each checkpoint when they come from elsewhere. `ahead` may
    hold a fresh session made in advance: taken out as the session when no
    other is to be rebuilt, else emptied (so its runner ends first). Raises
    RuntimeError, StoreError or OSError when no session can be made."""
    import vesk_internal

    ahead = [] if ahead is None else ahead
    keeper = None
    if env.get("VESK_STORE") and env.get("VESK_STORE_ID"):
        store = Store(env["VESK_STORE"], check=False)
        lease = None
        if env.get("VESK_STORE_NODE"):
            lease = claim(store, env["VESK_STORE_ID"], env["VESK_STORE_NODE"],
                          float(env.get("VESK_LEASE_SECS", "10")))
        keeper = Keeper(store, env["VESK_STORE_ID"], lease)
        keeper.took_over = store.took_over
    path = env.get("VESK_LOAD_FILE")
    if path:
        ahead.clear()
        try:
            session = vesk_internal.VeskSession.load(path)
            with open(path + ".records", encoding="utf-8") as f:
                raw = json.load(f)
            records = {"made_by": {int(k): v for k, v in raw["made_by"].items()},
                       "made_at": {int(k): v for k, v in raw["made_at"].items()}}
        finally:
            for name in (path, path + ".records"):
                try:
                    os.unlink(name)
                except OSError:
                    pass
        return session, keeper, records
    if keeper is not None and env.get("VESK_STORE_LOAD") == "1":
        loaded = keeper.store.load(keeper.workspace, pieces=True)
        if loaded is not None:
            ahead.clear()
            # An expanded image goes to the runner as it is (its pieces joined
            # by the module): compressing it here only for the resume to undo
            # it cost the first call ~25 ms.
            image = loaded.image if loaded.image is not None else loaded.image_pieces
            session = vesk_internal.VeskSession._from_store(
                loaded.current_id, loaded.rows, loaded.parts, keeper.store.content,
                image, expanded=image is not None and not loaded.image_compressed)
            keeper.image_stored = image is not None
            keeper.stored_current = loaded.current_id
            if image is None:
                keeper.notice = RESTARTED
            return session, keeper, {"made_by": loaded.made_by, "made_at": loaded.made_at}
    made = ahead.pop() if ahead else None
    return (made if made is not None else vesk_internal.VeskSession()), keeper, None
