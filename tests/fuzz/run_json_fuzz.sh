#!/usr/bin/env bash
# Builds the JSON fuzz target with clang's libFuzzer, AddressSanitizer and
# UBSan, and runs it for a bounded time (FUZZ_SECONDS, default 10) from a few
# seed documents. Needs clang (Debian package clang).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${FUZZ_SECONDS:-10}
work=$(mktemp -d /tmp/quelbin_json_fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" -I"$root/include" -I"$root/tests/cpp" "$root/tests/fuzz/json_fuzz.cpp" "$root/src/model/json.cpp" \
  -o "$work/json_fuzz"
mkdir -p "$work/corpus"
printf '%s' '{"config": {"batch_size": 32, "use_crf": true, "lr": 1e-3}, "vocab": {"a": 1, "b": 2}}' > "$work/corpus/assets"
printf '%s' '[1, -2.5E+3, "x\u00e9\ud83d\ude00\n", null, [[], {}], false, 0, -0.0]' > "$work/corpus/array"
printf '%s' '{"tensors": [{"name": "w", "dtype": "float32", "shape": [3, 4], "offset": 0}]}' > "$work/corpus/manifest"
"$work/json_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=5 -rss_limit_mb=2048 "$work/corpus"
