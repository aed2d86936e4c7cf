"""Which tree `check` walks for a manifest, and how the manifest's paths line
up with the walk's."""

import os
from collections.abc import Collection, Mapping

from driftmoor_cli.walk import prefix

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final


class CheckedTree:
    __slots__ = ("directory", "shown", "listed")

    def __init__(self, directory: str, shown: str, listed: dict[str, str]) -> None:
        self.directory: Final = directory  # the directory to walk
        self.shown: Final = shown  # what a report line puts before a path below the tree
        # The manifest, each path without the start that the tree stands for.
        self.listed: Final = listed

    def below(self, found: Mapping[str, str]) -> dict[str, str]:
        """The walk's result, each path without the directory walked: lined
        up with `listed`."""
        return _below(prefix(self.directory), found)


def checked_tree(listed: Mapping[str, str], directory: str | None) -> CheckedTree:
    """The tree to check the listed paths against: `directory`, or else the
    one the paths were written under, relative to the working directory as
    `sha256sum -c` would take them."""
    if directory is None:
        root = listed_root(listed)
        return CheckedTree(root or ".", root, _below(root, listed))
    shown = prefix(directory)
    # Paths written for the directory as spelled here line up as they are;
    # any others are moved over from the directory they share.
    if all(path.startswith(shown) for path in listed):
        return CheckedTree(directory, shown, _below(shown, listed))
    return CheckedTree(directory, shown, _below(listed_root(listed), listed))


def listed_root(paths: Collection[str]) -> str:
    """The longest directory that every path lies under, as the paths spell
    it and ending in `/`; "" (the working directory) when they share none.
    `tree/a` and `tree/sub/b` give `tree/`, `a` and `sub/b` give ""."""
    common = os.path.commonprefix(list(paths))
    return common[: common.rfind("/") + 1]


def _below(root: str, paths: Mapping[str, str]) -> dict[str, str]:
    # The paths (all under root) without it.
    return {path.removeprefix(root): digest for path, digest in paths.items()}
