"""Morphological segmentation speed: MorphSegPlan.segment_many against the eager
PyTorch reference (tests/reference/morphseg.py).

Writes a morphseg bundle of realistic size (embedding 128, hidden 256, two
bidirectional layers, 120 source characters, 200 actions, batch_size 128; random
weights) and --words words of word-like lengths (1 to 30 code points), then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product);
* runs the engine with one ATen thread and with ATen's default thread count, each in a
  process of its own (peak memory per process), checking both give the same morphemes;
* runs the reference (one run per length, normalisation included) with one thread;

and prints words/s, multiply-adds/s (in the reference's count: every character through
both layers, the reducing layer and the classifier; and in the engine's own, which
leaves out the first layer's input product), the ratio, the share of the peak and peak
memory. Each side's time is the best of --repeat runs.

    .venv/bin/python bench/morphseg.py [--words 20000] [--repeat 3] [--dir build/bench_morphseg]
"""
import argparse
import json
import os
import pathlib
import random
import resource
import subprocess
import sys
import time
from core_peak import gemm_peak  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(BUILD / "python"))

EMB, HIDDEN, BATCH = 128, 256, 128
SOURCE = [chr(c) for c in range(ord("a"), ord("z") + 1)] + list("àáâäçèéêëìíîïñòóôöùúûüßøåæœ-'") + \
    [chr(c) for c in range(0x430, 0x450)] + [chr(c) for c in range(0x3b1, 0x3ca)]
ACTIONS = ["COPY", "DELETE", "COPY+ @@", " @@+COPY"] + [f"{c}" for c in SOURCE[:100]] + \
    [f"COPY+{c}" for c in SOURCE[:96]]


def words(count, seed=5):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        length = max(1, min(30, round(rng.lognormvariate(1.9, 0.45))))
        word = "".join(rng.choice(SOURCE[:60]) for _ in range(length))
        out.append(word.capitalize() if rng.random() < 0.15 else word)
    return out


def macs(items):
    """The reference's multiply-adds: every character through both layers, the reducing
    layer and the classifier."""
    per_char = sum(2 * 4 * HIDDEN * ((EMB if k == 0 else 2 * HIDDEN) + HIDDEN) for k in range(2))
    per_char += HIDDEN * 2 * HIDDEN + (len(ACTIONS) + 2) * HIDDEN
    return sum(len(w) for w in items) * per_char


def engine_macs(items):
    """The engine's own: the first layer's input product is taken once per distinct
    character of a task (not counted), the rest as the reference."""
    return macs(items) - sum(len(w) for w in items) * 2 * 4 * HIDDEN * EMB


def worker(bundle, word_file, threads, out_file, repeat):
    import torch
    import _quelbin as q
    if threads:
        torch.set_num_threads(threads)
    items = json.loads(pathlib.Path(word_file).read_text())
    plan = q.MorphSegPlan(bundle)
    plan.segment_many(items[:500])  # warm-up
    seconds = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        run = plan.segment_many(items)
        seconds = min(seconds, time.perf_counter() - start)
        if result is not None and run != result:
            raise SystemExit("engine morphemes differ between runs")
        result = run
    pathlib.Path(out_file).write_text(json.dumps({
        "seconds": seconds, "threads": torch.get_num_threads(), "morphemes": result,
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=int, default=20000)
    parser.add_argument("--dir", default=str(BUILD / "bench_morphseg"))
    parser.add_argument("--repeat", type=int, default=3,
                        help="timed runs of each side; the best counts (the machine may be shared)")
    parser.add_argument("--worker", nargs=5)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], args.worker[1], int(args.worker[2]), args.worker[3], int(args.worker[4]))
        return
    import torch
    from model_bundles.morphseg import random_morphseg, write_morphseg_bundle
    from reference.morphseg import MorphSegReference, apply_actions

    directory = pathlib.Path(args.dir)
    model = random_morphseg(0, source=SOURCE, target=ACTIONS, embedding_size=EMB, hidden_size=HIDDEN,
                            batch_size=BATCH, scale=0.08)
    write_morphseg_bundle(directory / "bundle", model)
    items = words(args.words)
    word_file = directory / "words.json"
    word_file.write_text(json.dumps(items))
    total = macs(items)
    own = engine_macs(items)
    print(f"multiply-adds: reference {total / 1e9:.0f} G, engine {own / 1e9:.0f} G")
    print(f"model: embedding {EMB}, hidden {HIDDEN}, 2 layers, {len(ACTIONS) + 2} actions, batch_size {BATCH}; "
          f"{len(items)} words, {sum(len(w) for w in items)} characters")
    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product): {peak:.1f} GMAC/s")

    results = {}
    for threads in (1, 0):
        out = directory / f"engine-{threads}.json"
        subprocess.run([sys.executable, __file__, "--worker", str(directory / "bundle"), str(word_file),
                        str(threads), str(out), str(args.repeat)], check=True)
        results[threads] = json.loads(out.read_text())
    for threads, result in results.items():
        label = "1 thread" if threads == 1 else f"default ({result['threads']} threads)"
        rate = total / result["seconds"] / 1e9
        own_rate = own / result["seconds"] / 1e9
        print(f"engine segment_many, {label}: {len(items) / result['seconds']:,.0f} words/s, "
              f"{rate:.1f} GMAC/s in the reference's count ({rate / peak:.0%} of one core's peak), "
              f"{own_rate:.1f} GMAC/s in its own ({own_rate / peak:.0%}), {result['seconds']:.2f} s, "
              f"peak RSS {result['peak_rss_mb']:.0f} MB")
    print("morphemes identical at 1 and default threads:",
          results[1]["morphemes"] == results[0]["morphemes"])

    torch.set_num_threads(1)
    reference = MorphSegReference(model.tensors, model.assets())
    reference.segment_many(items[:500])
    seconds = float("inf")
    for _ in range(args.repeat):
        start = time.perf_counter()
        logits = reference.logits(items)
        expected = [apply_actions(chars, [reference.target[a] for a in scores.argmax(1).tolist()])
                    for chars, scores in logits]
        seconds = min(seconds, time.perf_counter() - start)
    clear = []
    for _, scores in logits:
        top = scores.topk(2, dim=1).values
        clear.append(bool((top[:, 0] - top[:, 1] > 1e-4).all()))
    agree = sum(1 for e, g, c in zip(expected, results[1]["morphemes"], clear) if c and e == g)
    rate = total / seconds / 1e9
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch, nn.LSTM per length), 1 thread: {len(items) / seconds:,.0f} words/s, "
          f"{rate:.1f} GMAC/s ({rate / peak:.0%} of peak), {seconds:.2f} s, peak RSS {rss:.0f} MB")
    print(f"morphemes equal to the reference on {agree} of {sum(clear)} words with every margin above 1e-4")
    print(f"ratio engine/reference, 1 thread: {seconds / results[1]['seconds']:.2f}x; "
          f"default threads: {seconds / results[0]['seconds']:.2f}x")


if __name__ == "__main__":
    main()
