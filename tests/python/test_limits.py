"""Limits are errors, not crashes: --jobs past its ceiling is a usage error,
many workers fit in an address space that the system's default stacks
would not, and a manifest of a million lines is checked in memory that
grows with its lines, a few hundred bytes each."""

import subprocess

import pytest

from conftest import DRIFTMOOR, SANITIZED, command_env, run_driftmoor


def run_limited(script_limit, arguments, cwd, timeout=120):
    """The command under `ulimit -v` (KiB of address space)."""
    return subprocess.run(["bash", "-c", f'ulimit -v {script_limit}; exec "$@"', "bash",
                           DRIFTMOOR, *arguments],
                          capture_output=True, cwd=cwd, env=command_env(), timeout=timeout)


@pytest.mark.parametrize("jobs", ["1025", "4611686018427387904", "9223372036854775808",
                                  "1" + "0" * 40])
def test_jobs_past_the_ceiling_is_a_usage_error(tmp_path, jobs):
    for subcommand in ["manifest", "check"]:
        result = run_driftmoor(subcommand, "--jobs", jobs, "tree", cwd=tmp_path)
        assert (result.returncode, result.stdout) == (2, b""), subcommand
        assert f"--jobs: more than 1024: {jobs!r}".encode() in result.stderr
        assert b"Traceback" not in result.stderr


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    top = tmp_path_factory.mktemp("wide")
    for directory in range(40):
        (top / f"tree/d{directory}").mkdir(parents=True)
        for number in range(25):
            (top / f"tree/d{directory}/f{number}").write_bytes(b"%d %d" % (directory, number))
    return top


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs the address space")
def test_64_workers_fit_where_one_does(wide):
    # 64 threads with the system's 8 MiB stacks would want 512 MiB of address
    # space for their stacks alone.
    alone = run_driftmoor("manifest", "-j", "1", "tree", cwd=wide)
    assert (alone.returncode, alone.stderr) == (0, b"")
    many = run_limited(600_000, ("manifest", "-j", "64", "tree"), wide)
    assert (many.returncode, many.stdout, many.stderr) == (0, alone.stdout, b"")


@pytest.mark.heavy
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs the address space")
def test_a_million_lines_are_checked_in_bounded_memory(tmp_path):
    digest = "0" * 64
    with open(tmp_path / "huge.sums", "w") as manifest:
        for number in range(1_000_000):
            manifest.write(f"{digest}  tree/d{number // 1000:04}/file-{number:07}.dat\n")
    (tmp_path / "tree").mkdir()
    # Every listed file is missing: the whole manifest is held, sorted and
    # reported, within 300 MB of address space, interpreter included.
    result = run_limited(300_000, ("check", "--listed-only", "--quiet", "huge.sums"), tmp_path)
    assert (result.returncode, result.stderr) == (1, b"")
    assert result.stdout.endswith(b"summary: 0 ok, 0 changed, 1000000 missing, 0 unreadable\n")
    assert result.stdout.count(b"\n") == 1_000_001
