"""`driftmoor manifest DIR`: the digest of every regular file under DIR (or
of the one file named), written as the native module formats it, and a line
on standard error for each entry that could not be read; with --state, the
state of the files read, for later checks (recording)."""

import os
import stat

import driftmoor_tree
from driftmoor_tree import RootKind

from driftmoor_cli.arguments import ManifestArguments
from driftmoor_cli.output import Output, WriteFailed, error, error_about
from driftmoor_cli.reasons import reason
from driftmoor_cli.walk import walk

TYPE_CHECKING = False
if TYPE_CHECKING:
    from driftmoor_cli.arguments import ManifestFormat

FAILED = 1  # the tree, or a part of it, could not be read


def run(arguments: ManifestArguments) -> int:
    root = arguments.path
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
    not_unicode: list[bytes] = []
    output = Output()
    if arguments.state is not None:
        from driftmoor_cli.recording import RecordingOutput

        output = RecordingOutput(arguments.format == "json")
    try:
        _write(output, walked.files, arguments.format, not_unicode)
    except WriteFailed:
        _report(walked, not_unicode, arguments.verbose)
        raise
    _report(walked, not_unicode, arguments.verbose)
    if arguments.state is not None:
        assert isinstance(output, RecordingOutput) and walked.reads is not None
        if (unsaved := output.save_state(arguments.state, walked.reads, root)) is not None:
            error(unsaved)
    return FAILED if walked.failures or not_unicode else 0


def _write(output: Output, files: dict[bytes, str], format: ManifestFormat,
           not_unicode: list[bytes]) -> None:
    if format == "json":
        from driftmoor_cli.formats.json_object import json_object

        for text in json_object(files, not_unicode):
            output.write_text(text)
        output.flush()
        return
    for chunk in driftmoor_tree.manifest_lines(files, format=format):
        output.write(chunk)
    output.flush()


def _report(walked: driftmoor_tree.TreeWalk, not_unicode: list[bytes], verbose: bool) -> None:
    """The entries left out, one line each on standard error, sorted by
    path: those that could not be read always, the files that JSON cannot
    name, and with verbose those passed over by design, then the counts."""
    lines = [(path, reason((kind, message))) for path, kind, message in walked.failures]
    lines += [(path, "not valid UTF-8, which JSON cannot hold: left out") for path in not_unicode]
    if verbose:
        lines += [(path, f"passed over: {reason((kind, message))}")
                  for path, kind, message in walked.passed_over]
    lines.sort(key=lambda line: line[0])
    for path, message in lines:
        error_about(path, message)
    if verbose:
        error(
            f"{len(walked.files) - len(not_unicode)} files written, "
            f"{len(walked.failures)} unreadable, {len(walked.passed_over)} passed over"
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
