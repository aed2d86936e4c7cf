"""Why an entry was left out, and what state a path is in, in the words the
command prints. The native module names each by its kind
(driftmoor_tree.LeftOutKind, driftmoor_tree.PathState), with the system's
message where an error left an entry out; the words are chosen here, and
only here."""

from driftmoor_tree import Came, LeftOutKind, PathState

# An entry left out: its kind, and the system's message for what an error
# left out (None where the kind says all).
LeftOut = tuple[LeftOutKind, str | None]

# Why an entry was left out where no error says it; by kind, in value order.
OMISSIONS = {
    LeftOutKind.UNREADABLE_FILE: "cannot be read",
    LeftOutKind.UNLISTABLE_DIRECTORY: "cannot be listed",
    LeftOutKind.UNKNOWN_ENTRY: "cannot be examined",
    LeftOutKind.DANGLING_LINK: "dangling link",
    LeftOutKind.SPECIAL_FILE: "special file",
    LeftOutKind.LOOP: "loop: a directory it is already below",
    LeftOutKind.NOT_UNICODE: "not Unicode",
    LeftOutKind.EXCLUDED: "excluded",
    LeftOutKind.VANISHED: "vanished while walked",
    LeftOutKind.LINK_OUT_OF_TREE: "link out of the tree",
    LeftOutKind.LINK_NOT_FOLLOWED: "link not followed",
    LeftOutKind.OTHER_FILE_SYSTEM: "other file system",
}

# Each state as a report line names it, and as a JSON report keys it.
STATES = {
    PathState.OK: "ok",
    PathState.CHANGED: "changed",
    PathState.DAMAGED: "damaged",
    PathState.MOVED: "moved",
    PathState.MISSING: "missing",
    PathState.ADDED: "added",
    PathState.UNREADABLE: "unreadable",
    PathState.PASSED_OVER: "passed over",
}
STATE_KEYS = {state: word.replace(" ", "_") for state, word in STATES.items()}

# Where a check kept a state: how it came by each listed file, as a JSON
# report names it, and what its summary counts, as text and as JSON keys.
CAME = {Came.UNKNOWN: "", Came.TRUSTED: "trusted", Came.READ: "read",
        Came.SCRUBBED: "scrubbed"}
STATE_SUMMARY = ("trusted by metadata", "read", "scrubbed", "oldest full read")
STATE_SUMMARY_KEYS = ("trusted", "read", "scrubbed", "oldest_full_read")


def reason(left_out: LeftOut) -> str:
    """The reason a line gives: the system's message when there is one,
    else what the kind says."""
    kind, message = left_out
    return message if message is not None else OMISSIONS[kind]


Words = tuple[tuple[str, ...], tuple[str, ...], tuple[str, ...], tuple[str, ...],
              tuple[str, ...], tuple[str, ...]]


def words() -> Words:
    """The states, their JSON keys, the omissions and how a file was come by,
    each in value order, and the state's summary as text and as JSON keys:
    the words a native report is written in."""
    return (tuple(STATES[state] for state in PathState),
            tuple(STATE_KEYS[state] for state in PathState),
            tuple(OMISSIONS[kind] for kind in LeftOutKind),
            tuple(CAME[came] for came in Came), STATE_SUMMARY, STATE_SUMMARY_KEYS)
