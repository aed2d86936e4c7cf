# driftmoor_tree, the walk of the `driftmoor` command, for type checkers and
# editors.

from collections.abc import Buffer
from enum import IntEnum
from typing import Final, Literal, final

from _typeshed import structseq

__all__ = ["walk", "manifest_lines", "escape_path", "unescape_path"]

class LeftOutKind(IntEnum):
    """Why `walk` left an entry out. The first four are failures: the entry
    may hold content that was not fingerprinted."""

    UNREADABLE_FILE = 0  # a file that could not be opened or read
    UNLISTABLE_DIRECTORY = 1  # a directory that could not be opened or listed to its end
    DANGLING_LINK = 2  # a link that leads nowhere
    UNKNOWN_ENTRY = 3  # an entry whose type could not be found out
    SPECIAL_FILE = 4  # a pipe, socket or device: never opened
    LOOP = 5  # a directory already on the way down, reached again through a link
    NOT_UNICODE = 6  # a path with no Unicode text (never, from walk)
    EXCLUDED = 7  # the file named by `exclude`
    VANISHED = 8  # gone, or turned into something else, between its listing and its turn

class RootKind(IntEnum):
    """What the path that `walk` was given was found to be."""

    DIRECTORY = 0  # walked
    FILE = 1  # a regular file: a tree of that one file
    OTHER = 2  # a pipe, socket or device: left out unopened

# An entry left out: its path, why, and the system's message for what an
# error left out (None for what was left out by design).
_LeftOut = tuple[bytes, LeftOutKind, str | None]

@final
class TreeWalk(
    structseq[object],
    tuple[dict[bytes, str], list[_LeftOut], list[_LeftOut], RootKind],
):
    """What `walk` found: every file read, and every entry left out."""

    __match_args__: Final = ("files", "failures", "passed_over", "root")
    @property
    def files(self) -> dict[bytes, str]:
        """Each regular file's path (bytes) to its SHA-256 digest (64
        lowercase hex digits)."""
    @property
    def failures(self) -> list[_LeftOut]:
        """(path, kind, message) for each entry that could not be read,
        sorted by path: an unreadable file or an unlistable directory with
        the system's message ("Permission denied"), a dangling link, or an
        entry whose type could not be found out, with the system's
        message."""
    @property
    def passed_over(self) -> list[_LeftOut]:
        """(path, kind, None) for each entry not read by design, sorted by
        path: special files (pipes, sockets, devices: never opened), loops
        (a link back up the tree), the excluded file, entries that vanished
        while walked."""
    @property
    def root(self) -> RootKind:
        """What the path walked was found to be."""

def walk(
    dir_path: bytes,
    /,
    *,
    jobs: int = 1,
    exclude: tuple[int, int] | None = None,
    progress: Buffer | None = None,
) -> TreeWalk:
    """Fingerprint every regular file at or below `dir_path`, accounting for
    every entry left out.

    Paths are `dir_path` exactly as given, then b"/" and a name per level,
    each name as the file system holds it (valid UTF-8 or not). Links are
    followed as by driftmoor.calculate_directory_manifest. A directory that
    cannot be listed is a failure; its siblings are still read. A `dir_path`
    naming a regular file is a tree of that one file.

    jobs: how many threads walk: 1 walks on the calling thread alone; more
    start that many workers, which hand each other directories and files,
    while the calling thread waits (Ctrl-C still stops the walk). The
    result is the same for any number.
    exclude: (st_dev, st_ino) of a file to pass over wherever it turns up,
    such as a manifest being written into the tree it lists.
    progress: a writable buffer of at least 8 bytes, 8-aligned (for example
    array.array("Q", [0])), whose first 64-bit word is kept at the number of
    files read so far, for another thread to show.

    Runs detached from the interpreter. Raises the OSError of `dir_path` when
    it cannot be examined (FileNotFoundError('No such file or directory (os
    error 2)')), OSError('Too many open files (os error 24)') or MemoryError
    when descriptors or memory run out, and KeyboardInterrupt on Ctrl-C on
    the main thread; nothing partial is returned.
    """

def manifest_lines(
    files: dict[bytes, str], /, format: Literal["sha256sum", "bsd"] = "sha256sum"
) -> list[bytes]:
    """The lines of a manifest of `files` (path bytes to digest), sorted by
    the paths' bytes: "<digest>  <path>" as sha256sum writes them, or
    "SHA256 (<path>) = <digest>" as sha256sum --tag does ("bsd"). A path
    holding a backslash, line feed or carriage return is written escaped
    ("\\\\", "\\n", "\\r") on a line that starts with a backslash. Returned
    as bytes chunks of whole lines, about 64 KiB each, to be written and
    checked one at a time. `files` must be a dict.
    """

def escape_path(path: bytes, /) -> tuple[bytes, bytes]:
    """(mark, text): the path as every line shows it, a backslash, line
    feed and carriage return escaped as "\\\\", "\\n" and "\\r", and the mark
    a manifest or report line holding it starts with (b"\\\\" when anything
    was escaped, else b"")."""

def unescape_path(text: bytes, /) -> bytes | None:
    """The path an escaped text stands for; None when it holds an escape
    other than "\\\\", "\\n" or "\\r"."""
