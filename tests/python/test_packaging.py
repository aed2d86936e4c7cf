"""`pip install .` builds a wheel with the extension module and nothing else."""

import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import SANITIZED

TOP = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(SANITIZED, reason="builds its own module; once per run is enough")
def test_wheel_holds_only_the_module(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
         "--wheel-dir", tmp_path / "dist", TOP],
        check=True,
        capture_output=True,
        cwd=tmp_path,
    )
    (wheel,) = (tmp_path / "dist").glob("driftmoor-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        modules = [n for n in names if not n.startswith("driftmoor-")]
        assert modules == ["driftmoor.cpython-314-x86_64-linux-gnu.so"], names
        archive.extract(modules[0], tmp_path / "site")

    # The module from the wheel imports and works, with nothing else on the
    # path (-S: no site-packages, so not the checkout's build either).
    result = subprocess.run(
        [sys.executable, "-S", "-c",
         "import sys; sys.path.insert(0, sys.argv[1]); import driftmoor; "
         "print(driftmoor.__file__); print(driftmoor.compare_hashes('a', 'a'))",
         tmp_path / "site"],
        capture_output=True, text=True, check=True,
    )
    assert result.stdout.splitlines() == [
        str(tmp_path / "site" / modules[0]),
        "True",
    ]
