#!/usr/bin/env bash
# Brings a checkout to the state that the main job and the tests need:
#   - a CPython 3.14 with headers (tools/provision_python.sh),
#   - Debian packages the C++ tests need (GoogleTest),
#   - .venv/ with the development requirements,
#   - the CMake build in build/release (and build/asan with --asan),
#   - with --windows, the Windows cross build in build/windows, whose unit
#     tests run under wine, and the tools for it,
#   - .venv made to import driftmoor from build/release and the command's
#     package, driftmoor_cli, from python/.
# Every step checks first and does nothing when its result already exists, so
# running it again is fast.
#
# Usage: tools/setup.sh [--asan] [--windows]
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
want_asan=0
want_windows=0
for argument in "$@"; do
  case $argument in
    --asan) want_asan=1 ;;
    --windows) want_windows=1 ;;
    *)
      echo "usage: tools/setup.sh [--asan] [--windows]" >&2
      exit 2
      ;;
  esac
done

log() { printf 'setup: %s\n' "$*" >&2; }

# --- Debian packages -------------------------------------------------------
# GoogleTest is only needed for the C++ unit tests; the packaged build of the
# module (pip install .) does not use it. Likewise the Windows packages, only
# for the tests: the MinGW-w64 cross compiler (its POSIX-threads flavour),
# GoogleTest's sources to build for Windows, and wine to run the result.
packages=(libgtest-dev)
if [ $want_windows = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine64)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]} from Debian"
  apt-get -q update >&2
  DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends "${missing[@]}" >&2
fi

# --- Interpreter and virtual environment -----------------------------------
python=$(tools/provision_python.sh)
venv_python=$top/.venv/bin/python
if ! "$venv_python" -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
  log "creating .venv with $python"
  rm -rf .venv
  "$python" -m venv --without-pip .venv
  # A Debian interpreter unpacked outside / looks for its bundled pip wheel in
  # the absolute /usr/share/python-wheels, so ensurepip fails there; install
  # the wheel that came with it directly instead.
  prefix=$("$python" -c 'import sys; print(sys.prefix)')
  wheel=$(ls "$prefix"/share/python-wheels/pip-*.whl 2>/dev/null | head -n 1 || true)
  if [ -n "$wheel" ]; then
    "$venv_python" "$wheel/pip" install -q --no-index "$wheel" >&2
  else
    "$venv_python" -m ensurepip -q >&2
  fi
fi

# The requirements are reinstalled only when the file changed.
stamp=.venv/.requirements-dev.sha256
if ! sha256sum --status -c "$stamp" 2>/dev/null; then
  log "installing requirements-dev.txt into .venv"
  "$venv_python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt >&2
  sha256sum requirements-dev.txt >"$stamp"
fi

# --- Builds -----------------------------------------------------------------
export PATH=$top/.venv/bin:$PATH
configure_and_build() { # directory, extra cmake arguments...
  local dir=$1
  shift
  # Configured again when the arguments changed (say, another interpreter),
  # since CMake keeps the first ones in its cache.
  local stamp=$dir/.setup-arguments
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$*" ]; then
    log "configuring $dir"
    cmake -S . -B "$dir" -G Ninja -DDRIFTMOOR_DEVELOPER_BUILD=ON "$@" >&2
    printf '%s\n' "$*" >"$stamp"
  fi
  cmake --build "$dir" >&2
}
configure_and_build build/release -DPython_EXECUTABLE="$venv_python" -DCMAKE_BUILD_TYPE=Release
if [ $want_asan = 1 ]; then
  configure_and_build build/asan -DPython_EXECUTABLE="$venv_python" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRIFTMOOR_SANITIZE=ON
fi
if [ $want_windows = 1 ]; then
  # The core, its console program and its unit tests, for Windows, and the
  # link check of the binding against this interpreter's headers (only
  # pyconfig.h differs between platforms, and the check brings its own).
  python_include=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  configure_and_build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DDRIFTMOOR_WINDOWS_LINK_CHECK_PYTHON_INCLUDE_DIR="$python_include"
fi

# .venv imports the module straight from the release build, so every rebuild
# is what `import driftmoor` gets, with no install step in between; likewise
# the command's package from python/, so every edit is what runs.
site=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
printf '%s\n' "$top/build/release/python" "$top/python" >"$site/driftmoor-build.pth"
