"""LemmaProcessor: dictionary and model rules, refused bundles in check order (the seq2seq
model's included). Model lemmas meet the reference in test_pipeline.py."""
import functools

import torch

import _quelbin as q
import bundle_writer as bw
from conftest import check_refusals, edit_at, outcome
from model_bundles.lemma import constant_model, write_lemma_bundle
from model_bundles.seq2seq import random_model

LEMMA, SEQ2SEQ = q.LemmaModelError, q.Seq2SeqModelError
POS_DICT = {"VERB": {"running": "run", "Went": "go", "nulled": None},
            "NOUN": {"mice": "mouse", "blank": ""}, "*": {"nulled": "null"},
            "_": {"untagged": "tag"}}
CONSTANT = {  # name -> constant_model arguments, lemma bundle options
    "a 0": (dict(edit_class=0, text_unit="a"), {}), "b": (dict(text_unit="b"), {}),
    "a 1": (dict(edit_class=1, text_unit="a"), {}), "a 2": (dict(edit_class=2, text_unit="a"), {}),
    "<UNK> 0": (dict(edit_class=0, text_unit="<UNK>"), {}), "<EOS> 0": (dict(edit_class=0), {}),
    "c": (dict(text_unit="c"), {}), "c ensemble": (dict(text_unit="c"), dict(ensemble_dict=True)),
    "3 ensemble": (dict(edit_class=3, text_unit="a"), dict(ensemble_dict=True)),
    # The model gets the case-folded word, and "_" for an absent tag.
    "a 1 caseless": (dict(edit_class=1, text_unit="a"), dict(caseless=True)),
    "a 1 pos": (dict(edit_class=1, text_unit="a", pos=True), {}),
}
RULES = [  # bundle, word, tag -> lemma or error
    ("dict", "running", "VERB", "run"), ("dict", "running", None, "running"),
    ("dict", "nulled", "VERB", "null"), ("dict", "blank", "NOUN", "_"),
    ("dict", "untagged", None, "tag"), ("dict", "Running", "VERB", "Running"),
    ("dict", "", None, "_"), ("caseless", "Went", "VERB", "went"),
    ("caseless", "ÉTÉ", "VERB", "été"), ("config caseless", "MICE", "NOUN", "mouse"),
    ("a 0", "Xyz", None, "aaa"), ("b", "Xyz", None, "bbb"), ("a 1", "XyZ", None, "XyZ"),
    ("a 1", "", None, "_"), ("a 2", "ÀÉ", None, "àé"),
    # A lemma holding <UNK>, or an empty one, falls back to the word.
    ("<UNK> 0", "Xyz", None, "Xyz"), ("<EOS> 0", "Xyz", None, "Xyz"), ("<EOS> 0", "", None, "_"),
    ("c", "abc", None, "ccc"), ("c ensemble", "abc", None, "dict"),
    ("c ensemble", "abd", None, "ccc"), ("3 ensemble", "hit", None, "h"),
    ("3 ensemble", "word", None, (LEMMA, "seq2seq returned an unknown lemma edit class")),
    ("a 1 caseless", "XyZ", None, "xyz"), ("a 1 pos", "XyZ", None, "XyZ"),
]


def test_dictionary_and_model_rules(tmp_path):
    lemmatizers = {name: write_lemma_bundle(tmp_path / name, {"*": {"abc": "dict", "hit": "h"}},
                                            constant_model(**args), **options)
                   for name, (args, options) in CONSTANT.items()}
    # The top-level caseless key wins over the configuration's.
    for name, options in [("dict", {}), ("caseless", dict(caseless=True, config_caseless=False)),
                          ("config caseless", dict(config_caseless=True))]:
        lemmatizers[name] = write_lemma_bundle(tmp_path / name, POS_DICT, **options)
    lemmatizers = {name: q.LemmaProcessor(info.path) for name, info in lemmatizers.items()}
    for name, word, tag, expected in RULES:
        assert outcome(lambda: lemmatizers[name].lemmatize(word, tag)) == expected, (name, word)
    assert lemmatizers["dict"].requires == ["tokenize"]
    # A batch the dictionary settles whole reaches no model; a failing batch writes nothing.
    doc = q.Document.from_dict([[{"id": 1, "text": "running", "upos": "VERB"},
                                 {"id": 2, "text": "hit"}, {"id": 3, "text": "word"}]])
    assert outcome(lambda: lemmatizers["3 ensemble"].bulk_process([doc]))[0] is LEMMA
    assert [w.lemma for w in doc.iter_words()] == [None, None, None]
    lemmatized = lemmatizers["dict"].bulk_process([doc])[0]
    assert [w.lemma for w in lemmatized.iter_words()] == ["run", "hit", "word"]
    # One document at a time, the words before the failing one keep their lemmas.
    doc = q.Document.from_dict([[{"id": 1, "text": "hit"}, {"id": 2, "text": "word"}]])
    assert outcome(lambda: lemmatizers["3 ensemble"].process(doc)) == (
        LEMMA, "seq2seq returned an unknown lemma edit class")
    assert [w.lemma for w in doc.iter_words()] == ["h", None]
    # The POS flag adds the requirement, for a dictionary-only bundle too.
    tagged = write_lemma_bundle(tmp_path / "pos", POS_DICT, pos=True).path
    assert q.LemmaProcessor(tagged).requires == ["tokenize", "pos"]


config = functools.partial(edit_at, "config")
char_vocab = functools.partial(edit_at, "vocab", "char")


def drop(*names):
    return lambda b: [b["tensors"].pop(name) for name in names]


def rows(change, *names):
    """Drops the last row of each named tensor (change -1), or repeats it (change 1)."""
    def edit(b):
        for name in names:
            t = b["tensors"][name]
            b["tensors"][name] = t[:-1] if change < 0 else torch.cat([t, t[-1:]])
    return edit


DIMENSIONS = "invalid seq2seq dimensions in assets.config"
NO_POS = "the seq2seq config enables POS without a POS vocabulary"
RESERVED = " must begin with <PAD>, <UNK>, <SOS>, <EOS>"
OUTSIDE = "assets.vocab.char._unit2id maps 'b' to an id outside assets.vocab.char._id2unit"
REFUSALS = [  # edit of the bundle -> error class and message (None: it loads)
    (lambda b: b.update(processor="mwt", assets="{"), LEMMA, "expected a lemma bundle, got 'mwt'"),
    (lambda b: b.update(assets="{"), LEMMA, "expected object key at JSON byte 1"),
    (edit_at(config=KeyError), LEMMA, "missing JSON key 'config' at assets"),
    (config(pos="yes", caseless=0), LEMMA, "expected JSON boolean at assets.config.pos"),
    (edit_at(caseless=1), LEMMA, "expected JSON boolean at assets.caseless"),
    (config(caseless=0), LEMMA, "expected JSON boolean at assets.config.caseless"),
    (edit_at(pos_dict=KeyError), LEMMA, "missing JSON key 'pos_dict' at assets"),
    (edit_at(pos_dict=[]), LEMMA, "expected JSON object at assets.pos_dict"),
    (edit_at(pos_dict={"NOUN": "x"}), LEMMA, "expected JSON object at assets.pos_dict.NOUN"),
    (edit_at(pos_dict={"NOUN": {"a": 1}}), LEMMA, "expected JSON string at assets.pos_dict.NOUN"),
    # A configuration that is not an object reads every flag as false: the model is needed.
    (edit_at(config=[]), SEQ2SEQ, "expected JSON object at assets.config"),
    (edit_at(vocab=KeyError), SEQ2SEQ, "missing JSON key 'vocab' at assets"),
    (edit_at(vocab={"_id2unit": ["<PAD>", "<SOS>", "<UNK>", "<EOS>"], "_unit2id": {}}), SEQ2SEQ,
     "assets.vocab" + RESERVED),
    (char_vocab(_id2unit=["<PAD>", "<UNK>", "<SOS>"]), SEQ2SEQ, "assets.vocab.char" + RESERVED),
    (char_vocab(_id2unit=["<PAD>", "<UNK>", "<SOS>", "<EOS>", 5]), SEQ2SEQ,
     "expected JSON string at assets.vocab.char._id2unit[]"),
    (char_vocab(_unit2id=KeyError), SEQ2SEQ, "missing JSON key '_unit2id' at assets.vocab.char"),
    (char_vocab(_unit2id={"a": 1.5}), SEQ2SEQ,
     "expected JSON integer at assets.vocab.char._unit2id"),
    (char_vocab(_unit2id={"b": 7}), SEQ2SEQ, OUTSIDE),
    (char_vocab(_unit2id={"b": -1}), SEQ2SEQ, OUTSIDE),
    (edit_at("vocab", "pos", _id2unit=["<PAD>"]), SEQ2SEQ, "assets.vocab.pos" + RESERVED),
    (config(copy="yes", attn_type=KeyError), SEQ2SEQ,
     "expected JSON boolean at assets.config.copy"),
    (config(vocab_size="7"), SEQ2SEQ, "expected JSON integer at assets.config.vocab_size"),
    (config(attn_type=KeyError, charlm=True, hidden_dim=3), SEQ2SEQ,
     "missing JSON key 'attn_type' at assets.config"),
    (config(attn_type=1), SEQ2SEQ, "expected JSON string at assets.config.attn_type"),
    (config(attn_type="general", charlm=True), SEQ2SEQ,
     "native seq2seq inference currently supports soft attention"),
    (config(charlm=True, hidden_dim=3), SEQ2SEQ,
     "contextual character-LM seq2seq bundles are unsupported"),
    (config(vocab_size=8), SEQ2SEQ, DIMENSIONS), (config(emb_dim=0), SEQ2SEQ, DIMENSIONS),
    (config(hidden_dim=0), SEQ2SEQ, DIMENSIONS), (config(num_layers=KeyError), SEQ2SEQ, DIMENSIONS),
    (config(max_dec_len=0), SEQ2SEQ, DIMENSIONS), (config(beam_size=0), SEQ2SEQ, DIMENSIONS),
    (config(beam_size=1025), SEQ2SEQ, DIMENSIONS),
    (config(hidden_dim=2**62), SEQ2SEQ, DIMENSIONS),
    (config(num_layers=2**40), SEQ2SEQ, "missing seq2seq tensor: 'encoder.weight_ih_l2'"),
    (config(batch_size=0), SEQ2SEQ, DIMENSIONS),
    # With copy on, the projection must give exactly one row per vocabulary unit.
    (rows(-1, "dec2vocab.weight", "dec2vocab.bias"), SEQ2SEQ, DIMENSIONS),
    (rows(1, "dec2vocab.weight", "dec2vocab.bias"), SEQ2SEQ, DIMENSIONS),
    (lambda b: (config(copy=False)(b), rows(-1, "dec2vocab.weight", "dec2vocab.bias")(b)), None, None),
    (config(hidden_dim=3, pos_dim=0), SEQ2SEQ, DIMENSIONS),
    (config(pos_dim=0), SEQ2SEQ, NO_POS),
    (edit_at("vocab", pos=KeyError), SEQ2SEQ, NO_POS),
    (drop("encoder.bias_hh_l1_reverse"), SEQ2SEQ,
     "missing seq2seq tensor: 'encoder.bias_hh_l1_reverse'"),
    (drop("dec2vocab.bias", "embedding.weight"), SEQ2SEQ,
     "missing seq2seq tensor: 'embedding.weight'"),
    (drop("copy_gate.bias", "edit_clf.2.bias"), SEQ2SEQ,
     "missing seq2seq tensor: 'copy_gate.bias'"),
    (drop("pos_embedding.weight", "edit_clf.2.bias"), SEQ2SEQ,
     "missing seq2seq tensor: 'pos_embedding.weight'"),
    (drop("edit_clf.2.bias"), SEQ2SEQ, "missing seq2seq tensor: 'edit_clf.2.bias'"),
    (lambda b: b["tensors"].update(extra=bw.RawTensor("uint32", [2], bytes(8))), SEQ2SEQ,
     "ATen view does not support bundle dtype: uint32"),
    # Tensors of features that are off are not needed.
    (lambda b: (config(copy=False, edit=False, pos=False)(b), drop(
        "copy_gate.weight", "copy_gate.bias", "edit_clf.0.weight", "edit_clf.0.bias",
        "edit_clf.2.weight", "edit_clf.2.bias", "pos_embedding.weight")(b)), None, None),
]


def test_refused_bundles(tmp_path):
    base = random_model(7, chars=list("abc"), emb_dim=4, hidden_dim=4, num_layers=2, pos=True,
                        edit=True, copy=True)
    lemma_assets = dict(base.assets(), pos_dict={})
    lemma_assets["config"] = dict(base.config, dict_only=False, ensemble_dict=False)
    loads = check_refusals(tmp_path, REFUSALS, "lemma", lemma_assets, base.tensors,
                           lambda path: q.LemmaProcessor(path, verify_checksums=True))
    bw.flip_byte(loads / "tensors.bin", 0)  # a broken digest is the bundle's own error
    assert outcome(lambda: q.LemmaProcessor(loads, verify_checksums=True))[0] is q.ModelBundleError
