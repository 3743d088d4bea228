"""Reading a document through its views from Python.

Builds one document of --words words (sentences of 20 one-word tokens, each word with
its UPOS) and times, best and median of --repeat runs:

* words: iterating the document's words (`iter_words`) and reading `text` and `upos`
  of each;
* by sentence: the same through `sentences` and each sentence's `words`;
* setters: setting `upos` of every word through the document's words.

The pure view-read loops cost a few attribute calls per word, so the benchmark shows
what every binding entry point adds to each call.

    .venv/bin/python bench/view_reads.py [--words 1000000] [--repeat 7]
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

import _quelbin  # noqa: E402

UPOS = ["NOUN", "VERB", "ADJ", "ADP", "DET", "PRON", "PUNCT"]
LENGTH = 20


def build(words):
    sentences = []
    for s in range((words + LENGTH - 1) // LENGTH):
        count = min(LENGTH, words - s * LENGTH)
        sentences.append([{"id": i + 1, "text": f"w{s * LENGTH + i}", "upos": UPOS[i % len(UPOS)]}
                          for i in range(count)])
    return _quelbin.Document.from_dict(sentences)


def read_words(doc):
    n = 0
    for w in doc.iter_words():
        w.text
        w.upos
        n += 1
    return n


def read_by_sentence(doc):
    n = 0
    for s in doc.sentences:
        for w in s.words:
            w.text
            w.upos
            n += 1
    return n


def set_upos(doc):
    n = 0
    for w in doc.iter_words():
        w.upos = "X"
        n += 1
    return n


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    doc = build(args.words)
    assert doc.num_words == args.words
    print(f"{args.words} words in {doc.sentences.__len__()} sentences; {args.repeat} runs each")
    for name, loop in (("words: text and upos", read_words), ("by sentence: text and upos", read_by_sentence),
                       ("setters: upos", set_upos)):
        times = []
        for _ in range(args.repeat):
            start = time.perf_counter()
            assert loop(doc) == args.words
            times.append(time.perf_counter() - start)
        best, median = min(times), statistics.median(times)
        print(f"{name}: best {best:.3f} s, median {median:.3f} s, "
              f"{args.words / median / 1e6:.2f} M words/s (median)")
    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
