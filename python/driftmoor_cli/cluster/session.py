"""One walk of a tree on a Dask cluster, from the client: the top handed to
a worker first, which lists it and hands its subdirectories back; those
sent on as parts, in the order of their paths, a batch of them per task,
as many tasks in flight as keep every worker thread busy with one more
waiting; each part walked on its worker for a while (longer as the run
goes on), after which the subdirectories it has not entered come back as
parts of their own. Every run that comes back goes to the sink (the
merge of a manifest's lines, or the walk a check gathers), and the caller
takes what is final between arrivals.

Dask places the tasks, and sends a task again when the worker running it
dies (a part only reads, so running it twice is harmless). Only workers
that were seen to find the tree at its path are given parts; a worker that
joins later is asked first, and one that stops finding it is given no
more, its parts going to the others."""

import asyncio
import os
import queue
import time
import uuid
from collections.abc import Generator, MutableSequence

import driftmoor_tree
from driftmoor_tree import LeftOutKind, LinkRule, RootKind

from driftmoor_cli.cluster.connect import ClusterError
from driftmoor_cli.cluster.merge import Gather, Sink
from driftmoor_cli.cluster.parts import Part, PartResult, TreeNotSeen, Walk, join, tree_seen, \
    walk_parts

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from distributed import Client

# An entry left out, as the one-machine walk gives it: path, kind, message.
LeftOut = tuple[bytes, LeftOutKind, str | None]

# How long a part walks before handing back what it has not entered: a
# tenth of the time so far, within these bounds. Short parts at first spread
# a small tree over every worker; longer ones later keep the tasks few
# (each costs the scheduler some milliseconds) while the tail stays short.
SHORTEST_PART = 0.5
LONGEST_PART = 10.0
# Seconds every part walks instead, when set: 0 makes every directory a part
# of its own (what the tests of the split use).
PART_SECONDS_VARIABLE = "DRIFTMOOR_PART_SECONDS"
# Tasks in flight per worker thread: one running, one waiting to start.
TASKS_PER_THREAD = 2
# How often the workers are counted again, for those that joined.
RECOUNT_WORKERS = 2.0
# How long a run waits on a scheduler left with no workers (their machines
# lost, their batch jobs ended) for new ones before it gives up: long
# enough for a nanny or a batch system to start workers again. Tests set
# it shorter with the variable.
WORKERLESS_PATIENCE = float(os.environ.get("DRIFTMOOR_WORKERLESS_SECONDS", "60"))


class Account:
    """What the walk left out and found, gathered from every part."""

    __slots__ = ("failures", "passed_over", "files", "bytes", "root")

    def __init__(self) -> None:
        self.failures: list[LeftOut] = []
        self.passed_over: list[LeftOut] = []
        self.files = 0
        self.bytes = 0
        self.root = RootKind.DIRECTORY


def shared_file_identity(local: tuple[int, int] | None,
                         name: bytes) -> tuple[int, int] | None:
    """The identity every machine gives the file that this one knows as
    `local` ((st_dev, st_ino)) and finds at `name`, as
    driftmoor_tree.shared_identity gives it; `local` where `name` cannot be
    looked at or names another file by now (this machine's numbers then
    stand, as they would on one machine)."""
    if local is None:
        return None
    try:
        found = os.stat(name)
        shared = driftmoor_tree.shared_identity(name)
    except (OSError, ValueError):
        return local
    return shared if (found.st_dev, found.st_ino) == local else local


class Session:
    """The walk of the tree at `root` (a path as the output shows it) on the
    cluster of `client`, its parts' runs given to `sink`. `exclude`: the
    identity (shared_file_identity's) of a file to pass over. OSError,
    worded as the walk words it, when the top cannot be examined here."""

    def __init__(self, client: Client, root: bytes, sink: Sink, *, links: LinkRule,
                 one_file_system: bool, jobs: int | None = None,
                 exclude: tuple[int, int] | None = None, record_reads: bool = False) -> None:
        self._client: Any = client  # Dask's own annotations are not complete
        self._sink = sink
        self.account = Account()
        top = root if os.path.isabs(root) else join(os.getcwdb(), root)
        identity = driftmoor_tree.shared_identity(top)
        self._jobs = jobs
        self._seen: dict[str, int] = {}  # address -> threads per part
        self._threads: dict[str, int] = {}  # address -> worker threads
        self._asked: set[str] = set()  # every worker asked whether it sees the tree
        self._workerless_since: float | None = None  # since when the scheduler has had none
        self._walk = Walk(top, identity, links, one_file_system, exclude, self._seen,
                          record_reads)
        self._counted = 0.0
        self._admit_workers(first=True)

    def run(self, counts: MutableSequence[int] | None = None,
            trust: driftmoor_tree.TrustTable | None = None) -> Generator[None]:
        """Walks the tree, yielding after each task's runs went to the sink;
        `counts` (files, bytes) is kept up to date for a progress line;
        `trust`: what a check may take unread, each part sent what lies
        below it (reads are then recorded). Raises ClusterError when the
        cluster fails the walk, OSError when a worker's walk fails as a walk
        on one machine would fail, and cancels every task on the way out
        however it ends."""
        started = time.monotonic()
        fixed = os.environ.get(PART_SECONDS_VARIABLE)
        fixed_seconds = float(fixed) if fixed else None
        waiting: list[tuple[bytes, int, Part]] = []  # sorted by path before each send
        flying: dict[Any, list[tuple[int, Part]]] = {}  # future -> its parts
        # Each task's future once it is done, put there by Dask's thread.
        arrived: queue.Queue[Any] = queue.Queue()
        number = 0

        walk = self._walk
        if trust is not None and not walk.record_reads:
            walk = Walk(walk.top, walk.identity, walk.links, walk.one_file_system, walk.exclude,
                        walk.jobs, record_reads=True)

        def send(parts: list[tuple[int, Part]], seconds: float) -> None:
            # A part walked for no time hands back every subdirectory: only
            # the files in its own directory can be taken there.
            trusts = [None if trust is None else trust.below(part.path(), seconds > 0)
                      for _, part in parts]
            future = self._client.submit(
                walk_parts, walk, [part for _, part in parts], seconds, trusts,
                key=f"driftmoor-part-{uuid.uuid4().hex}", workers=list(self._seen),
                allow_other_workers=False, pure=False)
            flying[future] = parts
            future.add_done_callback(arrived.put)

        self._sink.opened(number, b"")
        send([(number, Part(b"", None))], 0.0)
        try:
            while flying:
                try:
                    future = arrived.get(timeout=RECOUNT_WORKERS)
                except queue.Empty:
                    self._watch_workers()
                    continue
                parts = flying.pop(future, None)
                if parts is None:  # told twice: done, lost with its worker, done again
                    continue
                results = self._result(future)
                if results is None:  # its worker no longer sees the tree: sent again
                    waiting += [(self._sink.shown(part.path()), n, part) for n, part in parts]
                    results = []
                for (done, part), result in zip(parts, results):
                    for handed in result.parts:
                        number += 1
                        self._sink.opened(number, handed.path())
                        waiting.append((self._sink.shown(handed.path()), number, handed))
                    self._take(part, result)
                    self._sink.done(done, part.path(), result.run)
                    if counts is not None:
                        counts[0], counts[1] = self.account.files, self.account.bytes
                yield
                if self.account.root == RootKind.OTHER:
                    break  # nothing was walked: the caller says why
                self._recount_workers()
                waiting.sort(key=lambda item: item[0], reverse=True)
                seconds = fixed_seconds if fixed_seconds is not None else min(
                    max((time.monotonic() - started) / 10, SHORTEST_PART), LONGEST_PART)
                room = max(sum(self._threads.values()) * TASKS_PER_THREAD - len(flying), 0)
                while waiting and room:
                    batch = -(-len(waiting) // room)  # what is waiting, shared out
                    send([(n, part) for _, n, part in (waiting.pop() for _ in range(batch))],
                         seconds)
                    room -= 1
        finally:
            if flying:
                self._client.cancel(list(flying), force=True)

    def _watch_workers(self) -> None:
        """Between arrivals: workers that joined are asked in, and a
        scheduler left with none at all does not keep the run waiting for
        ever (ClusterError)."""
        self._recount_workers()
        if self._client.scheduler_info(n_workers=-1)["workers"]:
            self._workerless_since = None
        elif self._workerless_since is None:
            self._workerless_since = time.monotonic()
        elif time.monotonic() - self._workerless_since > WORKERLESS_PATIENCE:
            raise ClusterError(f"the scheduler has had no workers for "
                               f"{WORKERLESS_PATIENCE:g} seconds")

    def _result(self, future: Any) -> list[PartResult] | None:
        """The part's results; None when its worker no longer sees the tree
        (it is given no more parts); what its walk raised on the worker
        (OSError when descriptors ran out there, MemoryError) raised here,
        as a walk on one machine raises it; ClusterError for the cluster's
        own failures."""
        # A result lost with its worker while it was fetched is made again
        # elsewhere, if there is anywhere: waited for, the workers watched.
        while True:
            try:
                future.result(timeout=RECOUNT_WORKERS)
                break
            except (Exception, asyncio.CancelledError):
                if future.done():
                    break  # it failed: said below
            self._watch_workers()
        try:
            results: list[PartResult] = future.result()
        except TreeNotSeen as failure:
            worker, problem = failure.args
            self._seen.pop(worker, None)
            self._threads.pop(worker, None)
            if not self._seen:
                raise ClusterError(self._not_seen(worker, problem)) from None
            return None
        except (OSError, MemoryError):
            if future.status != "error":  # not the walk's: the client's own
                raise ClusterError("lost the scheduler") from None
            raise
        except (Exception, asyncio.CancelledError) as failure:
            raise ClusterError(f"the cluster failed a part of {os.fsdecode(self._walk.top)}: "
                               f"{type(failure).__name__}: {failure}") from None
        return results

    def _take(self, part: Part, result: PartResult) -> None:
        account = self.account
        account.files += result.files
        account.bytes += result.bytes
        if part.name is None:
            account.root = result.root
        for path, kind, code, text in result.failures:
            shown = self._sink.shown(path)
            message = driftmoor_tree.os_error_message(code) if code is not None else text
            account.failures.append((shown, kind, message))
            self._sink.left_out(shown, kind, code, text)
        for path, kind, code, text in result.passed_over:
            shown = self._sink.shown(path)
            account.passed_over.append((shown, kind, None))
            self._sink.left_out(shown, kind, code, text)

    def _admit_workers(self, first: bool = False) -> None:
        """Asks the workers not asked yet whether they see the tree; those
        that do are given parts. At the start, a worker that does not is a
        failure of the whole run, before anything is written; later, it is
        left without parts."""
        workers = self._client.scheduler_info(n_workers=-1)["workers"]
        self._counted = time.monotonic()
        new = sorted(address for address in workers
                     if address not in self._seen and address not in self._asked)
        if not new:
            return
        self._asked.update(new)
        answers = self._client.run(tree_seen, self._walk.top, self._walk.identity,
                                   workers=new, on_error="return")
        threads_by_host: dict[str, int] = {}
        for info in workers.values():
            threads_by_host[info["host"]] = threads_by_host.get(info["host"], 0) + info["nthreads"]
        for address in new:
            answer = answers.get(address)
            if isinstance(answer, BaseException) or answer is None:
                if first:
                    raise ClusterError(f"worker {address} cannot run driftmoor: "
                                       f"{type(answer).__name__}: {answer}")
                continue
            problem, cores = answer
            if problem is not None:
                if first:
                    raise ClusterError(self._not_seen(address, problem))
                continue
            info = workers[address]
            self._seen[address] = self._jobs or max(
                1, cores // max(threads_by_host[info["host"]], 1))
            self._threads[address] = info["nthreads"]
        if not self._seen:
            raise ClusterError("the scheduler has no workers")

    def _recount_workers(self) -> None:
        if time.monotonic() - self._counted >= RECOUNT_WORKERS:
            self._admit_workers()

    def _not_seen(self, worker: str, problem: str) -> str:
        top = self._walk.top.rstrip(b"/") or b"/"
        return f"worker {worker} cannot see {os.fsdecode(top)}: {problem}"


class GatheringWalk:
    """The walk of a check's tree at `root` on the cluster of `client`, its
    workers asked at once whether they see it (ClusterError if not), and
    walked when gathered: what the native check takes in place of its own
    walk. The rest is Session's."""

    __slots__ = ("_gather", "_session", "_done")

    def __init__(self, client: Client, root: bytes, *, links: LinkRule, one_file_system: bool,
                 jobs: int | None, exclude: tuple[int, int] | None) -> None:
        self._gather = Gather(root)
        self._session = Session(client, root, self._gather, links=links,
                                one_file_system=one_file_system, jobs=jobs, exclude=exclude)
        self._done = False

    def gather(self, counts: MutableSequence[int],
               trust: driftmoor_tree.TrustTable | None = None) -> driftmoor_tree.GatheredWalk:
        """Walks the tree, `counts` (files, bytes) kept up to date, `trust`
        what the check may take unread (Session.run's); once."""
        if self._done:
            raise RuntimeError("a GatheringWalk gathers once")
        self._done = True
        steps = self._session.run(counts, trust)
        try:
            for _ in steps:
                pass
        finally:
            steps.close()
        return self._gather.walked

