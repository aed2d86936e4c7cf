"""The subcommands. Each returns the exit status:

    manifest  0 done, 1 the tree could not be walked
    check     0 the tree matches, 1 it differs, 2 the manifest or the tree cannot be read
    diff      0 the manifests match, 1 they differ, 2 one cannot be read
"""

import argparse
import os
import sys

import driftmoor

from driftmoor_cli.compare import Status, compare, differs, report
from driftmoor_cli.manifest_format import (
    ManifestError,
    checksum_lines,
    json_object,
    parse_manifest,
)
from driftmoor_cli.progress import progress_line
from driftmoor_cli.tree_root import below, checked_tree, key_prefix


def manifest(arguments: argparse.Namespace) -> int:
    try:
        with progress_line(arguments.progress):
            digests = driftmoor.calculate_directory_manifest(arguments.dir)
    except OSError as error:
        print(f"driftmoor: {error}", file=sys.stderr)
        return 1
    write = json_object if arguments.format == "json" else checksum_lines
    return 0 if write_out(write(digests)) else 1


def check(arguments: argparse.Namespace) -> int:
    try:
        listed = read_manifest(arguments.manifest)
    except ManifestError as error:
        print(f"driftmoor: {error}", file=sys.stderr)
        return 2
    tree = checked_tree(listed, arguments.dir)
    try:
        with progress_line(arguments.progress and not arguments.quiet):
            found = driftmoor.calculate_directory_manifest(tree.walked)
    except OSError as error:
        print(f"driftmoor: {tree.walked}: {error}", file=sys.stderr)
        return 2
    prefix = key_prefix(tree.walked)
    statuses = compare(below(tree.root, listed), below(prefix, found))
    return finish(
        [
            (tree.shown + path, status)
            for path, status in statuses
            # The manifest itself, kept in the tree it lists, is no added file.
            if not (status is Status.ADDED and _same_file(prefix + path, arguments.manifest))
        ],
        arguments.quiet,
    )


def diff(arguments: argparse.Namespace) -> int:
    try:
        old, new = read_manifest(arguments.old), read_manifest(arguments.new)
    except ManifestError as error:
        print(f"driftmoor: {error}", file=sys.stderr)
        return 2
    return finish(compare(old, new), arguments.quiet)


def finish(statuses: list[tuple[str, Status]], quiet: bool) -> int:
    if not write_out(report(statuses, quiet=quiet)):
        return 1
    return 1 if differs(statuses) else 0


def read_manifest(path: str) -> dict[str, str]:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise ManifestError(f"cannot read {path}: {error.strerror}") from None
    return parse_manifest(data, path)


def _same_file(path: str, other: str) -> bool:
    try:
        return os.path.samefile(path, other)
    except OSError:
        return False


def write_out(text: str) -> bool:
    """Writes text to standard output as UTF-8, whatever the locale says: the
    paths are what the file names are on disk. False if the reader has gone."""
    try:
        sys.stdout.buffer.write(text.encode("utf-8"))
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        # The reader stopped early (`| head`): not worth a traceback. Point
        # stdout at /dev/null so the flush at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return False
    return True
