"""NER speed: bulk tagging with the engine against the eager PyTorch reference.

Writes an NER bundle of realistic size (word embedding 100 over a 50,000-word pretrained
vocabulary and a 10,000-word delta vocabulary, forward and backward character LMs with
embedding 100 and hidden 1024, tagger LSTM hidden 256 with one layer, 21 BIOES tags; random
weights) and about --tokens tokens of realistic sentences into --dir, then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 torch.mm);
* runs NERProcessor.bulk_process over the documents (one per 20 sentences) with one ATen
  thread and with ATen's default thread count, each in its own process for a clean peak
  memory, and checks that both give the same tags;
* runs tests/reference/ner.py's tag_many (batched character LMs, then per sentence the
  tagger nn.LSTM, the classifiers, a Python Viterbi and the repair) with one thread, and
  checks the engine's tags against it;

and prints tokens and multiply-adds per second, the engine/reference ratio, the share of the
peak, peak memory and the load average.

    .venv/bin/python bench/ner.py [--tokens 20000] [--dir build/bench_ner]
"""
import argparse
import json
import os
import pathlib
import resource
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "bench"), str(BUILD / "python")]

import torch  # noqa: E402
from core_peak import gemm_peak  # noqa: E402
from thread_sweep import load_average  # noqa: E402

WORD, PRETRAINED, DELTA, LM_EMB, LM_HIDDEN, HIDDEN = 100, 50_000, 10_000, 100, 1024, 256
TYPES = ("PER", "LOC", "ORG", "MISC")


def model_and_sentences(tokens):
    from charlm import LETTERS, realistic_sentences
    from model_bundles import charlm as charlm_bundles
    from model_bundles.ner import random_ner

    sentences, count = [], 0
    for words in realistic_sentences(tokens // 5 + 100, seed=3):
        if count >= tokens:
            break
        sentences.append(words)
        count += len(words)
    vocab = sorted({w.lower() for s in sentences for w in s})
    words = (vocab + [f"w{i}" for i in range(PRETRAINED)])[:PRETRAINED - 2]
    chars = [chr(c) for c in range(33, 127)] + list("éèàçüöäßñ")
    # Character LMs of the character LM benchmark's size.
    original = charlm_bundles.random_charlm
    charlm_bundles_patch = lambda seed, **kw: original(seed, **dict(kw, emb_dim=LM_EMB, scale=0.05))  # noqa: E731
    import model_bundles.ner as ner_bundles
    ner_bundles.random_charlm = charlm_bundles_patch
    try:
        model = random_ner(0, word_dim=WORD, hidden=HIDDEN, columns=(TYPES,), charlm=True,
                           charlm_hidden=(LM_HIDDEN, LM_HIDDEN), words=words, delta_words=words[:DELTA - 2],
                           chars=chars, scale=0.1)
    finally:
        ner_bundles.random_charlm = original
    return model, sentences, LETTERS


def macs(sentences):
    chars = sum(1 + sum(len(w) + 1 for w in s) for s in sentences)
    tokens = sum(map(len, sentences))
    width = WORD + 2 * LM_HIDDEN
    lm = 2 * chars * 4 * LM_HIDDEN * (LM_EMB + LM_HIDDEN)
    tagger = tokens * 2 * 4 * HIDDEN * (width + HIDDEN) + tokens * 21 * 2 * HIDDEN
    return lm + tagger, tokens


def documents(sentences):
    import _quelbin as q
    return [q.Document.from_dict([[{"id": k + 1, "text": w} for k, w in enumerate(s)]
                                  for s in sentences[i:i + 20]]) for i in range(0, len(sentences), 20)]


def engine_run(directory, threads):
    """In a process of its own: bulk tagging; prints seconds, peak memory and the tags."""
    import _quelbin as q
    if threads:
        torch.set_num_threads(threads)
    sentences = json.loads((directory / "sentences.json").read_text())
    tagger = q.NERProcessor(directory / "bundle")
    docs = documents(sentences)
    start = time.perf_counter()
    docs = tagger.bulk_process(docs)
    seconds = time.perf_counter() - start
    tags = [[t.ner for t in s.tokens] for d in docs for s in d.sentences]
    print(json.dumps({"seconds": seconds, "threads": torch.get_num_threads(), "tags": tags,
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tokens", type=int, default=20000)
    parser.add_argument("--dir", default=str(BUILD / "bench_ner"))
    parser.add_argument("--engine-run", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    if args.engine_run is not None:
        return engine_run(directory, args.engine_run)

    from model_bundles.ner import write_ner_bundle
    from reference.ner import NERReference

    model, sentences, _ = model_and_sentences(args.tokens)
    write_ner_bundle(directory / "bundle", model)
    (directory / "sentences.json").write_text(json.dumps(sentences))
    work, tokens = macs(sentences)
    print(f"model: word embedding {WORD} over {PRETRAINED:,} pretrained and {DELTA:,} delta words, "
          f"character LMs {LM_EMB}/{LM_HIDDEN} each way, tagger hidden {HIDDEN}, 1 layer, 21 tags; "
          f"{len(sentences)} sentences, {tokens:,} tokens, {work / 1e9:.0f} G multiply-adds")
    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product, MKL): {peak:.1f} GMAC/s")

    engine = {}
    for threads in (1, 0):
        command = [sys.executable, __file__, "--dir", str(directory), "--engine-run", str(threads)]
        engine[threads] = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        result = engine[threads]
        label = "1 thread" if threads == 1 else f"default ({result['threads']} threads)"
        share = f", {work / result['seconds'] / 1e9 / peak:.0%} of one core's peak" if threads == 1 else ""
        print(f"engine bulk_process, {label}: {tokens / result['seconds']:,.0f} tokens/s, "
              f"{work / result['seconds'] / 1e9:.1f} GMAC/s{share}, {result['seconds']:.1f} s, "
              f"peak RSS {result['peak_rss_mb']:.0f} MB")
    print(f"default threads against one: {engine[1]['seconds'] / engine[0]['seconds']:.2f}x faster, "
          f"tags identical: {engine[1]['tags'] == engine[0]['tags']}")

    torch.set_num_threads(1)
    reference = NERReference(model.tensors, model.assets)
    start = time.perf_counter()
    expected = reference.tag_many(sentences)
    seconds = time.perf_counter() - start
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch, batched character LMs, Viterbi in Python), 1 thread: "
          f"{tokens / seconds:,.0f} tokens/s, {work / seconds / 1e9:.1f} GMAC/s, {seconds:.1f} s, "
          f"peak RSS {rss:.0f} MB (this process, with the bundle's tensors loaded in torch)")
    print(f"ratio engine/reference, 1 thread: {seconds / engine[1]['seconds']:.2f}x")
    agree = sum(a == b for a, b in zip(engine[1]["tags"], expected))
    print(f"sentences with tags equal to the reference's: {agree} of {len(expected)}")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
