"""Manifest files: reading the forms that check and diff take, by what the
file holds. Each form has its module: `lines` (the lines `sha256sum` writes
and checks, in its own form and the BSD form of `sha256sum --tag`),
`json_object` (one JSON object of path to digest); `parsed` holds what they
share."""

__all__ = ["Manifest", "ManifestError", "read_manifest"]

import os
import re

from driftmoor_cli.formats.parsed import ManifestError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

_JSON = re.compile(rb"\s*{")  # no line of digests starts with `{`


class Manifest:
    __slots__ = ("name", "digests", "identity")

    def __init__(self, name: str, digests: dict[bytes, str], identity: tuple[int, int]) -> None:
        self.name: Final = name  # for messages
        # path (the bytes of the name, as a checksum line holds them) -> lowercase digest
        self.digests: Final = digests
        self.identity: Final = identity  # the file's device and inode, as read


def read_manifest(path: str | None) -> Manifest:
    """The manifest file at path (None: standard input): checksum lines of
    either form, or the JSON object that `driftmoor manifest --format json`
    writes. ManifestError if it cannot be read or used."""
    name = "standard input" if path is None else path
    try:
        with open(0, "rb", closefd=False) if path is None else open(path, "rb") as file:
            identity = os.fstat(file.fileno())
            data = file.read()
        if _JSON.match(data):
            from driftmoor_cli.formats.json_object import parse_json

            digests = parse_json(data, name)
        else:
            from driftmoor_cli.formats.lines import parse_lines

            digests = parse_lines(data, name)
    except OSError as error:
        raise ManifestError(f"cannot read {name}: {error.strerror}") from None
    except MemoryError:
        raise ManifestError(f"cannot read {name}: out of memory") from None
    if not digests:
        raise ManifestError(f"{name}: lists no files")
    return Manifest(name, digests, (identity.st_dev, identity.st_ino))
