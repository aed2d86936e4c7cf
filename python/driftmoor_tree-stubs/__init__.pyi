# driftmoor_tree, the walk of the `driftmoor` command, for type checkers and
# editors.

from collections.abc import Buffer
from typing import Final, Literal, final

from _typeshed import structseq

__all__ = ["walk", "manifest_lines"]

@final
class TreeWalk(
    structseq[object],
    tuple[dict[bytes, str], list[tuple[bytes, str]], list[tuple[bytes, str]]],
):
    """What `walk` found: every file read, and every entry left out."""

    __match_args__: Final = ("files", "failures", "passed_over")
    @property
    def files(self) -> dict[bytes, str]:
        """Each regular file's path (bytes) to its SHA-256 digest (64
        lowercase hex digits)."""
    @property
    def failures(self) -> list[tuple[bytes, str]]:
        """(path, reason) for each entry that could not be read, sorted by
        path: an unreadable file or unlistable directory with the system's
        message ("Permission denied"), "dangling link", or an entry whose
        type could not be found out, with the system's message."""
    @property
    def passed_over(self) -> list[tuple[bytes, str]]:
        """(path, reason) for each entry not read by design, sorted by path:
        "special file" (pipes, sockets, devices: never opened), "loop: a
        directory it is already below" (a link back up the tree),
        "excluded", "vanished while walked"."""

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
