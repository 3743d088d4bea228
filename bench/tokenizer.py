"""Tokenizer speed: the engine at several thread counts against the eager
PyTorch reference.

Writes a tokenizer bundle of realistic size (embedding 32, hidden 64, the five
standard features plus the multi-word head; random weights) and about 1 MB of
mixed English text into --dir, then

* runs build/bench/tokenizer_bench (TokenizerPlan::process over the whole text
  as one document and process_bulk over it cut into ~2000-character
  documents) with 1, 2, 4 and 8 ATen threads (--threads; ATen's default count
  is added when not among them), each in its own process for a clean peak
  memory, and the features alone on one thread;
* runs Python threads 1, 2, 4 and 8, each calling TokenizeProcessor.bulk_process
  on its share of the documents, with one ATen thread;
* with --background-load, runs both again with one busy process per core
  (started and ended by the benchmark);
* runs tests/reference/tokenizer.py (paragraphs, features, windowed network,
  labels and tokens in eager PyTorch) over the same text with one thread;

and prints characters per second (each the best of --repeat runs) with the
ratio to one thread, the load average, the engine/reference ratio and peak
memory; then --rounds rounds of one engine process() run (1 thread) and one
reference run back to back, and the median, lowest and highest of their ratios.

    .venv/bin/python bench/tokenizer.py [--size 1000000] [--dir build/bench_tokenizer] [--repeat 2]
                                        [--rounds 3] [--threads 1,2,4,8] [--background-load]
                                        [--skip-reference]
"""
import argparse
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests"))

from model_bundles.tokenizer import write_tokenizer_bundle  # noqa: E402
from reference.tokenizer import ReferenceTokenizer, mixed_english_text  # noqa: E402

sys.path.insert(0, str(ROOT / "bench"))
import thread_sweep  # noqa: E402


def cut_documents(text: str) -> list:
    """The text cut into documents of about 2000 characters at paragraph breaks, as tokenizer_bench cuts it."""
    documents, start = [], 0
    while start < len(text):
        end = text.find("\n\n", min(len(text), start + 2000))
        end = len(text) if end < 0 else end + 2
        documents.append(text[start:end])
        start = end
    return documents


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--dir", default=str(BUILD / "bench_tokenizer"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-reference", action="store_true")
    parser.add_argument("--threads", default=",".join(map(str, thread_sweep.THREAD_COUNTS)))
    parser.add_argument("--background-load", action="store_true",
                        help="also run every thread count beside one busy process per core")
    args = parser.parse_args()

    directory = pathlib.Path(args.dir)
    bundle = directory / "bundle"
    write_tokenizer_bundle(bundle, seed=4, scale=0.3, head_scale=10.0, emb_dim=32, hidden_dim=64,
                           use_mwt=True)
    text = mixed_english_text(args.size, seed=1)
    text_file = directory / "text.txt"
    text_file.write_text(text, encoding="utf-8")
    print(f"text: {len(text)} characters, {len(text.encode())} bytes, "
          f"{text.count(chr(10) + chr(10))} blank lines")

    def run_engine(threads, repeat, only=None):
        command = [str(BUILD / "bench" / "tokenizer_bench"), str(bundle), str(text_file), str(threads),
                   str(repeat)] + ([only] if only else [])
        return json.loads(subprocess.run(command, check=True, capture_output=True, text=True,
                                         env=thread_sweep.thread_env()).stdout)

    default = run_engine(0, 1, "none")["threads"]
    counts = sorted(set(int(t) for t in args.threads.split(",")) | {1, default})
    documents = cut_documents(text)
    engine = {}
    for condition, loaded in thread_sweep.conditions(args.background_load):
        with thread_sweep.background_load(loaded):
            print(f"{condition}, load average at start {thread_sweep.load_average()}:")
            rates = {}
            for threads in counts:
                result = run_engine(threads, args.repeat, "process,bulk")
                rates[threads] = {"process": result["process_chars_per_s"], "process_bulk": result["bulk_chars_per_s"]}
                if not loaded:
                    engine[threads] = result
            thread_sweep.print_sweep("engine", rates, default, "chars/s")
            python = thread_sweep.python_threads(BUILD / "python", "TokenizeProcessor", bundle, documents, False,
                                                 len(text), args.repeat)
            thread_sweep.print_python_threads(python, "chars/s")
            print(f"  load average at end {thread_sweep.load_average()}")

    features = run_engine(1, args.repeat, "features")["features_chars_per_s"]
    for threads in (1, default):
        result = engine[threads]
        print(f"engine, {threads} thread{'s' if threads > 1 else ''}: peak RSS {result['peak_rss_mb']:.0f} MB, "
              f"{result['tokens']} tokens ({result['bulk_tokens']} in {result['bulk_documents']} documents)")
    print(f"features alone, 1 thread: {features:,.0f} chars/s")

    if args.skip_reference:
        return
    import torch
    torch.set_num_threads(1)
    reference = ReferenceTokenizer(bundle)

    def run_reference():
        start = time.perf_counter()
        sentences = reference.tokenize(text)
        return len(text) / (time.perf_counter() - start), sum(len(s) for s in sentences)

    rate, tokens = run_reference()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # after one run, as for a user
    for _ in range(args.repeat - 1):  # best of --repeat, as for the engine
        rate = max(rate, run_reference()[0])
    print(f"reference (eager PyTorch), 1 thread: {rate:,.0f} chars/s, {tokens} tokens, "
          f"peak RSS {peak:.0f} MB")
    print(f"ratio engine/reference, 1 thread: process {engine[1]['process_chars_per_s'] / rate:.2f}x, "
          f"process_bulk {engine[1]['bulk_chars_per_s'] / rate:.2f}x")
    if tokens != engine[1]["tokens"]:
        print(f"note: token counts differ ({engine[1]['tokens']} engine, {tokens} reference)")

    # On a shared machine the speed drifts over minutes; rounds that run the two
    # back to back give ratios that drift less.
    ratios = []
    for _ in range(args.rounds):
        engine_rate = run_engine(1, 1, "process")["process_chars_per_s"]
        ratios.append(engine_rate / run_reference()[0])
    if ratios:
        print(f"process ratio in {len(ratios)} back-to-back rounds, 1 thread: "
              f"median {statistics.median(ratios):.2f}x, lowest {min(ratios):.2f}x, "
              f"highest {max(ratios):.2f}x")


if __name__ == "__main__":
    main()
