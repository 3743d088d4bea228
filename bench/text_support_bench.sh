#!/usr/bin/env bash
# JSON parse throughput against Python's json.loads on a 50 MB assets-like file,
# and SHA-256 throughput against sha256sum on a 1 GB file (both in /tmp, removed
# afterwards). Builds the engine and the benchmarks first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELBIN_BUILD_DIR:-$root/build}
py="$root/.venv/bin/python"
work=$(mktemp -d /tmp/quelbin_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

bash "$root/scripts/build.sh" >/dev/null
for b in json_parse_bench sha256_bench; do cp "$build/bench/$b" "$work/$b"; done

echo "== JSON"
"$py" "$root/bench/make_assets.py" "$work/assets.json" "${JSON_MB:-50}"
ls -l "$work/assets.json" | awk '{printf "file: %.1f MB\n", $5 / 1e6}'
read -r ours members < <("$work/json_parse_bench" "$work/assets.json" 5)
theirs=$("$py" - "$work/assets.json" <<'PY'
import json, sys, time
data = open(sys.argv[1], "rb").read()
best = min((lambda t: (json.loads(data), time.perf_counter() - t)[1])(time.perf_counter()) for _ in range(5))
print(f"{best:.4f}")
PY
)
echo "parse_json: ${ours} s, json.loads: ${theirs} s, top-level members ${members}"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "JSON speed-up over json.loads: %.2fx\n", b / a }'

echo "== SHA-256"
head -c "${SHA_BYTES:-1073741824}" /dev/urandom > "$work/blob"
cat "$work/blob" > /dev/null  # into the page cache for both
best_sum=1e9
for i in 1 2 3; do
  start=$(date +%s%N)
  expected=$(sha256sum "$work/blob" | cut -d' ' -f1)
  end=$(date +%s%N)
  best_sum=$(awk -v a="$best_sum" -v b="$(( end - start ))" 'BEGIN { b /= 1e9; print (b < a) ? b : a }')
done
best_ours=1e9
for i in 1 2 3; do
  read -r t digest kind < <("$work/sha256_bench" "$work/blob")
  [ "$digest" = "$expected" ] || { echo "digest mismatch: $digest vs $expected"; exit 1; }
  best_ours=$(awk -v a="$best_ours" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
done
read -r portable pdigest _ < <("$work/sha256_bench" "$work/blob" portable)
[ "$pdigest" = "$expected" ] || { echo "portable digest mismatch"; exit 1; }
echo "sha256_hex ($kind): ${best_ours} s, portable: ${portable} s, sha256sum: ${best_sum} s"
awk -v a="$best_ours" -v b="$best_sum" 'BEGIN { printf "SHA-256 speed-up over sha256sum: %.2fx\n", b / a }'
