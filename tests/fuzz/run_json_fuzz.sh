#!/usr/bin/env bash
# Builds the JSON fuzz target with clang's libFuzzer, AddressSanitizer and UBSan
# (Debian package clang) and runs it for FUZZ_SECONDS (default 10) from two seeds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/quelbin_json_fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" -I"$root/include" -I"$root/tests/cpp" "$root/tests/fuzz/json_fuzz.cpp" \
  "$root/src/model/json.cpp" -o "$work/json_fuzz"
mkdir -p "$work/corpus"
echo '{"config": {"batch_size": 32, "use_crf": true, "lr": 1e-3}, "v": {"a": 1}}' > "$work/corpus/a"
echo '[1, -2.5E+3, "x\u00e9\ud83d\ude00\n", null, [[], {}], false, 0, -0.0]' > "$work/corpus/b"
"$work/json_fuzz" -max_total_time="${FUZZ_SECONDS:-10}" -max_len=4096 -timeout=5 \
  -rss_limit_mb=2048 "$work/corpus"
