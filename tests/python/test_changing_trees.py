"""calculate_directory_manifest over a tree that others change while it is
walked: every call returns or fails cleanly, every digest it gives is of a
content its file really held, and no pipe renamed into the tree is opened.

DRIFTMOOR_STRESS_SECONDS (default 2) sets how long the writers run."""

import ast
import json
import os
import subprocess
import sys
import textwrap

from conftest import run_python

SECONDS = float(os.environ.get("DRIFTMOOR_STRESS_SECONDS", "2"))

# A writer owns some directories of the tree, and a side directory where it
# prepares what it renames in. It records every content each path held and
# every target each link pointed to, and counts opens of the pipes it
# renamed in, which it watches with inotify (O_PATH opens are not reported).
WRITER = textwrap.dedent(
    r"""
    import ctypes, hashlib, json, os, random, shutil, struct, time

    IN_OPEN, IN_NONBLOCK = 0x20, 0o4000
    libc = ctypes.CDLL(None, use_errno=True)

    def write(owned, side, seconds, seed, record_path):
        rng = random.Random(seed)
        watch = libc.inotify_init1(IN_NONBLOCK)
        assert watch >= 0
        contents, links, current = {}, {}, {}
        serial = 0

        def note(path, digest):
            contents.setdefault(path, []).append(digest)
            current[path] = digest

        def fresh_file(path, data):
            nonlocal serial
            serial += 1
            staged = f"{side}/{serial}"
            with open(staged, "wb") as f:
                f.write(data)
            note(path, hashlib.sha256(data).hexdigest())
            return staged

        def clear(path):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.unlink(path)
            current.pop(path, None)

        for directory in owned:
            for name in os.listdir(directory):
                path = f"{directory}/{name}"
                with open(path, "rb") as f:
                    note(path, hashlib.sha256(f.read()).hexdigest())
        targets = [f"{side}/target{index}" for index in range(4)]
        for target in targets:
            os.rename(fresh_file(target, os.urandom(100)), target)

        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            directory = rng.choice(owned)
            names = os.listdir(directory)
            path = f"{directory}/{rng.choice(names) if names else 'new'}"
            action = rng.randrange(10)
            if action == 0:  # a new entry
                path = f"{directory}/new{rng.randrange(1000)}"
                if not os.path.lexists(path):
                    os.rename(fresh_file(path, os.urandom(rng.randrange(3000))), path)
            elif action == 1:  # gone
                clear(path)
            elif action == 2 and path in current:  # moved to another name
                moved = f"{directory}/moved{rng.randrange(1000)}"
                if not os.path.lexists(moved):
                    note(moved, current.pop(path))
                    os.rename(path, moved)
            elif action == 3:  # a directory in its place
                serial += 1
                staged = f"{side}/{serial}"
                os.mkdir(staged)
                os.chmod(staged, 0o777)
                inner = fresh_file(f"{path}/inner", os.urandom(50))
                os.rename(inner, f"{staged}/inner")
                clear(path)
                os.rename(staged, path)
            elif action == 4:  # a link in its place
                serial += 1
                staged, target = f"{side}/{serial}", rng.choice(targets)
                os.symlink(target, staged)
                links.setdefault(path, []).append(target)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                os.rename(staged, path)
                current.pop(path, None)
            elif action == 5:  # a pipe in its place, under a name or a link's target
                serial += 1
                staged = f"{side}/{serial}"
                os.mkfifo(staged)
                assert libc.inotify_add_watch(watch, staged.encode(), IN_OPEN) >= 0
                if rng.randrange(2):
                    path = rng.choice(targets)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                os.rename(staged, path)
                current.pop(path, None)
            elif action == 9:  # the directory renamed away and back, a few times
                serial += 1
                away = f"{side}/{serial}"
                for _ in range(200):
                    os.rename(directory, away)
                    os.rename(away, directory)
            else:  # new content, renamed over the old (files and link targets)
                if rng.randrange(3) == 0:
                    path = rng.choice(targets)
                if not (os.path.isdir(path) and not os.path.islink(path)):
                    os.rename(fresh_file(path, os.urandom(rng.randrange(3000))), path)

        opens = 0
        try:
            events = os.read(watch, 1 << 20)
        except BlockingIOError:
            events = b""
        while events:
            _, mask, _, length = struct.unpack_from("iIII", events)
            opens += bool(mask & IN_OPEN)
            events = events[16 + length:]
        with open(record_path, "w") as f:
            json.dump({"contents": contents, "links": links, "pipe_opens": opens}, f)
    """
)

WALKER = textwrap.dedent(
    """
    import subprocess, sys, threading, time
    import driftmoor
    exec(WRITER)
    tree, halves, sides, records = top + "/tree", halves, sides, records
    other = subprocess.Popen([sys.executable, "-c", WRITER + "write(*ARGS)".replace(
        "ARGS", repr((halves[1], sides[1], seconds, 2, records[1])))])
    writer = threading.Thread(target=write, args=(halves[0], sides[0], seconds, 1, records[0]))
    writer.start()
    outcomes = []
    while writer.is_alive() or other.poll() is None:
        try:
            outcomes.append(driftmoor.calculate_directory_manifest(tree))
        except OSError as e:
            outcomes.append(type(e).__name__)
    writer.join()
    assert other.wait() == 0
    print(repr(outcomes))
    """
)


def test_a_tree_changing_under_the_walk(tmp_path):
    top = str(tmp_path)
    # Directories anyone may write: the walk must assume others swap names.
    halves = [[], []]
    for index in range(40):
        directory = f"{top}/tree/d{index:02}"
        os.makedirs(directory)
        halves[index % 2].append(directory)
        for name in range(75):
            with open(f"{directory}/f{name:02}", "wb") as f:
                f.write(os.urandom(name * 40))
    for directory, _, _ in os.walk(f"{top}/tree"):
        os.chmod(directory, 0o777)
    sides = [f"{top}/side0", f"{top}/side1"]
    for side in sides:
        os.mkdir(side)
    records = [f"{top}/record0.json", f"{top}/record1.json"]

    code = f"WRITER = {WRITER!r}\ntop, halves, sides, records, seconds = " + repr(
        (top, halves, sides, records, SECONDS)) + "\n" + WALKER
    try:
        result = run_python(code, timeout=60 + 4 * SECONDS)
    except subprocess.TimeoutExpired:
        raise AssertionError("a walk of the changing tree never returned") from None
    assert result.returncode == 0, result.stderr
    outcomes = ast.literal_eval(result.stdout)

    contents, links, pipe_opens = {}, {}, 0
    for record in records:
        with open(record) as f:
            written = json.load(f)
        for path, digests in written["contents"].items():
            contents.setdefault(path, set()).update(digests)
        for path, targets in written["links"].items():
            links.setdefault(path, set()).update(targets)
        pipe_opens += written["pipe_opens"]

    assert pipe_opens == 0
    # Entries that go or change type between listing and use are passed
    # over: no change the writers make may fail a walk.
    walks = [outcome for outcome in outcomes if isinstance(outcome, dict)]
    assert walks == outcomes, [outcome for outcome in outcomes if outcome not in walks]
    assert len(walks) >= 2
    for manifest in walks:
        for path, digest in manifest.items():
            held = set(contents.get(path, ()))
            for target in links.get(path, ()):
                held |= contents.get(target, set())
            assert digest in held, path
    print(f"{len(walks)} walks, {sum(map(len, walks))} digests", file=sys.stderr)
