"""The typed arguments of each subcommand, as the parser makes them and the
subcommands take them: every subcommand is a function of its own typed
arguments, and typing does not stop at the dispatch."""

# typing is imported for the type checker only: the command's start does
# without it (and without annotationlib, which NamedTuple and dataclasses
# bring in to read annotations), a few milliseconds of every run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final, Literal

    ManifestFormat = Literal["sha256sum", "bsd", "json"]
    ReportFormat = Literal["text", "json"]
    Links = Literal["inside", "all", "none"]


class WalkOptions:
    """How a tree is walked: by how many threads, through which links, over
    how many file systems, with a progress line or without."""

    __slots__ = ("jobs", "links", "one_file_system", "progress")

    def __init__(self, jobs: int, links: Links, one_file_system: bool, progress: bool) -> None:
        self.jobs: Final = jobs  # threads that walk: 1, the calling thread alone
        self.links: Final = links  # inside: links that stay in the tree; all; none
        self.one_file_system: Final = one_file_system  # pass over other file systems
        self.progress: Final = progress  # draw the progress line (on a terminal)


class ClusterOptions:
    """Where a walk runs when it runs on a Dask cluster."""

    __slots__ = ("scheduler", "connect_timeout", "jobs")

    def __init__(self, scheduler: str, connect_timeout: float, jobs: int | None) -> None:
        self.scheduler: Final = scheduler  # the scheduler's address, or its scheduler file
        self.connect_timeout: Final = connect_timeout  # seconds
        # threads per part on each worker, when given; else its cores, shared
        # among the worker threads of its machine
        self.jobs: Final = jobs


class ManifestArguments:
    __slots__ = ("path", "format", "walk", "verbose", "state", "cluster")

    def __init__(self, path: bytes, format: ManifestFormat, walk: WalkOptions,
                 verbose: bool, state: str | None, cluster: ClusterOptions | None = None) -> None:
        self.path: Final = path  # a directory, or a single file: the bytes of the argument
        self.format: Final = format
        self.walk: Final = walk
        self.verbose: Final = verbose  # name what is passed over, and count it all
        self.state: Final = state  # the state file to record the files read in; None: none
        self.cluster: Final = cluster  # None: on this machine


class ReportOptions:
    """What the report of check and diff holds, and how it is written."""

    __slots__ = ("quiet", "status_only", "ignore_missing", "listed_only", "verbose", "format")

    def __init__(self, quiet: bool, status_only: bool, ignore_missing: bool, listed_only: bool,
                 verbose: bool, format: ReportFormat) -> None:
        self.quiet: Final = quiet  # no `ok` lines
        self.status_only: Final = status_only  # no output: the exit status says it
        self.ignore_missing: Final = ignore_missing  # missing files neither named nor failing
        self.listed_only: Final = listed_only  # only what the manifest lists: no added files
        self.verbose: Final = verbose  # entries passed over named, not only counted
        self.format: Final = format


class CheckArguments:
    __slots__ = ("manifest", "directory", "report", "walk", "state", "scrub", "cluster")

    def __init__(self, manifest: str | None, directory: bytes | None, report: ReportOptions,
                 walk: WalkOptions, state: str | None, scrub: int,
                 cluster: ClusterOptions | None = None) -> None:
        self.manifest: Final = manifest  # a path; None: standard input
        self.directory: Final = directory  # None: the tree the manifest's paths lie under
        self.report: Final = report
        self.walk: Final = walk
        self.state: Final = state  # the state file to trust and keep; None: read every file
        self.scrub: Final = scrub  # with a state, read 1/scrub of the trusted files; 0: none
        self.cluster: Final = cluster  # None: on this machine


class DiffArguments:
    __slots__ = ("old", "new", "report")

    def __init__(self, old: str | None, new: str | None, report: ReportOptions) -> None:
        self.old: Final = old  # a path; None: standard input
        self.new: Final = new
        self.report: Final = report


Arguments = ManifestArguments | CheckArguments | DiffArguments
