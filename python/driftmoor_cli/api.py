"""The command's work as typed functions, for programs that would otherwise
run the command and parse its text: `manifest` fingerprints a tree, `check`
checks a tree against its manifest, and each returns its results as
objects. The command itself runs the same steps.

    from driftmoor_cli import check

    result = check("notes.sha256")
    for entry in result.entries():
        if entry.state != "ok":
            print(entry.state, entry.path, entry.expected, entry.actual, entry.reason)

Paths are bytes, as the file system holds them; digests are 64 lowercase
hexadecimal digits; states are the words a report line starts with ("ok",
"changed", "missing", "added", "unreadable", "passed over"); reasons are
the system's message or what the entry is ("dangling link")."""

import os
import stat
from collections.abc import Iterator

import driftmoor_tree
from driftmoor_tree import LeftOutKind, PathState, RootKind

from driftmoor_cli.arguments import WalkOptions
from driftmoor_cli.formats import Manifest, ManifestError, read_manifest
from driftmoor_cli.names import shown
from driftmoor_cli.reasons import STATES, reason
from driftmoor_cli.tree import Plan, TreeError, plan_check
from driftmoor_cli import walk

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

    from distributed import Client

    from driftmoor_cli.arguments import Links
    from driftmoor_cli.cluster.session import GatheringWalk

__all__ = ["CheckEntry", "CheckResult", "ManifestError", "TreeError", "TreeManifest", "check",
           "manifest"]


class CheckEntry:
    """One path of a check and what was found of it."""

    __slots__ = ("path", "state", "expected", "actual", "reason")

    def __init__(self, path: bytes, state: str, expected: str | None, actual: str | None,
                 reason: str | None) -> None:
        self.path: Final = path  # as the report names it
        self.state: Final = state  # "ok", "changed", "missing", "added", "unreadable", "passed over"
        self.expected: Final = expected  # the manifest's digest, where listed
        self.actual: Final = actual  # the digest read, where read
        self.reason: Final = reason  # why it is unreadable or passed over; else None

    def __repr__(self) -> str:
        return (f"CheckEntry(path={self.path!r}, state={self.state!r}, "
                f"expected={self.expected!r}, actual={self.actual!r}, reason={self.reason!r})")


class CheckResult:
    """A check of a tree against its manifest: every path of either side,
    in the order of the paths' bytes."""

    __slots__ = ("manifest_name", "tree", "findings")

    def __init__(self, manifest_name: str, tree: bytes | None,
                 findings: driftmoor_tree.Findings) -> None:
        self.manifest_name: Final = manifest_name
        self.tree: Final = tree  # the tree walked; None when the listed files were read alone
        self.findings: Final = findings  # the native findings, which a report is written from

    def __len__(self) -> int:
        return len(self.findings)

    def entries(self) -> Iterator[CheckEntry]:
        """Each path with its state, made as it is asked for."""
        for path, state, expected, actual, kind, message, below in self.findings:
            why = None
            if kind is not None:
                why = reason((kind, message))
                if below is not None:
                    why = f"{shown(below)}: {why}"
            yield CheckEntry(path, STATES[state], expected, actual, why)

    def counts(self) -> dict[str, int]:
        """How many paths are in each state."""
        counted = dict.fromkeys(STATES.values(), 0)
        for _, state, *_ in self.findings:
            counted[STATES[state]] += 1
        return counted

    def failures(self) -> list[tuple[bytes, str]]:
        """(path, reason) of each entry that could not be read, but for those
        below a directory that could not be listed: what the command names
        on standard error."""
        return [(path, reason((kind, message)))
                for path, kind, message in self.findings.failures()]

    @property
    def matches(self) -> bool:
        """Whether the tree matches its manifest: no path changed, missing,
        added or unreadable."""
        return all(state in (PathState.OK, PathState.PASSED_OVER)
                   for _, state, *_ in self.findings)


class PreparedCheck:
    """A check whose manifest was read and whose tree was settled, not yet
    run."""

    __slots__ = ("manifest", "plan", "source")

    def __init__(self, manifest: Manifest, plan: Plan, source: str | None) -> None:
        self.manifest: Final = manifest
        self.plan: Final = plan
        self.source: Final = source  # the manifest's path; None: standard input


def prepare_check(manifest_path: str | None, directory: bytes | None,
                  listed_only: bool) -> PreparedCheck:
    """Reads the manifest and settles where its check reads. ManifestError
    for a manifest that cannot be used, TreeError for paths no tree can be
    found for: a tree the check chose that holds none of them at all (a
    check run from the wrong folder), or one that is missing or no
    directory."""
    manifest = read_manifest(manifest_path)
    plan = plan_check(manifest.listed, manifest.name, directory, listed_only)
    if plan.tree is not None:
        try:
            if not stat.S_ISDIR(os.stat(plan.tree).st_mode):
                raise TreeError(f"{shown(plan.tree)}: not a directory")
        except OSError as failure:
            # Worded as the walk words the errors it meets.
            raise TreeError(f"{shown(plan.tree)}: {failure.strerror} (os error {failure.errno})"
                            ) from None
        except ValueError:  # a NUL byte, which no name holds
            raise TreeError(f"{shown(plan.tree)}: not a directory") from None
    if plan.chosen is not None and not manifest.listed.any_present(plan.listed_start,
                                                                    plan.checked_start):
        assert plan.tree is not None
        raise TreeError(f"{manifest.name}: none of the files it lists is in "
                        f"{shown(plan.tree)}: check from the folder it was written in, "
                        "or name the tree")
    return PreparedCheck(manifest, plan, manifest_path)


def cluster_walk(client: Client, prepared: PreparedCheck, options: WalkOptions,
                 jobs: int | None = None) -> GatheringWalk | None:
    """The walk of a prepared check's tree on the workers of `client`'s
    cluster, each part walked with `jobs` threads (default: its machine's
    cores, shared among its worker threads), for run_check; None when no
    tree is walked (the listed files alone are read, here). The workers are
    asked at once whether they see the tree: ClusterError (from
    driftmoor_cli.cluster) if one does not."""
    plan = prepared.plan
    if plan.tree is None:
        return None
    from driftmoor_cli.cluster.session import GatheringWalk, shared_file_identity

    # The manifest as every worker's machine knows it: by its name, or by
    # Linux's name for standard input (elsewhere this machine's numbers are
    # already those).
    name = b"/proc/self/fd/0" if prepared.source is None else os.fsencode(prepared.source)
    try:
        return GatheringWalk(client, plan.tree, links=walk.LINK_RULES[options.links],
                             one_file_system=options.one_file_system, jobs=jobs,
                             exclude=shared_file_identity(prepared.manifest.identity, name))
    except OSError as failure:
        raise TreeError(f"{shown(plan.tree)}: {failure}") from None


def run_check(prepared: PreparedCheck, options: WalkOptions,
              on_cluster: GatheringWalk | None = None) -> CheckResult:
    """Runs a prepared check; its manifest is used up. TreeError when the
    tree cannot be listed at all. `on_cluster` (cluster_walk's): the tree
    walked there rather than here."""
    plan = prepared.plan
    try:
        findings = walk.check(prepared.manifest.listed, plan, options,
                              exclude=prepared.manifest.identity,
                              gather=None if on_cluster is None else on_cluster.gather)
    except OSError as failure:
        assert plan.tree is not None
        raise TreeError(f"{shown(plan.tree)}: {failure}") from None
    for path, kind, message in findings.failures():
        if path == plan.tree and kind == LeftOutKind.UNLISTABLE_DIRECTORY:
            raise TreeError(f"{shown(path)}: {reason((kind, message))}")  # none of it can be seen
    return CheckResult(prepared.manifest.name, plan.tree, findings)


def check(manifest: str | os.PathLike[str] | None, tree: bytes | str | os.PathLike[str] | None
          = None, *, jobs: int = 1, links: Links = "inside", one_file_system: bool = False,
          listed_only: bool = False, client: Client | None = None) -> CheckResult:
    """Checks a tree against the manifest at `manifest` (None: standard
    input): the tree `tree`, or the one the manifest's paths lie under; with
    `listed_only`, the listed files alone. `jobs` threads walk; `links` says
    which links the walk for added files follows ("inside", "all",
    "none"); `one_file_system` passes over other file systems. With
    `client` (a distributed.Client), the tree is walked on its cluster's
    workers, each part of it by `jobs` threads there. Raises
    ManifestError, TreeError or OSError with the line the command prints,
    and ClusterError (driftmoor_cli.cluster) where the cluster fails."""
    directory = None if tree is None else os.fsencode(tree)
    prepared = prepare_check(None if manifest is None else os.fspath(manifest), directory,
                             listed_only)
    options = WalkOptions(jobs, links, one_file_system, progress=False)
    on_cluster = None
    if client is not None:
        on_cluster = cluster_walk(client, prepared, options, jobs)
    return run_check(prepared, options, on_cluster)


class TreeManifest:
    """What fingerprinting a tree found."""

    __slots__ = ("files", "failures", "passed_over", "root")

    def __init__(self, walked: driftmoor_tree.TreeWalk) -> None:
        # path -> digest of every regular file read
        self.files: Final[dict[bytes, str]] = walked.files
        # (path, reason) of what could not be read, and of what was passed
        # over by design, each in path order
        self.failures: Final = [(path, reason((kind, message)))
                                for path, kind, message in walked.failures]
        self.passed_over: Final = [(path, reason((kind, message)))
                                   for path, kind, message in walked.passed_over]
        self.root: Final[RootKind] = walked.root  # what the path given was found to be


def manifest(tree: bytes | str | os.PathLike[str], *, jobs: int = 1, links: Links = "inside",
             one_file_system: bool = False) -> TreeManifest:
    """The digest of every regular file at or below `tree` (or of the one
    file it names), and every entry left out with its reason. Raises the
    OSError of `tree` when it cannot be examined at all."""
    return TreeManifest(walk.walk(os.fsencode(tree),
                                  WalkOptions(jobs, links, one_file_system, progress=False)))
