"""A signal stops a call that runs detached from the interpreter: the call
ends with what the signal's handler raised, promptly, leaving nothing open."""

import ast
import os

import pytest

from conftest import run_python

# The child sends itself SIGINT once the call has surely started (everything
# it imports is imported before), and reports
# how long the call took to end after it and which descriptors it left open.
CHILD = """
import os, signal, subprocess, threading, time
import driftmoor, driftmoor_tree

sent = []
def interrupt():
    time.sleep(0.3)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

before = sorted(os.listdir("/proc/self/fd"))
threading.Thread(target=interrupt).start()
try:
    CALL
    print(repr(("returned", None, None)))
except KeyboardInterrupt:
    ended = time.monotonic() - sent[0]
    CLEANUP
    print(repr(("KeyboardInterrupt", ended, sorted(os.listdir("/proc/self/fd")) == before)))
"""

# A pipe fed one byte every 10 ms by a writer process that never stops: every
# read returns soon, and the file never ends.
SLOW_FIFO = """\
os.mkfifo(fifo)
writer = subprocess.Popen(["sh", "-c", f"while :; do printf x; sleep 0.01; done > {fifo}"])
driftmoor.calculate_hash(fifo)"""


def fanning_tree(top):
    # Every level holds two links to the next, so the walk meets 2**40 paths:
    # it would run for ages, passing from entry to entry.
    for level in range(40):
        os.mkdir(f"{top}/d{level}")
    for level in range(39):
        for name in "ab":
            os.symlink(f"../d{level + 1}", f"{top}/d{level}/{name}")
    with open(f"{top}/d39/file", "wb") as f:
        f.write(b"x")
    return f"{top}/d0"


@pytest.mark.parametrize("call", ["zero", "fifo", "walk", "tree-walk", "tree-walk-with-workers"])
def test_sigint_stops_a_running_call(tmp_path, call):
    tree = fanning_tree(tmp_path)
    code, cleanup = {
        "zero": ('driftmoor.calculate_hash("/dev/zero")', "pass"),
        "fifo": (SLOW_FIFO, "writer.kill()"),
        "walk": (f"driftmoor.calculate_directory_manifest({tree!r})", "pass"),
        "tree-walk": (f"driftmoor_tree.walk({os.fsencode(tree)!r})", "pass"),
        "tree-walk-with-workers": (f"driftmoor_tree.walk({os.fsencode(tree)!r}, jobs=4)", "pass"),
    }[call]
    child = CHILD.replace("CALL", code.replace("\n", "\n    ")).replace("CLEANUP", cleanup)
    result = run_python(f"fifo = {str(tmp_path / 'fifo')!r}\n" + child, timeout=30)
    assert result.returncode == 0, result.stderr
    outcome, ended, nothing_left_open = ast.literal_eval(result.stdout.splitlines()[-1])
    assert outcome == "KeyboardInterrupt"
    assert ended < 1.0
    assert nothing_left_open
