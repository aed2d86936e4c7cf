"""Manifest files: reading either form that check and diff take, by what the
file holds. Each form has its module: `lines` (the lines `sha256sum` writes
and checks), `json_object` (one JSON object of path to digest)."""

import re

_JSON = re.compile(rb"\s*{")  # no line of digests starts with `{`


class ManifestError(Exception):
    """A manifest that cannot be used: its text says where and why."""


def read_manifest(path: str) -> dict[str, str]:
    """Path -> lowercase digest of the manifest file at path: checksum lines,
    or the JSON object that `driftmoor manifest --format json` writes.
    ManifestError if it cannot be read or used."""
    try:
        with open(path, "rb") as file:
            data = file.read()
        if _JSON.match(data):
            from driftmoor_cli.formats.json_object import parse_json

            manifest = parse_json(data, path)
        else:
            from driftmoor_cli.formats.lines import parse_lines

            manifest = parse_lines(data, path)
    except OSError as error:
        raise ManifestError(f"cannot read {path}: {error.strerror}") from None
    except MemoryError:
        raise ManifestError(f"cannot read {path}: out of memory") from None
    if not manifest:
        raise ManifestError(f"{path}: lists no files")
    return manifest
