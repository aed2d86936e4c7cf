"""How a path is shown in every line the command writes: as the bytes the
file system holds, escaped as GNU `sha256sum` escapes a name on a checksum
line, so that one line stays one path:

    \\\\  a backslash        \\n  a line feed        \\r  a carriage return

A manifest line or a report line holding an escaped path starts with a
backslash, as sha256sum marks it; a message on standard error does not
(there the backslash is always doubled, so the path reads back the same).
The rule itself is the native module's (driftmoor_tree.escape_path), the
one that writes manifest lines, so that every line follows one rule."""

from driftmoor_tree import escape_path


def escape(path: bytes) -> tuple[bytes, bytes]:
    """The mark a line holding the path starts with (a backslash when
    anything in the path was escaped, else nothing), and the path as the
    line shows it."""
    return escape_path(path)


def shown(path: bytes) -> str:
    """The escaped path as text for a message, its bytes that are not UTF-8
    held as surrogate escapes (written back as those bytes)."""
    return escape_path(path)[1].decode("utf-8", "surrogateescape")
