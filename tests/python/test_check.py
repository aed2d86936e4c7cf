"""`driftmoor check` and `driftmoor diff`: a tree edited since its manifest was
written, with odd names, against manifests written by driftmoor and by
sha256sum; and every kind of manifest that cannot be used."""

import os
import shutil
import subprocess

import pytest

from command_trees import NAMES, SHA256SUM_NAMES, make_tree
from conftest import DRIFTMOOR, SANITIZED, command_env, run_driftmoor, run_sha256sum

DIGEST = "0" * 63 + "1"

# The names checked: those that sha256sum's manifests hold as well.
CHECKED = {name: NAMES[name] for name in SHA256SUM_NAMES}
# What happens to each file after the manifest is written.
STATUSES = {name: "ok" for name in CHECKED} | {
    "line\nfeed": "changed",
    "ünïcode ✓": "missing",
    "new \\ file\n": "added",
}


def make_listed_tree(top):
    make_tree(top, [name for name in CHECKED if STATUSES[name] != "added"])


def edit_tree(top):
    for name, status in STATUSES.items():
        if status == "changed":
            (top / name).write_bytes(b"changed since")
        elif status == "missing":
            (top / name).unlink()
        elif status == "added":
            (top / name).write_bytes(b"new")


# The summary of a check counts the entries that could not be read and those
# passed over too; that of diff, which reads no tree, does not.
TREE_COUNTS = ", 0 unreadable, 0 passed over"


def expected_report(prefix, quiet=False, tree=True):
    lines = [
        f"{'\\' if shown != name else ''}{STATUSES[name]}: {prefix}{shown}\n"
        for name, shown in sorted(CHECKED.items())
        if not (quiet and STATUSES[name] == "ok")
    ]
    counts = [f"{list(STATUSES.values()).count(s)} {s}"
              for s in ("ok", "changed", "missing", "added", "moved")]
    return "".join(lines) + f"summary: {', '.join(counts)}{TREE_COUNTS if tree else ''}\n"


def chosen(top, tree, why):
    """The line a check without DIR says which tree it took in."""
    where = top if tree == "." else f"{top}/{tree}"
    return f"driftmoor: checking {where} ({why})\n".encode()


def write(path, result):
    assert (result.returncode, result.stderr) == (0, b"")
    path.write_bytes(result.stdout)


@pytest.fixture(scope="module")
def edited(tmp_path_factory):
    """tree/, described as it was by driftmoor.sums, driftmoor.json and
    sha256sum.sums, then edited; copy/, a copy of it as edited; new.sums, its
    manifest as edited; own/, the same tree with the sha256sum manifest that
    `sha256sum *` in it writes, kept in it as SHA256SUMS."""
    top = tmp_path_factory.mktemp("check")
    make_listed_tree(top / "tree")
    write(top / "driftmoor.sums", run_driftmoor("manifest", "tree", cwd=top))
    write(top / "driftmoor.json", run_driftmoor("manifest", "--format", "json", "tree", cwd=top))
    listed = [f"tree/{name}" for name in CHECKED if STATUSES[name] != "added"]
    write(top / "sha256sum.sums", run_sha256sum("--", *listed, cwd=top))
    make_listed_tree(top / "own")
    write(top / "own/SHA256SUMS", run_sha256sum("--", *(p[5:] for p in listed), cwd=top / "own"))
    for tree in ("tree", "own"):
        edit_tree(top / tree)
    shutil.copytree(top / "tree", top / "copy")
    write(top / "new.sums", run_driftmoor("manifest", "tree", cwd=top))
    return top


def snapshot(top):
    return {
        (path, tuple(sorted(names)), tuple(os.stat(os.path.join(path, n)).st_mtime_ns for n in names))
        for path, _, names in os.walk(top)
    }


@pytest.mark.parametrize("manifest", ["driftmoor.sums", "driftmoor.json", "sha256sum.sums"])
@pytest.mark.parametrize(
    "arguments, prefix, quiet",
    [
        # The tree the manifest's paths were written under, from where they were.
        (("check", "{manifest}"), "tree/", False),
        # Another copy of it, named.
        (("check", "--quiet", "{manifest}", "copy"), "copy/", True),
        # Two manifests, no tree.
        (("diff", "{manifest}", "new.sums"), "tree/", False),
    ],
    ids=["check", "check-copy-quiet", "diff"],
)
def test_changed_missing_and_added_files_are_reported(edited, manifest, arguments, prefix, quiet):
    before = snapshot(edited)
    result = run_driftmoor(*(a.format(manifest=manifest) for a in arguments), cwd=edited)
    # Without DIR, a check says which tree it took, and why.
    said = (chosen(edited, "tree", f"the folder that holds every path in {manifest}")
            if len(arguments) == 2 and arguments[0] == "check" else b"")
    assert (result.returncode, result.stderr) == (1, said)
    assert result.stdout.decode("utf-8") == expected_report(prefix, quiet, arguments[0] == "check")
    assert snapshot(edited) == before


def test_paths_without_a_common_directory_are_checked_in_the_working_directory(edited):
    # SHA256SUMS lists `plain.txt`, `nested/...`: the tree is the working
    # directory, and the manifest itself in it is no added file.
    result = run_driftmoor("check", "SHA256SUMS", cwd=edited / "own")
    said = chosen(edited / "own", ".",
                  "the working directory: the paths in SHA256SUMS share no folder")
    assert (result.returncode, result.stderr) == (1, said)
    assert result.stdout.decode("utf-8") == expected_report("")


def test_the_tree_is_dir_as_the_manifest_spells_it_else_where_all_paths_lie(tmp_path):
    (tmp_path / "proj/src").mkdir(parents=True)
    (tmp_path / "proj/src/a").write_bytes(b"a")
    write(tmp_path / "proj.sums", run_driftmoor("manifest", "proj", cwd=tmp_path))
    (tmp_path / "proj/README").write_bytes(b"new")
    for arguments, status, report, said in [
        (("proj",), 1, f"added: proj/README\nsummary: 1 ok, 0 changed, 0 missing, 1 added, 0 moved{TREE_COUNTS}\n",
         b""),
        # Every listed path lies under proj/src/: that is the tree.
        ((), 0, f"summary: 1 ok, 0 changed, 0 missing, 0 added, 0 moved{TREE_COUNTS}\n",
         chosen(tmp_path, "proj/src", "the folder that holds every path in proj.sums")),
    ]:
        result = run_driftmoor("check", "--quiet", "proj.sums", *arguments, cwd=tmp_path)
        assert (result.returncode, result.stdout.decode(), result.stderr) == (status, report, said)


def test_a_matching_tree_and_matching_manifests_exit_0(edited):
    for arguments in [("check", "new.sums", "tree"), ("check", "-q", "new.sums", "copy/"),
                      ("diff", "-q", "new.sums", "new.sums")]:
        result = run_driftmoor(*arguments, cwd=edited)
        assert (result.returncode, result.stderr) == (0, b""), arguments
        counts = TREE_COUNTS if arguments[0] == "check" else ""
        assert result.stdout.decode().endswith(
            f"summary: {len(CHECKED) - 1} ok, 0 changed, 0 missing, 0 added, 0 moved{counts}\n")
    assert len(result.stdout.splitlines()) == 1  # quiet: the summary alone


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read bad: No such file or directory"),
        ("directory", "cannot read bad: Is a directory"),
        (b"", "bad: lists no files"),
        (b"# only a comment\n\n", "bad: lists no files"),
        (f"{DIGEST}  tree/a\nnonsense\n".encode(), "bad:2: not a line of the form '<64 hex digits>  <path>'"),
        # One blank after the digest, once lines have had two: as sha256sum
        # reads them, a name cannot start with a blank in one form and not
        # the other.
        (f"{DIGEST}  tree/a\n{DIGEST} tree/b\n".encode(),
         "bad:2: not a line of the form '<64 hex digits>  <path>'"),
        (f"{DIGEST[1:]}  tree/a\n".encode(), "bad:1: the digest is not 64 hexadecimal digits"),
        (f"{DIGEST[1:]}g  tree/a\n".encode(), "bad:1: the digest is not 64 hexadecimal digits"),
        (f"{DIGEST}  tree/a\n{DIGEST}  tree/b\n{DIGEST} *tree/a\n".encode(),
         "bad:3: tree/a is listed twice (first on line 1)"),
        (f"\\{DIGEST}  tree/a\\tb\n".encode(), "bad:1: the path holds an escape other than \\\\, \\n or \\r"),
        (f"SHA256 (tree/a) {DIGEST}\n".encode(),
         "bad:1: not a line of the form 'SHA256 (<path>) = <64 hex digits>'"),
        (f"SHA256 (tree/a) = {DIGEST}0\n".encode(), "bad:1: the digest is not 64 hexadecimal digits"),
        (b'{\n"tree/a": ', "bad:2: not valid JSON: Expecting value"),
        (f'{{"tree/a": "{DIGEST}", "tree/a": "{DIGEST}"}}'.encode(), "bad: tree/a is listed twice"),
        (b'{"tree/a": "abc"}', "bad: the digest of tree/a is not 64 hexadecimal digits"),
        # Numbers are no digests, whatever their length: never converted.
        (b'{"tree/a": ' + b"1" * 5001 + b"}", "bad: the digest of tree/a is not 64 hexadecimal digits"),
        (b'{"tree/a": -1e999, "tree/b": NaN}', "bad: the digest of tree/a is not 64 hexadecimal digits"),
        (b'{"tree/a": ' + b"[" * 100_000 + b"]" * 100_000 + b"}",
         "bad: not a JSON object of path to digest: nested too deeply"),
    ],
    ids=["missing", "directory", "empty", "no-lines", "malformed", "one-space", "short-digest",
         "not-hex", "twice", "bad-escape", "bsd-malformed", "bsd-long-digest", "bad-json", "json-twice", "json-digest",
         "json-long-number", "json-float", "json-deep"],
)
def test_a_manifest_that_cannot_be_used_exits_2(edited, tmp_path, content, message):
    if content == "directory":
        (tmp_path / "bad").mkdir()
    elif content is not None:
        (tmp_path / "bad").write_bytes(content)
    shutil.copy(edited / "new.sums", tmp_path / "good")
    for arguments in [("check", "bad", edited / "tree"), ("diff", "good", "bad")]:
        result = run_driftmoor(*arguments, cwd=tmp_path)
        assert (result.returncode, result.stdout) == (2, b""), arguments
        assert result.stderr.decode() == f"driftmoor: {message}\n", arguments


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts when memory runs out")
def test_a_manifest_that_never_ends_is_one_line_too_long(edited):
    # /dev/zero never ends, nor does its first line: refused at the bound of
    # a line's length, well inside 200 MB of address space.
    for arguments in [("check", "/dev/zero", "tree"), ("diff", "new.sums", "/dev/zero")]:
        result = subprocess.run(["bash", "-c", 'ulimit -v 200000; exec "$@"', "bash", DRIFTMOOR,
                                 *arguments], capture_output=True, cwd=edited, env=command_env(),
                                timeout=60)
        assert (result.returncode, result.stdout) == (2, b""), arguments
        assert result.stderr == b"driftmoor: /dev/zero:1: a line longer than 65536 bytes\n", \
            arguments


@pytest.mark.parametrize(
    "directory, message",
    [
        ("gone", "No such file or directory (os error 2)"),
        ("new.sums", "not a directory"),
        ("new.sums/", "Not a directory (os error 20)"),
    ],
)
def test_a_tree_that_cannot_be_walked_exits_2(edited, directory, message):
    result = run_driftmoor("check", "new.sums", directory, cwd=edited)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == f"driftmoor: {directory}: {message}\n"
