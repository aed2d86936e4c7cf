"""Instructions per 64-byte block of each SHA-256 compression routine, for
the aarch64 build (build/aarch64, tools/setup.sh --aarch64) and the x86-64
one (build/release): what emulation can say of the ARM routines, where it
cannot time them.

    .venv/bin/python bench/sha256_instructions.py

Counted two ways:
- executed, under qemu-user: `sha256_bench --once ROUTINE N` runs with
  `-d in_asm,exec,nochain`, which logs every block of guest code qemu
  translates (with its instructions) and every time one runs; the
  instructions run inside the routine's symbol, for 1 block and for 65,
  give the count per block (the difference over 64) and the fixed cost
  of a call. qemu 7.2 emulates ARMv8's SHA2 extension (-cpu max) but not
  the x86 SHA extensions, so the x86 SHA routine has no executed count;
- in the disassembly: the instructions of the routine's loop over blocks
  (from the target of its backward branch to that branch), by objdump
  (aarch64-linux-gnu-objdump, from Debian's binutils-aarch64-linux-gnu,
  for the aarch64 build).
Neither is a speed: instructions differ in cost, and more so between
processors.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
ROUTINES = {"portable": "compress_blocks_portable", "sha_ext": "compress_blocks_sha_ext"}
FEW, MANY = 1, 65


def symbol(binary, function):
    """The symbol of driftmoor::digest::<function> in the binary: its name as
    linked and [start, end) in the file."""
    listing = subprocess.run(["nm", "-S", "--defined-only", binary], capture_output=True,
                             text=True, check=True).stdout
    demangled = subprocess.run(["nm", "-C", "-S", "--defined-only", binary], capture_output=True,
                               text=True, check=True).stdout
    for line, readable in zip(listing.splitlines(), demangled.splitlines()):
        fields = line.split(maxsplit=3)
        if len(fields) == 4 and readable.split(maxsplit=3)[3].startswith(
                f"driftmoor::digest::{function}("):
            start = int(fields[0], 16)
            return fields[3], (start, start + int(fields[1], 16))
    raise SystemExit(f"{function} not found in {binary}")


def executed(qemu, binary, routine, blocks, name):
    """Instructions run inside the function `name` (qemu names the function
    each block of code it runs lies in, wherever a position-independent
    program was loaded) by `sha256_bench --once routine blocks`, or None when
    the routine cannot run there."""
    with tempfile.TemporaryDirectory() as scratch:
        log = Path(scratch, "qemu.log")
        run = subprocess.run([*qemu, "-d", "in_asm,exec,nochain", "-D", log, binary, "--once",
                              routine, str(blocks)], capture_output=True, text=True)
        if run.returncode != 0:
            return None
        sizes, runs, current = {}, [], None
        for line in log.read_text().splitlines():
            if line.startswith("IN:"):
                current = "next"
            elif (match := re.match(r"0x([0-9a-f]+):\s", line)) and current is not None:
                if current == "next":
                    current = int(match[1], 16)
                    sizes[current] = 0
                sizes[current] += 1
            elif match := re.match(r"Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/\S+\] (\S+)$", line):
                if match[2] == name:
                    runs.append(int(match[1], 16))
            elif not line.strip():
                current = None
    return sum(sizes[pc] for pc in runs)


def loop_length(objdump, binary, bounds):
    """Instructions of the routine's loop over blocks, in the disassembly."""
    if shutil.which(objdump) is None:
        return None
    start, end = bounds
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", f"--start-address={start:#x}",
                           f"--stop-address={end:#x}", binary], capture_output=True, text=True,
                          check=True).stdout
    addresses, loops = [], []
    for line in text.splitlines():
        if not (match := re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)):
            continue
        address = int(match[1], 16)
        addresses.append(address)
        if target := re.search(r"\b([0-9a-f]+) <", match[3]):
            if start <= int(target[1], 16) < address:
                loops.append((int(target[1], 16), address))
    if not loops:
        return None
    first, last = min(loops, key=lambda loop: loop[0] - loop[1])
    return sum(first <= address <= last for address in addresses)


def main():
    builds = [
        ("aarch64", TOP / "build/aarch64/sha256_bench", "qemu-aarch64-static",
         ["-cpu", "max", "-L", os.path.dirname(os.path.dirname(os.path.dirname(
             subprocess.run([TOP / "tools/provision_python.sh", "--arch", "arm64"],
                            capture_output=True, text=True, check=True).stdout.strip())))],
         "aarch64-linux-gnu-objdump"),
        ("x86_64", TOP / "build/release/sha256_bench", "qemu-x86_64-static", ["-cpu", "max"],
         "objdump"),
    ]
    print(f"{'routine':<20} {'per block':>10} {'per call':>9} {'loop':>6}")
    for arch, binary, qemu, options, objdump in builds:
        if not binary.exists():
            print(f"{arch}: no {binary} (tools/setup.sh{' --aarch64' if arch == 'aarch64' else ''})",
                  file=sys.stderr)
            continue
        for routine, function in ROUTINES.items():
            name, bounds = symbol(binary, function)
            few, many = (executed([qemu, *options], binary, routine, n, name) for n in (FEW, MANY))
            per_block = "-" if few is None else f"{(many - few) / (MANY - FEW):g}"
            per_call = "-" if few is None else f"{few - (many - few) // (MANY - FEW)}"
            loop = loop_length(objdump, binary, bounds)
            print(f"{arch + ' ' + routine:<20} {per_block:>10} {per_call:>9} "
                  f"{'-' if loop is None else loop:>6}")
    print("per block: executed, the difference between 65 blocks and 1, over 64;"
          " per call: the rest of one block's call; loop: the loop over blocks in the"
          " disassembly; -: not available here (qemu 7.2 has no x86 SHA extensions)")


if __name__ == "__main__":
    main()
