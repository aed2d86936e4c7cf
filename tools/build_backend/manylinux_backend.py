"""The package's build backend: scikit-build-core's, with every Linux wheel
built for a C library as old as most Linux systems in use have, and given the
platform tag that auditwheel finds for it.

A wheel built with the build machine's own compiler needs that machine's C
library or newer: Debian 12's GCC and its static C++ runtime make a module
that asks for glibc 2.36 (arc4random, _dl_find_object, ...), which pip refuses
on most long-term systems. So on x86-64 and aarch64 glibc Linux the wheel is
compiled by zig's clang (PyPI's `ziglang`, pinned in pyproject.toml), aimed at
glibc 2.28 with zig's own headers and stubs of that C library, and linked with
LLVM's libc++ inside the module. Everywhere else the platform's compiler
builds it.

The same compiler builds the wheel of the other of those two processors on
either one: `-Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64` (or x86_64) with
`-Ccmake.define.Python_INCLUDE_DIR=DIR`, the include folder of a CPython 3.14
of that processor (tools/build_wheels.sh passes the one unpacked from Debian's
arm64 packages). The wheel is then tagged for that processor. Only the build
of the aarch64 wheel on x86-64 has been run.

scikit-build-core tags a Linux wheel `linux_x86_64`, which promises nothing
about the C library the module needs, and which package indexes refuse.
auditwheel reads the symbol versions the modules really use and retags the
wheel manylinux (or musllinux) accordingly. The modules link only the C
library (their C++ runtime is static), so nothing is grafted or patched: the
"none" patcher makes auditwheel fail rather than change a binary. Where
auditwheel finds no such tag (a C library newer than it knows), the wheel
keeps its plain tag, which still installs on the machine that built it.
"""

import os
import platform
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from scikit_build_core.build import *  # noqa: F403 - every hook but build_wheel as it is
from scikit_build_core.build import build_wheel as build_plain_wheel

# The oldest glibc the wheel's modules may need: manylinux_2_28, the floor of
# RHEL 8 and its rebuilds and what most binary wheels published today target.
GLIBC_TARGET = "2.28"
# The processors whose wheels zig builds, from either of them.
ZIG_MACHINES = ("x86_64", "aarch64")
TARGET_MACHINE = "cmake.define.CMAKE_SYSTEM_PROCESSOR"
TARGET_INCLUDE = "cmake.define.Python_INCLUDE_DIR"


def zig_compiler(machine: str) -> str | None:
    """The C++ compiler command for a wheel for `machine` built on this
    machine, as CMake reads it from CXX, or None for the platform's own
    compiler."""
    if not (sys.platform.startswith("linux") and platform.machine() in ZIG_MACHINES
            and machine in ZIG_MACHINES and platform.libc_ver()[0] == "glibc"):
        return None
    import ziglang  # a build requirement on these platforms (pyproject.toml)

    zig = Path(ziglang.__file__).with_name("zig")
    return f"{zig} c++ -target {machine}-linux-gnu.{GLIBC_TARGET}"


def cross_settings(settings: dict[str, list[str] | str], machine: str) -> dict[str, list[str] | str]:
    """The settings of a build for another processor: CMake told it cross
    compiles for Linux on `machine` (CMakeLists.txt then takes the target's
    multiarch name for its pyconfig.h and its modules' suffix), and the
    target's headers required."""
    if TARGET_INCLUDE not in settings:
        raise SystemExit(f"manylinux_backend: a wheel for {machine} built on "
                         f"{platform.machine()} needs -C{TARGET_INCLUDE}=DIR, the include "
                         f"folder of a CPython {sys.version_info[0]}.{sys.version_info[1]} "
                         f"for {machine}")
    # scikit-build-core names the wheel's platform after this, as CPython's
    # own cross builds do.
    os.environ["_PYTHON_HOST_PLATFORM"] = f"linux-{machine}"
    return {
        "cmake.define.CMAKE_SYSTEM_NAME": "Linux",
        "cmake.define.CMAKE_LIBRARY_ARCHITECTURE": f"{machine}-linux-gnu",
        **settings,
    }


def build_wheel(
    wheel_directory: str,
    config_settings: dict[str, list[str] | str] | None = None,
    metadata_directory: str | None = None,
) -> str:
    if not sys.platform.startswith("linux"):
        return build_plain_wheel(wheel_directory, config_settings, metadata_directory)
    settings = dict(config_settings or {})
    machine = str(settings.get(TARGET_MACHINE, platform.machine()))
    compiler = zig_compiler(machine)
    if machine != platform.machine():
        if compiler is None:
            raise SystemExit(f"manylinux_backend: wheels for another processor are built by "
                             f"zig, on glibc Linux for {' or '.join(ZIG_MACHINES)} only")
        settings = cross_settings(settings, machine)
    if compiler is not None:
        # This hook runs in a process of its own; CMake, run from it, takes
        # the compiler (and its leading arguments) from CXX.
        os.environ["CXX"] = compiler
    with tempfile.TemporaryDirectory() as scratch:
        plain_dir, tagged_dir = Path(scratch, "plain"), Path(scratch, "tagged")
        plain = plain_dir / build_plain_wheel(str(plain_dir), settings, metadata_directory)
        # auditwheel takes the processor from the wheel's name, so it checks
        # a wheel for another one against that processor's policies.
        repair = subprocess.run(
            [sys.executable, "-m", "auditwheel", "repair", "--patcher", "none",
             "--wheel-dir", tagged_dir, plain],
        )
        if repair.returncode == 0:
            (wheel,) = tagged_dir.iterdir()
        else:
            print("manylinux_backend: no manylinux tag for this wheel; it keeps "
                  f"its platform tag: {plain.name}", file=sys.stderr)
            wheel = plain
        shutil.move(wheel, Path(wheel_directory, wheel.name))
        return wheel.name
