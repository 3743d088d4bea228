#!/usr/bin/env bash
# Line and function coverage of src/ and python/ by the C++ and the Python tests.
# Builds the engine, the module and the tests at -O0 with gcc's coverage
# instrumentation in build-coverage/, runs both suites there, and prints a table
# per directory with the totals; an HTML report goes to build-coverage/coverage/.
# The generated Unicode tables are left out of the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELBIN_COVERAGE_BUILD_DIR:-$root/build-coverage}
py="$root/.venv/bin/python"
jobs=${JOBS:-$(nproc)}

bash "$root/scripts/install_deps.sh"
"$py" -c "import gcovr" 2>/dev/null ||
  "$root/.venv/bin/pip" install -q --disable-pip-version-check "gcovr==8.4"

if [ ! -f "$build/build.ninja" ]; then
  # Atomic counter updates: the engine's tasks run on several threads.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-O0 --coverage -fprofile-update=atomic" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
    -DCMAKE_MODULE_LINKER_FLAGS=--coverage \
    -DPython_EXECUTABLE="$py" > /dev/null
fi
cmake --build "$build" --target quelbin_tests _quelbin _quelbin_testing -j "$jobs"

# Counts from an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete

status=0
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-2}
echo "== C++ tests"
(cd "$build" && ctest --output-on-failure) || status=1
echo "== Python tests"
QUELBIN_BUILD_DIR="$build" "$py" -m pytest -q "$root/tests/python" || status=1

report="$build/coverage"
rm -rf "$report" && mkdir -p "$report"
# A line counts once however many template instances or instruction-set clones
# share it; so does a function (one source position, reached by any of them).
"$py" -m gcovr --root "$root" --object-directory "$build" \
  --filter "$root/src/" --filter "$root/python/" --exclude "$root/src/model/unicode_tables.cpp" \
  --gcov-exclude-directories '.*/CMakeFiles/[0-9.]+/.*' \
  --merge-lines --merge-mode-functions=separate \
  --json "$report/coverage.json" --html-details "$report/index.html" -j "$jobs" > /dev/null

echo "== Coverage of src/ and python/ (HTML: ${report#"$root"/}/index.html)"
"$py" - "$report/coverage.json" <<'PY'
import collections, json, sys

rows = collections.defaultdict(lambda: [0, 0, 0, 0])
for f in json.load(open(sys.argv[1]))["files"]:
    lines = {}
    for line in f["lines"]:
        if not line.get("gcovr/noncode"):
            n = line["line_number"]
            lines[n] = lines.get(n, 0) + line["count"]
    functions = {}
    for fn in f["functions"]:
        functions[fn["lineno"]] = functions.get(fn["lineno"], 0) + fn["execution_count"]
    counts = (sum(c > 0 for c in lines.values()), len(lines),
              sum(c > 0 for c in functions.values()), len(functions))
    for key in (f["file"].rsplit("/", 1)[0], "total"):
        rows[key] = [a + b for a, b in zip(rows[key], counts)]

def pct(a, b):
    return f"{100.0 * a / b:6.2f}%" if b else "     -"

print(f"{'directory':<14} {'lines':>13} {'':>7}   {'functions':>9} {'':>7}")
for key in sorted(k for k in rows if k != "total") + ["total"]:
    lc, lt, fc, ft = rows[key]
    print(f"{key:<14} {lc:>6}/{lt:<6} {pct(lc, lt)}   {fc:>4}/{ft:<4} {pct(fc, ft)}")
PY
exit $status
