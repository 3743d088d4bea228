"""Writes the seed corpora tests/fuzz/corpus/<target>/ from the fuzz fixture bundles and a few
hand-made inputs. Rerun when the bundle writers change; the regression replay feeds every seed
through its target, so stale seeds show up as failures there."""
import json
import pathlib
import shutil
import struct
import sys
import tempfile

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent
sys.path.insert(0, str(TESTS))

from bundle_writer import write_bundle  # noqa: E402
from model_bundles.transformer import byte_symbols  # noqa: E402

SEP = b"\n====\n"
LOADERS = ["tokenize", "mwt", "lemma", "pos", "depparse", "ner", "sentiment", "constituency",
           "langid", "morphseg", "charlm", "coref"]


def parts(*pieces) -> bytes:
    return SEP.join(p.encode() if isinstance(p, str) else p for p in pieces)


def charsmap(rules: dict) -> bytes:
    """A double-array trie of replacement rules: children at base XOR label, the value unit at
    base, the unit leading into a node carrying base XOR its own index."""
    units, used, taken, pool, value_of = [0], [True], set(), b"", {}
    for key, replacement in sorted(rules.items()):
        value_of[key] = len(pool)
        pool += replacement + b"\0"

    def take(i, unit):
        while i >= len(units):
            units.append(0)
            used.append(False)
        units[i], used[i] = unit, True

    def place(prefix: bytes, parent: int):
        labels = sorted({k[len(prefix)] for k in rules if len(k) > len(prefix) and k.startswith(prefix)})
        has_value = bool(prefix) and prefix in rules
        base = 1
        while (base in taken or (has_value and base < len(used) and used[base])
               or any((base ^ c) == 0 or ((base ^ c) < len(used) and used[base ^ c]) for c in labels)):
            base += 1
        taken.add(base)
        label = prefix[-1] if prefix else 0
        units[parent] = ((parent ^ base) << 10) | label | (0x100 if has_value else 0)
        if has_value:
            take(base, 0x80000000 | value_of[prefix])
        for c in labels:
            take(base ^ c, c)
        for c in labels:
            place(prefix + bytes([c]), base ^ c)

    place(b"", 0)
    return struct.pack(f"<I{len(units)}I", len(units) * 4, *units) + pool


def seeds(bundles: pathlib.Path) -> dict:
    out = {}
    lemma = bundles / "lemma"
    out["loader_seq2seq"] = {"working": parts((lemma / "assets.json").read_bytes(), "")}
    for kind in LOADERS:
        base = bundles / kind
        tensors = json.loads((base / "manifest.json").read_text())["tensors"]
        out[f"loader_{kind}"] = {"working": parts((base / "assets.json").read_bytes(),
                                                  json.dumps(tensors, separators=(",", ":"))),
                                 "assets_only": parts((base / "assets.json").read_bytes(), "")}
    # Models that load but hold ids or sizes their tensors do not have: their
    # first run fails with ATen's error (or a network's own index check).
    for kind, path, value, name in [("tokenize", ("config", "hidden_dim"), 7, "hidden_dim_disagrees"),
                                    ("mwt", ("config", "hidden_dim"), 8, "hidden_dim_disagrees"),
                                    ("pos", ("vocab", "char", "_unit2id", "'"), 1000, "char_id_beyond_table"),
                                    ("depparse", ("vocab", "char", "_unit2id", "'"), 1000, "char_id_beyond_table"),
                                    ("sentiment", ("pretrain_vocab", "_unit2id", "bark"), 1000,
                                     "word_id_beyond_table")]:
        assets = json.loads((bundles / kind / "assets.json").read_bytes())
        target = assets
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
        out[f"loader_{kind}"][name] = parts(json.dumps(assets), "")
    out["loader_charlm"]["empty"] = b""
    index = (bundles / "index.json").read_text()
    out["model_index"] = {
        "syntax": parts("tokenize,mwt,pos,lemma,depparse;default", index),
        "extended": parts("tokenize,ner,sentiment,pos,constituency;default", index),
        "langid": parts("langid,tokenize,morphseg;default", index),
        "coref": parts("tokenize,coref;default", index),
        "unknown_package": parts("tokenize;other", index),
    }
    with tempfile.TemporaryDirectory() as tmp:
        info = write_bundle(pathlib.Path(tmp) / "b", "pos", {
            "w": np.arange(6, dtype="float32").reshape(2, 3),
            "ids": np.array([1, 2, 3], dtype="int64")},
            {"config": {"x": 1}}, artifacts={"extra.bin": b"artifact bytes"})
        d = info.path
        out["model_bundle"] = {"verified": parts(*((d / n).read_bytes() for n in
                                                   ("manifest.json", "assets.json", "tensors.bin", "extra.bin")))}
    out["json"] = {"object": b'{"config": {"batch_size": 32, "use_crf": true, "lr": 1e-3}, "v": {"a": 1}}\n',
                   "array": '[1, -2.5E+3, "x\\u00e9\\ud83d\\ude00\\n", null, [[], {}], false, 0, -0.0]\n'.encode()}
    out["tokenize_text"] = {
        "mixed": "Mr. Smith paid $5,000.50 on 12/31/2020 (555) 123-4567.\nCall x1234 or write to "
                 "john.doe@example.com, see https://www.example.org/a?b=c and www.site.org.\n\n"
                 "Name: Café naïve don't — 東京 😀\u00a0end".encode(),
        "paragraphs": b"One.\n\n\nTwo words here!\r\n\r\nJanuary 5, 2021 was cold.  \t \n",
    }
    out["wordpiece"] = {"plain": b"\x07" + parts("doggy\n##ly", "The\nunaffable\nDOGGY!\ncaf\xc3\xa9s\n\xe6\x9d\xb1x"),
                        "short_words": b"\x1b" + parts("", "unaffable\nthe\n")}
    syms = byte_symbols()
    out["byte_bpe"] = {"merges": b"\x05" + parts("h e\nhe l\nhel lo\n\xc4\xa0 w", "", "hello world\nhe's\n\xf0\x9f\x98\x80"),
                       "strict": b"\x02" + parts("h e", "he", "hello")}
    assert "\u0120" in syms
    cm = charsmap({b"A": b"a", b"\xef\xbc\xa1": b"a", b"-": b""})
    out["unigram"] = {"charsmap": b"\x03" + parts(cm, "\u2581a\t-1.5\n\u2581ab\t-2\nb\t-3\n\u2581\t-4",
                                                  "Ab-ab\nAAA\n\xef\xbc\xa1b"),
                      "empty_map": b"\x03" + parts(b"\0\0\0\0", "\u2581x\t-1", "x y")}
    out["dict_form"] = {
        "words": json.dumps({"text": "Don't go.", "sentences": [[
            {"id": [1, 2], "text": "Don't", "start_char": 0, "end_char": 5},
            {"id": 1, "text": "Do", "lemma": "do", "upos": "AUX", "head": 3},
            {"id": 2, "text": "n't", "upos": "PART", "head": 1},
            {"id": 3, "text": "go", "upos": "VERB", "head": 0, "deprel": "root", "misc": "SpaceAfter=No"},
            {"id": [3, 1], "text": "gone"},
            {"id": 4, "text": ".", "upos": "PUNCT", "head": 3, "misc": "SpacesAfter=\\n\\s"}]]}).encode(),
        "plain": json.dumps([[{"id": 1, "text": "a", "feats": "X=Y", "ner": "B-PER", "multi_ner": ["O"]}],
                             [{"id": 1, "text": "b", "manual_expansion": True}]]).encode(),
    }
    return out


def main():
    """Reads the bundles the fixture writer put in <fixtures>/fuzz (argument; default
    build/fixtures, written by `ctest -R make_fixtures`)."""
    fixtures = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else TESTS.parent / "build" / "fixtures"
    for target, files in seeds(fixtures / "fuzz" / "models" / "1.14.0" / "en").items():
        directory = HERE / "corpus" / target
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for name, data in files.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
