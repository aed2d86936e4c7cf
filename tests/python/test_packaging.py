"""`pip install .` builds a wheel with the extension module, its type stubs
and the `driftmoor` command's package, and nothing else; `python -m build`
makes an sdist and from it a manylinux wheel that installs and runs."""

import configparser
import hashlib
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import SANITIZED
from test_typing import TYPED_USE

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
        installed = sorted(n for n in names
                           if not n.startswith("driftmoor-0.1.0.dist-info/") and n[-1] != "/")
        assert installed == [
            "driftmoor-stubs/__init__.pyi",
            "driftmoor.cpython-314-x86_64-linux-gnu.so",
            *sorted(f"driftmoor_cli/{p.name}"
                    for p in (TOP / "python/driftmoor_cli").iterdir() if p.is_file()),
            "driftmoor_tree-stubs/__init__.pyi",
            "driftmoor_tree.cpython-314-x86_64-linux-gnu.so",
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


def clean_env():
    # Nothing of this checkout's build or of a sanitizer on the way.
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}


@pytest.mark.skipif(
    SANITIZED or hasattr(sys, "gettotalrefcount"),
    reason="builds its own module; once per run is enough",
)
def test_sdist_builds_a_manylinux_wheel_that_installs_and_runs(tmp_path):
    def run(*command, **options):
        result = subprocess.run(command, capture_output=True, text=True, env=clean_env(),
                                timeout=600, **options)
        assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
        return result.stdout

    # The sdist, then a wheel built from it in an isolated environment.
    run(sys.executable, "-m", "build", "--outdir", tmp_path / "dist", TOP)
    (sdist,) = (tmp_path / "dist").glob("driftmoor-0.1.0.tar.gz")
    (wheel,) = (tmp_path / "dist").glob("driftmoor-0.1.0-*.whl")

    # The wheel carries the tag auditwheel finds for what the module links.
    shown = " ".join(run(sys.executable, "-m", "auditwheel", "show", wheel).split())
    tag = re.search(r'consistent with the following platform tag: "([^"]+)"', shown)[1]
    assert tag.startswith("manylinux_"), shown
    assert wheel.name == f"driftmoor-0.1.0-cp314-cp314-{tag}.whl"

    # A fresh environment of the provisioned interpreter gets it, command and all.
    interpreter = run(TOP / "tools/provision_python.sh").strip()
    run(interpreter, "-m", "venv", "--without-pip", tmp_path / "venv")
    fresh = tmp_path / "venv/bin"
    run(sys.executable, "-m", "pip", "--python", fresh / "python", "install", "-q", "--no-index",
        "--no-deps", wheel)
    assert run(fresh / "python", "-c", "import driftmoor; print(driftmoor.__file__)").startswith(
        str(tmp_path / "venv"))
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree/a.txt").write_bytes(b"alpha\n")
    (tmp_path / "tree.sums").write_text(run(fresh / "driftmoor", "manifest", "tree", cwd=tmp_path))
    assert run(fresh / "driftmoor", "check", "-q", "tree.sums", cwd=tmp_path) == (
        "summary: 1 ok, 0 changed, 0 missing, 0 added\n")
    (tmp_path / "tree/a.txt").write_bytes(b"beta\n")
    changed = subprocess.run([fresh / "driftmoor", "check", "-q", "tree.sums"], cwd=tmp_path,
                             capture_output=True, text=True, env=clean_env())
    assert (changed.returncode, changed.stdout.splitlines()[0]) == (1, "changed: tree/a.txt")

    # mypy finds the installed stubs through the environment alone.
    (tmp_path / "typed_use.py").write_text(TYPED_USE)
    run(sys.executable, "-m", "mypy", "--strict", "--python-executable", fresh / "python",
        "typed_use.py", cwd=tmp_path)
