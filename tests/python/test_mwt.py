"""MWTProcessor: the dictionary with case restoration, the classifier and the seq2seq
fallback against their references, documents rewritten, refused bundles in check order."""
import functools
import random

import torch

import _quelbin as q
import _quelbin_testing as t
import bundle_writer as bw
from conftest import check_refusals, edit_at, outcome
from model_bundles.mwt import random_classifier, seq2seq_mwt_assets, write_dict_bundle
from model_bundles.mwt import write_mwt_bundle
from model_bundles.seq2seq import random_model
from reference.mwt import ClassifierReference, seq2seq_expand
from reference.seq2seq import Seq2SeqReference

FRENCH = {"du": "de le", "au": "à le", "a": "à la", "des": "de les", "vide": "", "aux": "à les",
          "AUX": "X"}
CASES = [("du", "de le"), ("DU", "DE LE"), ("Du", "De le"), ("dU", "dU"), ("A", "À LA"),
         ("a", "à la"), ("Vide", ""), ("chat", "chat"), ("", ""), ("AUX", "X"), ("Aux", "À les"),
         # All capitals not in the dictionary; a capital whose rest is not lower case.
         ("CHAT", "CHAT"), ("AuX", "AuX")]


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
            expected, margin = ref.expand(token)
            if margin > 1e-4:
                assert expander.expand(token) == expected, token
                checked += 1
    assert checked > 80
    # Constant scores: every position a boundary, or (a tie) none.
    for bias, expected in [(1.0, ["a b c", "a", "", "a b"]), (0.0, ["abc", "a", "", "ab"])]:
        model = random_classifier(0, list("abc"))
        for t in model.tensors.values():
            t.zero_()
        model.tensors["output_layer.2.bias"][1] = bias
        expander = q.MWTProcessor(write_mwt_bundle(tmp_path / f"c{bias}", model).path)
        assert [expander.expand(token) for token in ["abc", "a", "", " ab "]] == expected, bias


def test_seq2seq_fallback_matches_reference(tmp_path):
    rng = random.Random(9)
    checked = spaced = 0
    for seed in range(6):
        model = random_model(300 + seed, chars=list("abcdelu "), emb_dim=6, hidden_dim=8,
                             num_layers=1 + seed % 2, max_dec_len=7, beam_size=1 + seed % 3,
                             copy=seed % 2 == 0, scale=1.0)
        # The dictionary is consulted only with ensemble_dict.
        assets = seq2seq_mwt_assets(model, {"zz": "z z"}, ensemble_dict=seed == 5)
        expander = q.MWTProcessor(write_mwt_bundle(tmp_path / str(seed), model, assets=assets).path)
        assert (expander.expand("zz") == "z z") == (seed == 5)
        ref = Seq2SeqReference(model.tensors, model.config, model.char_vocab)
        for _ in range(25):
            token = "".join(rng.choice("abcdeluxy") for _ in range(rng.randint(1, 6)))
            expected, margin = seq2seq_expand(ref, token)
            if margin > 1e-4:
                assert expander.expand(token) == expected, (seed, token)
                checked += 1
                spaced += " " in expected
    assert checked > 100 and spaced > 5


EXPANSIONS = {"au": "à le", "du": "de le", "p1": "  à   le ", "p2": "", "p3": "   ", "p4": "P4",
              "p5": "à\tle", "p6": "à\xa0le x"}
MARKED = [  # token MISC, token -> the sentence after expansion, the token's MISC
    ("MWT=Yes", "p1", "1-2:p1:start_char=0:end_char=2 1:à 2:le", None),
    ("SpaceAfter=No|MWT=Yes", "p2", "1:p2:start_char=0:end_char=2:misc=SpaceAfter=No", None),
    ("MWT=Yes", "p3", "1:p3:start_char=0:end_char=2", None),
    # An expansion into one word never changes its spelling.
    ("A|MWT=Yes|B", "p4", "1:p4:start_char=0:end_char=2", "A|B"),
    ("MWT=Yes|MWT=Yes", "p5", "1:p5:start_char=0:end_char=2", None),
    ("|MWT=Yes|", "p6", "1-2:p6:start_char=0:end_char=2 1:à\xa0le 2:x", None),
    ("X=1|MWT=Yes|Y=2", "au", "1-2:au:misc=X=1|Y=2:start_char=0:end_char=2 1:à 2:le", "X=1|Y=2"),
    # Only an item exactly "MWT=Yes" marks the token.
    ("mwt=yes", "au", "1:au:misc=mwt=yes:start_char=0:end_char=2", "mwt=yes"),
    ("MWT=Yes=1", "au", "1:au:misc=MWT=Yes=1:start_char=0:end_char=2", "MWT=Yes=1"),
    ("MWT=YesMWT=Yes", "au", "1:au:misc=MWT=YesMWT=Yes:start_char=0:end_char=2", "MWT=YesMWT=Yes"),
]


def render(document):
    def entry(e):
        ident = e.pop("id")
        ident = "-".join(map(str, ident)) if isinstance(ident, tuple) else str(ident)
        return ":".join([ident, e.pop("text")] + [f"{k}={v}" for k, v in e.items()])
    return " | ".join(" ".join(entry(e) for e in s) for s in document.to_dict())


def test_documents_are_rewritten(tmp_path):
    expander = q.MWTProcessor(write_dict_bundle(tmp_path / "d", EXPANSIONS).path)
    for misc, token, expected, token_misc in MARKED:
        doc = q.Document.from_dict([[{"id": 1, "text": token, "misc": misc, "start_char": 0,
                                      "end_char": 2}]])
        assert expander.process(doc) == doc
        assert (render(doc), doc.sentences[0].tokens[0].misc) == (expected, token_misc), misc
    # Empty items go with the mark (documents built from the dictionary form have none).
    word, token, sentence = t.WordInput(), t.TokenInput(), t.SentenceInput()
    word.id, word.text, token.id_start, token.id_end, token.text = 1, "p4", 1, 1, "p4"
    token.misc, token.words, sentence.tokens = "A||MWT=Yes||B", [word], [token]
    doc = expander.process(t.build_document("p4", [sentence]))
    assert doc.sentences[0].tokens[0].misc == "A|B"
    # Kept words keep their tags but not their relations; every sentence is renumbered.
    doc = q.Document.from_dict([
        [{"id": 1, "text": "Il", "upos": "X", "head": 0, "deprel": "root", "deps": "0:root"},
         {"id": 2, "text": "au", "misc": "MWT=Yes", "start_char": 3, "end_char": 5, "upos": "X"},
         {"id": 3, "text": "marché", "misc": "A=1", "head": 2, "ner": "S-LOC"},
         {"id": (4, 5), "text": "y"}, {"id": 4, "text": "y1", "head": 3}, {"id": 5, "text": "y2"}],
        [{"id": 1, "text": "z"}, {"id": 2, "text": "du", "misc": "MWT=Yes"}]])
    expander.process(doc)
    assert render(doc) == ("1:Il:upos=X 2-3:au:start_char=3:end_char=5 2:à 3:le "
                           "4:marché:misc=A=1:ner=S-LOC 5-6:y 5:y1 6:y2 | 1:z 2-3:du 2:de 3:le")
    assert [e.text for e in doc.ents] == ["marché"]
    once = doc.to_dict()
    assert expander.process(doc).to_dict() == once  # nothing is marked any more
    # Manual expansions move whole; empty words follow their word and lose their relations.
    doc = q.Document.from_dict([[
        {"id": 1, "text": "a"}, {"id": (1, 1), "text": "E1", "head": 1, "deps": "1:x"},
        {"id": 2, "text": "du", "misc": "MWT=Yes"}, {"id": (2, 1), "text": "E2", "lemma": "e"},
        {"id": (3, 4), "text": "pain", "manual_expansion": True},
        {"id": 3, "text": "pa", "head": 4, "lemma": "p"}, {"id": 4, "text": "in", "deprel": "x"},
        {"id": (4, 1), "text": "E4"}, {"id": 5, "text": "c"}, {"id": (9, 1), "text": "E9"}]])
    expander.process(doc)
    assert render(doc) == ("1:a 1-1:E1 2-3:du 2:de 3:le 3-1:E2:lemma=e 4-5:pain 4:pa:lemma=p "
                           "5:in 5-1:E4 6:c 6-1:E9")
    # A token without words gets one, of its text and offsets; an empty word after it
    # stays after it, and 0.1 stays first.
    bare, du, sentence = t.TokenInput(), t.TokenInput(), t.SentenceInput()
    words = [t.WordInput() for _ in range(3)]
    for word, ident, index, text in zip(words, (2, 1, 0), (None, 1, 1), ("du", "E1", "Z")):
        word.id, word.empty_index, word.text = ident, index, text
    bare.id_start, bare.id_end, bare.text, bare.start_char, bare.end_char = 1, 1, "ab", 1, 3
    du.id_start, du.id_end, du.text, du.misc, du.words = 2, 2, "du", "MWT=Yes", words[:1]
    sentence.tokens, sentence.empty_words = [bare, du], words[1:]
    doc = expander.process(t.build_document(" ab du", [sentence]))
    assert render(doc) == ("0-1:Z 1:ab:start_char=1:end_char=3:misc=SpacesBefore=\\s 1-1:E1 "
                           "2-3:du 2:de 3:le")


def tensors(edit):
    return lambda b: edit(b["tensors"])


config = functools.partial(edit_at, "config")


ERROR, NO_TENSOR = q.MWTModelError, "missing MWT tensor: "
FLOAT16 = tensors(lambda t: t.update(extra=torch.zeros(2, dtype=torch.float16)))
REFUSALS = [  # edit of the bundle -> error class and message (None: it loads)
    (lambda b: b.update(processor="lemma", assets="{"), ERROR,
     "expected an MWT bundle, got 'lemma'"),
    (lambda b: b.update(assets="[1"), ERROR, "expected ',' at JSON byte 2"),
    (edit_at(config=KeyError), ERROR, "missing JSON key 'config' at assets"),
    (config(dict_only=KeyError), ERROR, "missing JSON key 'dict_only' at assets.config"),
    (config(dict_only="yes", vocab_size=1.5), ERROR, "expected JSON boolean"),
    (config(ensemble_dict=None), ERROR, "expected JSON boolean"),
    (config(force_exact_pieces=1), ERROR, "expected JSON boolean"),
    (config(vocab_size=1.5), ERROR, "expected JSON integer"),
    (config(num_layers=KeyError), ERROR, "missing JSON key 'num_layers' at assets.config"),
    (edit_at(expansion_dict=[]), ERROR, "expected JSON object at assets.expansion_dict"),
    (edit_at(expansion_dict={"du": 3}), ERROR, "expected JSON string at assets.expansion_dict"),
    (edit_at(vocab=KeyError), ERROR, "missing JSON key 'vocab' at assets"),
    (edit_at(vocab={}), ERROR, "missing JSON key '_unit2id' at assets.vocab"),
    (edit_at("vocab", _unit2id={"a": "1"}), ERROR,
     "expected JSON integer at assets.vocab._unit2id"),
    (config(num_layers=0), ERROR, "invalid MWT classifier dimensions in assets.config"),
    (config(hidden_dim=1), ERROR, "invalid MWT classifier dimensions in assets.config"),
    (tensors(lambda t: t.pop("embedding.weight")), ERROR, NO_TENSOR + "'embedding.weight'"),
    (tensors(lambda t: t.pop("encoder.bias_hh_l1_reverse")), ERROR,
     NO_TENSOR + "'encoder.bias_hh_l1_reverse'"),
    (tensors(lambda t: t.pop("output_layer.2.bias")), ERROR, NO_TENSOR + "'output_layer.2.bias'"),
    (config(num_layers=2**40), ERROR, NO_TENSOR + "'encoder.weight_ih_l2'"),
    (config(hidden_dim=2**62), ERROR, "invalid MWT classifier dimensions in assets.config"),
    # A tensor that nothing reads still stops the classifier, not a dictionary bundle.
    (FLOAT16, ERROR, "MWT tensor dtype is unsupported: float16"),
    (lambda b: (FLOAT16(b), config(dict_only=True)(b)), None, None),
    # Without force_exact_pieces the seq2seq loader decides, with its own errors.
    (config(force_exact_pieces=None), q.Seq2SeqModelError,
     "missing JSON key '_id2unit' at assets.vocab"),
    (lambda b: None, None, None),
]


def test_refused_bundles(tmp_path):
    base = random_classifier(5, list("ab"), num_layers=2)
    loads = check_refusals(tmp_path, REFUSALS, "mwt", base.assets(), base.tensors,
                           lambda path: q.MWTProcessor(path, verify_checksums=True))
    bw.flip_byte(loads / "assets.json", 3)  # a broken digest is the bundle's own error
    assert outcome(lambda: q.MWTProcessor(loads, verify_checksums=True))[0] is q.ModelBundleError
    # A character id beyond the embedding fails in the lookup, not in memory.
    assets = base.assets()
    assets["vocab"]["_unit2id"]["a"] = 1000
    expander = q.MWTProcessor(write_mwt_bundle(tmp_path / "id", base, assets=assets).path)
    assert expander.expand("b") == "b"
    assert isinstance(outcome(lambda: expander.expand("a")), tuple)
    # A failing expansion leaves the document as it was.
    doc = q.Document.from_dict([[{"id": 1, "text": "b", "misc": "MWT=Yes"},
                                 {"id": 2, "text": "a", "misc": "MWT=Yes"}]])
    before, held = doc.to_dict(), doc.sentences[0].tokens[1]
    assert isinstance(outcome(lambda: expander.process(doc)), tuple)
    assert (doc.to_dict(), held.text) == (before, "a")
