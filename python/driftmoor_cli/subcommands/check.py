"""`driftmoor check MANIFEST [DIR]`: the tree walked again and compared with
its manifest, in steps that each call only what lies below them: read the
manifest and settle where it is checked (api.prepare_check: formats, tree),
with --scheduler reach the cluster and ask its workers whether they see
the tree (api.cluster_walk), say which tree was chosen, load the state
where one is kept (api.keep_state), check it (api.run_check: walk,
natively or on the cluster, with the comparison), name what could not be
read, write the report (report), and save the state."""

from driftmoor_tree import PathState

from driftmoor_cli.api import PreparedCheck, cluster_walk, keep_state, prepare_check, run_check
from driftmoor_cli.arguments import CheckArguments
from driftmoor_cli.formats import ManifestError
from driftmoor_cli.output import error, error_about
from driftmoor_cli.report import LISTED_FILES, TREE, with_damaged, write_report
from driftmoor_cli.tree import TreeError, chosen_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    from driftmoor_cli.cluster.session import GatheringWalk

UNUSABLE = 2  # a manifest that cannot be used, a tree that cannot be walked, no cluster


def run(arguments: CheckArguments) -> int:
    report = arguments.report
    try:
        prepared = prepare_check(arguments.manifest, arguments.directory, report.listed_only)
    except (ManifestError, TreeError) as failure:
        error(str(failure))
        return UNUSABLE
    cluster = arguments.cluster
    if cluster is None:
        return _checked(arguments, prepared, None)
    from driftmoor_cli.cluster.connect import ClusterError, connect, quiet

    quiet()
    try:
        with connect(cluster.scheduler, cluster.connect_timeout) as client:
            try:
                on_cluster = cluster_walk(client, prepared, arguments.walk, cluster.jobs)
            except TreeError as failure:
                error(str(failure))
                return UNUSABLE
            return _checked(arguments, prepared, on_cluster)
    except ClusterError as failure:
        error(str(failure))
        return UNUSABLE


def _checked(arguments: CheckArguments, prepared: PreparedCheck,
             on_cluster: GatheringWalk | None) -> int:
    report = arguments.report
    if prepared.plan.chosen is not None and not report.status_only:
        error(chosen_text(prepared.plan))
    state = None
    if arguments.state is not None:
        state = keep_state(prepared, arguments.state, arguments.scrub)
        if state.loaded.warning is not None:
            error(state.loaded.warning)
    try:
        result = run_check(prepared, arguments.walk, state, on_cluster)
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
