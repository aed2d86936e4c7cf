"""One run of the command: the command line read, its subcommand run, and
what ends it early turned into an exit status, with one line on standard
error:

    a write to standard output fails   1, `driftmoor: write error: <reason>`
                                          (nothing when the reader of a pipe
                                          has gone: `| head` ends quietly)
    memory runs out                    manifest 1, check and diff 2,
                                          `driftmoor: out of memory`
    Ctrl-C                             130, `driftmoor: interrupted`

Each subcommand's module is imported only when it runs, so a run loads what
its subcommand needs and no more.
"""

import errno
from collections.abc import Sequence

from driftmoor_cli.arguments import CheckArguments, ManifestArguments
from driftmoor_cli.output import Output, WriteFailed, error, keep_standard_descriptors
from driftmoor_cli.parser import Shown, parse

EXIT_WRITE_ERROR = 1
EXIT_INTERRUPTED = 130  # as a shell reports a command ended by SIGINT


def run(argv: Sequence[str] | None) -> int:
    keep_standard_descriptors()
    out_of_memory = 2  # check and diff: the result is not known
    try:
        try:
            arguments = parse(argv)
        except Shown as shown:  # --help, --version
            output = Output()
            output.write_text(shown.text)
            output.flush()
            return 0
        if isinstance(arguments, ManifestArguments):
            from driftmoor_cli.subcommands import manifest

            out_of_memory = 1  # as for a tree that cannot be walked
            return manifest.run(arguments)
        if isinstance(arguments, CheckArguments):
            from driftmoor_cli.subcommands import check

            return check.run(arguments)
        from driftmoor_cli.subcommands import diff

        return diff.run(arguments)
    except WriteFailed as failure:
        # A reader that stopped early is no failure to report: sha256sum,
        # ended by the pipe's signal in a pipeline, says nothing either.
        if failure.errno != errno.EPIPE:
            error(f"write error: {failure}")
        return EXIT_WRITE_ERROR
    except MemoryError:
        error("out of memory")
        return out_of_memory
    except KeyboardInterrupt:
        error("interrupted")
        return EXIT_INTERRUPTED
