"""A long walk: the command draws progress on a terminal and nowhere else, and
Ctrl-C ends it at once."""

import fcntl
import os
import re
import signal
import struct
import subprocess
import termios
import time

import pytest

from conftest import DRIFTMOOR, command_env, run_driftmoor

SIZE = rb"(\d+(?:\.\d)? (?:B|KiB|MiB|GiB))"
# Redraws of `driftmoor: <n> files, <size> read, <size>/s, <seconds> s` (a
# check: `<n>/<total> files`, and the time left once it can be told, in
# seconds, minutes or hours: a slow build takes past a minute), then the
# line cleared.
LEFT = rb"(?:\d+ s|\d+ min \d\d s|\d+ h \d\d min) left"
LINE = (rb"\rdriftmoor: (\d+)(?:/(\d+))? files?, " + SIZE + rb" read, (?:" + SIZE
        + rb"/s, )?\d+\.\d s(?:, " + LEFT + rb")?\x1b\[K")
PROGRESS = rb"(?:%s)+\r\x1b\[K" % LINE
UNITS = {b"B": 1, b"KiB": 1 << 10, b"MiB": 1 << 20, b"GiB": 1 << 30}


def redraws(drawn):
    """(files, total, (least, most) bytes) of each redraw, in order: a size
    is shown rounded to the unit's nearest tenth, so it stands for a range."""
    shown = []
    for files, total, size, _ in re.findall(LINE, drawn):
        number, unit = size.split(b" ")
        half = 0 if unit == b"B" else 0.05
        shown.append((int(files), int(total) if total else None,
                       ((float(number) - half) * UNITS[unit], (float(number) + half) * UNITS[unit])))
    return shown


def fanning_tree(top, levels, file_size):
    # Every level holds two links to the next, so the walk meets the file at
    # the bottom 2**(levels - 1) times: a long walk from a small tree.
    for level in range(levels):
        os.makedirs(top / f"d{level}")
    for level in range(levels - 1):
        for name in "ab":
            os.symlink(f"../d{level + 1}", top / f"d{level}" / name)
    (top / f"d{levels - 1}" / "file").write_bytes(os.urandom(file_size))


def run_on_terminal(arguments, cwd, columns=80):
    """Runs the command with standard error on a terminal (a pty) of that
    width and standard output on a pipe: its exit status, its output, what
    the terminal got."""
    controller, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    with subprocess.Popen([DRIFTMOOR, *arguments], stdout=subprocess.PIPE, stderr=terminal,
                          cwd=cwd, env=command_env()) as child:
        os.close(terminal)
        stdout, _ = child.communicate(timeout=120)
    drawn = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # EIO: nothing left to read, and no writer
            break
        drawn += chunk
    os.close(controller)
    return child.returncode, stdout, drawn


@pytest.mark.heavy
def test_progress_is_drawn_on_a_terminal_only(tmp_path):
    # 1 GiB read in all: a second or so, several redraws.
    fanning_tree(tmp_path / "fan", levels=11, file_size=1 << 20)
    # On a pipe, nothing but the output, however long the walk.
    piped = run_driftmoor("manifest", "fan", cwd=tmp_path)
    assert (piped.returncode, piped.stderr) == (0, b"")
    (tmp_path / "fan.sums").write_bytes(piped.stdout)
    paths = [line[66:] for line in piped.stdout.decode().splitlines()]
    listed = len(paths)
    summary = f"summary: {listed} ok, 0 changed, 0 missing, 0 added, 0 moved, 0 unreadable, 0 passed over\n"
    every = "".join(f"ok: {path}\n" for path in paths)
    only_listed = every + f"summary: {listed} ok, 0 changed, 0 missing, 0 unreadable\n"
    for arguments, output, total in [
        (("manifest", "fan"), piped.stdout.decode(), None),
        (("manifest", "--no-progress", "fan"), piped.stdout.decode(), False),
        (("check", "fan.sums", "fan"), every + summary, listed),
        # -q drops the ok lines, not the progress line.
        (("check", "--quiet", "fan.sums", "fan"), summary, listed),
        (("check", "--status", "fan.sums", "fan"), "", listed),
        (("check", "--no-progress", "fan.sums", "fan"), every + summary, False),
        (("check", "--listed-only", "fan.sums"), only_listed, listed),
    ]:
        status, stdout, drawn = run_on_terminal(arguments, tmp_path)
        assert (status, stdout.decode()) == (0, output), arguments
        if total is False:
            assert drawn == b"", arguments
            continue
        assert re.fullmatch(PROGRESS, drawn), (arguments, drawn)
        shown = redraws(drawn)
        # Counted as the files are read, not when the reading ends; a check
        # out of the files its manifest lists; bytes of the files' contents
        # alone, 1 MiB each (those being read besides, and the rounding of
        # what is shown, allowed for).
        assert all(line[1] == total for line in shown), (arguments, drawn)
        assert [line[0] for line in shown] == sorted(line[0] for line in shown)
        # Rounding keeps the order of what it rounds: the middles of the
        # ranges shown grow, across a change of unit too.
        middles = [sum(line[2]) / 2 for line in shown]
        assert middles == sorted(middles), (arguments, drawn)
        assert 0 < shown[-1][0] <= listed, (arguments, drawn)
        files, _, (least, most) = shown[-1]
        assert least <= (files + 2) << 20 and most >= files << 20, (arguments, drawn)


@pytest.mark.heavy
@pytest.mark.parametrize("columns", [1, 12, 24])
def test_progress_is_cut_to_a_narrow_terminal(tmp_path, columns):
    fanning_tree(tmp_path / "fan", levels=11, file_size=1 << 20)
    (tmp_path / "fan.sums").write_bytes(run_driftmoor("manifest", "fan", cwd=tmp_path).stdout)
    status, _, drawn = run_on_terminal(("check", "--listed-only", "fan.sums"), tmp_path, columns)
    assert status == 0
    redraws = drawn.split(b"\r")[1:]
    assert len(redraws) > 2 and redraws[-1] == b"\x1b[K"
    for redraw in redraws[:-1]:
        text = redraw.removesuffix(b"\x1b[K")
        # The line's start, up to the last column but one: a character in
        # the last column makes some terminals wrap.
        assert len(text) == columns - 1, redraw
        assert text.startswith(b"driftmoor: "[: columns - 1]) and b"\n" not in text, redraw


def bytes_read(pid):
    with open(f"/proc/{pid}/io", "rb") as io:
        return int(next(line for line in io if line.startswith(b"rchar:")).split()[1])


def sparse_file(top, size):
    # A file of zeros that takes no room: read, it is a long read.
    os.makedirs(top)
    with open(top / "big", "wb") as file:
        file.truncate(size)


# Each a walk that would not end for ages, the directory to fingerprint and
# a path to list: 2**39 paths to a 1 MiB file, or one file of 8 GiB, which
# must be stopped between two of its reads.
LONG_TREES = {
    "many files": (lambda top: fanning_tree(top, levels=40, file_size=1 << 20), "fan",
                   "fan/d0/file"),
    "one large file": (lambda top: sparse_file(top, 8 << 30), "fan", "fan/big"),
}


@pytest.mark.parametrize("command", ["manifest", "check"])
@pytest.mark.parametrize("tree", LONG_TREES)
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_ends_the_command_with_130_and_one_line(tmp_path, command, tree, jobs):
    make, directory, listed = LONG_TREES[tree]
    make(tmp_path / "fan")
    (tmp_path / "fan.sums").write_text(f"{'0' * 64}  {listed}\n")
    with subprocess.Popen([DRIFTMOOR, command, "--jobs", jobs,
                           *((directory,) if command == "manifest" else ("fan.sums", "fan"))],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
                          env=command_env()) as child:
        # Well into the walk: far more read than starting the interpreter reads.
        deadline = time.monotonic() + 60
        while bytes_read(child.pid) < 64 << 20 and time.monotonic() < deadline:
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        stdout, stderr = child.communicate(timeout=60)
        ended = time.monotonic() - sent
    assert (child.returncode, stdout, stderr) == (130, b"", b"driftmoor: interrupted\n")
    assert ended < 2.0


def test_ctrl_c_while_writing_adds_nothing_more_to_standard_output(tmp_path):
    (tmp_path / "tree").mkdir()
    for number in range(3000):
        (tmp_path / "tree" / f"{number:05}-{'n' * 40}").write_bytes(b"%d" % number)
    whole = run_driftmoor("manifest", "tree", cwd=tmp_path).stdout
    # A reader that takes nothing: the command fills the pipe and waits.
    read_end, write_end = os.pipe()
    capacity = fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ)
    with subprocess.Popen([DRIFTMOOR, "manifest", "tree"], stdout=write_end,
                          stderr=subprocess.PIPE, cwd=tmp_path, env=command_env()) as child:
        os.close(write_end)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not (
                _pending(read_end) == capacity and _state(child.pid) == "S"):
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        # It ends with nothing read: it does not wait to write anything more.
        child.wait(timeout=30)
        written = b""
        while chunk := os.read(read_end, 65536):
            written += chunk
        os.close(read_end)
        stderr = child.stderr.read()
    assert (child.returncode, stderr) == (130, b"driftmoor: interrupted\n")
    # What the pipe held when Ctrl-C came, and not a byte more.
    assert written == whole[:capacity]


def _pending(descriptor):
    return int.from_bytes(fcntl.ioctl(descriptor, termios.FIONREAD, b"\0" * 4), "little")


def _state(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]
