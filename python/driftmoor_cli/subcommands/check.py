"""`driftmoor check MANIFEST [DIR]`: the tree walked again and compared with
its manifest, in five steps, each once and each calling only what lies
below it: read the manifest (formats), settle the tree and the paths
(tree), read the tree (walk: the tree walked, or with --listed-only the
listed files alone), line what was found up with the manifest and compare
(compare), write the report (report). Each
entry that could not be read is named on standard error as well, as
`manifest` names it."""

from collections.abc import Sequence

from driftmoor_tree import LeftOutKind, RootKind

from driftmoor_cli.arguments import CheckArguments
from driftmoor_cli.compare import compare, lined_up
from driftmoor_cli.formats import ManifestError, read_manifest
from driftmoor_cli.output import error, error_about
from driftmoor_cli.reasons import LeftOut, reason
from driftmoor_cli.report import LISTED_FILES, TREE, Entry, Status, write_report
from driftmoor_cli.tree import checked_tree
from driftmoor_cli.walk import read_listed, walk


UNUSABLE = 2  # a manifest that cannot be used, a tree that cannot be walked

def run(arguments: CheckArguments) -> int:
    try:
        manifest = read_manifest(arguments.manifest)
    except ManifestError as failure:
        error(str(failure))
        return UNUSABLE
    tree = checked_tree(manifest.digests, arguments.directory)
    failures: list[tuple[bytes, LeftOut]]
    entries: list[Entry]
    counted: Sequence[Status]
    if arguments.report.listed_only:
        listed = read_listed(tree.files(), progress=arguments.progress)
        failures = sorted(listed.unreadable.items())
        entries = compare(tree.listed, listed.digests, listed.unreadable)
        counted = LISTED_FILES
    else:
        try:
            walked = walk(tree.directory, jobs=arguments.jobs, progress=arguments.progress)
        except OSError as failure:
            error_about(tree.directory, str(failure))
            return UNUSABLE
        if walked.root != RootKind.DIRECTORY:
            error_about(tree.directory, "not a directory")
            return UNUSABLE
        for path, kind, message in walked.failures:
            if path == tree.directory and kind == LeftOutKind.UNLISTABLE_DIRECTORY:
                error_about(path, reason((kind, message)))  # none of it can be seen
                return UNUSABLE
        found = lined_up(tree.listed, tree.walked, tree.shown, walked, manifest.identity)
        failures = found.failures
        entries = compare(tree.listed, found.present, found.unreadable, found.passed_over)
        counted = TREE
    for path, why in failures:
        error_about(tree.shown + path, reason(why))
    return write_report(
        [(tree.shown + path, status, why) for path, status, why in entries],
        counted,
        arguments.report,
        manifest.name,
    )
