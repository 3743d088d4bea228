"""Greedy decoding of many words with a sequence-to-sequence model: the engine's
batched decoding at several thread counts against the eager PyTorch reference
batched the same way.

Writes a lemmatizer-sized bundle (embedding 50, hidden 100, 2 encoder layers,
max_dec_len 50, POS input, edit classifier, copy gate, batch size 50; random
weights) with the shared test-bundle writer, a lemmatizer bundle of the same
model and a list of words, then runs in separate processes:

* the engine (build/bench/seq2seq_greedy_bench) with 1, 2, 4 and 8 ATen
  threads (--threads; ATen's default count is added when not among them);
* Python threads 1, 2, 4 and 8, each calling LemmaProcessor.bulk_process on its
  share of the words (documents of 100 words), with one ATen thread;
* with --background-load, both again beside one busy process per core
  (started and ended by the benchmark);
* the reference (tests/reference/seq2seq.py, greedy_many) on one thread.

Prints words per second with the ratio to one thread and the load average, the
engine/reference ratio and each process's peak resident memory, and checks that
the engine's texts equal the reference's (near-ties excluded) and are the same
at every thread count.

    .venv/bin/python bench/seq2seq_greedy.py [--words 10000] [--repeat 3] [--dir build/bench_seq2seq]
                                             [--threads 1,2,4,8] [--background-load]
"""
import argparse
import json
import os
import pathlib
import random
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

sys.path.insert(0, str(ROOT / "bench"))
import thread_sweep  # noqa: E402

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
    from model_bundles.lemma import write_lemma_bundle
    write_lemma_bundle(directory / "lemma", {}, model)
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


def lemma_documents(words_file: pathlib.Path, per_document: int = 100) -> list:
    """The words as dictionary-form documents of one sentence of per_document words."""
    entries = [line.rstrip("\n").split("\t") for line in open(words_file, encoding="utf-8")]
    documents = []
    for start in range(0, len(entries), per_document):
        documents.append([[{"id": i + 1, "text": w, "upos": t}
                           for i, (w, t) in enumerate(entries[start:start + per_document])]])
    return documents


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", type=pathlib.Path, default=BUILD / "bench_seq2seq")
    parser.add_argument("--threads", default=",".join(map(str, thread_sweep.THREAD_COUNTS)))
    parser.add_argument("--background-load", action="store_true",
                        help="also run every thread count beside one busy process per core")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    bundle, words_file = write_inputs(args.dir, args.words)
    env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    engine_binary = str(BUILD / "bench" / "seq2seq_greedy_bench")

    def run_engine(threads, repeat, texts=False):
        command = [engine_binary, str(bundle), str(words_file), str(repeat), str(threads)]
        out = subprocess.run(command + (["--texts"] if texts else []), check=True, capture_output=True,
                             text=True, env=thread_sweep.thread_env()).stdout
        return json.loads(out.split("\n", 1)[0]), out.split("\n")[1:args.words + 1]

    default = run_engine(0, 1)[0]["threads"]
    counts = sorted(set(int(t) for t in args.threads.split(",")) | {1, default})
    documents = lemma_documents(words_file)
    engine = {}
    for condition, loaded in thread_sweep.conditions(args.background_load):
        with thread_sweep.background_load(loaded):
            print(f"{condition}, load average at start {thread_sweep.load_average()}:")
            rates = {}
            for threads in counts:
                result, _ = run_engine(threads, args.repeat)
                rates[threads] = {"greedy": result["words_per_second"]}
                if not loaded:
                    engine[threads] = result
            thread_sweep.print_sweep("engine", rates, default, "words/s")
            python = thread_sweep.python_threads(BUILD / "python", "LemmaProcessor", args.dir / "lemma",
                                                 documents, True, args.words, args.repeat)
            thread_sweep.print_python_threads(python, "words/s")
            print(f"  load average at end {thread_sweep.load_average()}")

    reference = json.loads(subprocess.run(
        [sys.executable, "-c", REFERENCE, str(ROOT / "tests"), str(bundle), str(words_file),
         str(args.repeat)], check=True, capture_output=True, text=True, env=env).stdout)

    print(f"words: {args.words}, best of {args.repeat}")
    for name, r in (("engine, 1 thread", engine[1]), (f"engine, {default} threads", engine[default]),
                    ("reference, 1 thread", reference)):
        print(f"{name:>20}: {r['seconds']:8.3f} s  {r['words_per_second']:10.1f} words/s  "
              f"peak RSS {r['peak_rss_kb'] / 1024:7.1f} MiB")
    print(f"ratio engine/reference, 1 thread: {engine[1]['words_per_second'] / reference['words_per_second']:.2f}x")

    # The engine's texts, one at a time, must equal the reference's except at
    # near-ties, and be the same at one thread and at the default count.
    texts = {threads: run_engine(threads, 1, texts=True)[1] for threads in (1, default)}
    differ = sum(1 for a, b, m in zip(texts[1], reference["texts"], reference["margins"]) if a != b and m >= 1e-4)
    print(f"texts differing from the reference (near-ties excluded): {differ}; "
          f"identical at 1 and {default} threads: {texts[1] == texts[default]}")


if __name__ == "__main__":
    main()
