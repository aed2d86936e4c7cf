# The extension module's signatures, for type checkers and editors. Every
# parameter may be passed by position or by name; only `str` is accepted
# (bytes and path objects are refused with TypeError).

__all__ = ["calculate_hash", "compare_hashes", "calculate_directory_manifest"]

def calculate_hash(path: str) -> str:
    """The SHA-256 digest of the file at `path`, as 64 lowercase hex digits.

    Links are followed. The file is read from its start to its end; nothing
    is locked. Runs detached from the interpreter (other threads go on), and
    on the main thread Ctrl-C ends it with KeyboardInterrupt.

    Raises the OSError subclass for the system's failure, with one argument,
    the system's message and its code: FileNotFoundError('No such file or
    directory (os error 2)'), PermissionError('Permission denied (os error
    13)'), IsADirectoryError('Is a directory (os error 21)'); errno, strerror
    and filename are None. A path holding a NUL character raises
    OSError('strings passed to WinAPI cannot contain NULs'). MemoryError when
    memory runs out.
    """

def compare_hashes(hash_a: str, hash_b: str) -> bool:
    """Whether the two digest texts are equal, byte for byte (case matters).

    Takes the same time wherever the texts first differ, so the answer does
    not leak how much of a secret digest was guessed.
    """

def calculate_directory_manifest(dir_path: str) -> dict[str, str]:
    """The digest of every regular file at or below `dir_path`, by path.

    Keys are `dir_path` exactly as written, then "/" and a name per level (no
    "/" is added after a `dir_path` that is empty or ends in one). Links are
    followed: a link to a file is digested under the link's path, a link to
    a directory is walked through, and a directory already on the way down
    is passed over, so every walk ends. The order of the keys is unspecified.

    Left out, silently: directories themselves; pipes, sockets and devices
    (never opened); dangling links; files that cannot be opened or read; and
    paths that are not valid UTF-8 (the `driftmoor_tree` module of the
    `driftmoor` command accounts for all of these instead).

    Raises FileNotFoundError('The specified directory does not exist') for a
    missing, empty or NUL-holding `dir_path`; a `dir_path` naming a file
    gives {}. A directory that cannot be listed anywhere in the tree fails the
    whole call with its OSError, e.g. PermissionError('Permission denied (os
    error 13)'), as does running out of descriptors (OSError('Too many open
    files (os error 24)')) or memory (MemoryError): no partial result is ever
    returned. Ctrl-C on the main thread ends it with KeyboardInterrupt.
    """
