"""A progress line on a terminal while a long call runs.

The module's calls run detached from the interpreter, so a thread can watch
one: it redraws one line on standard error a few times a second with the
time so far and the bytes the process has read since the call began (the
kernel's count, /proc/self/io), and clears it when the call ends. Nothing is
drawn unless standard error is a terminal.
"""

import os
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager

from driftmoor_cli.output import WriteFailed, write_fully

INTERVAL = 0.25  # seconds between redraws
_CLEAR_TO_END = "\x1b[K"


@contextmanager
def progress_line(wanted: bool) -> Iterator[None]:
    if not (wanted and os.isatty(2)):
        yield
        return
    started = time.monotonic()
    read_before = bytes_read()
    stop = threading.Event()
    drawn = False

    def redraw() -> None:
        nonlocal drawn
        while not stop.wait(INTERVAL):
            text = f"driftmoor: {time.monotonic() - started:.1f} s"
            read_now = bytes_read()
            if read_before is not None and read_now is not None:
                text += f", {size_text(read_now - read_before)} read"
            drawn = _draw(f"\r{text}{_CLEAR_TO_END}") or drawn

    thread = threading.Thread(target=redraw, name="driftmoor progress", daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()
        if drawn:
            _draw(f"\r{_CLEAR_TO_END}")


def _draw(text: str) -> bool:
    # A terminal that stops taking the line costs the line, nothing more.
    try:
        write_fully(2, text.encode())
    except WriteFailed:
        return False
    return True


def bytes_read() -> int | None:
    """The bytes this process has read so far (`rchar`: every read call,
    cached or not), or None where the kernel does not tell."""
    try:
        with open("/proc/self/io", "rb") as io:
            for line in io:
                if line.startswith(b"rchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def size_text(count: int) -> str:
    if count < 1024:
        return f"{count} B"
    size = float(count)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        size /= 1024
        if size < 1024:
            break
    return f"{size:.1f} {unit}"
