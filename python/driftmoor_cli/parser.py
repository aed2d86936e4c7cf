"""The command line, read into one typed value per subcommand.

argparse reads it; what leaves this module is a ManifestArguments,
CheckArguments or DiffArguments (see arguments).
"""

import argparse
import os
import sys
from collections.abc import Sequence

from driftmoor_cli.arguments import (
    Arguments,
    CheckArguments,
    ClusterOptions,
    DiffArguments,
    ManifestArguments,
    ReportOptions,
    WalkOptions,
)
from driftmoor_cli.output import to_standard_error

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, NoReturn

    Subparsers = argparse._SubParsersAction["_Parser"]

SUBCOMMANDS = ("manifest", "check", "diff")
STANDARD_INPUT = "-"  # a manifest read from standard input
# Threads enough for any machine's cores many times over; a number past it
# is a mistake, not a wish for more speed.
MOST_JOBS = 1024
# Where --scheduler is taken from when it is not given.
SCHEDULER_VARIABLE = "DRIFTMOOR_SCHEDULER"
# Seconds to reach a scheduler (and to find a worker there) by default.
CONNECT_TIMEOUT = 5.0


class Shown(Exception):
    """The command line asked for text instead of a run (--help,
    --version): the text, for the caller to write to standard output."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text


def parse(argv: Sequence[str] | None) -> Arguments:
    """The command line argv (None: sys.argv[1:]). Shown for --help and
    --version; a usage error ends the run in argparse's way (a message,
    SystemExit with 2)."""
    arguments = sys.argv[1:] if argv is None else list(argv)
    # A command line that starts with a subcommand's name needs that
    # subcommand's parser alone: building the others costs a millisecond or
    # two of every run, for nothing. Any other start (--help, a usage error)
    # gets them all.
    first = arguments[0] if arguments else None
    parser, check, diff = _parsers(first if first in SUBCOMMANDS else None)
    namespace = parser.parse_args(arguments)
    # A path argument arrives as text, any byte that is not UTF-8 held as a
    # surrogate escape: os.fsencode gives back the bytes it was.
    walk = None
    if namespace.command in ("manifest", "check"):
        jobs = namespace.jobs if namespace.jobs is not None else _default_jobs()
        walk = WalkOptions(jobs, namespace.links, namespace.one_file_system, namespace.progress)
    cluster = None
    if namespace.command in ("manifest", "check"):
        scheduler = namespace.scheduler or os.environ.get(SCHEDULER_VARIABLE) or None
        if scheduler is not None:
            cluster = ClusterOptions(scheduler, namespace.connect_timeout, namespace.jobs)
    if namespace.command == "manifest":
        assert walk is not None
        return ManifestArguments(os.fsencode(namespace.path), namespace.format, walk,
                                 namespace.verbose, namespace.state, cluster)
    report = ReportOptions(namespace.quiet, namespace.status, namespace.ignore_missing,
                           namespace.listed_only, getattr(namespace, "verbose", False),
                           namespace.format)
    if namespace.command == "check":
        assert walk is not None
        if namespace.scrub and namespace.state is None:
            assert check is not None  # built: it is the subcommand parsed
            check.error("--scrub needs --state: it reads files the state would let be trusted")
        directory = None if namespace.dir is None else os.fsencode(namespace.dir)
        return CheckArguments(_manifest(namespace.manifest), directory, report, walk,
                              namespace.state, namespace.scrub, cluster)
    if namespace.old == namespace.new == STANDARD_INPUT:
        assert diff is not None  # built: it is the subcommand parsed
        diff.error("OLD and NEW cannot both be standard input")
    return DiffArguments(_manifest(namespace.old), _manifest(namespace.new), report)


def _manifest(argument: str) -> str | None:
    return None if argument == STANDARD_INPUT else argument


def _default_jobs() -> int:
    return min(os.process_cpu_count() or 1, MOST_JOBS)


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 < seconds < 1e6:
        raise argparse.ArgumentTypeError(f"not a number of seconds above 0: {text!r}")
    return seconds


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {text!r}")
    return number


def _jobs(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {text!r}")
    if jobs > MOST_JOBS:
        raise argparse.ArgumentTypeError(f"more than {MOST_JOBS}: {text!r}")
    return jobs


def _parsers(
    only: str | None,
) -> tuple[argparse.ArgumentParser, argparse.ArgumentParser | None,
           argparse.ArgumentParser | None]:
    """The command's parser, with the subcommand `only` (None: every one),
    and check's and diff's, when they are built, to report what they are
    given."""
    parser = _Parser(
        prog="driftmoor",
        description="SHA-256 fingerprints of files and directory trees, and checks against them.",
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_and_version(parser)
    subcommands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", prog="driftmoor"
    )
    if only in (None, "manifest"):
        _manifest_parser(subcommands)
    check = _check_parser(subcommands) if only in (None, "check") else None
    return parser, check, _diff_parser(subcommands) if only in (None, "diff") else None


def _manifest_parser(subcommands: Subparsers) -> argparse.ArgumentParser:
    manifest = subcommands.add_parser(
        "manifest",
        help="print the SHA-256 of every file under DIR, as `sha256sum` does",
        description=(
            "Print one line per regular file under DIR, sorted by path, as "
            "`sha256sum` writes them (digest, two spaces, path: the name's bytes), "
            "so that `driftmoor check` or `sha256sum -c` checks them later. Paths "
            "start with DIR as written: check from the same working directory. "
            "For a file, print its line alone, as `sha256sum FILE` does. Each "
            "entry that cannot be read is named on standard error, and the exit "
            "status is then 1; pipes, devices and links back up the tree are "
            "passed over (--verbose names them). Standard output being a file "
            "in the tree leaves that file out."
        ),
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_and_version(manifest)
    manifest.add_argument(
        "--format",
        choices=["sha256sum", "bsd", "json"],
        default="sha256sum",
        help=(
            "bsd: `SHA256 (path) = digest` lines, as `sha256sum --tag` writes them; "
            "json: one JSON object of path to digest, sorted by path"
        ),
    )
    _walk_options(manifest, verbose=(
        "name each entry passed over (pipes, sockets, devices, dangling links, links back up "
        "or out of the tree, the manifest being written, entries gone while walked) on "
        "standard error, and end with the counts"
    ), links=(
        "which links to follow: inside (default) those whose target lies in the tree, "
        "all of them, or none"
    ))
    _progress_option(manifest)
    manifest.add_argument(
        "--state", metavar="FILE",
        help="record in FILE how each file was when read (size, times, inode, device), for "
             "`check --state FILE` to trust the files that have not changed since",
    )
    _cluster_options(manifest)
    manifest.add_argument("path", metavar="DIR")
    return manifest


def _check_parser(subcommands: Subparsers) -> argparse.ArgumentParser:
    check = subcommands.add_parser(
        "check",
        help="walk a tree again and report what differs from MANIFEST",
        description=(
            "Compute the digests of the tree that MANIFEST describes and compare "
            "them with it: one line per file (ok, changed, missing, added, "
            "unreadable; `moved: OLD -> NEW` for a missing file found, alone with "
            "its digest, under a new name; with --state, damaged: a file whose "
            "content changed though its size and times did not), then a summary, "
            "which counts the entries passed over too. The tree is DIR, or else the longest directory that all "
            "of MANIFEST's relative paths lie under, taken from the working "
            "directory (said on standard error); an absolute path is checked "
            "where it is. MANIFEST `-` is standard input. Exit status: 0 the "
            "tree matches, 1 it differs or a file cannot be read, 2 MANIFEST or "
            "the tree cannot be used."
        ),
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_and_version(check)
    _report_options(check, listed="read only the files MANIFEST lists, as `sha256sum -c` "
                                  "does: walk no tree, report no added files")
    _walk_options(check, verbose="name each entry passed over in the report, not only count it",
                  links=(
                      "which links the walk for added files follows: inside (default) those "
                      "whose target lies in the tree, all of them, or none; a listed path is "
                      "read wherever its links lead"
                  ))
    _progress_option(check)
    check.add_argument(
        "--state", metavar="FILE",
        help="keep a state in FILE (made if missing) and read only the files whose size, "
             "times, inode or device differ from it; a change made with the clock set back, or "
             "on a file system that keeps no change times, goes unseen until the file is read "
             "again: see --scrub",
    )
    check.add_argument(
        "--scrub", metavar="N", type=_positive, default=0,
        help="with --state, also read the 1/N of the trusted files read longest ago, so that "
             "every file is read in full at least once in any N checks",
    )
    _cluster_options(check)
    check.add_argument("manifest", metavar="MANIFEST")
    check.add_argument("dir", metavar="DIR", nargs="?")
    return check


def _diff_parser(subcommands: Subparsers) -> argparse.ArgumentParser:
    diff = subcommands.add_parser(
        "diff",
        help="compare two manifests, without reading the tree",
        description=(
            "Compare two manifests path by path, as written: the same lines and "
            "exit status as `check`, NEW taking the place of the tree. Either "
            "may be `-`, standard input."
        ),
        formatter_class=_Formatter,
        add_help=False,
    )
    _help_and_version(diff)
    _report_options(diff, listed="report no paths that only NEW lists")
    diff.add_argument("old", metavar="OLD")
    diff.add_argument("new", metavar="NEW")
    return diff


def _report_options(parser: argparse.ArgumentParser, *, listed: str) -> None:
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print only the differences and the summary"
    )
    parser.add_argument(
        "--status", action="store_true",
        help="print nothing on standard output: the exit status tells",
    )
    parser.add_argument(
        "--ignore-missing", action="store_true",
        help="neither report nor fail for files that are listed but missing",
    )
    parser.add_argument("--listed-only", action="store_true", help=listed)
    parser.add_argument(
        "--format",
        choices=["text", "json"],
        default="text",
        help="json: one JSON object of each path's state, the summary and the exit status",
    )


def _walk_options(parser: argparse.ArgumentParser, *, verbose: str, links: str) -> None:
    parser.add_argument(
        "-j", "--jobs",
        type=_jobs,
        metavar="N",
        help=(
            f"walk with N threads, at most {MOST_JOBS} (default: the processors this process "
            f"may use, {_default_jobs()} here; on a cluster, each worker's, shared among the "
            "worker threads of its machine); 1 walks on one thread. The output is the same "
            "for any N"
        ),
    )
    parser.add_argument(
        "--links",
        choices=["inside", "all", "none"],
        default="inside",
        help=links,
    )
    parser.add_argument(
        "-x", "--one-file-system",
        action="store_true",
        help="pass over directories on other file systems (mount points in the tree)",
    )
    parser.add_argument("-v", "--verbose", action="store_true", help=verbose)


def _cluster_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--scheduler", metavar="ADDRESS",
        help=(
            "walk on the workers of the Dask cluster whose scheduler is at ADDRESS (or whose "
            "scheduler file is ADDRESS), each with its own cores; default: "
            f"${SCHEDULER_VARIABLE}. The output is the same as on this machine. Needs "
            "driftmoor[distributed], and the tree at the same path on every worker"
        ),
    )
    parser.add_argument(
        "--connect-timeout", type=_seconds, default=CONNECT_TIMEOUT, metavar="SECONDS",
        help="give up reaching the scheduler, or a worker there, after SECONDS "
             "(default: %(default)s)",
    )


def _progress_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="no progress line on standard error (drawn only on a terminal, -q or not)",
    )


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse's own writes to sys.stderr, or to sys.stdout when that is
        # None (standard error closed): the usage would become output.
        to_standard_error(f"{self.format_usage()}{self.prog}: error: {message}\n")
        raise SystemExit(2)


def _help_and_version(parser: argparse.ArgumentParser) -> None:
    # argparse's own actions print their text themselves, to sys.stdout,
    # unchecked: these hand it to the command to write.
    parser.add_argument("-h", "--help", action=_Show, help="show this help message and exit")
    parser.add_argument("--version", action=_Show, help="show the version and exit")


class _Show(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        if option_string == "--version":
            from driftmoor_cli.version import version

            raise Shown(f"driftmoor {version()}\n")
        raise Shown(parser.format_help())


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
