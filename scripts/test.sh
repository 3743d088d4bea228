#!/usr/bin/env bash
# Installs what is missing, builds, then runs the C++ and the Python tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELBIN_BUILD_DIR:-$root/build}
bash "$root/scripts/install_deps.sh"
bash "$root/scripts/build.sh"
status=0
echo "== C++ tests"
# The suites call the engine's internals and at::lstm directly and compute
# references with PyTorch's eager operators, outside the engine's tasks: with
# ATen's default thread count these open a parallel region for every small
# product and crawl on a busy machine (the fixture writer 165 s against 28 s on
# two threads under a load of 30), and oneDNN's LSTM inside at::lstm has been
# seen to stall for good with eight threads (in the references; the engine's
# entry points keep it on one thread). So the suites run on two threads;
# tests/python/test_threads.py sets 1 and 2 itself.
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-2}
(cd "$build" && ctest --output-on-failure -V) || status=1
# The C++ suite again, built without optimisation and with AddressSanitizer
# and UBSan, on the fixtures the regular run wrote: at -O0 nothing is inlined
# unless forced, which is where a kernel built for several instruction sets
# would call a helper compiled for another one. Leak checking is off because
# libtorch's own start-up allocations are never freed.
echo "== C++ tests unoptimised, under AddressSanitizer and UBSan"
asan_build=${QUELBIN_ASAN_BUILD_DIR:-$root/build-asan}
cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELBIN_SANITIZE=ON \
  -DPython_EXECUTABLE="$root/.venv/bin/python" > /dev/null
cmake --build "$asan_build" --target quelbin_tests -j "${JOBS:-$(nproc)}" > "$asan_build/build.log" 2>&1 ||
  { tail -50 "$asan_build/build.log"; status=1; }
ln -sfn "$build/fixtures" "$asan_build/fixtures"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=0 \
  "$asan_build/tests/quelbin_tests" --gtest_brief=1 || status=1

# Every fuzz target (tests/fuzz/) for a short while under libFuzzer with
# AddressSanitizer and UBSan, on the fixtures of the regular run; their kept
# inputs are replayed by the suites above in every build.
echo "== Fuzz targets, ${FUZZ_SECONDS:-10} s each"
QUELBIN_FUZZ_FIXTURES="$build/fixtures" FUZZ_SECONDS=${FUZZ_SECONDS:-10} \
  bash "$root/tests/fuzz/run.sh" || status=1

echo "== Python tests"
QUELBIN_BUILD_DIR="$build" "$root/.venv/bin/python" -m pytest -q "$root/tests/python" || status=1
exit $status
