"""How a path is shown in every line the command writes: as the bytes the
file system holds, escaped as GNU `sha256sum` escapes a name on a checksum
line, so that one line stays one path:

    \\  a backslash        \\n  a line feed        \\r  a carriage return

A manifest line or a report line holding an escaped path starts with a
backslash, as sha256sum marks it; a message on standard error does not
(there the backslash is always doubled, so the path reads back the same)."""


def escape(path: bytes) -> tuple[bytes, bytes]:
    """The path as a line shows it, and the mark that line then starts with:
    a backslash when anything in the path was escaped, else nothing."""
    if b"\\" in path or b"\n" in path or b"\r" in path:
        return b"\\", path.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
    return b"", path


def shown(path: bytes) -> str:
    """The escaped path as text for a message, its bytes that are not UTF-8
    held as surrogate escapes (written back as those bytes)."""
    return escape(path)[1].decode("utf-8", "surrogateescape")


def text_of(path: bytes) -> str:
    """The path as text, unescaped, bytes that are not UTF-8 held as
    surrogate escapes (as os.fsdecode holds them)."""
    return path.decode("utf-8", "surrogateescape")
