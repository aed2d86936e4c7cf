"""check --state: files whose size, times, inode and device are as recorded
are taken unread; everything else is read, and the report is what a full
check says. Each case works on its own tree, made once per module and aged
past the two-second tick within which a change could hide from the times."""

import json
import os
import random
import re
import shutil
import signal
import sqlite3
import subprocess
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pytest

from conftest import DRIFTMOOR, command_env, run_driftmoor

TICK = 2.1  # seconds: past the widest timestamp tick the check allows for
FILES = [f"f{i}" for i in range(6)]
SUMMARY = re.compile(rb"; (\d+) trusted by metadata, (\d+) read, (\d+) scrubbed")
UNPRIVILEGED = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--")


def make_tree(top: Path, names=FILES) -> None:
    (top / "t").mkdir(parents=True)
    for name in names:
        (top / "t" / name).write_bytes(f"the content of {name}\n".encode())


def record(top: Path, *extra: str) -> None:
    made = run_driftmoor("manifest", "--state", "st", *extra, "t", cwd=top)
    assert made.returncode == 0, made.stderr
    (top / "m").write_bytes(made.stdout)


def check(top: Path, *options: str, manifest="m"):
    return run_driftmoor("check", "--state", "st", *options, manifest, cwd=top)


def counts(result) -> tuple[int, int, int]:
    trusted, read, scrubbed = SUMMARY.search(result.stdout).groups()
    return int(trusted), int(read), int(scrubbed)


@contextmanager
def database(path: Path) -> Iterator[sqlite3.Connection]:
    """A state opened as a test edits it: committed, then closed."""
    connection = sqlite3.connect(path)
    try:
        with connection:
            yield connection
    finally:
        connection.close()


def state_rows(path: Path) -> list[tuple[int, bytes]]:
    with database(path) as connection:
        return connection.execute("SELECT first, data FROM records ORDER BY first").fetchall()


def rewrite_keeping_times(path: Path) -> None:
    before = path.stat()
    path.write_bytes(path.read_bytes().upper())
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


def replace_by_rename(path: Path) -> None:
    fresh = path.with_name("fresh")
    fresh.write_bytes(path.read_bytes())
    os.replace(fresh, path)


CHANGES = {
    # name: (change made to t/f1, the report line, files read)
    "nothing": (lambda t: None, b"ok: t/f1\n", 0),
    "same size, mtime put back": (lambda t: rewrite_keeping_times(t / "f1"),
                                  b"changed: t/f1\n", 1),
    "replaced by rename": (lambda t: replace_by_rename(t / "f1"), b"ok: t/f1\n", 1),
    "touched": (lambda t: os.utime(t / "f1"), b"ok: t/f1\n", 1),
    "renamed": (lambda t: os.rename(t / "f1", t / "g1"), b"moved: t/f1 -> t/g1\n", 1),
    "removed": (lambda t: (t / "f1").unlink(), b"missing: t/f1\n", 0),
}


@pytest.fixture(scope="module")
def aged(tmp_path_factory):
    """A tree per case, its files older than the tick when recorded."""
    top = tmp_path_factory.mktemp("aged")
    names = [*CHANGES, "other manifest", "jobs", "scrub", "opens", *UNUSABLE, "unwritable"]
    for name in names:
        make_tree(top / name.replace(" ", "-"))
    time.sleep(TICK)
    for name in names:
        record(top / name.replace(" ", "-"))
    return top


@pytest.mark.parametrize("change", CHANGES)
def test_only_what_changed_is_read_and_the_report_is_a_full_checks(aged, change):
    top = aged / change.replace(" ", "-")
    make_change, line, read = CHANGES[change]
    make_change(top / "t")
    before = state_rows(top / "st")
    kept = check(top)
    full = run_driftmoor("check", "m", cwd=top)
    assert line in kept.stdout
    # The same lines as a check that reads everything; the state's summary
    # adds damaged (none here) and what was trusted.
    assert kept.stdout.split(b"summary:")[0] == full.stdout.split(b"summary:")[0]
    assert kept.returncode == full.returncode == (0 if line.startswith(b"ok") else 1)
    listed_there = len(FILES) - (change in ("renamed", "removed"))
    assert counts(kept) == (listed_there - (read if change != "renamed" else 0), read, 0)
    # What was read is recorded anew; nothing else is written.
    assert (state_rows(top / "st") != before) == (read > 0 and change != "renamed")


def test_a_file_changed_in_the_tick_of_its_recording_is_read(tmp_path):
    make_tree(tmp_path)
    record(tmp_path)  # at once: every file is racily clean
    result = check(tmp_path)
    assert result.returncode == 0
    assert counts(result) == (0, len(FILES), 0)


def test_a_state_of_another_manifest_is_replaced_after_a_full_check(aged):
    top = aged / "other-manifest"
    (top / "m2").write_bytes(b"".join(line for line in (top / "m").read_bytes().splitlines(True)
                                      if b"t/f0" not in line))
    first = check(top, "--listed-only", manifest="m2")
    assert first.stderr.decode().splitlines()[-1] == (
        "driftmoor: st: is the state of another manifest: reading every file, "
        "and writing the state anew")
    assert counts(first) == (0, len(FILES) - 1, 0)
    second = check(top, "--listed-only", manifest="m2")
    assert b"state" not in second.stderr
    assert counts(second) == (len(FILES) - 1, 0, 0)


def truncate(state: Path) -> None:
    data = state.read_bytes()
    state.write_bytes(data[: len(data) // 2])


def corrupt(state: Path) -> None:
    data = bytearray(state.read_bytes())
    for at in range(len(data) // 2, len(data), 97):
        data[at] ^= 0x5A
    state.write_bytes(bytes(data))


def newer(state: Path) -> None:
    with database(state) as connection:
        connection.execute("PRAGMA user_version = 99")


def foreign_records(state: Path) -> None:
    with database(state) as connection:
        for first, data in connection.execute("SELECT first, data FROM records").fetchall():
            connection.execute("UPDATE records SET data = ? WHERE first = ?",
                               (data + bytes(64), first))


UNUSABLE = {
    "truncated": (truncate, "is not a state that can be used"),
    "corrupt": (corrupt, "is "),
    "newer": (newer, "was written by a newer driftmoor (format 99)"),
    "not a database": (lambda state: state.write_bytes(b"x" * 3000),
                       "is not a state that can be used"),
    "records that do not fit": (foreign_records, "does not fit its manifest"),
}


@pytest.mark.parametrize("damage", UNUSABLE)
def test_a_state_that_cannot_be_trusted_means_a_full_check_and_a_new_state(aged, damage):
    top = aged / damage.replace(" ", "-")
    spoil, why = UNUSABLE[damage]
    spoil(top / "st")
    result = check(top)
    warning = result.stderr.decode().splitlines()[-1]
    assert warning.startswith(f"driftmoor: st: {why}")
    assert warning.endswith(": reading every file, and writing the state anew")
    assert result.returncode == 0
    assert counts(result) == (0, len(FILES), 0)
    again = check(top)
    assert again.stderr.count(b"\n") == 1  # the tree chosen, and no warning
    with database(top / "st") as connection:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)


def test_a_state_that_cannot_be_saved_leaves_the_result_standing(aged):
    top = aged / "unwritable"
    folder = top / "locked"
    folder.mkdir()
    shutil.copy(top / "st", folder / "st")
    os.chmod(folder, 0o555)
    try:
        for change, status in [(None, 0), ("t/f2", 1)]:
            if change:
                (top / change).write_bytes(b"changed\n")
            # A state to update (where something was read), and one to make.
            for state, unsaved in [("locked/st", change is not None), ("locked/new", True)]:
                result = subprocess.run([*UNPRIVILEGED, DRIFTMOOR, "check", "--state", state,
                                         "m"], cwd=top, capture_output=True, env=command_env())
                assert result.returncode == status
                last = result.stderr.decode().splitlines()[-1]
                assert last.startswith(f"driftmoor: {state}: the state was not saved: ") == unsaved
    finally:
        os.chmod(folder, 0o755)


def test_the_report_is_the_same_for_any_number_of_jobs(aged):
    top = aged / "jobs"
    rewrite_keeping_times(top / "t" / "f3")
    os.rename(top / "t" / "f4", top / "t" / "g4")
    shutil.copy(top / "st", top / "st.saved")
    reports = []
    for jobs in ("1", "8"):
        shutil.copy(top / "st.saved", top / "st")
        result = check(top, "-j", jobs, "--format", "json")
        report = json.loads(result.stdout)
        report["summary"].pop("oldest_full_read")
        reports.append(report)
    assert reports[0] == reports[1]
    assert reports[0]["paths"]["t/f4"]["moved_to"] == "t/g4"


def test_a_rotating_scrub_reads_every_file_once_in_n_checks(aged):
    top = aged / "scrub"
    scrubbed = []
    for _ in range(3):
        result = check(top, "--scrub", "3", "--format", "json")
        paths = json.loads(result.stdout)["paths"]
        scrubbed += [path for path, found in paths.items() if found["read"] == "scrubbed"]
        assert all(found["read"] in ("trusted", "scrubbed") for found in paths.values())
        assert json.loads(result.stdout)["summary"]["scrubbed"] == len(FILES) // 3
    assert sorted(scrubbed) == [f"t/{name}" for name in FILES]
    text = check(top, "--scrub", "3")
    assert re.search(rb", oldest full read \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n$", text.stdout)


def test_a_trusted_file_is_never_opened(aged):
    top = aged / "opens"
    os.utime(top / "t" / "f5")
    trace = top / "trace"
    result = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o",
                             trace, DRIFTMOOR, "check", "--state", "st", "m"],
                            cwd=top, capture_output=True, env=command_env())
    assert result.returncode == 0, result.stderr
    opened = {name for name in FILES if re.search(rf'"(t/)?{name}"', trace.read_text())}
    assert opened == {"f5"}


@pytest.fixture
def mounted_image(tmp_path):
    """An ext4 file system in an image, loop-mounted at tmp_path/mnt and
    unmounted however the test ends: its files' bytes can be changed in the
    image without the inode's times knowing."""
    if os.geteuid() != 0:
        pytest.skip("mounting an image needs root")
    image = tmp_path / "image"
    with open(image, "wb") as made:
        made.truncate(16 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True, capture_output=True)
    mount = tmp_path / "mnt"
    mount.mkdir()
    subprocess.run(["mount", "-o", "loop", image, mount], check=True, capture_output=True)
    mounted = [True]

    def remount():
        if mounted[0]:
            subprocess.run(["umount", mount], check=True)
            mounted[0] = False
        else:
            subprocess.run(["mount", "-o", "loop", image, mount], check=True)
            mounted[0] = True

    yield image, mount, remount
    if mounted[0]:
        subprocess.run(["umount", mount], check=True)


def test_bytes_changed_under_unchanged_times_are_damage_that_a_scrub_finds(tmp_path,
                                                                          mounted_image):
    image, mount, remount = mounted_image
    device = mount.stat().st_dev
    (mount / "t").mkdir()
    marker = b"DRIFTMOOR-DAMAGE-MARKER-" + bytes(random.choices(b"ABCDEFGH", k=32))
    (mount / "t" / "decaying").write_bytes(marker * 64)
    (mount / "t" / "sound").write_bytes(b"sound\n")
    time.sleep(TICK)
    made = subprocess.run([DRIFTMOOR, "manifest", "--state", tmp_path / "st", "t"], cwd=mount,
                          capture_output=True, env=command_env(), check=True)
    (tmp_path / "m").write_bytes(made.stdout)
    remount()  # off: the file system is at rest in its image
    data = bytearray(image.read_bytes())
    at = data.index(marker) + 5
    data[at] ^= 0x01
    image.write_bytes(bytes(data))
    remount()

    def run(*options):
        return subprocess.run([DRIFTMOOR, "check", "--state", tmp_path / "st", *options,
                               tmp_path / "m"], cwd=mount, capture_output=True, env=command_env())

    if mount.stat().st_dev == device:
        # What metadata alone cannot see: why the scrub exists.
        assert run("--status").returncode == 0
    scrubbing = run("--scrub", "1", "--format", "json")
    assert scrubbing.returncode == 1
    report = json.loads(scrubbing.stdout)
    assert report["paths"]["t/decaying"]["state"] == "damaged"
    assert report["paths"]["t/sound"]["state"] == "ok"
    assert report["summary"]["damaged"] == 1


def test_an_update_killed_at_any_moment_leaves_the_old_state_or_the_new(tmp_path):
    # Three chunks of records, every one rewritten by a check after every
    # file was touched: a state that mixes old chunks and new is a torn update.
    names = [f"{i:05}" for i in range(4096 * 2 + 100)]
    make_tree(tmp_path, names)
    record(tmp_path)
    shutil.copy(tmp_path / "st", tmp_path / "st.old")
    old = state_rows(tmp_path / "st.old")
    assert len(old) == 3

    def start():
        shutil.copy(tmp_path / "st.old", tmp_path / "st")
        for name in names[::4096]:
            os.utime(tmp_path / "t" / name)
        for leftover in tmp_path.glob("st-journal"):
            leftover.unlink()
        return subprocess.Popen([DRIFTMOOR, "check", "-q", "--state", "st", "m"],
                                cwd=tmp_path, stdout=subprocess.DEVNULL, env=command_env())

    began = time.monotonic()
    start().wait(timeout=120)
    whole = time.monotonic() - began
    rng = random.Random(2026)
    for _ in range(12):
        process = start()
        time.sleep(rng.uniform(0.3, 1.0) * whole)
        process.send_signal(signal.SIGKILL)
        process.wait(timeout=60)
        rows = state_rows(tmp_path / "st")
        unchanged = [row in old for row in rows]
        assert len(rows) == 3 and (all(unchanged) or not any(unchanged)), unchanged
        with database(tmp_path / "st") as connection:
            assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)


def test_diff_pairs_a_path_gone_with_a_new_one_of_its_digest_alone(tmp_path):
    a, b, c = (hashlib_hex(text) for text in (b"a", b"b", b"c"))
    (tmp_path / "old").write_text(f"{a}  x/a\n{b}  x/b\n{c}  x/c1\n{c}  x/c2\n")
    (tmp_path / "new").write_text(f"{a}  y/a\n{b}  x/b\n{c}  y/c1\n{c}  y/c2\n")
    result = run_driftmoor("diff", "-q", "old", "new", cwd=tmp_path)
    assert result.returncode == 1
    # x/c1 and x/c2 share their digest: which went where cannot be told.
    assert result.stdout == (b"moved: x/a -> y/a\nmissing: x/c1\nmissing: x/c2\n"
                             b"added: y/c1\nadded: y/c2\n"
                             b"summary: 1 ok, 0 changed, 2 missing, 2 added, 1 moved\n")


def hashlib_hex(data: bytes) -> str:
    import hashlib

    return hashlib.sha256(data).hexdigest()
