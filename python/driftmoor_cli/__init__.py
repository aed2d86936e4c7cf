"""The `driftmoor` command, a thin layer over its extension module
`driftmoor_tree` (and `driftmoor`'s compare_hashes).

    driftmoor manifest [--format sha256sum|bsd|json] [--jobs N] [--verbose] DIR|FILE
    driftmoor check [-q] [--status] [--ignore-missing] [--listed-only]
                    [--format text|json] [--jobs N] [--verbose] MANIFEST [DIR]
    driftmoor diff [-q] [--status] [--ignore-missing] [--listed-only]
                   [--format text|json] OLD NEW

`manifest` prints the digest of every regular file under DIR, as `sha256sum`
writes them, and names every entry it could not read; `check` walks the tree
again and reports what changed, went missing, was added or could not be read
since; `diff` compares two manifests. Paths are bytes throughout: every name,
UTF-8 or not, is written as the file system holds it.

The package, module by module, each importing only those listed after it:
`command` runs one command line; `parser` reads it into typed arguments;
`subcommands` holds manifest, check and diff, each one function that runs
its steps in order: `formats` reads manifest files (sha256sum's lines, BSD
lines, JSON), `tree` settles which tree check walks and lines its findings
up with the manifest, `walk` reads the tree or the listed files (with
`progress`, the progress line), `compare` gives each path its status,
`report` writes the report; below them all, `reasons` words why an entry
was left out, `json_text` writes JSON, `names` shows a path, `output`
writes, checked, and `version` finds the version.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    from driftmoor_cli.command import run

    return run(argv)
