"""A progress line on a terminal while a long call runs.

The module's calls run detached from the interpreter, so a thread can watch
one: it redraws one line on standard error four times a second and clears
it when the call ends:

    driftmoor: 1234 files, 3.1 GiB read, 250.0 MiB/s, 12.5 s              (manifest)
    driftmoor: 1234/5000 files, 3.1 GiB read, 250.0 MiB/s, 12.5 s, 38 s left  (check)

the files read so far (out of those the manifest lists, for a check), the
bytes of their contents read so far, the rate of the last few seconds, the
time so far, and for a check the time left once it can be told. Both counts
are the walk's own, kept in a buffer the walk updates as it reads. The line
is cut to the terminal's width, asked at every redraw, so it never wraps.
Nothing is drawn unless standard error is a terminal.
"""

import os
import threading
import time
from collections import deque
from collections.abc import Sequence

from driftmoor_cli.output import WriteFailed, write_fully

INTERVAL = 0.25  # seconds between redraws
RATE_WINDOW = 3.0  # seconds over which the rate is taken
ESTIMATE_AFTER = 2.0  # seconds of reading before the time left is told
_CLEAR_TO_END = "\x1b[K"


class Counts:
    """What the line shows: a walk's counts of files and of their bytes
    read so far (a buffer of two, kept by the walk), and how many files
    there are to read in all, where that is known."""

    __slots__ = ("_words", "total")

    def __init__(self, words: Sequence[int], total: int | None = None) -> None:
        self._words = words
        self.total = total

    def files(self) -> int:
        return self._words[0]

    def bytes(self) -> int:
        return self._words[1]


class progress_line:
    """While the `with` block runs: the line, when wanted and standard
    error is a terminal. (A class rather than a contextlib generator:
    contextlib is a module more for every start of the command, for one
    `with`.)"""

    def __init__(self, wanted: bool, counts: Counts) -> None:
        self._counts = counts
        self._thread: threading.Thread | None = None
        self._stop = threading.Event()
        self._drawn = False
        self._started = 0.0
        if wanted and os.isatty(2):
            self._thread = threading.Thread(target=self._redraw, name="driftmoor progress",
                                            daemon=True)

    def __enter__(self) -> None:
        if self._thread is not None:
            self._started = time.monotonic()
            self._thread.start()

    def __exit__(self, *exception: object) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        if self._drawn:
            _draw(f"\r{_CLEAR_TO_END}")

    def _redraw(self) -> None:
        started, counts = self._started, self._counts
        # (time, bytes read) of the redraws in the rate's window
        recent: deque[tuple[float, int]] = deque([(started, 0)])
        while not self._stop.wait(INTERVAL):
            now = time.monotonic()
            read = counts.bytes()
            recent.append((now, read))
            while len(recent) > 2 and now - recent[1][0] >= RATE_WINDOW:
                recent.popleft()
            files = counts.files()
            text = progress_text(files, counts.total, read, rate(recent), now - started)
            self._drawn = _draw(f"\r{fit(text, _columns())}{_CLEAR_TO_END}") or self._drawn


def progress_text(files: int, total: int | None, read: int, per_second: float | None,
                  seconds: float) -> str:
    done = f"{files}/{total} files" if total is not None else (
        f"{files} file{'' if files == 1 else 's'}")
    parts = [done, f"{size_text(read)} read"]
    if per_second is not None:
        parts.append(f"{size_text(round(per_second))}/s")
    parts.append(f"{seconds:.1f} s")
    left = time_left(files, total, seconds)
    if left is not None:
        parts.append(f"{left} left")
    return "driftmoor: " + ", ".join(parts)


def time_left(files: int, total: int | None, seconds: float) -> str | None:
    """The time the files still to read will take at the pace of those read
    so far; None until there is a pace to go by."""
    if total is None or files == 0 or seconds < ESTIMATE_AFTER or files > total:
        return None
    left = round(seconds * (total - files) / files)
    if left < 60:
        return f"{left} s"
    minutes, seconds_left = divmod(left, 60)
    if minutes < 60:
        return f"{minutes} min {seconds_left:02} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02} min"


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
