"""What a state saves a re-check: `driftmoor check --state` of a tree that
did not change, against the full check of it and against a walk that only
asks each file's status (`find T -printf '%s %T@ %C@ %i\\n'`), the least any
check that trusts metadata must do.

    .venv/bin/python bench/state_bench.py [--quick] [--rounds N]

Rows, each command a whole process with its output thrown away, in
alternating rounds, each keeping its best:
  - 100,000 small files (0 to 8 KiB, about 400 MB) in 200 folders, warm;
  - the same tree cold (as root: the page cache dropped before every run);
  - 1,000 files of 1 MiB, warm;
  - 1,000,000 empty files in 1,000 folders: `manifest`, the full `check`,
    `check --state` and find, in time and in peak memory (as /usr/bin/time
    reports it), and the bytes per file of `check --state`.
Then the 100,000-file tree with 100 files rewritten, half of them with their
modification time put back: how many files the check read (those 100, and
any changed in the tick of their recording, which it counts) and how many it
reports changed.

The start of the command alone (the interpreter and the modules a check
imports) is timed beside the warm rows: no check can take less.

Targets: `check --state` within 1.5x find and at least 4x faster than the
full check (100,000 files, warm), 50x (1 MiB files), 5x (cold); for
1,000,000 empty files, the full check within 1.2x the manifest in time and
1x in memory, `check --state` within 1.5x find and under 200 bytes a file.
--quick makes every tree a tenth the size.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from manifest_bench import can_drop_caches, drop_caches
from timing import alternate, print_table

DRIFTMOOR = str(Path(sys.executable).with_name("driftmoor"))
TICK = 2.1  # seconds a file must be older than its recording to be trusted
FIND = ["find", "t", "-printf", "%s %T@ %C@ %i\\n"]


def make_small_files(top: Path, files: int, folders: int) -> None:
    rng = random.Random(100_000)
    payload = rng.randbytes(8192)
    for number in range(files):
        folder = top / "t" / f"d{number % folders:03}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"f{number:06}").write_bytes(payload[: rng.randrange(8193)])


def make_large_files(top: Path, files: int) -> None:
    (top / "t").mkdir(parents=True)
    rng = random.Random(1)
    for number in range(files):
        (top / "t" / f"f{number:04}").write_bytes(rng.randbytes(1 << 20))


def make_empty_files(top: Path, files: int, folders: int) -> None:
    for folder in range(folders):
        directory = top / "t" / f"d{folder:04}"
        directory.mkdir(parents=True)
        for number in range(files // folders):
            os.close(os.open(directory / f"f{number:04}", os.O_CREAT | os.O_WRONLY, 0o644))


def record(top: Path) -> None:
    """The manifest and the state of a tree whose files are older than the
    tick, as a nightly check finds them."""
    time.sleep(TICK)
    with open(top / "m", "wb") as manifest:
        subprocess.run([DRIFTMOOR, "manifest", "--no-progress", "--state", "st", "t"],
                       cwd=top, stdout=manifest, check=True)


def command(top: Path, *arguments: str):
    def run():
        subprocess.run(arguments, cwd=top, stdout=subprocess.DEVNULL, check=False)
    return run


def check_state(top: Path):
    return command(top, DRIFTMOOR, "check", "-q", "--no-progress", "--state", "st", "m", "t")


def check_full(top: Path):
    return command(top, DRIFTMOOR, "check", "-q", "--no-progress", "m", "t")


def start(top: Path):
    """The command's start alone: the interpreter and every module a check
    imports, the floor under any check however little it reads."""
    return command(top, sys.executable, "-c", "import driftmoor_cli.command, "
                   "driftmoor_cli.subcommands.check, driftmoor_cli.api, driftmoor_cli.state")


def best(seconds: dict[str, list[float]]) -> dict[str, float]:
    return {name: min(values) for name, values in seconds.items()}


def peak_kib(top: Path, *arguments: str) -> int:
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *arguments], cwd=top,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(result.stderr.strip().splitlines()[-1])


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    scale = 10 if arguments.quick else 1
    rounds = arguments.rounds
    rows = []
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        small = Path(work) / "small"
        make_small_files(small, 100_000 // scale, 200)
        record(small)
        warm = best(alternate({"state": check_state(small), "find": command(small, *FIND),
                               "full": check_full(small), "start": start(small)}, rounds))
        rows.append([f"{100_000 // scale:,} small files, warm", f"{warm['state']:.2f} s",
                     f"{warm['find']:.2f} s", f"{warm['full']:.2f} s",
                     f"{warm['state'] / warm['find']:.2f}x find (<= 1.5: "
                     f"{verdict(warm['state'] <= 1.5 * warm['find'])}), "
                     f"{warm['full'] / warm['state']:.1f}x faster (>= 4: "
                     f"{verdict(warm['full'] >= 4 * warm['state'])}); start "
                     f"{warm['start']:.2f} s"])
        if can_drop_caches():
            cold = best(alternate({"state": check_state(small), "find": command(small, *FIND),
                                   "full": check_full(small)}, rounds, before_each=drop_caches))
            rows.append([f"{100_000 // scale:,} small files, cold", f"{cold['state']:.2f} s",
                         f"{cold['find']:.2f} s", f"{cold['full']:.2f} s",
                         f"{cold['full'] / cold['state']:.1f}x faster (>= 5: "
                         f"{verdict(cold['full'] >= 5 * cold['state'])})"])
        rewritten = rewrite(small, 100)

        large = Path(work) / "large"
        make_large_files(large, 1000 // scale)
        record(large)
        big = best(alternate({"state": check_state(large), "find": command(large, *FIND),
                              "full": check_full(large), "start": start(large)}, rounds))
        rows.append([f"{1000 // scale:,} files of 1 MiB, warm", f"{big['state']:.3f} s",
                     f"{big['find']:.3f} s", f"{big['full']:.2f} s",
                     f"{big['full'] / big['state']:.0f}x faster (>= 50: "
                     f"{verdict(big['full'] >= 50 * big['state'])}); start "
                     f"{big['start']:.3f} s, so at most {big['full'] / big['start']:.0f}x"])

        empty = Path(work) / "empty"
        files = 1_000_000 // scale
        make_empty_files(empty, files, 1000)
        record(empty)
        manifest = command(empty, DRIFTMOOR, "manifest", "--no-progress", "t")
        many = best(alternate({"manifest": manifest, "full": check_full(empty),
                               "state": check_state(empty), "find": command(empty, *FIND)},
                              rounds))
        peaks = {name: peak_kib(empty, *arguments) for name, arguments in {
            "manifest": (DRIFTMOOR, "manifest", "--no-progress", "t"),
            "full": (DRIFTMOOR, "check", "-q", "--no-progress", "m", "t"),
            "state": (DRIFTMOOR, "check", "-q", "--no-progress", "--state", "st", "m", "t"),
        }.items()}
        per_file = peaks["state"] * 1024 / files
        rows.append([f"{files:,} empty files", f"{many['state']:.2f} s",
                     f"{many['find']:.2f} s", f"{many['full']:.2f} s",
                     f"full {many['full'] / many['manifest']:.2f}x manifest's time (<= 1.2: "
                     f"{verdict(many['full'] <= 1.2 * many['manifest'])}), "
                     f"{peaks['full'] / peaks['manifest']:.2f}x its memory (<= 1: "
                     f"{verdict(peaks['full'] <= peaks['manifest'])}); state "
                     f"{many['state'] / many['find']:.2f}x find (<= 1.5: "
                     f"{verdict(many['state'] <= 1.5 * many['find'])}), {per_file:.0f} bytes a "
                     f"file (< 200: {verdict(per_file < 200)})"])
        print_table(["tree", "check --state", "find -printf", "full check", "ratios"], rows)
        print(f"\nmanifest of {files:,} empty files: {many['manifest']:.2f} s, "
              f"{peaks['manifest'] / 1024:.0f} MiB; full check {peaks['full'] / 1024:.0f} MiB; "
              f"check --state {peaks['state'] / 1024:.0f} MiB")
        print(f"100 files of the small tree rewritten, 50 with their mtime put back: "
              f"{rewritten}")


def rewrite(top: Path, count: int) -> str:
    """Rewrites `count` files of the tree (every other one with its mtime
    put back), then checks it with its state once: what it read and found."""
    names = sorted((top / "t").rglob("f*"))
    chosen = random.Random(7).sample(names, count)
    for number, path in enumerate(chosen):
        before = path.stat()
        data = path.read_bytes()
        path.write_bytes(bytes(b ^ 0xFF for b in data) if data else b"x")
        if number % 2 == 0:
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    result = subprocess.run([DRIFTMOOR, "check", "-q", "--no-progress", "--format", "json",
                             "--state", "st", "m", "t"], cwd=top, capture_output=True, text=True)
    summary = json.loads(result.stdout)["summary"]
    read = summary["read"] + summary["scrubbed"]
    changed = summary["changed"] + summary["damaged"]
    return (f"{read} read, {changed} reported changed "
            f"({'as expected' if read >= count and changed == count else 'NOT as expected'})")


if __name__ == "__main__":
    sys.exit(main())
