"""Manifest files: the lines `sha256sum` writes and checks, and a JSON object.

A line is `<64 hex digits><space><space or *><path>`. GNU `sha256sum` writes
a path holding a backslash or a line feed escaped (`\\\\`, `\\n`) and marks
its line with a leading backslash, so that one line stays one file; the
`*` (binary mode) means nothing on the systems this runs on. Reading follows
`sha256sum -c`: empty lines and lines starting with `#` are skipped, and a
CR ending a line (a file written on Windows) is dropped.
"""

import json
import re
from collections.abc import Mapping

# A carriage return is escaped too: `sha256sum -c` reads `\r` back as a CR
# (coreutils 9.1 does, though it writes a CR raw), and a line then carries no
# raw CR for a reader to strip as if it ended the line.
_ESCAPES = str.maketrans({"\\": "\\\\", "\n": "\\n", "\r": "\\r"})
_UNESCAPES = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}

_LINE = re.compile(rb"(\\?)(\S*) [ *](.+)", re.DOTALL)
_DIGEST = re.compile(rb"[0-9a-fA-F]{64}")


class ManifestError(Exception):
    """A manifest that cannot be used: its text says where and why."""


def escape(path: str) -> tuple[str, str]:
    """The path as a line shows it, and the mark that line then starts with:
    a backslash when anything in the path was escaped, else nothing."""
    text = path.translate(_ESCAPES)
    return ("\\" if text != path else ""), text


def checksum_line(path: str, digest: str) -> str:
    """One line as `sha256sum` writes it: digest, two spaces, the path."""
    marker, text = escape(path)
    return f"{marker}{digest}  {text}\n"


def checksum_lines(manifest: Mapping[str, str]) -> str:
    # Sorted by the path text (code point order, which is also UTF-8 byte
    # order), so one tree always prints the same way whatever the locale.
    return "".join(checksum_line(path, manifest[path]) for path in sorted(manifest))


def json_object(manifest: Mapping[str, str]) -> str:
    return json.dumps(dict(sorted(manifest.items())), ensure_ascii=False, indent=2) + "\n"


def parse_manifest(data: bytes, name: str) -> dict[str, str]:
    """Path -> lowercase digest of the manifest `data` (read from the file
    `name`, for messages): checksum lines, or the JSON object that
    `driftmoor manifest --format json` writes."""
    if data.lstrip()[:1] == b"{":
        manifest = _parse_json(data, name)
    else:
        manifest = _parse_lines(data, name)
    if not manifest:
        raise ManifestError(f"{name}: lists no files")
    return manifest


def _parse_lines(data: bytes, name: str) -> dict[str, str]:
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
        if not _DIGEST.fullmatch(digest):
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


def _parse_json(data: bytes, name: str) -> dict[str, str]:
    def unique(pairs: list[tuple[str, object]]) -> dict[str, object]:
        seen: set[str] = set()
        for path, _ in pairs:
            if path in seen:
                raise ManifestError(f"{name}: {escape(path)[1]} is listed twice")
            seen.add(path)
        return dict(pairs)

    try:
        manifest = json.loads(data.decode("utf-8"), object_pairs_hook=unique)
    except UnicodeDecodeError:
        raise ManifestError(f"{name}: not valid UTF-8") from None
    except json.JSONDecodeError as error:
        raise ManifestError(f"{name}:{error.lineno}: not valid JSON: {error.msg}") from None
    if not isinstance(manifest, dict):
        raise ManifestError(f"{name}: not a JSON object of path to digest")
    for path, digest in manifest.items():
        if not _is_unicode(path):
            raise ManifestError(f"{name}: a path is not valid UTF-8")
        if not (isinstance(digest, str) and _DIGEST.fullmatch(digest.encode())):
            raise ManifestError(
                f"{name}: the digest of {escape(path)[1]} is not 64 hexadecimal digits"
            )
    return {path: digest.lower() for path, digest in manifest.items()}


def _is_unicode(text: str) -> bool:
    # A JSON escape can name a lone surrogate, which no file name on disk
    # that the module reports can hold.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True
