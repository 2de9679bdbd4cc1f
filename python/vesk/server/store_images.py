"""Interpreter images in the store, as content-addressed chunks.

Parked interpreters are mostly the same bytes (the heap every interpreter
has after its start), so an image is cut into pieces of `CHUNK` bytes,
each stored once by its SHA-256 in `chunks` (zstd-compressed when that
makes it smaller; zlib in older stores) with a count of the workspaces whose
image uses it. The pieces of an expanded image are cut from where the
interpreter's memory starts, after the runner's lead (its clock and files,
of a length of their own), so that the same memory gives the same pieces in
every image. A workspace's `image` column holds
only its list: a tag (whether the image is kept as the module gives it,
compressed, or expanded, and whether it is retired), the image's length, the
length of its head (cut apart) and the digests in order.

Counting is exact because every write runs in one serialised transaction:
`put` counts the new list's pieces before it uncounts the old one's, then
deletes the pieces nothing uses any longer, so a piece shared by both is
never deleted and stored again. A crash before the commit leaves the store
as it was.

Pure except for the three functions taking a `Db`; errors: `Damaged` when a
stored list or piece does not match what it claims to be.
"""

from __future__ import annotations

import hashlib
import struct
import zlib
from typing import Iterable

from vesk.server.store_db import Db

CHUNK = 64 * 1024
_EXPANDED, _COMPRESSED = b"VKI1", b"VKZ1"
# The same lists once the interpreter has moved on from their image (see
# `retired`).
_RETIRED = {_EXPANDED: b"VKI0", _COMPRESSED: b"VKZ0"}
# zlib's pieces are those of stores written before zstd's, which the module
# checks and expands several times faster (vesk_internal._unpack_image_pieces).
_RAW, _ZLIB, _ZSTD = b"\0", b"\1", b"\2"
_BATCH = 500  # digests per query: SQLite's bound on arguments is 999 in old builds
_THREADS = 2


# Images larger than this expanded are kept as the module gives them: an
# expanded image is held whole, two or three times over, by the worker that
# stores or loads it, and large ones are the rare sessions with much data.
EXPAND_LIMIT = 64 * 1024 * 1024


def expanded_size(blob: bytes) -> int:
    """The size of the image a module's blob (VeskSession._image()) holds."""
    return int.from_bytes(blob[:8], "little")


class Damaged(Exception):
    """A stored image list or piece is not what it claims to be."""


def _head(image: bytes) -> int:
    """The length of a runner's lead before the interpreter's memory: 24
    bytes ("vskpark2", then the lengths of its JSON and of its files as
    float64), the JSON and the files. 0 for anything else."""
    if len(image) < 24 or image[:8] != b"vskpark2":
        return 0
    json_length, files_length = struct.unpack("<dd", image[8:24])
    head = 24 + json_length + files_length
    return int(head) if head <= len(image) else 0  # NaN too


def _count(length: int, head: int) -> int:
    return -(-head // CHUNK) + -(-(length - head) // CHUNK)


def split(image: bytes, compressed: bool = False) -> tuple[bytes, dict[bytes, memoryview]]:
    """`image`'s list, and its distinct pieces by digest."""
    view = memoryview(image)
    head = 0 if compressed else _head(image)
    digests: list[bytes] = []
    pieces: dict[bytes, memoryview] = {}
    starts = [*range(0, head, CHUNK), *range(head, len(image), CHUNK)]
    for start, end in zip(starts, [*starts[1:], len(image)]):
        piece = view[start:min(end, start + CHUNK)]
        digest = hashlib.sha256(piece).digest()
        digests.append(digest)
        pieces.setdefault(digest, piece)
    tag = _COMPRESSED if compressed else _EXPANDED
    return tag + struct.pack("<QQ", len(image), head) + b"".join(digests), pieces


def listed(image_list: bytes | None) -> tuple[int, list[bytes]]:
    """The length and digests of a stored list (0 and none for None)."""
    if image_list is None:
        return 0, []
    data = bytes(image_list)
    tags = (_EXPANDED, _COMPRESSED, *_RETIRED.values())
    if len(data) < 20 or data[:4] not in tags or (len(data) - 20) % 32:
        raise Damaged("its list of pieces is damaged")
    length, head = struct.unpack("<QQ", data[4:20])
    digests = [data[i:i + 32] for i in range(20, len(data), 32)]
    if head > length or len(digests) != _count(length, head):
        raise Damaged("its list of pieces does not match its length")
    return length, digests


def _packed(piece: memoryview) -> bytes:
    from vesk_internal import _pack_image_piece

    squeezed = _pack_image_piece(bytes(piece))
    return _ZSTD + squeezed if len(squeezed) < len(piece) else _RAW + bytes(piece)


def _unpacked(digest: bytes, stored: bytes) -> bytes:
    try:
        data = zlib.decompress(stored[1:]) if stored[:1] == _ZLIB else stored[1:]
    except zlib.error:
        data = b""
    if stored[:1] not in (_RAW, _ZLIB) or hashlib.sha256(data).digest() != digest:
        raise Damaged(f"its piece {digest.hex()[:16]} is damaged")
    return data


def put(db: Db, old_list: bytes | None, image: bytes | None,
        compressed: bool = False) -> bytes | None:
    """Counts `image`'s pieces (storing the new ones) and uncounts those of
    `old_list`, deleting pieces left unused; the list to store for `image`.
    An old list that is damaged is uncounted as far as it can be read."""
    new_list, pieces = split(image, compressed) if image is not None else (None, {})
    for digest, piece in pieces.items():
        if db.execute("UPDATE chunks SET uses=uses+1 WHERE hash=?", (digest,)).rowcount == 0:
            db.execute("INSERT INTO chunks VALUES(?, 1, ?)", (digest, _packed(piece)))
    release(db, old_list)
    return new_list


def release(db: Db, old_list: bytes | None) -> None:
    """Uncounts the pieces of `old_list`, deleting those left unused."""
    try:
        old = set(listed(old_list)[1])
    except Damaged:
        data = bytes(old_list or b"")
        old = {data[i:i + 32] for i in range(20, len(data) - 31, 32)}
    for batch in _batches(sorted(old)):
        marks = ",".join("?" * len(batch))
        db.execute(f"UPDATE chunks SET uses=uses-1 WHERE hash IN ({marks})", batch)
        db.execute(f"DELETE FROM chunks WHERE uses<=0 AND hash IN ({marks})", batch)


def retired(image_list: bytes | None) -> bytes | None:
    """`image_list` marked as no longer the interpreter's: `get` gives no
    image for it, yet its pieces stay counted until the next `put` or
    `release` of it. Marking is one row's write where uncounting is one per
    piece, and it is what the first interpreter call after a resume pays."""
    if image_list is None:
        return None
    data = bytes(image_list)
    return _RETIRED.get(data[:4], data[:4]) + data[4:]


def is_compressed(image_list: bytes | None) -> bool:
    return image_list is not None and bytes(image_list[:4]) == _COMPRESSED


def get(db: Db, image_list: bytes | None) -> bytes | None:
    """The image a stored list names, each piece checked; Damaged."""
    found = pieces(db, image_list)
    return None if found is None else b"".join(found)


def pieces(db: Db, image_list: bytes | None) -> list[bytes] | None:
    """The pieces of the image a stored list names, in order, each checked:
    the module joins them where it keeps the image (one copy of it fewer);
    Damaged."""
    if image_list is None:
        return None
    length, digests = listed(image_list)
    if bytes(image_list[:4]) in _RETIRED.values():
        return None
    rows: list[tuple[bytes, bytes]] = []
    for batch in _batches(sorted(set(digests))):
        rows.extend((bytes(digest), bytes(stored)) for digest, stored in db.execute(
            f"SELECT hash, bytes FROM chunks WHERE hash IN ({','.join('?' * len(batch))})",
            batch))
    # The first call after a park waits for this: zstd's pieces go to the
    # module, which checks and expands them on two threads; zlib and hashlib
    # let go of the interpreter's lock too, so older pieces take two as well.
    from vesk_internal import _unpack_image_pieces

    squeezed = [(d, b[1:]) for d, b in rows if b[:1] == _ZSTD]
    try:
        found = dict(zip((d for d, _ in squeezed), _unpack_image_pieces(squeezed, CHUNK)))
    except RuntimeError as e:
        raise Damaged(str(e)) from None
    found.update((d, _unpacked(d, b)) for d, b in rows if b[:1] not in (_ZSTD, _ZLIB))
    old = [row for row in rows if row[1][:1] == _ZLIB]
    if old:
        # Imported here: it takes a worker's start ~5 ms, for old stores only.
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(_THREADS) as pool:
            found.update(zip((d for d, _ in old),
                             pool.map(lambda row: _unpacked(*row), old, chunksize=16)))
    missing = [d for d in digests if d not in found]
    if missing:
        raise Damaged(f"its piece {missing[0].hex()[:16]} is missing")
    ordered = [found[d] for d in digests]
    if sum(map(len, ordered)) != length:
        raise Damaged("its pieces do not add up to its length")
    return ordered


def _batches(items: list[bytes]) -> Iterable[list[bytes]]:
    for start in range(0, len(items), _BATCH):
        yield items[start:start + _BATCH]
