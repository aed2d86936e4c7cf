"""How fast calculate_hash is, as ratios against references timed in the same run.

    .venv/bin/python bench/calculate_hash_bench.py            # about a minute
    .venv/bin/python bench/calculate_hash_bench.py --quick    # seconds, small sizes

1. The SHA-256 engine on in-memory data (build/release/sha256_bench, 64 KiB
   pieces) against `openssl speed -evp sha256 -bytes 65536`.   Target >= 0.95x.
2. calculate_hash on a page-cached 1 GiB file against
   hashlib.file_digest(open(p, "rb", buffering=0), "sha256"). Both pay one
   copy out of the page cache, so parity is the limit.         Target >= 0.97x.
3. calculate_hash per call on 1000 files of 1 KiB against the fastest plain
   Python way: hashlib.sha256(f.read()).hexdigest() on an unbuffered open.
   Shown with a C loop of the same system calls (open, read, read, close),
   the floor for any implementation on this machine.          Target >= 2x.

Ratios are > 1 when driftmoor is faster. The temporary files go to $TMPDIR
(or --dir) and are deleted afterwards.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import driftmoor
from timing import alternate, print_table, verdict

TOP = Path(__file__).resolve().parent.parent
MIB = 1 << 20


def engine_mb_per_s(mib):
    out = subprocess.run([str(TOP / "build/release/sha256_bench"), str(mib), "3"],
                         check=True, capture_output=True, text=True).stdout
    return float(re.search(r"^engine\s+([0-9.]+)\s+MB/s", out, re.M).group(1))


def openssl_mb_per_s(seconds):
    out = subprocess.run(["openssl", "speed", "-evp", "sha256", "-bytes", "65536",
                          "-seconds", str(seconds)], check=True, capture_output=True,
                         text=True).stdout
    # The result row ends in thousands of bytes per second, e.g. "1411234.56k".
    row = next(line for line in out.splitlines() if line.lower().startswith("sha256"))
    return float(row.split()[-1].rstrip("k")) / 1000


def compare_engine(args):
    rates = {"engine": [], "openssl": []}
    for round_number in range(3):
        for name in ("engine", "openssl")[:: 1 if round_number % 2 == 0 else -1]:
            rates[name].append(engine_mb_per_s(args.engine_mib) if name == "engine"
                               else openssl_mb_per_s(args.openssl_seconds))
    engine, openssl = max(rates["engine"]), max(rates["openssl"])
    return ["engine, in memory", f"{engine:.0f} MB/s", f"openssl {openssl:.0f} MB/s",
            f"{engine / openssl:.3f}x", verdict(engine / openssl, 0.95)]


def hashlib_file_digest(path):
    with open(path, "rb", buffering=0) as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def compare_large_file(args, workdir):
    path = os.path.join(workdir, "large.bin")
    block = bytearray(os.urandom(MIB))
    with open(path, "wb") as f:
        for i in range(args.size_mib):
            block[:8] = i.to_bytes(8, "little")  # no two MiB alike
            f.write(block)
    expected = hashlib_file_digest(path)  # also warms the page cache
    results = {}
    seconds = alternate({
        "driftmoor": lambda: results.setdefault("driftmoor", driftmoor.calculate_hash(path)),
        "hashlib": lambda: hashlib_file_digest(path),
    }, args.rounds)
    os.unlink(path)
    assert results["driftmoor"] == expected, "calculate_hash gave a different digest"
    size_gb = args.size_mib * MIB / 1e9
    ours, theirs = size_gb / min(seconds["driftmoor"]), size_gb / min(seconds["hashlib"])
    return [f"{args.size_mib} MiB file, page-cached", f"{ours:.3f} GB/s",
            f"file_digest {theirs:.3f} GB/s", f"{ours / theirs:.3f}x", verdict(ours / theirs, 0.97)]


SYSCALL_FLOOR_C = r"""
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
    static char buffer[65536];
    double best = 1e9;
    for (int round = 0; round < 30; ++round) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (int i = 1; i < argc; ++i) {
            int fd = open(argv[i], O_RDONLY | O_CLOEXEC | O_NOCTTY);
            while (read(fd, buffer, sizeof buffer) > 0) {}
            close(fd);
        }
        clock_gettime(CLOCK_MONOTONIC, &b);
        double s = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) * 1e-9;
        if (s < best) best = s;
    }
    printf("%f\n", best * 1e6 / (argc - 1));
    return 0;
}
"""


def syscall_floor_us(workdir, paths):
    """Microseconds per file for open, reads to the end and close, from C."""
    source, program = os.path.join(workdir, "floor.c"), os.path.join(workdir, "floor")
    Path(source).write_text(SYSCALL_FLOOR_C)
    subprocess.run(["cc", "-O2", "-o", program, source], check=True)
    return float(subprocess.run([program, *paths], check=True, capture_output=True,
                                text=True).stdout)


def compare_small_files(args, workdir):
    paths = []
    for i in range(1000):
        paths.append(os.path.join(workdir, f"{i:04d}.bin"))
        Path(paths[-1]).write_bytes(os.urandom(1024))

    def with_driftmoor(calculate_hash=driftmoor.calculate_hash):
        for p in paths:
            calculate_hash(p)

    def with_python(sha256=hashlib.sha256):
        for p in paths:
            with open(p, "rb", buffering=0) as f:
                sha256(f.read()).hexdigest()

    for p in paths[:10]:
        assert driftmoor.calculate_hash(p) == hashlib.sha256(Path(p).read_bytes()).hexdigest()
    with_driftmoor(), with_python()  # warm the caches
    seconds = alternate({"driftmoor": with_driftmoor, "python": with_python}, args.small_rounds)
    ours = min(seconds["driftmoor"]) * 1e6 / len(paths)
    theirs = min(seconds["python"]) * 1e6 / len(paths)
    floor = min(syscall_floor_us(workdir, paths) for _ in range(3))
    return [f"1000 x 1 KiB, per call", f"{ours:.2f} us (floor {floor:.2f})",
            f"python {theirs:.2f} us", f"{theirs / ours:.2f}x", verdict(theirs / ours, 2)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    args.rounds, args.small_rounds, args.engine_mib, args.openssl_seconds = 5, 50, 256, 3
    if args.quick:
        args.size_mib, args.rounds, args.small_rounds = 64, 3, 5
        args.engine_mib, args.openssl_seconds = 16, 1

    print(f"driftmoor {driftmoor.__file__}, {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")
    workdir = tempfile.mkdtemp(prefix="driftmoor-bench-", dir=args.dir)
    try:
        rows = [compare_engine(args), compare_large_file(args, workdir),
                compare_small_files(args, workdir)]
    finally:
        shutil.rmtree(workdir)
    print_table(["comparison", "driftmoor", "reference", "ratio", "target"], rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
