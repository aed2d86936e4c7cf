"""Which tree `check` walks for a manifest, and the manifest's paths keyed
as the walk of that tree will find them. Paths are bytes, as the manifest
and the walk hold them."""

from collections.abc import Collection, Iterable, Mapping

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final


def prefix(directory: bytes) -> bytes:
    """What a walk of directory puts before the path of each file below it:
    the directory as written, then `/` unless it is empty or ends in one
    already."""
    return directory if directory.endswith(b"/") or not directory else directory + b"/"


class CheckedTree:
    __slots__ = ("directory", "walked", "shown", "listed")

    def __init__(self, directory: bytes, shown: bytes, listed: dict[bytes, str]) -> None:
        self.directory: Final = directory  # the directory to walk
        self.walked: Final = prefix(directory)  # what the walk puts before a path below it
        self.shown: Final = shown  # what a report line puts before a path below the tree
        # The manifest, each path without the start that the tree stands for.
        self.listed: Final = listed

    def files(self) -> Iterable[tuple[bytes, bytes]]:
        """(key, the file's path) of each listed file, for reading them one
        by one."""
        return ((key, self.walked + key) for key in self.listed)


def checked_tree(listed: Mapping[bytes, str], directory: bytes | None) -> CheckedTree:
    """The tree to check the listed paths against: `directory`, or else the
    one the paths were written under, relative to the working directory as
    `sha256sum -c` would take them."""
    if directory is None:
        root = listed_root(listed)
        return CheckedTree(root or b".", root, _below(root, listed.items()))
    shown = prefix(directory)
    # Paths written for the directory as spelled here line up as they are;
    # any others are moved over from the directory they share.
    if all(path.startswith(shown) for path in listed):
        return CheckedTree(directory, shown, _below(shown, listed.items()))
    return CheckedTree(directory, shown, _below(listed_root(listed), listed.items()))


def listed_root(paths: Collection[bytes]) -> bytes:
    """The longest directory that every path lies under, as the paths spell
    it and ending in `/`; b"" (the working directory) when they share none.
    `tree/a` and `tree/sub/b` give `tree/`, `a` and `sub/b` give b""."""
    # os.path.commonprefix's way: what the least and the greatest share,
    # all others share.
    first, last = min(paths, default=b""), max(paths, default=b"")
    length = next((i for i, (a, b) in enumerate(zip(first, last)) if a != b), len(first))
    common = first[:length]
    return common[: common.rfind(b"/") + 1]


def _below[Value](root: bytes, pairs: Iterable[tuple[bytes, Value]]) -> dict[bytes, Value]:
    # The paths (all under root) without it.
    return {path.removeprefix(root): value for path, value in pairs}
