"""Two manifests compared path by path, and the report of what differs."""

from collections import Counter
from collections.abc import Iterator, Mapping
from enum import StrEnum

import driftmoor

from driftmoor_cli.formats.lines import escape
from driftmoor_cli.output import Output


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


def report(statuses: list[tuple[str, Status]], *, quiet: bool) -> Iterator[str]:
    """One line per path (`--quiet`: per difference), then the counts:

        <status>: <path>
        summary: <n> ok, <n> changed, <n> missing, <n> added

    A path is escaped as on a checksum line, and its line then starts with a
    backslash."""
    for path, status in statuses:
        if status is not Status.OK or not quiet:
            marker, text = escape(path)
            yield f"{marker}{status}: {text}\n"
    counts = Counter(status for _, status in statuses)
    yield f"summary: {', '.join(f'{counts[status]} {status}' for status in Status)}\n"


def write_report(statuses: list[tuple[str, Status]], quiet: bool) -> int:
    """Writes the report of check or diff; its exit status: 0 every path is
    ok, 1 one is not."""
    output = Output()
    output.write_lines(report(statuses, quiet=quiet))
    output.flush()
    return 1 if any(status is not Status.OK for _, status in statuses) else 0
