"""What the command writes: its result on standard output, every write
checked, and messages on standard error, as far as it takes them.

Standard output gets bytes through os.write, in chunks of about 64 KiB made
as the lines are produced (never one string of the whole output). The
system may take part of a chunk (a pipe, a file at its size limit): the rest
is written again until all of it is taken or the write fails. A failure
raises WriteFailed, which ends the run with `driftmoor: write error:
<reason>` and status 1, so that nothing reports as written what was not.
Nothing sits in a buffer to be written at exit: what is not written when
the run ends (Ctrl-C) is dropped.

Standard error carries one line per message. It may be closed or gone: a
message it cannot take is lost, and nothing else changes.
"""

import errno
import os
import sys
from collections.abc import Iterable

CHUNK = 1 << 16  # characters gathered before a write


class WriteFailed(Exception):
    """Standard output did not take what was written."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error.strerror or os.strerror(error.errno or errno.EIO))
        self.errno = error.errno


class Output:
    """Standard output, written in chunks as text comes. UTF-8 whatever the
    locale says: a path is written as its name is on disk (a name that is
    not UTF-8, held as surrogate escapes, as its bytes)."""

    def __init__(self, descriptor: int = 1) -> None:
        self._descriptor = descriptor
        self._pending: list[str] = []
        self._size = 0

    def write(self, text: str) -> None:
        self._pending.append(text)
        self._size += len(text)
        if self._size >= CHUNK:
            self.flush()

    def write_lines(self, lines: Iterable[str]) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        """Writes everything written so far. WriteFailed if it cannot."""
        data = "".join(self._pending).encode("utf-8", "surrogateescape")
        self._pending.clear()
        self._size = 0
        write_fully(self._descriptor, data)


def write_fully(descriptor: int, data: bytes) -> None:
    """Writes all of data, continuing after a short write; WriteFailed if the
    system refuses the rest."""
    view = memoryview(data)
    while view:
        try:
            written = os.write(descriptor, view)
        except OSError as failure:
            raise WriteFailed(failure) from None
        if written == 0:  # no progress and no reason: as a full device says
            raise WriteFailed(OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))
        view = view[written:]


def error(message: str) -> None:
    """`driftmoor: <message>` on standard error."""
    to_standard_error(f"driftmoor: {message}\n")


def to_standard_error(text: str) -> None:
    """Text on standard error, in the encoding of the locale (UTF-8 when
    standard error is gone), a name that is not valid in it as its bytes.
    Lost if standard error cannot take it."""
    encoding = getattr(sys.stderr, "encoding", None) or "utf-8"
    try:
        data = text.encode(encoding, "surrogateescape")
    except UnicodeEncodeError:
        data = text.encode(encoding, "backslashreplace")
    try:
        write_fully(2, data)
    except WriteFailed:
        pass


def keep_standard_descriptors() -> None:
    """Gives a standard descriptor that the command was started without
    (`>&-`) a stand-in that fails every use as the missing one would: the
    null device opened for the other direction. Without it, the first file
    the command opens would take the number, and be written to or read from
    as standard output or input."""
    for descriptor, direction in ((0, os.O_WRONLY), (1, os.O_RDONLY), (2, os.O_RDONLY)):
        try:
            os.fstat(descriptor)
        except OSError:
            stand_in = os.open(os.devnull, direction | os.O_CLOEXEC)
            if stand_in != descriptor:
                os.dup2(stand_in, descriptor, inheritable=False)
                os.close(stand_in)
