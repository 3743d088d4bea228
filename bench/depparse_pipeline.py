"""Speed of the whole default pipeline (tokenize, mwt, pos, lemma, depparse) against the
eager references chained the same way.

Writes a model tree into --dir: the tokenizer of bench/tokenizer.py (embedding 32, hidden
64), a dictionary multi-word expander, the POS tagger of bench/pos.py, a dictionary
lemmatizer and the parser of bench/depparse.py (all random weights), and --size
characters of mixed English text cut into ~2000-character documents; then

* measures the core's multiply-add peak (bench/core_peak.py);
* runs the pipeline's stages in turn over the list of documents (bulk; what
  Pipeline("en").process does for a list, timed stage by stage) with one ATen thread and
  with ATen's default thread count, each in a process of its own for a clean peak memory;
* runs the eager references with one thread over the same documents: the tokenizer
  (tests/reference/tokenizer.py), the tagger in the engine's batches, the dictionary
  lemmas, the parser in the engine's batches with Python decoding of each batch as soon
  as it is scored;

and prints words per second, the time and multiply-adds of every stage with their rates
and shares of the peak, the ratios, peak memory, the largest parser batch's label scores
and the load average. --skip-reference runs the engine only.

    .venv/bin/python bench/depparse_pipeline.py [--size 1000000] [--dir build/bench_pipeline]
                                                [--skip-reference]
"""
import argparse
import hashlib
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
sys.path.insert(0, str(ROOT / "bench"))

import depparse as dp_bench  # noqa: E402
import pos as pos_bench  # noqa: E402
from tokenizer import cut_documents  # noqa: E402
from thread_sweep import load_average  # noqa: E402

LEMMAS = {"was": "be", "is": "be", "were": "be", "are": "be", "said": "say", "people": "person",
          "reported": "report", "paid": "pay", "things": "thing", "results": "result"}


def build(directory, size):
    import bundle_writer
    import model_bundles.depparse as dp
    import model_bundles.pos as pos
    from model_bundles.lemma import write_lemma_bundle
    from model_bundles.mwt import write_dict_bundle
    from model_bundles.tokenizer import write_tokenizer_bundle
    from reference.tokenizer import mixed_english_text

    language = directory / "1.14.0" / "en"
    write_tokenizer_bundle(language / "tokenize", seed=4, scale=0.3, head_scale=10.0, emb_dim=32,
                           hidden_dim=64, use_mwt=False)
    write_dict_bundle(language / "mwt", {"cannot": "can not"})
    rng = random.Random(2)
    words = pos_bench.vocabulary(20000, rng)
    chars = [chr(c) for c in range(33, 127)] + list("éèàçüöäßñøåæœ€£¥§°±µ¿¡«»—–‘’“”•…")
    pos.ALPHABET[:] = chars
    pos_model = pos.random_pos_model(0, words=words, pretrain_words=pos_bench.vocabulary(50000, rng),
                                     feat_names=[f"Feat{k:02d}" for k in range(20)], upos=pos_bench.UPOS,
                                     scale=0.05, **pos_bench.SIZES)
    pos.write_pos_bundle(language / "pos", pos_model)
    write_lemma_bundle(language / "lemma", {"*": LEMMAS})
    dp.ALPHABET[:] = chars
    dp.LEMMAS[:] = words[:5000]
    dp.UPOS[:] = pos_bench.UPOS
    parser_model = dp.random_depparse_model(0, words=words, deprels=dp_bench.RELATIONS, linearization=True,
                                            distance=True, scale=0.05, **dp_bench.SIZES)
    dp.write_depparse_bundle(language / "depparse", parser_model)
    bundle_writer.write_index(directory, [(k, "default", k) for k in ("tokenize", "mwt", "pos", "lemma", "depparse")],
                              language="en")
    text = mixed_english_text(size, seed=1)
    (directory / "text.txt").write_text(text, encoding="utf-8")
    return pos_model, parser_model, text


def engine_run(directory):
    """Child process: every stage's bulk_process over all documents in turn, timed."""
    sys.path.insert(0, str(BUILD / "python"))
    import torch
    if os.environ.get("OMP_NUM_THREADS") == "1":
        torch.set_num_threads(1)
    import _quelbin as q
    texts = cut_documents((directory / "text.txt").read_text(encoding="utf-8"))
    pipeline = q.Pipeline("en", model_dir=directory)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    stages, stage_cpu = {}, {}
    start, cpu_start = time.perf_counter(), time.process_time()
    docs = [q.Document(text) for text in texts]
    for processor in pipeline.processors:
        begin, cpu_begin = time.perf_counter(), time.process_time()
        docs = processor.bulk_process(docs)
        stages[processor.name] = time.perf_counter() - begin
        stage_cpu[processor.name] = time.process_time() - cpu_begin
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu_start
    words = [w for d in docs for w in d.iter_words()]
    print(json.dumps({"seconds": seconds, "stages": stages, "cpu_seconds": cpu_seconds, "stage_cpu": stage_cpu,
                      "rss_before_mb": before,
                      "threads": torch.get_num_threads(),
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                      "words": len(words), "parsed": sum(w.head is not None for w in words),
                      "result": hashlib.sha256(json.dumps([(w.head, w.deprel, w.upos) for w in words])
                                               .encode()).hexdigest()}))


def tokenizer_multiply_adds(tokenizer):
    """Multiply-adds per character of the tokenizer's two BiLSTMs and its heads."""
    lstm = sum(p.numel() for m in (tokenizer.rnn, tokenizer.rnn2) for p in m.parameters() if p.dim() == 2)
    heads = sum(w.numel() for w, _ in tokenizer.first.values()) + sum(w.numel() for w in tokenizer.second.values())
    return lstm + heads


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--dir", default=str(BUILD / "bench_pipeline"))
    parser.add_argument("--skip-reference", action="store_true")
    parser.add_argument("--engine-run", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    if args.engine_run:
        engine_run(directory)
        return

    import torch
    from reference.depparse import DepparseReference
    from reference.depparse_decode import decode
    from reference.pos import POSReference
    from reference.tokenizer import ReferenceTokenizer
    pos_model, parser_model, text = build(directory, args.size)
    print(f"text: {len(text.encode())} bytes, {len(cut_documents(text))} documents")

    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product): {peak:.1f} GMAC/s")

    results = {}
    for label, threads in (("1 thread", "1"), ("all threads", None)):
        env = dict(os.environ)
        env.pop("OMP_NUM_THREADS", None)
        if threads:
            env.update(OMP_NUM_THREADS=threads, MKL_NUM_THREADS=threads)
        command = [sys.executable, __file__, "--engine-run", "--dir", str(directory)]
        run = json.loads(subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout)
        assert run["parsed"] == run["words"]
        results[label] = run
        print(f"engine, {label} ({run['threads']}): {run['words']:,} words, {run['words'] / run['seconds']:,.0f} "
              f"words/s, {run['seconds']:.2f} s ({', '.join(f'{k} {v:.2f}' for k, v in run['stages'].items())}), "
              f"{run['cpu_seconds']:.2f} s of CPU time; "
              f"peak RSS {run['peak_rss_mb']:.0f} MB ({run['rss_before_mb']:.0f} MB before); "
              f"load average {load_average()}")
    assert results["1 thread"]["result"] == results["all threads"]["result"], "results differ with the thread count"
    print("identical heads, relations and tags at 1 and all threads")
    if args.skip_reference:
        return

    torch.set_num_threads(1)
    tokenizer = ReferenceTokenizer(directory / "1.14.0" / "en" / "tokenize")
    tagger = POSReference(pos_model.tensors, pos_model.assets())
    reference = DepparseReference(parser_model.tensors, parser_model.assets())
    relations = parser_model.vocab["deprel"]["_id2unit"][4:]
    clock = []  # (wall, CPU) at the start and after every stage

    def tick():
        clock.append((time.perf_counter(), time.process_time()))

    tick()
    start = clock[0][0]
    sentences = [[token[0] for token in sentence] for doc in cut_documents(text)
                 for sentence in tokenizer.tokenize(doc)]
    tick()
    tags = tagger.tag(sentences, batched=True)
    tick()
    records = [[{"text": w, "lemma": LEMMAS.get(w, w), "upos": t[0][0], "xpos": t[0][1], "feats": t[0][2]}
                for w, t in zip(s, ts)] for s, ts in zip(sentences, tags)]
    tick()
    network = decoding = 0.0
    batches = reference.batched_scores(records)
    while True:
        begin = time.perf_counter()
        batch = next(batches, None)
        scored = time.perf_counter()
        network += scored - begin
        if batch is None:
            break
        for _, arc, label in batch:
            decode(arc.double().numpy(), label.double().numpy(), relations)
        decoding += time.perf_counter() - scored
    tick()
    seconds = clock[-1][0] - start
    words = sum(map(len, sentences))
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    names = ("tokenize", "pos", "lemma", "depparse")
    reference_stages = {k: clock[i + 1][0] - clock[i][0] for i, k in enumerate(names)}
    reference_cpu = {k: clock[i + 1][1] - clock[i][1] for i, k in enumerate(names)}
    print(f"references chained, 1 thread: {words:,} words, {words / seconds:,.0f} words/s, {seconds:.2f} s "
          f"({', '.join(f'{k} {v:.2f}' for k, v in reference_stages.items())}; parser network {network:.2f}, "
          f"decoding {decoding:.2f}), {clock[-1][1] - clock[0][1]:.2f} s of CPU time; peak RSS {rss:.0f} MB; "
          f"load average {load_average()}")
    for label, run in results.items():
        print(f"ratio engine ({label}) / references (1 thread): {seconds / run['seconds']:.2f}x")
    print(f"ratio by CPU time, 1 thread: {(clock[-1][1] - clock[0][1]) / results['1 thread']['cpu_seconds']:.2f}x")

    # Multiply-adds per stage, counted on the reference's tokens (the engine's word count is beside it).
    characters = len(text)
    _, pos_written, pos_performed = pos_bench.multiply_adds(sentences, pos_model)
    stage_macs = {"tokenize": characters * tokenizer_multiply_adds(tokenizer), "pos": pos_written,
                  "depparse": dp_bench.multiply_adds(records, parser_model)}
    total = sum(stage_macs.values())
    engine = results["1 thread"]
    print(f"multiply-adds per stage ({total / 1e9:,.0f} G in all; the engine's POS tagger performs "
          f"{pos_performed / 1e9:,.0f} G of its {pos_written / 1e9:,.0f} G):")
    for stage, macs in stage_macs.items():
        mine, theirs = engine["stages"][stage], reference_stages[stage]
        print(f"  {stage}: {macs / 1e9:,.0f} G ({macs / total:.1%}); engine 1 thread {mine:.2f} s "
              f"({mine / engine['seconds']:.0%} of its time), {macs / mine / 1e9:.1f} GMAC/s "
              f"({macs / mine / 1e9 / peak:.0%} of the peak); reference {theirs:.2f} s, {macs / theirs / 1e9:.1f} "
              f"GMAC/s ({macs / theirs / 1e9 / peak:.0%} of the peak); ratio {theirs / mine:.2f}x; per CPU second: "
              f"engine {macs / engine['stage_cpu'][stage] / 1e9:.1f}, reference {macs / reference_cpu[stage] / 1e9:.1f} "
              f"GMAC/s, ratio {reference_cpu[stage] / engine['stage_cpu'][stage]:.2f}x")
    dp = stage_macs["depparse"]
    print(f"  depparse network alone in the reference: {network:.2f} s, {dp / network / 1e9:.1f} GMAC/s "
          f"({dp / network / 1e9 / peak:.0%} of the peak)")
    k, L = max(dp_bench.batches([len(s) + 1 for s in records if s]), key=lambda b: b[0] * b[1] * b[1])
    print(f"largest parser batch by label scores: {k} x {L} rows, label scores {k} x {L}^2 x {len(relations)} "
          f"floats = {k * L * L * len(relations) * 4 / 2**20:.0f} MB as the reference holds them (the engine's bulk "
          f"path scores relations only under the heads it decodes, one sentence's at a time)")


if __name__ == "__main__":
    main()
