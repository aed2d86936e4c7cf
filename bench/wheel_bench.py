"""The wheel's build (zig's clang, LLVM's libc++, glibc 2.28) against the
development build (the system's GCC and libstdc++), in alternating rounds.

    .venv/bin/python -m build
    .venv/bin/python bench/wheel_bench.py dist/driftmoor-*.whl

The wheel is installed into two fresh venvs of the provisioned interpreter;
in the second, each of its modules is then replaced by build/release's
module of the same name. So the two differ in the compiled modules alone
(not in the site-packages that each start reads, nor in bytecode).

Rows:
1. the whole `driftmoor manifest TREE` process on 20,000 files of 0-8 KiB in
   400 directories (manifest_bench.py's first tree), warm.
2. calculate_hash on one 512 MiB page-cached file, timed inside a process of
   each venv, so that only the call is measured.

Each row is timed twice: wall-clock time, and the CPU time (user + system)
the process or call used, which other work on a shared machine disturbs
less. Ratios are wheel / development time: above 1 the wheel's build is
slower.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from manifest_bench import make_wide_tree
from timing import print_table

TOP = Path(__file__).resolve().parents[1]

TIME_ONE_HASH = """
import sys, time, driftmoor
start, start_cpu = time.perf_counter(), time.process_time()
driftmoor.calculate_hash(sys.argv[1])
print(time.perf_counter() - start, time.process_time() - start_cpu)
"""


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def whole_process(command, tree):
    """Wall-clock and CPU seconds of one `driftmoor manifest` process."""
    start, start_cpu = time.perf_counter(), children_cpu()
    subprocess.run([command, "manifest", tree], stdout=subprocess.DEVNULL, check=True,
                   env=clean_env())
    return time.perf_counter() - start, children_cpu() - start_cpu


def hash_seconds(python, path):
    """Wall-clock and CPU seconds of one calculate_hash call."""
    wall, cpu = subprocess.run([python, "-c", TIME_ONE_HASH, path], capture_output=True,
                               text=True, check=True, env=clean_env()).stdout.split()
    return float(wall), float(cpu)


def alternate(subjects, rounds):
    seconds = {name: [] for name in subjects}
    names = list(subjects)
    for round_number in range(rounds):
        for name in names if round_number % 2 == 0 else names[::-1]:
            seconds[name].append(subjects[name]())
    return seconds


def row(label, seconds, unit, which):
    wheel = [pair[which] for pair in seconds["wheel"]]
    development = [pair[which] for pair in seconds["development"]]
    return [label,
            f"{unit(statistics.median(wheel))} ({unit(min(wheel))})",
            f"{unit(statistics.median(development))} ({unit(min(development))})",
            f"{statistics.median(wheel) / statistics.median(development):.3f}",
            f"{min(wheel) / min(development):.3f}"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel", type=Path, help="the wheel that python -m build made")
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--dir", help="where the trees are made (default: $TMPDIR)")
    args = parser.parse_args()

    interpreter = subprocess.run([TOP / "tools/provision_python.sh"], capture_output=True,
                                 text=True, check=True).stdout.strip()
    with tempfile.TemporaryDirectory(dir=args.dir) as workdir:
        venvs = {}
        for name in ("wheel", "development"):
            venv = Path(workdir, name)
            subprocess.run([interpreter, "-m", "venv", venv], check=True)
            subprocess.run([venv / "bin/pip", "install", "-q", "--no-index",
                            "--disable-pip-version-check", args.wheel], check=True)
            venvs[name] = venv
        site = Path(subprocess.run(
            [venvs["development"] / "bin/python", "-c",
             "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
            capture_output=True, text=True, check=True).stdout.strip())
        for module in site.glob("*.so"):
            shutil.copyfile(TOP / "build/release/python" / module.name, module)
        wheel_python, wheel_command = venvs["wheel"] / "bin/python", venvs["wheel"] / "bin/driftmoor"
        development_python = venvs["development"] / "bin/python"
        development_command = venvs["development"] / "bin/driftmoor"

        tree = os.path.join(workdir, "wide")
        make_wide_tree(tree, 20_000, 400, 8192)
        large = os.path.join(workdir, "large.bin")
        with open(large, "wb") as out:
            block = os.urandom(1 << 20)
            for _ in range(512):
                out.write(block)
        whole_process(wheel_command, tree)
        hash_seconds(wheel_python, large)

        manifest = alternate({
            "wheel": lambda: whole_process(wheel_command, tree),
            "development": lambda: whole_process(development_command, tree),
        }, args.rounds)
        hashing = alternate({
            "wheel": lambda: hash_seconds(wheel_python, large),
            "development": lambda: hash_seconds(development_python, large),
        }, args.rounds)

    print(f"{args.rounds} alternating rounds; median (best)")
    print_table(
        ["", "wheel (zig, libc++)", "development (GCC)", "ratio of medians", "ratio of bests"],
        [row("driftmoor manifest, 20,000 files, wall", manifest, milliseconds, 0),
         row("driftmoor manifest, 20,000 files, CPU", manifest, milliseconds, 1),
         row("calculate_hash, 512 MiB cached, wall", hashing, megabytes_per_second, 0),
         row("calculate_hash, 512 MiB cached, CPU", hashing, megabytes_per_second, 1)])


def milliseconds(seconds):
    return f"{seconds * 1000:.1f} ms"


def megabytes_per_second(seconds):
    return f"{512 * 1.048576 / seconds:.0f} MB/s"


if __name__ == "__main__":
    sys.exit(main())
