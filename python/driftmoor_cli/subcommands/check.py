"""`driftmoor check MANIFEST [DIR]`: the tree walked again and compared with
its manifest, in steps that each call only what lies below them: read the
manifest and settle where it is checked (api.prepare_check: formats, tree),
say which tree was chosen, load the state where one is kept
(api.keep_state), check it (api.run_check: walk, natively, with the
comparison), name what could not be read, write the report (report), and
save the state."""

from driftmoor_tree import PathState

from driftmoor_cli.api import keep_state, prepare_check, run_check
from driftmoor_cli.arguments import CheckArguments
from driftmoor_cli.formats import ManifestError
from driftmoor_cli.output import error, error_about
from driftmoor_cli.report import LISTED_FILES, TREE, with_damaged, write_report
from driftmoor_cli.tree import TreeError, chosen_text

UNUSABLE = 2  # a manifest that cannot be used, a tree that cannot be walked


def run(arguments: CheckArguments) -> int:
    report = arguments.report
    try:
        prepared = prepare_check(arguments.manifest, arguments.directory, report.listed_only)
    except (ManifestError, TreeError) as failure:
        error(str(failure))
        return UNUSABLE
    if prepared.plan.chosen is not None and not report.status_only:
        error(chosen_text(prepared.plan))
    state = None
    if arguments.state is not None:
        state = keep_state(prepared, arguments.state, arguments.scrub)
        if state.loaded.warning is not None:
            error(state.loaded.warning)
    try:
        result = run_check(prepared, arguments.walk, state)
    except TreeError as failure:
        error(str(failure))
        return UNUSABLE
    for warning in result.warnings:
        error(warning)
    for path, why in result.failures():
        error_about(path, why)
    counted: tuple[PathState, ...] = LISTED_FILES if report.listed_only else TREE
    if state is not None:
        counted = with_damaged(counted)
    status = write_report(result.findings, counted, report, result.manifest_name)
    if (unsaved := result.save_state()) is not None:
        error(unsaved)
    return status
