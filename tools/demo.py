"""Shows what the module can do so far: it digests files and compares digests.

Usage: demo.py [FILE ...]   (default: the checkout's README.md and pyproject.toml)

Each file is digested with driftmoor.calculate_hash and printed in the format
that `sha256sum -c` reads back. Every pair of digests is then compared with
driftmoor.compare_hashes, which takes the same time wherever two digests
differ. A file that cannot be read is reported and the others go on.
"""

import itertools
import sys
from pathlib import Path

import driftmoor


def main(argv):
    top = Path(__file__).resolve().parent.parent
    paths = argv or [str(top / "README.md"), str(top / "pyproject.toml")]
    digests = {}
    status = 0
    for path in paths:
        try:
            digests[path] = driftmoor.calculate_hash(path)
        except OSError as error:
            print(f"{path}: {error}", file=sys.stderr)
            status = 1
            continue
        print(f"{digests[path]}  {path}")
    for a, b in itertools.combinations_with_replacement(digests, 2):
        same = driftmoor.compare_hashes(digests[a], digests[b])
        print(f"compare_hashes({Path(a).name}, {Path(b).name}) -> {same}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
