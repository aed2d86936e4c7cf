"""`driftmoor manifest DIR`: the digest of every file under DIR (or of the
one file named)."""

from driftmoor_cli.output import Output, error
from driftmoor_cli.parser import ManifestArguments
from driftmoor_cli.walk import fingerprint


def run(arguments: ManifestArguments) -> int:
    try:
        digests = fingerprint(arguments.path, progress=arguments.progress)
    except OSError as failure:
        error(str(failure))
        return 1
    if arguments.format == "json":
        from driftmoor_cli.formats.json_object import json_object as lines
    elif arguments.format == "bsd":
        from driftmoor_cli.formats.lines import bsd_lines as lines
    else:
        from driftmoor_cli.formats.lines import checksum_lines as lines
    output = Output()
    output.write_lines(lines(digests))
    output.flush()
    return 0
