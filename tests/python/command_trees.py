"""The trees of odd names that the command's tests share."""

# Name under a tree -> how a line of a manifest or a report shows it. A name
# holding a backslash, a line feed or a carriage return is escaped, and its
# line then starts with a backslash.
NAMES = {
    "plain.txt": "plain.txt",
    "with space.txt": "with space.txt",
    "back\\slash": "back\\\\slash",
    "line\nfeed": "line\\nfeed",
    "carriage\rreturn": "carriage\\rreturn",
    "ends in cr\r": "ends in cr\\r",
    "ünïcode ✓": "ünïcode ✓",
    "nested/deeper/file": "nested/deeper/file",
    "nested/dir\nwith \\ both/inner": "nested/dir\\nwith \\\\ both/inner",
    "new \\ file\n": "new \\\\ file\\n",
}

# The names that GNU sha256sum writes as it reads them back: coreutils 9.1
# writes a CR unescaped, and one ending a name then ends its line, where
# every reader takes it for a Windows line ending.
SHA256SUM_NAMES = [name for name in NAMES if not name.endswith("\r")]


def make_tree(top, names, *, repeat=lambda number: 1):
    """Writes each name under top, file number n holding `file n` repeated."""
    for number, name in enumerate(names):
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_bytes(f"file {number}\n".encode() * repeat(number))
