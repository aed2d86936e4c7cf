"""Why an entry was left out, in the words the command prints. The walk
names each entry it leaves out by its kind (driftmoor_tree.LeftOutKind),
with the system's message where an error left it out; the words are
chosen here, and only here."""

from driftmoor_tree import LeftOutKind

# An entry left out: its kind, and the system's message for what an error
# left out (None for what was left out by design).
LeftOut = tuple[LeftOutKind, str | None]

_WORDS = {
    LeftOutKind.UNREADABLE_FILE: "cannot be read",
    LeftOutKind.UNLISTABLE_DIRECTORY: "cannot be listed",
    LeftOutKind.DANGLING_LINK: "dangling link",
    LeftOutKind.UNKNOWN_ENTRY: "cannot be examined",
    LeftOutKind.SPECIAL_FILE: "special file",
    LeftOutKind.LOOP: "loop: a directory it is already below",
    LeftOutKind.NOT_UNICODE: "not Unicode",
    LeftOutKind.EXCLUDED: "excluded",
    LeftOutKind.VANISHED: "vanished while walked",
}


def reason(left_out: LeftOut) -> str:
    """The reason a line gives: the system's message when there is one,
    else what the kind says."""
    kind, message = left_out
    return message if message is not None else _WORDS[kind]
