"""The reference the manifest benchmarks measure driftmoor against: the
fastest plain-Python walker we know (os.walk following links, an unbuffered
open and one read per file, hashlib.sha256)."""

import hashlib
import os


def python_walker(top):
    # Unlike the module it would hang on a pipe in the tree; the generated
    # trees hold none, and a check of its own would only slow it down.
    manifest = {}
    for directory, _, names in os.walk(top, followlinks=True):
        for name in names:
            path = os.path.join(directory, name)
            try:
                with open(path, "rb", buffering=0) as f:
                    manifest[path] = hashlib.sha256(f.read()).hexdigest()
            except OSError:
                pass
    return manifest
