"""`driftmoor manifest DIR`: what it prints is what `sha256sum -c` checks."""

import hashlib
import os
import subprocess
import sys

import pytest

import driftmoor

# Name under the tree → how it must appear on its line. A name holding a
# backslash, a line feed or a carriage return is escaped, and its line then
# starts with a backslash.
NAMES = {
    "plain.txt": "plain.txt",
    "with space.txt": "with space.txt",
    "back\\slash": "back\\\\slash",
    "line\nfeed": "line\\nfeed",
    "carriage\rreturn": "carriage\\rreturn",
    "ends in cr\r": "ends in cr\\r",
    "ünïcode ✓": "ünïcode ✓",
    "nested/deeper/file": "nested/deeper/file",
    "nested/dir\nwith \\ both/inner": "nested/dir\\nwith \\\\ both/inner",
}


def child_env(**changes):
    # The child imports the same driftmoor and driftmoor_cli as this process,
    # release or sanitized build alike.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.update(changes)
    return env


def run_cli(*arguments, cwd=None, **env_changes):
    return subprocess.run(
        [sys.executable, "-m", "driftmoor_cli", *arguments],
        capture_output=True, cwd=cwd, env=child_env(**env_changes), timeout=60,
    )


def run_sha256sum(*arguments, cwd):
    # sha256sum is the reference, not the code under test: it runs without
    # the sanitizer runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(["sha256sum", *arguments], capture_output=True, cwd=cwd, env=env,
                          timeout=60)


def check_sums(sums, cwd):
    """`sha256sum -c sums`: its exit status and the lines it reports."""
    check = run_sha256sum("-c", sums, cwd=cwd)
    # Split on LF only: a name's CR is reported as it is.
    return check.returncode, check.stdout.decode("utf-8").removesuffix("\n").split("\n")


def test_manifest_is_sorted_and_sha256sum_checks_it(tmp_path):
    for number, name in enumerate(NAMES):
        (tmp_path / "tree" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tree" / name).write_bytes(f"file {number}\n".encode() * (number + 1))

    # An ASCII-only stdout encoding proves the lines are written as UTF-8 bytes
    # whatever the locale says.
    result = run_cli("manifest", "tree", cwd=tmp_path, PYTHONIOENCODING="ascii")
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


def test_missing_directory_reports_the_module_message(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as raised:
        driftmoor.calculate_directory_manifest(missing)
    result = run_cli("manifest", missing)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"driftmoor: {raised.value}\n"


def test_usage_errors_exit_2_and_help_exits_0(tmp_path):
    for arguments in [(), ("manifest",), ("manifest", tmp_path, tmp_path), ("nonsense",)]:
        result = run_cli(*arguments)
        assert (result.returncode, result.stdout) == (2, b""), arguments
        assert result.stderr.startswith(b"usage: driftmoor"), arguments
    result = run_cli("--help")
    assert (result.returncode, result.stderr) == (0, b"")
    assert b"manifest" in result.stdout
