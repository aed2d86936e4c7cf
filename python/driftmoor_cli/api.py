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
"changed", "damaged", "moved", "missing", "added", "unreadable", "passed
over"); reasons are the system's message or what the entry is ("dangling
link"). With a state file (`state=`), a check reads only the files whose
status changed since it was recorded, and keeps the state up to date."""

import os
import stat
from collections.abc import Iterator

import driftmoor_tree
from driftmoor_tree import LeftOutKind, PathState, RootKind

from driftmoor_cli.arguments import WalkOptions
from driftmoor_cli.formats import Manifest, ManifestError, read_manifest
from driftmoor_cli.names import shown
from driftmoor_cli.reasons import CAME, STATES, reason
from driftmoor_cli import state as kept
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

# States that are no difference.
_MATCHING = (PathState.OK, PathState.PASSED_OVER)


class CheckEntry:
    """One path of a check and what was found of it."""

    __slots__ = ("path", "state", "expected", "actual", "reason", "moved_to", "read")

    def __init__(self, path: bytes, state: str, expected: str | None, actual: str | None,
                 reason: str | None, moved_to: bytes | None = None, read: str | None = None
                 ) -> None:
        self.path: Final = path  # as the report names it
        self.state: Final = state  # "ok", "changed", "damaged", "moved", "missing", ...
        self.expected: Final = expected  # the manifest's digest, where listed
        self.actual: Final = actual  # the digest read (or trusted), where there is one
        self.reason: Final = reason  # why it is unreadable or passed over; else None
        self.moved_to: Final = moved_to  # "moved": the path it is found under now
        # With a state: "trusted" (taken unread), "read" or "scrubbed"; else None.
        self.read: Final = read

    def __repr__(self) -> str:
        return (f"CheckEntry(path={self.path!r}, state={self.state!r}, "
                f"expected={self.expected!r}, actual={self.actual!r}, reason={self.reason!r}, "
                f"moved_to={self.moved_to!r}, read={self.read!r})")


class CheckResult:
    """A check of a tree against its manifest: every path of either side,
    in the order of the paths' bytes."""

    __slots__ = ("manifest_name", "tree", "findings", "state", "warnings")

    def __init__(self, manifest_name: str, tree: bytes | None,
                 findings: driftmoor_tree.Findings, state: KeptState | None,
                 warnings: list[str]) -> None:
        self.manifest_name: Final = manifest_name
        self.tree: Final = tree  # the tree walked; None when the listed files were read alone
        self.findings: Final = findings  # the native findings, which a report is written from
        self.state: Final = state  # the state file the check kept, if any
        # Why a state file could not be used as it was (it is written anew).
        self.warnings: Final = warnings

    def __len__(self) -> int:
        return len(self.findings)

    def entries(self) -> Iterator[CheckEntry]:
        """Each path with its state, made as it is asked for."""
        for path, state, expected, actual, kind, message, below, moved_to, came in self.findings:
            why = None
            if kind is not None:
                why = reason((kind, message))
                if below is not None:
                    why = f"{shown(below)}: {why}"
            yield CheckEntry(path, STATES[state], expected, actual, why, moved_to,
                             CAME[came] or None)

    def counts(self) -> dict[str, int]:
        """How many paths are in each state."""
        counted = dict.fromkeys(STATES.values(), 0)
        for _, state, *_ in self.findings:
            counted[STATES[state]] += 1
        return counted

    def state_counts(self) -> tuple[int, int, int, int] | None:
        """With a state: (trusted, read, scrubbed, oldest_read_ns), how many
        listed files were taken unread, read and scrubbed, and when the file
        read longest ago was read (ns since 1970; 0: none)."""
        return self.findings.state_counts()

    def save_state(self) -> str | None:
        """Stores what the check recorded in its state file; the one line
        that says why it was not saved, or None."""
        if self.state is None:
            return None
        return self.state.save(self.findings)

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
        return all(state in _MATCHING for _, state, *_ in self.findings)


class KeptState:
    """A state file as one check uses it: loaded (or made anew, with the
    warning that says why), then saved with what the check read."""

    __slots__ = ("path", "binding", "loaded", "scrub")

    def __init__(self, path: str, binding: kept.Binding, scrub: int) -> None:
        self.path: Final = path
        self.binding: Final = binding
        self.loaded = kept.load(path, binding)
        self.scrub: Final = scrub

    def refuse(self) -> str:
        """Made anew: its records do not fit the manifest. The warning."""
        self.loaded.close()
        self.loaded = kept.refused(self.path)
        assert self.loaded.warning is not None
        return self.loaded.warning

    def save(self, findings: driftmoor_tree.Findings) -> str | None:
        import sqlite3

        fresh = self.loaded.fresh
        chunks = findings.state_chunks(changed_only=not fresh)
        digests = findings.state_digests()
        assert chunks is not None and digests is not None
        if not fresh and not chunks and digests == self.loaded.digests:
            return None  # nothing was read: nothing to write
        try:
            kept.save(self.path, self.binding, chunks, digests, fresh)
        except (OSError, sqlite3.Error) as failure:
            why = failure.strerror if isinstance(failure, OSError) and failure.strerror else failure
            return f"{self.path}: the state was not saved: {why}"
        return None


def keep_state(prepared: PreparedCheck, path: str, scrub: int = 0) -> KeptState:
    """The state file at path for a prepared check, loaded; its warning, if
    any, says why it is made anew."""
    return KeptState(path, kept.Binding(prepared.manifest.sha256,
                                        kept.tree_identity(prepared.plan.root)), scrub)


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


def run_check(prepared: PreparedCheck, options: WalkOptions, state: KeptState | None = None,
              on_cluster: GatheringWalk | None = None) -> CheckResult:
    """Runs a prepared check, with the state given if any; its manifest is
    used up. TreeError when the tree cannot be listed at all. `on_cluster`
    (cluster_walk's): the tree walked there rather than here."""
    plan = prepared.plan
    warnings = []
    try:
        gather = None if on_cluster is None else on_cluster.gather
        try:
            findings = walk.check(prepared.manifest.listed, plan, options,
                                  exclude=prepared.manifest.identity,
                                  state=None if state is None else state.loaded,
                                  scrub=0 if state is None else state.scrub, gather=gather)
        except ValueError:
            if state is None:
                raise
            warnings.append(state.refuse())
            findings = walk.check(prepared.manifest.listed, plan, options,
                                  exclude=prepared.manifest.identity, state=state.loaded,
                                  scrub=state.scrub, gather=gather)
    except OSError as failure:
        assert plan.tree is not None
        raise TreeError(f"{shown(plan.tree)}: {failure}") from None
    finally:
        if state is not None:
            state.loaded.close()
    for path, kind, message in findings.failures():
        if path == plan.tree and kind == LeftOutKind.UNLISTABLE_DIRECTORY:
            raise TreeError(f"{shown(path)}: {reason((kind, message))}")  # none of it can be seen
    return CheckResult(prepared.manifest.name, plan.tree, findings, state, warnings)


def check(manifest: str | os.PathLike[str] | None, tree: bytes | str | os.PathLike[str] | None
          = None, *, jobs: int = 1, links: Links = "inside", one_file_system: bool = False,
          listed_only: bool = False, state: str | os.PathLike[str] | None = None,
          scrub: int = 0, client: Client | None = None) -> CheckResult:
    """Checks a tree against the manifest at `manifest` (None: standard
    input): the tree `tree`, or the one the manifest's paths lie under; with
    `listed_only`, the listed files alone. `jobs` threads walk; `links` says
    which links the walk for added files follows ("inside", "all",
    "none"); `one_file_system` passes over other file systems. With `state`,
    a state file (made if missing): files whose status is as it recorded are
    taken unread (and 1/`scrub` of them read all the same), and the state is
    saved before this returns; `warnings` of the result says what could not
    be used or saved. With `client` (a distributed.Client), the tree is
    walked on its cluster's workers, each part of it by `jobs` threads
    there. Raises ManifestError, TreeError or OSError with the line the
    command prints, and ClusterError (driftmoor_cli.cluster) where the
    cluster fails."""
    directory = None if tree is None else os.fsencode(tree)
    prepared = prepare_check(None if manifest is None else os.fspath(manifest), directory,
                             listed_only)
    kept_state = None
    if state is not None:
        kept_state = keep_state(prepared, os.fspath(state), scrub)
    options = WalkOptions(jobs, links, one_file_system, progress=False)
    on_cluster = None
    if client is not None:
        on_cluster = cluster_walk(client, prepared, options, jobs)
    result = run_check(prepared, options, kept_state, on_cluster)
    if kept_state is not None:
        if kept_state.loaded.warning is not None and not result.warnings:
            result.warnings.insert(0, kept_state.loaded.warning)
        if (unsaved := result.save_state()) is not None:
            result.warnings.append(unsaved)
    return result


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
