"""Which tree `check` walks for a manifest, and how the manifest's paths line
up with the walk's."""

import os
from collections.abc import Collection
from typing import NamedTuple


class CheckedTree(NamedTuple):
    walked: str  # the directory handed to calculate_directory_manifest
    root: str  # the start of every listed path that the walked directory stands for
    shown: str  # what a report line puts before a path below either


def checked_tree(listed: Collection[str], directory: str | None) -> CheckedTree:
    """The tree to check the listed paths against: `directory`, or else the
    one the paths were written under, relative to the working directory as
    `sha256sum -c` would take them."""
    if directory is None:
        root = listed_root(listed)
        return CheckedTree(root or ".", root, root)
    shown = key_prefix(directory)
    # Paths written for the directory as spelled here line up as they are;
    # any others are moved over from the directory they share.
    if all(path.startswith(shown) for path in listed):
        return CheckedTree(directory, shown, shown)
    return CheckedTree(directory, listed_root(listed), shown)


def key_prefix(directory: str) -> str:
    """What `calculate_directory_manifest(directory)` puts before the path of
    each file below it: the directory as written, then `/` unless it is
    empty or ends in one already."""
    return directory if directory.endswith("/") or not directory else directory + "/"


def listed_root(paths: Collection[str]) -> str:
    """The longest directory that every path lies under, as the paths spell
    it and ending in `/`; "" (the working directory) when they share none.
    `tree/a` and `tree/sub/b` give `tree/`, `a` and `sub/b` give ""."""
    common = os.path.commonprefix(list(paths))
    return common[: common.rfind("/") + 1]


def below(root: str, paths: dict[str, str]) -> dict[str, str]:
    """The paths (all under root) without it."""
    return {path.removeprefix(root): digest for path, digest in paths.items()}
