#!/usr/bin/env bash
# Brings a checkout to the state that the tests need:
#   - a CPython 3.14 with headers (tools/provision_python.sh),
#   - Debian packages the tests need (GoogleTest, valgrind),
#   - .venv/ with the development requirements,
#   - the developer build in build/release (the modules, the C++ unit tests,
#     the test-only module, the probe, the benchmarks), build/asan with
#     --asan, and with --tsan the C++ unit tests alone in build/tsan, built
#     with ThreadSanitizer,
#   - with --windows, the Windows cross build in build/windows, whose unit
#     tests run under wine, and the tools for it,
#   - with --debug, Debian's debug interpreter (python3.14d, provisioned the
#     same way), a virtual environment of it in build/debug/venv and the
#     module built against it in build/debug,
#   - with --aarch64, Debian's aarch64 CPython (provisioned the same way, run
#     under qemu-user) and the C++ unit tests built for aarch64 by zig in
#     build/aarch64, run under qemu-user too,
#   - .venv made to import driftmoor from build/release and the command's
#     package, driftmoor_cli, from python/, and the command .venv/bin/driftmoor.
# With --main, only what the main job needs (tools/main.sh): the interpreter,
# .venv/ with the build requirements alone, and in build/release only the
# shipped modules (configured without the developer build if build/release
# is new, as it is; an existing developer build is kept); no Debian package
# for the tests.
# Every step checks first and does nothing when its result already exists, so
# running it again is fast.
#
# Usage: tools/setup.sh [--main | [--asan] [--tsan] [--windows] [--debug] [--aarch64]]
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
want_main_only=0
want_asan=0
want_tsan=0
want_windows=0
want_debug=0
want_aarch64=0
for argument in "$@"; do
  case $argument in
    --main) want_main_only=1 ;;
    --asan) want_asan=1 ;;
    --tsan) want_tsan=1 ;;
    --windows) want_windows=1 ;;
    --debug) want_debug=1 ;;
    --aarch64) want_aarch64=1 ;;
    *) argument_error=1 ;;
  esac
done
if [ -n "${argument_error:-}" ] ||
  { [ $want_main_only = 1 ] &&
    [ $((want_asan + want_tsan + want_windows + want_debug + want_aarch64)) -gt 0 ]; }; then
  echo "usage: tools/setup.sh [--main | [--asan] [--tsan] [--windows] [--debug] [--aarch64]]" >&2
  exit 2
fi

log() { printf 'setup: %s\n' "$*" >&2; }

# --- Debian packages -------------------------------------------------------
# GoogleTest is only needed for the C++ unit tests, valgrind for the
# constant-time check of compare_hashes, and locales (localedef, and the C
# library's translated messages) for the tests of messages in 8-bit locales;
# strace shows the state's tests which files a check opened, and e2fsprogs
# makes the file system in an image whose bytes they change under unchanged
# times; the packaged build of the module (pip install .) uses none of them.
# Likewise the Windows packages, only for the tests: the MinGW-w64 cross
# compiler (its POSIX-threads flavour), GoogleTest's sources to build for
# Windows, and wine to run the result.
packages=(libgtest-dev valgrind locales strace e2fsprogs)
if [ $want_main_only = 1 ]; then
  packages=()
fi
if [ $want_windows = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine64)
fi
if [ $want_aarch64 = 1 ]; then
  # qemu-user runs aarch64 programs; GoogleTest's sources are built for
  # aarch64 with the unit tests.
  packages+=(qemu-user-static googletest)
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

# --- Interpreters and virtual environments ----------------------------------
# A virtual environment of the interpreter, remade when it is of another
# version, kind (debug or not) or installation, with the requirements files
# installed (requirements-build.txt alone for the main job).
provide_venv() { # directory, interpreter, requirements file...
  local dir=$1 python=$2
  shift 2
  # A debug interpreter shows every warning by default, pip's own included.
  local -x PYTHONWARNINGS=ignore
  local kind='import sys; print(sys.version_info[:2], hasattr(sys, "gettotalrefcount"), sys.base_prefix)'
  if [ "$("$dir/bin/python" -c "$kind" 2>/dev/null)" != "$("$python" -c "$kind")" ]; then
    log "creating $dir with $python"
    rm -rf "$dir"
    # With its own pip: the README's recipe for a fresh environment.
    "$python" -m venv "$dir"
  fi

  # Each file's requirements are reinstalled only when that file changed.
  local requirements stamp
  for requirements in "$@"; do
    stamp=$dir/.${requirements%.txt}.sha256
    if ! sha256sum --status -c "$stamp" 2>/dev/null; then
      log "installing $requirements into $dir"
      "$dir/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" >&2
      sha256sum "$requirements" >"$stamp"
    fi
  done
}

# The environment imports the modules straight from a build (the shipped ones
# and the test-only one), so every rebuild is what `import driftmoor` gets,
# with no install step in between; likewise the command's package from
# python/, so every edit is what runs.
import_from_build() { # venv directory, build directory
  local site
  site=$("$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  printf '%s\n' "$top/$2/python" "$top/$2/test-support" "$top/python" >"$site/driftmoor-build.pth"
  # The `driftmoor` command beside the interpreter: the launcher that
  # `pip install .` writes for the console script, here running the command
  # from python/ on the module of the build, through the path above.
  # Without the build (removed, or not made yet), one line says what to run
  # rather than an import's traceback.
  cat >"$1/bin/driftmoor.new" <<LAUNCHER
#!$top/$1/bin/python
import sys
try:
    import driftmoor, driftmoor_tree
except ModuleNotFoundError as missing:
    sys.stderr.write(f"driftmoor: {missing.name} is not built in $top/$2: run $top/tools/setup.sh --main\\n")
    sys.exit(2)
from driftmoor_cli import main
sys.exit(main())
LAUNCHER
  chmod +x "$1/bin/driftmoor.new"
  mv -f "$1/bin/driftmoor.new" "$1/bin/driftmoor"
  # Its bytecode, as an installation has it: where PYTHONDONTWRITEBYTECODE
  # is set, every start would compile the package again (about 9 ms). A file
  # edited since is compiled in memory until the next set-up, as before.
  "$1/bin/python" -m compileall -q "$top/python/driftmoor_cli" >&2
}

python=$(tools/provision_python.sh)
if [ $want_main_only = 1 ]; then
  provide_venv .venv "$python" requirements-build.txt
else
  provide_venv .venv "$python" requirements-build.txt requirements-dev.txt
fi
venv_python=$top/.venv/bin/python

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
  # build_target may name several targets, split on spaces.
  cmake --build "$dir" ${build_target:+--target $build_target} >&2
}
# The sanitized builds are made for their reports, not their speed: -O1 -g1
# (line tables, enough for every report's stack) compiles them in about half
# the time of -O2 -g.
sanitized_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
if [ $want_main_only = 1 ]; then
  # The shipped modules alone. A build/release that exists is used as it is
  # configured (a developer build, if the tests were set up), so the main
  # job and the tests never take turns reconfiguring it.
  if [ ! -f build/release/build.ninja ]; then
    log "configuring build/release (the modules only)"
    cmake -S . -B build/release -G Ninja -DDRIFTMOOR_DEVELOPER_BUILD=OFF \
      -DPython_EXECUTABLE="$venv_python" -DCMAKE_BUILD_TYPE=Release >&2
    printf '%s\n' "main" >build/release/.setup-arguments
  fi
  cmake --build build/release --target driftmoor_modules >&2
  import_from_build .venv build/release
  exit 0
fi
configure_and_build build/release -DPython_EXECUTABLE="$venv_python" -DCMAKE_BUILD_TYPE=Release
if [ $want_asan = 1 ]; then
  configure_and_build build/asan -DPython_EXECUTABLE="$venv_python" "${sanitized_flags[@]}" \
    -DDRIFTMOOR_SANITIZE=ON
fi
if [ $want_tsan = 1 ]; then
  # The interpreter is not instrumented, so no module built with the thread
  # sanitizer could be loaded: only the C++ unit tests, which run the walk
  # with workers.
  build_target=driftmoor_unit_tests configure_and_build build/tsan \
    -DPython_EXECUTABLE="$venv_python" "${sanitized_flags[@]}" -DDRIFTMOOR_SANITIZE_THREADS=ON
fi
if [ $want_windows = 1 ]; then
  # The core, its console program and its unit tests, for Windows, and the
  # link check of the binding against this interpreter's headers (only
  # pyconfig.h differs between platforms, and the check brings its own).
  python_include=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  configure_and_build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DDRIFTMOOR_WINDOWS_LINK_CHECK_PYTHON_INCLUDE_DIR="$python_include"
fi
if [ $want_debug = 1 ]; then
  # The debug interpreter loads only modules built for its own ABI, and its
  # tests need a site-packages of its own; a Debug build keeps the asserts of
  # the interpreter's inline functions. Only the modules: the C++ unit tests
  # and the benchmarks run from the other builds.
  debug_python=$(tools/provision_python.sh --debug)
  provide_venv build/debug/venv "$debug_python" requirements-build.txt requirements-dev.txt
  build_target="driftmoor_modules _driftmoor_testing" configure_and_build build/debug \
    -DPython_EXECUTABLE="$top/build/debug/venv/bin/python" -DCMAKE_BUILD_TYPE=Debug
  import_from_build build/debug/venv build/debug
fi
if [ $want_aarch64 = 1 ]; then
  # The core's unit tests and benchmarks for aarch64, compiled by the wheel's
  # compiler (zig, from .venv), and listed by ctest under qemu in the
  # provisioned root (its loader and C library).
  aarch64_python=$(tools/provision_python.sh --arch arm64)
  aarch64_root=${aarch64_python%/usr/bin/python3.14}
  zig=$("$venv_python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')
  CXX="$zig c++ -target aarch64-linux-gnu.2.28" configure_and_build build/aarch64 \
    -DCMAKE_BUILD_TYPE=Release -DDRIFTMOOR_TEST_SUPPORT=OFF -DCMAKE_SYSTEM_NAME=Linux \
    -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_LIBRARY_ARCHITECTURE=aarch64-linux-gnu \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$(command -v qemu-aarch64-static);-L;$aarch64_root"
fi
import_from_build .venv build/release
