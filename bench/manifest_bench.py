"""How fast calculate_directory_manifest is, against a plain-Python walker timed
in the same run.

    .venv/bin/python bench/manifest_bench.py            # a minute or two
    .venv/bin/python bench/manifest_bench.py --quick    # seconds, small trees

The reference is the fastest plain-Python walker we know (python_walker.py,
which the tests also take as the module's reference): os.scandir following
links, an unbuffered open and one read per file, hashlib.sha256. Both see the
same page-cached trees, generated under $TMPDIR (or --dir) and deleted
afterwards:

1. 20,000 files of 0-8 KiB in 400 directories.        Target >= 2x.
2. a deep tree: one directory per level, one file in each.
3. 1,000 files of 1 MiB: hashing dominates, so parity is the limit.

4. the first tree again, cold: the page cache is dropped before every round,
   as when a tree is checked long after it was written. Beside the plain
   Python walker, eight parallel sha256sum processes fed by find (`find -L
   TREE -type f -print0 | xargs -0 -P8 -n 500 sha256sum`), the usual way to
   keep a disk busy from the shell.                     Target >= 1x the pipeline.
   Dropping the page cache needs root; without it these rows are skipped.

Beside each warm tree, a C walker that makes the module's system calls and hashes
nothing (open relative to the directory, fstat, reads to the end, close)
gives the floor for any implementation on this machine, and the ratio the
Python walker's time would have against that floor.

Ratios are > 1 when driftmoor is faster.

Last, the peak memory of one call on 100,000 files against the walker's,
each in a fresh process (peak_rss.py, which also runs on its own).
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

import driftmoor
import peak_rss
from python_walker import python_walker
from timing import alternate, print_table, verdict


FLOOR_C = r"""
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static char buffer[65536];

static void walk(int directory) {
    DIR* listing = fdopendir(directory);
    struct dirent* entry;
    while ((entry = readdir(listing)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        int fd = openat(dirfd(listing), entry->d_name,
                        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat status;
        fstat(fd, &status);
        if (S_ISDIR(status.st_mode)) {
            walk(fd);
        } else {
            while (read(fd, buffer, sizeof buffer) > 0) {}
            close(fd);
        }
    }
    closedir(listing);
}

int main(int argc, char** argv) {
    double best = 1e9;
    for (int round = 0; round < atoi(argv[2]); ++round) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        walk(open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        clock_gettime(CLOCK_MONOTONIC, &b);
        double s = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) * 1e-9;
        if (s < best) best = s;
    }
    printf("%f\n", best);
    return 0;
}
"""


def build_floor(workdir):
    source, program = os.path.join(workdir, "floor.c"), os.path.join(workdir, "floor")
    with open(source, "w") as out:
        out.write(FLOOR_C)
    subprocess.run(["cc", "-O2", "-o", program, source], check=True)
    return program


def floor_seconds(program, top, rounds):
    return float(subprocess.run([program, top, str(rounds)], check=True, capture_output=True,
                                text=True).stdout)


def make_wide_tree(top, files, directories, max_size):
    rng = random.Random(20000)
    payload = rng.randbytes(max_size)
    per_directory = files // directories
    for d in range(directories):
        directory = os.path.join(top, f"group{d // 20:02d}", f"dir{d:03d}")
        os.makedirs(directory)
        for f in range(per_directory):
            with open(os.path.join(directory, f"file{f:03d}.dat"), "wb") as out:
                out.write(payload[: rng.randrange(max_size + 1)])


def make_deep_tree(top, levels):
    # Relative steps keep every path short however deep the tree goes.
    descriptor = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    for level in range(levels):
        file = os.open(f"f{level}", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=descriptor)
        os.write(file, b"level %d\n" % level)
        os.close(file)
        os.mkdir("d", dir_fd=descriptor)
        below = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=descriptor)
        os.close(descriptor)
        descriptor = below
    os.close(descriptor)


def make_large_files(top, count, size):
    os.makedirs(top)
    block = random.Random(1).randbytes(size)
    for index in range(count):
        with open(os.path.join(top, f"large{index:04d}.bin"), "wb") as out:
            out.write(block[index:] + block[:index])


DROP_CACHES = "/proc/sys/vm/drop_caches"


def can_drop_caches():
    return os.geteuid() == 0 and os.access(DROP_CACHES, os.W_OK)


def drop_caches():
    os.sync()
    with open(DROP_CACHES, "w") as out:
        out.write("3\n")


def sha256sum_pipeline(top):
    subprocess.run(f"find -L '{top}' -type f -print0 | xargs -0 -P8 -n 500 sha256sum",
                   shell=True, check=True, stdout=subprocess.DEVNULL)


def compare_cold(label, top, files, rounds, unit):
    seconds = alternate({"driftmoor": lambda: driftmoor.calculate_directory_manifest(top),
                         "python": lambda: python_walker(top),
                         "pipeline": lambda: sha256sum_pipeline(top)}, rounds,
                        before_each=drop_caches)
    ours, theirs, pipeline = (min(seconds[name]) for name in ("driftmoor", "python", "pipeline"))
    return [label, unit(files, ours), unit(files, theirs), f"{theirs / ours:.2f}x",
            unit(files, pipeline), f"{pipeline / ours:.2f}x", verdict(pipeline / ours, 1)]


def compare(label, top, files, rounds, unit, floor_program, target=None):
    # The reference walker and the module must agree before either is timed.
    expected = python_walker(top)
    if driftmoor.calculate_directory_manifest(top) != expected or len(expected) != files:
        sys.exit(f"{label}: the module and the reference disagree")
    seconds = alternate({"driftmoor": lambda: driftmoor.calculate_directory_manifest(top),
                         "python": lambda: python_walker(top)}, rounds)
    ours, theirs = min(seconds["driftmoor"]), min(seconds["python"])
    floor = floor_seconds(floor_program, top, rounds)
    row = [label, unit(files, ours), unit(files, theirs), f"{theirs / ours:.2f}x",
           f"{unit(files, floor)} ({theirs / floor:.2f}x)"]
    return row + [verdict(theirs / ours, target) if target else ""]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small trees, few rounds")
    parser.add_argument("--dir", help="where to generate the trees (default: $TMPDIR)")
    args = parser.parse_args()
    quick = args.quick
    wide_files, wide_dirs = (2000, 40) if quick else (20000, 400)
    deep_levels = 200 if quick else 2000
    large_count = 50 if quick else 1000
    rounds = 3 if quick else 7

    def files_per_s(files, seconds):
        return f"{files / seconds:,.0f} files/s"

    def mb_per_s(files, seconds):
        return f"{files * (1 << 20) / seconds / 1e6:,.0f} MB/s"

    root = tempfile.mkdtemp(prefix="driftmoor-bench-", dir=args.dir)
    try:
        floor = build_floor(root)
        wide = os.path.join(root, "wide")
        make_wide_tree(wide, wide_files, wide_dirs, 8192)
        deep = os.path.join(root, "deep")
        os.mkdir(deep)
        make_deep_tree(deep, deep_levels)
        large = os.path.join(root, "large")
        make_large_files(large, large_count, 1 << 20)
        rows = [
            compare(f"{wide_files:,} files of 0-8 KiB in {wide_dirs} dirs", wide, wide_files,
                    rounds, files_per_s, floor, target=2),
            compare(f"{deep_levels:,} levels, one file each", deep, deep_levels, rounds,
                    files_per_s, floor),
            compare(f"{large_count:,} files of 1 MiB", large, large_count, max(3, rounds // 2),
                    mb_per_s, floor),
        ]
        print_table(["tree", "driftmoor", "python walker", "ratio", "C floor (python/floor)",
                     "target"], rows)
        print()
        if can_drop_caches():
            cold = compare_cold(f"{wide_files:,} files, cold", wide, wide_files, rounds,
                                files_per_s)
            print_table(["tree", "driftmoor", "python walker", "ratio", "sha256sum -P8",
                         "ratio", "target"], [cold])
        else:
            print("cold rows skipped: dropping the page cache needs root")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print()
    print_table(peak_rss.HEADER, peak_rss.peak_rss_rows(quick, dir=args.dir))


if __name__ == "__main__":
    main()
