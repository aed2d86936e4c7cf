"""`driftmoor manifest DIR`: what it prints is what `sha256sum -c` checks, or
the module's dict as JSON."""

import hashlib
import json
import os
import subprocess
import sys

import pytest

import driftmoor
import driftmoor_tree
from command_trees import NAMES, make_tree
from conftest import command_env, run_driftmoor, run_sha256sum

def check_sums(sums, cwd):
    """`sha256sum -c sums`: its exit status and the lines it reports."""
    check = run_sha256sum("-c", sums, cwd=cwd)
    # Split on LF only: a name's CR is reported as it is.
    return check.returncode, check.stdout.decode("utf-8").removesuffix("\n").split("\n")


def test_manifest_is_sorted_and_sha256sum_checks_it(tmp_path):
    make_tree(tmp_path / "tree", NAMES, repeat=lambda number: number + 1)

    # An ASCII-only stdout encoding proves the lines are written as UTF-8 bytes
    # whatever the locale says.
    result = run_driftmoor("manifest", "tree", cwd=tmp_path, PYTHONIOENCODING="ascii")
    assert (result.returncode, result.stderr) == (0, b"")

    shown = {f"tree/{name}": f"tree/{escaped}" for name, escaped in NAMES.items()}
    lines = {
        path: ("\\" if shown[path] != path else "")
        + f"{hashlib.sha256((tmp_path / path).read_bytes()).hexdigest()}  {shown[path]}\n"
        for path in shown
    }
    assert result.stdout.decode("utf-8") == "".join(lines[path] for path in sorted(lines))

    # Lines without a carriage return are byte for byte what this machine's
    # sha256sum writes (some coreutils versions leave a CR unescaped).
    plain = sorted(path for path in shown if "\r" not in path)
    reference = run_sha256sum("--", *plain, cwd=tmp_path)
    assert reference.stdout.decode("utf-8") == "".join(lines[path] for path in plain)

    sums = tmp_path / "sums"
    sums.write_bytes(result.stdout)
    status, reported = check_sums(sums, tmp_path)
    assert status == 0, reported
    assert len(reported) == len(NAMES) and all(r.endswith(": OK") for r in reported), reported

    changed = "tree/nested/dir\nwith \\ both/inner"
    with open(tmp_path / changed, "ab") as file:
        file.write(b"changed")
    status, reported = check_sums(sums, tmp_path)
    assert status == 1
    assert len(reported) == len(NAMES)
    assert [r for r in reported if not r.endswith(": OK")] == [f"\\{shown[changed]}: FAILED"]


def test_json_is_the_module_dict_sorted_by_path(tmp_path):
    make_tree(tmp_path, NAMES, repeat=lambda number: number + 1)
    result = run_driftmoor("manifest", "--format", "json", tmp_path, PYTHONIOENCODING="ascii")
    assert (result.returncode, result.stderr) == (0, b"")
    written = json.loads(result.stdout.decode("utf-8"))
    assert written == driftmoor.calculate_directory_manifest(str(tmp_path))
    assert list(written) == sorted(written)
    # Written line by line, as json.dumps would write it all at once; and an
    # empty tree is an empty object.
    (tmp_path / "empty").mkdir()
    for tree in (tmp_path, tmp_path / "empty"):
        result = run_driftmoor("manifest", "--format", "json", tree)
        expected = dict(sorted(driftmoor.calculate_directory_manifest(str(tree)).items()))
        assert result.stdout.decode() == json.dumps(expected, ensure_ascii=False, indent=2) + "\n"


def test_a_missing_directory_is_named_with_the_walks_message(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as raised:
        driftmoor_tree.walk(os.fsencode(missing))
    result = run_driftmoor("manifest", missing)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"driftmoor: {missing}: {raised.value}\n"


def test_usage_errors_exit_2_and_help_exits_0(tmp_path):
    for arguments in [(), ("manifest",), ("manifest", tmp_path, tmp_path), ("nonsense",),
                      ("manifest", "--format", "xml", tmp_path), ("check",), ("diff", "old")]:
        result = run_driftmoor(*arguments)
        assert (result.returncode, result.stdout) == (2, b""), arguments
        assert result.stderr.startswith(b"usage: driftmoor"), arguments
    result = run_driftmoor("--help")
    assert (result.returncode, result.stderr) == (0, b"")
    assert b"manifest" in result.stdout


def test_manifest_starts_without_what_it_does_not_use(tmp_path):
    # Every start of `driftmoor manifest` pays for each module it imports;
    # these it has no use for (the module `driftmoor`: the walk and the lines
    # come from driftmoor_tree).
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree/a").write_bytes(b"a")
    code = ("import os, sys\nfrom driftmoor_cli import main\n"
            "status = main(['manifest', 'tree'])\n"
            "os.write(1, ('\\n'.join(sorted(sys.modules)) + '\\n').encode())\n"
            "sys.exit(status)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=tmp_path, env=command_env(), timeout=60)
    assert result.returncode == 0, result.stderr
    loaded = set(result.stdout.splitlines()[1:])
    assert "driftmoor_tree" in loaded
    unused = {"driftmoor", "driftmoor_cli.formats", "driftmoor_cli.compare", "json", "typing",
              "contextlib", "dataclasses", "shutil"}
    assert loaded & unused == set()
