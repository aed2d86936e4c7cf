"""How much memory calculate_directory_manifest needs at its peak, against a
plain-Python walker building the same dict; and what the command's walk
(driftmoor_tree.walk) needs with workers, against the same walk on one thread.

    .venv/bin/python bench/peak_rss.py            # 10-20 seconds
    .venv/bin/python bench/peak_rss.py --quick    # a few seconds, 10,000 files

The tree: 100,000 files of a few bytes, 1,000 directories of 100, generated
under $TMPDIR (or --dir) and deleted afterwards. The children run in its
parent directory and name it `t`, so every key is 35 bytes long wherever the
tree lies.

Each subject runs in a fresh child process, which reads its own peak
resident set (VmHWM; ru_maxrss would also count the parent's, kept across the
exec) once its imports are done and again after the call, while the dict is
still alive. The reference is manifest_bench.py's walker (python_walker.py:
os.scandir following links, an unbuffered open and one read per file,
hashlib.sha256), which needs hashlib where the module does not: the "after
imports" column shows what each child held before its call. A bare
interpreter gives the floor.

Rounds alternate the children's order and each subject keeps its smallest
peak. The ratio is driftmoor's peak over the walker's; the target is <= 1.1x.
The command's walk with as many workers as there are usable cores (at least
two) is compared with the same walk with one job; the target is <= 1.2x.
"""

import argparse
import inspect
import os
import shutil
import subprocess
import sys
import tempfile

import python_walker as python_walker_module
from timing import alternate, print_table

TARGET = 1.1
WORKERS_TARGET = 1.2
JOBS = max(2, os.process_cpu_count() or 1)
HEADER = ["peak RSS, one call", "after imports", "peak", "ratio", "target"]

# Each child prints: RSS after its imports, RSS after the call (KiB), and a
# digest of the sorted items, taken after the peak was read, so that the
# subjects are seen to build the same dict.
MEASURED_CALL = """
import sys
{imports}
def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
{definitions}
before = peak_kib()
manifest = {call}(sys.argv[1])
after = peak_kib()
import hashlib
import os
items = "".join(f"{{os.fsdecode(key)}} {{value}}\\n" for key, value in sorted(manifest.items()))
print(before, after, len(manifest), hashlib.sha256(items.encode()).hexdigest())
"""

CHILDREN = {
    "driftmoor": MEASURED_CALL.format(
        imports="import driftmoor", definitions="",
        call="driftmoor.calculate_directory_manifest"),
    "python walker": MEASURED_CALL.format(imports="",
                                          definitions=inspect.getsource(python_walker_module),
                                          call="python_walker"),
    # The command's walk takes and gives bytes; its dict is the module's with
    # bytes keys, so the same digest of the items shows the same result.
    "driftmoor_tree, 1 job": MEASURED_CALL.format(
        imports="import driftmoor_tree", definitions="",
        call="(lambda top: driftmoor_tree.walk(top.encode(), jobs=1).files)"),
    f"driftmoor_tree, {JOBS} jobs": MEASURED_CALL.format(
        imports="import driftmoor_tree", definitions="",
        call=f"(lambda top: driftmoor_tree.walk(top.encode(), jobs={JOBS}).files)"),
}

BARE_INTERPRETER = """
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""


def make_tree(top, directories, files_per_directory):
    for d in range(directories):
        directory = os.path.join(top, f"d{d:03d}")
        os.makedirs(directory)
        for f in range(files_per_directory):
            with open(os.path.join(directory, f"record-{d:03d}-{f:02d}-sensordata.csv"),
                      "wb") as out:
                out.write(b"%d,%d\n" % (d, f))


def run_child(code, cwd, *args):
    return subprocess.run([sys.executable, "-c", code, *args], cwd=cwd, check=True,
                          capture_output=True, text=True).stdout.split()


def peak_rss_rows(quick=False, rounds=None, dir=None):
    """Generates the tree, measures each subject in fresh children over
    alternating rounds and returns the table's rows (see HEADER)."""
    directories = 100 if quick else 1000
    rounds = rounds or (2 if quick else 3)
    root = tempfile.mkdtemp(prefix="driftmoor-peak-", dir=dir)
    try:
        make_tree(os.path.join(root, "t"), directories, 100)
        results = {name: [] for name in [*CHILDREN, "bare interpreter"]}
        subjects = {name: (lambda name=name, code=code: results[name].append(
                        run_child(code, root, "t")))
                    for name, code in CHILDREN.items()}
        subjects["bare interpreter"] = lambda: results["bare interpreter"].append(
            run_child(BARE_INTERPRETER, root))
        alternate(subjects, rounds)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    files = directories * 100
    dicts = {tuple(result[2:]) for name in CHILDREN for result in results[name]}
    if len(dicts) != 1 or int(next(iter(dicts))[0]) != files:
        sys.exit("peak RSS: the subjects built different dicts")

    def smallest(name, column):
        return min(int(result[column]) for result in results[name])

    def mib(kib):
        return f"{kib / 1024:.1f} MiB"

    # Each measured subject against its reference, with its target.
    compared = {"driftmoor": ("python walker", TARGET),
                "driftmoor_tree, 1 job": ("python walker", None),
                f"driftmoor_tree, {JOBS} jobs": ("driftmoor_tree, 1 job", WORKERS_TARGET)}
    rows = []
    for name in CHILDREN:
        peak = smallest(name, 1)
        ratio = target = ""
        if name in compared:
            reference, limit = compared[name]
            share = peak / smallest(reference, 1)
            ratio = f"{share:.2f}x {'walker' if reference == 'python walker' else '1 job'}"
            if limit:
                target = f"<= {limit}x {'met' if share <= limit else 'ABOVE'}"
        rows.append([f"{name}, {files:,} files", mib(smallest(name, 0)), mib(peak), ratio,
                     target])
    rows.append(["bare interpreter", "", mib(smallest("bare interpreter", 0)), "", ""])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small tree, few rounds")
    parser.add_argument("--rounds", type=int, help="rounds per subject (default 3)")
    parser.add_argument("--dir", help="where to generate the tree (default: $TMPDIR)")
    args = parser.parse_args()
    print_table(HEADER, peak_rss_rows(args.quick, args.rounds, args.dir))


if __name__ == "__main__":
    main()
