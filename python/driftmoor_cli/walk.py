"""The step that reads files, all through driftmoor_tree: a tree walked
(every regular file at or below a directory with its digest, and every
entry left out by its kind), or files named one by one, with the progress
line while they run. Paths are bytes from end to end: the names as the file
system holds them, UTF-8 or not.

manifest and check read through here and nowhere else."""

import array
import os
import stat
from collections.abc import Iterable

import driftmoor_tree
from driftmoor_tree import LeftOutKind

from driftmoor_cli.progress import progress_line
from driftmoor_cli.reasons import LeftOut


def walk(
    root: bytes, *, jobs: int, progress: bool, exclude: tuple[int, int] | None = None
) -> driftmoor_tree.TreeWalk:
    """Every regular file at or below root (a directory, or a file: a tree
    of that one file), each path starting with root as written; the entries
    that could not be read (failures) and those passed over by design, each
    by its kind; what root was found to be. `jobs` threads walk (1: the
    calling thread alone); `exclude` is the (st_dev, st_ino) of a file to
    pass over. OSError if root itself cannot be examined."""
    done = array.array("Q", [0])  # kept at the count of files read, by the walk
    with progress_line(progress, lambda: done[0]):
        return driftmoor_tree.walk(root, jobs=jobs, exclude=exclude, progress=done)


class Listed:
    """What reading the listed files found: key -> digest of each read,
    key -> why, for each that is there but could not be read (the others
    are missing: not there, or no regular file)."""

    __slots__ = ("digests", "unreadable")

    def __init__(self) -> None:
        self.digests: dict[bytes, str] = {}
        self.unreadable: dict[bytes, LeftOut] = {}


def read_listed(paths: Iterable[tuple[bytes, bytes]], *, progress: bool) -> Listed:
    """Reads each (key, file path) as `sha256sum -c` reads what a manifest
    lists: file by file, no walk. A path that names no regular file (or a
    link to one) is missing and never opened."""
    listed = Listed()
    done = 0
    with progress_line(progress, lambda: done):
        for key, path in paths:
            try:
                mode = os.stat(path).st_mode
            except ValueError:  # a NUL byte, which no name holds
                mode = None
            except (FileNotFoundError, NotADirectoryError):
                mode = None
                if _is_link(path):  # as the walk names it
                    listed.unreadable[key] = (LeftOutKind.DANGLING_LINK, None)
            except OSError as failure:  # there, maybe, but out of reach
                listed.unreadable[key] = (LeftOutKind.UNREADABLE_FILE,
                                          failure.strerror or str(failure))
                mode = None
            if mode is not None and stat.S_ISREG(mode):
                # A tree of one file: its digest, or why it could not be
                # read. Anything it has become since (a pipe, a directory's
                # files) names no digest under this path: missing.
                walked = driftmoor_tree.walk(path)
                if path in walked.files:
                    listed.digests[key] = walked.files[path]
                for failed, kind, message in walked.failures:
                    if failed == path:
                        listed.unreadable[key] = (kind, message)
            done += 1
    return listed


def _is_link(path: bytes) -> bool:
    try:
        return stat.S_ISLNK(os.lstat(path).st_mode)
    except OSError:
        return False
