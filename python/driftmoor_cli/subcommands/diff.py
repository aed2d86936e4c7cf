"""`driftmoor diff OLD NEW`: two manifests compared, no tree read."""

import driftmoor_tree

from driftmoor_cli.arguments import DiffArguments
from driftmoor_cli.formats import ManifestError, read_manifest
from driftmoor_cli.output import error
from driftmoor_cli.report import MANIFESTS, write_report

UNUSABLE = 2  # a manifest that cannot be used


def run(arguments: DiffArguments) -> int:
    try:
        old, new = read_manifest(arguments.old), read_manifest(arguments.new)
    except ManifestError as failure:
        error(str(failure))
        return UNUSABLE
    findings = driftmoor_tree.compare(old.listed, new.listed)
    return write_report(findings, MANIFESTS, arguments.report, old.name)
