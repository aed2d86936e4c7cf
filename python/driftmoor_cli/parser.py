"""The command line, read into one typed value per subcommand.

argparse reads it; what leaves this module is a ManifestArguments,
CheckArguments or DiffArguments, so that every subcommand is a function of
typed arguments and typing does not stop at the dispatch.
"""

import argparse
import os
import sys
from collections.abc import Sequence

from driftmoor_cli.output import to_standard_error

# typing is imported for the type checker only: the command's start does
# without it (and without annotationlib, which NamedTuple and dataclasses
# bring in to read annotations), a few milliseconds of every run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Final, Literal, NoReturn

    Format = Literal["sha256sum", "json"]


class ManifestArguments:
    __slots__ = ("directory", "format", "progress")

    def __init__(self, directory: str, format: Format, progress: bool) -> None:
        self.directory: Final = directory
        self.format: Final = format
        self.progress: Final = progress


class CheckArguments:
    __slots__ = ("manifest", "directory", "quiet", "progress")

    def __init__(self, manifest: str, directory: str | None, quiet: bool, progress: bool) -> None:
        self.manifest: Final = manifest
        self.directory: Final = directory  # None: the tree the manifest's paths lie under
        self.quiet: Final = quiet
        self.progress: Final = progress


class DiffArguments:
    __slots__ = ("old", "new", "quiet")

    def __init__(self, old: str, new: str, quiet: bool) -> None:
        self.old: Final = old
        self.new: Final = new
        self.quiet: Final = quiet


Arguments = ManifestArguments | CheckArguments | DiffArguments


class Shown(Exception):
    """The command line asked for text instead of a run (--help): the text,
    for the caller to write to standard output."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text


def parse(argv: Sequence[str] | None) -> Arguments:
    """The command line argv (None: sys.argv[1:]). Shown for --help; a usage
    error ends the run in argparse's way (a message, SystemExit with 2)."""
    namespace = _parser().parse_args(argv)
    match namespace.command:
        case "manifest":
            return ManifestArguments(namespace.dir, namespace.format, namespace.progress)
        case "check":
            return CheckArguments(
                namespace.manifest,
                namespace.dir,
                namespace.quiet,
                namespace.progress and not namespace.quiet,
            )
        case _:
            return DiffArguments(namespace.old, namespace.new, namespace.quiet)


def _utf8_directory(text: str) -> str:
    # An argument that is not valid UTF-8 arrives with surrogate escapes,
    # which the module cannot take as a path.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {text!r}") from None
    return text


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="driftmoor",
        description="SHA-256 fingerprints of files and directory trees, and checks against them.",
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_option(parser)
    subcommands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", prog="driftmoor"
    )

    manifest = subcommands.add_parser(
        "manifest",
        help="print the SHA-256 of every file under DIR, as `sha256sum` does",
        description=(
            "Print one line per file under DIR, sorted by path, as `sha256sum` "
            "writes them (digest, two spaces, path), so that `driftmoor check` "
            "or `sha256sum -c` checks them later. Paths start with DIR as "
            "written: check from the same working directory."
        ),
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_option(manifest)
    manifest.add_argument(
        "--format",
        choices=["sha256sum", "json"],
        default="sha256sum",
        help="json: one JSON object of path to digest, sorted by path",
    )
    _progress_option(manifest)
    manifest.add_argument("dir", metavar="DIR", type=_utf8_directory)

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
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_option(check)
    _quiet_option(check)
    _progress_option(check)
    check.add_argument("manifest", metavar="MANIFEST")
    check.add_argument("dir", metavar="DIR", nargs="?", type=_utf8_directory)

    diff = subcommands.add_parser(
        "diff",
        help="compare two manifests, without reading the tree",
        description=(
            "Compare two manifests path by path, as written: the same lines and "
            "exit status as `check`, NEW taking the place of the tree."
        ),
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_option(diff)
    _quiet_option(diff)
    diff.add_argument("old", metavar="OLD")
    diff.add_argument("new", metavar="NEW")
    return parser


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse's own writes to sys.stderr, or to sys.stdout when that is
        # None (standard error closed): the usage would become output.
        to_standard_error(f"{self.format_usage()}{self.prog}: error: {message}\n")
        raise SystemExit(2)


def _help_option(parser: argparse.ArgumentParser) -> None:
    # argparse's own prints the help itself, to sys.stdout, unchecked.
    parser.add_argument("-h", "--help", action=_Help, help="show this help message and exit")


class _Help(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(
            option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help
        )

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        raise Shown(parser.format_help())


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


class _Formatter(argparse.HelpFormatter):
    """argparse's own help layout, made cheaply.

    argparse makes a formatter for every parser it builds, only to check the
    parser's definitions, and its own one imports shutil for the terminal's
    width and _colorize for its colours (which brings in dataclasses and
    inspect): about 15 ms of every start of the command, for text that is
    printed only on a usage error or for --help. Here the width comes from
    os alone, by shutil's rule, and the colours are looked up when text is
    first formatted."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        if width is None:
            width = _terminal_columns() - 2
        super().__init__(prog, indent_increment, max_help_position, width)

    def _set_color(self, color: bool) -> None:
        self._color_wanted = color
        vars(self).pop("_theme", None)
        vars(self).pop("_decolor", None)

    def __getattr__(self, name: str) -> object:
        # Reached only for an attribute not set yet: the colours, which
        # argparse's own _set_color sets on first use.
        if name in ("_theme", "_decolor") and "_color_wanted" in vars(self):
            getattr(argparse.HelpFormatter, "_set_color")(self, self._color_wanted)
            return vars(self)[name]
        raise AttributeError(name)


def _terminal_columns() -> int:
    # shutil.get_terminal_size()'s rule: $COLUMNS, else the terminal on
    # standard output, else 80.
    try:
        columns = int(os.environ.get("COLUMNS", ""))
        if columns > 0:
            return columns
    except ValueError:
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80
