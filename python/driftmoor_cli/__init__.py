"""The `driftmoor` command, a thin layer over the `driftmoor` extension module.

    driftmoor manifest DIR

prints one line per file under DIR in the format that `sha256sum -c` reads
back, so a tree fingerprinted today can be checked later with
`driftmoor manifest DIR > sums` and `sha256sum -c sums`.
"""

import argparse
import os
import sys

import driftmoor

# GNU sha256sum writes a name holding a backslash or a line feed escaped and
# marks the line with a leading backslash, so one line stays one file. A
# carriage return is escaped too: `sha256sum -c` reads `\r` back as a CR
# (coreutils 9.1 does, though it writes a CR raw), and a line then carries no
# raw CR for a text tool to strip as if it ended the line.
_ESCAPES = str.maketrans({"\\": "\\\\", "\n": "\\n", "\r": "\\r"})


def checksum_line(path, digest):
    """One line as `sha256sum` writes it: digest, two spaces, the path."""
    escaped = path.translate(_ESCAPES)
    marker = "\\" if escaped != path else ""
    return f"{marker}{digest}  {escaped}\n"


def _manifest(arguments):
    try:
        manifest = driftmoor.calculate_directory_manifest(arguments.dir)
    except OSError as error:
        print(f"driftmoor: {error}", file=sys.stderr)
        return 1
    # Sorted by the path text (code point order, which is also UTF-8 byte
    # order), so the same tree always gives the same output whatever the
    # locale or the order the walk met the files in.
    text = "".join(checksum_line(path, manifest[path]) for path in sorted(manifest))
    # The keys are valid Unicode; write them as UTF-8 whatever stdout's
    # locale encoding is, since that is what the file names are on disk.
    try:
        sys.stdout.buffer.write(text.encode("utf-8"))
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        # The reader stopped early (`| head`): not worth a traceback. Point
        # stdout at /dev/null so the flush at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


def _utf8_directory(text):
    # An argument that is not valid UTF-8 arrives with surrogate escapes,
    # which the module cannot take as a path.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {text!r}") from None
    return text


def _parser():
    parser = argparse.ArgumentParser(
        prog="driftmoor",
        description="SHA-256 fingerprints of files and directory trees.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    manifest = commands.add_parser(
        "manifest",
        help="print the SHA-256 of every file under DIR, as `sha256sum` does",
        description=(
            "Print one line per file under DIR, sorted by path, as `sha256sum` "
            "writes them (digest, two spaces, path), so that `sha256sum -c` "
            "checks them later. Paths start with DIR as written: check from "
            "the same working directory."
        ),
    )
    manifest.add_argument("dir", metavar="DIR", type=_utf8_directory)
    manifest.set_defaults(run=_manifest)
    return parser


def main(argv=None):
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    arguments = _parser().parse_args(argv)
    return arguments.run(arguments)
