"""The `driftmoor` command, a thin layer over its extension module
`driftmoor_tree` (and `driftmoor`'s compare_hashes).

    driftmoor manifest [--format sha256sum|bsd|json] [--jobs N] [--links inside|all|none]
                       [-x] [--verbose] [--no-progress] [--state FILE]
                       [--scheduler ADDRESS [--connect-timeout SECONDS]] DIR|FILE
    driftmoor check [-q] [--status] [--ignore-missing] [--listed-only]
                    [--format text|json] [--jobs N] [--links inside|all|none] [-x]
                    [--verbose] [--no-progress] [--state FILE [--scrub N]]
                    [--scheduler ADDRESS [--connect-timeout SECONDS]] MANIFEST [DIR]
    driftmoor diff [-q] [--status] [--ignore-missing] [--listed-only]
                   [--format text|json] OLD NEW

`manifest` prints the digest of every regular file under DIR, as `sha256sum`
writes them, and names every entry it could not read; `check` walks the tree
again and reports what changed, went missing, was added or could not be read
since; `diff` compares two manifests. Paths are bytes throughout: every name,
UTF-8 or not, is written as the file system holds it.

Programs call `check(manifest, tree)` and `manifest(tree)` (from
`driftmoor_cli.api`) for the results as objects rather than text; with a
Dask cluster, `check(..., client=client)` and
`driftmoor_cli.cluster.manifest(client, tree)`.

The package, module by module, each importing only those listed after it:
`command` runs one command line; `parser` reads it into typed arguments;
`subcommands` holds manifest, check and diff, each one function that runs
its steps in order through `api`: `recording` keeps a manifest's state,
`cluster` walks on a Dask cluster's workers (Dask imported there only),
`formats` reads manifest files
(natively, the lines of sha256sum's two forms; JSON), `tree` settles which
tree check walks and where each listed path is checked, `walk` reads the
tree or the listed files and checks them natively (with `progress`, the
progress line), `report` writes the report; below them all, `reasons`
words states and why an entry was left out, `json_text` writes JSON,
`output` writes, checked, `names` shows a path, and `arguments` holds the
typed arguments.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from driftmoor_cli.api import CheckEntry as CheckEntry
    from driftmoor_cli.api import CheckResult as CheckResult
    from driftmoor_cli.api import TreeManifest as TreeManifest
    from driftmoor_cli.api import check as check
    from driftmoor_cli.api import manifest as manifest

_API = ("check", "manifest", "CheckEntry", "CheckResult", "TreeManifest")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    from driftmoor_cli.command import run

    return run(argv)


def __getattr__(name: str) -> object:
    # The functions for programs, imported when first asked for: the
    # command's start does without what its subcommand does not use.
    if name in _API:
        from driftmoor_cli import api

        return getattr(api, name)
    raise AttributeError(f"module 'driftmoor_cli' has no attribute {name!r}")
