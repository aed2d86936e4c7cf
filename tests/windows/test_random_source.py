"""The Windows build keys its tables from whichever of the system's two random
sources it has, and fails rather than use a predictable key with neither.
WINEDLLOVERRIDES makes a DLL absent for one process (tools/test.sh installs
the stand-in bcryptprimitives.dll; wine's bcrypt.dll is its own)."""

import os
import subprocess

import pytest

from test_cross_build import WINDOWS_PROGRAM, WINE, pytestmark, windows_path  # noqa: F401


def run_without(dlls, *arguments):
    env = dict(os.environ)
    if dlls:
        env["WINEDLLOVERRIDES"] = f"{env.get('WINEDLLOVERRIDES', '')};{','.join(dlls)}="
    return subprocess.run([WINE, WINDOWS_PROGRAM, *arguments], capture_output=True,
                          stdin=subprocess.DEVNULL, env=env, timeout=60)


@pytest.mark.parametrize("absent", [(), ("bcryptprimitives",)], ids=["ProcessPrng", "BCrypt"])
def test_every_process_draws_its_own_key(absent):
    first, second = (run_without(absent, "table-key") for _ in range(2))
    assert first.returncode == second.returncode == 0, first.stderr
    assert first.stdout != second.stdout


def test_without_a_random_source_the_manifest_fails(tmp_path):
    result = run_without(("bcryptprimitives", "bcrypt"), "manifest", windows_path(tmp_path))
    assert (result.returncode, result.stdout, result.stderr.decode().splitlines()) == (1, b"", [
        "no random source: neither ProcessPrng (bcryptprimitives.dll) nor BCryptGenRandom "
        "(bcrypt.dll) could be loaded"])
