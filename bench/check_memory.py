"""How much memory `driftmoor check` needs for each line of a large
manifest: the peak resident set of `check --listed-only` of a manifest of
N lines (every listed file missing, so the run is the manifest's reading,
sorting, matching and report alone), less that of the command printing its
version, per line.

    .venv/bin/python bench/check_memory.py            # 1,000,000 lines, ~15 s
    .venv/bin/python bench/check_memory.py --quick    # 100,000 lines

Paths look like a walk's: `tree/dNNNN/file-NNNNNNN.dat`, 1,000 to a folder.
Each command runs as a child under /usr/bin/time (its maximum resident set);
rounds alternate and each keeps its smallest. Target: under 200 bytes a line.
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from timing import print_table

TARGET = 200
DRIFTMOOR = Path(sys.executable).with_name("driftmoor")


def peak_kib(arguments, cwd):
    result = subprocess.run(["/usr/bin/time", "-f", "%M", str(DRIFTMOOR), *arguments],
                            cwd=cwd, capture_output=True, text=True)
    return int(result.stderr.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    lines = 100_000 if arguments.quick else 1_000_000
    with tempfile.TemporaryDirectory() as top:
        with open(os.path.join(top, "huge.sums"), "w") as manifest:
            for number in range(lines):
                manifest.write(f"{'0' * 64}  tree/d{number // 1000:04}/file-{number:07}.dat\n")
        os.mkdir(os.path.join(top, "tree"))
        check = ("check", "--listed-only", "--quiet", "huge.sums")
        peaks = {"check": [], "version": []}
        for round_number in range(arguments.rounds):
            order = ["check", "version"] if round_number % 2 == 0 else ["version", "check"]
            for name in order:
                peaks[name].append(peak_kib(check if name == "check" else ("--version",), top))
    check_kib, floor_kib = min(peaks["check"]), min(peaks["version"])
    per_line = (check_kib - floor_kib) * 1024 / lines
    with_floor = check_kib * 1024 / lines
    print_table(["lines", "check peak", "--version peak", "bytes a line", "with the interpreter",
                 f"target < {TARGET}"],
                [[f"{lines:,}", f"{check_kib / 1024:.1f} MiB", f"{floor_kib / 1024:.1f} MiB",
                  f"{per_line:.0f}", f"{with_floor:.0f}",
                  "met" if with_floor < TARGET else "ABOVE"]])


if __name__ == "__main__":
    main()
