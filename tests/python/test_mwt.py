import json
import random

import pytest
import torch

import _quelbin as q
import bundle_writer as bw
from model_bundles import mwt as mb
from model_bundles.seq2seq import random_model
from reference.mwt import ClassifierReference, lookup_expansion, seq2seq_expand
from reference.seq2seq import Seq2SeqReference

FRENCH = {"du": "de le", "au": "à le", "a": "à la", "des": "de les", "vide": ""}


@pytest.fixture
def dict_bundle(tmp_path):
    return mb.write_dict_bundle(tmp_path / "dict", FRENCH).path


@pytest.mark.parametrize("token, expected", [
    ("du", "de le"), ("DU", "DE LE"), ("Du", "De le"), ("dU", "dU"),
    ("A", "À LA"), ("a", "à la"), ("au", "à le"), ("Au", "À le"),
    ("Vide", ""), ("VIDE", ""), ("chat", "chat"), ("", ""), ("Des", "De les"),
])
def test_dictionary_with_case_restoration(dict_bundle, token, expected):
    expander = q.MWTProcessor(dict_bundle)
    assert expander.implemented is True
    assert expander.expand(token) == expected
    assert lookup_expansion(FRENCH, token) in (expected, None)


def test_exact_entry_wins_over_case_rules(tmp_path):
    bundle = mb.write_dict_bundle(tmp_path / "b", {"DU": "X", "du": "de le"}).path
    assert q.MWTProcessor(bundle).expand("DU") == "X"
    assert q.MWTProcessor(bundle).expand("Du") == "De le"


def test_processor_surface(dict_bundle):
    expander = q.MWTProcessor(dict_bundle, verify_checksums=True)
    assert expander.requires == ["tokenize"]
    assert expander.bundle_path == dict_bundle.resolve()
    assert repr(expander) == "<mwt processor implemented=True>"
    assert expander.bulk_process([]) == []


def test_classifier_matches_reference(tmp_path):
    chars = list("abcdeflmnorstuàé")
    rng = random.Random(4)
    checked = 0
    for seed, layers, hidden in [(1, 1, 8), (2, 2, 6), (3, 3, 4)]:
        model = mb.random_classifier(seed, chars, hidden_dim=hidden, num_layers=layers, scale=1.2)
        bundle = mb.write_classifier_bundle(tmp_path / str(seed), model).path
        ref = ClassifierReference(model.tensors, mb.unit_ids(chars), hidden, layers)
        expander = q.MWTProcessor(bundle)
        for _ in range(40):
            token = "".join(rng.choice(chars + ["Q", "ß"]) for _ in range(rng.randint(1, 9)))
            expected, margin = ref.pieces(token)
            if margin < 1e-4:
                continue
            assert expander.expand(token) == expected, token
            checked += 1
    assert checked > 80


@pytest.mark.parametrize("bias, token, expected", [
    (1.0, "abc", "a b c"), (1.0, "a", "a"), (1.0, "", ""), (1.0, " ab ", "a b"),
    (0.0, "abc", "abc"), (-1.0, "abc", "abc"),
])
def test_classifier_constant_boundaries(tmp_path, bias, token, expected):
    model = mb.constant_classifier(list("abc"), bias)
    bundle = mb.write_classifier_bundle(tmp_path / "c", model).path
    assert q.MWTProcessor(bundle).expand(token) == expected


def test_seq2seq_fallback_matches_reference(tmp_path):
    chars = list("abcdelu ")
    rng = random.Random(9)
    checked = spaced = 0
    for seed in range(6):
        model = random_model(300 + seed, chars=chars, emb_dim=6, hidden_dim=8, num_layers=1 + seed % 2,
                             max_dec_len=7, beam_size=1 + seed % 3, copy=seed % 2 == 0, scale=1.0)
        bundle = mb.write_seq2seq_mwt_bundle(tmp_path / str(seed), model, ensemble_dict=seed == 5,
                                             expansion_dict={"zz": "z z"}).path
        ref = Seq2SeqReference(model.tensors, model.config, model.char_vocab)
        expander = q.MWTProcessor(bundle)
        for _ in range(25):
            token = "".join(rng.choice("abcdeluxy") for _ in range(rng.randint(1, 6)))
            expected, margin = seq2seq_expand(ref, token)
            if margin < 1e-4:
                continue
            got = expander.expand(token)
            assert got == expected, (seed, token)
            checked += 1
            spaced += " " in got
        # The dictionary is consulted only with ensemble_dict.
        if seed == 5:
            assert expander.expand("zz") == "z z"
    assert checked > 100 and spaced > 5


def _bad(tmp_path, name, assets, tensors=(), processor="mwt"):
    return bw.write_bundle(tmp_path / name, processor, tensors=tensors, assets=assets).path


def _assets(**config_changes):
    config = mb.mwt_config(dict_only=True)
    config.update(config_changes)
    return {"config": config, "expansion_dict": {}, "vocab": {"_unit2id": {}}}


def test_loading_errors(tmp_path):
    cases = [
        ({"expansion_dict": {}, "vocab": {"_unit2id": {}}}, "missing JSON key 'config' at assets"),
        ({k: v for k, v in _assets().items() if k != "vocab"}, "missing JSON key 'vocab' at assets"),
        (dict(_assets(), vocab={}), "missing JSON key '_unit2id' at assets.vocab"),
        (dict(_assets(), vocab={"_unit2id": {"a": "1"}}), "expected JSON integer at assets.vocab._unit2id"),
        (dict(_assets(), expansion_dict={"du": 3}), "expected JSON string at assets.expansion_dict"),
        (dict(_assets(), expansion_dict=[]), "expected JSON object at assets.expansion_dict"),
        (_assets(dict_only="yes"), "expected JSON boolean"),
        (_assets(vocab_size=1.5), "expected JSON integer"),
        (_assets(force_exact_pieces=1), "expected JSON boolean"),
        ({"config": {"ensemble_dict": False, "vocab_size": 0, "hidden_dim": 0, "num_layers": 0},
          "expansion_dict": {}, "vocab": {"_unit2id": {}}},
         "missing JSON key 'dict_only' at assets.config"),
        (_assets(dict_only=False, force_exact_pieces=True, hidden_dim=4, num_layers=0),
         "invalid MWT classifier dimensions in assets.config"),
        (_assets(dict_only=False, force_exact_pieces=True, hidden_dim=4, num_layers=1),
         "missing MWT tensor: 'embedding.weight'"),
    ]
    for i, (assets, message) in enumerate(cases):
        with pytest.raises(q.MWTModelError) as info:
            q.MWTProcessor(_bad(tmp_path, f"b{i}", assets))
        assert str(info.value) == message, i
    with pytest.raises(q.MWTModelError, match="^expected an MWT bundle, got 'lemma'$"):
        q.MWTProcessor(_bad(tmp_path, "lemma", _assets(), processor="lemma"))
    # Without force_exact_pieces the sequence-to-sequence loader decides, with its own errors.
    with pytest.raises(q.Seq2SeqModelError):
        q.MWTProcessor(_bad(tmp_path, "s2s", _assets(dict_only=False)))


def test_classifier_tensor_checks(tmp_path):
    model = mb.random_classifier(5, list("ab"), num_layers=2)
    ok = mb.write_classifier_bundle(tmp_path / "ok", model).path
    assert q.MWTProcessor(ok).expand("ab") in ("ab", "a b")
    # Two layers need all sixteen encoder tensors; the last one is looked up last.
    tensors = {k: v for k, v in model.tensors.items() if k != "encoder.bias_hh_l1_reverse"}
    with pytest.raises(q.MWTModelError, match="^missing MWT tensor: 'encoder.bias_hh_l1_reverse'$"):
        q.MWTProcessor(mb.write_classifier_bundle(tmp_path / "miss", model, tensors=tensors).path)
    tensors = {k: v for k, v in model.tensors.items() if k != "output_layer.2.bias"}
    with pytest.raises(q.MWTModelError, match="^missing MWT tensor: 'output_layer.2.bias'$"):
        q.MWTProcessor(mb.write_classifier_bundle(tmp_path / "miss2", model, tensors=tensors).path)
    # A float16 tensor that nothing reads still stops the classifier, not a dictionary bundle.
    tensors = dict(model.tensors, extra=torch.zeros(2, dtype=torch.float16))
    with pytest.raises(q.MWTModelError, match="^MWT tensor dtype is unsupported: float16$"):
        q.MWTProcessor(mb.write_classifier_bundle(tmp_path / "f16", model, tensors=tensors).path)
    assets = model.assets()
    assets["config"]["dict_only"] = True
    q.MWTProcessor(mb.write_classifier_bundle(tmp_path / "f16d", model, tensors=tensors, assets=assets).path)
    # A character id beyond the embedding fails in the lookup, not in memory.
    assets = model.assets()
    assets["vocab"]["_unit2id"]["a"] = 1000
    bad = q.MWTProcessor(mb.write_classifier_bundle(tmp_path / "id", model, assets=assets).path)
    with pytest.raises(Exception):
        bad.expand("a")
    assert bad.expand("b") in ("b",)


def test_corrupted_bundle_is_refused_with_checksums(tmp_path):
    info = mb.write_dict_bundle(tmp_path / "d", FRENCH)
    bw.flip_byte(info.assets_file, 3)
    with pytest.raises(q.ModelBundleError):
        q.MWTProcessor(info.path, verify_checksums=True)


def test_processing_documents_through_the_binding(dict_bundle, tmp_path):
    from model_bundles.lemma import write_lemma_bundle

    expander = q.MWTProcessor(dict_bundle)
    lemmatizer = q.LemmaProcessor(write_lemma_bundle(tmp_path / "l", {"*": {"a": "b"}}).path)
    doc = q.Document("au marché")
    out = expander.process(doc)
    assert out == doc and out.num_words == 0
    docs = [q.Document("x"), q.Document("")]
    for stage in (expander, lemmatizer):
        docs = stage.bulk_process(docs)
    assert [d.text for d in docs] == ["x", ""]
    assert lemmatizer(q.Document("y")).text == "y"
    with pytest.raises(TypeError):
        expander.bulk_process(["text"])
