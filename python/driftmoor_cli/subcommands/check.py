"""`driftmoor check MANIFEST [DIR]`: the tree walked again and compared with
its manifest, in five steps, each once: read the manifest, pick the tree,
read the tree (walk it, or with --listed-only read the listed files alone),
compare, write the report."""

import os

from driftmoor_cli.compare import Status, compare, write_report
from driftmoor_cli.formats import ManifestError, read_manifest
from driftmoor_cli.output import error
from driftmoor_cli.parser import CheckArguments
from driftmoor_cli.subcommands import UNUSABLE
from driftmoor_cli.tree import checked_tree
from driftmoor_cli.walk import digest_files, prefix, walk


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
        found = digest_files(files, progress=arguments.progress)
    else:
        try:
            found = tree.below(walk(tree.directory, progress=arguments.progress))
        except OSError as failure:
            error(f"{tree.directory}: {failure}")
            return UNUSABLE
    statuses = compare(tree.listed, found)
    return write_report(
        [
            (tree.shown + path, status)
            for path, status in statuses
            # The manifest itself, kept in the tree it lists, is no added file.
            if not (status is Status.ADDED and _identity(walked + path) == manifest.identity)
        ],
        arguments.report,
        manifest.name,
    )


def _identity(path: str) -> tuple[int, int] | None:
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino

