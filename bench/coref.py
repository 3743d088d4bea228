"""Coreference speed: CorefPlan.resolve over documents of --words words against the eager
PyTorch reference (tests/reference/coref.py) on the same transformer package and weights.

Writes a coreference bundle of realistic size over MiniLM (the trained 6-layer, 384-wide
encoder compiled once as an AOTInductor package; windows of 512 ids): anaphoricity scorer
of one 1024-wide hidden layer over 50 rough candidates, 20-wide distance and speaker
embeddings, span predictor 832 -> 384 -> 256 -> 64 channels -> 4 -> 2, zero predictor 256
wide, random weights centred on MiniLM's rows. Then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product);
* runs the engine in a fresh process with one ATen thread and with ATen's default thread
  count (documents per second, peak memory of each process, results of both compared);
* runs the reference with one thread, its transformer windows through the same package
  loaded in Python;

and prints documents and words per second, multiply-adds per second (transformer windows,
rough and fine scorers, span and zero predictors, counted as the reference computes them
from its windows and clusters: an engine that rearranges the products to do fewer shows a
rate, and a share of the peak, above what it executes), the share of the peak, the engine/reference ratio and how many documents give
the same clusters, spans and zero words (all where every decision's margin exceeds 1e-4).

    .venv/bin/python bench/coref.py [--docs 8] [--words 500]
"""
import argparse
import json
import os
import pathlib
import random
import resource
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

import torch  # noqa: E402

from core_peak import gemm_peak  # noqa: E402
from thread_sweep import load_average, run_child  # noqa: E402
from model_bundles.coref import random_coref, write_coref_bundle  # noqa: E402
from model_bundles.transformer import (MINILM_HIDDEN, MINILM_LAYERS, minilm_dir, minilm_package,  # noqa: E402
                                       minilm_vocabulary, wordpiece_section)
from reference.coref import CorefReference  # noqa: E402

HIDDEN, INTERMEDIATE, WINDOW, ROUGH_K, A_HIDDEN = MINILM_HIDDEN, 1536, 512, 50, 1024
DIST, SPEAKER, SP_EMB, SP_HIDDEN, SP_CHANNELS, ZEROS = 20, 20, 64, (MINILM_HIDDEN, 256), (64, 4), 256
SPECIAL_IDS = (101, 102, 0, 102)  # [CLS], [SEP], [PAD]; [SEP] closes windows as the end id

# Memory from /proc: a child's ru_maxrss starts at its parent's peak.
ENGINE = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
import _quelbin as q
import torch

def memory(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) / 1024

documents = json.load(open(sys.argv[3]))
before = memory("VmRSS")
plan = q.CorefPlan(sys.argv[2])
loaded = memory("VmRSS")
plan.resolve(*documents[0])
start = time.perf_counter()
results = []
for words, sentence_ids, speakers in documents:
    p = plan.resolve(words, sentence_ids, speakers)
    results.append([p.word_clusters, p.span_clusters, p.zero_words])
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "results": results, "threads": torch.get_num_threads(),
                  "rss_before_mb": before, "rss_loaded_mb": loaded,
                  "peak_rss_mb": memory("VmHWM")}))
"""


def documents(count, length, seed=3):
    """Documents of exactly `length` words: sentences of 8 to 40 whole vocabulary words (some
    capitalised, some glued in pairs) and punctuation, two speakers taking turns."""
    rng = random.Random(seed)
    whole = [w for w in minilm_vocabulary()[1000:] if w.isalpha() and not w.startswith("##")]
    out = []
    for _ in range(count):
        words, sentence_ids, speakers, sentence = [], [], [], 0
        while len(words) < length:
            for _ in range(rng.randint(8, 40)):
                roll, word = rng.random(), rng.choice(whole)
                if roll < 0.1:
                    word = rng.choice(",.;:()!?")
                elif roll < 0.2:
                    word = word.capitalize()
                elif roll < 0.23:
                    word += rng.choice(whole)
                words.append(word)
                sentence_ids.append(sentence)
                speakers.append("AB"[sentence // 3 % 2])
            sentence += 1
        out.append((words[:length], sentence_ids[:length], speakers[:length]))
    return out


def multiply_adds(n, windows, clusters, sentence_ids):
    """Multiply-adds of one document from its windows and clusters."""
    total = 0
    for start, end in windows:
        length = end - start + 2
        total += MINILM_LAYERS * (4 * HIDDEN * HIDDEN * length + 2 * HIDDEN * INTERMEDIATE * length
                                  + 2 * length * length * HIDDEN)
    k = min(n, ROUGH_K)
    total += n * HIDDEN * HIDDEN + n * n * HIDDEN  # rough scorer
    total += n * k * ((3 * HIDDEN + DIST + SPEAKER) * A_HIDDEN + A_HIDDEN)  # fine scorer
    sizes = {}
    for s in sentence_ids:
        sizes[s] = sizes.get(s, 0) + 1
    per_word = ((2 * HIDDEN + SP_EMB) * SP_HIDDEN[0] + SP_HIDDEN[0] * SP_HIDDEN[1]
                + SP_HIDDEN[1] * SP_CHANNELS[0] + 3 * SP_CHANNELS[0] * SP_CHANNELS[1] + 3 * SP_CHANNELS[1] * 2)
    heads = [h for c in clusters for h in c]
    total += sum(sizes[sentence_ids[h]] * per_word for h in heads)  # span predictor
    total += len(heads) * (HIDDEN * ZEROS + ZEROS)  # zero predictor
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--docs", type=int, default=8)
    parser.add_argument("--words", type=int, default=500)
    parser.add_argument("--dir", default=str(BUILD / "bench_coref"))
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    directory.mkdir(parents=True, exist_ok=True)
    torch.set_num_threads(1)

    package = minilm_package(BUILD / "fixtures" / "aoti_packages")
    runner = torch._inductor.aoti_load_package(str(package))

    def encode_ids(ids):
        ids = torch.tensor([ids])
        return runner(ids, torch.ones_like(ids))[0]

    vocabulary = minilm_vocabulary()
    sample = torch.tensor([vocabulary.index("[CLS]")] + list(range(2000, 2060)) + [vocabulary.index("[SEP]")])
    rows = encode_ids(sample.tolist())[1:-1]
    section = wordpiece_section(vocabulary, hidden_size=HIDDEN, model_max_length=WINDOW)
    model = random_coref(0, hidden=HIDDEN, section=section, special_ids=SPECIAL_IDS, rows=rows,
                         singletons=False, use_zeros=True, full_pairwise=True, n_hidden_layers=1,
                         a_hidden=A_HIDDEN, rough_k=ROUGH_K, a_scoring_batch_size=512,
                         bert_window_size=WINDOW, distance_dim=DIST, speaker_dim=SPEAKER,
                         sp_embedding_size=SP_EMB, sp_hidden=SP_HIDDEN, sp_channels=SP_CHANNELS,
                         zeros_hidden=ZEROS, link_bias=-0.5)
    bundle = write_coref_bundle(directory / "bundle", model, package).path
    docs = documents(args.docs, args.words)
    (directory / "documents.json").write_text(json.dumps(docs))

    from tokenizers import BertWordPieceTokenizer
    tokenizer = BertWordPieceTokenizer(str(minilm_dir() / "vocab.txt"), lowercase=True)
    encoder_seconds = [0.0]

    def timed_encode(ids):
        start = time.perf_counter()
        out = encode_ids(ids)
        encoder_seconds[0] += time.perf_counter() - start
        return out

    reference = CorefReference(model.tensors, model.assets(), timed_encode,
                               lambda word: tokenizer.encode(word, add_special_tokens=False).ids)
    reference.resolve(*docs[0])
    encoder_seconds[0] = 0.0
    start = time.perf_counter()
    expected, macs, subwords = [], 0, 0
    for words, sentence_ids, speakers in docs:
        got = reference.resolve(words, sentence_ids, speakers)
        expected.append(got)
        macs += multiply_adds(len(words), reference.windows_used, got.word_clusters, sentence_ids)
        subwords += reference.windows_used[-1][1]
    ref_seconds = time.perf_counter() - start
    ref_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    heads = sum(len(c) for e in expected for c in e.word_clusters)
    print(f"model: MiniLM ({MINILM_LAYERS} layers, {HIDDEN} wide, windows of {WINDOW} ids), anaphoricity "
          f"scorer 1 x {A_HIDDEN} over {ROUGH_K} candidates, span predictor {2 * HIDDEN + SP_EMB} -> "
          f"{SP_HIDDEN} -> {SP_CHANNELS}, zero predictor {ZEROS}; {len(docs)} documents of {args.words} words "
          f"({subwords} subwords, {heads} clustered head words), {macs / 1e9:.0f} G multiply-adds as the reference "
          f"computes them")

    peak = gemm_peak()
    torch.set_num_threads(1)
    print(f"multiply-add peak of one core (2048^3 float32 product, MKL): {peak:.1f} GMAC/s")

    engine = {}
    for threads in (1, 0):
        result = run_child([sys.executable, "-c", ENGINE, str(BUILD / "python"), str(bundle),
                            str(directory / "documents.json")], threads)
        engine[threads] = result
        label = "1 thread" if threads == 1 else f"default ({result['threads']} threads)"
        rate = macs / result["seconds"] / 1e9
        share = f", {rate / peak:.0%} of one core's peak" if threads == 1 else ""
        print(f"engine resolve, {label}: {len(docs) / result['seconds']:.2f} documents/s "
              f"({len(docs) * args.words / result['seconds']:,.0f} words/s), {rate:.1f} GMAC/s{share}, "
              f"{result['seconds']:.1f} s; peak RSS {result['peak_rss_mb']:.0f} MB (RSS before loading "
              f"{result['rss_before_mb']:.0f} MB, after loading {result['rss_loaded_mb']:.0f} MB)")
    print(f"engine default threads vs 1 thread: {engine[1]['seconds'] / engine[0]['seconds']:.2f}x, "
          f"identical results: {engine[1]['results'] == engine[0]['results']}")

    rate = macs / ref_seconds / 1e9
    print(f"reference (eager PyTorch, same package for the windows), 1 thread: {len(docs) / ref_seconds:.2f} "
          f"documents/s, {rate:.1f} GMAC/s ({rate / peak:.0%} of the peak), {ref_seconds:.1f} s of which "
          f"{encoder_seconds[0]:.1f} s in the transformer package; peak RSS of its process {ref_rss:.0f} MB")
    print(f"ratio engine/reference, 1 thread: {ref_seconds / engine[1]['seconds']:.2f}x")
    own = [json.loads(json.dumps([e.word_clusters, e.span_clusters, e.zero_words])) for e in expected]
    clear = [i for i, e in enumerate(expected) if e.margin > 1e-4]
    print(f"documents equal to the reference: {sum(engine[1]['results'][i] == own[i] for i in clear)} of "
          f"{len(clear)} with every margin above 1e-4 ({sum(a == b for a, b in zip(engine[1]['results'], own))} "
          f"of {len(docs)} overall)")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
