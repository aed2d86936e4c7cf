"""`driftmoor manifest` as a whole process, on one core and on every core,
against the tools people reach for instead.

Rows: a warm tree of 20,000 small files in 400 directories, 1,000 files of
1 MiB in one directory, and (as root) the same small-file tree cold, the page
cache dropped before every run. Columns: `driftmoor manifest --jobs 1` and
`--jobs <cores>`, `find -L | xargs -0 -P<cores> -n 500 sha256sum`, and a
Python ThreadPoolExecutor(<cores>) over os.walk with hashlib.file_digest. All
run as whole processes with their output thrown away, in alternating rounds,
each keeping its best; the scaling efficiency is the files per second at
<cores> jobs over <cores> times those at one job. A second table times the
walk alone, `driftmoor_tree.walk` called in this process with 1 and <cores>
jobs, without the start, imports, sorting and writing around it that a
whole process spends on one thread.

    .venv/bin/python bench/command_bench.py [--quick] [--cores N]

--cores N runs everything under `taskset` on the first N cores (default: all
usable ones), so that the curve from 1 to N cores can be drawn. On one core
the second column is `--jobs 2`: what a worker more than the cores costs.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import driftmoor_tree

from manifest_bench import can_drop_caches, drop_caches, make_large_files, make_wide_tree
from timing import alternate, print_table

DRIFTMOOR = os.path.join(os.path.dirname(sys.executable), "driftmoor")

THREAD_POOL = """
import hashlib, os, sys
from concurrent.futures import ThreadPoolExecutor

def digest(path):
    with open(path, "rb") as f:
        return path, hashlib.file_digest(f, "sha256").hexdigest()

paths = [os.path.join(d, n) for d, _, names in os.walk(sys.argv[1], followlinks=True) for n in names]
with ThreadPoolExecutor(int(sys.argv[2])) as pool:
    lines = [f"{h}  {p}\\n" for p, h in sorted(pool.map(digest, paths))]
sys.stdout.write("".join(lines))
"""


def runner(command, cores):
    pinned = ["taskset", "-c", f"0-{cores - 1}"] if cores else []

    def run():
        subprocess.run([*pinned, *command], check=True, stdout=subprocess.DEVNULL)

    return run


def subjects(top, jobs, cores):
    workers = max(jobs, 2)
    shell = f"find -L '{top}' -type f -print0 | xargs -0 -P{jobs} -n 500 sha256sum"
    return {
        "driftmoor --jobs 1": runner([DRIFTMOOR, "manifest", "--jobs", "1", top], cores),
        f"driftmoor --jobs {workers}": runner([DRIFTMOOR, "manifest", "--jobs", str(workers), top],
                                              cores),
        f"find | xargs -P{jobs} sha256sum": runner(["sh", "-c", shell], cores),
        f"ThreadPoolExecutor({jobs})": runner([sys.executable, "-c", THREAD_POOL, top, str(jobs)],
                                              cores),
    }


def row(label, top, count, unit, jobs, cores, rounds, before_each=None):
    timed = subjects(top, jobs, cores)
    seconds = {name: min(times) for name, times in
               alternate(timed, rounds, before_each=before_each).items()}
    names = list(timed)
    one, ours, *peers = (seconds[name] for name in names)
    best_peer = min(peers)
    efficiency = (count / ours) / (jobs * count / one)
    return [label, *(unit(count, seconds[name]) for name in names),
            f"{one / ours:.2f}x", f"{efficiency:.0%}", f"{best_peer / ours:.2f}x"], names


def walk_alone_row(label, top, count, unit, jobs, rounds):
    encoded = os.fsencode(top)
    timed = {f"walk, {n} job{'s' if n > 1 else ''}":
             (lambda n=n: driftmoor_tree.walk(encoded, jobs=n)) for n in (1, max(jobs, 2))}
    seconds = {name: min(times) for name, times in alternate(timed, rounds).items()}
    one, ours = seconds.values()
    return [label, *(unit(count, s) for s in (one, ours)), f"{one / ours:.2f}x",
            f"{one / ours / jobs:.0%}"], list(timed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small trees, few rounds")
    parser.add_argument("--cores", type=int, help="run on the first N cores only")
    parser.add_argument("--dir", help="where to generate the trees (default: $TMPDIR)")
    args = parser.parse_args()
    jobs = args.cores or os.process_cpu_count()
    if args.cores:
        os.sched_setaffinity(0, range(args.cores))
    wide_files, wide_dirs = (2000, 40) if args.quick else (20000, 400)
    large_count = 50 if args.quick else 1000
    rounds = 3 if args.quick else 7

    def files_per_s(files, seconds):
        return f"{files / seconds:,.0f} files/s"

    def mb_per_s(files, seconds):
        return f"{files * (1 << 20) / seconds / 1e6:,.0f} MB/s"

    root = tempfile.mkdtemp(prefix="driftmoor-command-bench-", dir=args.dir)
    try:
        wide = os.path.join(root, "wide")
        make_wide_tree(wide, wide_files, wide_dirs, 8192)
        large = os.path.join(root, "large")
        make_large_files(large, large_count, 1 << 20)
        rows, walk_rows = [], []
        for label, top, count, unit, before in [
            (f"{wide_files:,} files, warm", wide, wide_files, files_per_s, None),
            (f"{large_count:,} files of 1 MiB, warm", large, large_count, mb_per_s, None),
            (f"{wide_files:,} files, cold", wide, wide_files, files_per_s, drop_caches),
        ]:
            if before is drop_caches and not can_drop_caches():
                print("cold row skipped: dropping the page cache needs root")
                continue
            cells, names = row(label, top, count, unit, jobs, args.cores, rounds, before)
            rows.append(cells)
            if before is None:
                cells, walk_names = walk_alone_row(label, top, count, unit, jobs, rounds)
                walk_rows.append(cells)
        print(f"{jobs} jobs" + (f", taskset on {args.cores} cores" if args.cores else ""))
        print_table(["tree", *names, "ours / 1 job", "scaling", "best peer / ours"], rows)
        print()
        print_table(["tree", *walk_names, "ours / 1 job", "scaling"], walk_rows)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
