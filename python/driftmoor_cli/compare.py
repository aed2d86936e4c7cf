"""Two manifests compared path by path (or a manifest and what a walk
found), and the report of what differs. Paths are bytes, sorted by their
bytes."""

from collections import Counter
from collections.abc import Iterator, Mapping, Sequence
from enum import StrEnum

import driftmoor

from driftmoor_cli.names import escape
from driftmoor_cli.output import Output, error, error_about
from driftmoor_cli.parser import ReportOptions


class Status(StrEnum):
    OK = "ok"  # listed, present, same digest
    CHANGED = "changed"  # listed, present, another digest
    MISSING = "missing"  # listed, not present (gone, or not a regular file any more)
    ADDED = "added"  # present, not listed
    UNREADABLE = "unreadable"  # present, listed or not, but could not be read
    PASSED_OVER = "passed over"  # present, not listed, not read by design (a pipe, a loop)


# A path, its status, and why (for unreadable and passed over entries).
Entry = tuple[bytes, Status, str | None]

# What each report counts, in its summary's order.
MANIFESTS = (Status.OK, Status.CHANGED, Status.MISSING, Status.ADDED)
TREE = (*MANIFESTS, Status.UNREADABLE, Status.PASSED_OVER)
LISTED_FILES = (Status.OK, Status.CHANGED, Status.MISSING, Status.UNREADABLE)

_FAILING = (Status.CHANGED, Status.MISSING, Status.ADDED, Status.UNREADABLE)


def compare(
    listed: Mapping[bytes, str],
    present: Mapping[bytes, str],
    unreadable: Mapping[bytes, str] | None = None,
    passed_over: Mapping[bytes, str] | None = None,
) -> list[Entry]:
    """Every path of either side with its status, sorted by path. A listed
    path that is not present but unreadable is unreadable, not missing; one
    passed over is missing (no regular file is there any more)."""
    unreadable = unreadable or {}
    entries: list[Entry] = []
    for path, digest in listed.items():
        found = present.get(path)
        if found is not None:
            same = driftmoor.compare_hashes(digest, found)
            entries.append((path, Status.OK if same else Status.CHANGED, None))
        elif path in unreadable:
            entries.append((path, Status.UNREADABLE, unreadable[path]))
        else:
            entries.append((path, Status.MISSING, None))
    entries.extend((path, Status.ADDED, None) for path in present.keys() - listed.keys())
    entries.extend(
        (path, Status.UNREADABLE, reason)
        for path, reason in unreadable.items()
        if path not in listed
    )
    entries.extend(
        (path, Status.PASSED_OVER, reason)
        for path, reason in (passed_over or {}).items()
        if path not in listed
    )
    entries.sort(key=lambda entry: entry[0])
    return entries


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
    exit_status = 1 if any(counts[status] for status in covered if status in _FAILING) else 0
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
        from driftmoor_cli.formats.json_object import json_report, unicode_paths

        not_unicode: list[bytes] = []
        states = list(unicode_paths(((path, status.value) for path, status, _ in named),
                                    not_unicode))
        for path in not_unicode:
            error_about(path, "not valid UTF-8, which JSON cannot hold: left out of the report")
        if not_unicode:
            exit_status = 1
        for text in json_report(states, summary, exit_status):
            output.write_text(text)
    else:
        output.write_lines(report(named, summary))
    output.flush()
    return exit_status


def report(named: list[Entry], summary: Mapping[str, int]) -> Iterator[bytes]:
    """One line per path named, then the counts:

        <status>: <path>
        <status>: <path> (<reason>)       unreadable and passed over
        summary: <n> ok, <n> changed, <n> missing, <n> added, <n> unreadable, <n> passed over

    A path is written as its bytes, escaped as on a checksum line; its line
    then starts with a backslash. Reasons are UTF-8."""
    for path, status, reason in named:
        marker, text = escape(path)
        line = marker + status.encode() + b": " + text
        if reason is not None:
            line += b" (" + reason.encode("utf-8", "surrogateescape") + b")"
        yield line + b"\n"
    counts = ", ".join(f"{count} {status}" for status, count in summary.items())
    yield f"summary: {counts}\n".encode()
