"""driftmoor_tree, the command's module: the same walk as the manifest's, but
every file whatever its name, and every entry left out accounted for."""

import array
import ast
import hashlib
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import driftmoor
import driftmoor_tree
from conftest import run_python, run_sha256sum

# Root opens any file; without these capabilities it is refused as anyone is.
UNPRIVILEGED = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--")


def put(path, data=None):
    data = os.urandom(41) if data is None else data
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return hashlib.sha256(data).hexdigest()


def odd_tree(top):
    """A tree holding one entry of every kind the walk can meet, and what the
    walk must make of each: (files, failures, passed_over, root), each entry
    left out as (path, its kind's name, the system's message or None)."""
    root = os.fsencode(top) + b"/tree"
    files = {
        root + b"/plain": put(root + b"/plain"),
        root + b"/latin-\xe9": put(root + b"/latin-\xe9"),
        root + b"/new\nline": put(root + b"/new\nline"),
        root + b"/sub/inner": put(root + b"/sub/inner"),
    }
    put(root + b"/unreadable")
    os.chmod(root + b"/unreadable", 0)
    put(root + b"/unlistable/hidden")
    os.chmod(root + b"/unlistable", 0)
    os.symlink(b"nowhere", root + b"/dangling")
    os.mkfifo(root + b"/fifo")
    os.symlink(b"..", root + b"/sub/up")
    os.symlink(b"plain", root + b"/to-plain")
    files[root + b"/to-plain"] = files[root + b"/plain"]
    failures = [
        (root + b"/unlistable", "UNLISTABLE_DIRECTORY", "Permission denied"),
        (root + b"/unreadable", "UNREADABLE_FILE", "Permission denied"),
    ]
    # A dangling link holds nothing to read: passed over, not failed.
    passed_over = [
        (root + b"/dangling", "DANGLING_LINK", None),
        (root + b"/fifo", "SPECIAL_FILE", None),
        (root + b"/sub/up", "LOOP", None),
    ]
    return root, (files, failures, passed_over, "DIRECTORY")


def walk_unprivileged(path, **arguments):
    # Kinds by their names, which read back as literals.
    code = (
        "import driftmoor_tree\n"
        f"w = driftmoor_tree.walk({path!r}, **{arguments!r})\n"
        "named = lambda entries: [(path, kind.name, message) for path, kind, message in entries]\n"
        "print(repr((w.files, named(w.failures), named(w.passed_over), w.root.name)))"
    )
    result = run_python(code, wrapper=UNPRIVILEGED, env={"LC_ALL": "C.UTF-8"})
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout)


def test_every_entry_is_read_or_accounted_for(tmp_path):
    root, expected = odd_tree(tmp_path)
    assert walk_unprivileged(root) == expected
    # A file standing in for the account being written into the tree.
    excluded = os.stat(root + b"/plain")
    files, failures, passed_over, kind = expected
    del files[root + b"/plain"], files[root + b"/to-plain"]
    passed_over = sorted(
        passed_over + [(root + b"/plain", "EXCLUDED", None), (root + b"/to-plain", "EXCLUDED", None)]
    )
    found = walk_unprivileged(root, exclude=(excluded.st_dev, excluded.st_ino))
    assert found == (files, failures, passed_over, kind)


def links_tree(top):
    """Links to files and directories, a diamond of links and a loop, and
    names of every script: all valid UTF-8, so the module keys every file."""
    put(f"{top}/a.txt")
    put(f"{top}/dir/ü ñ 文.bin", b"")
    put(f"{top}/dir/deeper/b")
    os.symlink("../a.txt", f"{top}/dir/to-a")
    os.symlink("dir", f"{top}/left")
    os.symlink("dir", f"{top}/right")
    os.symlink("..", f"{top}/dir/deeper/loop")
    os.symlink("gone", f"{top}/dangling")
    return top


@pytest.mark.parametrize("spelling", ["{}", "{}/", "{}//", "{}/./dir/.."])
def test_files_are_the_modules_manifest_where_every_name_is_unicode(tmp_path, spelling):
    top = spelling.format(links_tree(str(tmp_path)))
    walked = driftmoor_tree.walk(os.fsencode(top))
    assert {path.decode(): digest for path, digest in walked.files.items()} == (
        driftmoor.calculate_directory_manifest(top)
    )


@pytest.mark.parametrize(
    "root, files, kind",
    [
        ("file", lambda top: {f"{top}/file".encode(): hashlib.sha256(b"content").hexdigest()},
         driftmoor_tree.RootKind.FILE),
        ("empty-dir", lambda top: {}, driftmoor_tree.RootKind.DIRECTORY),
    ],
)
def test_a_root_that_is_a_file_is_a_tree_of_one_file(tmp_path, root, files, kind):
    put(f"{tmp_path}/file", b"content")
    os.mkdir(f"{tmp_path}/empty-dir")
    walked = driftmoor_tree.walk(f"{tmp_path}/{root}".encode())
    assert tuple(walked) == (files(tmp_path), [], [], kind)


def test_a_root_that_cannot_be_examined_fails(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"^No such file or directory \(os error 2\)$"):
        driftmoor_tree.walk(f"{tmp_path}/missing".encode())


def test_progress_counts_the_files_read(tmp_path):
    for index in range(37):
        put(f"{tmp_path}/{index}")
    counter = array.array("Q", [12345])
    walked = driftmoor_tree.walk(os.fsencode(tmp_path), progress=counter)
    assert counter[0] == len(walked.files) == 37


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"exclude": (1,)}, TypeError),
        ({"exclude": [1, 2]}, TypeError),
        ({"progress": b"12345678"}, BufferError),  # not writable
        ({"progress": bytearray(7)}, ValueError),
        ({"progress": memoryview(bytearray(16))[1:9]}, ValueError),  # not aligned
        ({"other": 1}, TypeError),
    ],
)
def test_bad_arguments(tmp_path, arguments, error):
    with pytest.raises(error):
        driftmoor_tree.walk(os.fsencode(tmp_path), **arguments)


# Names that sha256sum escapes, sorts or writes as they are. (A CR is left
# out: coreutils writes it raw, where a manifest escapes it.)
LINE_NAMES = [b"plain", b"with space", b"back\\slash", b"new\nline", b"latin-\xe9", b"Zed", b"ab"]


@pytest.mark.parametrize("format, tag", [("sha256sum", ()), ("bsd", ("--tag",))])
def test_lines_are_what_sha256sum_writes(tmp_path, format, tag):
    files = {}
    for name in LINE_NAMES:
        files[b"./" + name] = put(os.path.join(os.fsencode(tmp_path), name))
    # sha256sum in the C locale sorts nothing itself: it is handed the names
    # in byte order, as the lines must come out.
    expected = run_sha256sum(*tag, *(os.fsdecode(p) for p in sorted(files)), cwd=tmp_path)
    assert expected.returncode == 0
    assert b"".join(driftmoor_tree.manifest_lines(files, format=format)) == expected.stdout


def test_lines_come_in_chunks_of_whole_lines(tmp_path):
    files = {f"dir/{index:06}".encode(): "f" * 64 for index in range(5000)}
    chunks = driftmoor_tree.manifest_lines(files)
    assert len(chunks) > 2
    assert all(len(chunk) <= (64 << 10) + 100 and chunk.endswith(b"\n") for chunk in chunks)
    lines = b"".join(chunks).splitlines()
    assert lines == [b"f" * 64 + b"  " + path for path in sorted(files)]


def test_an_unreadable_root_file_is_a_failure(tmp_path):
    put(f"{tmp_path}/secret")
    os.chmod(f"{tmp_path}/secret", 0)
    path = f"{tmp_path}/secret".encode()
    assert walk_unprivileged(path) == (
        {}, [(path, "UNREADABLE_FILE", "Permission denied")], [], "FILE")


def test_every_descriptor_closes(tmp_path):
    root, _ = odd_tree(tmp_path)
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(5):
        driftmoor_tree.walk(root)
    assert len(os.listdir("/proc/self/fd")) == before


# Random trees: each step makes one entry in a directory made before it (0 is
# the top), some of them links to a directory or file made before, or to
# nothing. Links to directories are few, so that diamonds of them stay small.
STEP_KINDS = ["dir", "dir", "file", "file", "file", "link-to-dir", "link-to-file", "dangling", "fifo"]
steps = st.lists(
    st.tuples(st.sampled_from(STEP_KINDS), st.integers(0, 99), st.integers(0, 99)), max_size=30
).filter(lambda steps: sum(kind == "link-to-dir" for kind, _, _ in steps) <= 4)


def build(top, steps):
    directories, files = [top], [None]
    for index, (kind, where, target) in enumerate(steps):
        parent = directories[where % len(directories)]
        path = f"{parent}/e{index}"
        if kind == "dir":
            os.mkdir(path)
            directories.append(path)
        elif kind == "file":
            put(path, os.urandom(index))
            files.append(path)
        elif kind == "link-to-dir":
            os.symlink(os.path.relpath(directories[target % len(directories)], parent), path)
        elif kind == "link-to-file" and files[target % len(files)]:
            os.symlink(os.path.relpath(files[target % len(files)], parent), path)
        elif kind == "dangling":
            os.symlink("nowhere", path)
        elif kind == "fifo":
            os.mkfifo(path)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(steps=steps, jobs=st.integers(2, 8))
def test_workers_find_what_one_walk_finds(steps, jobs):
    with tempfile.TemporaryDirectory() as top:
        build(top, steps)
        alone = driftmoor_tree.walk(os.fsencode(top))
        assert driftmoor_tree.walk(os.fsencode(top), jobs=jobs) == alone
        assert {path.decode(): digest for path, digest in alone.files.items()} == (
            driftmoor.calculate_directory_manifest(top)
        )


@pytest.mark.parametrize("jobs", [1, 2, 8])
def test_a_failure_deep_in_the_tree_stops_every_worker(tmp_path, jobs):
    # Wide at the top, so every worker is busy, and one chain deeper than one
    # walk has descriptors for: the walk fails with nothing left open or
    # running. (Workers that find the end of a listing before going down
    # hold fewer listings open, and may walk the chain to its end: then the
    # whole tree comes back.)
    expected = {}
    for index in range(30):
        for name in range(20):
            path = f"{tmp_path}/wide{index}/{name}"
            expected[path.encode()] = put(path)
    deepest = f"{tmp_path}/deep" + "/d" * 80 + "/file"
    expected[deepest.encode()] = put(deepest)
    body = f"""
        import os, resource, threading, time, driftmoor_tree
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (60, hard))
        descriptors = lambda: sorted(os.listdir("/proc/self/fd"))
        threads = lambda: len(os.listdir("/proc/self/task"))
        before = (descriptors(), threads())
        try:
            outcome = driftmoor_tree.walk({os.fsencode(tmp_path)!r}, jobs={jobs}).files
        except OSError as error:
            outcome = str(error)
        # Descriptors are closed by the time the walk returns. A joined
        # thread may still be listed for a moment: the kernel wakes the
        # joiner before it takes the thread off the process's list.
        after = descriptors()
        for _ in range(500):
            if threads() == before[1]:
                break
            time.sleep(0.01)
        print(repr((outcome, (after, threads()) == before)))
    """
    result = run_python(textwrap.dedent(body))
    assert result.returncode == 0, result.stderr
    outcome, nothing_left = ast.literal_eval(result.stdout)
    assert outcome == "Too many open files (os error 24)" or (jobs > 1 and outcome == expected)
    assert nothing_left


@pytest.mark.parametrize("jobs", [2, 4])
@pytest.mark.parametrize("shape", [(5,), (5, 3), (0, 5, 5), (3, 1, 4, 1, 5)], ids=str)
def test_workers_short_of_descriptors_give_the_whole_tree_or_fail(tmp_path, shape, jobs):
    # As for one walk: whatever the count of free descriptors, the whole tree
    # or "Too many open files", never a crash or a tree with files missing.
    expected, directory = {}, os.fsencode(tmp_path)
    for level, count in enumerate(shape):
        directory += b"/d%d" % level if level else b""
        for index in range(count):
            expected[directory + b"/f%d" % index] = put(directory + b"/f%d" % index)
    os.makedirs(directory, exist_ok=True)
    body = f"""
        import os, resource, driftmoor_tree
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (96, hard))
        held = []
        try:
            while True:
                held.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        outcomes = []
        for free in range(16):
            if held:
                os.close(held.pop())
            try:
                outcomes.append(driftmoor_tree.walk({os.fsencode(tmp_path)!r}, jobs={jobs}).files)
            except OSError as error:
                outcomes.append(str(error))
        print(repr(outcomes))
    """
    result = run_python(textwrap.dedent(body))
    assert result.returncode == 0, result.stderr
    outcomes = ast.literal_eval(result.stdout)
    too_many = "Too many open files (os error 24)"
    assert [outcome for outcome in outcomes if outcome not in (expected, too_many)] == []
    assert outcomes[-1] == expected


def test_a_link_that_turns_into_a_directory_while_handed_over(tmp_path):
    # Links to one target that another process keeps switching between a
    # file and a directory: a worker may hand a link it found to be a file
    # to another worker, which must read it as the file it was found to be
    # (or find it vanished), never walk a directory in the middle of a list
    # of files. Every key is then a link's own path, or a path below one.
    put(f"{tmp_path}/file")
    put(f"{tmp_path}/dir/inside")
    for branch in range(40):
        os.makedirs(f"{tmp_path}/tree/b{branch}")
        for index in range(60):
            os.symlink(f"{tmp_path}/flip", f"{tmp_path}/tree/b{branch}/l{index}")
    switch = f"""
        import os
        while True:
            for name in ("file", "dir"):
                os.symlink("{tmp_path}/" + name, "{tmp_path}/next")
                os.replace("{tmp_path}/next", "{tmp_path}/flip")
    """
    walks = f"""
        import re, driftmoor_tree
        for _ in range(20):
            walked = driftmoor_tree.walk({os.fsencode(tmp_path / "tree")!r}, jobs=2)
            print(repr([key for key in walked.files
                        if not re.fullmatch(rb".*/tree/b\\d+/l\\d+(/inside)?", key)]))
    """
    switching = subprocess.Popen([sys.executable, "-c", textwrap.dedent(switch)])
    try:
        result = run_python(textwrap.dedent(walks), timeout=120)
    finally:
        switching.kill()
        switching.wait()
    assert result.returncode == 0, result.stderr
    assert set(result.stdout.splitlines()) == {"[]"}


@pytest.mark.parametrize("files", [1, 3])
def test_many_workers_on_few_files_finish(tmp_path, files):
    # More workers than work: the files must be read, not passed from idle
    # worker to idle worker (which once went on for minutes).
    expected = {os.fsencode(f"{tmp_path}/f{index}"): put(f"{tmp_path}/f{index}")
                for index in range(files)}
    body = f"""
        import driftmoor_tree
        print(repr([driftmoor_tree.walk({os.fsencode(tmp_path)!r}, jobs=64).files
                    for _ in range(20)]))
    """
    result = run_python(textwrap.dedent(body), timeout=60)
    assert result.returncode == 0, result.stderr
    assert ast.literal_eval(result.stdout) == [expected] * 20


@pytest.mark.parametrize("path, mark, shown", [
    (b"plain", b"", b"plain"),
    (b"", b"", b""),
    (b"back\\slash", b"\\", b"back\\\\slash"),
    (b"line\nfeed\r", b"\\", b"line\\nfeed\\r"),
    (b"\\n is not a line feed", b"\\", b"\\\\n is not a line feed"),
    (b"caf\xe9 \xff", b"", b"caf\xe9 \xff"),
])
def test_one_escaping_rule_writes_and_reads_every_line(path, mark, shown):
    assert driftmoor_tree.escape_path(path) == (mark, shown)
    assert driftmoor_tree.unescape_path(shown) == path
    if mark:
        # What manifest_lines writes follows the same rule.
        (line,) = driftmoor_tree.manifest_lines({path: "0" * 64})
        assert line == mark + b"0" * 64 + b"  " + shown + b"\n"


@pytest.mark.parametrize("text", [b"\\", b"ends in \\", b"\\t", b"\\0", b"a\\\\\\"])
def test_an_escape_other_than_the_three_reads_as_none(text):
    assert driftmoor_tree.unescape_path(text) is None
