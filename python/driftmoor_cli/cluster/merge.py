"""Where the parts' runs go on the client. For a manifest, into the merge
that gives the one sorted output: a line is written once no part still
being walked can hold a path before it. A part holds only paths below its
directory, and every part it hands back lies below it too, so the first
path a part may yet give is its directory's path followed by `/`; the
smallest of those, over every part not done, is the limit below which the
merged lines are final. The runs wait in driftmoor_tree.RunMerge, which
merges them natively. For a check, into a driftmoor_tree.GatheredWalk,
which the native check takes in place of its own walk."""

import heapq
from collections.abc import Iterator

from driftmoor_tree import GatheredWalk, LeftOutKind, RunMerge, run_reads

from driftmoor_cli.cluster.parts import join

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Literal


class Sink:
    """What becomes of the parts of the walk of the tree at `root` (its path
    as the output shows it) as they are opened and come back."""

    __slots__ = ("_root",)

    def __init__(self, root: bytes) -> None:
        self._root = root

    def shown(self, relative: bytes) -> bytes:
        """A path relative to the top as the output shows it."""
        return join(self._root, relative) if relative else self._root

    def opened(self, number: int, relative: bytes) -> None:
        """A part of the directory at `relative` (b"": the top) is to be walked."""

    def done(self, number: int, relative: bytes, run: bytes) -> None:
        """The part `number` of the directory at `relative` gave its run."""

    def left_out(self, path: bytes, kind: LeftOutKind, code: int | None,
                 text: str | None) -> None:
        """A part left out the entry at `path` (as the output shows it)."""


class Merge(Sink):
    """The runs of a tree's parts merged into the sorted output, and the
    parts not done yet."""

    __slots__ = ("_runs", "_open", "_done", "reads")

    def __init__(self, root: bytes, format: Literal["sha256sum", "bsd"],
                 record_reads: bool = False) -> None:
        super().__init__(root)
        self._runs = RunMerge(format)
        # With record_reads, the records of the parts' reads (TreeWalk.reads'
        # form), for a state.
        self.reads: list[bytes] | None = [] if record_reads else None
        # (first path the part may give, its number) of every part not done
        # yet, and the numbers of those done since they were put there.
        self._open: list[tuple[bytes, int]] = []
        self._done: set[int] = set()

    def opened(self, number: int, relative: bytes) -> None:
        # The top may be one file, whose path is the root's own.
        first = join(self.shown(relative), b"") if relative else self._root
        heapq.heappush(self._open, (first, number))

    def done(self, number: int, relative: bytes, run: bytes) -> None:
        self._runs.add(self.shown(relative), run)
        if self.reads is not None:
            self.reads.append(run_reads(self.shown(relative), run))
        self._done.add(number)

    def limit(self) -> bytes | None:
        """The first path a part not done yet may give; None when all are."""
        while self._open and self._open[0][1] in self._done:
            self._done.discard(heapq.heappop(self._open)[1])
        return self._open[0][0] if self._open else None

    def lines(self) -> Iterator[bytes]:
        """The lines that are final, in chunks of about 64 KiB."""
        limit = self.limit()
        while chunk := self._runs.take(limit):
            yield chunk

    def pairs(self) -> Iterator[tuple[bytes, str]]:
        """The (path, digest) of the files that are final, in order."""
        limit = self.limit()
        while batch := self._runs.pairs(limit):
            yield from batch


class Gather(Sink):
    """Everything the parts found, gathered for a check: `walked` once the
    walk is over."""

    __slots__ = ("walked",)

    def __init__(self, root: bytes) -> None:
        super().__init__(root)
        self.walked = GatheredWalk()

    def done(self, number: int, relative: bytes, run: bytes) -> None:
        self.walked.add(self.shown(relative), run)

    def left_out(self, path: bytes, kind: LeftOutKind, code: int | None,
                 text: str | None) -> None:
        self.walked.leave_out(path, kind, code, text)
