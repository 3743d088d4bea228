"""The lemmatizer through LemmaProcessor: dictionary and model rules, the eager
reference, and refused bundles in the order of the loader's checks (the sequence-to-
sequence model's own checks included)."""
import copy
import random

import _quelbin as q
import bundle_writer as bw
from conftest import outcome
from model_bundles.lemma import constant_model, write_lemma_bundle
from model_bundles.seq2seq import random_model
from reference.lemma import LemmaReference
from reference.seq2seq import Seq2SeqReference

POS_DICT = {"VERB": {"running": "run", "Went": "go", "nulled": None},
            "NOUN": {"mice": "mouse", "blank": ""}, "*": {"nulled": "null"}, "_": {"untagged": "tag"}}
UNKNOWN_CLASS = (q.LemmaModelError, "seq2seq returned an unknown lemma edit class")

# bundle -> the arguments of write_lemma_bundle after the directory
BUNDLES = {
    "dict": lambda: dict(pos_dict=POS_DICT),
    # The top-level key wins over the configuration's.
    "caseless": lambda: dict(pos_dict=POS_DICT, caseless=True, config_caseless=False),
    "config caseless": lambda: dict(pos_dict=POS_DICT, config_caseless=True),
    "a, class 0": lambda: dict(pos_dict={}, model=constant_model(edit_class=0, text_unit="a")),
    "b, no classes": lambda: dict(pos_dict={}, model=constant_model(text_unit="b")),
    "a, class 1": lambda: dict(pos_dict={}, model=constant_model(edit_class=1, text_unit="a")),
    "a, class 2": lambda: dict(pos_dict={}, model=constant_model(edit_class=2, text_unit="a")),
    "<UNK>": lambda: dict(pos_dict={}, model=constant_model(edit_class=0, text_unit="<UNK>")),
    "<EOS>": lambda: dict(pos_dict={}, model=constant_model(edit_class=0)),
    "c": lambda: dict(pos_dict={"*": {"abc": "dict"}}, model=constant_model(text_unit="c")),
    "c, ensemble": lambda: dict(pos_dict={"*": {"abc": "dict"}}, model=constant_model(text_unit="c"),
                                ensemble_dict=True),
    "class 3, ensemble": lambda: dict(pos_dict={"*": {"hit": "h"}}, ensemble_dict=True,
                                      model=constant_model(edit_class=3, text_unit="a")),
}
RULES = [  # bundle, word, tag, lemma or error
    ("dict", "running", "VERB", "run"), ("dict", "running", None, "running"),
    ("dict", "nulled", "VERB", "null"), ("dict", "blank", "NOUN", "_"),
    ("dict", "untagged", None, "tag"), ("dict", "Running", "VERB", "Running"), ("dict", "", None, "_"),
    ("caseless", "Went", "VERB", "went"), ("caseless", "ÉTÉ", "NOUN", "été"),
    ("config caseless", "MICE", "NOUN", "mouse"),
    ("a, class 0", "Xyz", None, "aaa"), ("b, no classes", "Xyz", None, "bbb"),
    ("a, class 1", "XyZ", None, "XyZ"), ("a, class 1", "", None, "_"),
    ("a, class 2", "ÀÉ", None, "àé"),
    # A lemma holding <UNK>, or an empty one, falls back to the word.
    ("<UNK>", "Xyz", None, "Xyz"), ("<EOS>", "Xyz", None, "Xyz"), ("<EOS>", "", None, "_"),
    ("c", "abc", None, "ccc"),
    ("c, ensemble", "abc", None, "dict"), ("c, ensemble", "abd", None, "ccc"),
    ("class 3, ensemble", "hit", None, "h"), ("class 3, ensemble", "word", None, UNKNOWN_CLASS),
]


def test_dictionary_and_model_rules(tmp_path):
    processors = {}
    for name, args in BUNDLES.items():
        processors[name] = q.LemmaProcessor(write_lemma_bundle(tmp_path / name, **args()).path)
    for name, word, tag, expected in RULES:
        assert outcome(lambda: processors[name].lemmatize(word, tag)) == expected, (name, word, tag)
    plain = processors["dict"]
    assert (plain.requires, plain.bundle_path) == (["tokenize"], (tmp_path / "dict").resolve())
    # The POS flag adds the requirement, for a dictionary-only bundle too.
    tagged = write_lemma_bundle(tmp_path / "pos", POS_DICT, pos=True).path
    assert q.LemmaProcessor(tagged).requires == ["tokenize", "pos"]


def test_model_matches_reference(tmp_path):
    rng = random.Random(21)
    checked = 0
    for seed in range(8):
        config = dict(pos=seed % 2 == 0, edit=seed % 3 == 0, copy=seed % 2 == 1,
                      beam_size=1 if seed < 5 else 3, num_layers=1 + seed % 2, max_dec_len=8)
        model = random_model(700 + seed, chars=list("abcdeéßst"), **config)
        pos_dict = {"NOUN": {"abc": "ABC"}, "*": {"st": "ST"}}
        flags = dict(ensemble_dict=seed % 4 == 1, caseless=seed % 4 == 2)
        lemmatizer = q.LemmaProcessor(write_lemma_bundle(tmp_path / str(seed), pos_dict, model, **flags).path)
        ref = LemmaReference(pos_dict, seq2seq=Seq2SeqReference(
            model.tensors, model.config, model.char_vocab, model.pos_vocab), **flags)
        words = ["", "abc", "st", "ABC"] + ["".join(rng.choice("abcdeéßstXQ") for _ in range(rng.randint(1, 8)))
                                            for _ in range(20)]
        tags = [rng.choice(["NOUN", "VERB", None, "ZZZ"]) for _ in words]
        for word, tag, lemma, margin in zip(words, tags, *ref.lemmas(words, tags)):
            if margin > 1e-4:
                assert lemmatizer.lemmatize(word, tag) == lemma, (seed, word, tag)
                checked += 1
    assert checked > 150


BASE = random_model(7, chars=list("abc"), emb_dim=4, hidden_dim=4, num_layers=2, pos=True, edit=True,
                    copy=True)


def config(**changes):
    return lambda b: [b["assets"]["config"].pop(k) if v is KeyError else b["assets"]["config"].update({k: v})
                      for k, v in changes.items()]


def char_vocab(**changes):
    return lambda b: b["assets"]["vocab"]["char"].update(changes)


def drop(*names):
    return lambda b: [b["tensors"].pop(name) for name in names]


LOADER, SEQ2SEQ, INVALID = q.LemmaModelError, q.Seq2SeqModelError, "invalid seq2seq dimensions in assets.config"
# Edit of the bundle {"processor", "assets", "tensors"} -> error class and message; None loads.
REFUSALS = [
    (lambda b: b.update(processor="mwt", assets="{"), LOADER, "expected a lemma bundle, got 'mwt'"),
    (lambda b: b.update(assets="{"), LOADER, "expected object key at JSON byte 1"),
    (lambda b: b["assets"].pop("config"), LOADER, "missing JSON key 'config' at assets"),
    (config(pos="yes", caseless=0), LOADER, "expected JSON boolean at assets.config.pos"),
    (lambda b: b["assets"].update(caseless=1), LOADER, "expected JSON boolean at assets.caseless"),
    (config(caseless=0), LOADER, "expected JSON boolean at assets.config.caseless"),
    (lambda b: b["assets"].pop("pos_dict"), LOADER, "missing JSON key 'pos_dict' at assets"),
    (lambda b: b["assets"].update(pos_dict=[]), LOADER, "expected JSON object at assets.pos_dict"),
    (lambda b: b["assets"].update(pos_dict={"NOUN": "x"}), LOADER, "expected JSON object at assets.pos_dict.NOUN"),
    (lambda b: b["assets"].update(pos_dict={"NOUN": {"a": 1}}), LOADER,
     "expected JSON string at assets.pos_dict.NOUN"),
    # A configuration that is not an object reads every flag as false: the model is needed.
    (lambda b: b["assets"].update(config=[]), SEQ2SEQ, "expected JSON object at assets.config"),
    (lambda b: b["assets"].pop("vocab"), SEQ2SEQ, "missing JSON key 'vocab' at assets"),
    (lambda b: b["assets"].update(vocab={"_id2unit": ["<PAD>", "<SOS>", "<UNK>", "<EOS>"], "_unit2id": {}}),
     SEQ2SEQ, "assets.vocab must begin with <PAD>, <UNK>, <SOS>, <EOS>"),
    (char_vocab(_id2unit=["<PAD>", "<SOS>", "<UNK>", "<EOS>", "a", "b", "c"]), SEQ2SEQ,
     "assets.vocab.char must begin with <PAD>, <UNK>, <SOS>, <EOS>"),
    (char_vocab(_id2unit=["<PAD>", "<UNK>", "<SOS>"]), SEQ2SEQ,
     "assets.vocab.char must begin with <PAD>, <UNK>, <SOS>, <EOS>"),
    (char_vocab(_id2unit=["<PAD>", "<UNK>", "<SOS>", "<EOS>", 5]), SEQ2SEQ,
     "expected JSON string at assets.vocab.char._id2unit[]"),
    (lambda b: b["assets"]["vocab"]["char"].pop("_unit2id"), SEQ2SEQ,
     "missing JSON key '_unit2id' at assets.vocab.char"),
    (char_vocab(_unit2id={"a": 1.5}), SEQ2SEQ, "expected JSON integer at assets.vocab.char._unit2id"),
    (char_vocab(_unit2id={"b": 7}), SEQ2SEQ,
     "assets.vocab.char._unit2id maps 'b' to an id outside assets.vocab.char._id2unit"),
    (char_vocab(_unit2id={"b": -1}), SEQ2SEQ,
     "assets.vocab.char._unit2id maps 'b' to an id outside assets.vocab.char._id2unit"),
    (lambda b: b["assets"]["vocab"]["pos"].update(_id2unit=["<PAD>"]), SEQ2SEQ,
     "assets.vocab.pos must begin with <PAD>, <UNK>, <SOS>, <EOS>"),
    (config(copy="yes", attn_type=KeyError), SEQ2SEQ, "expected JSON boolean at assets.config.copy"),
    (config(vocab_size="7"), SEQ2SEQ, "expected JSON integer at assets.config.vocab_size"),
    (config(attn_type=KeyError, charlm=True, hidden_dim=3), SEQ2SEQ,
     "missing JSON key 'attn_type' at assets.config"),
    (config(attn_type=1), SEQ2SEQ, "expected JSON string at assets.config.attn_type"),
    (config(attn_type="general", charlm=True), SEQ2SEQ,
     "native seq2seq inference currently supports soft attention"),
    (config(charlm=True, hidden_dim=3), SEQ2SEQ, "contextual character-LM seq2seq bundles are unsupported"),
    (config(vocab_size=8), SEQ2SEQ, INVALID), (config(emb_dim=0), SEQ2SEQ, INVALID),
    (config(hidden_dim=0), SEQ2SEQ, INVALID), (config(num_layers=KeyError), SEQ2SEQ, INVALID),
    (config(max_dec_len=0), SEQ2SEQ, INVALID), (config(beam_size=0), SEQ2SEQ, INVALID),
    (config(batch_size=0), SEQ2SEQ, INVALID), (config(hidden_dim=3, pos_dim=0), SEQ2SEQ, INVALID),
    (config(pos_dim=0), SEQ2SEQ, "the seq2seq config enables POS without a POS vocabulary"),
    (lambda b: b["assets"]["vocab"].pop("pos"), SEQ2SEQ,
     "the seq2seq config enables POS without a POS vocabulary"),
    (drop("encoder.bias_hh_l1_reverse"), SEQ2SEQ, "missing seq2seq tensor: 'encoder.bias_hh_l1_reverse'"),
    (drop("dec2vocab.bias", "embedding.weight"), SEQ2SEQ, "missing seq2seq tensor: 'embedding.weight'"),
    (drop("copy_gate.bias", "edit_clf.2.bias"), SEQ2SEQ, "missing seq2seq tensor: 'copy_gate.bias'"),
    (drop("pos_embedding.weight", "edit_clf.2.bias"), SEQ2SEQ, "missing seq2seq tensor: 'pos_embedding.weight'"),
    (drop("edit_clf.2.bias"), SEQ2SEQ, "missing seq2seq tensor: 'edit_clf.2.bias'"),
    (lambda b: b["tensors"].update(extra=bw.RawTensor("uint32", [2], bytes(8))), SEQ2SEQ,
     "ATen view does not support bundle dtype: uint32"),
    # Tensors of features that are off are not needed.
    (lambda b: (config(copy=False, edit=False, pos=False)(b),
                drop("copy_gate.weight", "copy_gate.bias", "edit_clf.0.weight", "edit_clf.0.bias",
                     "edit_clf.2.weight", "edit_clf.2.bias", "pos_embedding.weight")(b)), None, None),
]


def test_refused_bundles(tmp_path):
    for i, (edit, error, message) in enumerate(REFUSALS):
        assets = copy.deepcopy(BASE.assets())
        assets.update(config=dict(assets["config"], dict_only=False, ensemble_dict=False), pos_dict={})
        bundle = {"processor": "lemma", "assets": assets, "tensors": dict(BASE.tensors)}
        edit(bundle)
        bw.write_bundle(tmp_path / str(i), bundle["processor"], bundle["tensors"], bundle["assets"])
        got = outcome(lambda: q.LemmaProcessor(tmp_path / str(i), verify_checksums=True))
        assert (got if error else type(got)) == ((error, message) if error else q.LemmaProcessor), (i, message)
    # A broken digest is the bundle's own error.
    loads = tmp_path / str(len(REFUSALS) - 1)
    bw.flip_byte(loads / "tensors.bin", 0)
    assert outcome(lambda: q.LemmaProcessor(loads, verify_checksums=True))[0] is q.ModelBundleError
