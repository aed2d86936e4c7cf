"""`check` reads each listed file under the name its manifest gives it, as
`sha256sum -c` opens it: manifests spelled every way sha256sum writes or
takes them give sha256sum's verdicts, file by file, and a decoy copy under
the working directory is never read in place of an absolute path. A check
run from the wrong folder says so and stops."""

import hashlib
import os

import pytest

from conftest import run_driftmoor, run_sha256sum

GNU_STATES = {"OK": "ok", "FAILED": "changed", "FAILED open or read": "missing"}


def gnu_verdicts(stdout, start):
    """The file -> state of sha256sum -c's lines, each file by its absolute
    path from `start`."""
    verdicts = {}
    for line in stdout.decode().splitlines():
        path, _, state = line.rpartition(": ")
        verdicts[os.path.normpath(os.path.join(start, path))] = GNU_STATES[state]
    return verdicts


def our_verdicts(stdout, start):
    """The same of a report's listed files (the summary and the files found
    added left aside)."""
    verdicts = {}
    for line in stdout.decode().splitlines()[:-1]:
        state, _, path = line.partition(": ")
        if state in ("ok", "changed", "missing"):
            verdicts[os.path.normpath(os.path.join(start, path))] = state
    return verdicts


def digest(data):
    return hashlib.sha256(data).hexdigest()


@pytest.fixture
def work(tmp_path):
    """d/a, d/sub/b, and elsewhere/x.txt, which changes after it is listed;
    the working directory holds a decoy copy of elsewhere/x.txt as it was,
    under the path that `./` would put before its absolute one."""
    for path, data in [("d/a", b"a"), ("d/sub/b", b"b"), ("elsewhere/x.txt", b"x")]:
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_bytes(data)
    decoy = tmp_path / str(tmp_path / "elsewhere/x.txt").lstrip("/")
    decoy.parent.mkdir(parents=True)
    decoy.write_bytes(b"x")
    return tmp_path


# Each manifest as its writer spells its lines: (path, content as listed).
SPELLINGS = {
    "doubled slashes": [("d//a", b"a"), ("d//sub/b", b"b")],
    "dot components": [("d/./a", b"a"), ("./d/sub/./b", b"b")],
    "absolute and relative": [("{top}/elsewhere/x.txt", b"x"), ("d/a", b"a")],
    "absolute alone": [("{top}/elsewhere/x.txt", b"x"), ("{top}/d/sub/b", b"b")],
    "absolute, doubled": [("{top}//elsewhere//x.txt", b"x"), ("d/sub/b", b"b")],
}
FORMS = {
    "two spaces": "{digest}  {path}\n",
    "binary mark": "{digest} *{path}\n",
    "a tab": "{digest}\t{path}\n",
    "one space": "{digest} {path}\n",
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("mode", [(), ("--listed-only",)], ids=["walk", "listed-only"])
def test_every_spelling_gets_sha256sums_verdicts(work, spelling, form, mode):
    lines = "".join(FORMS[form].format(digest=digest(data), path=path.format(top=work))
                    for path, data in SPELLINGS[spelling])
    (work / "m.sums").write_text(lines)
    # Changed since it was listed; the decoy under the working directory
    # still holds what was listed, and must never be read for it.
    (work / "elsewhere/x.txt").write_bytes(b"changed")
    gnu = run_sha256sum("-c", "m.sums", cwd=work)
    ours = run_driftmoor("check", *mode, "m.sums", cwd=work)
    assert ours.returncode == gnu.returncode, ours.stderr
    assert our_verdicts(ours.stdout, work) == gnu_verdicts(gnu.stdout, work)


@pytest.mark.parametrize("directory", ["d", "d/", "d//", "./d", "d/."])
def test_every_spelling_of_dir_is_the_same_tree(work, directory):
    (work / "d.sums").write_bytes(run_driftmoor("manifest", "d", cwd=work).stdout)
    result = run_driftmoor("check", "d.sums", directory, cwd=work)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == (b"ok: d/a\nok: d/sub/b\n"
                             b"summary: 2 ok, 0 changed, 0 missing, 0 added, 0 moved, 0 unreadable, "
                             b"0 passed over\n")


@pytest.mark.parametrize("lines, message", [
    ("{a}  d/a\n{a}  d//a\n", "m.sums:2: d/a is listed twice (first on line 1)"),
    ("{a}  ./d/a\n{b}  d/sub/b\n{a}  d/./a\n", "m.sums:3: d/a is listed twice (first on line 1)"),
])
def test_two_spellings_of_one_path_are_refused(work, lines, message):
    (work / "m.sums").write_text(lines.format(a=digest(b"a"), b=digest(b"b")))
    result = run_driftmoor("check", "m.sums", cwd=work)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == f"driftmoor: {message}\n"


def test_a_check_from_the_wrong_folder_stops_with_one_line(work, tmp_path_factory):
    (work / "d.sums").write_bytes(run_driftmoor("manifest", ".", cwd=work / "d").stdout)
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    (elsewhere / "unrelated").write_bytes(b"u")
    result = run_driftmoor("check", work / "d.sums", cwd=elsewhere)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == (
        f"driftmoor: {work / 'd.sums'}: none of the files it lists is in .: check from the "
        "folder it was written in, or name the tree\n")
    # From the right one, it says which tree it took, and why.
    right = run_driftmoor("check", "-q", "../d.sums", cwd=work / "d")
    assert (right.returncode, right.stderr.decode()) == (
        0, f"driftmoor: checking {work / 'd'} (the working directory: the paths in ../d.sums "
           "share no folder)\n")


def test_scattered_absolute_paths_name_no_tree_but_check_alone(work):
    (work / "m.sums").write_text(f"{digest(b'a')}  {work}/d/a\n{digest(b'x')}  /proc/version\n")
    walked = run_driftmoor("check", "m.sums", cwd=work)
    assert (walked.returncode, walked.stdout) == (2, b"")
    assert walked.stderr == (b"driftmoor: m.sums: its paths share no folder but /: name the tree "
                             b"to check, or check the listed files alone with --listed-only\n")
    alone = run_driftmoor("check", "--listed-only", "m.sums", cwd=work)
    assert alone.returncode == 1
    assert alone.stdout.decode() == (f"changed: /proc/version\nok: {work}/d/a\n"
                                     "summary: 1 ok, 1 changed, 0 missing, 0 unreadable\n")
