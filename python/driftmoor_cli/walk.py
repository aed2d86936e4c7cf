"""The step that reads files, all through driftmoor_tree: a tree walked for
a manifest (every regular file at or below a directory with its digest, and
every entry left out by its kind), or a manifest's files checked against a
tree, with the progress line while they run. Paths are bytes from end to
end: the names as the file system holds them, UTF-8 or not.

manifest and check read through here and nowhere else."""

import array
from collections.abc import Callable, MutableSequence

import driftmoor_tree
from driftmoor_tree import LinkRule

from driftmoor_cli.progress import Counts, progress_line

TYPE_CHECKING = False
if TYPE_CHECKING:
    from driftmoor_cli.arguments import WalkOptions
    from driftmoor_cli.state import Loaded
    from driftmoor_cli.tree import Plan

LINK_RULES = {"inside": LinkRule.INSIDE, "all": LinkRule.ALL, "none": LinkRule.NONE}


def walk(root: bytes, options: WalkOptions, exclude: tuple[int, int] | None = None,
         record_reads: bool = False) -> driftmoor_tree.TreeWalk:
    """Every regular file at or below root (a directory, or a file: a tree
    of that one file), each path starting with root as written; the entries
    that could not be read (failures) and those passed over by design, each
    by its kind; what root was found to be; with record_reads, how each
    file was when read, for a state. `exclude` is the (st_dev, st_ino) of a
    file to pass over. OSError if root itself cannot be examined."""
    counts = _counts()
    with progress_line(options.progress, Counts(counts)):
        return driftmoor_tree.walk(root, jobs=options.jobs, exclude=exclude, progress=counts,
                                   links=LINK_RULES[options.links],
                                   one_file_system=options.one_file_system,
                                   record_reads=record_reads)


# The walk of a check's tree made elsewhere (on a cluster), given the counts
# to keep up to date as it goes and, where a state is kept, what the check
# may take unread.
Gather = Callable[[MutableSequence[int], driftmoor_tree.TrustTable | None],
                  driftmoor_tree.GatheredWalk]


def check(listed: driftmoor_tree.ListedManifest, plan: Plan, options: WalkOptions,
          exclude: tuple[int, int] | None, state: Loaded | None = None,
          scrub: int = 0, gather: Gather | None = None) -> driftmoor_tree.Findings:
    """Each listed file checked where the plan says, and the plan's tree
    walked for the files it does not list (`exclude`, the manifest itself,
    is none of them); with a state, the files it lets be trusted taken
    unread, and 1/scrub of them read all the same. The manifest is used up.
    `gather`: how the tree's walk is made elsewhere, in place of a walk
    here. OSError if the tree cannot be walked at all; ValueError, the
    manifest untouched, when the state does not fit it."""
    counts = _counts()
    with progress_line(options.progress, Counts(counts, total=len(listed))):
        walked = None
        if gather is not None:
            take = gather

            def gathered(table: driftmoor_tree.TrustTable) -> driftmoor_tree.GatheredWalk:
                # What may be taken unread is sent only where a state is kept.
                return take(counts, table if state is not None else None)

            walked = gathered

        return driftmoor_tree.check(
            listed, tree=plan.tree, listed_start=plan.listed_start,
            checked_start=plan.checked_start, walked_start=plan.walked_start, jobs=options.jobs,
            exclude=exclude, progress=counts if walked is None else None,
            links=LINK_RULES[options.links], one_file_system=options.one_file_system,
            state=None if state is None else state.chunks,
            state_digests=None if state is None else state.digests, scrub=scrub,
            walked=walked)


def _counts() -> array.array[int]:
    # Kept by the walk: the files read so far, and the bytes of them.
    return array.array("Q", [0, 0])
