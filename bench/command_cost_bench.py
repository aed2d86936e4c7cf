"""What the `driftmoor` command costs beyond its walk, and what its
accounting costs.

1. Accounting: `driftmoor manifest` as it was (the command's package at a
   git revision, by default the branch `cli`, which walked with
   driftmoor.calculate_directory_manifest: UTF-8 names only, everything left
   out silently) against the command as it is (driftmoor_tree's walk, every
   name, every entry left out accounted for), both on one thread (the
   command now with --jobs 1), as whole processes with their output thrown
   away, in alternating rounds, on 20,000 small files and on 1,000 files of
   1 MiB. Both run on the same interpreter and the same build of the
   modules: the package is all that differs.
   The walks alone are compared too, in this process:
   driftmoor.calculate_directory_manifest against driftmoor_tree.walk on one
   thread, which is where the accounting itself lives.
2. The command's own cost: the whole `driftmoor manifest --jobs 1` process
   on the 20,000 files, less the bare walk (driftmoor_tree.walk on one
   thread, timed inside one process); and, for reference, less a bare
   process that does nothing but that walk.

    .venv/bin/python bench/command_cost_bench.py [--quick] [--before REV] [--dir DIR]

Each subject keeps its best round (the least disturbed) and its median; the
load average is printed before and after, since the machine is shared.
Nothing fails on a slow number.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import driftmoor
import driftmoor_tree
from manifest_bench import make_large_files, make_wide_tree
from timing import alternate, print_table

TOP = Path(__file__).resolve().parents[1]
MODULES = os.path.dirname(driftmoor_tree.__file__)
LAUNCH = "import sys; from driftmoor_cli import main; sys.exit(main())"
BARE_WALK = """
import sys, time, driftmoor_tree
start = time.perf_counter()
driftmoor_tree.walk(sys.argv[1].encode(), jobs=1)
print(time.perf_counter() - start)
"""


def package_at(revision, into):
    """The command's package as it was at `revision`, unpacked under `into`."""
    archive = subprocess.run(["git", "-C", TOP, "archive", revision, "python/driftmoor_cli"],
                             check=True, capture_output=True).stdout
    os.makedirs(into)
    subprocess.run(["tar", "-x", "-C", into], input=archive, check=True)
    # Compiled, as set-up compiles the checkout's package, so that neither
    # side pays for compiling where PYTHONDONTWRITEBYTECODE is set.
    subprocess.run([sys.executable, "-m", "compileall", "-q", into], check=True)
    return os.path.join(into, "python")


def command(package, arguments):
    # The same launcher for both, as the console script runs it; the package
    # given comes first on the path, the modules of this build after it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package, MODULES]))

    def run():
        subprocess.run([sys.executable, "-c", LAUNCH, *arguments], env=env, check=True,
                       stdout=subprocess.DEVNULL)

    return run


def summary(seconds):
    return min(seconds), statistics.median(seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small trees, few rounds")
    parser.add_argument("--before", default="cli", help="git revision of the command before")
    parser.add_argument("--dir", help="where to generate the trees (default: $TMPDIR)")
    args = parser.parse_args()
    wide_files, wide_dirs = (2000, 40) if args.quick else (20000, 400)
    large_count = 50 if args.quick else 1000
    rounds = 5 if args.quick else 15

    print(f"load average before: {os.getloadavg()}")
    root = tempfile.mkdtemp(prefix="driftmoor-cost-bench-", dir=args.dir)
    try:
        before = package_at(args.before, os.path.join(root, "before"))
        now = str(TOP / "python")
        wide = os.path.join(root, "wide")
        make_wide_tree(wide, wide_files, wide_dirs, 8192)
        large = os.path.join(root, "large")
        make_large_files(large, large_count, 1 << 20)

        rows = []
        for label, tree in [(f"{wide_files:,} files", wide), (f"{large_count:,} x 1 MiB", large)]:
            subjects = {
                "before": command(before, ["manifest", tree]),
                "now --jobs 1": command(now, ["manifest", "--jobs", "1", tree]),
            }
            for run in subjects.values():
                run()  # warm: the page cache, and the packages' bytecode
            (old_best, old_median), (new_best, new_median) = (
                summary(seconds) for seconds in alternate(subjects, rounds).values())
            rows.append([label, f"{old_best * 1000:.1f} ms", f"{new_best * 1000:.1f} ms",
                         f"{new_best / old_best - 1:+.1%}", f"{old_median * 1000:.1f} ms",
                         f"{new_median * 1000:.1f} ms", f"{new_median / old_median - 1:+.1%}"])
        print(f"\nAccounting: whole processes, {rounds} alternating rounds, before = {args.before}")
        print_table(["tree", "before best", "now best", "cost", "before median", "now median",
                     "cost (medians)"], rows)

        rows = []
        for label, tree in [(f"{wide_files:,} files", wide), (f"{large_count:,} x 1 MiB", large)]:
            walks = {
                "module": lambda: driftmoor.calculate_directory_manifest(tree),
                "tree walk": lambda: driftmoor_tree.walk(tree.encode(), jobs=1),
            }
            (old_best, old_median), (new_best, new_median) = (
                summary(seconds) for seconds in alternate(walks, rounds).values())
            rows.append([label, f"{old_best * 1000:.1f} ms", f"{new_best * 1000:.1f} ms",
                         f"{new_best / old_best - 1:+.1%}", f"{old_median * 1000:.1f} ms",
                         f"{new_median * 1000:.1f} ms", f"{new_median / old_median - 1:+.1%}"])
        print(f"\nThe walks alone, in this process ({rounds} alternating rounds): "
              "calculate_directory_manifest against driftmoor_tree.walk(jobs=1)")
        print_table(["tree", "module best", "tree walk best", "cost", "module median",
                     "tree walk median", "cost (medians)"], rows)

        # The command's own cost: whole process less the walk.
        walk_seconds = []
        bare_env = dict(os.environ, PYTHONPATH=MODULES)

        def bare_process():
            result = subprocess.run([sys.executable, "-c", BARE_WALK, wide], env=bare_env,
                                    check=True, capture_output=True, text=True)
            walk_seconds.append(float(result.stdout))

        def empty_process():
            subprocess.run([sys.executable, "-c", "pass"], env=bare_env, check=True)

        subjects = {
            "command": command(now, ["manifest", "--jobs", "1", wide]),
            "bare walk process": bare_process,
            "empty interpreter": empty_process,
        }
        timed = alternate(subjects, rounds)
        command_best, command_median = summary(timed["command"])
        walk_best, walk_median = summary(walk_seconds)
        process_best, process_median = summary(timed["bare walk process"])
        empty_best, empty_median = summary(timed["empty interpreter"])
        print(f"\nThe command's own cost on {wide_files:,} files ({rounds} alternating rounds)")
        print_table(
            ["", "best", "median"],
            [
                ["driftmoor manifest --jobs 1 (whole process)", f"{command_best * 1000:.1f} ms",
                 f"{command_median * 1000:.1f} ms"],
                ["driftmoor_tree.walk, timed inside a process", f"{walk_best * 1000:.1f} ms",
                 f"{walk_median * 1000:.1f} ms"],
                ["command less the walk", f"{(command_best - walk_best) * 1000:.1f} ms",
                 f"{(command_median - walk_median) * 1000:.1f} ms"],
                ["a process doing only the walk (whole)", f"{process_best * 1000:.1f} ms",
                 f"{process_median * 1000:.1f} ms"],
                ["command less that process", f"{(command_best - process_best) * 1000:.1f} ms",
                 f"{(command_median - process_median) * 1000:.1f} ms"],
                ["an empty interpreter (python -c pass)", f"{empty_best * 1000:.1f} ms",
                 f"{empty_median * 1000:.1f} ms"],
            ],
        )
        print("(target: the command less the walk under 40 ms)")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
