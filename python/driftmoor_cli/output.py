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

CHUNK = 1 << 16  # bytes gathered before a write


class WriteFailed(Exception):
    """Standard output did not take what was written."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error.strerror or os.strerror(error.errno or errno.EIO))
        self.errno = error.errno


class Output:
    """Standard output, written in chunks as bytes come. Paths are written
    as the file system holds them; text is written as UTF-8 whatever the
    locale says."""

    def __init__(self, descriptor: int = 1) -> None:
        self._descriptor = descriptor
        self._pending: list[bytes] = []
        self._size = 0

    def write(self, data: bytes) -> None:
        if not self._pending and len(data) >= CHUNK:
            write_fully(self._descriptor, data)  # a chunk made elsewhere, as it is
            return
        self._pending.append(data)
        self._size += len(data)
        if self._size >= CHUNK:
            self.flush()

    def write_text(self, text: str) -> None:
        # A name that is not UTF-8, held as surrogate escapes, as its bytes.
        self.write(text.encode("utf-8", "surrogateescape"))

    def write_lines(self, lines: Iterable[bytes]) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        """Writes everything written so far. WriteFailed if it cannot."""
        data = b"".join(self._pending)
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


def error_about(path: bytes, message: str) -> None:
    """`driftmoor: <path>: <message>` on standard error: the path as the file
    system holds it, escaped as on a manifest line (`\\\\`, `\\n`, `\\r`, so
    that the message stays one line), the message in the locale's encoding."""
    from driftmoor_cli.names import escape

    to_standard_error_bytes(
        b"driftmoor: " + escape(path)[1] + b": " + _locale_bytes(message) + b"\n"
    )


def to_standard_error(text: str) -> None:
    """Text on standard error, in the encoding of the locale (UTF-8 when
    standard error is gone), a name that is not valid in it as its bytes.
    Lost if standard error cannot take it."""
    to_standard_error_bytes(_locale_bytes(text))


def to_standard_error_bytes(data: bytes) -> None:
    try:
        write_fully(2, data)
    except WriteFailed:
        pass


def _locale_bytes(text: str) -> bytes:
    encoding = getattr(sys.stderr, "encoding", None) or "utf-8"
    try:
        return text.encode(encoding, "surrogateescape")
    except UnicodeEncodeError:
        return text.encode(encoding, "backslashreplace")


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
