"""`driftmoor diff OLD NEW`: two manifests compared, no tree read."""

from driftmoor_cli.arguments import DiffArguments
from driftmoor_cli.compare import compare
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
    return write_report(compare(old.digests, new.digests), MANIFESTS, arguments.report, old.name)
