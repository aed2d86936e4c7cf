"""`driftmoor check MANIFEST [DIR]`: the tree walked again and compared with
its manifest, in five steps, each once: read the manifest, pick the tree,
walk it, compare, write the report."""

import os

from driftmoor_cli.compare import Status, compare, write_report
from driftmoor_cli.formats import ManifestError, read_manifest
from driftmoor_cli.output import error
from driftmoor_cli.parser import CheckArguments
from driftmoor_cli.subcommands import UNUSABLE
from driftmoor_cli.tree import checked_tree
from driftmoor_cli.walk import prefix, walk


def run(arguments: CheckArguments) -> int:
    try:
        listed = read_manifest(arguments.manifest)
    except ManifestError as failure:
        error(str(failure))
        return UNUSABLE
    tree = checked_tree(listed, arguments.directory)
    try:
        found = walk(tree.directory, progress=arguments.progress)
    except OSError as failure:
        error(f"{tree.directory}: {failure}")
        return UNUSABLE
    statuses = compare(tree.listed, tree.below(found))
    walked = prefix(tree.directory)
    return write_report(
        [
            (tree.shown + path, status)
            for path, status in statuses
            # The manifest itself, kept in the tree it lists, is no added file.
            if not (status is Status.ADDED and _same_file(walked + path, arguments.manifest))
        ],
        arguments.quiet,
    )


def _same_file(path: str, other: str) -> bool:
    try:
        return os.path.samefile(path, other)
    except OSError:
        return False
