"""`driftmoor diff OLD NEW`: two manifests compared, no tree read."""

from driftmoor_cli.compare import MANIFESTS, compare, write_report
from driftmoor_cli.formats import ManifestError, read_manifest
from driftmoor_cli.output import error
from driftmoor_cli.parser import DiffArguments
from driftmoor_cli.subcommands import UNUSABLE


def run(arguments: DiffArguments) -> int:
    try:
        old, new = read_manifest(arguments.old), read_manifest(arguments.new)
    except ManifestError as failure:
        error(str(failure))
        return UNUSABLE
    return write_report(compare(old.digests, new.digests), MANIFESTS, arguments.report, old.name)
