"""The store's connection to its database: SQLite (a file path) or
PostgreSQL (a postgresql:// URL), behind one small interface, so that the
store's logic is written once.

Queries are written once, in the SQL both engines read (`?` placeholders,
ON CONFLICT, IS NOT DISTINCT FROM); the PostgreSQL side turns the
placeholders into its own and the schema's types into its own. Every write
transaction is serialised, as SQLite's are: on PostgreSQL by a
transaction-scoped advisory lock, so that a content deleted as unreferenced
can never be referred to by a write that ran beside the delete.

psycopg is imported only when a PostgreSQL URL is opened. A PostgreSQL
connection that broke (the server restarted) is opened again by the next
transaction; the one under way fails.

Errors: every driver error becomes `DbError`, its text a sentence.
"""

from __future__ import annotations

import os
import re
import sqlite3
from typing import Any, Iterable, Protocol

BUSY_MS = 30_000
# Any fixed number: the advisory lock every write transaction takes.
_WRITE_LOCK = 0x7665736B


class DbError(Exception):
    """The database failed an operation; the text says why."""


class Rows(Protocol):
    @property
    def rowcount(self) -> int: ...

    def fetchone(self) -> Any: ...
    def fetchall(self) -> list[Any]: ...
    def __iter__(self) -> Any: ...


def is_url(path: str) -> bool:
    return path.startswith(("postgresql://", "postgres://"))


def shown(path: str) -> str:
    """`path` as it may be logged: a URL's password left out."""
    return re.sub(r"(://[^/:@]*):[^/@]*@", r"\1:***@", path) if is_url(path) else path


class Db:
    """One connection. Not thread-safe: one per thread."""

    # The database's clock in seconds since the epoch, as SQL: leases are
    # timed by the one clock every node shares.
    NOW = ""

    def execute(self, query: str, arguments: Iterable[Any] = ()) -> Rows:
        raise NotImplementedError

    def executemany(self, query: str, arguments: Iterable[Iterable[Any]]) -> None:
        raise NotImplementedError

    def script(self, schema: str) -> None:
        """Runs the `;`-separated statements of `schema` (creating tables)."""
        raise NotImplementedError

    def begin(self) -> None:
        raise NotImplementedError

    def commit(self) -> None:
        raise NotImplementedError

    def rollback(self) -> None:
        """Ends the transaction under way, if any, without its changes."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def hold(self, key: str) -> None:
        raise DbError("this database holds no locks of a connection")


def _sqlite_reason(e: BaseException) -> str:
    text = str(e) or type(e).__name__
    if isinstance(e, sqlite3.DatabaseError) and "not a database" in text:
        return "the file is not a vesk store (not an SQLite database, or damaged)"
    if isinstance(e, sqlite3.DatabaseError) and "malformed" in text:
        return "the database is damaged (malformed)"
    return text


class SqliteDb(Db):
    NOW = "((julianday('now') - 2440587.5) * 86400.0)"

    def __init__(self, path: str) -> None:
        old = os.umask(0o077)
        try:
            self._db = sqlite3.connect(path, timeout=BUSY_MS / 1000, isolation_level=None,
                                       check_same_thread=False)
        except sqlite3.Error as e:
            raise DbError(_sqlite_reason(e)) from None
        finally:
            os.umask(old)
        self.execute(f"PRAGMA busy_timeout={BUSY_MS}")
        mode = self.execute("PRAGMA journal_mode=WAL").fetchone()[0]
        if str(mode).lower() != "wal":
            raise DbError(f"write-ahead logging is unavailable there (journal mode {mode})")
        self.execute("PRAGMA synchronous=FULL")

    def execute(self, query: str, arguments: Iterable[Any] = ()) -> Rows:
        try:
            return self._db.execute(query, tuple(arguments))
        except sqlite3.Error as e:
            raise DbError(_sqlite_reason(e)) from None

    def executemany(self, query: str, arguments: Iterable[Iterable[Any]]) -> None:
        try:
            self._db.executemany(query, [tuple(a) for a in arguments])
        except sqlite3.Error as e:
            raise DbError(_sqlite_reason(e)) from None

    def script(self, schema: str) -> None:
        try:
            self._db.executescript(schema)
        except sqlite3.Error as e:
            raise DbError(_sqlite_reason(e)) from None

    def begin(self) -> None:
        self.execute("BEGIN IMMEDIATE")

    def commit(self) -> None:
        self.execute("COMMIT")

    def rollback(self) -> None:
        if self._db.in_transaction:
            self.execute("ROLLBACK")

    def close(self) -> None:
        self._db.close()


def _pg_schema(schema: str) -> str:
    schema = schema.replace(" WITHOUT ROWID", "").replace("BLOB", "BYTEA")
    return schema.replace("REAL", "DOUBLE PRECISION").replace("INTEGER", "BIGINT")


class PostgresDb(Db):
    NOW = "extract(epoch FROM clock_timestamp())::float8"

    def __init__(self, url: str) -> None:
        try:
            import psycopg
        except ImportError:
            raise DbError("a PostgreSQL store needs psycopg 3 (Debian: python3-psycopg)") from None
        self._psycopg = psycopg
        self._url = url
        self._held: str | None = None
        self._db: Any = None
        self._connect()

    def _connect(self) -> None:
        try:
            self._db = self._psycopg.connect(self._url, autocommit=True, connect_timeout=10)
            if self._held is not None:
                row = self._db.execute("SELECT pg_try_advisory_lock(1, hashtext(%s))",
                                       (self._held,)).fetchone()
                if row and row[0]:
                    return
                self._db.close()
                raise DbError(f"another vesk serve is using it as node {self._held} "
                              f"(give each its own --node-id)")
        except self._psycopg.Error as e:
            raise DbError(self._reason(e)) from None

    def hold(self, key: str) -> None:
        """Holds a lock named `key` for as long as this connection lives, and
        takes it again with each new connection; DbError when another
        holds it."""
        self._held = key
        self._connect_again()

    def _connect_again(self) -> None:
        old = self._db
        self._connect()
        if old is not None:
            old.close()

    def _reason(self, e: BaseException) -> str:
        return (str(e) or type(e).__name__).strip().splitlines()[0]

    @staticmethod
    def _sql(query: str) -> str:
        return query.replace("?", "%s")

    def execute(self, query: str, arguments: Iterable[Any] = ()) -> Rows:
        if self._db.broken or self._db.closed:
            self._connect()  # a transaction it broke has failed already
        try:
            return self._db.execute(self._sql(query), tuple(arguments))  # type: ignore[no-any-return]
        except self._psycopg.Error as e:
            raise DbError(self._reason(e)) from None

    def executemany(self, query: str, arguments: Iterable[Iterable[Any]]) -> None:
        try:
            with self._db.cursor() as cursor:
                cursor.executemany(self._sql(query), [tuple(a) for a in arguments])
        except self._psycopg.Error as e:
            raise DbError(self._reason(e)) from None

    def script(self, schema: str) -> None:
        # Under the write lock: two servers starting together would both
        # create the same tables, and one would fail.
        self.begin()
        try:
            for statement in _pg_schema(schema).split(";"):
                if statement.strip():
                    self.execute(statement)
        except BaseException:
            self.rollback()
            raise
        self.commit()

    def begin(self) -> None:
        try:
            self.execute("BEGIN")
        except DbError:
            # A connection found broken before anything was done (the
            # server restarted since): once more on a new one.
            if not (self._db.broken or self._db.closed):
                raise
            self.execute("BEGIN")
        self.execute("SELECT pg_advisory_xact_lock(?)", (_WRITE_LOCK,))

    def commit(self) -> None:
        self.execute("COMMIT")

    def rollback(self) -> None:
        if self._db.broken or self._db.closed:
            return
        if self._db.info.transaction_status != self._psycopg.pq.TransactionStatus.IDLE:
            self.execute("ROLLBACK")

    def close(self) -> None:
        self._db.close()


def connect(path: str) -> Db:
    """A connection to the SQLite file or PostgreSQL URL `path`; DbError."""
    return PostgresDb(path) if is_url(path) else SqliteDb(path)
