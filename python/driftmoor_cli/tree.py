"""Which tree `check` walks for a manifest, and where each listed path is
checked, as `sha256sum -c` would open it: an absolute path where it is, a
relative one from the tree (DIR, or the working directory). Paths are
bytes, as the manifest and the walk hold them, in their plain spelling
(driftmoor_tree.plain_path: `d//a` and `d/./a` are `d/a`)."""

import os

from driftmoor_tree import plain_path

from driftmoor_cli.names import shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

    from driftmoor_tree import ListedManifest


class TreeError(Exception):
    """The listed paths and the tree cannot be lined up: one line says why."""


class Plan:
    """Where a check reads: the tree it walks for files the manifest does
    not list (None: the listed files alone), and how a listed relative path
    becomes the path checked (`listed_start` taken off, `checked_start` put
    on); what the walk puts before each path it finds is `walked_start`."""

    __slots__ = ("tree", "listed_start", "checked_start", "walked_start", "chosen", "root")

    def __init__(self, tree: bytes | None, listed_start: bytes, checked_start: bytes,
                 walked_start: bytes, chosen: str | None, root: bytes) -> None:
        self.tree: Final = tree
        # The tree the listed files stand for, walked or not: what a state
        # binds to.
        self.root: Final = root
        self.listed_start: Final = listed_start
        self.checked_start: Final = checked_start
        self.walked_start: Final = walked_start
        # Why this tree, when the check chose it rather than being told.
        self.chosen: Final = chosen


def prefix(directory: bytes) -> bytes:
    """What a walk of directory puts before the path of each file below it:
    the directory as written, then `/` unless it is empty or ends in one
    already."""
    return directory if directory.endswith(b"/") or not directory else directory + b"/"


def plan_check(listed: ListedManifest, name: str, directory: bytes | None,
               listed_only: bool) -> Plan:
    """Where a check of the sealed manifest `listed` (named `name`) reads.

    With DIR: relative paths that all start with DIR as written line up as
    they are; otherwise the directory they all lie under stands for DIR (a
    copy of the tree is checked by naming it). Without DIR: the tree is the
    directory that every relative path lies under, taken from the working
    directory, or, for absolute paths alone, the directory they all lie
    under. Absolute paths are always checked where they are; where they mix
    with relative ones, every path is made absolute so that both line up.
    TreeError if no tree can stand for them."""
    relative_root, absolute_root = listed.roots()
    chosen = None
    if directory is not None:
        tree = plain_path(directory)
        walked_start = prefix(tree)
        listed_start = walked_start
        if relative_root is not None and not relative_root.startswith(walked_start):
            listed_start = relative_root
        checked_start = walked_start
    elif relative_root is not None:
        tree = relative_root or b"."
        listed_start = checked_start = relative_root
        walked_start = prefix(tree)
        chosen = (f"the folder that holds every path in {name}" if relative_root else
                  f"the working directory: the paths in {name} share no folder")
    else:
        assert absolute_root is not None  # the manifest lists files
        if absolute_root == b"/" and not listed_only:
            raise TreeError(f"{name}: its paths share no folder but /: name the tree to check, "
                            "or check the listed files alone with --listed-only")
        tree = absolute_root
        listed_start = checked_start = walked_start = prefix(tree)
        chosen = f"the folder that holds every path in {name}"
    if absolute_root is not None and not tree.startswith(b"/"):
        # Relative and absolute paths together: all made absolute, so that a
        # file named both ways is one.
        tree = absolute(tree)
        checked_start = walked_start = prefix(tree)
    return Plan(None if listed_only else tree, listed_start, checked_start, walked_start,
                None if listed_only else chosen, tree)


def absolute(path: bytes) -> bytes:
    """The path from the root, as the shell that started the command spells
    the working directory (its PWD, when that is where the process is), so
    that absolute paths written there line up."""
    here = os.fsencode(os.getcwd())
    shell = os.environ.get("PWD")
    if shell is not None and shell.startswith("/"):
        try:
            if os.path.samefile(shell, "."):
                here = os.fsencode(shell)
        except OSError:
            pass
    return plain_path(here + b"/" + path)


def chosen_text(plan: Plan) -> str:
    """The line that says which tree a check chose, and why."""
    assert plan.tree is not None and plan.chosen is not None
    tree = plan.tree if plan.tree.startswith(b"/") else absolute(plan.tree)
    return f"checking {shown(tree.rstrip(b'/') or b'/')} ({plan.chosen})"
