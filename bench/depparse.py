"""Dependency parser speed: the engine's process_bulk against the eager PyTorch reference.

Writes a parser bundle of realistic size (word and lemma embeddings 75 over 20,000 words,
pretrained 100 over 12,000 words projected to 125, character model: embedding 100, LSTM
400 projected to 125; tag embeddings 50; highway BiLSTM hidden 400, three layers; deep
biaffine 400 for arcs, linearization, distance and 40 relations; random weights) and
--words tagged words in sentences of realistic length (lognormal, about 20 words) into
--dir, then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product, MKL);
* runs DepparseProcessor.bulk_process over all sentences (one call, documents made
  beforehand) with one thread, in a process of its own for a clean peak memory;
* runs tests/reference/depparse.py with one thread, batched the same way (longest-first
  padded batches of at most batch_size rows, packed nn.LSTM per highway layer, the
  biaffine scorers over the padded batch), then decodes every sentence in Python
  (tests/reference/depparse_decode.py), as the upstream toolkit decodes;

and prints words and multiply-adds per second (also per CPU second, which a busy machine
skews less), the ratio, the share of the peak, peak
memory, the largest batch's score memory and the load average.

    .venv/bin/python bench/depparse.py [--words 20000] [--dir build/bench_depparse] [--repeat 2]
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

from pos import gemm_peak, realistic_sentences, vocabulary  # noqa: E402
from thread_sweep import load_average, run_child  # noqa: E402

SIZES = dict(word_emb_dim=75, pretrain_dim=100, transformed_dim=125, char_emb_dim=100,
             char_hidden_dim=400, hidden_dim=400, num_layers=3, tag_emb_dim=50, deep_dim=400)
RELATIONS = ["acl", "acl:relcl", "advcl", "advmod", "amod", "appos", "aux", "aux:pass", "case", "cc",
             "ccomp", "clf", "compound", "conj", "cop", "csubj", "csubj:pass", "dep", "det", "discourse",
             "dislocated", "expl", "fixed", "flat", "goeswith", "iobj", "list", "mark", "nmod", "nsubj",
             "nsubj:pass", "nummod", "obj", "obl", "orphan", "parataxis", "punct", "reparandum", "root",
             "vocative"]
BATCH_SIZE = 5000


def build(directory, sentences):
    import model_bundles.depparse as dp
    rng = random.Random(2)
    words = vocabulary(20000, rng)
    dp.ALPHABET[:] = [chr(c) for c in range(33, 127)] + list("éèàçüöäßñøåæœ€£¥§°±µ¿¡«»—–‘’“”•…")
    dp.LEMMAS[:] = words[:5000]
    model = dp.random_depparse_model(0, words=words, deprels=RELATIONS, linearization=True, distance=True,
                                     scale=0.05, **SIZES)
    upos = list(model.vocab["upos"]["_unit2id"])[4:]
    xpos = list(model.vocab["xpos"]["_unit2id"])[4:]
    tagged = [[{"text": w, "lemma": w.lower(), "upos": rng.choice(upos), "xpos": rng.choice(xpos),
                "feats": "Case=Ca0"} for w in s] for s in sentences]
    dp.write_depparse_bundle(directory / "bundle", model)
    (directory / "sentences.json").write_text(json.dumps(tagged), encoding="utf-8")
    return model, tagged


def batches(lengths):
    """(k, L) of every batch: longest first, k × L within the budget, at least one."""
    order, out, start = sorted(lengths, reverse=True), [], 0
    while start < len(order):
        k = max(1, min(len(order) - start, BATCH_SIZE // order[start]))
        out.append((k, order[start]))
        start += k
    return out


def multiply_adds(sentences, model):
    """Multiply-adds of the network on the real rows (padding not counted)."""
    s = SIZES
    H, C, E, D = s["hidden_dim"], s["char_hidden_dim"], s["char_emb_dim"], s["deep_dim"] + 1
    rows = sum(len(x) + 1 for x in sentences)
    pairs = sum((len(x) + 1) ** 2 for x in sentences)
    chars = sum(len(w["text"]) for x in sentences for w in x)
    width = model.tensors["parserlstm.lstm.0.lstm.weight_ih_l0"].shape[1]
    per_row = s["pretrain_dim"] * s["transformed_dim"] + C * s["transformed_dim"]
    for _ in range(s["num_layers"]):
        per_row += 2 * 4 * H * (width + H) + 2 * 2 * H * width
        width = 2 * H
    scorers = {"unlabeled": 1, "linearization": 1, "distance": 1, "deprel": len(RELATIONS)}
    per_row += sum(2 * (D - 1) * 2 * H + D * D * o for o in scorers.values())
    per_pair = sum(D * o for o in scorers.values())
    return chars * 4 * C * (E + C) + rows * per_row + pairs * per_pair


def engine_run(directory, repeat, threads):
    """Child process: one bulk_process over all sentences, on `threads` ATen threads (0: the default)."""
    sys.path.insert(0, str(BUILD / "python"))
    import torch
    if threads:
        torch.set_num_threads(threads)
    import _quelbin as q
    sentences = json.loads((directory / "sentences.json").read_text(encoding="utf-8"))
    parser = q.DepparseProcessor(directory / "bundle")
    best, cpu, before = None, None, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    for _ in range(repeat):
        docs = [q.Document.from_dict([[{"id": i + 1, **w} for i, w in enumerate(s)] for s in sentences[j:j + 50]])
                for j in range(0, len(sentences), 50)]
        start, cpu_start = time.perf_counter(), time.process_time()
        parser.bulk_process(docs)
        seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu_start
        best = seconds if best is None else min(best, seconds)
        cpu = cpu_seconds if cpu is None else min(cpu, cpu_seconds)
    heads = [w.head for d in docs for w in d.iter_words()]
    print(json.dumps({"seconds": best, "cpu_seconds": cpu, "rss_before_mb": before,
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                      "parsed": sum(h is not None for h in heads), "threads": torch.get_num_threads(),
                      "result": [(w.head, w.deprel) for d in docs for w in d.iter_words()]}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=int, default=20000)
    parser.add_argument("--dir", default=str(BUILD / "bench_depparse"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--engine-run", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--engine-threads", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    if args.engine_run:
        engine_run(directory, args.repeat, args.engine_threads)
        return

    import torch
    from reference.depparse import DepparseReference
    from reference.depparse_decode import decode
    model, sentences = build(directory, realistic_sentences(args.words))
    words = sum(map(len, sentences))
    macs = multiply_adds(sentences, model)
    largest = max(batches([len(s) + 1 for s in sentences]), key=lambda b: b[0] * b[1] * b[1])
    k, L = largest
    print(f"{len(sentences)} sentences, {words} words, {macs / words / 1e6:.2f} M multiply-adds per word; "
          f"largest batch by label scores: {k} x {L} rows, label scores {k * L * L * len(RELATIONS) * 4 / 2**20:.0f} MB, "
          f"relation scorer intermediate {k * L * (SIZES['deep_dim'] + 1) * len(RELATIONS) * 4 / 2**20:.0f} MB "
          f"(both as the reference holds them; the engine's bulk path scores relations only under the heads it "
          f"decodes)")
    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product, MKL): {peak:.1f} GMAC/s")

    command = [sys.executable, __file__, "--engine-run", "--dir", str(directory), "--repeat", str(args.repeat)]
    engine = run_child(command, 1)
    default = run_child(command + ["--engine-threads", "0"], 0)
    assert engine["parsed"] == words
    print(f"engine bulk_process, 1 thread: {words / engine['seconds']:,.0f} words/s, "
          f"{macs / engine['seconds'] / 1e9:.1f} GMAC/s ({macs / engine['seconds'] / 1e9 / peak:.0%} of the peak), "
          f"{engine['seconds']:.2f} s ({engine['cpu_seconds']:.2f} s of CPU time, "
          f"{macs / engine['cpu_seconds'] / 1e9:.1f} GMAC/s per CPU second); peak RSS {engine['peak_rss_mb']:.0f} MB "
          f"({engine['rss_before_mb']:.0f} MB after loading, before the first call)")
    assert default["result"] == engine["result"], "results differ between 1 and the default thread count"
    print(f"engine bulk_process, {default['threads']} threads (ATen's default): {words / default['seconds']:,.0f} words/s, "
          f"{engine['seconds'] / default['seconds']:.2f}x one thread, identical heads; "
          f"peak RSS {default['peak_rss_mb']:.0f} MB")

    torch.set_num_threads(1)
    reference = DepparseReference(model.tensors, model.assets())
    relations = model.vocab["deprel"]["_id2unit"][4:]
    start, cpu_start = time.perf_counter(), time.process_time()
    scores = reference.scores_batched(sentences)
    network, network_cpu = time.perf_counter() - start, time.process_time() - cpu_start
    for arc, label in scores:
        decode(arc.double().numpy(), label.double().numpy(), relations)
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu_start
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"reference (eager PyTorch, same batches, Python decoding), 1 thread: {words / seconds:,.0f} words/s, "
          f"{seconds:.2f} s of which network {network:.2f} s ({macs / network / 1e9:.1f} GMAC/s, "
          f"{macs / network / 1e9 / peak:.0%} of the peak); CPU time {cpu_seconds:.2f} s, network "
          f"{network_cpu:.2f} s ({macs / network_cpu / 1e9:.1f} GMAC/s per CPU second); peak RSS {rss:.0f} MB")
    print(f"ratio engine/reference, 1 thread: {seconds / engine['seconds']:.2f}x "
          f"(network only: {network / engine['seconds']:.2f}x); by CPU time {cpu_seconds / engine['cpu_seconds']:.2f}x "
          f"(network only: {network_cpu / engine['cpu_seconds']:.2f}x)")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
