"""A call made with little native stack left, or nested by signal handlers
that call in again, ends in RecursionError (or works), never in a crash."""

import ast

import pytest

from conftest import run_python

# Recursion through C (map) takes native stack at every level; the call is
# made at each of the last 150 levels before the interpreter's limit.
NEAR_THE_LIMIT = """
import sys
sys.setrecursionlimit(1_000_000)
def bottom(level):
    try:
        return list(map(bottom, [level + 1]))[0]
    except RecursionError:
        return level
deepest, outcomes = bottom(0), set()
def dive(level):
    if level >= deepest - 150:
        try:
            CALL
            outcomes.add("returned")
        except RecursionError:
            outcomes.add("RecursionError")
    try:
        list(map(dive, [level + 1]))
    except RecursionError:
        pass
dive(0)
print(sorted(outcomes))
"""

# A SIGALRM handler calls in again on an input slower than the 5 ms timer, so
# every call runs the next handler from inside itself. The level that meets
# the limit stops the timer, so that all of them can unwind.
NESTED_HANDLERS = """
import os, signal
SLOW_INPUT
stopping = False
def handler(signum, frame):
    global stopping
    try:
        stopping or driftmoor.calculate_hash(slow)
    except RecursionError:
        stopping = True
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
try:
    driftmoor.calculate_hash(slow)
except RecursionError:
    print(["RecursionError"])
"""
# A pipe whose writer (this process) never writes; a sparse 1 GiB file.
FIFO = 'slow = TOP + "/fifo"; os.mkfifo(slow); writer = os.open(slow, os.O_RDWR)'
LARGE_FILE = 'slow = TOP + "/large"\nwith open(slow, "wb") as f: f.truncate(1 << 30)'
# Filled long before Python's own limit of 1000 frames.
SMALL_STACK = ("prlimit", f"--stack={256 * 1024}", "--")
BOTH = {"RecursionError", "returned"}


@pytest.mark.parametrize(
    "child, wrapper, allowed",
    [
        (NEAR_THE_LIMIT.replace("CALL", "driftmoor.calculate_hash(FILE)"), (), BOTH),
        (NEAR_THE_LIMIT.replace("CALL", "driftmoor.calculate_directory_manifest(TOP)"), (), BOTH),
        (NESTED_HANDLERS.replace("SLOW_INPUT", FIFO), SMALL_STACK, {"RecursionError"}),
        (NESTED_HANDLERS.replace("SLOW_INPUT", LARGE_FILE), SMALL_STACK, {"RecursionError"}),
    ],
    ids=["hash-near-the-limit", "manifest-near-the-limit", "handlers-fifo", "handlers-file"],
)
def test_ends_in_recursion_error_never_a_signal(tmp_path, child, wrapper, allowed):
    (tmp_path / "file").write_bytes(b"x" * 100_000)
    prologue = f"import driftmoor\nTOP = {str(tmp_path)!r}\nFILE = TOP + '/file'\n"
    result = run_python(prologue + child, wrapper=wrapper, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = set(ast.literal_eval(result.stdout.splitlines()[-1]))
    assert outcomes and outcomes <= allowed
