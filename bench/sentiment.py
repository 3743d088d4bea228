"""Sentence sentiment speed: SentimentProcessor.classify_many against the eager PyTorch
reference batched the same way (sorted longest first, 5000-word batches).

Writes a sentiment bundle of realistic size (20,000-word vocabulary of 100-d vectors, a
two-layer BiLSTM of 2 x --hidden, filters of heights 3, 4 and 5 with --channels channels
each, dense layers 400 and 100, 3 classes; random weights) and --sentences sentences of
realistic length into --dir, then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product);
* runs the engine in a fresh process with one ATen thread and with ATen's default thread
  count (peak memory of each process beside the memory of the process before the model);
* runs tests/reference/sentiment.py over the same sentences with one thread;

and prints sentences and multiply-adds per second, the engine/reference ratio, the share of
the peak and how many classes agree (all where the reference's margin exceeds 1e-4); then
--rounds rounds of the engine (in this process, 1 thread) and the reference back to back
over the first --round-sentences sentences, with the median ratio.

    .venv/bin/python bench/sentiment.py [--sentences 5000] [--hidden 300] [--channels 1000]
                                        [--rounds 3] [--round-sentences 1000]
"""
import argparse
import json
import os
import pathlib
import random
import resource
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

import torch  # noqa: E402

from charlm import gemm_peak, realistic_sentences  # noqa: E402
from thread_sweep import load_average, run_child  # noqa: E402
from model_bundles.sentiment import random_sentiment, write_sentiment_bundle  # noqa: E402
from reference.sentiment import SentimentReference  # noqa: E402

EMB, FILTERS, FC, CLASSES, VOCAB = 100, (3, 4, 5), (400, 100), 3, 20000

ENGINE = """
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
import _quelbin as q
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
sentences = json.load(open(sys.argv[3]))
processor = q.SentimentProcessor(sys.argv[2])
loaded = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
processor.classify_many(sentences[:50])
start = time.perf_counter()
classes = processor.classify_many(sentences)
seconds = time.perf_counter() - start
import torch
print(json.dumps({"seconds": seconds, "classes": classes, "threads": torch.get_num_threads(),
                  "rss_before_mb": before, "rss_loaded_mb": loaded,
                  "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def macs_per_position(hidden, channels):
    lstm = 2 * 4 * hidden * (EMB + hidden) + 2 * 4 * hidden * (2 * hidden + hidden)
    return lstm + sum(FILTERS) * channels * 2 * hidden


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sentences", type=int, default=5000)
    parser.add_argument("--hidden", type=int, default=300)
    parser.add_argument("--channels", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--round-sentences", type=int, default=1000)
    parser.add_argument("--dir", default=str(BUILD / "bench_sentiment"))
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    directory.mkdir(parents=True, exist_ok=True)

    sentences = realistic_sentences(args.sentences, seed=3)
    counts = {}
    for s in sentences:
        for w in s:
            counts[w.lower()] = counts.get(w.lower(), 0) + 1
    words = sorted(counts, key=lambda w: -counts[w])[:VOCAB // 2]
    rng = random.Random(5)
    words += ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=9)) for _ in range(VOCAB - len(words))]
    model = random_sentiment(0, words=words, emb_dim=EMB, bilstm=True, hidden=args.hidden,
                             filters=FILTERS, channels=args.channels, fc_shapes=FC, classes=CLASSES,
                             scale=0.05)
    bundle = write_sentiment_bundle(directory / "bundle", model).path
    (directory / "sentences.json").write_text(json.dumps(sentences))
    reference = SentimentReference(model.tensors, model.assets())
    batches = reference.batches(sentences, 5000)
    positions = sum(len(b) * max(len(sentences[b[0]]), max(FILTERS)) for b in batches)
    macs = positions * macs_per_position(args.hidden, args.channels)
    n_words = sum(len(s) for s in sentences)
    print(f"model: vocabulary {VOCAB} x {EMB}, BiLSTM 2 layers x 2 x {args.hidden}, filters {FILTERS} x "
          f"{args.channels} channels, dense {FC}, {CLASSES} classes; {len(sentences)} sentences, "
          f"{n_words} words, {positions} padded positions in {len(batches)} batches, "
          f"{macs / 1e9:.0f} G multiply-adds")

    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product, MKL): {peak:.1f} GMAC/s")

    engine = {}
    for threads in (1, 0):
        result = run_child([sys.executable, "-c", ENGINE, str(BUILD / "python"), str(bundle),
                            str(directory / "sentences.json")], threads)
        engine[threads] = result
        label = "1 thread" if threads == 1 else f"default ({result['threads']} threads)"
        rate = macs / result["seconds"] / 1e9
        share = f", {rate / peak:.0%} of one core's peak" if threads == 1 else ""
        print(f"engine classify_many, {label}: {len(sentences) / result['seconds']:,.0f} sentences/s, "
              f"{rate:.1f} GMAC/s{share}, {result['seconds']:.1f} s; peak RSS {result['peak_rss_mb']:.0f} MB "
              f"(process before loading {result['rss_before_mb']:.0f} MB, after loading "
              f"{result['rss_loaded_mb']:.0f} MB)")
    print(f"engine default threads vs 1 thread: {engine[1]['seconds'] / engine[0]['seconds']:.2f}x, "
          f"identical classes: {engine[1]['classes'] == engine[0]['classes']}")

    torch.set_num_threads(1)
    start = time.perf_counter()
    expected, rows = reference.classify_many(sentences, 5000, with_scores=True)
    seconds = time.perf_counter() - start
    rate = macs / seconds / 1e9
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch: nn.LSTM, conv2d, max_pool2d), 1 thread: "
          f"{len(sentences) / seconds:,.0f} sentences/s, {rate:.1f} GMAC/s ({rate / peak:.0%} of the peak), "
          f"{seconds:.1f} s, peak RSS {rss:.0f} MB")
    print(f"ratio engine/reference, 1 thread: {seconds / engine[1]['seconds']:.2f}x")
    clear = [i for i, r in enumerate(rows) if (r.topk(2).values[0] - r.topk(2).values[1]) > 1e-4]
    same = sum(engine[1]["classes"][i] == expected[i] for i in clear)
    print(f"classes equal to the reference's: {same} of {len(clear)} sentences with a margin above 1e-4 "
          f"({sum(a == b for a, b in zip(engine[1]['classes'], expected))} of {len(sentences)} overall)")
    # On a shared machine the speed drifts over minutes; rounds that run the engine and the
    # reference back to back over the first --round-sentences sentences drift less.
    sys.path.insert(0, str(BUILD / "python"))
    import _quelbin

    processor = _quelbin.SentimentProcessor(bundle)
    subset = sentences[:args.round_sentences]
    ratios = []
    for _ in range(args.rounds):
        start = time.perf_counter()
        processor.classify_many(subset)
        engine_seconds = time.perf_counter() - start
        start = time.perf_counter()
        reference.classify_many(subset)
        ratios.append((time.perf_counter() - start) / engine_seconds)
    if ratios:
        print(f"{len(ratios)} back-to-back rounds over {len(subset)} sentences, 1 thread: engine/reference "
              f"median {statistics.median(ratios):.2f}x (lowest {min(ratios):.2f}x, highest {max(ratios):.2f}x)")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
