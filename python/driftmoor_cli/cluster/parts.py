"""What runs on the workers of a Dask cluster: the parts of a tree walked
there, each by driftmoor_tree.walk_part, with the machine's own cores.

Only this module's functions and classes travel to the workers (by name:
every worker has driftmoor installed), so it imports nothing but
driftmoor_tree and the standard library. Paths travel relative to the top
of the tree, which every worker finds at the same absolute path; what a
part found travels back as one sorted run of names and digests, and the
entries it left out with the system's error numbers, to be worded by the
client in its own language."""

import os
import time

import driftmoor_tree
from driftmoor_tree import LeftOutKind, LinkRule, RootKind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

# An entry left out, as it travels: its path relative to the top (b"" for
# the top itself), its kind, and the system's error number or the error's
# own words, for what an error left out.
LeftOut = tuple[bytes, LeftOutKind, int | None, str | None]


class Part:
    """A directory of the tree to walk: the top itself (name None), or the
    subdirectory `name` of `directory` (relative to the top; b"" for the top)
    that another part handed back, with what the walk knew of it there."""

    __slots__ = ("directory", "name", "through_link", "above", "depth")

    def __init__(self, directory: bytes, name: bytes | None, through_link: bool = False,
                 above: bytes = b"", depth: int = 0) -> None:
        self.directory: Final = directory
        self.name: Final = name
        self.through_link: Final = through_link  # reached through a link the bounds judge
        self.above: Final = above  # the identities of the directories above it, nearest first
        self.depth: Final = depth  # of `directory`, below the top

    def path(self) -> bytes:
        """The part's directory, relative to the top (b"" for the top)."""
        if self.name is None:
            return b""
        return join(self.directory, self.name)



class Walk:
    """How every part of one tree is walked: the top's absolute path and the
    identity every machine must find there, the bounds, and the file to pass
    over (the output being written into the tree)."""

    __slots__ = ("top", "identity", "links", "one_file_system", "exclude", "jobs",
                 "record_reads")

    def __init__(self, top: bytes, identity: tuple[int, int], links: LinkRule,
                 one_file_system: bool, exclude: tuple[int, int] | None,
                 jobs: dict[str, int], record_reads: bool = False) -> None:
        self.top: Final = top
        self.identity: Final = identity
        self.links: Final = links
        self.one_file_system: Final = one_file_system
        self.exclude: Final = exclude  # as shared_identity gives it
        self.jobs: Final = jobs  # threads per part, by worker address; "" for any other
        self.record_reads: Final = record_reads  # each read's status, for a state



class PartResult:
    """What one part found: its files as a sorted run (names below the
    part's directory), their count and bytes, the entries left out, the
    subdirectories handed back as parts of their own, and what the top was
    found to be (for the part of the top)."""

    __slots__ = ("run", "files", "bytes", "failures", "passed_over", "parts", "root")

    def __init__(self, run: bytes, files: int, bytes: int, failures: list[LeftOut],
                 passed_over: list[LeftOut], parts: list[Part], root: RootKind) -> None:
        self.run: Final = run
        self.files: Final = files
        self.bytes: Final = bytes
        self.failures: Final = failures
        self.passed_over: Final = passed_over
        self.parts: Final = parts
        self.root: Final = root



class TreeNotSeen(Exception):
    """This worker does not find the tree at the top's path, or finds
    another directory there."""


# The separators of a path on this platform, the one the walk puts first.
_SEPARATORS = (b"\\", b"/") if os.name == "nt" else (b"/",)


def join(directory: bytes, name: bytes) -> bytes:
    """A name below a directory, as the walk joins them (no second
    separator)."""
    if not directory:
        return name
    if directory.endswith(_SEPARATORS):
        return directory + name
    return directory + _SEPARATORS[0] + name


def tree_seen(top: bytes, identity: tuple[int, int]) -> tuple[str | None, int]:
    """Whether this machine sees the tree: None, or why not; and the
    processors this process may use. Run on every worker before a part is
    sent."""
    cores = os.process_cpu_count() or 1
    try:
        found = driftmoor_tree.shared_identity(top)
    except OSError as failure:
        return str(failure), cores
    if found != identity:
        return "another file is there", cores
    return None, cores


def walk_parts(walk: Walk, parts: list[Part], seconds: float,
               trusts: list[bytes | None]) -> list[PartResult]:
    """Walks the parts one after another on this worker, the subdirectories
    of each handed back once `seconds` have gone by since the first began,
    and the parts not begun by then handed back whole; each part with what
    a check may take unread there (its trust, TrustTable.below's), or none."""
    from distributed import get_worker

    worker = get_worker().address
    problem, _ = tree_seen(walk.top, walk.identity)
    if problem is not None:
        raise TreeNotSeen(worker, problem)
    jobs = walk.jobs.get(worker) or walk.jobs.get("") or 1
    exclude = _local_identity(walk.top, walk.exclude)
    started = time.monotonic()
    results: list[PartResult] = []
    for part, trust in zip(parts, trusts, strict=True):
        left = seconds - (time.monotonic() - started)
        if results and left <= 0:
            results.append(_handed_back_whole(part))
            continue
        results.append(_walk_part(walk, part, max(left, 0.0), jobs, exclude, trust))
    return results


def _walk_part(walk: Walk, part: Part, seconds: float, jobs: int,
               exclude: tuple[int, int] | None, trust: bytes | None) -> PartResult:
    top = walk.top
    directory = None if part.name is None else join(top, part.directory) if part.directory else top
    run, files, read, failures, passed_over, parts, root = driftmoor_tree.walk_part(
        top, directory=directory, name=part.name or b"", through_link=part.through_link,
        above=part.above, depth=part.depth, most_seconds=seconds, jobs=jobs, exclude=exclude,
        links=walk.links, one_file_system=walk.one_file_system, record_reads=walk.record_reads,
        trust=trust)
    return PartResult(
        run, files, read,
        [(_relative(top, path), kind, code, text) for path, kind, code, text in failures],
        [(_relative(top, path), kind, code, text) for path, kind, code, text in passed_over],
        [Part(_relative(top, directory), name, through_link, above, depth)
         for directory, name, through_link, above, depth in parts],
        root)


def _handed_back_whole(part: Part) -> PartResult:
    return PartResult(b"", 0, 0, [], [], [part], RootKind.DIRECTORY)


def _relative(top: bytes, path: bytes) -> bytes:
    """A path the walk formed from the top, relative to it."""
    if path == top:
        return b""
    below = join(top, b"")
    assert path.startswith(below), (path, top)
    return path[len(below):]


def _local_identity(top: bytes, shared: tuple[int, int] | None) -> tuple[int, int] | None:
    """The (st_dev, st_ino) on this machine of the file that `shared` names
    as shared_identity names it: a file on the top's file system, whose
    device number this machine gives it; on another file system, where
    this machine numbers it as every machine does, or not at all."""
    if shared is None:
        return None
    device, inode = shared
    try:
        top_device = driftmoor_tree.shared_identity(top)[0]
        if device == top_device:
            return os.stat(top).st_dev, inode
    except OSError:
        return None
    return shared
