"""Writes an assets-like JSON file of about SIZE_MB megabytes: a small
configuration, label tables and one large vocabulary object (word -> id) in id
order, with accented and non-Latin words as real vocabularies have.
Usage: make_assets.py OUT [SIZE_MB]"""
import json
import random
import sys


def main():
    out = sys.argv[1]
    target = int(float(sys.argv[2]) * 1e6) if len(sys.argv) > 2 else 50_000_000
    rng = random.Random(5)
    letters = "abcdefghijklmnopqrstuvwxyz" * 4 + "éèàüößçñøåæœšžł" + "αβγδεζηθ" + "абвгдеж" + "中文字"
    vocab = {}
    size = 0
    while size < target:
        word = "".join(rng.choice(letters) for _ in range(rng.randint(2, 14)))
        if rng.random() < 0.05:
            word = word.capitalize()
        if word in vocab:
            continue
        vocab[word] = len(vocab)
        size += len(word.encode()) + len(str(len(vocab))) + 6
    assets = {
        "config": {"batch_size": 32, "dropout": 0.33, "use_crf": True, "hidden_dim": 400,
                   "char_emb_dim": 100, "lr": 1e-3},
        "labels": {"upos": ["ADJ", "ADP", "ADV", "AUX", "CCONJ", "DET", "INTJ", "NOUN", "NUM",
                            "PART", "PRON", "PROPN", "PUNCT", "SCONJ", "SYM", "VERB", "X"]},
        "vocab": vocab,
    }
    with open(out, "w", encoding="utf-8") as f:
        json.dump(assets, f, ensure_ascii=False)


if __name__ == "__main__":
    main()
