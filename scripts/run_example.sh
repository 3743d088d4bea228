#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELBIN_BUILD_DIR:-$root/build}
# Standard input is kept for the text ("-" or "--file -").
bash "$root/scripts/install_deps.sh" >&2 </dev/null
bash "$root/scripts/build.sh" >&2 </dev/null
QUELBIN_BUILD_DIR="$build" exec "$root/.venv/bin/python" "$root/scripts/example.py" "$@"
