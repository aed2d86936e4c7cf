"""calculate_directory_manifest: the SHA-256 of every regular file at or below
a directory, keyed by its path as the caller spelled the directory."""

import ast
import hashlib
import os
import socket
import stat
import subprocess
import textwrap
import threading

import pytest

from conftest import run_python
from driftmoor import calculate_directory_manifest, calculate_hash, compare_hashes
from python_walker import python_walker

MISSING = ("FileNotFoundError", ("The specified directory does not exist",))
DENIED = ("PermissionError", ("Permission denied (os error 13)",))
TOO_MANY_FILES = ("OSError", ("Too many open files (os error 24)",))
# Root opens any file; without these capabilities it is refused as anyone is.
UNPRIVILEGED = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def put(path, data=None):
    data = os.urandom(37) if data is None else data
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return sha(data)


CHILD = textwrap.dedent(
    """
    import os, driftmoor
    if cwd is not None:
        os.chdir(cwd)
    def outcome(path):
        try:
            return ("ok", driftmoor.calculate_directory_manifest(path))
        except OSError as e:
            return (type(e).__name__, e.args)
    """
)
# The outcome, and how many descriptors ten more calls left open.
REPORT = """
    first = outcome(dir_path)
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(10):
        assert outcome(dir_path) == first
    print(repr((first, len(os.listdir("/proc/self/fd")) - before)))
"""


def in_child(body=REPORT, *, timeout=60, wrapper=(), cwd=None, **values):
    """Runs body in a fresh interpreter, so a walk that hangs ends in a timeout
    and one that crashes fails only this test; body prints a literal."""
    assignments = "".join(f"{name} = {value!r}\n" for name, value in values.items())
    code = f"cwd = {cwd!r}\n{assignments}{CHILD}{textwrap.dedent(body)}"
    try:
        result = run_python(code, timeout=timeout, wrapper=wrapper)
    except subprocess.TimeoutExpired:
        pytest.fail("calculate_directory_manifest never returned")
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout)


def simple_tree(root):
    return {"a.txt": put(f"{root}/a.txt"), "sub/b.txt": put(f"{root}/sub/b.txt")}


@pytest.mark.parametrize(
    "cwd, spelling, prefix",
    [
        ("", "d", "d/"),
        ("", "d/", "d/"),
        ("", "./d", "./d/"),
        ("", "d//", "d//"),
        ("", "link", "link/"),
        ("", "ABSOLUTE", "ABSOLUTE/"),
        ("", "ABSOLUTE/", "ABSOLUTE/"),
        ("d", ".", "./"),
        ("d", "../d/./", "../d/./"),
        ("d/sub", "..", "../"),
    ],
)
def test_keys_keep_the_callers_spelling(tmp_path, monkeypatch, cwd, spelling, prefix):
    files = simple_tree(tmp_path / "d")
    os.symlink("d", tmp_path / "link")
    monkeypatch.chdir(tmp_path / cwd)
    absolute = f"{tmp_path}/d"
    spelling, prefix = spelling.replace("ABSOLUTE", absolute), prefix.replace("ABSOLUTE", absolute)
    expected = {prefix + name: digest for name, digest in files.items()}
    assert calculate_directory_manifest(spelling) == expected


def test_names_are_kept_exactly_and_compared_byte_for_byte(tmp_path):
    names = ["A.txt", "a.txt", "x\\y", "with space .txt", "new\nline", "tab\tand\rcr",
             "données-日本.txt", "caf\u00e9", "cafe\u0301", "\U0001f600", "-", " ",
             "é" * 127 + "x"]  # the longest name the system allows: 255 bytes
    expected = {f"{tmp_path}/{name}": put(f"{tmp_path}/{name}") for name in names}
    # "x\y" the file name against x/y the path: a backslash separates nothing here.
    expected[f"{tmp_path}/x/y"] = put(f"{tmp_path}/x/y")
    got = calculate_directory_manifest(str(tmp_path))
    assert got == expected
    assert len(set(got.values())) == len(expected)  # no two paths share an entry


VALID_NAMES = [b"\xc3\xa9", b"\xef\xbf\xbf", b"\xf4\x8f\xbf\xbf", b"\xed\x9f\xbf",
               b"\xee\x80\x80", b"\xf0\x9f\x98\x80", b"abcdefgh\xc3\xa9", b"abcdefghijklmnop"]
INVALID_NAMES = [b"\xff", b"bad\xff.txt", b"\x80", b"\xc2", b"\xc0\xaf", b"\xe0\x80\xaf",
                 b"\xf0\x80\x80\xaf", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xf4\x90\x80\x80",
                 b"\xf5\x80\x80\x80", b"\xe6\x97", b"\xe6\x97x", b"\xc3\xa9\xc3", b"\xe2\x82\x28",
                 b"\xf0\x9f\x98x", b"abcdefgh\xff", b"abcdefghijklmno\x80", b"12345678\xfe12"]


@pytest.mark.parametrize("where", ["file", "directory"])
@pytest.mark.parametrize("raw", VALID_NAMES + INVALID_NAMES)
def test_paths_without_unicode_text_are_left_out(tmp_path, raw, where):
    top = os.fsencode(tmp_path)
    control = put(top + b"/ok.txt", b"control")
    path = top + b"/" + raw + (b"/f.txt" if where == "directory" else b"")
    digest = put(path)
    expected = {f"{tmp_path}/ok.txt": control}
    try:
        expected[path.decode("utf-8")] = digest
    except UnicodeDecodeError:
        pass
    if where == "directory":
        # Under a name with Unicode text, the same directory's file does count.
        os.symlink(raw, top + b"/alias")
        expected[f"{tmp_path}/alias/f.txt"] = digest
    assert calculate_directory_manifest(str(tmp_path)) == expected


def build_everything(root):
    os.makedirs(f"{root}/nested/a/b/c")
    for size in [0, 1, 63, 64, 65535, 65536, 200_003]:
        put(f"{root}/sizes/{size}.bin", os.urandom(size))
    put(f"{root}/nested/a/b/c/deep.txt")
    put(f"{root}/nested/a/top.txt")
    os.makedirs(f"{root}/empty")
    os.makedirs(f"{root}/only_dirs/x/y/z")
    for name in ["with space.txt", "new\nline.txt", "back\\slash.txt", "données-日本.txt"]:
        put(f"{root}/names/{name}")
    os.symlink("nested/a/b/c/deep.txt", f"{root}/link_to_file")
    os.symlink("nested/a", f"{root}/link_to_dir")
    os.symlink("nothing here", f"{root}/dangling")
    os.symlink("loop", f"{root}/loop")
    os.symlink("../../..", f"{root}/nested/a/b/up")  # back to the root
    os.symlink(".", f"{root}/nested/a/self")
    put(f"{root}/sib1/f.txt")
    put(f"{root}/sib2/g.txt")
    os.symlink("../sib2", f"{root}/sib1/to_sib2")
    os.symlink("../sib1", f"{root}/sib2/to_sib1")
    put(os.fsencode(root) + b"/bad\xff.txt")
    put(os.fsencode(root) + b"/dir\xfe/deeper/inside.txt")
    os.symlink(b"dir\xfe", os.fsencode(root) + b"/alias")
    # Opened, each of these could wait forever or never end.
    os.mkfifo(f"{root}/fifo")
    os.mkfifo(f"{root}/nested/a/fifo")
    os.symlink("fifo", f"{root}/link_to_fifo")
    os.symlink("/dev/zero", f"{root}/link_to_zero")
    os.mknod(f"{root}/zero", stat.S_IFCHR | 0o600, os.makedev(1, 5))
    here = os.getcwd()
    os.chdir(root)  # a socket's path must fit in about 107 bytes
    try:
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind("sock")
    finally:
        os.chdir(here)
    os.symlink("sock", f"{root}/link_to_sock")


@pytest.mark.parametrize("spelling", ["tree", "./tree/", "tree//", "ABSOLUTE"])
def test_generated_tree_matches_the_reference(tmp_path, monkeypatch, spelling):
    build_everything(tmp_path / "tree")
    spelling = spelling.replace("ABSOLUTE", f"{tmp_path}/tree")
    monkeypatch.chdir(tmp_path)
    got = in_child(cwd=str(tmp_path), dir_path=spelling)
    expected = python_walker(spelling)
    assert got == (("ok", expected), 0)
    # The reference must itself have seen what the walk is asked to find.
    prefix = spelling if spelling.endswith("/") else spelling + "/"
    for name in ["link_to_file", "link_to_dir/b/c/deep.txt", "sib1/to_sib2/g.txt",
                 "sib2/to_sib1/f.txt", "alias/deeper/inside.txt", "names/new\nline.txt",
                 "nested/a/b/c/deep.txt", "sizes/0.bin"]:
        assert prefix + name in expected
    assert len(expected) == 21
    assert expected[prefix + "link_to_file"] == expected[prefix + "nested/a/b/c/deep.txt"]


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda d: os.makedirs(f"{d}/x/y/z"), id="only-directories"),
        pytest.param(lambda d: None, id="empty"),
        pytest.param(lambda d: os.symlink(".", f"{d}/me"), id="only-a-cycle"),
        pytest.param(lambda d: os.mkfifo(f"{d}/fifo"), id="only-a-fifo"),
    ],
)
def test_trees_without_files(tmp_path, make):
    make(tmp_path)
    assert in_child(dir_path=str(tmp_path)) == (("ok", {}), 0)


def test_cycles_are_passed_over_and_the_rest_is_found(tmp_path):
    files = {name: put(f"{tmp_path}/{name}") for name in ["r.txt", "a/x.txt", "a/b/y.txt"]}
    os.symlink("../..", f"{tmp_path}/a/b/to_root")
    os.symlink("..", f"{tmp_path}/a/b/to_a")
    os.symlink("b", f"{tmp_path}/a/to_b")  # not a cycle: b is a sibling, not an ancestor
    files["a/to_b/y.txt"] = files["a/b/y.txt"]
    expected = {f"{tmp_path}/{name}": digest for name, digest in files.items()}
    assert in_child(dir_path=str(tmp_path)) == (("ok", expected), 0)


@pytest.mark.parametrize(
    "make_path",
    [
        pytest.param(lambda d: str(d / "missing"), id="missing"),
        pytest.param(lambda d: str(d / "missing" / "below"), id="missing-parent"),
        pytest.param(lambda d: "", id="empty"),
        pytest.param(lambda d: "\0", id="nul"),
        pytest.param(lambda d: f"{d}\0/x", id="nul-after-a-directory"),
        pytest.param(lambda d: os.symlink("gone", d / "dangling") or str(d / "dangling"),
                     id="dangling-link"),
        pytest.param(lambda d: put(f"{d}/file", b"x") and f"{d}/file/below", id="below-a-file"),
    ],
)
def test_missing_directory(tmp_path, make_path):
    path = make_path(tmp_path)
    with pytest.raises(OSError) as caught:
        calculate_directory_manifest(path)
    assert (type(caught.value).__name__, caught.value.args) == MISSING


@pytest.mark.parametrize("name", ["file", "link"])
def test_a_file_is_no_directory(tmp_path, name):
    put(f"{tmp_path}/file", b"content")
    os.symlink("file", tmp_path / "link")
    assert calculate_directory_manifest(f"{tmp_path}/{name}") == {}


@pytest.mark.parametrize(
    "locked, mode, fails",
    [
        pytest.param(["tree/locked.txt", "tree/sub/locked.txt"], 0, False, id="unreadable-files"),
        pytest.param(["tree/sub/dir"], 0o000, True, id="unlistable-subdirectory"),
        pytest.param(["tree/sub/dir"], 0o111, True, id="searchable-not-listable"),
        pytest.param(["tree"], 0o000, True, id="unlistable-top"),
        pytest.param(["outside"], 0o000, True, id="unlistable-through-a-link"),
    ],
)
def test_permission(tmp_path, locked, mode, fails):
    for name in ["ok.txt", "sub/ok.txt", "locked.txt", "sub/locked.txt", "sub/dir/inside.txt"]:
        put(f"{tmp_path}/tree/{name}")
    put(f"{tmp_path}/outside/inside.txt")
    os.symlink("../outside", f"{tmp_path}/tree/link")
    os.symlink("locked.txt", f"{tmp_path}/tree/link_to_locked")
    everything = python_walker(f"{tmp_path}/tree")
    for path in locked:
        os.chmod(f"{tmp_path}/{path}", mode)
    try:
        wrapper = UNPRIVILEGED if os.geteuid() == 0 else ()
        got = in_child(wrapper=wrapper, dir_path=f"{tmp_path}/tree")
    finally:
        for path in locked:
            os.chmod(f"{tmp_path}/{path}", 0o755)
    if fails:
        # A directory that cannot be listed fails the whole call.
        assert got == (DENIED, 0)
    else:
        # A file that cannot be opened is left out; the rest is all there.
        expected = {key: digest for key, digest in everything.items() if "locked" not in key}
        assert len(expected) == 4
        assert got == (("ok", expected), 0)


def test_300_levels(tmp_path):
    path = str(tmp_path)
    for level in range(300):
        path += f"/{level % 10}"
        if level % 50 == 0 or level == 299:
            put(f"{path}/f{level}.txt")
    os.symlink(str(tmp_path), f"{path}/to_top")
    expected = python_walker(str(tmp_path))
    assert len(expected) == 7
    assert calculate_directory_manifest(str(tmp_path)) == expected


@pytest.mark.parametrize("depth", [3000, 20_000])
def test_deep_trees(tmp_path, depth):
    root, data = str(tmp_path), os.urandom(100)
    # Built and removed by moving the working directory down and up, so that
    # no path grows past the system's limit and no descriptor stays open.
    body = """
        os.chdir(dir_path)
        for _ in range(depth):
            os.mkdir("d")
            os.chdir("d")
        with open("f", "wb") as f:
            f.write(data)
        os.chdir(dir_path)
        got = outcome(dir_path)
        for _ in range(depth):
            os.chdir("d")
        os.unlink("f")
        for _ in range(depth):
            os.chdir("..")
            os.rmdir("d")
        print(repr(got))
    """
    got = in_child(body, timeout=250, dir_path=root, depth=depth, data=data)
    expected = ("ok", {root + "/d" * depth + "/f": sha(data)})
    if depth < 10_000:
        # The key is longer than any path the system resolves in one go:
        # the walk must still find the file.
        assert len(root + "/d" * depth) > os.pathconf(root, "PC_PATH_MAX")
        assert got == expected
    else:
        # One listing open per level: running out of descriptors may fail
        # the call, but it must never pass for an empty tree.
        assert got == expected or got == TOO_MANY_FILES


def test_running_out_of_descriptors_fails_the_call(tmp_path):
    # One chain per depth around where the descriptors run out: deeper ones
    # need one more listing each. At the shallowest that fails, the listings
    # all fit and only opening the file fails, which must not leave it out.
    chains = []
    for depth in range(20, 60):
        path = f"{tmp_path}/{depth}" + "/d" * depth + "/f"
        chains.append((f"{tmp_path}/{depth}", {path: put(path)}))
    body = """
        import resource
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (40, hard))
        print(repr([outcome(path) for path in paths]))
    """
    got = in_child(body, paths=[path for path, _ in chains])
    first_failure = got.index(TOO_MANY_FILES)
    assert 0 < first_failure
    expected = [("ok", manifest) for _, manifest in chains[:first_failure]]
    assert got == expected + [TOO_MANY_FILES] * (len(chains) - first_failure)


def test_files_read_ahead_are_never_lost_to_a_shortage_of_descriptors(tmp_path):
    # More files than the walk holds open ahead, in two levels. With k
    # descriptors free, opening ahead runs short for most k; only when the
    # two listings and one file cannot all be open at once may the call fail.
    expected = {}
    for index in range(100):
        for where in (f"{tmp_path}/{index:03}", f"{tmp_path}/sub/{index:03}"):
            expected[where] = put(where)
    body = """
        import resource
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
        def take_all():
            taken = []
            try:
                while True:
                    taken.append(os.open("/dev/null", os.O_RDONLY))
            except OSError:
                return taken
        held = take_all()
        outcomes = []
        for free in range(24):
            for _ in range(free):
                os.close(held.pop())
            got = outcome(dir_path)
            # Whatever the call left open can no longer be taken.
            left = take_all()
            outcomes.append((got, free - len(left)))
            held += left
        print(repr(outcomes))
    """
    got = in_child(body, dir_path=str(tmp_path))
    assert got == [(TOO_MANY_FILES, 0)] * 3 + [(("ok", expected), 0)] * 21


# Trees as the number of files at each level of one chain of directories:
# (0, 5, 5) is a top with no files, one subdirectory holding five files and
# one more directory below that with five more.
DESCRIPTOR_SWEEP_SHAPES = [(5,), (5, 3), (0, 5, 5), (3, 1, 4, 1, 5)]


@pytest.mark.parametrize("shape", DESCRIPTOR_SWEEP_SHAPES, ids=str)
def test_every_count_of_free_descriptors_gives_the_whole_tree_or_fails(tmp_path, shape):
    # Reading ahead runs short of descriptors at every point of a small tree
    # for one count or another: on the last file of a directory, just before
    # its listing ends, the file left for its turn must still open. One call
    # per child, so a crash fails only its own count.
    expected, directory = {}, str(tmp_path)
    for level, count in enumerate(shape):
        if level:
            directory += f"/d{level}"
        for index in range(count):
            expected[f"{directory}/f{index}"] = put(f"{directory}/f{index}")
    os.makedirs(directory, exist_ok=True)
    body = """
        import resource
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (96, hard))
        held = []
        try:
            while True:
                held.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        for _ in range(free):
            os.close(held.pop())
        print(repr(outcome(dir_path)))
    """
    outcomes = [in_child(body, dir_path=str(tmp_path), free=free) for free in range(13)]
    # One listing per level and the file being read must fit; from there on
    # the whole tree, however little is left over for reading ahead.
    needed = len(shape) + 1
    assert outcomes == [TOO_MANY_FILES] * needed + [("ok", expected)] * (13 - needed)


def slow_to_start(directory, count):
    """Fills `directory` with `count` small files, the first one listed made
    sparse and large, so that a walk of it is still hashing that file a good
    while after it has listed and opened the files coming next. Returns the
    names in listing order and their digests."""
    digests = {f"{index:03}": put(f"{directory}/{index:03}") for index in range(count)}
    order = os.listdir(directory)
    os.truncate(f"{directory}/{order[0]}", 1 << 30)
    digests[order[0]] = calculate_hash(f"{directory}/{order[0]}")
    return order, digests


# Runs a walk of dir_path on a thread and `change` on the main thread while
# the walk hashes the large file.
WHILE_WALKING = """
    import shutil, threading, time
    result = []
    walk = threading.Thread(target=lambda: result.append(outcome(dir_path)))
    walk.start()
    time.sleep(0.1)
    change()
    walk.join()
    print(repr(result[0]))
"""


def test_a_fifo_swapped_in_for_a_listed_file_is_never_waited_on(tmp_path):
    # Of the files listed by the time of the swap, some are already opened
    # ahead and some not: each may keep its digest or be left out, but no
    # pipe may hold the walk, and nothing else may be reported.
    order, digests = slow_to_start(tmp_path, 150)
    swapped = order[1::8]
    change = """
        def change():
            for name in swapped:
                os.mkfifo(f"{dir_path}/fifo")
                os.rename(f"{dir_path}/fifo", f"{dir_path}/{name}")
    """
    kind, got = in_child(textwrap.dedent(change) + textwrap.dedent(WHILE_WALKING), timeout=30, dir_path=str(tmp_path),
                         swapped=swapped)
    assert kind == "ok"
    for name, digest in digests.items():
        path = f"{tmp_path}/{name}"
        assert got.get(path, digest) == digest if name in swapped else got[path] == digest


def test_a_directory_removed_while_listed_ends_its_listing(tmp_path):
    # More entries than one read of the listing returns, so the walk reads
    # the removed directory again, and is answered that it is gone.
    order, digests = slow_to_start(f"{tmp_path}/going", 600)
    kept = put(f"{tmp_path}/kept")
    change = """
        def change():
            shutil.rmtree(f"{dir_path}/going")
    """
    kind, got = in_child(textwrap.dedent(change) + textwrap.dedent(WHILE_WALKING), timeout=30, dir_path=str(tmp_path))
    assert kind == "ok"
    assert got.pop(f"{tmp_path}/kept") == kept
    assert f"{tmp_path}/going/{order[-1]}" not in got
    assert all(digests[path.rsplit("/", 1)[1]] == digest for path, digest in got.items())


def test_repeated_calls_give_equal_new_dicts(tmp_path):
    simple_tree(tmp_path)
    # Long names, so the listing of "many" takes several reads of the
    # directory, and the table grows several times.
    for index in range(600):
        put(f"{tmp_path}/many/{index:04}-{'n' * 200}")
    first = calculate_directory_manifest(str(tmp_path))
    second = calculate_directory_manifest(str(tmp_path))
    assert first == second == python_walker(str(tmp_path))
    assert first is not second
    first.clear()
    assert calculate_directory_manifest(str(tmp_path)) == second


def test_threads_share_trees(tmp_path):
    trees = []
    for index in range(3):
        root = f"{tmp_path}/tree{index}"
        for n in range(40):
            put(f"{root}/{n % 4}/{n}.bin", os.urandom(n * 997))
        trees.append((root, python_walker(root)))
    files = sorted(trees[0][1].items())
    failures = []
    start = threading.Barrier(8)

    def work(seed):
        start.wait()
        try:
            for turn in range(25):
                root, expected = trees[(seed + turn) % len(trees)]
                assert calculate_directory_manifest(root) == expected
                path, digest = files[(seed * 7 + turn) % len(files)]
                _, other = files[(seed * 7 + turn + 1) % len(files)]
                got = calculate_hash(path)
                assert compare_hashes(got, digest) is True
                assert compare_hashes(got, other) is False
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
