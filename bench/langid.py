"""Language identification speed: LangIDProcessor.identify_many against the eager
PyTorch reference (tests/reference/langid.py).

Writes a langid bundle of realistic size (embedding 150, hidden 150, two
bidirectional layers, 68 tags, about 1000 characters; random weights) and --texts
texts of mixed lengths (lognormal, 3 to 1000 code points), then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product);
* runs the engine with one ATen thread and with ATen's default thread count, each in a
  process of its own (peak memory per process), checking both give the same codes;
* runs the reference (one nn.LSTM run per distinct length) with one thread;

and prints texts/s, multiply-adds/s (in the reference's count: every position through
both layers and the tag layer; and in the engine's own, which leaves out the first
layer's input product and runs the tag layer once per text), the ratio, the share of
the peak and peak memory. Each side's time is the best of --repeat runs.

    .venv/bin/python bench/langid.py [--texts 10000] [--repeat 3] [--dir build/bench_langid]
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

EMB, HIDDEN, LAYERS = 150, 150, 2
CODES = [f"l{i:02d}" for i in range(68)]


def alphabet():
    return ([chr(c) for c in range(32, 127)] + [chr(c) for c in range(0xC0, 0x250)] +
            [chr(c) for c in range(0x400, 0x530)] + [chr(c) for c in range(0x4E00, 0x4E00 + 300)])


def mixed_texts(count, seed=3):
    rng = random.Random(seed)
    chars = alphabet()
    texts = []
    for _ in range(count):
        length = max(3, min(1000, round(rng.lognormvariate(4.0, 0.9))))
        script = rng.randrange(4)
        pool = chars[:95] if script == 0 else chars[95 + 150 * (script - 1):95 + 150 * script]
        texts.append("".join(rng.choice(pool) if rng.random() > 0.15 else " " for _ in range(length)))
    return texts


def macs(texts):
    """The reference's multiply-adds: every position through both layers and the tag layer."""
    per_position = sum(2 * 4 * HIDDEN * ((EMB if k == 0 else 2 * HIDDEN) + HIDDEN) for k in range(LAYERS))
    per_position += len(CODES) * 2 * HIDDEN
    return sum(len(t) for t in texts) * per_position


def engine_macs(texts):
    """The engine's own: the first layer's input product is a table made at load and
    the tag layer runs once per text on the summed states."""
    per_position = 2 * 4 * HIDDEN * HIDDEN
    per_position += sum(2 * 4 * HIDDEN * (2 * HIDDEN + HIDDEN) for _ in range(1, LAYERS))
    return sum(len(t) for t in texts) * per_position + len(texts) * len(CODES) * 2 * HIDDEN


def worker(bundle, text_file, threads, out_file, repeat):
    import torch
    import _quelbin as q
    if threads:
        torch.set_num_threads(threads)
    texts = json.loads(pathlib.Path(text_file).read_text())
    processor = q.LangIDProcessor(bundle)
    processor.identify_many(texts[:200])  # warm-up
    seconds = float("inf")
    codes = None
    for _ in range(repeat):
        start = time.perf_counter()
        run = processor.identify_many(texts)
        seconds = min(seconds, time.perf_counter() - start)
        if codes is not None and run != codes:
            raise SystemExit("engine codes differ between runs")
        codes = run
    pathlib.Path(out_file).write_text(json.dumps({
        "seconds": seconds, "threads": torch.get_num_threads(), "codes": codes,
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--texts", type=int, default=10000)
    parser.add_argument("--dir", default=str(BUILD / "bench_langid"))
    parser.add_argument("--repeat", type=int, default=3,
                        help="timed runs of each side; the best counts (the machine may be shared)")
    parser.add_argument("--worker", nargs=5)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], args.worker[1], int(args.worker[2]), args.worker[3], int(args.worker[4]))
        return
    import torch
    from model_bundles.langid import random_langid, write_langid_bundle
    from reference.langid import LangIDReference

    directory = pathlib.Path(args.dir)
    model = random_langid(0, chars=alphabet(), codes=CODES, embedding_dim=EMB, hidden_dim=HIDDEN,
                          num_layers=LAYERS, scale=0.1)
    write_langid_bundle(directory / "bundle", model)
    texts = mixed_texts(args.texts)
    text_file = directory / "texts.json"
    text_file.write_text(json.dumps(texts))
    total = macs(texts)
    own = engine_macs(texts)
    positions = sum(len(t) for t in texts)
    print(f"multiply-adds: reference {total / 1e9:.0f} G, engine {own / 1e9:.0f} G")
    print(f"model: embedding {EMB}, hidden {HIDDEN}, {LAYERS} layers, {len(CODES)} tags; {len(texts)} texts, "
          f"{positions} code points, {len({len(t) for t in texts})} distinct lengths")
    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product): {peak:.1f} GMAC/s")

    results = {}
    for threads in (1, 0):
        out = directory / f"engine-{threads}.json"
        subprocess.run([sys.executable, __file__, "--worker", str(directory / "bundle"), str(text_file),
                        str(threads), str(out), str(args.repeat)], check=True)
        results[threads] = json.loads(out.read_text())
    for threads, result in results.items():
        label = "1 thread" if threads == 1 else f"default ({result['threads']} threads)"
        rate = total / result["seconds"] / 1e9
        own_rate = own / result["seconds"] / 1e9
        print(f"engine identify_many, {label}: {len(texts) / result['seconds']:,.0f} texts/s, "
              f"{rate:.1f} GMAC/s in the reference's count ({rate / peak:.0%} of one core's peak), "
              f"{own_rate:.1f} GMAC/s in its own ({own_rate / peak:.0%}), {result['seconds']:.2f} s, "
              f"peak RSS {result['peak_rss_mb']:.0f} MB")
    print("codes identical at 1 and default threads:", results[1]["codes"] == results[0]["codes"])

    torch.set_num_threads(1)
    reference = LangIDReference(model.tensors, model.assets())
    reference.identify_many(texts[:200])
    seconds = float("inf")
    for _ in range(args.repeat):
        start = time.perf_counter()
        scores = reference.scores(texts)
        seconds = min(seconds, time.perf_counter() - start)
    expected = [reference.tags[i] for i in scores.argmax(1).tolist()]
    top = scores.topk(2, dim=1).values
    clear = [(float(top[i, 0] - top[i, 1]) > 1e-4) for i in range(len(texts))]
    agree = sum(1 for e, g, c in zip(expected, results[1]["codes"], clear) if c and e == g)
    rate = total / seconds / 1e9
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch, nn.LSTM per length), 1 thread: {len(texts) / seconds:,.0f} texts/s, "
          f"{rate:.1f} GMAC/s ({rate / peak:.0%} of peak), {seconds:.2f} s, peak RSS {rss:.0f} MB")
    print(f"codes equal to the reference on {agree} of {sum(clear)} texts with a margin above 1e-4")
    print(f"ratio engine/reference, 1 thread: {seconds / results[1]['seconds']:.2f}x; "
          f"default threads: {seconds / results[0]['seconds']:.2f}x")


if __name__ == "__main__":
    main()
