"""Which tree `check` walks for a manifest, and how the manifest's paths line
up with the walk's. Paths are bytes, as the manifest and the walk hold them."""

from collections.abc import Collection, Iterable, Mapping

from driftmoor_cli.walk import prefix

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final


class CheckedTree:
    __slots__ = ("directory", "shown", "listed")

    def __init__(self, directory: bytes, shown: bytes, listed: dict[bytes, str]) -> None:
        self.directory: Final = directory  # the directory to walk
        self.shown: Final = shown  # what a report line puts before a path below the tree
        # The manifest, each path without the start that the tree stands for.
        self.listed: Final = listed

    def below[Value](self, found: Iterable[tuple[bytes, Value]]) -> dict[bytes, Value]:
        """The walk's (path, value) pairs, each path without the directory
        walked: lined up with `listed`."""
        return _below(prefix(self.directory), found)


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
