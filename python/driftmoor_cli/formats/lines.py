"""The lines `sha256sum` writes and checks, in its two forms:

    <64 hex digits><space><space or *><path>      sha256sum's own
    SHA256 (<path>) = <64 hex digits>             BSD's, `sha256sum --tag`, `rhash --bsd`

GNU `sha256sum` writes a path as the bytes of its name (UTF-8 or not), a
path holding a backslash or a line feed escaped (`\\\\`, `\\n`), and marks
its line, of either form, with a leading backslash, so that one line stays
one file; the `*` (binary mode) means nothing on the systems this runs on.
The command writes these lines natively (driftmoor_tree.manifest_lines);
this module reads them, as `sha256sum -c` does: either form on any line,
spaces and tabs before a line skipped, and so are empty lines and lines
starting with `#`; a CR ending a line (a file written on Windows) is
dropped. A BSD line's path ends at its last `)`, as `sha256sum -c` reads it.
"""

import re

from driftmoor_tree import unescape_path

from driftmoor_cli.formats.parsed import DIGEST, ManifestError
from driftmoor_cli.names import shown

_MARK = re.compile(rb"[ \t]*(\\?)")
_LINE = re.compile(rb"(\S*) [ *](.+)", re.DOTALL)
_BSD_TAG = re.compile(rb"SHA256 ?\(")
_BSD_LINE = re.compile(rb"(.+)\)[ \t]*=[ \t]*(.*)", re.DOTALL)


def parse_lines(data: bytes, name: str) -> dict[bytes, str]:
    """Path -> lowercase digest of the lines `data` (read from the file
    `name`, for messages). A path is the bytes the line holds, unescaped:
    a name that is not UTF-8 is taken as it is, as sha256sum writes it."""
    manifest: dict[bytes, str] = {}
    first_lines: dict[bytes, int] = {}
    for number, line in enumerate(data.split(b"\n"), start=1):
        line = line.removesuffix(b"\r")
        mark = _MARK.match(line)
        assert mark is not None  # it matches the empty string
        rest = line[mark.end() :]
        if not rest or line.startswith(b"#"):
            continue
        where = f"{name}:{number}"
        tag = _BSD_TAG.match(rest)
        if tag is not None:
            match = _BSD_LINE.fullmatch(rest, tag.end())
            form = "'SHA256 (<path>) = <64 hex digits>'"
            path_bytes, digest = match.groups() if match else (b"", b"")
        else:
            match = _LINE.fullmatch(rest)
            form = "'<64 hex digits>  <path>'"
            digest, path_bytes = match.groups() if match else (b"", b"")
        if match is None:
            raise ManifestError(f"{where}: not a line of the form {form}")
        if not DIGEST.fullmatch(digest):
            raise ManifestError(f"{where}: the digest is not 64 hexadecimal digits")
        path = _unescape(path_bytes, where) if mark[1] else path_bytes
        if path in manifest:
            raise ManifestError(
                f"{where}: {shown(path)} is listed twice (first on line {first_lines[path]})"
            )
        manifest[path] = digest.decode("ascii").lower()
        first_lines[path] = number
    return manifest


def _unescape(path: bytes, where: str) -> bytes:
    # A carriage return is read back from `\r` as well: `sha256sum -c` reads
    # it so (coreutils 9.1 does, though it writes a CR raw), and the command
    # writes it so, so that a line carries no raw CR for a reader to strip as
    # if it ended the line.
    plain = unescape_path(path)
    if plain is None:
        raise ManifestError(f"{where}: the path holds an escape other than \\\\, \\n or \\r")
    return plain
