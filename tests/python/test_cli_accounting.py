"""The command accounts for every entry of a tree: every name as its bytes,
every entry it could not read named with its reason, every entry passed over
counted; `check` sees what `manifest` sees; a manifest written into its own
tree leaves itself out; and the output is the same for any number of jobs."""

import hashlib
import json
import os
import subprocess

import pytest

import driftmoor
from command_trees import NAMES, make_tree
from conftest import DRIFTMOOR, command_env, run_driftmoor, run_sha256sum

# Root opens any file; without these capabilities it is refused as anyone is.
UNPRIVILEGED = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--")


def run_wrapped(wrapper, arguments, cwd):
    """The command run by another program (setpriv, bash): a sanitized run
    preloads its runtime into the command alone, not into that program."""
    env = command_env(LC_ALL="C.UTF-8")
    preload = env.pop("LD_PRELOAD", None)
    command = [DRIFTMOOR, *arguments]
    if preload:
        command = ["env", f"LD_PRELOAD={preload}", *command]
    return subprocess.run([*wrapper, *command], capture_output=True, cwd=cwd, env=env, timeout=60)


def run_unprivileged(*arguments, cwd):
    return run_wrapped(UNPRIVILEGED, arguments, cwd)


def run_in_bash(script, *arguments, cwd):
    """bash runs script, "$@" being the command and its arguments."""
    return run_wrapped(["bash", "-c", script, "bash"], arguments, cwd)


def escaped(path):
    """A path as a checksum line shows it, and the mark its line starts with."""
    shown = path.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
    return (b"\\" if shown != path else b""), shown


def sha256sum_lines(files):
    lines = []
    for path in sorted(files):
        mark, shown = escaped(path)
        lines.append(mark + files[path].encode() + b"  " + shown + b"\n")
    return b"".join(lines)


def bsd_lines(files):
    lines = []
    for path in sorted(files):
        mark, shown = escaped(path)
        lines.append(mark + b"SHA256 (" + shown + b") = " + files[path].encode() + b"\n")
    return b"".join(lines)


def put(path, data):
    """Writes the file at path (str, bytes or a path object), its
    directories first; its digest."""
    path = os.fsencode(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)
    return hashlib.sha256(data).hexdigest()


def under(top, *names):
    """The bytes path of names (bytes) under top."""
    return os.path.join(os.fsencode(top), *names)


def odd_tree(top):
    """tree/ under top, holding one entry of every kind the walk leaves out,
    and files with odd names; the digests of every file, readable or not,
    by path as the command names it (b"tree/...")."""
    files = {
        b"tree/plain": b"plain\n",
        b"tree/caf\xe9": b"latin-1 name\n",
        # In the order of their bytes the first comes first; decoded (the
        # first's byte held as a surrogate escape), the second.
        b"tree/caf\xa9": b"not UTF-8\n",
        "tree/café".encode(): b"UTF-8\n",
        b"tree/new\nline": b"a line feed in its name\n",
        b"tree/sub/inner": b"inner\n",
        b"tree/secret": b"no one may read this\n",
        b"tree/locked/hidden": b"below a locked door\n",
    }
    files = {path: put(under(top, path), data) for path, data in files.items()}
    os.symlink(b"plain", under(top, b"tree/to-plain"))
    files[b"tree/to-plain"] = files[b"tree/plain"]
    os.symlink(b"nowhere", under(top, b"tree/dangling"))
    # Files that open, then fail on their first read.
    os.symlink(b"/proc/self/mem", under(top, b"tree/io-caf\xa9"))
    os.symlink(b"/proc/self/mem", under(top, "tree/io-café".encode()))
    os.mkfifo(under(top, b"tree/fifo"))
    os.symlink(b"..", under(top, b"tree/sub/up"))
    os.chmod(under(top, b"tree/secret"), 0)
    os.chmod(under(top, b"tree/locked"), 0)
    return files


@pytest.fixture(scope="module")
def odd(tmp_path_factory):
    top = tmp_path_factory.mktemp("odd")
    files = odd_tree(top)
    # What a manifest written before the locks listed: every file.
    (top / "listed.sums").write_bytes(sha256sum_lines(files))
    yield top, files
    os.chmod(top / "tree/locked", 0o755)  # so that the temporary tree can go


READABLE = [b"tree/caf\xa9", "tree/café".encode(), b"tree/caf\xe9", b"tree/new\nline",
            b"tree/plain", b"tree/sub/inner", b"tree/to-plain"]
UTF8_READABLE = [b"tree/caf\xc3\xa9", b"tree/new\nline", b"tree/plain", b"tree/sub/inner",
                 b"tree/to-plain"]
# The links to /proc/self/mem lead out of the tree: read, and failing, where
# every link is followed (--links all), passed over by default.
FAILURES = [
    b"driftmoor: tree/io-caf\xa9: Input/output error\n",
    b"driftmoor: tree/io-caf\xc3\xa9: Input/output error\n",
    b"driftmoor: tree/locked: Permission denied\n",
    b"driftmoor: tree/secret: Permission denied\n",
]
PASSED_OVER = [
    b"driftmoor: tree/dangling: passed over: dangling link\n",
    b"driftmoor: tree/fifo: passed over: special file\n",
    b"driftmoor: tree/sub/up: passed over: loop: a directory it is already below\n",
]
OUT_OF_THE_TREE = [
    b"driftmoor: tree/io-caf\xa9: passed over: link out of the tree\n",
    b"driftmoor: tree/io-caf\xc3\xa9: passed over: link out of the tree\n",
]
NOT_JSON = [b"driftmoor: tree/caf\xa9: not valid UTF-8, which JSON cannot hold: left out\n",
            b"driftmoor: tree/caf\xe9: not valid UTF-8, which JSON cannot hold: left out\n"]

# check's states: path -> (state, reason), in the tree as locked.
CHECKED = {path: ("ok", None) for path in READABLE} | {
    b"tree/secret": ("unreadable", "Permission denied"),
    b"tree/locked": ("unreadable", "Permission denied"),
    b"tree/locked/hidden": ("unreadable", "tree/locked: Permission denied"),
    b"tree/dangling": ("passed over", "dangling link"),
    b"tree/io-caf\xa9": ("unreadable", "Input/output error"),
    b"tree/io-caf\xc3\xa9": ("unreadable", "Input/output error"),
    b"tree/fifo": ("passed over", "special file"),
    b"tree/sub/up": ("passed over", "loop: a directory it is already below"),
}
# --listed-only reads each listed file by its path alone: the file below the
# locked directory cannot even be looked at.
LISTED_ONLY = {path: ("ok", None) for path in READABLE} | {
    b"tree/secret": ("unreadable", "Permission denied"),
    b"tree/locked/hidden": ("unreadable", "Permission denied"),
}


def report(states, summary, verbose=False):
    lines = []
    for path in sorted(states):
        state, reason = states[path]
        if state == "passed over" and not verbose:
            continue
        mark, shown = escaped(path)
        lines.append(mark + state.encode() + b": " + shown
                     + (b" (" + reason.encode() + b")" if reason else b"") + b"\n")
    return b"".join(lines) + summary + b"\n"


def readable(files):
    return {path: files[path] for path in READABLE}


ALL_LINKS = ("--links", "all")

CASES = {
    "manifest": (
        ("manifest", *ALL_LINKS, "tree"),
        lambda files: sha256sum_lines(readable(files)), FAILURES, 1,
    ),
    "manifest-verbose": (
        ("manifest", *ALL_LINKS, "--verbose", "tree"),
        lambda files: sha256sum_lines(readable(files)),
        sorted(FAILURES + PASSED_OVER) + [b"driftmoor: 7 files written, 4 unreadable, 3 passed over\n"],
        1,
    ),
    "manifest-links-inside": (
        ("manifest", "--verbose", "tree"),
        lambda files: sha256sum_lines(readable(files)),
        sorted(FAILURES[2:] + PASSED_OVER + OUT_OF_THE_TREE)
        + [b"driftmoor: 7 files written, 2 unreadable, 5 passed over\n"],
        1,
    ),
    "manifest-one-job": (
        ("manifest", *ALL_LINKS, "--jobs", "1", "tree"),
        lambda files: sha256sum_lines(readable(files)), FAILURES, 1,
    ),
    "manifest-bsd": (
        ("manifest", *ALL_LINKS, "--format", "bsd", "tree"),
        lambda files: bsd_lines(readable(files)), FAILURES, 1,
    ),
    "manifest-json": (
        ("manifest", *ALL_LINKS, "--format", "json", "tree"),
        lambda files: (json.dumps({path.decode(): files[path] for path in UTF8_READABLE},
                                  ensure_ascii=False, indent=2) + "\n").encode(),
        sorted(FAILURES + NOT_JSON), 1,
    ),
    "check": (
        ("check", *ALL_LINKS, "listed.sums", "tree"),
        lambda files: report(CHECKED, b"summary: 7 ok, 0 changed, 0 missing, 0 added, 0 moved, "
                                      b"5 unreadable, 3 passed over"),
        FAILURES, 1,
    ),
    "check-verbose": (
        ("check", *ALL_LINKS, "-v", "listed.sums", "tree"),
        lambda files: report(CHECKED, b"summary: 7 ok, 0 changed, 0 missing, 0 added, 0 moved, "
                                      b"5 unreadable, 3 passed over", verbose=True),
        FAILURES, 1,
    ),
    "check-quiet-status": (
        ("check", *ALL_LINKS, "--quiet", "--status", "listed.sums"), lambda files: b"", FAILURES, 1,
    ),
    "check-listed-only": (
        ("check", "--listed-only", "listed.sums"),
        lambda files: report(LISTED_ONLY, b"summary: 7 ok, 0 changed, 0 missing, 2 unreadable"),
        [b"driftmoor: tree/locked/hidden: Permission denied\n",
         b"driftmoor: tree/secret: Permission denied\n"],
        1,
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_every_entry_is_read_named_or_counted(odd, case):
    top, files = odd
    arguments, stdout, stderr, status = CASES[case]
    result = run_unprivileged(*arguments, cwd=top)
    assert result.stdout == stdout(files)
    assert result.stderr.splitlines(keepends=True) == stderr
    assert result.returncode == status


@pytest.mark.parametrize("writer", [("sha256sum",), ("sha256sum", "--tag"),
                                    ("driftmoor", "manifest"),
                                    ("driftmoor", "manifest", "--format", "bsd")])
def test_a_name_that_is_not_utf8_is_checked_and_an_added_one_is_reported(tmp_path, writer):
    for name in [b"a.txt", b"caf\xe9", b"back\\slash \xff"]:
        put(under(tmp_path, b"tree", name), name * 3)
    if writer[0] == "sha256sum":
        # As sha256sum writes them: every name's raw bytes.
        names = [b"./" + name for name in sorted(os.listdir(under(tmp_path, b"tree")))]
        listing = run_sha256sum(*writer[1:], "--", *names, cwd=tmp_path / "tree")
    else:
        listing = run_driftmoor(*writer[1:], ".", cwd=tmp_path / "tree")
    assert (listing.returncode, listing.stderr) == (0, b"")
    assert b"caf\xe9" in listing.stdout
    (tmp_path / "tree.sums").write_bytes(listing.stdout)

    matching = run_driftmoor("check", "--quiet", "tree.sums", "tree", cwd=tmp_path)
    assert (matching.returncode, matching.stderr) == (0, b"")
    assert matching.stdout == b"summary: 3 ok, 0 changed, 0 missing, 0 added, 0 moved, 0 unreadable, 0 passed over\n"
    ours = run_driftmoor("manifest", ".", cwd=tmp_path / "tree")
    (tmp_path / "ours.sums").write_bytes(ours.stdout)
    same = run_driftmoor("diff", "ours.sums", "tree.sums", cwd=tmp_path)
    assert (same.returncode, same.stderr) == (0, b"")

    # Anyone who can create a file can no longer hide it by its name.
    put(under(tmp_path, b"tree/hidden-\xe9\xff\n"), b"new")
    put(under(tmp_path, b"tree/caf\xe9"), b"changed")
    added = run_driftmoor("check", "--quiet", "tree.sums", "tree", cwd=tmp_path)
    assert (added.returncode, added.stderr) == (1, b"")
    assert added.stdout == (b"changed: tree/caf\xe9\n\\added: tree/hidden-\xe9\xff\\n\n"
                            b"summary: 2 ok, 1 changed, 0 missing, 1 added, 0 moved, 0 unreadable, "
                            b"0 passed over\n")


def test_json_reports_leave_out_names_json_cannot_hold_and_fail(tmp_path):
    put(under(tmp_path, b"tree/a.txt"), b"a")
    put(under(tmp_path, b"tree/caf\xe9"), b"latin")
    written = run_driftmoor("manifest", "tree", cwd=tmp_path)
    (tmp_path / "tree.sums").write_bytes(written.stdout)
    a = hashlib.sha256(b"a").hexdigest()
    ok = {"tree/a.txt": {"state": "ok", "expected": a, "actual": a}}
    for arguments, paths, summary, quiet_status in [
        (("check", "--format", "json", "tree.sums", "tree"), ok,
         {"ok": 2, "changed": 0, "missing": 0, "added": 0, "moved": 0, "unreadable": 0,
          "passed_over": 0}, 0),
        (("diff", "--format", "json", "tree.sums", "tree.sums"), ok,
         {"ok": 2, "changed": 0, "missing": 0, "added": 0, "moved": 0}, 0),
    ]:
        result = run_driftmoor(*arguments, cwd=tmp_path)
        assert result.returncode == 1, arguments
        assert json.loads(result.stdout) == {"paths": paths, "summary": summary, "status": 1}
        assert result.stderr == (b"driftmoor: tree/caf\xe9: not valid UTF-8, which JSON cannot "
                                 b"hold: left out of the report\n")
        # Where the name is not written (no ok lines), nothing is lost.
        quiet = run_driftmoor(*arguments[:1], "--quiet", *arguments[1:], cwd=tmp_path)
        assert (quiet.returncode, quiet.stderr) == (quiet_status, b""), arguments


@pytest.mark.parametrize(
    "script, listed_elsewhere",
    [
        # From inside the tree, as people write it.
        ('cd tree && exec "$@" . >SHA256SUMS', False),
        ('cd tree && exec "$@" --jobs 1 . >>SHA256SUMS', False),
        # Into the tree from outside, and under a second name in the tree.
        ('ln tree/SHA256SUMS tree/sub/again; exec "$@" tree >tree/SHA256SUMS', False),
        # Outside the tree: nothing to leave out.
        ('exec "$@" tree >SHA256SUMS', True),
    ],
    ids=["inside", "appended-one-job", "hard-link", "outside"],
)
def test_a_manifest_written_into_its_tree_leaves_itself_out(tmp_path, script, listed_elsewhere):
    files = {name: put(tmp_path / "tree" / name, name.encode()) for name in ["a", "sub/b"]}
    (tmp_path / "tree/SHA256SUMS").write_bytes(b"")
    result = run_in_bash(script, "manifest", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    written = (tmp_path / ("SHA256SUMS" if listed_elsewhere else "tree/SHA256SUMS")).read_bytes()
    if listed_elsewhere:
        files["SHA256SUMS"] = hashlib.sha256(b"").hexdigest()
    start = "./" if script.startswith("cd tree") else "tree/"
    assert written == sha256sum_lines({f"{start}{name}".encode(): files[name] for name in files})
    if not listed_elsewhere:
        # It lies in the tree it lists, and is no added file there (nor is
        # a second name of it).
        where = tmp_path / ("tree" if start == "./" else "")
        manifest = f"{start}SHA256SUMS".removeprefix("./")
        check = run_driftmoor("check", manifest, cwd=where)
        why = (f"the working directory: the paths in {manifest} share no folder" if start == "./"
               else f"the folder that holds every path in {manifest}")
        assert (check.returncode, check.stderr) == (
            0, f"driftmoor: checking {tmp_path / 'tree'} ({why})\n".encode())
        assert check.stdout.endswith(b"summary: 2 ok, 0 changed, 0 missing, 0 added, 0 moved, "
                                     b"0 unreadable, 0 passed over\n")


def test_verbose_names_the_excluded_output(tmp_path):
    put(tmp_path / "tree/a", b"a")
    result = run_in_bash('exec "$@" >tree/SHA256SUMS', "manifest", "-v", "tree", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr == (b"driftmoor: tree/SHA256SUMS: passed over: excluded\n"
                             b"driftmoor: 1 files written, 0 unreadable, 1 passed over\n")


def make_links_tree(top):
    """Links to files and directories, a diamond of links and a loop, names
    of every script: all UTF-8 and readable, so the module keys every file."""
    put(top / "a.txt", b"a")
    put(top / "dir/ü ñ 文.bin", b"")
    put(top / "dir/deeper/b", b"b")
    os.symlink("../a.txt", top / "dir/to-a")
    os.symlink("dir", top / "left")
    os.symlink("dir", top / "right")
    os.symlink("..", top / "dir/deeper/loop")


def make_wide_tree(top):
    for directory in range(60):
        for file in range(50):
            put(top / f"d{directory:02}/f{file:02}", b"%d %d\n" % (directory, file) * file)


def make_deep_tree(top):
    path = top
    for level in range(60):
        path = path / f"level{level}"
        put(path / "file", b"%d" % level)


UTF8_TREES = {
    "odd-names": lambda top: make_tree(top, NAMES, repeat=lambda number: number + 1),
    "links": make_links_tree,
    "wide": make_wide_tree,
    "deep": make_deep_tree,
    "empty": lambda top: top.mkdir(parents=True, exist_ok=True),
}


def parse_lines(stdout):
    """path -> digest of sha256sum lines, escaped lines unescaped."""
    parsed = {}
    for line in stdout.split(b"\n")[:-1]:
        marked = line.startswith(b"\\")
        digest, path = line[1:].split(b"  ", 1) if marked else line.split(b"  ", 1)
        if marked:
            path = path.replace(b"\\\\", b"\0").replace(b"\\n", b"\n").replace(b"\\r", b"\r")
            path = path.replace(b"\0", b"\\")
        parsed[path.decode()] = digest.decode()
    return parsed


@pytest.mark.parametrize("tree", UTF8_TREES)
def test_where_every_name_is_utf8_the_lines_are_the_modules_dict(tmp_path, tree):
    UTF8_TREES[tree](tmp_path / "tree")
    result = run_driftmoor("manifest", "tree", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    expected = driftmoor.calculate_directory_manifest(str(tmp_path / "tree"))
    prefix = f"{tmp_path}/"
    assert parse_lines(result.stdout) == {k.removeprefix(prefix): v for k, v in expected.items()}
    assert result.stdout == sha256sum_lines(
        {k.removeprefix(prefix).encode(): v for k, v in expected.items()})


@pytest.mark.parametrize("tree", ["odd-names", "links", "wide", "deep", "odd"])
def test_output_is_the_same_for_any_number_of_jobs(tmp_path, tree):
    if tree == "odd":
        odd_tree(tmp_path)  # as root: all but the dangling link, the pipe and the loop read
    else:
        UTF8_TREES[tree](tmp_path / "tree")
    # Every link followed: the odd tree's links to /proc/self/mem are read,
    # and fail.
    first = run_driftmoor("manifest", *ALL_LINKS, "--jobs", "1", "tree", cwd=tmp_path)
    assert first.returncode == (1 if tree == "odd" else 0)
    (tmp_path / "tree.sums").write_bytes(first.stdout)
    for path in sorted((tmp_path / "tree").rglob("*"))[::3]:
        if path.is_file() and not path.is_symlink() and path.stat().st_mode & 0o444:
            path.write_bytes(b"changed")
    results = {}
    for jobs in ["1", "2", "8"]:
        for arguments in [("manifest", "--verbose", "tree"), ("check", "-v", "tree.sums"),
                          ("manifest", "--format", "json", "tree")]:
            result = run_driftmoor(arguments[0], *ALL_LINKS, "--jobs", jobs, *arguments[1:],
                                   cwd=tmp_path)
            results.setdefault(arguments, set()).add(
                (result.returncode, result.stdout, result.stderr))
    for arguments, outcomes in results.items():
        assert len(outcomes) == 1, arguments
    if tree == "odd":
        os.chmod(tmp_path / "tree/locked", 0o755)


@pytest.mark.parametrize("jobs", ["0", "-1", "two", "1.5", ""])
def test_jobs_must_be_a_whole_number_of_at_least_1(tmp_path, jobs):
    for subcommand in ["manifest", "check"]:
        result = run_driftmoor(subcommand, "--jobs", jobs, "tree", cwd=tmp_path)
        assert (result.returncode, result.stdout) == (2, b""), subcommand
        assert f"--jobs: not a whole number of at least 1: {jobs!r}".encode() in result.stderr


def test_a_tree_named_by_bytes_that_are_not_utf8(tmp_path):
    digest = put(under(tmp_path, b"d\xe9j\xe0/f"), b"f")
    result = subprocess.run([DRIFTMOOR, "manifest", b"d\xe9j\xe0"], capture_output=True,
                            cwd=tmp_path, env=command_env(), timeout=60)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == digest.encode() + b"  d\xe9j\xe0/f\n"
    (tmp_path / "sums").write_bytes(result.stdout)
    check = subprocess.run([DRIFTMOOR, "check", "-q", "sums", b"d\xe9j\xe0"], capture_output=True,
                           cwd=tmp_path, env=command_env(), timeout=60)
    assert (check.returncode, check.stderr) == (0, b"")


@pytest.mark.parametrize("arguments, status", [(("manifest", "tree"), 1),
                                               (("check", "tree.sums", "tree"), 2),
                                               (("check", "tree.sums"), 2)])
def test_a_tree_that_cannot_be_listed_at_all(tmp_path, arguments, status):
    # manifest read nothing of it; check cannot tell whether it matches.
    digest = put(tmp_path / "tree/a", b"a")
    (tmp_path / "tree.sums").write_bytes(sha256sum_lines({b"tree/a": digest}))
    os.chmod(tmp_path / "tree", 0)
    try:
        result = run_unprivileged(*arguments, cwd=tmp_path)
    finally:
        os.chmod(tmp_path / "tree", 0o755)
    expected = b"driftmoor: tree: Permission denied\n"
    if arguments == ("check", "tree.sums"):  # the tree it chose, said before it is walked
        expected = (f"driftmoor: checking {tmp_path}/tree (the folder that holds every path in "
                    "tree.sums)\ndriftmoor: tree/: Permission denied\n").encode()
    assert (result.returncode, result.stdout, result.stderr) == (status, b"", expected)


def test_a_listed_path_no_file_can_have_is_missing(tmp_path):
    put(tmp_path / "tree/a", b"a")
    (tmp_path / "tree.sums").write_bytes(b"0" * 64 + b"  tree/a\0b\n")
    for mode in [("tree",), ("--listed-only",)]:
        result = run_driftmoor("check", "--quiet", "tree.sums", *mode, cwd=tmp_path)
        assert result.returncode == 1, mode
        assert b"\nmissing: tree/a\0b\n" in b"\n" + result.stdout, mode
        assert result.stderr == b"", mode
