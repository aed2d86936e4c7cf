"""The aarch64 wheel, built on this machine from the sdist by the same backend
as the x86-64 one, checked as docs/aarch64.md describes it, then installed
with pip into a fresh venv of Debian's aarch64 CPython, run under qemu-user
(tools/provision_python.sh --arch arm64), where a focused part of the suite
runs against it.

This file runs in the machine's own interpreter (.venv), whose driftmoor is
the x86-64 build the emulated one is compared with. The emulated processor
is qemu's "max", which has the SHA2 extension."""

import json
import os
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path
from typing import NamedTuple

import pytest

import driftmoor

TOP = Path(__file__).resolve().parents[2]
sys.path.append(str(TOP / "tests/python"))
from test_calculate_directory_manifest import build_everything  # noqa: E402

VERSION = "0.1.0"
DOCUMENT = TOP / "docs/aarch64.md"
# Emulated runs are tens of times slower than native ones.
pytestmark = pytest.mark.timeout(1200)

# What runs under emulation, against the installed wheel: the module's
# surface, calculate_hash (the published vectors, sha256sum on a tree, sizes
# around the block and read edges), compare_hashes, and the command's
# manifest checked by sha256sum and by its own check.
EMULATED_TESTS = [
    "tests/python/test_module.py",
    "tests/python/test_compare_hashes.py",
    "tests/python/test_calculate_hash.py::test_published_vectors",
    "tests/python/test_calculate_hash.py::test_every_file_of_a_tree_as_sha256sum_reads_it",
    "tests/python/test_calculate_hash.py::test_digest_of_contents",
    "tests/python/test_cli.py::test_manifest_is_sorted_and_sha256sum_checks_it",
    "tests/python/test_check.py::test_changed_missing_and_added_files_are_reported[check-driftmoor.sums]",
]


def run(*command, timeout=900, env=None, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                            env=env, **options)
    assert result.returncode == 0, f"{command}\n{result.stdout[-5000:]}\n{result.stderr[-5000:]}"
    return result.stdout


def emulated_env(**changes):
    # The interpreter's launcher reads QEMU_CPU; nothing of this process's
    # build may reach the emulated one.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    return env | {"QEMU_CPU": "max"} | changes


class Built(NamedTuple):
    sdist: Path
    wheel: Path


class Installed(NamedTuple):
    python: Path
    site: Path


@pytest.fixture(scope="module")
def aarch64_python():
    return Path(run(TOP / "tools/provision_python.sh", "--arch", "arm64").strip())


@pytest.fixture(scope="module")
def built(tmp_path_factory, aarch64_python):
    # The sdist, and the wheel built from it, without build isolation so that
    # zig's build of libc++ for aarch64 is reused between runs (this
    # environment holds the pinned build requirements).
    scratch = tmp_path_factory.mktemp("aarch64")
    include = aarch64_python.parents[1] / "include/python3.14"
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", scratch / "dist",
        f"-Cbuild-dir={scratch / 'build'}", "-Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64",
        f"-Ccmake.define.Python_INCLUDE_DIR={include}", TOP, timeout=1800)
    (sdist,) = (scratch / "dist").glob(f"driftmoor-{VERSION}.tar.gz")
    (wheel,) = (scratch / "dist").glob(f"driftmoor-{VERSION}-*.whl")
    return Built(sdist, wheel)


@pytest.fixture(scope="module")
def installed(built, aarch64_python, tmp_path_factory):
    # ensurepip would byte-compile pip under emulation for minutes: the venv
    # gets none, and this environment's pip (pure Python) installs the wheel
    # from inside it.
    venv = tmp_path_factory.mktemp("venv") / "venv"
    run(aarch64_python, "-m", "venv", "--without-pip", venv, env=emulated_env())
    python = venv / "bin/python"
    this_site = sysconfig.get_paths()["purelib"]
    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps",
        "--disable-pip-version-check", built.wheel, env=emulated_env(PYTHONPATH=this_site))
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])",
                    env=emulated_env()).strip())
    return Installed(python, site)


def documented():
    """The tag and each module's highest glibc symbol version, as
    docs/aarch64.md states them."""
    text = DOCUMENT.read_text()
    (tag,) = set(re.findall(r"`(manylinux_\d+_\d+_aarch64)`", text))
    ceilings = dict(re.findall(r"^\| `(driftmoor\w*)` \| `GLIBC_([\d.]+)`", text, re.MULTILINE))
    assert ceilings, "no table of glibc versions in docs/aarch64.md"
    return tag, ceilings


def version(text):
    return tuple(int(part) for part in text.split("."))


def test_the_wheel_carries_the_documented_tag(built):
    tag, _ = documented()
    shown = " ".join(run(sys.executable, "-m", "auditwheel", "show", built.wheel).split())
    found = re.search(r'consistent with the following platform tag: "([^"]+)"', shown)[1]
    assert found == tag, shown
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_aarch64", tag)
    assert match and (int(match[1]), int(match[2])) <= (2, 28)
    assert built.wheel.name == f"driftmoor-{VERSION}-cp314-cp314-{tag}.whl"


def test_each_module_exports_its_init_alone_and_needs_the_documented_glibc(built, tmp_path):
    _, ceilings = documented()
    with zipfile.ZipFile(built.wheel) as archive:
        names = sorted(n for n in archive.namelist() if "/" not in n and n.endswith(".so"))
        archive.extractall(tmp_path, names)
    assert [name.split(".")[0] for name in names] == sorted(ceilings)
    for name in names:
        module = tmp_path / name
        assert name.endswith(".cpython-314-aarch64-linux-gnu.so")
        assert "Machine: AArch64" in " ".join(run("readelf", "--file-header", module).split())
        exported = run("nm", "-D", "--defined-only", module).split()[2::3]
        assert exported == [f"PyInit_{name.split('.')[0]}"], name
        needed = re.findall(r"\(NEEDED\).*\[(.*)\]", run("readelf", "--dynamic", module))
        assert needed and not [n for n in needed if re.match(r"lib(std)?c\+\+|libgcc_s", n)], (
            name, needed)
        symbols = run("objdump", "-T", module).splitlines()
        # A C library symbol without a version binds to whatever the system
        # has, and is missing where it is older: every one must carry a
        # version, so that the tag holds. Only the interpreter's are bare.
        bare = [line.split()[-1] for line in symbols if "*UND*" in line
                and "GLIBC_" not in line and not re.match(r"_?Py", line.split()[-1])]
        assert bare == [], (name, bare)
        versions = [version(v) for v in re.findall(r"\bGLIBC_([\d.]+)\b", "\n".join(symbols))]
        assert max(versions) == version(ceilings[name.split(".")[0]]), name


def test_the_module_runs_the_sha2_instructions(installed, tmp_path):
    # qemu logs each block of guest code it translates: the module's own
    # code (its executable mapping) must hold SHA256H, so the dispatch chose
    # the SHA2 routine on a processor that reports the extension.
    data = tmp_path / "data"
    data.write_bytes(os.urandom(100_000))
    log = tmp_path / "translated.log"
    code = ("import driftmoor, sys\n"
            "print(driftmoor.calculate_hash(sys.argv[1]))\n"
            "for line in open('/proc/self/maps'):\n"
            "    fields = line.split()\n"
            "    if fields[1] == 'r-xp' and fields[-1] == driftmoor.__file__:\n"
            "        print(fields[0])\n")
    digest, *ranges = run(installed.python, "-c", code, data,
                          env=emulated_env(QEMU_LOG="in_asm", QEMU_LOG_FILENAME=str(log))).split()
    assert digest == driftmoor.calculate_hash(str(data))
    assert ranges
    bounds = [tuple(int(end, 16) for end in span.split("-")) for span in ranges]
    sha2 = [int(address, 16) for address in
            re.findall(r"^0x([0-9a-f]+):\s+\S+\s+sha256h\s", log.read_text(), re.MULTILINE)]
    assert [a for a in sha2 if any(start <= a < end for start, end in bounds)], (ranges, sha2)


def test_the_manifest_of_a_tree_is_the_x86_builds(installed, tmp_path):
    # Links, loops, names that are not UTF-8, pipes, a device, a socket: both
    # builds walk the same tree to the same dict.
    build_everything(tmp_path / "tree")
    code = ("import driftmoor, json, sys\n"
            "print(json.dumps(driftmoor.calculate_directory_manifest(sys.argv[1])))\n")
    emulated = json.loads(run(installed.python, "-c", code, tmp_path / "tree",
                              env=emulated_env()))
    assert emulated == driftmoor.calculate_directory_manifest(str(tmp_path / "tree"))
    assert len(emulated) == 21


def test_the_focused_suite_passes_under_emulation(built, installed):
    # pytest from this environment (pure Python) after the venv's own
    # site-packages; hypothesis's plugin stays out (it imports a native part).
    this_site = sysconfig.get_paths()["purelib"]
    (installed.site / "driftmoor-test-tools.pth").write_text(f"{this_site}\n")
    result = subprocess.run(
        [installed.python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "-p", "no:hypothesispytest", *EMULATED_TESTS],
        capture_output=True, text=True, cwd=TOP, timeout=1200,
        env=emulated_env(DRIFTMOOR_MODULE_DIR=str(installed.site)),
    )
    assert result.returncode == 0, result.stdout[-20000:] + result.stderr[-5000:]
    summary = result.stdout.strip().splitlines()[-1]
    # Everything selected ran, and none of it was skipped.
    assert re.fullmatch(r"\d+ passed in .*", summary), summary
