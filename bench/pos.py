"""POS tagger speed: the engine's process_bulk against the eager PyTorch reference.

Writes a POS bundle of realistic size (word embedding 75 over 20,000 words, pretrained 100
over 50,000 words projected to 125, character model: embedding 100, LSTM 400; highway
BiLSTM hidden 200, two layers; 17 UPOS, 50 XPOS and 20 features of 5 values; hidden layers
400, 400 and 100; UPOS embedding 50; random weights) and --words words in sentences of
realistic length (lognormal, about 20 words, drawn Zipf-like from a --types-word
vocabulary) into --dir, then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product, MKL);
* runs POSProcessor.bulk_process over all sentences (one call, the documents made
  beforehand) with one thread, in a process of its own for a clean peak memory;
* runs tests/reference/pos.py with one thread, batched the same way (length-sorted
  batches under 250 sentences and 5000 padded words; packed nn.LSTM for the characters of
  all words of a batch and for each highway layer; bilinear heads);

and prints words and multiply-adds per second, the engine/reference ratio, the engine's
share of the peak, peak memory and the load average.

    .venv/bin/python bench/pos.py [--words 20000] [--dir build/bench_pos] [--repeat 2] [--types 30000] [--uniform]
"""
import argparse
import itertools
import json
import os
import pathlib
import random
import resource
import sys
import time
from core_peak import gemm_peak  # noqa: E402
from thread_sweep import load_average, run_child  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

LETTERS = "etaoinshrdlcumwfgypbvkjxqz"
WEIGHTS = [12.7, 9.1, 8.2, 7.5, 7.0, 6.7, 6.3, 6.1, 6.0, 4.3, 4.0, 2.8, 2.8, 2.4, 2.4, 2.2, 2.0, 2.0,
           1.9, 1.5, 1.0, 0.8, 0.2, 0.2, 0.1, 0.1]
SIZES = dict(word_emb_dim=75, pretrain_dim=100, transformed_dim=125, char_emb_dim=100,
             char_hidden_dim=400, hidden_dim=200, num_layers=2, tag_emb_dim=50, deep_dim=400,
             feats_deep_dim=100, xpos_count=50, feat_values=3)
UPOS = ["ADJ", "ADP", "ADV", "AUX", "CCONJ", "DET", "INTJ", "NOUN", "NUM", "PART", "PRON", "PROPN",
        "PUNCT", "SCONJ", "SYM", "VERB", "X"]


def vocabulary(count, rng):
    words = set()
    while len(words) < count:
        length = max(1, min(18, round(rng.gammavariate(2.6, 1.9))))
        words.add("".join(rng.choices(LETTERS, WEIGHTS, k=length)))
    return sorted(words)


def realistic_sentences(total_words, seed=1, type_count=30000, uniform=False):
    rng = random.Random(seed)
    types = vocabulary(type_count, rng)
    rng.shuffle(types)
    zipf = list(itertools.accumulate(1.0 if uniform else 1.0 / (rank + 2.7) for rank in range(len(types))))
    out, count = [], 0
    while count < total_words:
        n = min(total_words - count, max(1, min(100, round(rng.lognormvariate(2.85, 0.55)))))
        words = [rng.choice(",.;:'\"()-?!") if rng.random() < 0.12 else rng.choices(types, cum_weights=zipf)[0]
                 for _ in range(n)]
        out.append([w.capitalize() if rng.random() < 0.05 else w for w in words])
        count += n
    return out


def build(directory, sentences):
    from model_bundles.pos import random_pos_model, write_pos_bundle
    rng = random.Random(2)
    words = vocabulary(20000, rng)
    pretrain = vocabulary(50000, rng)
    names = [f"Feat{k:02d}" for k in range(20)]
    chars = [chr(c) for c in range(33, 127)] + list("éèàçüöäßñøåæœ€£¥§°±µ¿¡«»—–‘’“”•…")
    import model_bundles.pos as pos
    pos.ALPHABET[:] = chars  # the character vocabulary
    model = random_pos_model(0, words=words, pretrain_words=pretrain, feat_names=names, upos=UPOS,
                             scale=0.05, **SIZES)
    write_pos_bundle(directory / "bundle", model)
    (directory / "sentences.json").write_text(json.dumps(sentences), encoding="utf-8")
    return model


def folded(word):
    return word[0] if len(word) >= 2 and all(ch in "?!" for ch in word) else word


def multiply_adds(sentences, model):
    """Multiply-adds of the network as written (the character LSTM run for every word, the
    heads as bilinear products), and of what the engine computes: the character LSTM once
    per distinct form, each bilinear head contracted with the predicted UPOS's embedding."""
    s = SIZES
    H, C, E = s["hidden_dim"], s["char_hidden_dim"], s["char_emb_dim"]
    D = s["word_emb_dim"] + 2 * s["transformed_dim"]
    words = sum(map(len, sentences))
    chars = sum(len(folded(w)) for sent in sentences for w in sent)
    distinct_chars = sum(len(f) for f in {folded(w) for sent in sentences for w in sent})
    per_char = 4 * C * (E + C) + C  # LSTM step and gate
    per_word = s["pretrain_dim"] * s["transformed_dim"] + C * s["transformed_dim"]
    width = D
    for _ in range(s["num_layers"]):
        per_word += 2 * 4 * H * (width + H) + 2 * 2 * H * width
        width = 2 * H
    heads = sum(t.shape[0] * t.shape[1] for n, t in model.tensors.items() if n.endswith("_hid.weight"))
    heads += model.tensors["upos_clf.weight"].numel()
    bilinear = [t for n, t in model.tensors.items() if n.endswith("W_bilin.weight")]
    written = chars * per_char + words * (per_word + heads + sum(t.numel() for t in bilinear))
    performed = distinct_chars * per_char + words * (per_word + heads + sum(t.shape[0] * t.shape[1] for t in bilinear))
    return words, written, performed


def engine_run(directory, repeat, threads):
    """Child process: one bulk_process over all sentences, on `threads` ATen threads (0: the default)."""
    sys.path.insert(0, str(BUILD / "python"))
    import torch
    if threads:
        torch.set_num_threads(threads)
    import _quelbin as q
    sentences = json.loads((directory / "sentences.json").read_text(encoding="utf-8"))
    tagger = q.POSProcessor(directory / "bundle")
    best = None
    for _ in range(repeat):
        docs = [q.Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(s)]
                                      for s in sentences[j:j + 50]]) for j in range(0, len(sentences), 50)]
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        start = time.perf_counter()
        tagger.bulk_process(docs)
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    tags = [w.upos for d in docs for w in d.iter_words()]
    print(json.dumps({"seconds": best, "rss_before_mb": before,
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                      "tagged": sum(t is not None for t in tags), "threads": torch.get_num_threads(),
                      "result": tags}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=int, default=20000)
    parser.add_argument("--dir", default=str(BUILD / "bench_pos"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--types", type=int, default=30000,
                        help="vocabulary the words are drawn from (larger: fewer repeated forms)")
    parser.add_argument("--uniform", action="store_true",
                        help="draw words uniformly from the vocabulary instead of Zipf-like")
    parser.add_argument("--engine-run", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--engine-threads", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    if args.engine_run:
        engine_run(directory, args.repeat, args.engine_threads)
        return

    import torch
    from reference.pos import POSReference
    sentences = realistic_sentences(args.words, type_count=args.types, uniform=args.uniform)
    model = build(directory, sentences)
    words, macs, performed = multiply_adds(sentences, model)
    distinct = len({w for s in sentences for w in s})
    print(f"{len(sentences)} sentences, {words} words ({distinct} distinct forms), "
          f"{macs / words / 1e6:.2f} M multiply-adds per word as written, "
          f"{performed / words / 1e6:.2f} M as the engine computes them")
    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product, MKL): {peak:.1f} GMAC/s")

    command = [sys.executable, __file__, "--engine-run", "--dir", str(directory), "--repeat", str(args.repeat)]
    engine = run_child(command, 1)
    default = run_child(command + ["--engine-threads", "0"], 0)
    assert engine["tagged"] == words
    print(f"engine bulk_process, 1 thread: {words / engine['seconds']:,.0f} words/s, "
          f"{macs / engine['seconds'] / 1e9:.1f} GMAC/s as written, "
          f"{performed / engine['seconds'] / 1e9:.1f} GMAC/s performed ({performed / engine['seconds'] / 1e9 / peak:.0%} "
          f"of the peak), {engine['seconds']:.2f} s; peak RSS {engine['peak_rss_mb']:.0f} MB "
          f"({engine['rss_before_mb']:.0f} MB before the call)")
    assert default["result"] == engine["result"], "results differ between 1 and the default thread count"
    print(f"engine bulk_process, {default['threads']} threads (ATen's default): {words / default['seconds']:,.0f} words/s, "
          f"{engine['seconds'] / default['seconds']:.2f}x one thread, identical tags; "
          f"peak RSS {default['peak_rss_mb']:.0f} MB")

    torch.set_num_threads(1)
    reference = POSReference(model.tensors, model.assets())
    start = time.perf_counter()
    reference.tag(sentences, batched=True)
    seconds = time.perf_counter() - start
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch, same batches), 1 thread: {words / seconds:,.0f} words/s, "
          f"{macs / seconds / 1e9:.1f} GMAC/s ({macs / seconds / 1e9 / peak:.0%} of the peak), "
          f"{seconds:.2f} s; peak RSS {rss:.0f} MB")
    print(f"ratio engine/reference, 1 thread: {seconds / engine['seconds']:.2f}x")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
