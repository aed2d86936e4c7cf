#!/usr/bin/env bash
# Builds the sdist and, from it, both Linux wheels on this machine (x86-64
# glibc Linux), each compiled by zig for glibc 2.28 and tagged by auditwheel:
#   OUTDIR/driftmoor-VERSION.tar.gz
#   OUTDIR/driftmoor-VERSION-cp314-cp314-manylinux_2_26_x86_64.whl
#   OUTDIR/driftmoor-VERSION-cp314-cp314-manylinux_2_26_aarch64.whl
# Each wheel is built in an isolated environment, as a user's `pip install`
# of the sdist would be (PyPI needed). The aarch64 wheel needs aarch64
# CPython headers: Debian's, unpacked by tools/provision_python.sh --arch
# arm64 (which runs that interpreter under qemu-user once to check it).
#
# Usage: tools/build_wheels.sh [OUTDIR]   (default: dist)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
outdir=$(realpath -m "${1:-dist}")
log() { printf 'build_wheels: %s\n' "$*" >&2; }

if [ "$(uname -m)" != x86_64 ]; then
  log "both wheels are built on x86-64 Linux, not on $(uname -m)"
  exit 1
fi

# The build frontend, pinned as the tests pin it, in an environment of its
# own: nothing else of the developer set-up is needed.
python=$(tools/provision_python.sh)
tools_venv=$top/build/wheel-tools
build_pin=$(grep -E '^build==' requirements-dev.txt)
if [ "$(cat "$tools_venv/.pin" 2>/dev/null)" != "$build_pin" ]; then
  log "creating $tools_venv with $build_pin"
  rm -rf "$tools_venv"
  "$python" -m venv "$tools_venv"
  "$tools_venv/bin/python" -m pip install -q --disable-pip-version-check "$build_pin" >&2
  echo "$build_pin" >"$tools_venv/.pin"
fi

aarch64_python=$(tools/provision_python.sh --arch arm64)
aarch64_include=${aarch64_python%/bin/python3.14}/include/python3.14

version=$(sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
mkdir -p "$outdir"
log "the sdist, and from it the x86_64 wheel"
"$tools_venv/bin/python" -m build --outdir "$outdir" .
log "the aarch64 wheel, from the same sdist"
"$tools_venv/bin/python" -m build --wheel --outdir "$outdir" \
  -Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
  "-Ccmake.define.Python_INCLUDE_DIR=$aarch64_include" \
  "$outdir/driftmoor-$version.tar.gz"
ls -l "$outdir"/driftmoor-"$version"*
