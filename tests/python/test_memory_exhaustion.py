"""Running out of memory inside a call is the caller's MemoryError, like any
allocation that fails in Python: never an internal failure, never a crash,
and nothing of the call left behind."""

import ast
import os

import pytest

from conftest import SANITIZED, run_python

# In the child: the address-space limit is set a little above what the
# process uses, over a sweep of margins, and each call must give its full
# result or MemoryError. The limit is lifted before anything is recorded.
# Each call runs while its last result is still held, so that it cannot run
# wholly in memory that the call before it freed: the tightest limits fail.
CHILD = """
import os, resource
import driftmoor, driftmoor_tree

def used():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

calls = {
    "manifest": lambda: driftmoor.calculate_directory_manifest(tree),
    "hash": lambda: driftmoor.calculate_hash(tree + "/big"),
    "tree-walk": lambda: driftmoor_tree.walk(tree.encode()),
}
expected = {name: call() for name, call in calls.items()}
held = dict(expected)
descriptors = len(os.listdir("/proc/self/fd"))
outcomes = []
for margin in range(0, 3 << 20, 16 << 10):
    for name, call in calls.items():
        result = None
        try:
            resource.setrlimit(resource.RLIMIT_AS, (used() + margin, resource.RLIM_INFINITY))
            try:
                result = call()
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        except MemoryError:
            outcomes.append("MemoryError")
            continue
        outcomes.append("same" if result == expected[name] else repr(result)[:200])
        held[name] = result
print(repr((outcomes, len(os.listdir("/proc/self/fd")) - descriptors)))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts when memory runs out")
def test_every_call_under_a_memory_limit_gives_its_result_or_memory_error(tmp_path):
    for directory in range(20):
        os.makedirs(f"{tmp_path}/{directory}")
        for name in range(200):
            with open(f"{tmp_path}/{directory}/{name:03}-{'n' * 30}", "wb") as f:
                f.write(b"%d" % name)
    with open(f"{tmp_path}/big", "wb") as f:
        f.write(os.urandom(1 << 20))
    result = run_python(f"tree = {str(tmp_path)!r}\n{CHILD}", timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes, leaked = ast.literal_eval(result.stdout)
    assert set(outcomes) <= {"same", "MemoryError"}, [o for o in outcomes if len(o) > 11]
    # The sweep reaches both ends: limits too tight for any call, and wide
    # enough for every one.
    assert "MemoryError" in outcomes and outcomes[-3:] == ["same", "same", "same"]
    assert leaked == 0
