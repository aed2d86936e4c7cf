"""The `driftmoor` command, a thin layer over the `driftmoor` extension module.

    driftmoor manifest [--format sha256sum|json] DIR
    driftmoor check [--quiet] MANIFEST [DIR]
    driftmoor diff [--quiet] OLD NEW

`manifest` prints the digest of every file under DIR, as `sha256sum` writes
them; `check` walks the tree again and reports what changed, went missing or
was added since; `diff` compares two manifests.

The package, module by module: `command` runs one command line; `parser`
reads it into typed arguments; `subcommands` holds manifest, check and diff,
each one function; `formats` the manifest files (sha256sum lines, JSON);
`walk` the one call that fingerprints a tree, `tree` which tree check walks,
`compare` the comparison and its report; `output` writes; `progress` draws
the progress line.
"""

from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    from driftmoor_cli.command import run

    return run(argv)
