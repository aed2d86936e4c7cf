#!/usr/bin/env bash
# Sets everything up (tools/setup.sh), then runs the main job in .venv:
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
"$top/tools/setup.sh"
if [ $# -eq 0 ]; then
  cd "$top"
  set -- src
fi
exec "$top/.venv/bin/driftmoor" manifest "$@"
