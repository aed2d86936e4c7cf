"""The command's walk stays in the tree it was given: which links it
follows under each --links rule, judged by where the link's target really
lies (never by a name read again, so a link swapped meanwhile cannot lead
it out); -x keeps it on one file system; dangling links are passed over,
so an unchanged tree that holds some checks clean."""

import hashlib
import os
import subprocess
import threading
import time

import pytest

from conftest import DRIFTMOOR, command_env, run_driftmoor


def digest(data):
    return hashlib.sha256(data).hexdigest()


def link_tree(top):
    """t/, holding a link of every shape, and outside/ beside it."""
    for path, data in [("t/a", b"a"), ("t/sub/s", b"s"), ("outside/o", b"OUTSIDE")]:
        (top / path).parent.mkdir(parents=True, exist_ok=True)
        (top / path).write_bytes(data)
    links = {
        "file-in": "a",
        "file-in-absolute": f"{top}/t/a",
        "file-out": "../outside/o",
        "file-out-absolute": f"{top}/outside/o",
        "dir-in": "sub",
        "dir-out": "../outside",
        "chain-in": "file-in",
        "chain-out": "file-out",
        "out-and-back": "../outside/back",
        "dangling": "nowhere",
        "sub/up": "..",
    }
    os.symlink("../t/a", top / "outside/back")
    for name, target in links.items():
        os.symlink(target, top / "t" / name)


A, S, O = digest(b"a"), digest(b"s"), digest(b"OUTSIDE")
IN_THE_TREE = {"t/a": A, "t/sub/s": S}
FOLLOWED_INSIDE = {"t/file-in": A, "t/file-in-absolute": A, "t/dir-in/s": S,
                   "t/chain-in": A, "t/out-and-back": A}
FOLLOWED_OUTSIDE = {"t/file-out": O, "t/file-out-absolute": O, "t/dir-out/o": O,
                    "t/chain-out": O, "t/dir-out/back": A}
OUT = ["t/file-out", "t/file-out-absolute", "t/dir-out", "t/chain-out"]
NOT_FOLLOWED = ["t/file-in", "t/file-in-absolute", "t/file-out", "t/file-out-absolute",
                "t/dir-in", "t/dir-out", "t/chain-in", "t/chain-out", "t/out-and-back",
                "t/dangling", "t/sub/up"]
LOOP = "loop: a directory it is already below"

# For each rule: the files read, and what is passed over, why.
RULES = {
    "inside": (IN_THE_TREE | FOLLOWED_INSIDE,
               {path: "link out of the tree" for path in OUT}
               | {"t/dangling": "dangling link", "t/sub/up": LOOP, "t/dir-in/up": LOOP}),
    "all": (IN_THE_TREE | FOLLOWED_INSIDE | FOLLOWED_OUTSIDE,
            {"t/dangling": "dangling link", "t/sub/up": LOOP, "t/dir-in/up": LOOP}),
    "none": (IN_THE_TREE, {path: "link not followed" for path in NOT_FOLLOWED}),
}


def manifest_lines(files):
    return "".join(f"{files[path]}  {path}\n" for path in sorted(files)).encode()


@pytest.mark.parametrize("jobs", ["1", "4"])
@pytest.mark.parametrize("rule", RULES)
def test_each_link_rule_reads_and_passes_over_what_it_says(tmp_path, rule, jobs):
    link_tree(tmp_path)
    files, passed_over = RULES[rule]
    result = run_driftmoor("manifest", "-v", "--links", rule, "-j", jobs, "t", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == manifest_lines(files)
    named = [f"driftmoor: {path}: passed over: {why}\n" for path, why in sorted(passed_over.items())]
    counts = f"driftmoor: {len(files)} files written, 0 unreadable, {len(passed_over)} passed over\n"
    assert result.stderr.decode() == "".join(named) + counts


def test_a_check_reads_what_its_manifest_lists_wherever_its_links_lead(tmp_path):
    # Written when every link was followed: the links out of the tree are
    # listed, and a check of the unchanged tree, walking inside alone,
    # still reads them, through their links, and checks clean (the link to
    # a directory outside, itself no file, is passed over beside the
    # dangling link and the loops).
    link_tree(tmp_path)
    (tmp_path / "all.sums").write_bytes(
        run_driftmoor("manifest", "--links", "all", "t", cwd=tmp_path).stdout)
    result = run_driftmoor("check", "-q", "all.sums", "t", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    listed = len(RULES["all"][0])
    assert result.stdout.decode() == (f"summary: {listed} ok, 0 changed, 0 missing, 0 added, 0 moved, "
                                      "0 unreadable, 4 passed over\n")
    # The outside file changed: the listed link to it says so.
    (tmp_path / "outside/o").write_bytes(b"changed outside")
    changed = run_driftmoor("check", "-q", "all.sums", "t", cwd=tmp_path)
    assert changed.returncode == 1
    assert changed.stdout.decode().splitlines()[:4] == [
        "changed: t/chain-out", "changed: t/dir-out/o", "changed: t/file-out",
        "changed: t/file-out-absolute"]


def test_an_unchanged_tree_with_dangling_links_checks_clean_every_night(tmp_path):
    (tmp_path / "t").mkdir()
    (tmp_path / "t/a").write_bytes(b"a")
    for number in range(25):
        os.symlink(f"gone-{number}", tmp_path / f"t/dangling-{number}")
    written = run_driftmoor("manifest", "t", cwd=tmp_path)
    assert (written.returncode, written.stderr) == (0, b"")
    (tmp_path / "t.sums").write_bytes(written.stdout)
    for _ in range(2):
        night = run_driftmoor("check", "--quiet", "t.sums", "t", cwd=tmp_path)
        assert (night.returncode, night.stderr) == (0, b"")
        assert night.stdout == (b"summary: 1 ok, 0 changed, 0 missing, 0 added, 0 moved, 0 unreadable, "
                                b"25 passed over\n")
    # A listed file that has become a dangling link is missing.
    (tmp_path / "t/a").unlink()
    os.symlink("gone", tmp_path / "t/a")
    gone = run_driftmoor("check", "--quiet", "t.sums", "t", cwd=tmp_path)
    assert gone.returncode == 1
    assert gone.stdout.startswith(b"missing: t/a\n")


def test_a_link_swapped_during_the_walk_never_leads_it_out(tmp_path):
    # Each link turns, again and again, from a file in the tree to one
    # outside it (by rename: at every moment it leads to one or the other).
    (tmp_path / "t").mkdir()
    (tmp_path / "t/a").write_bytes(b"a")
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside/o").write_bytes(b"OUTSIDE")
    names = [f"t/link-{number}" for number in range(100)]
    for name in names:
        os.symlink("a", tmp_path / name)
    stop = threading.Event()

    def swap():
        turn = 0
        while not stop.is_set():
            target = "../outside/o" if turn % 2 == 0 else "a"
            for name in names:
                os.symlink(target, tmp_path / f"{name}.new")
                os.rename(tmp_path / f"{name}.new", tmp_path / name)
            turn += 1

    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        outputs = []
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            outputs.append(run_driftmoor("manifest", "-j", "2", "t", cwd=tmp_path))
    finally:
        stop.set()
        swapper.join()
    for result in outputs:
        assert result.returncode == 0, result.stderr
        assert O.encode() not in result.stdout  # nothing outside was ever read
        assert A.encode() + b"  t/a\n" in result.stdout


@pytest.fixture
def mounted(tmp_path):
    """t/ with a tmpfs mounted at t/mnt, and a link to it from t/; the
    mount is undone however the test ends."""
    (tmp_path / "t/mnt").mkdir(parents=True)
    (tmp_path / "t/a").write_bytes(b"a")
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs",
                            tmp_path / "t/mnt"], capture_output=True)
    if mount.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mount.stderr.decode().strip()}")
    try:
        (tmp_path / "t/mnt/m").write_bytes(b"m")
        os.symlink("mnt", tmp_path / "t/to-mnt")
        yield tmp_path
    finally:
        subprocess.run(["umount", tmp_path / "t/mnt"], check=True)


@pytest.mark.parametrize("arguments, files, passed_over", [
    ((), ["t/a", "t/mnt/m", "t/to-mnt/m"], []),
    (("-x",), ["t/a"], ["t/mnt", "t/to-mnt"]),
    (("-x", "--links", "none"), ["t/a"], ["t/mnt"]),
])
def test_one_file_system_passes_over_mount_points(mounted, arguments, files, passed_over):
    result = run_driftmoor("manifest", "-v", *arguments, "t", cwd=mounted)
    assert result.returncode == 0, result.stderr
    assert [line.split(b"  ", 1)[1] for line in result.stdout.splitlines()] == [
        path.encode() for path in files]
    other = [f"driftmoor: {path}: passed over: other file system\n" for path in passed_over]
    assert [line for line in result.stderr.decode().splitlines(keepends=True)
            if "other file system" in line] == other


def test_a_stream_posing_as_a_file_at_the_top_is_never_waited_on():
    # /proc/kmsg is a regular file whose reads wait for the kernel's next
    # message: opened as any file of a walk is, it is refused, not waited on.
    if not os.access("/proc/kmsg", os.R_OK):
        pytest.skip("needs /proc/kmsg, readable")
    result = subprocess.run([DRIFTMOOR, "manifest", "/proc/kmsg"], capture_output=True,
                            env=command_env(), timeout=30)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr == b"driftmoor: /proc/kmsg: Resource temporarily unavailable\n"
