"""The habits of `sha256sum -c` in `driftmoor check`: --ignore-missing,
--status, --quiet, a manifest on standard input, BSD lines, checking only
what is listed; each against GNU `sha256sum -c` on the same manifest (exit
status and which files it names, with which state). And the rest of what
its users reach for: --format json reports, --version, `manifest FILE`."""

import hashlib
import json
import os
import re
import subprocess
import tomllib
from pathlib import Path

import jsonschema
import pytest

from command_trees import NAMES, SHA256SUM_NAMES, make_tree
from conftest import DRIFTMOOR, command_env, run_driftmoor, run_sha256sum

CHANGED, MISSING, ADDED = "line\nfeed", "ünïcode ✓", "new \\ file\n"
LISTED = [name for name in SHA256SUM_NAMES if name != ADDED]
GNU_STATES = {"OK": "ok", "FAILED": "changed", "FAILED open or read": "missing"}


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"\\": "\\", "n": "\n", "r": "\r"}[m[1]], text)


def gnu_named(stdout):
    """`sha256sum -c`'s lines: path -> state (a line starting with a
    backslash has its path escaped)."""
    named = {}
    for line in stdout.decode().split("\n")[:-1]:
        text, _, state = line.rpartition(": ")
        named[unescape(text[1:]) if text.startswith("\\") else text] = GNU_STATES[state]
    return named


def driftmoor_named(stdout):
    """`driftmoor check`'s lines, but the summary: path -> state."""
    named = {}
    for line in stdout.decode().split("\n")[:-2]:
        state, _, text = line.removeprefix("\\").partition(": ")
        named[unescape(text) if line.startswith("\\") else text] = state
    return named


def run_with_input(program, arguments, cwd, stdin_path):
    env = command_env() if program == DRIFTMOOR else {
        k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    with open(stdin_path, "rb") as stdin:
        return subprocess.run([program, *arguments], stdin=stdin, capture_output=True, cwd=cwd,
                              env=env, timeout=60)


@pytest.fixture(scope="module")
def edited(tmp_path_factory):
    """tree/, every listed name, described by four manifests (sha256sum's
    lines and BSD lines, written by sha256sum and by driftmoor), then one
    file changed and one removed; partial.sums lists two of its files, and
    gone.sums only the removed one."""
    top = tmp_path_factory.mktemp("options")
    make_tree(top / "tree", LISTED)
    paths = [f"tree/{name}" for name in LISTED]
    for name, result in [
        ("gnu.sums", run_sha256sum("--", *paths, cwd=top)),
        ("gnu-bsd.sums", run_sha256sum("--tag", "--", *paths, cwd=top)),
        ("driftmoor.sums", run_driftmoor("manifest", "tree", cwd=top)),
        ("driftmoor-bsd.sums", run_driftmoor("manifest", "--format", "bsd", "tree", cwd=top)),
        ("partial.sums", run_sha256sum("--", "tree/plain.txt", f"tree/{CHANGED}", cwd=top)),
        ("gone.sums", run_sha256sum("--", f"tree/{MISSING}", cwd=top)),
    ]:
        assert (result.returncode, result.stderr) == (0, b""), name
        (top / name).write_bytes(result.stdout)
    (top / "tree" / CHANGED).write_bytes(b"changed since")
    (top / "tree" / MISSING).unlink()
    return top


OPTIONS = [(), ("--quiet",), ("--status",), ("--ignore-missing",),
           ("--ignore-missing", "--quiet"), ("--ignore-missing", "--status")]


@pytest.mark.parametrize("mode", [(), ("--listed-only",)], ids=["walk", "listed-only"])
@pytest.mark.parametrize("options", OPTIONS, ids=lambda options: " ".join(options) or "plain")
@pytest.mark.parametrize("manifest", ["gnu.sums", "gnu-bsd.sums", "driftmoor.sums",
                                      "driftmoor-bsd.sums", "stdin"])
def test_check_names_what_sha256sum_c_names(edited, manifest, options, mode):
    if manifest == "stdin":
        gnu = run_with_input("sha256sum", ["-c", *options, "-"], edited, edited / "gnu.sums")
        ours = run_with_input(DRIFTMOOR, ["check", *mode, *options, "-"], edited,
                              edited / "gnu.sums")
    else:
        gnu = run_sha256sum("-c", *options, manifest, cwd=edited)
        ours = run_driftmoor("check", *mode, *options, manifest, cwd=edited)
    assert gnu.returncode == ours.returncode == 1
    # A check that walks a tree it chose says which; sha256sum walks none.
    name = "standard input" if manifest == "stdin" else manifest
    said = (f"driftmoor: checking {edited}/tree (the folder that holds every path in {name})\n"
            if not mode and "--status" not in options else "")
    assert ours.stderr == said.encode()
    if "--status" in options:
        assert gnu.stdout == ours.stdout == b""
        return
    expected = gnu_named(gnu.stdout)
    assert ({name.removeprefix("tree/") for name in expected}
            == {name for name in LISTED if not (name == MISSING and "--ignore-missing" in options)
                and not (name != CHANGED and name != MISSING and "--quiet" in options)})
    assert driftmoor_named(ours.stdout) == expected


@pytest.mark.parametrize("options", [(), ("--status",)])
def test_nothing_found_with_ignore_missing_fails_as_with_sha256sum(edited, options):
    gnu = run_sha256sum("-c", "--ignore-missing", *options, "gone.sums", cwd=edited)
    ours = run_driftmoor("check", "--listed-only", "--ignore-missing", *options, "gone.sums",
                         cwd=edited)
    assert gnu.returncode == ours.returncode == 1
    assert gnu_named(gnu.stdout) == {}
    if options:
        assert (ours.stdout, ours.stderr) == (b"", b"")
    else:
        assert ours.stdout == b"summary: 0 ok, 0 changed, 0 unreadable\n"
        assert ours.stderr == b"driftmoor: gone.sums: no file was verified\n"


def test_listed_only_checks_the_listed_files_and_names_no_others(edited):
    listed_only = run_driftmoor("check", "--listed-only", "partial.sums", "tree", cwd=edited)
    assert (listed_only.returncode, listed_only.stderr) == (1, b"")
    assert listed_only.stdout.decode() == (
        f"\\changed: tree/{NAMES[CHANGED]}\nok: tree/plain.txt\n"
        "summary: 1 ok, 1 changed, 0 missing, 0 unreadable\n")
    assert driftmoor_named(listed_only.stdout) == gnu_named(
        run_sha256sum("-c", "partial.sums", cwd=edited).stdout)
    # The walk sees every other file as added.
    walked = run_driftmoor("check", "--quiet", "partial.sums", "tree", cwd=edited)
    assert list(driftmoor_named(walked.stdout).values()).count("added") == len(LISTED) - 3


@pytest.mark.parametrize(
    "line",
    [
        "SHA256 ({path}) = {digest}",
        "SHA256({path})= {digest}",
        "SHA256 ({path}) =\t{digest}",
        "  \tSHA256 ({path}) = {DIGEST}",
        " {digest}  {path}",
        "{DIGEST} *{path}",
    ],
)
def test_every_line_sha256sum_c_takes_is_taken(tmp_path, line):
    # Names that a BSD line holds with care: parentheses, ` = ` and escapes.
    for name in ["a (1).txt", "b) = c", "back\\slash", "line\nfeed"]:
        (tmp_path / name).write_bytes(name.encode())
        digest = run_sha256sum("--", name, cwd=tmp_path).stdout.decode().split()[0].lstrip("\\")
        shown = name.replace("\\", "\\\\").replace("\n", "\\n")
        # An escaped line is marked after any leading blanks.
        body = line.lstrip(" \t")
        marked = line[: len(line) - len(body)] + ("\\" if shown != name else "") + body
        (tmp_path / "one.sums").write_text(
            marked.format(path=shown, digest=digest, DIGEST=digest.upper()) + "\n")
        gnu = run_sha256sum("-c", "one.sums", cwd=tmp_path)
        ours = run_driftmoor("check", "--listed-only", "one.sums", cwd=tmp_path)
        assert gnu.returncode == ours.returncode == 0, (name, gnu.stderr, ours.stderr)
        assert driftmoor_named(ours.stdout) == gnu_named(gnu.stdout) == {name: "ok"}


SCHEMA = json.loads((Path(__file__).parents[2] / "docs/report.schema.json").read_text())


def listed_digests(manifest):
    """path -> digest of a sha256sum manifest of the names in LISTED."""
    digests = {}
    for line in manifest.read_bytes().decode().split("\n")[:-1]:
        escaped = line.startswith("\\")
        digest, _, path = line.removeprefix("\\").partition("  ")
        digests[unescape(path) if escaped else path] = digest
    return digests


def digest_of(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_json_reports_hold_each_path_the_digests_the_summary_and_the_status(edited):
    listed = listed_digests(edited / "gnu.sums")
    now = {f"tree/{name}": digest_of(edited / "tree" / name)
           for name in LISTED if name != MISSING}
    states = {"ok", "changed", "missing", "added", "moved", "unreadable", "passed_over"}
    for arguments, summary, status, expected, actual in [
        (("check", "gnu.sums", "tree"), {"ok": len(LISTED) - 2, "changed": 1, "missing": 1,
                                         "added": 0, "moved": 0, "unreadable": 0,
                                         "passed_over": 0}, 1,
         listed, now),
        (("check", "--listed-only", "--ignore-missing", "partial.sums"),
         {"ok": 1, "changed": 1, "unreadable": 0}, 1, listed, now),
        (("diff", "-q", "driftmoor.sums", "driftmoor.sums"),
         {"ok": len(LISTED), "changed": 0, "missing": 0, "added": 0, "moved": 0}, 0, listed,
         listed),
    ]:
        text = run_driftmoor(*arguments, cwd=edited)
        result = run_driftmoor(*arguments[:1], "--format", "json", *arguments[1:], cwd=edited)
        assert (result.returncode, result.stderr) == (status, text.stderr), arguments
        report = json.loads(result.stdout)
        jsonschema.validate(report, SCHEMA)
        # What the text names, with the digests known of each path.
        paths = {}
        for path, state in driftmoor_named(text.stdout).items():
            finding = {"state": state}
            if state != "added" and path in expected:
                finding["expected"] = expected[path]
            if state in ("ok", "changed"):
                finding["actual"] = actual[path]
            paths[path] = finding
        assert report == {"paths": paths, "summary": summary, "status": status}, arguments
        assert set(report["summary"]) <= states
        assert result.stdout.decode() == json.dumps(report, ensure_ascii=False, indent=2) + "\n"


def test_diff_reads_either_manifest_from_standard_input(edited):
    files = run_driftmoor("diff", "gnu.sums", "driftmoor.sums", cwd=edited)
    assert files.returncode == 0
    for arguments, piped in [(("diff", "-", "driftmoor.sums"), "gnu.sums"),
                             (("diff", "gnu.sums", "-"), "driftmoor.sums")]:
        piped = run_with_input(DRIFTMOOR, arguments, edited, edited / piped)
        assert (piped.returncode, piped.stdout, piped.stderr) == (0, files.stdout, b""), arguments
    both = run_driftmoor("diff", "-", "-", cwd=edited)
    assert both.returncode == 2
    assert both.stderr.endswith(b"driftmoor diff: error: OLD and NEW cannot both be standard input\n")
    unusable = run_with_input(DRIFTMOOR, ["check", "-"], edited, os.devnull)
    assert (unusable.returncode, unusable.stderr) == (2, b"driftmoor: standard input: lists no files\n")


@pytest.mark.parametrize("arguments", [("--version",), ("manifest", "--version"),
                                       ("check", "--version"), ("diff", "--version")])
def test_version_is_the_project_version(arguments):
    pyproject = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())
    result = run_driftmoor(*arguments)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == f"driftmoor {pyproject['project']['version']}\n"


@pytest.mark.parametrize("form, options", [("sha256sum", ()), ("bsd", ("--tag",))])
def test_manifest_of_a_file_is_the_line_sha256sum_prints(tmp_path, form, options):
    (tmp_path / "sub").mkdir()
    for name in ["plain.txt", "back\\slash", "line\nfeed", "sub/deeper"]:
        (tmp_path / name).write_bytes(name.encode() * 100)
    os.symlink("plain.txt", tmp_path / "link")
    for path in ["plain.txt", "./back\\slash", "line\nfeed", "sub/deeper", "link",
                 str(tmp_path / "plain.txt")]:
        result = run_driftmoor("manifest", "--format", form, path, cwd=tmp_path)
        expected = run_sha256sum(*options, "--", path, cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (0, expected.stdout, b""), path


def test_manifest_of_anything_else_is_refused_unopened(tmp_path):
    # Opening a FIFO would wait for a writer: it must not be opened at all.
    os.mkfifo(tmp_path / "fifo")
    for path, message in [("fifo", "fifo: not a regular file or a directory"),
                          ("/dev/null", "/dev/null: not a regular file or a directory")]:
        result = run_driftmoor("manifest", path, cwd=tmp_path, timeout=20)
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.decode() == f"driftmoor: {message}\n"
