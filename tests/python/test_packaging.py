"""`pip install .` builds a wheel with the extension module, its type stubs
and the `driftmoor` command's package, and nothing else."""

import configparser
import hashlib
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import SANITIZED

TOP = Path(__file__).resolve().parents[2]
MODULE = "driftmoor.cpython-314-x86_64-linux-gnu.so"


@pytest.mark.skipif(
    SANITIZED or hasattr(sys, "gettotalrefcount"),
    reason="builds its own module; once per run is enough",
)
def test_wheel_holds_the_module_and_the_command(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
         "--wheel-dir", tmp_path / "dist", TOP],
        check=True,
        capture_output=True,
        cwd=tmp_path,
    )
    site = tmp_path / "site"
    (wheel,) = (tmp_path / "dist").glob("driftmoor-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        installed = sorted(n for n in names if not n.startswith("driftmoor-0.1.0.dist-info/"))
        assert installed == [
            "driftmoor-stubs/__init__.pyi",
            "driftmoor.cpython-314-x86_64-linux-gnu.so",
            *sorted(f"driftmoor_cli/{p.name}"
                    for p in (TOP / "python/driftmoor_cli").iterdir() if p.is_file()),
        ], names
        entry_points = configparser.ConfigParser()
        entry_points.read_string(archive.read("driftmoor-0.1.0.dist-info/entry_points.txt").decode())
        archive.extractall(site, installed)
    assert dict(entry_points["console_scripts"]) == {"driftmoor": "driftmoor_cli:main"}

    # The module from the wheel imports and works, with nothing else on the
    # path (-S: no site-packages, so not the checkout's build either).
    result = subprocess.run(
        [sys.executable, "-S", "-c",
         "import sys; sys.path.insert(0, sys.argv[1]); import driftmoor; "
         "print(driftmoor.__file__); print(driftmoor.compare_hashes('a', 'a'))",
         site],
        capture_output=True, text=True, check=True,
    )
    assert result.stdout.splitlines() == [str(site / MODULE), "True"]

    # The command from the wheel runs, both as the console script's target
    # names it and as `python -m`, on the wheel's module and package alone.
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "a.txt").write_bytes(b"alpha\n")
    (tree / "sub" / "b.bin").write_bytes(bytes(range(256)))
    expected = "".join(
        f"{hashlib.sha256((tree / name).read_bytes()).hexdigest()}  {tree}/{name}\n"
        for name in ["a.txt", "sub/b.bin"]
    )
    module, function = entry_points["console_scripts"]["driftmoor"].split(":")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | {"PYTHONPATH": str(site)}
    for launch in (["-c", f"import sys; from {module} import {function}; sys.exit({function}())"],
                   ["-m", "driftmoor_cli"]):
        result = subprocess.run(
            [sys.executable, "-S", *launch, "manifest", tree],
            capture_output=True, text=True, env=env, cwd=tmp_path,
        )
        assert (result.returncode, result.stderr, result.stdout) == (0, "", expected), launch
