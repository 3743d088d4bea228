"""Greedy decoding of many words with a sequence-to-sequence model: the engine's
batched decoding against the eager PyTorch reference batched the same way.

Writes a lemmatizer-sized bundle (embedding 50, hidden 100, 2 encoder layers,
max_dec_len 50, POS input, edit classifier, copy gate, batch size 50; random
weights) with the shared test-bundle writer and a list of words, then runs in
separate processes, one thread each: the engine (build/bench/seq2seq_greedy_bench)
and the reference (tests/reference/seq2seq.py, greedy_many). Prints words per
second, the ratio and each process's peak resident memory, and checks that both
produced the same texts.

    .venv/bin/python bench/seq2seq_greedy.py [--words 10000] [--repeat 3] [--dir build/bench_seq2seq]
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

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

TAGS = ["NOUN", "VERB", "ADJ", "ADV", "PROPN", "DET", "ADP", "PRON", "NUM", "X"]


def write_inputs(directory: pathlib.Path, count: int) -> tuple[pathlib.Path, pathlib.Path]:
    from model_bundles.seq2seq import random_model, write_seq2seq_bundle

    chars = [chr(c) for c in range(ord("a"), ord("z") + 1)] + \
            [chr(c) for c in range(ord("A"), ord("Z") + 1)] + list("äöüßéèàçñ-'.0123456789")
    model = random_model(2024, chars=chars, emb_dim=50, hidden_dim=100, num_layers=2,
                         max_dec_len=50, batch_size=50, pos=True, edit=True, copy=True,
                         edit_classes=4, pos_tags=TAGS, scale=0.3)
    bundle = directory / "bundle"
    write_seq2seq_bundle(bundle, model)
    rng = random.Random(7)
    words_file = directory / "words.tsv"
    with open(words_file, "w", encoding="utf-8") as out:
        for _ in range(count):
            n = max(1, min(20, int(rng.gauss(7, 3))))
            # A few characters outside the vocabulary, as real text has.
            pool = chars if rng.random() < 0.9 else chars + ["ø", "ł", "ž"]
            out.write("".join(rng.choice(pool) for _ in range(n)) + "\t" + rng.choice(TAGS) + "\n")
    return bundle, words_file


REFERENCE = r"""
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
import torch
torch.set_num_threads(1)
from reference.seq2seq import Seq2SeqReference
bundle, words_file, repeat = sys.argv[2], sys.argv[3], int(sys.argv[4])
assets = json.load(open(bundle + "/assets.json", encoding="utf-8"))
manifest = json.load(open(bundle + "/manifest.json"))
raw = open(bundle + "/tensors.bin", "rb").read()
tensors = {}
for t in manifest["tensors"]:
    data = bytearray(raw[t["offset"]:t["offset"] + t["nbytes"]])
    tensors[t["name"]] = torch.frombuffer(data, dtype=torch.float32).reshape(t["shape"])
ref = Seq2SeqReference(tensors, assets["config"], assets["vocab"]["char"], assets["vocab"].get("pos"))
words, tags = [], []
for line in open(words_file, encoding="utf-8"):
    w, t = line.rstrip("\n").split("\t")
    words.append(w); tags.append(t)
best = float("inf")
for _ in range(repeat):
    start = time.perf_counter()
    out = ref.greedy_many(words, tags)
    best = min(best, time.perf_counter() - start)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": best, "words_per_second": len(words) / best, "peak_rss_kb": peak,
                  "texts": [d.text for d in out], "margins": [d.margin for d in out]}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", type=pathlib.Path, default=BUILD / "bench_seq2seq")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    bundle, words_file = write_inputs(args.dir, args.words)
    env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")

    engine = json.loads(subprocess.run(
        [str(BUILD / "bench" / "seq2seq_greedy_bench"), str(bundle), str(words_file),
         str(args.repeat)], check=True, capture_output=True, text=True, env=env).stdout)
    reference = json.loads(subprocess.run(
        [sys.executable, "-c", REFERENCE, str(ROOT / "tests"), str(bundle), str(words_file),
         str(args.repeat)], check=True, capture_output=True, text=True, env=env).stdout)

    print(f"words: {args.words}, best of {args.repeat}, one thread")
    for name, r in (("engine", engine), ("reference", reference)):
        print(f"{name:>9}: {r['seconds']:8.3f} s  {r['words_per_second']:10.1f} words/s  "
              f"peak RSS {r['peak_rss_kb'] / 1024:7.1f} MiB")
    print(f"    ratio: {engine['words_per_second'] / reference['words_per_second']:.2f}x")

    # The engine's texts, one at a time, must equal the reference's except at near-ties.
    probe = subprocess.run(
        [str(BUILD / "bench" / "seq2seq_greedy_bench"), str(bundle), str(words_file), "1", "--texts"],
        capture_output=True, text=True, env=env)
    if probe.returncode == 0 and probe.stdout.count("\n") > args.words:
        texts = probe.stdout.split("\n")[1:args.words + 1]
        differ = sum(1 for a, b, m in zip(texts, reference["texts"], reference["margins"])
                     if a != b and m >= 1e-4)
        print(f"texts differing from the reference (near-ties excluded): {differ}")


if __name__ == "__main__":
    main()
