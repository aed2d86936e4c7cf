"""The steps that read files: a tree walked (every file at or below a
directory, with its digest), or files named one by one, with the progress
line while they run.

manifest and check read through here and nowhere else, so the walk behind
walk() can change (the module's calculate_directory_manifest today) without
touching either.
"""

import os
import stat
from collections.abc import Iterable

import driftmoor

from driftmoor_cli.progress import progress_line


def walk(directory: str, *, progress: bool) -> dict[str, str]:
    """Path -> digest of every regular file at or below directory, the paths
    starting with directory as written (see prefix()). OSError if the tree
    cannot be walked."""
    # The module's walk tells nothing until it ends: no count of files for
    # the progress line (a walk that counts hands progress_line a supplier).
    with progress_line(progress):
        return driftmoor.calculate_directory_manifest(directory)


def prefix(directory: str) -> str:
    """What walk(directory) puts before the path of each file below it: the
    directory as written, then `/` unless it is empty or ends in one
    already."""
    return directory if directory.endswith("/") or not directory else directory + "/"


def fingerprint(path: str, *, progress: bool) -> dict[str, str]:
    """walk(path) for a directory; for a regular file (or a link to one), its
    own digest under path as written. OSError if neither can be read; an
    OSError with the path named for anything else (a pipe, a device), which
    is never opened."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        mode = None  # the walk says why
    if mode is None or stat.S_ISDIR(mode):
        return walk(path, progress=progress)
    if not stat.S_ISREG(mode):
        raise OSError(f"{path}: not a regular file or a directory")
    try:
        with progress_line(progress):
            return {path: driftmoor.calculate_hash(path)}
    except OSError as failure:
        raise OSError(f"{path}: {failure}") from None


def digest_files(paths: Iterable[tuple[str, str]], *, progress: bool) -> dict[str, str]:
    """Key -> digest for each (key, file path) whose file is a regular file
    (or a link to one) that can be read; the others are left out. As
    `sha256sum -c` reads what a manifest lists: file by file, no walk."""
    digests = {}
    done = 0
    with progress_line(progress, lambda: done):
        for key, path in paths:
            try:
                if stat.S_ISREG(os.stat(path).st_mode):
                    digests[key] = driftmoor.calculate_hash(path)
            except OSError:
                pass
            done += 1
    return digests
