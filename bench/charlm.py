"""Character LM speed: the engine's encode_many against the eager PyTorch reference.

Writes a character LM bundle of realistic size (embedding 100, hidden 1024, one
layer, 120 characters; random weights) and --sentences sentences of realistic
length (about 20 words of English-like word lengths each) into --dir, then

* measures the core's multiply-add peak: the best of several single-threaded
  2048 x 2048 float32 matrix products in torch (MKL);
* runs build/bench/charlm_bench (NativeCharLM::encode_many over all sentences)
  with one ATen thread and with ATen's default thread count, each in its own
  process for a clean peak memory;
* runs tests/reference/charlm.py's encode_many (chunks of 64 sorted longest
  first, packed nn.LSTM) over the same sentences with one thread;

and prints characters and multiply-adds per second, the engine/reference ratio,
the engine's share of the measured peak, peak memory and the load average; then
--rounds rounds of the peak, the engine (1 thread) and the reference back to
back over the first --round-sentences sentences, with the median, lowest and
highest ratio and share.

    .venv/bin/python bench/charlm.py [--sentences 2000] [--dir build/bench_charlm] [--repeat 1]
                                     [--rounds 3] [--round-sentences 300]
"""
import argparse
import json
import os
import pathlib
import random
import resource
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

import torch  # noqa: E402

from model_bundles.charlm import random_charlm, write_charlm_bundle  # noqa: E402
from reference.charlm import CharLMReference  # noqa: E402
from core_peak import gemm_peak  # noqa: E402
from thread_sweep import load_average  # noqa: E402

EMB, HIDDEN = 100, 1024
LETTERS = "etaoinshrdlcumwfgypbvkjxqz"
WEIGHTS = [12.7, 9.1, 8.2, 7.5, 7.0, 6.7, 6.3, 6.1, 6.0, 4.3, 4.0, 2.8, 2.8, 2.4, 2.4, 2.2, 2.0, 2.0,
           1.9, 1.5, 1.0, 0.8, 0.2, 0.2, 0.1, 0.1]


def realistic_sentences(count, seed=1):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        n = max(1, min(100, round(rng.lognormvariate(2.85, 0.55))))
        words = []
        for _ in range(n):
            if rng.random() < 0.12:
                words.append(rng.choice(",.;:'\"()-?!"))
                continue
            word = "".join(rng.choices(LETTERS, WEIGHTS, k=max(1, min(18, round(rng.gammavariate(2.6, 1.9))))))
            words.append(word.capitalize() if rng.random() < 0.1 else word)
        out.append(words)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sentences", type=int, default=2000)
    parser.add_argument("--dir", default=str(BUILD / "bench_charlm"))
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--round-sentences", type=int, default=300)
    args = parser.parse_args()

    directory = pathlib.Path(args.dir)
    chars = [chr(c) for c in range(33, 127)] + list("éèàçüöäßñøåæœ€£¥§°±µ¿¡«»—–‘’“”•…")
    model = random_charlm(0, chars=chars, emb_dim=EMB, hidden_dim=HIDDEN, scale=0.05)
    write_charlm_bundle(directory / "bundle", model)
    sentences = realistic_sentences(args.sentences)
    text_file = directory / "sentences.txt"
    text_file.write_text("\n".join(" ".join(s) for s in sentences) + "\n", encoding="utf-8")
    read = sum(1 + sum(len(w) + 1 for w in s) for s in sentences)
    per_char = 4 * HIDDEN * (EMB + HIDDEN)
    print(f"model: embedding {EMB}, hidden {HIDDEN}, 1 layer; {len(sentences)} sentences, "
          f"{read} characters read ({read / len(sentences):.0f} per sentence)")

    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product, MKL): {peak:.1f} GMAC/s")

    engine = {}
    for threads in (1, 0):
        command = [str(BUILD / "bench" / "charlm_bench"), str(directory / "bundle"), str(text_file),
                   str(threads), str(args.repeat)]
        result = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        engine[threads] = result
        label = "1 thread" if threads == 1 else f"default ({result['threads']} threads)"
        share = f", {result['gmac_per_s'] / peak:.0%} of one core's peak" if threads == 1 else ""
        print(f"engine encode_many, {label}: {result['chars_per_s']:,.0f} chars/s, "
              f"{result['gmac_per_s']:.1f} GMAC/s{share}, {result['seconds']:.1f} s, "
              f"peak RSS {result['peak_rss_mb']:.0f} MB")

    torch.set_num_threads(1)
    reference = CharLMReference(model.tensors, model.assets())
    start = time.perf_counter()
    reference.encode_many(sentences)
    seconds = time.perf_counter() - start
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch, packed nn.LSTM), 1 thread: {read / seconds:,.0f} chars/s, "
          f"{read * per_char / seconds / 1e9:.1f} GMAC/s, {seconds:.1f} s, peak RSS {rss:.0f} MB")
    print(f"ratio engine/reference, 1 thread: {seconds / engine[1]['seconds']:.2f}x")

    # On a shared machine the speed drifts over minutes; rounds that run the
    # peak, the engine and the reference back to back over the first
    # --round-sentences sentences give figures that drift less.
    subset = sentences[:args.round_sentences]
    subset_file = directory / "round.txt"
    subset_file.write_text("\n".join(" ".join(s) for s in subset) + "\n", encoding="utf-8")
    subset_read = sum(1 + sum(len(w) + 1 for w in s) for s in subset)
    ratios, shares = [], []
    for _ in range(args.rounds):
        round_peak = gemm_peak()
        command = [str(BUILD / "bench" / "charlm_bench"), str(directory / "bundle"), str(subset_file), "1", "1"]
        result = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        torch.set_num_threads(1)
        start = time.perf_counter()
        reference.encode_many(subset)
        reference_rate = subset_read * per_char / (time.perf_counter() - start) / 1e9
        ratios.append(result["gmac_per_s"] / reference_rate)
        shares.append(result["gmac_per_s"] / round_peak)
    if ratios:
        print(f"{len(ratios)} back-to-back rounds over {len(subset)} sentences, 1 thread: "
              f"engine/reference median {statistics.median(ratios):.2f}x "
              f"(lowest {min(ratios):.2f}x, highest {max(ratios):.2f}x); engine share of the peak "
              f"median {statistics.median(shares):.0%} (lowest {min(shares):.0%}, highest {max(shares):.0%})")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
