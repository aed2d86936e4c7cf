"""The report of check and diff, as text or JSON, and its exit status: the
states the options keep, named and counted. The report is written natively
from the findings (driftmoor_tree.Findings.report), in the words that
`reasons` chooses, in chunks of whole lines as it is made."""

from driftmoor_tree import Findings, PathState

from driftmoor_cli.output import Output, error, error_about
from driftmoor_cli.reasons import words

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from driftmoor_cli.arguments import ReportOptions

# What each report counts, in its summary's order. A file moved is one
# missing and added with the same digest, so where no file is added (only
# listed files read) none is moved. Only a check with a state knows a file
# damaged; its summary alone counts them.
MANIFESTS = (PathState.OK, PathState.CHANGED, PathState.MISSING, PathState.ADDED,
             PathState.MOVED)
TREE = (*MANIFESTS, PathState.UNREADABLE, PathState.PASSED_OVER)
LISTED_FILES = (PathState.OK, PathState.CHANGED, PathState.MISSING, PathState.UNREADABLE)


def with_damaged(counted: Sequence[PathState]) -> tuple[PathState, ...]:
    """The states a check that kept a state counts: damaged after changed."""
    at = counted.index(PathState.CHANGED) + 1
    return (*counted[:at], PathState.DAMAGED, *counted[at:])


def write_report(findings: Findings, counted: Sequence[PathState], options: ReportOptions,
                 listed: str) -> int:
    """Writes the report of check or diff (counted: the states its summary
    counts; listed: the manifest's name); returns its exit status: 0 every
    path it covers is ok (or passed over), 1 one is not.

    What the options leave out is neither named, nor counted, nor a cause
    to fail: missing files with ignore_missing, added ones with listed_only.
    As with `sha256sum -c --ignore-missing`, a check in which no listed file
    was found fails all the same. Passed over entries are counted, but named
    only with verbose."""
    covered = tuple(state for state in counted
                    if not (state in (PathState.ADDED, PathState.MOVED) and options.listed_only))
    report = findings.report(*words(), counted=covered, json=options.format == "json",
                             quiet=options.quiet, verbose=options.verbose,
                             ignore_missing=options.ignore_missing)
    verified = (report.count(PathState.OK) + report.count(PathState.CHANGED)
                + report.count(PathState.DAMAGED))
    if options.ignore_missing and not verified and not options.status_only:
        error(f"{listed}: no file was verified")
    if options.status_only:
        return report.status
    output = Output()
    for chunk in report:
        output.write(chunk)
    output.flush()
    for path in report.not_unicode():
        error_about(path, "not valid UTF-8, which JSON cannot hold: left out of the report")
    return report.status
