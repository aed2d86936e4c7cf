"""The lines `sha256sum` writes and checks.

A line is `<64 hex digits><space><space or *><path>`. GNU `sha256sum` writes
a path holding a backslash or a line feed escaped (`\\\\`, `\\n`) and marks
its line with a leading backslash, so that one line stays one file; the
`*` (binary mode) means nothing on the systems this runs on. Reading follows
`sha256sum -c`: empty lines and lines starting with `#` are skipped, and a
CR ending a line (a file written on Windows) is dropped.
"""

import re
from collections.abc import Iterator, Mapping

from driftmoor_cli.formats import ManifestError

# A carriage return is escaped too: `sha256sum -c` reads `\r` back as a CR
# (coreutils 9.1 does, though it writes a CR raw), and a line then carries no
# raw CR for a reader to strip as if it ended the line.
_ESCAPES = str.maketrans({"\\": "\\\\", "\n": "\\n", "\r": "\\r"})
_UNESCAPES = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}

_LINE = re.compile(rb"(\\?)(\S*) [ *](.+)", re.DOTALL)
DIGEST = re.compile(rb"[0-9a-fA-F]{64}")


def escape(path: str) -> tuple[str, str]:
    """The path as a line shows it, and the mark that line then starts with:
    a backslash when anything in the path was escaped, else nothing."""
    if "\\" in path or "\n" in path or "\r" in path:
        return "\\", path.translate(_ESCAPES)
    return "", path


def checksum_line(path: str, digest: str) -> str:
    """One line as `sha256sum` writes it: digest, two spaces, the path."""
    marker, text = escape(path)
    return f"{marker}{digest}  {text}\n"


def checksum_lines(manifest: Mapping[str, str]) -> Iterator[str]:
    # Sorted by the path text (code point order, which is also UTF-8 byte
    # order), so one tree always prints the same way whatever the locale.
    for path in sorted(manifest):
        yield checksum_line(path, manifest[path])


def parse_lines(data: bytes, name: str) -> dict[str, str]:
    manifest: dict[str, str] = {}
    first_lines: dict[str, int] = {}
    for number, line in enumerate(data.split(b"\n"), start=1):
        line = line.removesuffix(b"\r")
        if not line or line.startswith(b"#"):
            continue
        where = f"{name}:{number}"
        match = _LINE.fullmatch(line)
        if match is None:
            raise ManifestError(f"{where}: not a line of the form '<64 hex digits>  <path>'")
        marker, digest, path_bytes = match.groups()
        if not DIGEST.fullmatch(digest):
            raise ManifestError(f"{where}: the digest is not 64 hexadecimal digits")
        if marker:
            path_bytes = _unescape(path_bytes, where)
        try:
            path = path_bytes.decode("utf-8")
        except UnicodeDecodeError:
            raise ManifestError(f"{where}: the path is not valid UTF-8") from None
        if path in manifest:
            raise ManifestError(
                f"{where}: {escape(path)[1]} is listed twice (first on line {first_lines[path]})"
            )
        manifest[path] = digest.decode("ascii").lower()
        first_lines[path] = number
    return manifest


def _unescape(path: bytes, where: str) -> bytes:
    def replace(escape: re.Match[bytes]) -> bytes:
        plain = _UNESCAPES.get(escape[1])
        if plain is None:
            raise ManifestError(f"{where}: the path holds an escape other than \\\\, \\n or \\r")
        return plain

    return re.sub(rb"\\(.?)", replace, path, flags=re.DOTALL)
