"""Multi-word-token expansion through MWTProcessor: the dictionary with case
restoration, the split-point classifier and the sequence-to-sequence fallback
against their references, and refused bundles in the order of the loader's checks."""
import copy
import random

import torch

import _quelbin as q
import bundle_writer as bw
from conftest import outcome
from model_bundles.mwt import random_classifier, seq2seq_mwt_assets, write_dict_bundle, write_mwt_bundle
from model_bundles.seq2seq import random_model
from reference.mwt import ClassifierReference, seq2seq_expand
from reference.seq2seq import Seq2SeqReference

FRENCH = {"du": "de le", "au": "à le", "a": "à la", "des": "de les", "vide": "", "aux": "à les", "AUX": "X"}
CASES = [("du", "de le"), ("DU", "DE LE"), ("Du", "De le"), ("dU", "dU"), ("A", "À LA"), ("a", "à la"),
         ("Au", "À le"), ("Vide", ""), ("VIDE", ""), ("chat", "chat"), ("", ""), ("Des", "De les"),
         ("AUX", "X"), ("Aux", "À les")]


def test_dictionary_with_case_restoration(tmp_path):
    expander = q.MWTProcessor(write_dict_bundle(tmp_path / "d", FRENCH).path, verify_checksums=True)
    assert (expander.requires, repr(expander)) == (["tokenize"], "<mwt processor implemented=True>")
    for token, expected in CASES:
        assert expander.expand(token) == expected, token


def test_classifier_matches_reference(tmp_path):
    chars = list("abcdeflmnorstuàé")
    rng = random.Random(4)
    checked = 0
    for seed, layers, hidden in [(1, 1, 8), (2, 2, 6), (3, 3, 4)]:
        model = random_classifier(seed, chars, hidden_dim=hidden, num_layers=layers, scale=1.2)
        expander = q.MWTProcessor(write_mwt_bundle(tmp_path / str(seed), model).path)
        ref = ClassifierReference(model.tensors, model.unit2id, hidden, layers)
        for _ in range(40):
            token = "".join(rng.choice(chars + ["Q", "ß"]) for _ in range(rng.randint(1, 9)))
            expected, margin = ref.pieces(token)
            if margin > 1e-4:
                assert expander.expand(token) == expected, token
                checked += 1
    assert checked > 80
    # Constant scores: every position a boundary, or (a tie) none.
    for bias, cases in [(1.0, [("abc", "a b c"), ("a", "a"), ("", ""), (" ab ", "a b")]),
                        (0.0, [("abc", "abc")]), (-1.0, [("abc", "abc")])]:
        model = random_classifier(0, list("abc"))
        for t in model.tensors.values():
            t.zero_()
        model.tensors["output_layer.2.bias"][1] = bias
        expander = q.MWTProcessor(write_mwt_bundle(tmp_path / f"c{bias}", model).path)
        assert [expander.expand(token) for token, _ in cases] == [e for _, e in cases], bias


def test_seq2seq_fallback_matches_reference(tmp_path):
    rng = random.Random(9)
    checked = spaced = 0
    for seed in range(6):
        model = random_model(300 + seed, chars=list("abcdelu "), emb_dim=6, hidden_dim=8, num_layers=1 + seed % 2,
                             max_dec_len=7, beam_size=1 + seed % 3, copy=seed % 2 == 0, scale=1.0)
        # The dictionary is consulted only with ensemble_dict.
        assets = seq2seq_mwt_assets(model, {"zz": "z z"}, ensemble_dict=seed == 5)
        expander = q.MWTProcessor(write_mwt_bundle(tmp_path / str(seed), model, assets=assets).path)
        ref = Seq2SeqReference(model.tensors, model.config, model.char_vocab)
        for _ in range(25):
            token = "".join(rng.choice("abcdeluxy") for _ in range(rng.randint(1, 6)))
            expected, margin = seq2seq_expand(ref, token)
            if margin > 1e-4:
                assert expander.expand(token) == expected, (seed, token)
                checked += 1
                spaced += " " in expected
        assert (expander.expand("zz") == "z z") == (seed == 5)
    assert checked > 100 and spaced > 5


BASE = random_classifier(5, list("ab"), num_layers=2)


def config(**changes):
    return lambda b: [b["assets"]["config"].pop(k) if v is KeyError else b["assets"]["config"].update({k: v})
                      for k, v in changes.items()]


ERROR, NO_TENSOR = q.MWTModelError, "missing MWT tensor: "
# Edit of the bundle {"processor", "assets", "tensors"} -> error class and message; None loads.
REFUSALS = [
    (lambda b: b.update(processor="lemma", assets="{"), ERROR, "expected an MWT bundle, got 'lemma'"),
    (lambda b: b.update(assets="[1"), ERROR, "expected ',' at JSON byte 2"),
    (lambda b: b["assets"].pop("config"), ERROR, "missing JSON key 'config' at assets"),
    (config(dict_only=KeyError), ERROR, "missing JSON key 'dict_only' at assets.config"),
    (config(dict_only="yes", vocab_size=1.5), ERROR, "expected JSON boolean"),
    (config(ensemble_dict=None), ERROR, "expected JSON boolean"),
    (config(force_exact_pieces=1), ERROR, "expected JSON boolean"),
    (config(vocab_size=1.5), ERROR, "expected JSON integer"),
    (config(num_layers=KeyError), ERROR, "missing JSON key 'num_layers' at assets.config"),
    (lambda b: b["assets"].update(expansion_dict=[]), ERROR, "expected JSON object at assets.expansion_dict"),
    (lambda b: b["assets"].update(expansion_dict={"du": 3}), ERROR, "expected JSON string at assets.expansion_dict"),
    (lambda b: b["assets"].pop("vocab"), ERROR, "missing JSON key 'vocab' at assets"),
    (lambda b: b["assets"].update(vocab={}), ERROR, "missing JSON key '_unit2id' at assets.vocab"),
    (lambda b: b["assets"].update(vocab={"_unit2id": {"a": "1"}}), ERROR,
     "expected JSON integer at assets.vocab._unit2id"),
    (config(num_layers=0), ERROR, "invalid MWT classifier dimensions in assets.config"),
    (config(hidden_dim=1), ERROR, "invalid MWT classifier dimensions in assets.config"),
    (lambda b: b["tensors"].pop("embedding.weight"), ERROR, NO_TENSOR + "'embedding.weight'"),
    (lambda b: b["tensors"].pop("encoder.bias_hh_l1_reverse"), ERROR, NO_TENSOR + "'encoder.bias_hh_l1_reverse'"),
    (lambda b: b["tensors"].pop("output_layer.2.bias"), ERROR, NO_TENSOR + "'output_layer.2.bias'"),
    # A tensor that nothing reads still stops the classifier, not a dictionary bundle.
    (lambda b: b["tensors"].update(extra=torch.zeros(2, dtype=torch.float16)), ERROR,
     "MWT tensor dtype is unsupported: float16"),
    (lambda b: (b["tensors"].update(extra=torch.zeros(2, dtype=torch.float16)), config(dict_only=True)(b)),
     None, None),
    # Without force_exact_pieces the sequence-to-sequence loader decides, with its own errors.
    (config(force_exact_pieces=None), q.Seq2SeqModelError, "missing JSON key '_id2unit' at assets.vocab"),
]


def test_refused_bundles(tmp_path):
    for i, (edit, error, message) in enumerate(REFUSALS):
        bundle = {"processor": "mwt", "assets": copy.deepcopy(BASE.assets()), "tensors": dict(BASE.tensors)}
        edit(bundle)
        bw.write_bundle(tmp_path / str(i), bundle["processor"], bundle["tensors"], bundle["assets"])
        got = outcome(lambda: q.MWTProcessor(tmp_path / str(i), verify_checksums=True))
        assert (got if error else type(got)) == ((error, message) if error else q.MWTProcessor), (i, message)
    # A broken digest is the bundle's own error.
    loads = tmp_path / str(len(REFUSALS) - 2)
    bw.flip_byte(loads / "assets.json", 3)
    assert outcome(lambda: q.MWTProcessor(loads, verify_checksums=True))[0] is q.ModelBundleError
    # A character id beyond the embedding fails in the lookup, not in memory.
    assets = BASE.assets()
    assets["vocab"]["_unit2id"]["a"] = 1000
    expander = q.MWTProcessor(write_mwt_bundle(tmp_path / "id", BASE, assets=assets).path)
    assert isinstance(outcome(lambda: expander.expand("a")), tuple)
    assert expander.expand("b") == "b"
