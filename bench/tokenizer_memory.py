"""Tokenizer memory: peak resident memory of TokenizerPlan::process and
process_bulk against the size of the text.

Writes the tokenizer bundle of bench/tokenizer.py and mixed English texts of
each --sizes megabytes into --dir, then runs build/bench/tokenizer_bench with
one ATen thread, each part in its own process for a clean peak: `process`
(the whole text as one document) and `bulk` (process_bulk over the text cut
into ~2000-character documents), plus the process with a tiny text as the
floor. Prints the peak RSS of each, the growth over the floor per megabyte of
text, and the slope between the smallest and the largest text.

    .venv/bin/python bench/tokenizer_memory.py [--sizes 1,4,16] [--dir build/bench_tokenizer_memory]
                                               [--parts process,bulk]

QUELBIN_BUILD_DIR picks the build whose tokenizer_bench runs (e.g. an older
build for a comparison); the texts and bundle are written once and reused.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
MB = 1_000_000

# Writes the bundle and the texts in a child process: the peak a process
# reports (getrusage) includes what its parent held when it was forked, and the
# writers load PyTorch. argv: directory, then sizes in characters.
WRITE_ASSETS = r"""
import pathlib, sys
sys.path.insert(0, sys.argv[1])
from model_bundles.tokenizer import write_tokenizer_bundle
from reference.tokenizer import mixed_english_text
directory = pathlib.Path(sys.argv[2])
write_tokenizer_bundle(directory / "bundle", seed=4, scale=0.3, head_scale=10.0, emb_dim=32, hidden_dim=64,
                       use_mwt=True)
(directory / "text_tiny.txt").write_text("A tiny text.\n", encoding="utf-8")
for size in map(int, sys.argv[3:]):
    path = directory / f"text_{size}.txt"
    if not path.exists():
        # Built from 1 MB pieces (seed 1 first, as bench/tokenizer.py): one
        # call per piece keeps the generation linear.
        pieces = [mixed_english_text(min(1_000_000, size - start), seed=1 + start // 1_000_000)
                  for start in range(0, size, 1_000_000)]
        path.write_text("".join(pieces), encoding="utf-8")
"""


def peak_rss(bundle: pathlib.Path, text: pathlib.Path, part: str) -> dict:
    command = [str(BUILD / "bench" / "tokenizer_bench"), str(bundle), str(text), "1", "1", part]
    env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    return json.loads(subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1,4,16", help="text sizes in megabytes (characters / 10^6)")
    parser.add_argument("--dir", default=str(ROOT / "build" / "bench_tokenizer_memory"))
    parser.add_argument("--parts", default="process,bulk")
    args = parser.parse_args()

    directory = pathlib.Path(args.dir)
    directory.mkdir(parents=True, exist_ok=True)
    bundle = directory / "bundle"
    sizes = [float(s) for s in args.sizes.split(",")]
    subprocess.run([sys.executable, "-c", WRITE_ASSETS, str(ROOT / "tests"), str(directory)]
                   + [str(int(megabytes * MB)) for megabytes in sizes], check=True)
    tiny = directory / "text_tiny.txt"
    floor = peak_rss(bundle, tiny, "none")["peak_rss_mb"]
    print(f"build: {BUILD}")
    print(f"floor (bundle loaded, tiny text): {floor:.0f} MB")
    for part in args.parts.split(","):
        peaks = []
        for megabytes in sizes:
            result = peak_rss(bundle, directory / f"text_{int(megabytes * MB)}.txt", part)
            peak = result["peak_rss_mb"]
            tokens = result["tokens"] if part == "process" else result["bulk_tokens"]
            peaks.append(peak)
            print(f"{part:8s} {megabytes:5g} MB: peak RSS {peak:7.0f} MB, {(peak - floor) / megabytes:6.1f} MB "
                  f"per MB over the floor, {tokens} tokens, {result['characters']:.0f} characters")
        if len(sizes) > 1:
            slope = (peaks[-1] - peaks[0]) / (sizes[-1] - sizes[0])
            print(f"{part:8s} slope {sizes[0]:g} -> {sizes[-1]:g} MB: {slope:.1f} MB per MB of text")


if __name__ == "__main__":
    main()
