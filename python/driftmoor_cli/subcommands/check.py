"""`driftmoor check MANIFEST [DIR]`: the tree walked again and compared with
its manifest, in five steps, each once: read the manifest, pick the tree,
read the tree (walk it, or with --listed-only read the listed files alone),
compare, write the report. Each entry that could not be read is named on
standard error as well, as `manifest` names it."""

import os
from collections.abc import Sequence

from driftmoor_cli.compare import LISTED_FILES, TREE, Status, compare, write_report
from driftmoor_cli.formats import ManifestError, read_manifest
from driftmoor_cli.names import shown
from driftmoor_cli.output import error, error_about
from driftmoor_cli.parser import CheckArguments
from driftmoor_cli.subcommands import UNUSABLE
from driftmoor_cli.tree import CheckedTree, checked_tree
from driftmoor_cli.walk import prefix, read_listed, walk


def run(arguments: CheckArguments) -> int:
    try:
        manifest = read_manifest(arguments.manifest)
    except ManifestError as failure:
        error(str(failure))
        return UNUSABLE
    tree = checked_tree(manifest.digests, arguments.directory)
    walked = prefix(tree.directory)
    if arguments.report.listed_only:
        files = ((path, walked + path) for path in tree.listed)
        listed = read_listed(files, progress=arguments.progress)
        failures = sorted(listed.unreadable.items())
        entries = compare(tree.listed, listed.digests, listed.unreadable)
        counted: Sequence[Status] = LISTED_FILES
    else:
        try:
            found = walk(tree.directory, jobs=arguments.jobs, progress=arguments.progress)
        except OSError as failure:
            error_about(tree.directory, str(failure))
            return UNUSABLE
        for path, reason in found.failures:
            if path == tree.directory:  # it cannot be listed at all
                error_about(path, reason)
                return UNUSABLE
        if tree.directory in found.files or any(
            path == tree.directory for path, _ in found.passed_over
        ):
            error_about(tree.directory, "not a directory")
            return UNUSABLE
        unreadable = tree.below(found.failures)
        failures = list(unreadable.items())
        unreadable |= _below_unreadable(tree, tree.listed.keys() - found.files.keys(), unreadable)
        entries = compare(tree.listed, tree.below(found.files.items()), unreadable,
                          tree.below(found.passed_over))
        counted = TREE
    for path, reason in failures:
        error_about(tree.shown + path, reason)
    return write_report(
        [
            (tree.shown + path, status, reason)
            for path, status, reason in entries
            # The manifest itself, kept in the tree it lists, is no added file.
            if not (status is Status.ADDED and _identity(walked + path) == manifest.identity)
        ],
        counted,
        arguments.report,
        manifest.name,
    )


def _below_unreadable(
    tree: CheckedTree, unseen: set[bytes], unreadable: dict[bytes, str]
) -> dict[bytes, str]:
    """Each listed path not read that lies below a directory that could not
    be listed: unreadable, with the directory and its reason, since the walk
    could not see whether it is there."""
    below = {}
    for path in unseen - unreadable.keys():
        end = path.rfind(b"/")
        while end > 0:
            reason = unreadable.get(path[:end])
            if reason is not None:
                below[path] = f"{shown(tree.shown + path[:end])}: {reason}"
                break
            end = path.rfind(b"/", 0, end)
    return below


def _identity(path: bytes) -> tuple[int, int] | None:
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino
