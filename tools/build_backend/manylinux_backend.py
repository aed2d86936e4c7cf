"""The package's build backend: scikit-build-core's, with every Linux wheel
given the platform tag that auditwheel finds for it.

scikit-build-core tags a Linux wheel `linux_x86_64`, which promises nothing
about the C library the module needs, and which package indexes refuse.
auditwheel reads the symbol versions the module really uses and retags the
wheel manylinux (or musllinux) accordingly. The module links only the C
library (its C++ runtime is static), so nothing is grafted or patched: the
"none" patcher makes auditwheel fail rather than change a binary. Where
auditwheel finds no such tag (a C library newer than it knows), the wheel
keeps its plain tag, which still installs on the machine that built it.
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from scikit_build_core.build import *  # noqa: F403 - every hook but build_wheel as it is
from scikit_build_core.build import build_wheel as build_plain_wheel


def build_wheel(
    wheel_directory: str,
    config_settings: dict[str, list[str] | str] | None = None,
    metadata_directory: str | None = None,
) -> str:
    if not sys.platform.startswith("linux"):
        return build_plain_wheel(wheel_directory, config_settings, metadata_directory)
    with tempfile.TemporaryDirectory() as scratch:
        plain_dir, tagged_dir = Path(scratch, "plain"), Path(scratch, "tagged")
        plain = plain_dir / build_plain_wheel(str(plain_dir), config_settings, metadata_directory)
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
