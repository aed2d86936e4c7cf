"""Why an entry was left out, and what state a path is in, in the words the
command prints. The native module names each by its kind
(driftmoor_tree.LeftOutKind, driftmoor_tree.PathState), with the system's
message where an error left an entry out; the words are chosen here, and
only here."""

from driftmoor_tree import LeftOutKind, PathState

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
    PathState.MISSING: "missing",
    PathState.ADDED: "added",
    PathState.UNREADABLE: "unreadable",
    PathState.PASSED_OVER: "passed over",
}
STATE_KEYS = {state: word.replace(" ", "_") for state, word in STATES.items()}


def reason(left_out: LeftOut) -> str:
    """The reason a line gives: the system's message when there is one,
    else what the kind says."""
    kind, message = left_out
    return message if message is not None else OMISSIONS[kind]


def words() -> tuple[tuple[str, ...], tuple[str, ...], tuple[str, ...]]:
    """The states, their JSON keys and the omissions, each in value order:
    the words a native report is written in."""
    return (tuple(STATES[state] for state in PathState),
            tuple(STATE_KEYS[state] for state in PathState),
            tuple(OMISSIONS[kind] for kind in LeftOutKind))
