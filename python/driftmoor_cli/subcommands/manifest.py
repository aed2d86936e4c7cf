"""`driftmoor manifest DIR`: the digest of every regular file under DIR (or
of the one file named), written as the native module formats it, and a line
on standard error for each entry that could not be read; with --state, the
state of the files read, for later checks (recording). With --scheduler,
the walk runs on a Dask cluster's workers and the lines are written as the
parts' runs merge into final ones (cluster), with the same output."""

import array
import os
import stat
from collections.abc import Callable, Iterable, Iterator

import driftmoor_tree
from driftmoor_tree import LeftOutKind, RootKind

from driftmoor_cli.arguments import ManifestArguments
from driftmoor_cli.output import Output, WriteFailed, error, error_about
from driftmoor_cli.progress import Counts, progress_line
from driftmoor_cli.reasons import reason
from driftmoor_cli.walk import LINK_RULES, walk

TYPE_CHECKING = False
if TYPE_CHECKING:
    from distributed import Client

    from driftmoor_cli.arguments import ClusterOptions

FAILED = 1  # the tree, or a part of it, could not be read
CLUSTER_FAILED = 2  # the cluster could not be used: nothing is known of the tree

# What was left out, and how many files were read: the failures and the
# entries passed over, each (path, kind, message).
Account = tuple[list[tuple[bytes, LeftOutKind, str | None]],
                list[tuple[bytes, LeftOutKind, str | None]], int]
# Writes the output to the Output given, adding the paths JSON cannot hold
# to the list.
Write = Callable[[Output, list[bytes]], None]


def run(arguments: ManifestArguments) -> int:
    root = arguments.path
    if arguments.cluster is not None:
        return _on_cluster(arguments, arguments.cluster)
    try:
        walked = walk(root, arguments.walk, exclude=_standard_output_file(),
                      record_reads=arguments.state is not None)
    except OSError as failure:
        error_about(root, str(failure))
        return FAILED
    if walked.root == RootKind.OTHER:
        # Named on purpose, and never opened: a pipe's or a device's reads
        # could wait forever, or act on being read.
        error_about(root, "not a regular file or a directory")
        return FAILED
    files = walked.files

    def write(output: Output, not_unicode: list[bytes]) -> None:
        if arguments.format == "json":
            _write_json(output, sorted(files.items()), not_unicode)
        else:
            _write_lines(output, driftmoor_tree.manifest_lines(files, format=arguments.format))

    return _written(arguments, write, lambda: (walked.failures, walked.passed_over, len(files)),
                    lambda: walked.reads)


def _on_cluster(arguments: ManifestArguments, cluster: ClusterOptions) -> int:
    """The same, walked on the workers of a Dask cluster, with the same
    output, lines on standard error and status; the cluster's own failures
    are one line and status 2."""
    from driftmoor_cli.cluster.connect import ClusterError, connect, quiet

    quiet()
    try:
        with connect(cluster.scheduler, cluster.connect_timeout) as client:
            return _walked_on(client, arguments, cluster.jobs)
    except ClusterError as failure:
        error(str(failure))
        return CLUSTER_FAILED
    except OSError as failure:  # the tree here, or a worker's walk as it would fail here
        error_about(arguments.path, str(failure))
        return FAILED


def _walked_on(client: Client, arguments: ManifestArguments, jobs: int | None) -> int:
    """The lines written as the parts' runs merge into final ones."""
    import contextlib

    from driftmoor_cli.cluster.merge import Merge
    from driftmoor_cli.cluster.session import Session, shared_file_identity

    root, options = arguments.path, arguments.walk
    recording = arguments.state is not None
    merge = Merge(root, "bsd" if arguments.format == "bsd" else "sha256sum", recording)
    # Standard output as every worker's machine knows it, found by Linux's
    # name for it (elsewhere this machine's numbers are already those).
    exclude = shared_file_identity(_standard_output_file(), b"/proc/self/fd/1")
    session = Session(client, root, merge, links=LINK_RULES[options.links],
                      one_file_system=options.one_file_system, jobs=jobs, exclude=exclude,
                      record_reads=recording)
    counts = array.array("Q", [0, 0])
    with progress_line(options.progress, Counts(counts)), \
            contextlib.closing(session.run(counts)) as steps:  # closed: nothing left running
        next(steps, None)  # the top, which says what the rest is
        walked = session.account
        if walked.root == RootKind.OTHER:
            error_about(root, "not a regular file or a directory")
            return FAILED

        def write(output: Output, not_unicode: list[bytes]) -> None:
            if arguments.format == "json":
                _write_json(output, _final(steps, merge.pairs), not_unicode)
            else:
                _write_lines(output, _final(steps, merge.lines))

        return _written(arguments, write,
                        lambda: (walked.failures, walked.passed_over, walked.files),
                        lambda: None if merge.reads is None else b"".join(merge.reads))


def _written(arguments: ManifestArguments, write: Write, account: Callable[[], Account],
             reads: Callable[[], bytes | None]) -> int:
    """Writes the output, then names what was left out (`account`, once
    written), then saves the state of the files read (`reads`, the walk's
    records of them) where one is asked for; the exit status."""
    not_unicode: list[bytes] = []
    output = Output()
    if arguments.state is not None:
        from driftmoor_cli.recording import RecordingOutput

        output = RecordingOutput(arguments.format == "json")
    try:
        write(output, not_unicode)
    except WriteFailed:
        _report(account(), not_unicode, arguments.verbose)
        raise
    _report(account(), not_unicode, arguments.verbose)
    if arguments.state is not None:
        recorded = reads()
        assert isinstance(output, RecordingOutput) and recorded is not None
        if (unsaved := output.save_state(arguments.state, recorded, arguments.path)) is not None:
            error(unsaved)
    return FAILED if account()[0] or not_unicode else 0


def _final[Item](steps: Iterator[None], final: Callable[[], Iterator[Item]]) -> Iterator[Item]:
    """What is final after each step of a walk on a cluster, and at its end
    everything."""
    yield from final()
    for _ in steps:
        yield from final()
    yield from final()


def _write_lines(output: Output, chunks: Iterable[bytes]) -> None:
    for chunk in chunks:
        output.write(chunk)
    output.flush()


def _write_json(output: Output, files: Iterable[tuple[bytes, str]],
                not_unicode: list[bytes]) -> None:
    from driftmoor_cli.formats.json_object import json_object

    for text in json_object(files, not_unicode):
        output.write_text(text)
    output.flush()


def _report(account: Account, not_unicode: list[bytes], verbose: bool) -> None:
    """The entries left out, one line each on standard error, sorted by
    path: those that could not be read always, the files that JSON cannot
    name, and with verbose those passed over by design, then the counts."""
    failures, passed_over, files = account
    lines = [(path, reason((kind, message))) for path, kind, message in failures]
    lines += [(path, "not valid UTF-8, which JSON cannot hold: left out") for path in not_unicode]
    if verbose:
        lines += [(path, f"passed over: {reason((kind, message))}")
                  for path, kind, message in passed_over]
    lines.sort(key=lambda line: line[0])
    for path, message in lines:
        error_about(path, message)
    if verbose:
        error(
            f"{files - len(not_unicode)} files written, "
            f"{len(failures)} unreadable, {len(passed_over)} passed over"
            + (f", {len(not_unicode)} not written" if not_unicode else "")
        )


def _standard_output_file() -> tuple[int, int] | None:
    """(st_dev, st_ino) of standard output when it is a regular file, which
    the walk then passes over wherever it meets it: a manifest written into
    the tree it lists (`driftmoor manifest . >SHA256SUMS`) does not list
    itself, half-written."""
    try:
        found = os.fstat(1)
    except OSError:
        return None
    return (found.st_dev, found.st_ino) if stat.S_ISREG(found.st_mode) else None
