"""What the command writes: its result on standard output, messages on
standard error."""

import os
import sys


def error(message: str) -> None:
    """`driftmoor: <message>` on standard error."""
    print(f"driftmoor: {message}", file=sys.stderr)


def write_out(text: str) -> bool:
    """Writes text to standard output as UTF-8, whatever the locale says: the
    paths are what the file names are on disk. False if the reader has gone."""
    try:
        sys.stdout.buffer.write(text.encode("utf-8"))
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        # The reader stopped early (`| head`): not worth a traceback. Point
        # stdout at /dev/null so the flush at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return False
    return True
