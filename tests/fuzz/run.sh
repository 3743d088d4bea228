#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and UBSan
# (Debian's clang, compiler-rt and libomp, installed when missing) and runs
# each for FUZZ_SECONDS (default 10) or FUZZ_RUNS executions (default no
# limit), whichever ends first, FUZZ_JOBS (default 2) at a time:
#   tests/fuzz/run.sh [target ...]      (every target when none is named)
# Each run grows build-fuzz/corpus/<target> from the seeds in
# tests/fuzz/corpus/<target>; a fault (crash, sanitizer report, timeout over
# 5 s, rss over 2 GB) leaves its input in build-fuzz/artifacts/ and fails the
# script. One summary line per target: executions, wall and CPU seconds,
# coverage counters.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUELBIN_FUZZ_BUILD_DIR:-$root/build-fuzz}
export QUELBIN_FUZZ_FIXTURES=${QUELBIN_FUZZ_FIXTURES:-$root/build/fixtures}
seconds=${FUZZ_SECONDS:-10}
jobs=${FUZZ_JOBS:-2}
runs_limit=${FUZZ_RUNS:--1}

# Alone on a fresh clone it needs what the regular build needs (the project's
# .venv among them, which writes the fixtures), and clang.
bash "$root/scripts/install_deps.sh"
. "$root/scripts/debian_packages.sh"
ensure_debian_packages clang libclang-rt-dev libomp-dev time

if [ ! -d "$QUELBIN_FUZZ_FIXTURES/fuzz" ]; then
  "$root/.venv/bin/python" "$root/tests/make_fixtures.py" "$QUELBIN_FUZZ_FIXTURES"
fi

# The whole engine is instrumented for coverage and the sanitizers; -O1 keeps
# the runs fast and the reports readable.
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    -DQUELBIN_FUZZ=ON -DPython_EXECUTABLE="$root/.venv/bin/python" > /dev/null
fi
cmake --build "$build" --target quelbin_fuzz quelbin_fuzz_dict_form -j "${JOBS:-2}" > "$build/fuzz-build.log" 2>&1 ||
  { tail -50 "$build/fuzz-build.log"; exit 1; }

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(QUELBIN_FUZZ_LIST=1 "$build/tests/fuzz/quelbin_fuzz" 2>/dev/null)
  targets+=(dict_form)
fi

# libtorch's start-up allocations are never freed: no leak checking. Networks
# run on one thread, so that jobs do not compete inside a run.
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export OMP_NUM_THREADS=1
mkdir -p "$build/artifacts" "$build/logs"

# Every load of a compiled transformer package keeps about 400 KB in the
# tensor library's loader, so a run that loads coreference models (the coref
# loader, and model indexes, whose pipelines may hold one) would pass the rss
# limit after some minutes or millions of executions: these run in fork mode,
# FUZZ_FORK (default 1) child processes at a time, each fuzzing for at most
# 300 s, with out-of-memory, timeouts and crashes still failing the run.
fork_flags() {
  case "$1" in
    loader_coref | model_index) echo "-fork=${FUZZ_FORK:-1} -ignore_ooms=0 -ignore_timeouts=0 -ignore_crashes=0" ;;
  esac
  return 0
}

run_one() {
  local name=$1 binary="$build/tests/fuzz/quelbin_fuzz"
  [ "$name" = dict_form ] && binary="$build/tests/fuzz/quelbin_fuzz_dict_form"
  mkdir -p "$build/corpus/$name"
  local log="$build/logs/$name.log" start=$SECONDS status=0
  # shellcheck disable=SC2046
  QUELBIN_FUZZ_TARGET=$name /usr/bin/time -f "%U %S" -o "$log.cpu" \
    "$binary" -max_total_time="$seconds" -runs="$runs_limit" -timeout=5 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" $(fork_flags "$name") \
    "$build/corpus/$name" "$root/tests/fuzz/corpus/$name" > "$log" 2>&1 || status=$?
  local runs last cpu
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  # Fork mode's parent prints no final statistics: its last progress line
  # counts the children's executions.
  [ -n "$runs" ] || runs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+(/[0-9]+[a-zA-Z]*)?' || true)
  cpu=$(awk 'END { printf "%d", $1 + $2 }' "$log.cpu" 2>/dev/null || echo "?")
  if [ $status -eq 0 ]; then
    echo "fuzz $name: ${runs:-?} executions in $((SECONDS - start)) s (${cpu} s cpu), $last"
  else
    echo "fuzz $name: FAULT (exit $status) after $((SECONDS - start)) s; log $log"
    grep -E 'ERROR|fuzz fault|runtime error|SUMMARY|Test unit written|INFO: log from the inner' "$log" | head -8
  fi
  return $status
}

# Each run leaves its status in a file: over a long run the shell forks so
# often that process ids come round again, and the shell then forgets the
# status of a run that ended early, so waiting on its id cannot tell.
failed=0
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
  rm -f "$build/logs/$name.status"
  { status=0; run_one "$name" || status=$?; echo "$status" > "$build/logs/$name.status"; } &
done
wait
for name in "${targets[@]}"; do
  [ "$(cat "$build/logs/$name.status" 2>/dev/null)" = 0 ] || failed=1
done
exit $failed
