"""Two manifests compared path by path, and the report of what differs."""

from collections import Counter
from collections.abc import Iterator, Mapping
from enum import StrEnum

import driftmoor

from driftmoor_cli.formats.lines import escape
from driftmoor_cli.output import Output, error
from driftmoor_cli.parser import ReportOptions


class Status(StrEnum):
    OK = "ok"  # listed, present, same digest
    CHANGED = "changed"  # listed, present, another digest
    MISSING = "missing"  # listed, not present (gone, unreadable, or not a file any more)
    ADDED = "added"  # present, not listed


def compare(listed: Mapping[str, str], present: Mapping[str, str]) -> list[tuple[str, Status]]:
    """Every path of either side with its status, sorted by path."""
    statuses = []
    for path, digest in listed.items():
        found = present.get(path)
        if found is None:
            statuses.append((path, Status.MISSING))
        elif driftmoor.compare_hashes(digest, found):
            statuses.append((path, Status.OK))
        else:
            statuses.append((path, Status.CHANGED))
    statuses.extend((path, Status.ADDED) for path in present.keys() - listed.keys())
    return sorted(statuses)


def write_report(statuses: list[tuple[str, Status]], options: ReportOptions, listed: str) -> int:
    """Writes the report of check or diff (listed: the manifest's name);
    returns its exit status: 0 every path it covers is ok, 1 one is not.

    What the options leave out is neither named, nor counted, nor a cause
    to fail: missing files with ignore_missing, added ones with listed_only.
    As with `sha256sum -c --ignore-missing`, a check in which no listed file
    was found fails all the same."""
    covered = [
        status for status in Status
        if not (status is Status.MISSING and options.ignore_missing)
        and not (status is Status.ADDED and options.listed_only)
    ]
    counts = Counter(status for _, status in statuses)
    exit_status = 1 if any(counts[status] for status in covered if status is not Status.OK) else 0
    if options.ignore_missing and counts[Status.OK] + counts[Status.CHANGED] == 0:
        if not options.status_only:
            error(f"{listed}: no file was verified")
        exit_status = 1
    if options.status_only:
        return exit_status
    named = [
        (path, status) for path, status in statuses
        if status in covered and not (options.quiet and status is Status.OK)
    ]
    summary = {status.value: counts[status] for status in covered}
    if options.format == "json":
        from driftmoor_cli.formats.json_object import json_report

        lines = json_report(named, summary, exit_status)
    else:
        lines = report(named, summary)
    output = Output()
    output.write_lines(lines)
    output.flush()
    return exit_status


def report(named: list[tuple[str, Status]], summary: Mapping[str, int]) -> Iterator[str]:
    """One line per path named, then the counts:

        <status>: <path>
        summary: <n> ok, <n> changed, <n> missing, <n> added

    A path is escaped as on a checksum line, and its line then starts with a
    backslash."""
    for path, status in named:
        marker, text = escape(path)
        yield f"{marker}{status}: {text}\n"
    yield f"summary: {', '.join(f'{count} {status}' for status, count in summary.items())}\n"
