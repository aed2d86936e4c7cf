"""The one step that reads a tree: every file at or below a directory, with
its digest, and the progress line while it runs.

Both manifest and check walk through here and nowhere else, so the walk
behind it can change (the module's calculate_directory_manifest today)
without touching either.
"""

import driftmoor

from driftmoor_cli.progress import progress_line


def walk(directory: str, *, progress: bool) -> dict[str, str]:
    """Path -> digest of every regular file at or below directory, the paths
    starting with directory as written (see prefix()). OSError if the tree
    cannot be walked."""
    with progress_line(progress):
        return driftmoor.calculate_directory_manifest(directory)


def prefix(directory: str) -> str:
    """What walk(directory) puts before the path of each file below it: the
    directory as written, then `/` unless it is empty or ends in one
    already."""
    return directory if directory.endswith("/") or not directory else directory + "/"
