"""The JSON form of a manifest: one object of path to digest, sorted by path,
for programs."""

import json
from collections.abc import Iterator, Mapping
from json.encoder import encode_basestring

from driftmoor_cli.formats import ManifestError
from driftmoor_cli.formats.lines import DIGEST, escape


def json_object(manifest: Mapping[str, str]) -> Iterator[str]:
    """The lines of `json.dumps(manifest sorted by path, ensure_ascii=False,
    indent=2)`, one entry per line, then a line feed."""
    if not manifest:
        yield "{}\n"
        return
    yield "{"
    separator = "\n"
    for path in sorted(manifest):
        yield f"{separator}  {encode_basestring(path)}: {encode_basestring(manifest[path])}"
        separator = ",\n"
    yield "\n}\n"


def parse_json(data: bytes, name: str) -> dict[str, str]:
    """Path -> lowercase digest of the JSON object `data` (read from the file
    `name`, for messages)."""

    def unique(pairs: list[tuple[str, object]]) -> dict[str, object]:
        seen: set[str] = set()
        for path, _ in pairs:
            if path in seen:
                raise ManifestError(f"{name}: {escape(path)[1]} is listed twice")
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
