"""A tree's manifest made on the workers of a Dask cluster, for programs
that hold a `distributed.Client`; the command's `manifest --scheduler` runs
the same walk.

    from distributed import Client
    from driftmoor_cli.cluster import manifest

    walked = manifest(Client("tcp://scheduler:8786"), "/data/set")
    for path, digest in walked:        # in the order of the paths' bytes
        ...
    walked.failures, walked.passed_over  # once every pair was taken

The pairs come as the parts' runs merge into final ones, so a tree of any
size is taken in the memory of the parts in flight. Every worker needs
driftmoor installed and the tree at the same path as the client has it.
Dask is imported by whatever uses this package, never by the rest of the
command."""

import os
from collections.abc import Iterator

from driftmoor_tree import RootKind

from driftmoor_cli.cluster.connect import ClusterError
from driftmoor_cli.reasons import reason

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

    from distributed import Client

    from driftmoor_cli.arguments import Links
    from driftmoor_cli.cluster.merge import Merge
    from driftmoor_cli.cluster.session import LeftOut, Session

__all__ = ["ClusterError", "ClusterManifest", "manifest"]


class ClusterManifest:
    """The digest of every regular file at or below a tree, walked on a
    cluster: iterate for (path, digest) in the order of the paths' bytes
    (each path starting with the tree's as given; once only); then
    `failures` and `passed_over` hold (path, reason) of each entry left out,
    sorted by path, and `root` what the tree's path was found to be."""

    __slots__ = ("_session", "_merge", "failures", "passed_over", "root", "_taken")

    def __init__(self, session: Session, merge: Merge) -> None:
        self._session = session
        self._merge = merge
        self.failures: Final[list[tuple[bytes, str]]] = []
        self.passed_over: Final[list[tuple[bytes, str]]] = []
        self.root = RootKind.DIRECTORY
        self._taken = False

    def __iter__(self) -> Iterator[tuple[bytes, str]]:
        if self._taken:
            raise RuntimeError("a ClusterManifest is iterated once")
        self._taken = True
        steps = self._session.run()
        try:
            yield from self._merge.pairs()
            for _ in steps:
                yield from self._merge.pairs()
            yield from self._merge.pairs()
        finally:
            steps.close()
        account = self._session.account
        self.root = account.root
        self.failures.extend(_reasons(account.failures))
        self.passed_over.extend(_reasons(account.passed_over))


def manifest(client: Client, tree: bytes | str | os.PathLike[str], *, links: Links = "inside",
             one_file_system: bool = False, jobs: int | None = None) -> ClusterManifest:
    """The manifest of `tree` (a directory, or one file) walked on the
    workers of `client`'s cluster, as `driftmoor_cli.manifest` walks it on
    this machine: `links` ("inside", "all", "none") and `one_file_system`
    bound the walk alike, and the same files and entries left out come back.
    `jobs`: threads per part on each worker (default: its cores, shared
    among the worker threads of its machine). Raises the OSError of `tree`
    when it cannot be examined here, and ClusterError when a worker cannot
    see it (or run driftmoor) or the cluster fails the walk."""
    # Imported here: the workers import this package for the parts they
    # walk, and need nothing of the client's.
    from driftmoor_cli.cluster.merge import Merge
    from driftmoor_cli.cluster.session import Session
    from driftmoor_cli.walk import LINK_RULES

    root = os.fsencode(tree)
    merge = Merge(root, "sha256sum")
    session = Session(client, root, merge, links=LINK_RULES[links],
                      one_file_system=one_file_system, jobs=jobs)
    return ClusterManifest(session, merge)


def _reasons(left_out: list[LeftOut]) -> list[tuple[bytes, str]]:
    return sorted(((path, reason((kind, message))) for path, kind, message in left_out),
                  key=lambda item: item[0])
