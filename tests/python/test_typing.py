"""Type checkers know the modules' functions as they are: the stubs match
the built modules, and a program using each one passes `mypy --strict`,
as does the command's own package."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import DEBUG_INTERPRETER, SANITIZED

TOP = Path(__file__).resolve().parents[2]

# Every function, by keyword (the stubs' parameter names must be the real
# ones), with its result's type; bytes and path objects are refused, as the
# module refuses them (an unneeded ignore fails under --strict).
TYPED_USE = """\
from pathlib import Path
from typing import assert_type

import driftmoor
import driftmoor_tree

digest = driftmoor.calculate_hash(path="a.txt")
assert_type(digest, str)
assert_type(driftmoor.compare_hashes(hash_a=digest, hash_b=digest), bool)
assert_type(driftmoor.calculate_directory_manifest(dir_path="tree"), dict[str, str])
driftmoor.calculate_hash(b"a.txt")  # type: ignore[arg-type]
driftmoor.calculate_directory_manifest(Path("tree"))  # type: ignore[arg-type]
walked = driftmoor_tree.walk(b"tree", exclude=(1, 2), progress=bytearray(8))
assert_type(walked.files, dict[bytes, str])
assert_type(walked.failures, list[tuple[bytes, driftmoor_tree.LeftOutKind, str | None]])
files, failures, passed_over, root = walked
assert_type(passed_over, list[tuple[bytes, driftmoor_tree.LeftOutKind, str | None]])
assert_type(root, driftmoor_tree.RootKind)
assert_type(driftmoor_tree.escape_path(b"a\\nb"), tuple[bytes, bytes])
assert_type(driftmoor_tree.unescape_path(b"a\\\\nb"), bytes | None)
assert_type(driftmoor_tree.manifest_lines(files, format="bsd"), list[bytes])
driftmoor_tree.walk("tree")  # type: ignore[arg-type]
assert_type(driftmoor_tree.plain_path(b"a//b"), bytes)
listed = driftmoor_tree.ListedManifest()
assert_type(listed.read(b"..."), driftmoor_tree.ManifestProblem | None)
assert_type(listed.seal(), driftmoor_tree.ManifestProblem | None)
assert_type(listed.roots(), tuple[bytes | None, bytes | None])
findings = driftmoor_tree.check(listed, tree=b"tree", links=driftmoor_tree.LinkRule.NONE)
for path, state, expected, actual, kind, message, below, moved_to, came in findings:
    assert_type(state, driftmoor_tree.PathState)
    assert_type(came, driftmoor_tree.Came)
report = findings.report(("ok",), ("ok",), (), (), (), (), counted=(driftmoor_tree.PathState.OK,))
assert_type(report.status, int)
assert_type(next(report), bytes)

import driftmoor_cli
result = driftmoor_cli.check("tree.sums", "tree", jobs=2, links="all")
assert_type(result, driftmoor_cli.CheckResult)
for entry in result.entries():
    assert_type(entry.expected, str | None)
assert_type(driftmoor_cli.manifest(b"tree").files, dict[bytes, str])
driftmoor_cli.check("tree.sums", links="sideways")  # type: ignore[arg-type]
"""

pytestmark = pytest.mark.skipif(
    SANITIZED or DEBUG_INTERPRETER,
    reason="checks the stubs, not a build: once per run is enough",
)


def mypy(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True,
                          cwd=cwd, timeout=300)


def test_stubs_match_the_built_module(tmp_path):
    result = mypy("mypy.stubtest", "driftmoor", "driftmoor_tree", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_checking_of_every_function_and_of_the_command(tmp_path):
    (tmp_path / "typed_use.py").write_text(TYPED_USE)
    result = mypy("mypy", "--strict", "typed_use.py", TOP / "python/driftmoor_cli", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
