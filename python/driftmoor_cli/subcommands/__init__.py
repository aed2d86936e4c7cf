"""The subcommands, one module each, each a function `run` of its typed
arguments that returns the exit status:

    manifest  0 done, 1 the tree could not be walked
    check     0 the tree matches, 1 it differs, 2 the manifest or the tree cannot be read
    diff      0 the manifests match, 1 they differ, 2 one cannot be read
"""

# Exit statuses shared by check and diff.
MATCHES = 0
DIFFERS = 1
UNUSABLE = 2  # a manifest that cannot be used, a tree that cannot be walked
