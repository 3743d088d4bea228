import random

import pytest

import _quelbin as q
import bundle_writer as bw
from model_bundles.lemma import constant_model, lemma_assets, write_lemma_bundle
from model_bundles.seq2seq import random_model
from reference.lemma import LemmaReference
from reference.seq2seq import Seq2SeqReference

POS_DICT = {
    "VERB": {"running": "run", "was": "be", "Went": "go", "nulled": None},
    "NOUN": {"mice": "mouse", "nulled": None, "blank": ""},
    "*": {"nulled": "null", "the": "the", "ÉTÉ": "été"},
    "_": {"untagged": "tag"},
}


@pytest.mark.parametrize("word, pos, expected", [
    ("running", "VERB", "run"), ("running", None, "running"), ("mice", "NOUN", "mouse"),
    ("nulled", "VERB", "null"), ("nulled", "ADJ", "null"), ("blank", "NOUN", "_"),
    ("untagged", None, "tag"), ("untagged", "_", "tag"), ("the", "DET", "the"),
    ("Running", "VERB", "Running"), ("unknown", "X", "unknown"), ("", None, "_"),
    ("ÉTÉ", "NOUN", "été"),
])
def test_dictionary_only(tmp_path, word, pos, expected):
    lemmatizer = q.LemmaProcessor(write_lemma_bundle(tmp_path / "d", POS_DICT).path)
    assert lemmatizer.lemmatize(word, pos) == expected
    assert LemmaReference(POS_DICT, dict_only=True).lemmas([word], [pos])[0] == [expected]


@pytest.mark.parametrize("word, pos, expected", [
    # An entry spelt with capitals can never match a lower-cased word.
    ("Went", "VERB", "went"), ("WENT", "VERB", "went"), ("MICE", "NOUN", "mouse"),
    ("ÉTÉ", "NOUN", "été"), ("Été", "NOUN", "été"),
])
def test_caseless_lowercases_before_lookup(tmp_path, word, pos, expected):
    # The top-level key wins over the configuration's.
    lemmatizer = q.LemmaProcessor(write_lemma_bundle(
        tmp_path / "d", POS_DICT, caseless=True, config_caseless=False).path)
    assert lemmatizer.lemmatize(word, pos) == expected
    config_only = q.LemmaProcessor(write_lemma_bundle(tmp_path / "c", POS_DICT, config_caseless=True).path)
    assert config_only.lemmatize(word, pos) == expected


def test_processor_surface(tmp_path):
    plain = q.LemmaProcessor(write_lemma_bundle(tmp_path / "d", POS_DICT).path)
    assert plain.requires == ["tokenize"] and plain.implemented
    assert plain.bundle_path == (tmp_path / "d").resolve()
    assert plain.lemmatize(word="running", pos="VERB") == "run"
    # A dictionary-only bundle still reports its configured POS flag.
    tagged = q.LemmaProcessor(write_lemma_bundle(tmp_path / "p", POS_DICT, pos=True).path)
    assert tagged.requires == ["tokenize", "pos"]
    assert q.processor_specs()["lemma"]["requires"] == ["tokenize"]
    model = random_model(3, pos=True)
    with_model = q.LemmaProcessor(write_lemma_bundle(tmp_path / "m", {}, model).path)
    assert with_model.requires == ["tokenize", "pos"]


@pytest.mark.parametrize("edit_class, unit, word, expected", [
    (0, "a", "Xyz", "aaa"),
    (None, "b", "Xyz", "bbb"),
    (1, "a", "XyZ", "XyZ"),
    (2, "a", "XyZ", "xyz"),
    (2, "a", "ÀÉ", "àé"),
    (0, "<UNK>", "Xyz", "Xyz"),      # a lemma holding <UNK> falls back to the word
    (0, None, "Xyz", "Xyz"),         # an empty lemma too
    (0, None, "", "_"),
    (1, "a", "", "_"),
])
def test_model_edit_classes(tmp_path, edit_class, unit, word, expected):
    model = constant_model(edit_class=edit_class, text_unit=unit)
    lemmatizer = q.LemmaProcessor(write_lemma_bundle(tmp_path / "m", {}, model).path)
    assert lemmatizer.lemmatize(word) == expected


def test_unknown_edit_class(tmp_path):
    model = constant_model(edit_class=3, text_unit="a")
    lemmatizer = q.LemmaProcessor(write_lemma_bundle(tmp_path / "m", {"*": {"hit": "h"}}, model,
                                                     ensemble_dict=True).path)
    with pytest.raises(q.LemmaModelError, match="^seq2seq returned an unknown lemma edit class$"):
        lemmatizer.lemmatize("word")
    # A dictionary hit never reaches the model.
    assert lemmatizer.lemmatize("hit") == "h"


def test_dictionary_is_ignored_without_its_flags(tmp_path):
    model = constant_model(text_unit="c")
    pos_dict = {"*": {"abc": "dictionary"}}
    model_only = q.LemmaProcessor(write_lemma_bundle(tmp_path / "m", pos_dict, model).path)
    assert model_only.lemmatize("abc") == "ccc"
    ensemble = q.LemmaProcessor(write_lemma_bundle(tmp_path / "e", pos_dict, model, ensemble_dict=True).path)
    assert ensemble.lemmatize("abc") == "dictionary"
    assert ensemble.lemmatize("abd") == "ccc"


def test_model_matches_reference(tmp_path):
    rng = random.Random(21)
    checked = 0
    for seed in range(8):
        config = dict(pos=seed % 2 == 0, edit=seed % 3 == 0, copy=seed % 2 == 1,
                      beam_size=1 if seed < 5 else 3, num_layers=1 + seed % 2, max_dec_len=8)
        model = random_model(700 + seed, chars=list("abcdeéßst"), edit_classes=3, **config)
        pos_dict = {"NOUN": {"abc": "ABC"}, "*": {"st": "ST"}}
        flags = dict(ensemble_dict=seed % 4 == 1, caseless=seed % 4 == 2)
        bundle = write_lemma_bundle(tmp_path / str(seed), pos_dict, model, **flags).path
        ref = LemmaReference(pos_dict, seq2seq=Seq2SeqReference(model.tensors, model.config,
                                                                model.char_vocab, model.pos_vocab),
                             **flags)
        lemmatizer = q.LemmaProcessor(bundle)
        words = ["", "abc", "st", "ABC"] + ["".join(rng.choice("abcdeéßstXQ") for _ in range(rng.randint(1, 8)))
                                            for _ in range(20)]
        tags = [rng.choice(["NOUN", "VERB", None, "ZZZ"]) for _ in words]
        expected, margins = ref.lemmas(words, tags)
        for word, tag, lemma, margin in zip(words, tags, expected, margins):
            if margin < 1e-4:
                continue
            assert lemmatizer.lemmatize(word, tag) == lemma, (seed, word, tag)
            checked += 1
    assert checked > 150


def _bad(tmp_path, name, assets, processor="lemma"):
    return bw.write_bundle(tmp_path / name, processor, assets=assets).path


def test_loading_errors(tmp_path):
    good = lemma_assets(POS_DICT)
    cases = [
        ({"pos_dict": {}}, "missing JSON key 'config' at assets"),
        ({"config": {}}, "missing JSON key 'pos_dict' at assets"),
        (dict(good, pos_dict=[]), "expected JSON object at assets.pos_dict"),
        (dict(good, pos_dict={"NOUN": "x"}), "expected JSON object at assets.pos_dict.NOUN"),
        (dict(good, pos_dict={"NOUN": {"a": 1}}), "expected JSON string at assets.pos_dict.NOUN"),
        (dict(good, config={"dict_only": True, "pos": "yes"}), "expected JSON boolean at assets.config.pos"),
        (dict(good, caseless=1), "expected JSON boolean at assets.caseless"),
        (dict(good, config={"dict_only": True, "caseless": 0}), "expected JSON boolean at assets.config.caseless"),
        ("{", None),
    ]
    for i, (assets, message) in enumerate(cases):
        with pytest.raises(q.LemmaModelError) as info:
            q.LemmaProcessor(_bad(tmp_path, f"b{i}", assets))
        if message is not None:
            assert str(info.value) == message, i
    with pytest.raises(q.LemmaModelError, match="^expected a lemma bundle, got 'mwt'$"):
        q.LemmaProcessor(_bad(tmp_path, "mwt", good, processor="mwt"))
    # A configuration that is not an object reads every flag as false: the model is needed.
    with pytest.raises(q.Seq2SeqModelError, match="^missing JSON key 'vocab' at assets$"):
        q.LemmaProcessor(_bad(tmp_path, "list", dict(good, config=[])))
    # POS conditioning without a POS vocabulary is the model's own error.
    model = random_model(1, pos=False)
    with pytest.raises(q.Seq2SeqModelError, match="^the seq2seq config enables POS without a POS vocabulary$"):
        q.LemmaProcessor(write_lemma_bundle(tmp_path / "pos", {}, model, pos=True).path)
