"""What reading a manifest gives or refuses, shared by its forms: the error
that says why a manifest cannot be used, and the form of a digest."""

import re

DIGEST = re.compile(rb"[0-9a-fA-F]{64}")


class ManifestError(Exception):
    """A manifest that cannot be used: its text says where and why."""
