# driftmoor_tree, the walk of the `driftmoor` command, for type checkers and
# editors.

from collections.abc import Buffer, Callable, Iterable, Iterator
from enum import IntEnum
from typing import Final, Literal, final

from _typeshed import structseq

__all__ = ["walk", "manifest_lines", "escape_path", "unescape_path", "plain_path", "check",
           "recorded_state",
           "compare", "walk_part", "run_reads", "shared_identity", "os_error_message"]

# The longest line a ListedManifest reads, in bytes.
MAX_LINE_LENGTH: Final[int]

class LeftOutKind(IntEnum):
    """Why an entry was left out. The first three are failures: the entry
    may hold content that was not fingerprinted."""

    UNREADABLE_FILE = 0  # a file that could not be opened or read
    UNLISTABLE_DIRECTORY = 1  # a directory that could not be opened or listed to its end
    UNKNOWN_ENTRY = 2  # an entry whose type could not be found out
    DANGLING_LINK = 3  # a link that leads nowhere: nothing there to read
    SPECIAL_FILE = 4  # a pipe, socket or device: never opened
    LOOP = 5  # a directory already on the way down, reached again through a link
    NOT_UNICODE = 6  # a path with no Unicode text (never, from walk)
    EXCLUDED = 7  # the file named by `exclude`
    VANISHED = 8  # gone, or turned into something else, between its listing and its turn
    LINK_OUT_OF_TREE = 9  # a link whose target lies outside the tree walked (LinkRule.INSIDE)
    LINK_NOT_FOLLOWED = 10  # a link, where no link is followed (LinkRule.NONE)
    OTHER_FILE_SYSTEM = 11  # a directory on another file system (one_file_system)

class LinkRule(IntEnum):
    """Which links a walk follows."""

    ALL = 0  # every link, wherever it leads
    INSIDE = 1  # those whose target lies inside the tree walked
    NONE = 2  # none

class PathState(IntEnum):
    """What a check or a comparison found of a path."""

    OK = 0  # listed, there, the same digest
    CHANGED = 1  # listed, there, another digest
    DAMAGED = 2  # listed, there, another digest, though size and times are as recorded
    MOVED = 3  # listed, gone; found unlisted under another name, the only one with its digest
    MISSING = 4  # listed, not there, or no regular file any more
    ADDED = 5  # there, not listed
    UNREADABLE = 6  # there, listed or not, but it could not be read
    PASSED_OVER = 7  # there, not listed, not read by design

class Came(IntEnum):
    """How a check that kept a state came by what it says of a listed file."""

    UNKNOWN = 0  # no state was kept, or the file was not there to read
    TRUSTED = 1  # its status was as recorded: taken without opening it
    READ = 2  # read, its status having changed (or nothing being recorded)
    SCRUBBED = 3  # read though it could have been trusted: its turn in the scrub

class ManifestFault(IntEnum):
    """Why a manifest cannot be used."""

    LINE_TOO_LONG = 0  # a line longer than MAX_LINE_LENGTH
    NOT_A_LINE = 1  # not '<64 hex digits>  <path>'
    NOT_A_BSD_LINE = 2  # not 'SHA256 (<path>) = <64 hex digits>'
    NOT_A_DIGEST = 3  # the digest is not 64 hexadecimal digits
    BAD_ESCAPE = 4  # an escape other than \\, \n or \r
    LISTED_TWICE = 5  # two lines name the same path, by any spelling

class RootKind(IntEnum):
    """What the path that `walk` was given was found to be."""

    DIRECTORY = 0  # walked
    FILE = 1  # a regular file: a tree of that one file
    OTHER = 2  # a pipe, socket or device: left out unopened

# An entry left out: its path, why, and the system's message for what an
# error left out (None for what was left out by design).
_LeftOut = tuple[bytes, LeftOutKind, str | None]

@final
class TreeWalk(
    structseq[object],
    tuple[dict[bytes, str], list[_LeftOut], list[_LeftOut], RootKind],
):
    """What `walk` found: every file read, and every entry left out."""

    __match_args__: Final = ("files", "failures", "passed_over", "root")
    @property
    def files(self) -> dict[bytes, str]:
        """Each regular file's path (bytes) to its SHA-256 digest (64
        lowercase hex digits)."""
    @property
    def failures(self) -> list[_LeftOut]:
        """(path, kind, message) for each entry that could not be read,
        sorted by path: an unreadable file or an unlistable directory with
        the system's message ("Permission denied"), a dangling link, or an
        entry whose type could not be found out, with the system's
        message."""
    @property
    def passed_over(self) -> list[_LeftOut]:
        """(path, kind, None) for each entry not read by design, sorted by
        path: special files (pipes, sockets, devices: never opened), loops
        (a link back up the tree), the excluded file, entries that vanished
        while walked."""
    @property
    def root(self) -> RootKind:
        """What the path walked was found to be."""
    @property
    def reads(self) -> bytes | None:
        """With record_reads, how each file read was when its reading began,
        as packed records for recorded_state; else None."""

def walk(
    dir_path: bytes,
    /,
    *,
    jobs: int = 1,
    exclude: tuple[int, int] | None = None,
    progress: Buffer | None = None,
    links: LinkRule = LinkRule.ALL,
    one_file_system: bool = False,
    record_reads: bool = False,
) -> TreeWalk:
    """Fingerprint every regular file at or below `dir_path`, accounting for
    every entry left out.

    Paths are `dir_path` exactly as given, then b"/" and a name per level,
    each name as the file system holds it (valid UTF-8 or not). Links are
    followed as by driftmoor.calculate_directory_manifest. A directory that
    cannot be listed is a failure; its siblings are still read. A `dir_path`
    naming a regular file is a tree of that one file.

    jobs: how many threads walk: 1 walks on the calling thread alone; more
    start that many workers, which hand each other directories and files,
    while the calling thread waits (Ctrl-C still stops the walk). The
    result is the same for any number.
    exclude: (st_dev, st_ino) of a file to pass over wherever it turns up,
    such as a manifest being written into the tree it lists.
    progress: a writable buffer of at least 8 bytes, 8-aligned (for example
    array.array("Q", [0, 0])), whose first 64-bit word is kept at the number
    of files read so far, and its second, if it has one, at the bytes read
    of their contents, for another thread to show.
    links: which links are followed (LINK_OUT_OF_TREE and LINK_NOT_FOLLOWED
    name those passed over); one_file_system: directories on another file
    system than dir_path's are passed over (OTHER_FILE_SYSTEM).
    record_reads: keep how each file was when its reading began (size,
    times, inode, device, and when) in TreeWalk.reads, for recorded_state.

    Runs detached from the interpreter. Raises the OSError of `dir_path` when
    it cannot be examined (FileNotFoundError('No such file or directory (os
    error 2)')), OSError('Too many open files (os error 24)') or MemoryError
    when descriptors or memory run out, and KeyboardInterrupt on Ctrl-C on
    the main thread; nothing partial is returned.
    """

def manifest_lines(
    files: dict[bytes, str], /, format: Literal["sha256sum", "bsd"] = "sha256sum"
) -> list[bytes]:
    """The lines of a manifest of `files` (path bytes to digest), sorted by
    the paths' bytes: "<digest>  <path>" as sha256sum writes them, or
    "SHA256 (<path>) = <digest>" as sha256sum --tag does ("bsd"). A path
    holding a backslash, line feed or carriage return is written escaped
    ("\\\\", "\\n", "\\r") on a line that starts with a backslash. Returned
    as bytes chunks of whole lines, about 64 KiB each, to be written and
    checked one at a time. `files` must be a dict.
    """

def escape_path(path: bytes, /) -> tuple[bytes, bytes]:
    """(mark, text): the path as every line shows it, a backslash, line
    feed and carriage return escaped as "\\\\", "\\n" and "\\r", and the mark
    a manifest or report line holding it starts with (b"\\\\" when anything
    was escaped, else b"")."""

def unescape_path(text: bytes, /) -> bytes | None:
    """The path an escaped text stands for; None when it holds an escape
    other than "\\\\", "\\n" or "\\r"."""

def plain_path(path: bytes, /) -> bytes:
    """The path spelled as a manifest's paths are read: each run of slashes
    made one, each "." component dropped ("..", which only opening the path
    resolves, kept)."""

@final
class ManifestProblem(structseq[object], tuple[ManifestFault, int, bytes | None, int]):
    """Why a manifest cannot be used, and where."""

    __match_args__: Final = ("fault", "line", "path", "first_line")
    @property
    def fault(self) -> ManifestFault: ...
    @property
    def line(self) -> int:
        """The line it was found on; 0 for a pair added without one."""
    @property
    def path(self) -> bytes | None:
        """LISTED_TWICE: the path, in its plain spelling; else None."""
    @property
    def first_line(self) -> int:
        """LISTED_TWICE: the line it was first listed on (0: none)."""

@final
class ListedManifest:
    """A manifest as check reads it: its lines read as they come, in the
    forms sha256sum writes and checks (either form on any line, blanks
    before a line, comments, escaped paths, a CR ending a line, one blank or
    two after the digest as sha256sum -c takes them), each line at most
    MAX_LINE_LENGTH bytes; the files held compactly and, once sealed, in the
    order of their paths' plain spellings. A check or a comparison takes it:
    it can be used once."""

    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
    def read(self, data: Buffer, /) -> ManifestProblem | None:
        """Reads the next bytes of the manifest; the first problem met."""
    def note(self, data: Buffer, /) -> None:
        """Bytes of the manifest taken in another form (the JSON text whose
        pairs `add` takes): counted in the digest of its bytes."""
    def sha256(self) -> str:
        """The SHA-256 of the sealed manifest's bytes as read and noted: what
        a state of its files binds to."""
    def add(self, path: bytes, digest: str, /) -> ManifestProblem | None:
        """Adds a path and its digest (64 hexadecimal digits) of another
        form (JSON)."""
    def seal(self) -> ManifestProblem | None:
        """Ends the reading (the last line counts without its line feed) and
        puts the files in order; a path listed twice is a problem."""
    def roots(self) -> tuple[bytes | None, bytes | None]:
        """(relative, absolute): the directory that every relative path lies
        under and the one every absolute path lies under, as the paths spell
        them, ending in "/" (b"": none in common); None where there is no
        path of that kind."""
    def any_present(self, listed_start: bytes, checked_start: bytes, /) -> bool:
        """Whether anything is there under at least one listed path, a
        relative path looked for with listed_start replaced by
        checked_start."""

# (path, state, expected, actual, kind, message, below, moved_to, came)
_Finding = tuple[bytes, PathState, str | None, str | None, LeftOutKind | None, str | None,
                 bytes | None, bytes | None, Came]
# A state's records, in chunks: (place of the first record, bytes).
_Chunks = list[tuple[int, bytes]]

@final
class Findings:
    """Every path of a check or a comparison with its state, in the order of
    the paths' bytes, made as they are iterated. Each item: the path as the
    report names it; its state; the digest listed (OLD's) and the digest
    found (NEW's), where known; for what is unreadable or passed over, its
    kind and the system's message (None where the kind says all); for what
    could not be seen for a directory above it that could not be listed,
    that directory; for a file moved, the path it is found under; and how
    a check that kept a state came by it."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_Finding]: ...
    def state_chunks(self, *, changed_only: bool = False) -> _Chunks | None:
        """The state the check kept, as it leaves it: all its chunks, or
        those holding a record read anew; None where no state was kept."""
    def state_digests(self) -> _Chunks | None:
        """The digests read that differ from the manifest's, (place, 32
        bytes) in place order; None where no state was kept."""
    def state_counts(self) -> tuple[int, int, int, int] | None:
        """(trusted, read, scrubbed, oldest_read_ns): the listed files taken
        unread, the files read and scrubbed, and when the file read longest
        ago was read (ns since 1970; 0: none); None where no state was
        kept."""
    def failures(self) -> list[tuple[bytes, LeftOutKind, str | None]]:
        """(path, kind, message) of each entry that could not be read, in
        path order, but for those below a directory that could not be
        listed."""
    def report(
        self,
        states: tuple[str, ...],
        state_keys: tuple[str, ...],
        omissions: tuple[str, ...],
        came: tuple[str, ...],
        state_summary: tuple[str, ...],
        state_summary_keys: tuple[str, ...],
        /,
        *,
        counted: tuple[PathState, ...] | None = None,
        json: bool = False,
        quiet: bool = False,
        verbose: bool = False,
        ignore_missing: bool = False,
    ) -> Report:
        """The report, in the words given: each PathState as a line starts
        with it and as JSON keys it, the words for each LeftOutKind and each
        Came (as JSON names it), in value order, and what the summary of a
        check that kept a state counts (trusted, read, scrubbed, oldest full
        read), as text and as JSON keys (TypeError for another number of
        them). counted:
        the states the summary counts, in its order (None: all); a state not
        counted is neither named nor a cause to fail."""

@final
class Report:
    """A report, as bytes chunks of whole lines (about 64 KiB each)."""

    def __iter__(self) -> Report: ...
    def __next__(self) -> bytes: ...
    @property
    def status(self) -> int:
        """0 when every path covered is ok or passed over, else 1 (also
        where missing paths are ignored and none was verified, and once a
        JSON report left out a path that is not UTF-8)."""
    def count(self, state: PathState, /) -> int:
        """How many paths of the state the report counts."""
    def not_unicode(self) -> list[bytes]:
        """The paths a JSON report left out so far."""

def check(
    manifest: ListedManifest,
    /,
    *,
    tree: bytes | None = None,
    listed_start: bytes = b"",
    checked_start: bytes = b"",
    walked_start: bytes = b"",
    jobs: int = 1,
    exclude: tuple[int, int] | None = None,
    progress: Buffer | None = None,
    links: LinkRule = LinkRule.INSIDE,
    one_file_system: bool = False,
    state: Iterable[tuple[int, bytes]] | None = None,
    state_digests: Iterable[tuple[int, bytes]] | None = None,
    scrub: int = 0,
    walked: GatheredWalk | Callable[[TrustTable], GatheredWalk] | None = None,
) -> Findings:
    """Checks the files a sealed manifest lists, taking it. A relative
    listed path is checked at checked_start followed by what comes after
    listed_start in it, an absolute one where it is. With a tree, the tree
    is walked (as walk does, with jobs, exclude, progress, links and
    one_file_system) for what the manifest does not list, each path it
    finds named with walked_start replaced by checked_start; a listed file
    the walk did not read (past a link out of the tree, or with no tree) is
    read by its own name, wherever its links lead, and only if it is a
    regular file. A missing file and an added one with the same digest,
    each the only one with it on its side, are one file MOVED.

    state: what earlier checks recorded (Findings.state_chunks, with
    state_digests; [] for nothing yet): a listed file whose size, times,
    inode and device are as recorded, its times older than the recording by
    more than a timestamp tick, is taken without being opened; every file
    read is recorded anew; one read whose digest differs though its size
    and times are as recorded when it last matched is DAMAGED. scrub N: the
    1/N of recorded files read longest ago are read all the same. ValueError
    when the state does not fit the manifest, which is then not taken.
    `walked`: the tree's walk made elsewhere (its parts walked on a cluster,
    with the same options), taken in place of a walk here; or the function
    that makes it, called with what the check may take unread (its parts
    walked with `walk_part(trust=table.below(...))`). Runs detached;
    raises as walk does."""

def recorded_state(manifest: ListedManifest, reads: bytes, /) -> _Chunks:
    """The state of a sealed manifest's files from TreeWalk.reads of the
    walk it was written from, as check takes it."""

def compare(old: ListedManifest, new: ListedManifest, /) -> Findings:
    """Two sealed manifests compared path by path, as written, taking both."""

# An entry a part left out: its path, why, and the system's error number or
# the error's own words for what an error left out (both None otherwise).
_PartLeftOut = tuple[bytes, LeftOutKind, int | None, str | None]
# A subdirectory handed back: (directory, name, through_link, above, depth).
_HandedBack = tuple[bytes, bytes, bool, bytes, int]

def walk_part(
    top: bytes,
    /,
    *,
    directory: bytes | None = None,
    name: bytes = b"",
    through_link: bool = False,
    above: bytes = b"",
    depth: int = 0,
    most_work: int = 2**64 - 1,
    most_seconds: float = -1.0,
    jobs: int = 1,
    exclude: tuple[int, int] | None = None,
    progress: Buffer | None = None,
    links: LinkRule = LinkRule.ALL,
    one_file_system: bool = False,
    record_reads: bool = False,
    trust: bytes | None = None,
) -> tuple[bytes, int, int, list[_PartLeftOut], list[_PartLeftOut], list[_HandedBack],
           RootKind]:
    """Walks one part of the tree at `top` as `walk` walks the whole tree
    there: the top itself (directory None), or the subdirectory `name` of
    the directory at the path `directory`, which another part handed back
    with `through_link`, `above` (the identities of the directories above
    it, nearest first, 16 bytes each) and `depth`. Once `most_work` units of
    work are done (each file read, subdirectory met and MiB read one unit),
    or `most_seconds` have gone by (when not negative), every subdirectory
    not entered yet is handed back rather than walked.

    Returns (run, files, bytes, failures, passed_over, parts, root): the
    files read as one sorted run for RunMerge (names below the part's
    directory; b"" for a top that is a file), their count and bytes, the
    entries left out, the subdirectories handed back, and what the top was
    found to be. With `record_reads`, the run holds the status each read
    began with; with `trust` (TrustTable.below's), a file whose status is
    what its record says is taken unread, or read for the scrub, and the run
    says so. The other arguments, and what it raises, are `walk`'s."""

def run_reads(directory: bytes, run: bytes, /) -> bytes:
    """The records of the reads of a run (walk_part's, with record_reads)
    of the files below `directory`, in TreeWalk.reads' form, for
    recorded_state."""

def shared_identity(path: bytes, /) -> tuple[int, int]:
    """(device, inode) of what `path` names, following links, as every
    machine that mounts its file system names it: the file system's own id
    where it gives all its clients one (NFS, Lustre, CephFS, GPFS), else the
    device number. OSError if it cannot be examined."""

def os_error_message(code: int, /) -> str:
    """The system's message for an error number, as `walk` words the errors
    it meets."""

@final
class RunMerge:
    """The sorted runs of a tree's parts, merged into manifest lines in the
    order of their paths (format: "sha256sum" or "bsd")."""

    def __new__(cls, format: Literal["sha256sum", "bsd"] = "sha256sum") -> RunMerge: ...
    def __len__(self) -> int:
        """The files held, not given out yet."""
    def add(self, directory: bytes, run: bytes, /) -> None:
        """Takes a sorted run (walk_part's) of the files below `directory`,
        the path the lines show it by; ValueError if it is not one."""
    def take(self, limit: bytes | None, /) -> bytes:
        """The next lines, in path order, of the files whose paths sort
        before `limit` (None: every file held): about 64 KiB of whole lines
        at most, b"" when there are none."""
    def pairs(self, limit: bytes | None, /) -> list[tuple[bytes, str]]:
        """The same as (path, digest) pairs, a few thousand at most."""
    @property
    def held_bytes(self) -> int:
        """The bytes of the runs whose files are not given out yet."""

@final
class GatheredWalk:
    """The account of a tree whose parts were walked elsewhere (walk_part),
    gathered from what they gave back, for `check` to take in place of its
    own walk."""

    def __new__(cls) -> GatheredWalk: ...
    def __len__(self) -> int:
        """The files added."""
    def add(self, directory: bytes, run: bytes, /) -> None:
        """Adds the files of a sorted run (walk_part's) of the files below
        `directory`, the path the walk of the whole tree gives it;
        ValueError if it is not one."""
    def leave_out(self, path: bytes, kind: LeftOutKind, code: int | None, text: str | None,
                  /) -> None:
        """Adds an entry left out, as walk_part gives it: its path, why, and
        the system's error number or the error's own words (or neither)."""

@final
class TrustTable:
    """What a check with a state may take unread where its tree is walked
    elsewhere: the listed files whose records it would trust, by their paths
    below the top. Made by `check` for its `walked` function."""

    def __len__(self) -> int: ...
    def below(self, directory: bytes, whole: bool, /) -> bytes:
        """The entries of the files below `directory` (relative to the top;
        b"" for the top), only those in it unless `whole`, packed for
        walk_part's `trust`."""
