"""`manifest --state FILE`: the manifest as it is written, read back as a
check will read it (its SHA-256 and its files in order), and the state of
its files made from what the walk recorded of each read, bound to that
manifest and the tree its paths stand for."""

import sqlite3

import driftmoor_tree
from driftmoor_tree import ListedManifest, ManifestProblem

from driftmoor_cli import state as kept
from driftmoor_cli.output import Output
from driftmoor_cli.tree import TreeError, plan_check


class RecordingOutput(Output):
    """Standard output that keeps what a check of the manifest will know of
    it: the SHA-256 of its bytes, and its files."""

    def __init__(self, json: bool) -> None:
        super().__init__()
        self._listed = ListedManifest()
        self._json: list[bytes] | None = [] if json else None
        self._problem: ManifestProblem | None = None

    def write(self, data: bytes) -> None:
        super().write(data)
        if self._json is not None:
            self._listed.note(data)
            self._json.append(data)
        elif self._problem is None:
            self._problem = self._listed.read(data)

    def save_state(self, path: str, reads: bytes, root: bytes) -> str | None:
        """Writes the state of the manifest written (whose walk recorded
        `reads`) to path; the line that says why it was not, or None."""
        if self._json is not None:
            from driftmoor_cli.formats.json_object import read_json

            read_json(b"".join(self._json), "standard output", self._listed)
            self._json = None
        if self._problem is None:
            self._problem = self._listed.seal()
        if self._problem is not None:  # a manifest no check could read: no state of it
            return f"{path}: the state was not saved: the manifest cannot be read back"
        tree = root
        if len(self._listed):
            try:
                tree = plan_check(self._listed, "standard output", None, False).root
            except TreeError:
                pass
        binding = kept.Binding(self._listed.sha256(), kept.tree_identity(tree))
        chunks = driftmoor_tree.recorded_state(self._listed, reads)
        try:
            kept.save(path, binding, chunks, [], fresh=True)
        except (OSError, sqlite3.Error) as failure:
            why = failure.strerror if isinstance(failure, OSError) and failure.strerror else failure
            return f"{path}: the state was not saved: {why}"
        return None
