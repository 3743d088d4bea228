"""Constituency parser speed: the engine's parse_many against the eager PyTorch reference.

Writes a constituency bundle of realistic size (pretrained embedding 100 over 50,000 words,
delta embedding 100 over 20,000 words, tag embedding 20 over 45 tags, word BiLSTM and
stack LSTMs of two layers, hidden 512, transition stack 128, transition embedding 20,
three output layers, 26 labels with 50 Open rows; random weights, no character LMs) and
--sentences sentences of realistic length (lognormal, about 20 words) into --dir, then

* measures the core's multiply-add peak (best single-threaded 2048^3 float32 product);
* runs ConstituencyProcessor.parse_many over all sentences in a process of its own, once
  with one thread and once with ATen's default thread count, for a clean peak memory;
* runs the eager reference with one thread: tests/reference/constituency.py's transition
  system in Python over torch.lstm calls (the word BiLSTM in one call per sentence, one
  call per stack push) and torch.nn.functional.linear for the scorer;

and prints sentences and multiply-adds per second, the engine/reference ratio, agreement
of the trees, peak memory and the load average.

    .venv/bin/python bench/constituency.py [--sentences 2000] [--dir build/bench_constituency]
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
from thread_sweep import load_average  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

SIZES = dict(hidden=512, transition_hidden=128, word_dim=100, delta_dim=100, tag_dim=20, transition_dim=20,
             layers=2, output_layers=3, output_hidden=512)
LABELS = ["S", "NP", "VP", "PP", "ADJP", "ADVP", "SBAR", "WHNP", "PRN", "QP", "NX", "UCP", "FRAG", "SINV",
          "SQ", "WHADVP", "CONJP", "LST", "INTJ", "RRC", "WHPP", "SBARQ", "X", "NAC", "PRT"]
TAGS = ["NN", "NNS", "NNP", "NNPS", "DT", "JJ", "JJR", "JJS", "VB", "VBD", "VBG", "VBN", "VBP", "VBZ",
        "IN", "TO", "CC", "CD", "PRP", "PRP$", "RB", "RBR", "RBS", "RP", "MD", "WDT", "WP", "WP$", "WRB",
        "EX", "FW", "LS", "PDT", "POS", "SYM", "UH", ",", ".", ":", "``", "''", "-LRB-", "-RRB-", "#", "$"]
LETTERS = "etaoinshrdlcumwfgypbvkjxqz"


def vocabulary(count, rng):
    words = set()
    while len(words) < count:
        words.add("".join(rng.choices(LETTERS, k=max(1, min(14, round(rng.gammavariate(2.6, 1.9)))))))
    return sorted(words)


def sentences_of(count, words, seed=1):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        n = max(1, min(80, round(rng.lognormvariate(2.85, 0.55))))
        out.append(([rng.choice(words) for _ in range(n)], [rng.choice(TAGS) for _ in range(n)]))
    return out


def build(directory, count):
    from model_bundles.constituency import random_constituency_model, write_constituency_bundle
    rng = random.Random(2)
    pretrain = vocabulary(50000, rng)
    opens = [["ROOT"]] + [[label] for label in LABELS] + [[a, b] for a, b in zip(LABELS, LABELS[1:] * 2)][:24]
    model = random_constituency_model(0, words=pretrain, tags=TAGS, opens=opens, scale=0.08, unary_limit=3,
                                      **SIZES)
    write_constituency_bundle(directory / "bundle", model)
    sentences = sentences_of(count, pretrain)
    (directory / "sentences.json").write_text(json.dumps(sentences), encoding="utf-8")
    return model, sentences


def engine_run(directory, threads):
    """Child process: one parse_many over all sentences."""
    sys.path.insert(0, str(BUILD / "python"))
    import torch
    if threads:
        torch.set_num_threads(threads)
    import _quelbin as q
    sentences = json.loads((directory / "sentences.json").read_text(encoding="utf-8"))
    parser = q.ConstituencyProcessor(directory / "bundle")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    start = time.perf_counter()
    trees = parser.parse_many([s[0] for s in sentences], [s[1] for s in sentences])
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "rss_before_mb": before, "threads": torch.get_num_threads(),
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                      "trees": [str(t) for t in trees]}))


class EagerReference:
    """The reference's transition system over batched torch.lstm calls; counts the
    multiply-adds of every product it runs."""

    def __init__(self, tensors, assets):
        import torch
        from reference.constituency import ConstituencyReference
        self.torch = torch
        base = ConstituencyReference(tensors, assets)
        self.base, self.macs = base, 0
        t, L = tensors, base.L

        def params(prefix, reverse):
            out = []
            for k in range(L):
                for sfx in ("", "_reverse") if reverse else ("",):
                    out += [t[f"{prefix}{n}_l{k}{sfx}"] for n in ("weight_ih", "weight_hh", "bias_ih", "bias_hh")]
            return out

        def lstm_macs(ps):
            return sum(p.numel() for p in ps if p.dim() == 2)

        word, trans, cons = params("word_lstm.", True), params("transition_stack.lstm.", False), \
            params("constituent_stack.lstm.", False)
        counts = {"transition_stack.lstm.": lstm_macs(trans), "constituent_stack.lstm.": lstm_macs(cons)}
        H = base.H

        def word_vectors(words, tags):
            rows = [t["embedding.weight"][[base.pretrain_id(w) for w in words]],
                    t["delta_embedding.weight"][[base.delta.get(w, 1) for w in words]],
                    t["tag_embedding.weight"][[base.tags.get(x, 1) for x in tags]]]
            x = torch.cat(rows, 1)
            zeros = torch.zeros(2 * L, 1, H)
            out = torch.lstm(x[:, None], (zeros, zeros), word, True, L, 0.0, False, True, False)[0][:, 0]
            self.macs += len(words) * (lstm_macs(word) + H * 2 * H)
            v = torch.relu(torch.nn.functional.linear(out, t["word_to_constituent.weight"],
                                                      t["word_to_constituent.bias"]))
            return [torch.zeros(H)] + list(v) + [torch.zeros(H)]

        def push(prefix, state, x):
            h = torch.stack([s[0] for s in state])[:, None]
            c = torch.stack([s[1] for s in state])[:, None]
            out, h, c = torch.lstm(x[None, None], (h, c), trans if prefix.startswith("transition") else cons,
                                   True, L, 0.0, False, False, False)
            self.macs += counts[prefix]
            return [(h[k, 0], c[k, 0]) for k in range(L)], out[0, 0]

        def scores(x):
            for k in range(base.c["num_output_layers"]):
                w = t[f"output_layers.{k}.weight"]
                x = torch.nn.functional.linear(torch.relu(x), w, t[f"output_layers.{k}.bias"])
                self.macs += w.numel()
            return x

        base.word_vectors, base.push, base.scores = word_vectors, push, scores

    def parse(self, words, tags):
        return self.base.parse(words, tags)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sentences", type=int, default=2000)
    parser.add_argument("--dir", default=str(BUILD / "bench_constituency"))
    parser.add_argument("--engine-run", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    directory = pathlib.Path(args.dir)
    if args.engine_run is not None:
        engine_run(directory, args.engine_run)
        return

    import torch
    model, sentences = build(directory, args.sentences)
    words = sum(len(s[0]) for s in sentences)
    print(f"{len(sentences)} sentences, {words} words")
    peak = gemm_peak()
    print(f"multiply-add peak of one core (2048^3 float32 product): {peak:.1f} GMAC/s")

    runs = {}
    for threads in (1, 0):
        command = [sys.executable, __file__, "--engine-run", str(threads), "--dir", str(directory)]
        env = dict(os.environ)
        if threads == 1:
            env.update(OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
        runs[threads] = json.loads(subprocess.run(command, check=True, capture_output=True, text=True,
                                                  env=env).stdout)

    torch.set_num_threads(1)
    reference = EagerReference(model.tensors, model.assets())
    start = time.perf_counter()
    expected = [reference.parse(w, t) for w, t in sentences]
    seconds = time.perf_counter() - start
    macs = reference.macs
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    for threads, run in runs.items():
        sure = [(g, e) for g, (e, m) in zip(run["trees"], expected) if m > 1e-4]
        print(f"engine parse_many, {run['threads']} thread(s){' (default)' if threads == 0 else ''}: "
              f"{len(sentences) / run['seconds']:,.1f} sentences/s, {macs / run['seconds'] / 1e9:.1f} GMAC/s "
              f"({macs / run['seconds'] / 1e9 / peak:.0%} of the peak), {run['seconds']:.2f} s; "
              f"peak RSS {run['peak_rss_mb']:.0f} MB ({run['rss_before_mb']:.0f} MB before the call); "
              f"trees equal to the reference where its margins exceed 1e-4: "
              f"{sum(g == e for g, e in sure)}/{len(sure)}")
    print(f"identical trees at 1 and default threads: {runs[1]['trees'] == runs[0]['trees']}")
    print(f"reference (eager PyTorch, transitions chosen in Python), 1 thread: "
          f"{len(sentences) / seconds:,.1f} sentences/s, {macs / seconds / 1e9:.1f} GMAC/s "
          f"({macs / seconds / 1e9 / peak:.0%} of the peak), {seconds:.2f} s; peak RSS {rss:.0f} MB")
    print(f"ratio engine/reference, 1 thread: {seconds / runs[1]['seconds']:.2f}x; "
          f"default threads/1 thread: {runs[1]['seconds'] / runs[0]['seconds']:.2f}x")
    print(f"load average: {load_average()} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
