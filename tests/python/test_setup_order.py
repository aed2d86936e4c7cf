"""The README's commands in any order: a build directory first set up for
the main job alone, then for the tests, has what the tests need; and the
checkout's command says in one line what to run when its build is missing."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import DRIFTMOOR, FROM_WHEEL

TOP = Path(__file__).resolve().parents[2]


def configure(build, *definitions):
    subprocess.run(
        ["cmake", "-S", TOP, "-B", build, "-G", "Ninja", f"-DPython_EXECUTABLE={sys.executable}",
         *definitions],
        check=True, capture_output=True, timeout=300,
    )
    return subprocess.run(["cmake", "--build", build, "--target", "help"], check=True,
                          capture_output=True, text=True).stdout


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
@pytest.mark.parametrize("first, then, has_test_module", [
    # The main job's set-up, then the tests' (reconfigured, not made anew).
    ("-DDRIFTMOOR_DEVELOPER_BUILD=OFF", "-DDRIFTMOOR_DEVELOPER_BUILD=ON", True),
    # The tests' set-up, then the main job's, which keeps the build as it is.
    ("-DDRIFTMOOR_DEVELOPER_BUILD=ON", None, True),
    # The shipped modules alone have no test-only module.
    ("-DDRIFTMOOR_DEVELOPER_BUILD=OFF", None, False),
    # The wheel's build asks for the test support alone.
    ("-DDRIFTMOOR_TEST_SUPPORT=ON", None, True),
])
def test_test_support_follows_the_last_configuration(tmp_path, first, then, has_test_module):
    targets = configure(tmp_path, first)
    if then is not None:
        targets = configure(tmp_path, then)
    assert ("_driftmoor_testing" in targets) == has_test_module


@pytest.mark.skipif(FROM_WHEEL, reason="the checkout's launcher, not an installed one")
def test_command_without_its_build_says_what_to_run():
    # Without site's paths (-S) the build's modules are not found, as when
    # build/release was removed; nor are they on a PYTHONPATH (the sanitized
    # build's stage puts its own there).
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    result = subprocess.run([sys.executable, "-S", DRIFTMOOR, "--version"], capture_output=True,
                            text=True, timeout=60, env=environment)
    assert result.returncode == 2
    assert result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith("driftmoor: driftmoor is not built in ")
    assert line.endswith("tools/setup.sh --main")
