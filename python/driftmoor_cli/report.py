"""The report of check and diff, as text or JSON, and its exit status: the
statuses the options keep, named and counted."""

from collections import Counter
from collections.abc import Iterator, Mapping, Sequence
from enum import StrEnum

from driftmoor_cli.names import escape
from driftmoor_cli.output import Output, error, error_about
from driftmoor_cli.reasons import LeftOut, reason

TYPE_CHECKING = False
if TYPE_CHECKING:
    from driftmoor_cli.arguments import ReportOptions


class Status(StrEnum):
    OK = "ok"  # listed, present, same digest
    CHANGED = "changed"  # listed, present, another digest
    MISSING = "missing"  # listed, not present (gone, or not a regular file any more)
    ADDED = "added"  # present, not listed
    UNREADABLE = "unreadable"  # present, listed or not, but could not be read
    PASSED_OVER = "passed over"  # present, not listed, not read by design (a pipe, a loop)


# A path, its status, and why (for unreadable and passed over entries).
Entry = tuple[bytes, Status, LeftOut | None]

# What each report counts, in its summary's order.
MANIFESTS = (Status.OK, Status.CHANGED, Status.MISSING, Status.ADDED)
TREE = (*MANIFESTS, Status.UNREADABLE, Status.PASSED_OVER)
LISTED_FILES = (Status.OK, Status.CHANGED, Status.MISSING, Status.UNREADABLE)

# The statuses that make a check or a diff fail, where the report covers them.
FAILING = (Status.CHANGED, Status.MISSING, Status.ADDED, Status.UNREADABLE)


def write_report(
    entries: list[Entry], counted: Sequence[Status], options: ReportOptions, listed: str
) -> int:
    """Writes the report of check or diff (counted: the statuses its summary
    counts; listed: the manifest's name); returns its exit status: 0 every
    path it covers is ok (or passed over), 1 one is not.

    What the options leave out is neither named, nor counted, nor a cause
    to fail: missing files with ignore_missing, added ones with listed_only.
    As with `sha256sum -c --ignore-missing`, a check in which no listed file
    was found fails all the same. Passed over entries are counted, but named
    only with verbose."""
    covered = [
        status for status in counted
        if not (status is Status.MISSING and options.ignore_missing)
        and not (status is Status.ADDED and options.listed_only)
    ]
    counts = Counter(status for _, status, _ in entries)
    exit_status = 1 if any(counts[status] for status in covered if status in FAILING) else 0
    if options.ignore_missing and counts[Status.OK] + counts[Status.CHANGED] == 0:
        if not options.status_only:
            error(f"{listed}: no file was verified")
        exit_status = 1
    if options.status_only:
        return exit_status
    named = [
        entry for entry in entries
        if entry[1] in covered
        and not (options.quiet and entry[1] is Status.OK)
        and not (entry[1] is Status.PASSED_OVER and not options.verbose)
    ]
    summary = {status.value: counts[status] for status in covered}
    output = Output()
    if options.format == "json":
        from driftmoor_cli.json_text import json_object, unicode_paths

        not_unicode: list[bytes] = []
        states = list(unicode_paths(((path, status.value) for path, status, _ in named),
                                    not_unicode))
        for path in not_unicode:
            error_about(path, "not valid UTF-8, which JSON cannot hold: left out of the report")
        if not_unicode:
            exit_status = 1
        output.write_text('{\n  "paths": ')
        for text in json_object(states, "  "):
            output.write_text(text)
        output.write_text(',\n  "summary": ')
        for text in json_object(summary.items(), "  "):
            output.write_text(text)
        output.write_text(f',\n  "status": {exit_status}\n}}\n')
    else:
        output.write_lines(report_lines(named, summary))
    output.flush()
    return exit_status


def report_lines(named: list[Entry], summary: Mapping[str, int]) -> Iterator[bytes]:
    """One line per path named, then the counts:

        <status>: <path>
        <status>: <path> (<reason>)       unreadable and passed over
        summary: <n> ok, <n> changed, <n> missing, <n> added, <n> unreadable, <n> passed over

    A path is written as its bytes, escaped as on a checksum line; its line
    then starts with a backslash. Reasons are UTF-8."""
    for path, status, why in named:
        marker, text = escape(path)
        line = marker + status.encode() + b": " + text
        if why is not None:
            line += b" (" + reason(why).encode("utf-8", "surrogateescape") + b")"
        yield line + b"\n"
    counts = ", ".join(f"{count} {status}" for status, count in summary.items())
    yield f"summary: {counts}\n".encode()
