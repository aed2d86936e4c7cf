"""The shared library as a file: what it exports and what it needs."""

import subprocess
from pathlib import Path

import pytest

import driftmoor
from conftest import SANITIZED

MODULE = Path(driftmoor.__file__)


def test_only_the_init_function_is_exported():
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", MODULE], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    names = [line.split()[-1] for line in symbols if line.strip()]
    assert names == ["PyInit_driftmoor"]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtimes need the shared C++ runtime")
def test_cxx_runtime_is_linked_in():
    dynamic = subprocess.run(
        ["readelf", "--dynamic", MODULE], capture_output=True, text=True, check=True
    ).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed, dynamic
    assert not [line for line in needed if "libstdc++" in line or "libgcc_s" in line]


@pytest.mark.skipif(not SANITIZED, reason="only the sanitized build is instrumented")
def test_sanitized_run_loads_an_instrumented_module():
    undefined = subprocess.run(
        ["nm", "-D", "--undefined-only", MODULE], capture_output=True, text=True, check=True
    ).stdout
    assert "__asan_init" in undefined
    assert "__ubsan_handle" in undefined
