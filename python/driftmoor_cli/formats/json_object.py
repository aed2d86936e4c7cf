"""The JSON form of a manifest, for programs: one object of path to digest,
sorted by path, written one member per line as it is made (see json_text
for why a path that is not UTF-8 is left out of it), and read back into a
native manifest."""

import json
from collections.abc import Iterable, Iterator

from driftmoor_tree import ListedManifest

from driftmoor_cli.formats.parsed import DIGEST, ManifestError
from driftmoor_cli.json_text import json_object as object_text
from driftmoor_cli.json_text import unicode_paths
from driftmoor_cli.names import shown


def json_object(items: Iterable[tuple[bytes, str]],
                       not_unicode: list[bytes]) -> Iterator[str]:
    """A manifest's (path, digest) pairs, in the order of the paths' bytes
    (which for UTF-8 is the order of their code points), as one JSON object
    written as they come; each path that is not UTF-8 left out and appended
    to not_unicode."""
    yield from object_text(unicode_paths(items, not_unicode), "")
    yield "\n"


def read_json(data: bytes, name: str, listed: ListedManifest) -> None:
    """Adds each path (its UTF-8 bytes) and digest of the JSON object `data`
    (read from the file `name`, for messages) to `listed`."""

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
    for path, digest in manifest.items():
        problem = listed.add(path.encode(), digest)
        assert problem is None  # every digest was looked at above


def _is_unicode(text: str) -> bool:
    # A JSON escape can name a lone surrogate, which is no text and so no
    # path: JSON paths are UTF-8.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True
