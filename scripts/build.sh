#!/usr/bin/env bash
# Configures and builds the engine, the extension module and the tests in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELBIN_BUILD_DIR:-$root/build}
py="$root/.venv/bin/python"
jobs=${JOBS:-$(nproc)}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$py" "$@"
fi
cmake --build "$build" -j "$jobs"
