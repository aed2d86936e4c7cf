"""One run of the command: the command line read, its subcommand run, and
what ends it early turned into an exit status.

Each subcommand's module is imported only when it runs, so a run loads what
its subcommand needs and no more.
"""

from collections.abc import Sequence
from driftmoor_cli.output import error
from driftmoor_cli.parser import CheckArguments, ManifestArguments, parse

EXIT_INTERRUPTED = 130  # as a shell reports a command ended by SIGINT


def run(argv: Sequence[str] | None) -> int:
    try:
        arguments = parse(argv)
        if isinstance(arguments, ManifestArguments):
            from driftmoor_cli.subcommands import manifest

            return manifest.run(arguments)
        if isinstance(arguments, CheckArguments):
            from driftmoor_cli.subcommands import check

            return check.run(arguments)
        from driftmoor_cli.subcommands import diff

        return diff.run(arguments)
    except KeyboardInterrupt:
        error("interrupted")
        return EXIT_INTERRUPTED
