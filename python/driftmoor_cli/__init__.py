"""The `driftmoor` command, a thin layer over the `driftmoor` extension module.

    driftmoor manifest [--format sha256sum|bsd|json] DIR|FILE
    driftmoor check [-q] [--status] [--ignore-missing] [--listed-only]
                    [--format text|json] MANIFEST [DIR]
    driftmoor diff [-q] [--status] [--ignore-missing] [--listed-only]
                   [--format text|json] OLD NEW

`manifest` prints the digest of every file under DIR, as `sha256sum` writes
them; `check` walks the tree again and reports what changed, went missing or
was added since; `diff` compares two manifests.

The package, module by module: `command` runs one command line; `parser`
reads it into typed arguments; `subcommands` holds manifest, check and diff,
each one function; `formats` the manifest files (sha256sum's lines, BSD
lines, JSON); `walk` the calls that read files, `tree` which tree check
walks, `compare` the comparison and its report; `output` writes, checked;
`progress` draws the progress line; `version` finds the version.
"""

from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    from driftmoor_cli.command import run

    return run(argv)
