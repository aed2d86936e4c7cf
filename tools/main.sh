#!/usr/bin/env bash
# Sets up what the main job needs (tools/setup.sh --main: the interpreter,
# .venv with the build tools, the modules in build/release; nothing for the
# tests), then runs the main job in .venv:
# `driftmoor manifest DIR`, the SHA-256 of every file under DIR, one
# `sha256sum` line each, sorted by path.
#
# Usage: tools/main.sh [DIR]
# DIR is taken relative to the caller's working directory. Without it, the
# job fingerprints the checkout's src/, run from the checkout's top as `src`,
# so the lines read `<digest>  src/lib.cpp` and `sha256sum -c` checks them
# from the top of any copy of the checkout.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/setup.sh" --main
if [ $# -eq 0 ]; then
  cd "$top"
  set -- src
fi
status=0
"$top/.venv/bin/driftmoor" manifest "$@" || status=$?
# After the job's own output, on standard error so that the manifest on
# standard output stays as it is.
printf '\nmain: the command is %s (try: %s --help)\n' \
  "$top/.venv/bin/driftmoor" "$top/.venv/bin/driftmoor" >&2
exit $status
