"""The `driftmoor` command, a thin layer over the `driftmoor` extension module.

    driftmoor manifest [--format sha256sum|json] DIR
    driftmoor check [--quiet] MANIFEST [DIR]
    driftmoor diff [--quiet] OLD NEW

`manifest` prints the digest of every file under DIR, as `sha256sum` writes
them; `check` walks the tree again and reports what changed, went missing or
was added since; `diff` compares two manifests.
"""

import argparse
import sys
from collections.abc import Sequence

from driftmoor_cli import commands

EXIT_INTERRUPTED = 130  # as a shell reports a command ended by SIGINT


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    try:
        arguments = _parser().parse_args(argv)
        status: int = arguments.run(arguments)
        return status
    except KeyboardInterrupt:
        print("driftmoor: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _utf8_directory(text: str) -> str:
    # An argument that is not valid UTF-8 arrives with surrogate escapes,
    # which the module cannot take as a path.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {text!r}") from None
    return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="driftmoor",
        description="SHA-256 fingerprints of files and directory trees, and checks against them.",
    )
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    manifest = subcommands.add_parser(
        "manifest",
        help="print the SHA-256 of every file under DIR, as `sha256sum` does",
        description=(
            "Print one line per file under DIR, sorted by path, as `sha256sum` "
            "writes them (digest, two spaces, path), so that `driftmoor check` "
            "or `sha256sum -c` checks them later. Paths start with DIR as "
            "written: check from the same working directory."
        ),
    )
    manifest.add_argument(
        "--format",
        choices=["sha256sum", "json"],
        default="sha256sum",
        help="json: one JSON object of path to digest, sorted by path",
    )
    _progress_option(manifest)
    manifest.add_argument("dir", metavar="DIR", type=_utf8_directory)
    manifest.set_defaults(run=commands.manifest)

    check = subcommands.add_parser(
        "check",
        help="walk a tree again and report what differs from MANIFEST",
        description=(
            "Compute the digests of the tree that MANIFEST describes and compare "
            "them with it: one line per file (ok, changed, missing, added), then "
            "a summary. The tree is DIR, or else the longest directory that all "
            "of MANIFEST's paths lie under, taken from the working directory. "
            "Exit status: 0 the tree matches, 1 it differs, 2 MANIFEST or the "
            "tree cannot be read."
        ),
    )
    _quiet_option(check)
    _progress_option(check)
    check.add_argument("manifest", metavar="MANIFEST")
    check.add_argument("dir", metavar="DIR", nargs="?", type=_utf8_directory)
    check.set_defaults(run=commands.check)

    diff = subcommands.add_parser(
        "diff",
        help="compare two manifests, without reading the tree",
        description=(
            "Compare two manifests path by path, as written: the same lines and "
            "exit status as `check`, NEW taking the place of the tree."
        ),
    )
    _quiet_option(diff)
    diff.add_argument("old", metavar="OLD")
    diff.add_argument("new", metavar="NEW")
    diff.set_defaults(run=commands.diff)
    return parser


def _quiet_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print only the differences and the summary"
    )


def _progress_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="no progress line on standard error (drawn only on a terminal)",
    )
