"""`driftmoor manifest DIR`: the digest of every file under DIR."""

from driftmoor_cli.output import Output, error
from driftmoor_cli.parser import ManifestArguments
from driftmoor_cli.walk import walk


def run(arguments: ManifestArguments) -> int:
    try:
        digests = walk(arguments.directory, progress=arguments.progress)
    except OSError as failure:
        error(str(failure))
        return 1
    if arguments.format == "json":
        from driftmoor_cli.formats.json_object import json_object as lines
    else:
        from driftmoor_cli.formats.lines import checksum_lines as lines
    output = Output()
    output.write_lines(lines(digests))
    output.flush()
    return 0
