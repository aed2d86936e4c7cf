#!/usr/bin/env bash
# Sets everything up (tools/setup.sh --asan --tsan --windows --debug), then runs
# every test:
#   1. the formatting check of the C++ sources,
#   2. the C++ unit tests, in the release and the sanitized build, and those
#      of the walk with workers under ThreadSanitizer,
#   3. the Python tests against the release build of the module, with the
#      packaging test: the wheel built (`python -m build`) and this whole
#      suite run again against it, installed into a fresh venv,
#   4. the Python tests again against the AddressSanitizer+UBSan build,
#   5. the Python tests again under the debug interpreter, against the module
#      built for it, with the reference-leak check that only runs there,
#   6. the Windows build's imports and exports (tools/check_windows_binaries.sh),
#   7. the C++ unit tests of the Windows build, under wine,
#   8. the Windows build of the core against the Linux one, on one tree
#      (tests/windows, pytest), under wine,
#   9. aarch64 under qemu-user: the C++ unit tests of the aarch64 build, then
#      the aarch64 wheel built from the sdist, checked, installed into a venv
#      of Debian's aarch64 CPython and tested there (tests/aarch64, pytest).
# Exits non-zero on the first failure. Extra arguments go to pytest.
#
# With --quick, only steps 1 to 3 on the release build, without the
# packaging test, and only the set-up they need (tools/setup.sh: no ASan,
# mingw-w64, wine or debug interpreter): the edit-compile-test loop, a few
# minutes once set up. The full run is what CI runs, and what a change must
# pass before it is merged.
#
# Usage: tools/test.sh [--quick] [PYTEST ARGUMENTS...]
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
quick=0
if [ "${1:-}" = --quick ]; then
  quick=1
  shift
fi
if [ $quick = 1 ]; then
  tools/setup.sh
else
  tools/setup.sh --asan --tsan --windows --debug --aarch64
fi
export PATH=$top/.venv/bin:$PATH

# Each stage's heading shows the seconds since the run began, so that a log
# cut short by a time limit still says where the time went.
step() { printf '\n=== %s (at %d s)\n' "$*" "$SECONDS"; }

step "formatting (clang-format)"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

step "C++ unit tests (release)"
build/release/driftmoor_unit_tests --gtest_brief=1

if [ $quick = 1 ]; then
  step "Python tests (release build, without the packaging test)"
  DRIFTMOOR_MODULE_DIR=$top/build/release/python python -m pytest tests/python \
    --ignore=tests/python/test_packaging.py "$@"
  echo "quick tests passed (tools/test.sh without --quick runs them all)"
  exit 0
fi

# Sanitizer reports go to files as well as failing the process, so that one
# raised in a child process that a test expected to fail is not missed.
reports=$top/build/asan/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# Runs a command, then fails if it failed or left any sanitizer report.
run_checked() {
  local status=0
  "$@" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/* >&2
    echo "sanitizer reports found (above)" >&2
    exit 1
  fi
  return $status
}

step "C++ unit tests (AddressSanitizer + UBSan)"
# No interpreter runs here, so any leak is the core's own: this stage reports
# leaks too.
run_checked env ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1}" \
  build/asan/driftmoor_unit_tests --gtest_brief=1

step "C++ unit tests of the walk with workers (ThreadSanitizer)"
# GCC's ThreadSanitizer with no suppressions: any report fails the stage.
TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
  build/tsan/driftmoor_unit_tests --gtest_brief=1 --gtest_filter='TreeAccount*:WorkPool*:HandOver*:ReadAhead*'

step "Python tests (release build)"
DRIFTMOOR_MODULE_DIR=$top/build/release/python python -m pytest tests/python "$@"

step "Python tests (AddressSanitizer + UBSan build)"
# The interpreter is not instrumented, so the runtime is preloaded, with the
# C++ runtime beside it: ASan wraps __cxa_throw only if it can find the real
# one when it starts. With the system allocator, ASan sees the interpreter's
# allocations too.
run_checked env \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc \
  PYTHONPATH="$top/build/asan/python:$top/build/asan/test-support" \
  DRIFTMOOR_MODULE_DIR="$top/build/asan/python" \
  DRIFTMOOR_SANITIZED=1 python -m pytest tests/python "$@"

step "Python tests (debug interpreter, with the reference-leak check)"
# The leak check counts references with sys.gettotalrefcount, and skips
# itself without it. A module compiled without Py_DEBUG still loads into
# the debug interpreter but counts none of its own references, so the counts
# would mislead: it must call the debug build's counting function.
debug_python=$top/build/debug/venv/bin/python
"$debug_python" -c 'import sys; sys.gettotalrefcount()'
for module in build/debug/python/*.so build/debug/test-support/*.so; do
  if ! nm -D --undefined-only "$module" | grep -w _Py_INCREF_IncRefTotal >/dev/null; then
    echo "$module is not a Py_DEBUG build (no _Py_INCREF_IncRefTotal)" >&2
    exit 1
  fi
done
DRIFTMOOR_MODULE_DIR=$top/build/debug/python "$debug_python" -m pytest tests/python "$@"

step "Windows build: DLL imports and the module's exports"
tools/check_windows_binaries.sh build/windows

# The Windows stages share one wine server, stopped on every way out.
. tools/wine_env.sh
trap wine_stop EXIT
wine_start
# The platform layer loads bcryptprimitives.dll from system32 only, and wine 8
# has none: the test build's stand-in goes there, fresh on every run.
wine_install_system_dll build/windows/test-support/bcryptprimitives.dll

step "C++ unit tests (Windows, under wine)"
wine_run build/windows/driftmoor_unit_tests.exe --gtest_brief=1

step "Windows build against the Linux build (pytest, under wine)"
# The extra arguments are not passed on: they select Python tests above, and
# a selection that left nothing to run here would fail the stage.
wine_env DRIFTMOOR_WINE="$wine64" \
  DRIFTMOOR_NATIVE_LINUX="$top/build/release/driftmoor_native" \
  DRIFTMOOR_NATIVE_WINDOWS="$top/build/windows/driftmoor_native.exe" \
  python -m pytest tests/windows

step "aarch64 under qemu-user: C++ unit tests, and the wheel (pytest)"
# qemu's "max" processor has the SHA2 extension, so the tests of the SHA2
# routine must run, not be skipped; the portable routine runs in the same
# tests, directly and through the dispatch held to it. The extra arguments
# are not passed on, as above.
aarch64_root=$(tools/provision_python.sh --arch arm64)
aarch64_root=${aarch64_root%/usr/bin/python3.14}
DRIFTMOOR_REQUIRE_SHA_EXT=1 qemu-aarch64-static -cpu max -L "$aarch64_root" \
  build/aarch64/driftmoor_unit_tests --gtest_brief=1
python -m pytest tests/aarch64
echo "all tests passed in $SECONDS s"
