"""compare_hashes's comparison, compiled as it ships, has no branch and no
memory address that depends on the bytes it compares.

tests/support/constant_time_probe.cpp marks the compared bytes undefined for
valgrind's memcheck, which then reports any conditional jump or address that
depends on them; --error-exitcode turns a report into a failure. The probe is
built in build/release from the same object file as the module, so the
optimiser's output is what is checked, whichever build the suite runs against;
a run against an installed wheel names the probe of the wheel's own build in
DRIFTMOOR_CONSTANT_TIME_PROBE.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[2]
PROBE = Path(os.environ.get("DRIFTMOOR_CONSTANT_TIME_PROBE",
                           TOP / "build" / "release" / "constant_time_probe"))
VALGRIND = shutil.which("valgrind")
MEMCHECK_ERROR = 99

pytestmark = pytest.mark.skipif(
    VALGRIND is None, reason="valgrind is not installed (tools/setup.sh installs it)"
)


def run_under_memcheck(*arguments):
    assert PROBE.exists(), f"{PROBE} is missing: tools/setup.sh builds it"
    # The sanitized stage preloads ASan into this process; valgrind and the
    # uninstrumented probe must not inherit it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    return subprocess.run(
        [VALGRIND, "--tool=memcheck", f"--error-exitcode={MEMCHECK_ERROR}", str(PROBE), *arguments],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )


def test_nothing_depends_on_the_bytes_compared():
    result = run_under_memcheck()
    assert result.returncode == 0, result.stderr
    assert "ERROR SUMMARY: 0 errors" in result.stderr
    assert "0 wrong" in result.stdout


def test_a_comparison_that_stops_at_the_first_difference_is_caught():
    result = run_under_memcheck("--early-exit-control")
    assert result.returncode == MEMCHECK_ERROR, result.stderr
    assert "Conditional jump or move depends on uninitialised value" in result.stderr
