"""Two manifests compared path by path (or a manifest and what a walk
found, lined up with it first): each path with its status. Paths are bytes,
sorted by their bytes."""

import os
from collections.abc import Iterable, Mapping

import driftmoor
import driftmoor_tree

from driftmoor_cli.names import shown
from driftmoor_cli.reasons import LeftOut, reason
from driftmoor_cli.report import Entry, Status

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final


def compare(
    listed: Mapping[bytes, str],
    present: Mapping[bytes, str],
    unreadable: Mapping[bytes, LeftOut] | None = None,
    passed_over: Mapping[bytes, LeftOut] | None = None,
) -> list[Entry]:
    """Every path of either side with its status, sorted by path. A listed
    path that is not present but unreadable is unreadable, not missing; one
    passed over is missing (no regular file is there any more)."""
    unreadable = unreadable or {}
    entries: list[Entry] = []
    for path, digest in listed.items():
        found = present.get(path)
        if found is not None:
            same = driftmoor.compare_hashes(digest, found)
            entries.append((path, Status.OK if same else Status.CHANGED, None))
        elif path in unreadable:
            entries.append((path, Status.UNREADABLE, unreadable[path]))
        else:
            entries.append((path, Status.MISSING, None))
    entries.extend((path, Status.ADDED, None) for path in present.keys() - listed.keys())
    entries.extend(
        (path, Status.UNREADABLE, why) for path, why in unreadable.items() if path not in listed
    )
    entries.extend(
        (path, Status.PASSED_OVER, why)
        for path, why in (passed_over or {}).items()
        if path not in listed
    )
    entries.sort(key=lambda entry: entry[0])
    return entries


class Found:
    """What a walk of the tree found, lined up with the manifest: each path
    without the tree's start."""

    __slots__ = ("present", "failures", "unreadable", "passed_over")

    def __init__(self, present: dict[bytes, str], failures: list[tuple[bytes, LeftOut]],
                 unreadable: dict[bytes, LeftOut], passed_over: dict[bytes, LeftOut]) -> None:
        self.present: Final = present  # key -> digest of each file read
        # What the walk could not read, in path order: each named on
        # standard error.
        self.failures: Final = failures
        # key -> why, of those, and of each listed file that could not be
        # seen for its directory's failure
        self.unreadable: Final = unreadable
        self.passed_over: Final = passed_over  # key -> why, by design


def lined_up(listed: Mapping[bytes, str], root: bytes, shown_root: bytes,
             walked: driftmoor_tree.TreeWalk, manifest_identity: tuple[int, int]) -> Found:
    """What the walk of a tree found, keyed as the listed paths are: each
    path without `root`, what the walk put before it (`shown_root` is what
    a report puts there instead). The manifest file itself, kept in the
    tree it lists and not listed in it, is no file of the tree."""
    present = _below(root, walked.files.items())
    for key in present.keys() - listed.keys():
        if _identity(root + key) == manifest_identity:
            del present[key]
    failures = list(_below(root, _left_out(walked.failures)).items())
    unreadable = dict(failures)
    unreadable |= _below_unreadable(shown_root, listed.keys() - present.keys(), unreadable)
    return Found(present, failures, unreadable, _below(root, _left_out(walked.passed_over)))


def _left_out(
    entries: Iterable[tuple[bytes, driftmoor_tree.LeftOutKind, str | None]],
) -> Iterable[tuple[bytes, LeftOut]]:
    return ((path, (kind, message)) for path, kind, message in entries)


def _below_unreadable(shown_root: bytes, unseen: set[bytes],
                      unreadable: dict[bytes, LeftOut]) -> dict[bytes, LeftOut]:
    """Each listed path not read that lies below a directory that could not
    be listed: unreadable, with the directory and its reason, since the walk
    could not see whether it is there."""
    below: dict[bytes, LeftOut] = {}
    for path in unseen - unreadable.keys():
        end = path.rfind(b"/")
        while end > 0:
            directory = unreadable.get(path[:end])
            if directory is not None:
                below[path] = (directory[0],
                               f"{shown(shown_root + path[:end])}: {reason(directory)}")
                break
            end = path.rfind(b"/", 0, end)
    return below


def _identity(path: bytes) -> tuple[int, int] | None:
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino


def _below[Value](root: bytes, pairs: Iterable[tuple[bytes, Value]]) -> dict[bytes, Value]:
    # The paths (all under root) without it.
    return {path.removeprefix(root): value for path, value in pairs}
