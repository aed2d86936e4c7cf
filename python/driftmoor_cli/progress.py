"""A progress line on a terminal while a long call runs.

The module's calls run detached from the interpreter, so a thread can watch
one: it redraws one line on standard error four times a second and clears
it when the call ends:

    driftmoor: 1234 files, 3.1 GiB read, 250.0 MiB/s, 12.5 s

the files done so far (when whoever reads them can tell: see FilesDone), the
bytes the process has read since the call began (the kernel's count,
/proc/self/io), the rate of the last few seconds, and the time so far. The
line is cut to the terminal's width, asked at every redraw, so it never
wraps. Nothing is drawn unless standard error is a terminal.
"""

import os
import threading
import time
from collections import deque
from collections.abc import Callable

from driftmoor_cli.output import WriteFailed, write_fully

# The count of files done so far, asked from the drawing thread; None while
# it is not known. A walk that cannot tell passes no supplier at all.
FilesDone = Callable[[], int | None]

INTERVAL = 0.25  # seconds between redraws
RATE_WINDOW = 3.0  # seconds over which the rate is taken
_CLEAR_TO_END = "\x1b[K"


class progress_line:
    """While the `with` block runs: the line, when wanted and standard
    error is a terminal; files_done supplies the count of files, if given.
    (A class rather than a contextlib generator: contextlib is a module
    more for every start of the command, for one `with`.)"""

    def __init__(self, wanted: bool, files_done: FilesDone | None = None) -> None:
        self._files_done = files_done
        self._thread: threading.Thread | None = None
        self._stop = threading.Event()
        self._drawn = False
        self._started = 0.0
        self._read_before: int | None = None
        if wanted and os.isatty(2):
            self._thread = threading.Thread(target=self._redraw, name="driftmoor progress",
                                            daemon=True)

    def __enter__(self) -> None:
        if self._thread is not None:
            self._started = time.monotonic()
            self._read_before = bytes_read()
            self._thread.start()

    def __exit__(self, *exception: object) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        if self._drawn:
            _draw(f"\r{_CLEAR_TO_END}")

    def _redraw(self) -> None:
        started, read_before = self._started, self._read_before
        # (time, bytes read) of the redraws in the rate's window
        recent: deque[tuple[float, int]] = deque([(started, 0)])
        while not self._stop.wait(INTERVAL):
            now = time.monotonic()
            read_now = bytes_read()
            read = None if read_now is None or read_before is None else read_now - read_before
            if read is not None:
                recent.append((now, read))
                while len(recent) > 2 and now - recent[1][0] >= RATE_WINDOW:
                    recent.popleft()
            text = progress_text(
                self._files_done() if self._files_done is not None else None,
                read,
                rate(recent),
                now - started,
            )
            self._drawn = _draw(f"\r{fit(text, _columns())}{_CLEAR_TO_END}") or self._drawn


def progress_text(files: int | None, read: int | None, per_second: float | None,
                  seconds: float) -> str:
    parts = []
    if files is not None:
        parts.append(f"{files} file{'' if files == 1 else 's'}")
    if read is not None:
        parts.append(f"{size_text(read)} read")
    if per_second is not None:
        parts.append(f"{size_text(round(per_second))}/s")
    parts.append(f"{seconds:.1f} s")
    return "driftmoor: " + ", ".join(parts)


def rate(recent: deque[tuple[float, int]]) -> float | None:
    """Bytes per second between the first and the last (time, bytes read)."""
    (first_time, first_read), (last_time, last_read) = recent[0], recent[-1]
    if last_time <= first_time:
        return None
    return (last_read - first_read) / (last_time - first_time)


def fit(text: str, columns: int) -> str:
    """The text cut to leave the terminal's last column free: a character
    written there makes some terminals wrap to the next line. (The text is
    ASCII: one character, one column.)"""
    return text[: max(columns - 1, 0)]


def _columns() -> int:
    try:
        return os.get_terminal_size(2).columns or 80
    except OSError:
        return 80


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


def _draw(text: str) -> bool:
    # A terminal that stops taking the line costs the line, nothing more.
    try:
        write_fully(2, text.encode())
    except WriteFailed:
        return False
    return True
