"""Reading the dictionary form: throughput of Document.from_dict.

Builds the dictionary form of --sentences sentences of --sentence-length
one-word tokens, every word fully annotated (lemma, UPOS, XPOS, features, head,
relation, offsets; NER on every token; SpaceAfter=No on every tenth word and a
multi-word token in every fifth sentence), then times Document.from_dict over
it and prints the best and median time of --repeat runs and the throughput in
sentences and words per second. The time of to_dict on the result is printed
alongside for comparison.

    .venv/bin/python bench/from_dict.py [--sentences 10000] [--sentence-length 20] [--repeat 7]
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
FEATS = ["Number=Sing", "Number=Plur|Person=3", "Mood=Ind|Tense=Past|VerbForm=Fin", None]
RELATIONS = ["nsubj", "obj", "amod", "case", "det", "obl", "punct"]


def build_form(sentences, length):
    form, offset = [], 0
    for s in range(sentences):
        entries = []
        for i in range(length):
            n = s * length + i
            text = f"w{n}ord"
            if s % 5 == 0 and i == 1:
                entries.append({"id": (2, 3), "text": "del", "start_char": offset,
                                "end_char": offset + 3})
                entries.append({"id": 2, "text": "de", "lemma": "de", "upos": "ADP", "head": 1,
                                "deprel": "case"})
                entries.append({"id": 3, "text": "el", "lemma": "el", "upos": "DET", "head": 1,
                                "deprel": "det"})
                offset += 4
                continue
            word_id = i + 1 if not (s % 5 == 0 and i > 1) else i + 2
            entry = {"id": word_id, "text": text, "lemma": text.lower(), "upos": UPOS[n % 7],
                     "xpos": UPOS[(n + 3) % 7], "head": 0 if i == 0 else i, "deprel": RELATIONS[n % 7],
                     "start_char": offset, "end_char": offset + len(text), "ner": "O"}
            feats = FEATS[n % 4]
            if feats:
                entry["feats"] = feats
            if n % 10 == 9:
                entry["misc"] = "SpaceAfter=No"
            entries.append(entry)
            offset += len(text) + 1
        form.append(entries)
    return form


def timed(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return result, min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sentences", type=int, default=10000)
    parser.add_argument("--sentence-length", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    form = build_form(args.sentences, args.sentence_length)
    doc, best, median = timed(lambda: _quelbin.Document.from_dict(form), args.repeat)
    words = doc.num_words
    print(f"from_dict: {args.sentences} sentences, {words} words, {doc.num_tokens} tokens")
    print(f"  best {best * 1e3:.1f} ms, median {median * 1e3:.1f} ms")
    print(f"  {args.sentences / best:,.0f} sentences/s, {words / best:,.0f} words/s (best)")
    _, best_out, median_out = timed(doc.to_dict, args.repeat)
    print(f"to_dict:   best {best_out * 1e3:.1f} ms, median {median_out * 1e3:.1f} ms, "
          f"{args.sentences / best_out:,.0f} sentences/s (best)")


if __name__ == "__main__":
    main()
