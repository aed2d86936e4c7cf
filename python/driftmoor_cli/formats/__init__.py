"""Manifest files: reading the forms that check and diff take, by what the
file holds. The lines `sha256sum` writes and checks, in its own form and the
BSD form of `sha256sum --tag`, are read natively as they come
(driftmoor_tree.ListedManifest), with a bound on a line's length, so that a
manifest of any size costs memory in proportion to its files and a stream
with no end is refused; `json_object` reads the one JSON object of path to
digest that `manifest --format json` writes; `parsed` holds what they
share."""

import os

from driftmoor_tree import MAX_LINE_LENGTH, ListedManifest, ManifestFault, ManifestProblem

from driftmoor_cli.formats.parsed import ManifestError
from driftmoor_cli.names import shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Final

__all__ = ["Manifest", "ManifestError", "read_manifest"]

READ_SIZE = 1 << 20  # bytes read at a time

_FORMS = {
    ManifestFault.NOT_A_LINE: "not a line of the form '<64 hex digits>  <path>'",
    ManifestFault.NOT_A_BSD_LINE: "not a line of the form 'SHA256 (<path>) = <64 hex digits>'",
    ManifestFault.NOT_A_DIGEST: "the digest is not 64 hexadecimal digits",
    ManifestFault.BAD_ESCAPE: "the path holds an escape other than \\\\, \\n or \\r",
}


class Manifest:
    __slots__ = ("name", "listed", "identity", "sha256")

    def __init__(self, name: str, listed: ListedManifest, identity: tuple[int, int],
                 sha256: str) -> None:
        self.name: Final = name  # for messages
        self.listed: Final = listed  # sealed: the files it lists, in the order of their paths
        self.identity: Final = identity  # the file's device and inode, as read
        self.sha256: Final = sha256  # of the bytes read: what a state binds to


def read_manifest(path: str | None) -> Manifest:
    """The manifest file at path (None: standard input): checksum lines of
    either form, or the JSON object that `driftmoor manifest --format json`
    writes. ManifestError if it cannot be read or used."""
    name = "standard input" if path is None else path
    listed = ListedManifest()
    try:
        with open(0, "rb", closefd=False) if path is None else open(path, "rb") as file:
            identity = os.fstat(file.fileno())
            first = file.read(READ_SIZE)
            if first.lstrip().startswith(b"{"):  # no line of digests starts with `{`
                from driftmoor_cli.formats.json_object import read_json

                text = first + file.read()
                listed.note(text)
                read_json(text, name, listed)
                problem = listed.seal()
            else:
                problem = listed.read(first)
                while problem is None and (data := file.read(READ_SIZE)):
                    problem = listed.read(data)
                if problem is None:
                    problem = listed.seal()
    except OSError as error:
        raise ManifestError(f"cannot read {name}: {error.strerror}") from None
    except MemoryError:
        raise ManifestError(f"cannot read {name}: out of memory") from None
    if problem is not None:
        raise ManifestError(problem_text(problem, name))
    if not len(listed):
        raise ManifestError(f"{name}: lists no files")
    return Manifest(name, listed, (identity.st_dev, identity.st_ino), listed.sha256())


def problem_text(problem: ManifestProblem, name: str) -> str:
    """The one line that says why the manifest `name` cannot be used."""
    where = f"{name}:{problem.line}" if problem.line else name
    if problem.fault == ManifestFault.LINE_TOO_LONG:
        return f"{where}: a line longer than {MAX_LINE_LENGTH} bytes"
    if problem.fault == ManifestFault.LISTED_TWICE:
        assert problem.path is not None
        first = f" (first on line {problem.first_line})" if problem.first_line else ""
        return f"{where}: {shown(problem.path)} is listed twice{first}"
    return f"{where}: {_FORMS[problem.fault]}"
