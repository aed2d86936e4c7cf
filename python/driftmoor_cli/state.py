"""The state a check keeps beside its manifest (`--state FILE`): for each
listed file, how it was when last read (size, times, inode, device, and
when), so that the next check may take a file whose status has not changed
without reading it.

The store is an SQLite database through Python's sqlite3: its transactions
make an update all or nothing even when the process is killed in the middle
(the rollback journal puts the old pages back on the next open), it checks
itself (`PRAGMA integrity_check`), and its schema carries a version
(`PRAGMA user_version`). The records themselves are packed natively, 64
bytes each, in chunks of 4,096 by their files' places in the sealed
manifest, so that a check of a million files loads and stores a few hundred
rows, and an unchanged tree stores none.

A state binds to the SHA-256 of its manifest's bytes and to the tree it
describes (its real path): a state of anything else is never trusted."""

import os
import sqlite3
from collections.abc import Iterable, Iterator

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value BLOB NOT NULL);
CREATE TABLE records (first INTEGER PRIMARY KEY, data BLOB NOT NULL);
CREATE TABLE digests (place INTEGER PRIMARY KEY, digest BLOB NOT NULL);
"""

Chunks = list[tuple[int, bytes]]


class Binding:
    """What a state describes: a manifest, by the SHA-256 of its bytes, and
    the tree, by its real path."""

    __slots__ = ("manifest_sha256", "tree")

    def __init__(self, manifest_sha256: str, tree: bytes) -> None:
        self.manifest_sha256: Final = manifest_sha256
        self.tree: Final = tree


class Loaded:
    """A state as read: its chunks and the digests that differ from the
    manifest's; both empty for a state made anew, which `fresh` says."""

    __slots__ = ("chunks", "digests", "fresh", "warning", "_connection")

    def __init__(self, chunks: Iterable[tuple[int, bytes]], digests: Chunks, fresh: bool,
                 warning: str | None, connection: sqlite3.Connection | None = None) -> None:
        # Read as the check takes them, one at a time: the records of a
        # million files are never all held as Python objects.
        self.chunks: Final = chunks
        self.digests: Final = digests
        self.fresh: Final = fresh  # to be written whole, replacing whatever is there
        self.warning: Final = warning  # why what was there is not used; None: nothing wrong
        self._connection = connection

    def close(self) -> None:
        """Closes the state's database, whether or not its chunks were read
        (their reading closes it too, but chunks never started would
        leave it open)."""
        if self._connection is not None:
            self._connection.close()
            self._connection = None


def tree_identity(tree: bytes) -> bytes:
    """The tree as a state names it: its real path."""
    return os.path.realpath(tree)


def load(path: str, binding: Binding) -> Loaded:
    """The state at path for this manifest and tree. One that is missing is
    made anew without a word; one that cannot be used (another manifest's or
    tree's, truncated, corrupt, of a newer format) is made anew with the
    warning that says why."""
    if not os.path.lexists(path):
        return Loaded([], [], True, None)
    try:
        # Opened for writing where it may be: a journal left by an update
        # that was killed is played back, and the state is as before it.
        connection = sqlite3.connect(path)
    except sqlite3.Error as failure:
        return _anew(path, f"cannot be opened ({failure})")
    try:
        loaded = _read(connection, path, binding)
    except sqlite3.DatabaseError as failure:
        loaded = _anew(path, f"is not a state that can be used ({failure})")
    if loaded.fresh:
        connection.close()
    return loaded


def _read(connection: sqlite3.Connection, path: str, binding: Binding) -> Loaded:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version > SCHEMA_VERSION:
        return _anew(path, f"was written by a newer driftmoor (format {version})")
    if version != SCHEMA_VERSION:
        return _anew(path, "is not a driftmoor state")
    checked = connection.execute("PRAGMA integrity_check").fetchall()
    if checked != [("ok",)]:
        return _anew(path, f"is corrupt ({checked[0][0]})")
    meta = dict(connection.execute("SELECT key, value FROM meta"))
    if meta.get("manifest_sha256") != binding.manifest_sha256:
        return _anew(path, "is the state of another manifest")
    if meta.get("tree") != binding.tree:
        return _anew(path, f"is the state of another tree ({os.fsdecode(meta.get('tree', b''))})")
    digests = connection.execute("SELECT place, digest FROM digests ORDER BY place").fetchall()
    return Loaded(_chunks(connection), digests, False, None, connection)


def _chunks(connection: sqlite3.Connection) -> Iterator[tuple[int, bytes]]:
    try:
        yield from connection.execute("SELECT first, data FROM records ORDER BY first")
    finally:
        connection.close()


def _anew(path: str, why: str) -> Loaded:
    return Loaded([], [], True, f"{path}: {why}: reading every file, and writing the state anew")


def refused(path: str) -> Loaded:
    """A state whose records do not fit its manifest, though it claims to
    describe it."""
    return _anew(path, "does not fit its manifest")


def save(path: str, binding: Binding, chunks: Chunks, digests: Chunks, fresh: bool) -> None:
    """Stores the chunks given (a fresh state: all of them) and the digests
    that differ, in one transaction. A fresh state is written to a new file
    beside `path` and renamed over it once on disk, so that whatever was
    there (perhaps not a database at all) stays until the new one is whole.
    OSError or sqlite3.Error when it cannot be written."""
    if fresh:
        _write_anew(path, binding, chunks, digests)
        return
    connection = sqlite3.connect(path, isolation_level=None)
    try:
        _store(connection, chunks, digests)
    finally:
        connection.close()


def _write_anew(path: str, binding: Binding, chunks: Chunks, digests: Chunks) -> None:
    temporary = f"{path}.{os.getpid()}.new"
    _remove(temporary)
    try:
        connection = sqlite3.connect(temporary, isolation_level=None)
        try:
            connection.executescript(_SCHEMA)
            connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            connection.executemany("INSERT INTO meta VALUES (?, ?)", [
                ("manifest_sha256", binding.manifest_sha256), ("tree", binding.tree)])
            _store(connection, chunks, digests)
        finally:
            connection.close()
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        # A journal left by a process killed while it wrote the old state
        # would be played back into the new one.
        _remove(f"{path}-journal")
        os.replace(temporary, path)
        directory = os.open(os.path.dirname(path) or ".", os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
    except BaseException:
        _remove(temporary)
        _remove(f"{temporary}-journal")
        raise


def _store(connection: sqlite3.Connection, chunks: Chunks, digests: Chunks) -> None:
    connection.execute("BEGIN IMMEDIATE")
    try:
        connection.executemany("INSERT OR REPLACE INTO records VALUES (?, ?)", chunks)
        connection.execute("DELETE FROM digests")
        connection.executemany("INSERT INTO digests VALUES (?, ?)", digests)
        connection.execute("COMMIT")
    except BaseException:
        connection.execute("ROLLBACK")
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
