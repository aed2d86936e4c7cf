"""`python -m build` makes an sdist and, from it, a manylinux wheel that holds
every extension module CMake installs, the command's package and the module's
stubs; installed into a fresh venv, the wheel passes this whole suite.

The wheel is built once per run, in an isolated environment as a user's
build would be. Its CMake build also makes the test-only module and the
constant-time probe from the same objects (never installed), so that the
suite's run against the installed wheel checks the wheel's compiler's output
throughout."""

import configparser
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path
from typing import NamedTuple

import pytest

from conftest import DEBUG_INTERPRETER, FROM_WHEEL, HEAVY_LEFT_OUT, SANITIZED

TOP = Path(__file__).resolve().parents[2]
VERSION = "0.1.0"
# manylinux_2_28: what most binary wheels published today target.
GLIBC_CEILING = (2, 28)

pytestmark = [
    pytest.mark.skipif(
        SANITIZED or DEBUG_INTERPRETER or FROM_WHEEL,
        reason="builds and tests the wheel itself; once per run, from the release run",
    ),
    # The first test pays for the build (minutes: zig builds its libc++ for a
    # new build environment), the last one for the whole suite.
    pytest.mark.timeout(3600),
]
# What the suite skips in a release run of the checkout's build too.
EXPECTED_SKIPS = ("only the sanitized build is instrumented", "needs a debug build of CPython",
                  "builds and tests the wheel itself",
                  "the checkout's launcher, not an installed one", HEAVY_LEFT_OUT)


def clean_env(**changes):
    # Nothing of this checkout's build or of a sanitizer on the way.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    return env | changes


def run(*command, timeout=900, **options):
    result = subprocess.run(command, capture_output=True, text=True, env=clean_env(),
                            timeout=timeout, **options)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


class Built(NamedTuple):
    sdist: Path
    wheel: Path
    build: Path  # the wheel's CMake build folder


class Installed(NamedTuple):
    python: Path
    site: Path


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    scratch = tmp_path_factory.mktemp("packaging")
    run(sys.executable, "-m", "build", "--outdir", scratch / "dist",
        f"-Cbuild-dir={scratch / 'build'}", "-Ccmake.define.DRIFTMOOR_TEST_SUPPORT=ON", TOP,
        timeout=1800)
    (sdist,) = (scratch / "dist").glob(f"driftmoor-{VERSION}.tar.gz")
    (wheel,) = (scratch / "dist").glob(f"driftmoor-{VERSION}-*.whl")
    return Built(sdist, wheel, scratch / "build")


@pytest.fixture(scope="module")
def installed(built, tmp_path_factory):
    # The README's recipe: a venv of the provisioned interpreter comes with a
    # pip of its own, which installs the wheel.
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    interpreter = run(TOP / "tools/provision_python.sh").strip()
    run(interpreter, "-m", "venv", venv)
    run(venv / "bin/pip", "install", "-q", "--no-index", "--disable-pip-version-check",
        built.wheel)
    site = Path(run(venv / "bin/python", "-c",
                    "import sysconfig; print(sysconfig.get_paths()['platlib'])").strip())
    return Installed(venv / "bin/python", site)


def wheel_modules(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return sorted(n for n in archive.namelist() if "/" not in n and n.endswith(".so"))


def test_sdist_holds_the_sources_and_the_licence(built):
    with tarfile.open(built.sdist) as archive:
        names = {n.removeprefix(f"driftmoor-{VERSION}/") for n in archive.getnames()}
    assert {"LICENSE", "pyproject.toml", "CMakeLists.txt", "src/lib.cpp",
            "tools/build_backend/manylinux_backend.py"} <= names
    assert not [n for n in names if n.split("/")[0] in (".cache", ".venv", "build", ".ci")]


def test_wheel_holds_the_installed_modules_the_command_and_the_licence(built):
    # Every module CMake builds to ship (<build>/python) is in the wheel, and
    # nothing else that is native.
    shipped = sorted(p.name for p in (built.build / "python").glob("*.so"))
    assert f"driftmoor.{sysconfig.get_config_var('SOABI')}.so" in shipped
    info = f"driftmoor-{VERSION}.dist-info"
    with zipfile.ZipFile(built.wheel) as archive:
        names = archive.namelist()
        files = sorted(n for n in names if not n.startswith(f"{info}/") and n[-1] != "/")
        assert files == sorted([
            *shipped,
            *(f"{p.parent.name}/{p.name}" for p in (TOP / "python").glob("*-stubs/*.pyi")),
            *(f"driftmoor_cli/{p.relative_to(TOP / 'python/driftmoor_cli')}"
              for p in (TOP / "python/driftmoor_cli").rglob("*")
              if p.is_file() and "__pycache__" not in p.parts),
        ]), names
        entry_points = configparser.ConfigParser()
        entry_points.read_string(archive.read(f"{info}/entry_points.txt").decode())
        metadata = archive.read(f"{info}/METADATA").decode().split("\n\n")[0].splitlines()
        licence = archive.read(f"{info}/licenses/LICENSE")
    assert dict(entry_points["console_scripts"]) == {"driftmoor": "driftmoor_cli:main"}
    assert {"License-Expression: MIT", "License-File: LICENSE"} <= set(metadata)
    assert licence == (TOP / "LICENSE").read_bytes()


def test_wheel_is_tagged_manylinux_2_28_or_older(built):
    shown = " ".join(run(sys.executable, "-m", "auditwheel", "show", built.wheel).split())
    tag = re.search(r'consistent with the following platform tag: "([^"]+)"', shown)[1]
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", tag)
    assert match and (int(match[1]), int(match[2])) <= GLIBC_CEILING, shown
    assert built.wheel.name == f"driftmoor-{VERSION}-cp314-cp314-{tag}.whl"


def test_each_module_exports_its_init_alone_and_carries_its_cxx_runtime(built, installed):
    modules = wheel_modules(built.wheel)
    assert modules
    for name in modules:
        module = installed.site / name
        exported = run("nm", "-D", "--defined-only", module).split()[2::3]
        assert exported == [f"PyInit_{name.split('.')[0]}"], name
        needed = re.findall(r"\(NEEDED\).*\[(.*)\]", run("readelf", "--dynamic", module))
        assert needed and not [n for n in needed if re.match(r"lib(std)?c\+\+|libgcc_s", n)], (
            name, needed)
        symbols = run("objdump", "-T", module)
        versions = {tuple(map(int, v.split(".")))
                    for v in re.findall(r"\bGLIBC_([0-9.]+)", symbols)}
        assert versions and max(versions) <= GLIBC_CEILING, (name, max(versions))
        # A C library symbol without a version binds to whatever the system
        # has, and is missing on one older than its first version (such as
        # getdents64, from 2.30): only the interpreter's symbols may be bare.
        bare = [line.split()[-1] for line in symbols.splitlines() if "*UND*" in line
                and "GLIBC_" not in line and not re.match(r"_?Py", line.split()[-1])]
        assert bare == [], (name, bare)


def test_the_whole_suite_passes_against_the_installed_wheel(built, installed):
    # The test tools come from this run's environment, after the fresh venv's
    # own site-packages (a .pth line is appended to the path), beside the
    # test-only module built with the wheel.
    tools_site = sysconfig.get_paths()["purelib"]
    (installed.site / "driftmoor-test-tools.pth").write_text(
        f"{built.build / 'test-support'}\n{tools_site}\n")
    result = subprocess.run(
        [installed.python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/python"],
        capture_output=True, text=True, cwd=TOP, timeout=3000,
        env=clean_env(DRIFTMOOR_MODULE_DIR=str(installed.site),
                      DRIFTMOOR_CONSTANT_TIME_PROBE=str(built.build / "constant_time_probe"),
                      DRIFTMOOR_FROM_WHEEL="1"),
    )
    summary = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
    assert result.returncode == 0, result.stdout[-20000:] + result.stderr[-5000:]
    # The tests of the test-only module, the probe and the command all ran.
    assert re.search(r"\b\d{3,} passed", summary), summary
    for skipped in re.findall(r"^SKIPPED .*$", result.stdout, re.MULTILINE):
        assert any(reason in skipped for reason in EXPECTED_SKIPS), skipped
