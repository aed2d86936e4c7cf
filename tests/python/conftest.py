import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

# The benchmarks' plain-Python walker (bench/python_walker.py) is the tests'
# reference for a directory's manifest too.
sys.path.append(str(Path(__file__).resolve().parents[2] / "bench"))

# The test command runs this suite once per build (release, then sanitized)
# and names the build's module directory here, so a run never silently tests
# a module from somewhere else.
BUILD_MODULE_DIR = os.environ.get("DRIFTMOOR_MODULE_DIR")
SANITIZED = os.environ.get("DRIFTMOOR_SANITIZED") == "1"
# Set by the packaging test when it runs this suite against an installed wheel.
FROM_WHEEL = os.environ.get("DRIFTMOOR_FROM_WHEEL") == "1"

DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")
# A test marked `heavy` reads gigabytes or starts a cluster of processes:
# what it checks is the command's and the system's behaviour, not the code
# one compiler made of the module. The checkout's release build and the
# sanitized build run it; the debug interpreter's run (an unoptimised module
# in an interpreter several times slower, there for the reference counts)
# and the wheel's second run of the suite leave it out, so that the whole
# test command stays within the time its CI gives it.
HEAVY_LEFT_OUT = "heavy: run by the release and the sanitized builds' runs"

# A suite started in the background of a non-interactive shell inherits
# SIGINT ignored, and every command it starts would too (an ignored signal
# stays ignored across exec, and Python then installs no handler of its
# own), so the tests that press Ctrl-C would wait on a child that cannot
# hear it. A handler of our own is reset to the default in each child.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_collection_modifyitems(items):
    if DEBUG_INTERPRETER or FROM_WHEEL:
        for item in items:
            if item.get_closest_marker("heavy"):
                item.add_marker(pytest.mark.skip(reason=HEAVY_LEFT_OUT))


def pytest_sessionstart(session):
    import driftmoor
    import driftmoor_tree

    if BUILD_MODULE_DIR is not None:
        expected = Path(BUILD_MODULE_DIR).resolve()
        for module in (driftmoor, driftmoor_tree):
            loaded = Path(module.__file__).resolve().parent
            if loaded != expected:
                raise pytest.UsageError(
                    f"{module.__name__} was loaded from {loaded}, expected {expected}")


def run_python(code, *, timeout=60, env=None, wrapper=()):
    """Runs code in a fresh interpreter of this environment (same sys.path),
    for what can only be seen from outside: aborts and first use in a process.
    wrapper is a command that execs the interpreter, to start it with fewer
    privileges."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        child_env.update(env)
    return subprocess.run(
        [*wrapper, sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env,
    )


# The `driftmoor` command that set-up installs beside the interpreter, as the
# console script of an installed package would be.
DRIFTMOOR = Path(sys.executable).with_name("driftmoor")


def command_env(**changes):
    # The command imports the same driftmoor and driftmoor_cli as this
    # process, release or sanitized build alike.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.update(changes)
    return env


def run_driftmoor(*arguments, cwd=None, timeout=60, **env_changes):
    return subprocess.run(
        [DRIFTMOOR, *arguments],
        capture_output=True, cwd=cwd, env=command_env(**env_changes), timeout=timeout,
    )


def run_sha256sum(*arguments, cwd):
    # sha256sum is the reference, not the code under test: it runs without
    # the sanitizer runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(["sha256sum", *arguments], capture_output=True, cwd=cwd, env=env,
                          timeout=60)
