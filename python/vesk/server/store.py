"""The server's store: workspaces kept in an SQLite database, or in
PostgreSQL, so that they outlive the server's processes.

One database (an SQLite file: Python's own `sqlite3`, write-ahead log,
writes synced before a commit returns; or a PostgreSQL database named by a
postgresql:// URL; store_db.py holds what differs) holds every workspace: its row (handle
or MCP session id, owning principal, kind, protocol revision, current
checkpoint, the session's other parts, the list of pieces of the
interpreter's image of its last park), its checkpoints as the module's
journal rows, and contents by SHA-256, each once whatever refers to it.
Images are kept as pieces shared between workspaces, each once
(store_images.py). A store of version 1 (whole images) is upgraded when a
server opens it. Two kinds of process open it: the server,
which adds and removes workspace rows, and each worker, which writes its
session's journal after every call that changed something and before the
answer goes (`write`), and rebuilds its session from the rows (`load`).
Writers are serialised (`busy_timeout`; an advisory lock on PostgreSQL).
One server at a time uses an SQLite store: it holds a lock on `PATH.lock`
while it runs.

Contents are garbage-collected without reading the module's opaque rows:
each journal write is a generation of the workspace, and the digests that
journal named are recorded as the generation's references. A generation
lives while a checkpoint row written by it, or the session parts, remain;
once none do, its references go, and each content no reference names any
longer is deleted. A generation may name more than the rows left need
(never less), so a content can outlive its last use by a while, never the
reverse.

Ownership: a worker serves its workspace under a lease (node, generation,
expiry by the database's clock) that it claims when it starts; its server
renews all of its node's leases while it lives. A lease that expired is
taken over by the next node that claims it, with the next generation, and
every write of a worker (`write`, `set_image`) and every removal by a
server checks, inside its transaction, that the lease is still the one it
holds: a node paused or cut off past its lease can no longer change a
workspace another node serves (`Fenced`). The check needs no expiry of its
own: writes are serialised, so a takeover and a fenced write are ordered.

Errors: `StoreError` with a sentence for the operator or the client
(a database that cannot be opened, is read-only, is not a database, or a
write that failed, a full disk included). A failed write leaves the store
as it was (one transaction); the worker's session then goes on in memory
and its next journal holds the change again.
"""

from __future__ import annotations

import fcntl
import os
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator
from contextlib import contextmanager

from vesk.server import killpoint, store_images
from vesk.server.store_db import Db, DbError, connect, is_url, shown

SCHEMA_VERSION = "2"
_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS workspaces(
  id TEXT PRIMARY KEY, principal TEXT, kind TEXT NOT NULL, protocol TEXT,
  last_used REAL NOT NULL, gen INTEGER NOT NULL DEFAULT 0, current_id INTEGER,
  parts BLOB, parts_gen INTEGER, image BLOB);
CREATE TABLE IF NOT EXISTS checkpoints(
  workspace TEXT NOT NULL, id INTEGER NOT NULL, gen INTEGER NOT NULL, row BLOB NOT NULL,
  made_by TEXT, made_at REAL, PRIMARY KEY(workspace, id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS refs(
  workspace TEXT NOT NULL, gen INTEGER NOT NULL, hash BLOB NOT NULL,
  PRIMARY KEY(workspace, gen, hash)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS refs_by_hash ON refs(hash);
CREATE TABLE IF NOT EXISTS contents(hash BLOB PRIMARY KEY, bytes BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS chunks(hash BLOB PRIMARY KEY, uses INTEGER NOT NULL,
  bytes BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS leases(
  workspace TEXT PRIMARY KEY, node TEXT NOT NULL, generation INTEGER NOT NULL,
  expires REAL NOT NULL);
CREATE INDEX IF NOT EXISTS leases_by_node ON leases(node);
CREATE TABLE IF NOT EXISTS nodes(
  node TEXT PRIMARY KEY, address TEXT, draining INTEGER NOT NULL DEFAULT 0);
"""
HANDLE, SESSION = "handle", "session"


class StoreError(Exception):
    """The store could not be opened or written; the text says why."""


class Gone(StoreError):
    """The workspace has no row (it was removed meanwhile)."""


class Leased(StoreError):
    """Another node holds the workspace's lease, and it has not expired;
    `left`: seconds until it does, unless renewed."""

    def __init__(self, message: str, left: float = 0.0) -> None:
        super().__init__(message)
        self.left = left


class Fenced(StoreError):
    """This node no longer holds the workspace's lease: another took it
    over, and nothing this node writes of it is stored."""


Lease = tuple[str, int]  # (node, generation)


def default_path() -> str:
    """$XDG_STATE_HOME/vesk/store.sqlite3, else ~/.local/state/vesk/..."""
    base = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "vesk", "store.sqlite3")


@dataclass(frozen=True)
class Stored:
    """A workspace's row, as the server needs it."""
    id: str
    principal: str | None
    kind: str
    protocol: str | None
    last_used: float


@dataclass
class Loaded:
    """What a worker rebuilds its session from."""
    current_id: int
    rows: list[bytes]
    parts: bytes
    image: bytes | None
    made_by: dict[int, str | None]
    made_at: dict[int, float]
    # The image as the module gives it (compressed), not expanded.
    image_compressed: bool = False
    # With load(pieces=True), an expanded image's pieces in order, in place
    # of `image`.
    image_pieces: list[bytes] | None = None


class Store:
    def __init__(self, path: str, check: bool = True, node: str | None = None,
                 lease_secs: float = 10.0) -> None:
        """Opens (creating) the store at `path`, an SQLite file or a
        postgresql:// URL; StoreError when it cannot be opened for writing or
        is not a store of this version. Without `check` (a worker, once the
        server has checked it) it only opens. `node`: the node id under which
        the server's workers lease its workspaces (None: no leases)."""
        self.path = path
        self.node = node
        self.lease_secs = lease_secs
        self.took_over = False  # the last claim took another node's lease
        self._lock: int | None = None
        where = shown(path)
        try:
            if not is_url(path):
                os.makedirs(os.path.dirname(os.path.abspath(path)), mode=0o700, exist_ok=True)
                if os.path.exists(path) and not os.access(path, os.R_OK | os.W_OK):
                    raise StoreError(f"cannot use the store {path}: it is not writable")
                self._lock = self._take_lock(path) if check else None
            old = os.umask(0o077)
            try:
                self._db = connect(path)
            finally:
                os.umask(old)
            if check and not is_url(path) and os.stat(path).st_mode & 0o077:
                # It holds every workspace's files: no one but its owner reads
                # it (SQLite gives its -wal and -shm files the same mode).
                os.chmod(path, 0o600)
            if not check:
                return
            if is_url(path) and node is not None:
                self._hold_node(node)
            self._db.script(_SCHEMA)
            with self._transaction():
                # A write now, so that a store that cannot take one is refused at start.
                self._db.execute("INSERT INTO meta VALUES('opened', ?) "
                                 "ON CONFLICT(key) DO UPDATE SET value=excluded.value",
                                 (str(time.time()),))
                found = self._db.execute(
                    "SELECT value FROM meta WHERE key='version'").fetchone()
                if found is None:
                    self._db.execute("INSERT INTO meta VALUES('version', ?)", (SCHEMA_VERSION,))
                elif found[0] == "1":
                    _upgrade_from_1(self._db)
                elif found[0] != SCHEMA_VERSION:
                    raise StoreError(f"cannot use the store {where}: it is of version {found[0]}; "
                                     f"this server reads version {SCHEMA_VERSION}")
        except StoreError:
            raise
        except (DbError, OSError) as e:
            raise StoreError(f"cannot use the store {where}: {e}") from None

    def _hold_node(self, node: str) -> None:
        """One live server per node id: two would each take the node's
        leases as their own. The lock goes with the server's connection,
        however the server ends."""
        try:
            self._db.hold(node)
        except DbError as e:
            raise StoreError(f"cannot use the store {self.shown}: {e}") from None

    @staticmethod
    def _take_lock(path: str) -> int:
        """One server per store: two would each serve the same workspaces
        from workers of their own. The lock goes with the process, however
        it ends."""
        fd = os.open(path + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise StoreError(f"cannot use the store {path}: another vesk serve is using "
                             f"it") from None
        return fd

    def close(self) -> None:
        self._db.close()
        if self._lock is not None:
            os.close(self._lock)

    @property
    def shown(self) -> str:
        """The store's path or URL as it may be logged."""
        return shown(self.path)

    @contextmanager
    def _transaction(self, step: str = "") -> Iterator[Db]:
        db = self._db
        db.begin()
        try:
            yield db
        except BaseException:
            try:
                db.rollback()
            except DbError:
                pass  # the connection broke: nothing was committed
            raise
        if step:
            killpoint.reach(f"store.{step}.before_commit")
        db.commit()

    def _write(self, what: str, work: Callable[[Db], Any], step: str = "") -> Any:
        try:
            with self._transaction(step) as db:
                return work(db)
        except StoreError:
            raise
        except (DbError, OSError) as e:
            raise StoreError(f"could not {what} in the store: {e}") from None

    # --- the server's side ---

    def add(self, workspace: str, principal: str | None, kind: str,
            protocol: str | None = None) -> None:
        self._write("record the workspace", lambda db: db.execute(
            "INSERT INTO workspaces(id, principal, kind, protocol, last_used) "
            "VALUES(?, ?, ?, ?, ?) ON CONFLICT DO NOTHING",
            (workspace, principal, kind, protocol, time.time())), "add")

    def find(self, workspace: str) -> Stored | None:
        try:
            row = self._db.execute(
                "SELECT id, principal, kind, protocol, last_used FROM workspaces WHERE id=?",
                (workspace,)).fetchone()
        except DbError as e:
            raise StoreError(f"could not read the store: {e}") from None
        return Stored(*row) if row is not None else None

    def count(self) -> int:
        """The workspaces the store holds (a walk of the primary key's
        index: a few milliseconds at ten thousand)."""
        return int(self._read("SELECT count(*) FROM workspaces", ())[0][0])

    def _read(self, query: str, arguments: tuple[Any, ...]) -> list[Any]:
        try:
            return self._db.execute(query, arguments).fetchall()
        except DbError as e:
            raise StoreError(f"could not read the store: {e}") from None

    def owned(self, principal: str | None) -> list[Stored]:
        rows = self._read("SELECT id, principal, kind, protocol, last_used FROM workspaces "
                          "WHERE principal IS NOT DISTINCT FROM ? AND kind=? ORDER BY last_used",
                          (principal, HANDLE))
        return [Stored(*row) for row in rows]

    def summary(self, workspace: str) -> tuple[int, int]:
        """The stored workspace's number of checkpoints and the bytes of its
        distinct contents, as its session counts them (0, 0 if absent)."""
        counted = self._read("SELECT COUNT(*) FROM checkpoints WHERE workspace=?", (workspace,))
        size = self._read("SELECT SUM(LENGTH(bytes)) FROM contents WHERE hash IN "
                          "(SELECT DISTINCT hash FROM refs WHERE workspace=?)", (workspace,))
        return int(counted[0][0] or 0), int(size[0][0] or 0)

    def unused_since(self, cutoff: float) -> list[tuple[str, str | None]]:
        """Workspaces (id, principal) last used before `cutoff` (wall-clock
        seconds), at most 200 at a time."""
        return [(r[0], r[1]) for r in self._read(
            "SELECT id, principal FROM workspaces WHERE last_used < ? LIMIT 200", (cutoff,))]

    def touch(self, workspace: str, when: float, node: str | None = None) -> None:
        def work(db: Db) -> None:
            self._fence(db, workspace, None, node)
            db.execute("UPDATE workspaces SET last_used=? WHERE id=?", (when, workspace))
        self._write("record the workspace's use", work)

    def remove(self, workspace: str, node: str | None = None) -> None:
        """The workspace's rows, and each content nothing else refers to;
        Fenced when another `node` than this holds its lease."""
        def work(db: Db) -> None:
            self._fence(db, workspace, None, node)
            hashes = [r[0] for r in db.execute(
                "SELECT DISTINCT hash FROM refs WHERE workspace=?", (workspace,))]
            image = db.execute("SELECT image FROM workspaces WHERE id=?", (workspace,)).fetchone()
            store_images.release(db, image[0] if image else None)
            for table, column in (("refs", "workspace"), ("checkpoints", "workspace"),
                                  ("leases", "workspace"), ("workspaces", "id")):
                db.execute(f"DELETE FROM {table} WHERE {column}=?", (workspace,))
            _collect(db, hashes)
        self._write("remove the workspace", work)

    # --- leases ---

    def claim(self, workspace: str, node: str, seconds: float) -> Lease:
        """The workspace's lease for `node` for `seconds`: kept (same
        generation) when `node` holds it, taken over (the next generation)
        when it expired, new when there was none; Leased when another node
        holds it still."""
        self.took_over = False  # set when another node held it (metrics)

        def work(db: Db) -> Lease:
            found = db.execute(f"SELECT node, generation, expires < {db.NOW}, "
                               f"expires - {db.NOW} FROM leases WHERE workspace=?",
                               (workspace,)).fetchone()
            if found is None:
                db.execute(f"INSERT INTO leases VALUES(?, ?, 1, {db.NOW} + ?)",
                           (workspace, node, seconds))
                return node, 1
            generation = int(found[1])
            if found[0] != node:
                if not found[2]:
                    raise Leased(f"the workspace {workspace} is served by another node "
                                 f"({found[0]}) whose lease has not expired",
                                 max(0.0, float(found[3])))
                generation += 1
                self.took_over = True
            db.execute(f"UPDATE leases SET node=?, generation=?, expires={db.NOW} + ? "
                       f"WHERE workspace=?", (node, generation, seconds, workspace))
            return node, generation
        result: Lease = self._write("take the workspace's lease", work)
        return result

    def renew(self, node: str, seconds: float) -> int:
        """Extends every lease `node` holds by `seconds` from now; how many.
        Released leases stay released: the node let those workspaces go."""
        def work(db: Db) -> int:
            return db.execute(f"UPDATE leases SET expires={db.NOW} + ? "
                              f"WHERE node=? AND expires > 0", (seconds, node)).rowcount
        count: int = self._write("renew the node's leases", work)
        return count

    def release(self, node: str, workspace: str | None = None) -> None:
        """Ends `node`'s lease of `workspace` (of every workspace without
        one) now, for another node to take over at once. The row stays, so
        that generations never repeat."""
        where = "" if workspace is None else " AND workspace=?"
        self._write("release the node's leases", lambda db: db.execute(
            f"UPDATE leases SET expires=0 WHERE node=?{where}",
            (node,) if workspace is None else (node, workspace)))

    def announce(self, node: str, address: str | None, draining: bool) -> None:
        """Records where `node` answers requests it is handed (None: it
        takes none), and whether it is draining (it takes none either)."""
        self._write("record the node", lambda db: db.execute(
            "INSERT INTO nodes VALUES(?, ?, ?) ON CONFLICT(node) DO UPDATE SET "
            "address=excluded.address, draining=excluded.draining",
            (node, address, int(draining))))

    def takers(self) -> list[tuple[str, str]]:
        """(node, address) of every node that takes requests handed on and
        is not draining (a node that died stays listed: it refuses them)."""
        rows = self._read("SELECT node, address FROM nodes WHERE draining = 0 "
                          "AND address IS NOT NULL", ())
        return [(str(node), str(address)) for node, address in rows]

    def holder(self, workspace: str) -> tuple[str, bool, str | None] | None:
        """The workspace's lease as (node, live, address of a node that
        takes requests handed on), or None when it has none."""
        rows = self._read(f"SELECT l.node, l.expires > {self._db.NOW}, "
                          f"CASE WHEN n.draining = 0 THEN n.address END "
                          f"FROM leases l LEFT JOIN nodes n ON n.node = l.node "
                          f"WHERE l.workspace=?", (workspace,))
        return (rows[0][0], bool(rows[0][1]), rows[0][2]) if rows else None

    @staticmethod
    def _fence(db: Db, workspace: str, lease: Lease | None, node: str | None = None) -> None:
        """Fenced unless `lease` (or, given only `node`, any lease of that
        node, or none) is the workspace's lease now."""
        if lease is None and node is None:
            return
        found = db.execute("SELECT node, generation FROM leases WHERE workspace=?",
                           (workspace,)).fetchone()
        if lease is None:
            if found is None or found[0] == node:
                return
        elif found is not None and (found[0], int(found[1])) == lease:
            return
        holder = f"node {found[0]}, lease generation {found[1]}" if found else "no node"
        mine = f"generation {lease[1]}" if lease else f"node {node}"
        raise Fenced(f"this node no longer holds the workspace {workspace} (it held {mine}; "
                     f"now {holder}): another node took it over, and the change was not "
                     f"saved")

    # --- the worker's side ---

    def load(self, workspace: str, pieces: bool = False) -> Loaded | None:
        """The workspace's session parts, or None when it holds no
        checkpoint yet (its worker starts a new session); Gone without a row.
        `pieces`: an expanded image comes as its pieces (image_pieces)."""
        try:
            found = self._db.execute(
                "SELECT current_id, parts, image FROM workspaces WHERE id=?",
                (workspace,)).fetchone()
            if found is None:
                raise Gone(f"the workspace {workspace} is not in the store")
            rows = self._db.execute(
                "SELECT id, row, made_by, made_at FROM checkpoints WHERE workspace=?",
                (workspace,)).fetchall()
            if not rows or found[0] is None or found[1] is None:
                return None
            compressed = store_images.is_compressed(found[2])
            image = image_pieces = None
            try:
                if pieces and not compressed:
                    image_pieces = store_images.pieces(self._db, found[2])
                else:
                    image = store_images.get(self._db, found[2])
            except store_images.Damaged:
                pass  # the interpreter restarts, and its first result says so
        except DbError as e:
            raise StoreError(f"could not read the store: {e}") from None
        return Loaded(current_id=found[0], rows=[r[1] for r in rows], parts=found[1],
                      image=image, made_by={r[0]: r[2] for r in rows},
                      made_at={r[0]: r[3] for r in rows if r[3] is not None},
                      image_compressed=compressed, image_pieces=image_pieces)

    def content(self, digest: bytes) -> bytes | None:
        rows = self._read("SELECT bytes FROM contents WHERE hash=?", (digest,))
        return bytes(rows[0][0]) if rows else None

    def write(self, workspace: str, journal: dict[str, Any],
              content: Callable[[bytes], bytes | None],
              records: Callable[[int], tuple[str | None, float | None]],
              image: bytes | None | bool = False, lease: Lease | None = None,
              image_compressed: bool = False, retire_image: bool = False) -> None:
        """Applies one of the module's journals (VeskSession._journal());
        `content` gives the bytes of a digest it names, `records` what made a
        checkpoint and when. `image`: bytes to store as the interpreter's
        image (see set_image), None to drop the stored one, False to leave
        it; `retire_image`: the stored one is no longer the interpreter's,
        and its pieces are freed by the next park or the removal (one row's
        write instead of one per piece). `lease`: the one the writer holds
        (Fenced when it is no longer the workspace's)."""
        def work(db: Db) -> None:
            self._fence(db, workspace, lease)
            found = db.execute("SELECT gen, parts_gen, image FROM workspaces WHERE id=?",
                               (workspace,)).fetchone()
            if found is None:
                raise Gone(f"the workspace {workspace} is not in the store")
            gen = found[0] + 1
            dropped = [int(i) for i in journal["dropped"]]
            written: list[tuple[int, bytes]] = [(int(i), row) for i, row in journal["written"]]
            touched = dropped + [i for i, _ in written]
            old: set[int] = set()
            for start in range(0, len(touched), 500):
                chunk = touched[start:start + 500]
                old.update(r[0] for r in db.execute(
                    f"SELECT DISTINCT gen FROM checkpoints WHERE workspace=? AND id IN "
                    f"({','.join('?' * len(chunk))})", (workspace, *chunk)))
            db.executemany("DELETE FROM checkpoints WHERE workspace=? AND id=?",
                           [(workspace, i) for i in dropped])
            db.executemany("INSERT INTO checkpoints VALUES(?, ?, ?, ?, ?, ?) "
                           "ON CONFLICT(workspace, id) DO UPDATE SET gen=excluded.gen, "
                           "row=excluded.row, made_by=excluded.made_by, made_at=excluded.made_at",
                           [(workspace, i, gen, row, *records(i)) for i, row in written])
            for digest in journal["contents"]:
                db.execute("INSERT INTO refs VALUES(?, ?, ?) ON CONFLICT DO NOTHING",
                           (workspace, gen, digest))
                if db.execute("SELECT 1 FROM contents WHERE hash=?", (digest,)).fetchone():
                    continue
                data = content(digest)
                if data is None:
                    raise StoreError("the session's journal names a content it does not hold")
                db.execute("INSERT INTO contents VALUES(?, ?)", (digest, data))
            parts = journal["parts"]
            if parts is not None:
                if found[1] is not None:
                    old.add(found[1])
                db.execute("UPDATE workspaces SET parts=?, parts_gen=? WHERE id=?",
                           (parts, gen, workspace))
            if not isinstance(image, bool):
                db.execute("UPDATE workspaces SET image=? WHERE id=?",
                           (store_images.put(db, found[2], image, image_compressed),
                            workspace))
            elif retire_image and found[2] is not None:
                db.execute("UPDATE workspaces SET image=? WHERE id=?",
                           (store_images.retired(found[2]), workspace))
            db.execute("UPDATE workspaces SET gen=?, current_id=?, last_used=? WHERE id=?",
                       (gen, int(journal["current_id"]), time.time(), workspace))
            _drop_generations(db, workspace, old)
        self._write("save the change", work, "write")

    def set_image(self, workspace: str, image: bytes | None,
                  lease: Lease | None = None, compressed: bool = False) -> None:
        """Stores the interpreter's image: expanded (vesk_internal's
        _image_of_blob), whose pieces other images share, or `compressed`
        as the module gives it."""
        def work(db: Db) -> None:
            self._fence(db, workspace, lease)
            found = db.execute("SELECT image FROM workspaces WHERE id=?",
                               (workspace,)).fetchone()
            if found is None:
                raise Gone(f"the workspace {workspace} is not in the store")
            db.execute("UPDATE workspaces SET image=?, last_used=? WHERE id=?",
                       (store_images.put(db, found[0], image, compressed), time.time(),
                        workspace))
        self._write("save the interpreter's image", work, "image")


def _upgrade_from_1(db: Db) -> None:
    """Version 1 held each image compressed in its row: each becomes a list
    of pieces of the image, in the transaction that opens the store. One
    that does not expand is dropped: its interpreter restarts, and says so."""
    try:
        from vesk_internal import _image_of_blob
    except ImportError:
        raise StoreError("a store of version 1 is upgraded by a server that can import "
                         "vesk_internal") from None
    ids = [r[0] for r in db.execute("SELECT id FROM workspaces WHERE image IS NOT NULL")]
    for workspace in ids:
        blob = db.execute("SELECT image FROM workspaces WHERE id=?", (workspace,)).fetchone()[0]
        blob = bytes(blob)
        compressed = store_images.expanded_size(blob) > store_images.EXPAND_LIMIT
        try:
            image: bytes | None = blob if compressed else _image_of_blob(blob)
        except RuntimeError:
            image = None
        db.execute("UPDATE workspaces SET image=? WHERE id=?",
                   (store_images.put(db, None, image, compressed), workspace))
    db.execute("UPDATE meta SET value=? WHERE key='version'", (SCHEMA_VERSION,))


def _drop_generations(db: Db, workspace: str, gens: set[int]) -> None:
    """Drops the references of those of `gens` that nothing of the workspace
    was written by any longer, and the contents left unreferenced."""
    if not gens:
        return
    parts_gen = db.execute("SELECT parts_gen FROM workspaces WHERE id=?",
                           (workspace,)).fetchone()[0]
    hashes: list[bytes] = []
    for gen in gens:
        if gen == parts_gen or db.execute(
                "SELECT 1 FROM checkpoints WHERE workspace=? AND gen=? LIMIT 1",
                (workspace, gen)).fetchone():
            continue
        hashes += [r[0] for r in db.execute("SELECT hash FROM refs WHERE workspace=? AND gen=?",
                                            (workspace, gen))]
        db.execute("DELETE FROM refs WHERE workspace=? AND gen=?", (workspace, gen))
    _collect(db, hashes)


def _collect(db: Db, hashes: list[bytes]) -> None:
    db.executemany("DELETE FROM contents WHERE hash=? AND NOT EXISTS "
                   "(SELECT 1 FROM refs WHERE refs.hash=?)", [(h, h) for h in hashes])
