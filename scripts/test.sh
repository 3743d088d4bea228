#!/usr/bin/env bash
# Installs what is missing, builds, then runs the C++ and the Python tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELBIN_BUILD_DIR:-$root/build}
bash "$root/scripts/install_deps.sh"
bash "$root/scripts/build.sh"
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-2}
status=0
echo "== C++ tests"
(cd "$build" && ctest --output-on-failure -V) || status=1
echo "== Python tests"
QUELBIN_BUILD_DIR="$build" "$root/.venv/bin/python" -m pytest -q "$root/tests/python" || status=1
exit $status
