"""Shows what the module can do so far: it compares SHA-256 digests.

Usage: demo.py [FILE ...]   (default: the checkout's README.md and pyproject.toml)

Each file is digested with hashlib, and every pair of digests is compared with
driftmoor.compare_hashes, which takes the same time wherever two digests
differ.
"""

import hashlib
import itertools
import sys
from pathlib import Path

import driftmoor


def main(argv):
    top = Path(__file__).resolve().parent.parent
    paths = [Path(a) for a in argv] or [top / "README.md", top / "pyproject.toml"]
    digests = {}
    for path in paths:
        with open(path, "rb") as f:
            digests[path] = hashlib.file_digest(f, "sha256").hexdigest()
        print(f"{digests[path]}  {path}")
    for a, b in itertools.combinations_with_replacement(paths, 2):
        same = driftmoor.compare_hashes(digests[a], digests[b])
        print(f"compare_hashes({a.name}, {b.name}) -> {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
