#!/usr/bin/env bash
# Sets everything up (tools/setup.sh), then runs the main job in .venv.
# Until directory fingerprints exist, the main job is tools/demo.py.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/setup.sh"
exec "$top/.venv/bin/python" "$top/tools/demo.py" "$@"
