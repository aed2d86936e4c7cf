"""The JSON forms, for programs: a manifest as one object of path to digest,
sorted by path, and the report of check and diff. Both are written as
`json.dumps(..., ensure_ascii=False, indent=2)` would write them, one entry
per line as it is made.

JSON text is Unicode: a path whose bytes are not valid UTF-8 has no faithful
form in it (an escape of a lone surrogate is refused by many readers, and
any replacement would name another file). Such a path is left out of the
JSON and handed back to the caller, which names it on standard error and
fails the run; the lines of `sha256sum` hold every path."""

import json
from collections.abc import Iterable, Iterator, Mapping
from json.encoder import encode_basestring

from driftmoor_cli.formats import ManifestError
from driftmoor_cli.formats.lines import DIGEST
from driftmoor_cli.names import shown


def json_object(manifest: Mapping[bytes, str], not_unicode: list[bytes]) -> Iterator[str]:
    """The manifest as one JSON object, sorted by the paths' bytes (which for
    UTF-8 is the order of their code points); each path that is not UTF-8
    left out and appended to not_unicode."""
    yield from _object(unicode_paths(sorted(manifest.items()), not_unicode), "")
    yield "\n"


def unicode_paths[Value](
    items: Iterable[tuple[bytes, Value]], not_unicode: list[bytes]
) -> Iterator[tuple[str, Value]]:
    """Each (path, value) with the path as text; a path that is not valid
    UTF-8 is appended to not_unicode instead."""
    for path, value in items:
        try:
            yield path.decode("utf-8"), value
        except UnicodeDecodeError:
            not_unicode.append(path)


def json_report(
    statuses: Iterable[tuple[str, str]], summary: Mapping[str, int], status: int
) -> Iterator[str]:
    """{"paths": {path: state, ...}, "summary": {state: count, ...},
    "status": the exit status}."""
    yield '{\n  "paths": '
    yield from _object(statuses, "  ")
    yield ',\n  "summary": '
    yield from _object(summary.items(), "  ")
    yield f',\n  "status": {status}\n}}\n'


def _object(items: Iterable[tuple[str, str | int]], indent: str) -> Iterator[str]:
    separator = "{\n"
    for key, value in items:
        shown = encode_basestring(value) if isinstance(value, str) else str(value)
        yield f"{separator}{indent}  {encode_basestring(key)}: {shown}"
        separator = ",\n"
    yield "{}" if separator == "{\n" else f"\n{indent}}}"


def parse_json(data: bytes, name: str) -> dict[bytes, str]:
    """Path (its UTF-8 bytes) -> lowercase digest of the JSON object `data`
    (read from the file `name`, for messages)."""

    def unique(pairs: list[tuple[str, object]]) -> dict[str, object]:
        seen: set[str] = set()
        for path, _ in pairs:
            if path in seen:
                raise ManifestError(
                    f"{name}: {shown(path.encode('utf-8', 'surrogatepass'))} is listed twice"
                )
            seen.add(path)
        return dict(pairs)

    def no_number(text: str) -> None:
        # A number is no digest: it is left unconverted (so that no length
        # of digits can fail the conversion), and refused as a digest.
        return None

    try:
        manifest = json.loads(
            data.decode("utf-8"),
            object_pairs_hook=unique,
            parse_int=no_number,
            parse_float=no_number,
            parse_constant=no_number,
        )
    except UnicodeDecodeError:
        raise ManifestError(f"{name}: not valid UTF-8") from None
    except json.JSONDecodeError as error:
        raise ManifestError(f"{name}:{error.lineno}: not valid JSON: {error.msg}") from None
    except RecursionError:
        raise ManifestError(f"{name}: not a JSON object of path to digest: nested too deeply") from None
    if not isinstance(manifest, dict):
        raise ManifestError(f"{name}: not a JSON object of path to digest")
    for path, digest in manifest.items():
        if not _is_unicode(path):
            raise ManifestError(f"{name}: a path is not valid UTF-8")
        if not (isinstance(digest, str) and DIGEST.fullmatch(digest.encode())):
            raise ManifestError(
                f"{name}: the digest of {shown(path.encode())} is not 64 hexadecimal digits"
            )
    return {path.encode(): digest.lower() for path, digest in manifest.items()}


def _is_unicode(text: str) -> bool:
    # A JSON escape can name a lone surrogate, which is no text and so no
    # path: JSON paths are UTF-8.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True
