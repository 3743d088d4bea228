"""CoNLL-U text of a large annotated document: throughput of Document.to_conll.

Builds a document of --tokens one-word tokens in sentences of --sentence-length
tokens through the test-only extension, annotates every word (lemma, UPOS,
XPOS, features, head, relation; MISC and morphemes on every fifth word) through
the Python setters, then times to_conll and prints the size of the text, the
best and median time of --repeat runs and the throughput in MB/s (10^6 bytes of
output per second) and in tokens per second.

    .venv/bin/python bench/conll_write.py [--tokens 100000] [--sentence-length 20] [--repeat 7]
"""
import argparse
import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUELBIN_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))
sys.path.insert(0, str(BUILD / "tests" / "python"))

import _quelbin  # noqa: E402,F401  (registers the document classes)
import _quelbin_testing  # noqa: E402

UPOS = ["NOUN", "VERB", "ADJ", "ADP", "DET", "PRON", "PUNCT"]
FEATS = ["Number=Sing", "Number=Plur|Person=3", "Mood=Ind|Tense=Past|VerbForm=Fin", None]
RELATIONS = ["nsubj", "obj", "amod", "case", "det", "obl", "punct"]


def build_document(tokens, sentence_length):
    sentences = []
    for start in range(0, tokens, sentence_length):
        n = min(sentence_length, tokens - start)
        sentences.append([f"w{start + i}ord" for i in range(n)])
    text = " ".join(" ".join(s) for s in sentences)
    doc = _quelbin_testing.make_document(text, sentences)
    for sentence in doc.sentences:
        for position, word in enumerate(sentence.words):
            k = position % 7
            word.lemma = word.text[:-3]
            word.upos = UPOS[k]
            word.xpos = UPOS[k].lower()
            word.feats = FEATS[position % 4]
            word.head = 0 if position == 0 else 1
            word.deprel = "root" if position == 0 else RELATIONS[k]
            if position % 5 == 0:
                word.misc = "SpaceAfter=No"
                word.morphemes = ["w", word.text[1:]]
    return doc


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tokens", type=int, default=100_000)
    parser.add_argument("--sentence-length", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    doc = build_document(args.tokens, args.sentence_length)
    text = doc.to_conll()  # warm-up
    size = len(text.encode("utf-8"))
    times = []
    for _ in range(args.repeat):
        begin = time.perf_counter()
        doc.to_conll()
        times.append(time.perf_counter() - begin)
    best, median = min(times), statistics.median(times)
    print(f"document: {doc.num_tokens} tokens, {len(doc.sentences)} sentences, "
          f"CoNLL-U text {size / 1e6:.2f} MB")
    print(f"to_conll: best {best * 1e3:.1f} ms, median {median * 1e3:.1f} ms")
    print(f"throughput: {size / best / 1e6:.1f} MB/s best, {size / median / 1e6:.1f} MB/s median, "
          f"{doc.num_tokens / median / 1e6:.2f} M tokens/s median")


if __name__ == "__main__":
    main()
