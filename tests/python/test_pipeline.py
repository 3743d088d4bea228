"""Processors and pipelines: the processor table, construction errors in check order,
tokenize, mwt and lemma end to end, and the interpreter lock."""
import functools
import gc
import types

import pytest

import _quelbin as q
import bundle_writer as bw
from conftest import outcome, releases_lock
from model_bundles.lemma import write_lemma_bundle
from model_bundles.mwt import write_dict_bundle
from model_bundles.seq2seq import random_model
from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width, hand_set_weights
from model_bundles.tokenizer import write_tokenizer_bundle
from reference.lemma import LemmaReference
from reference.seq2seq import Seq2SeqReference

KINDS = [  # name, class, requirements, module
    ("langid", q.LangIDProcessor, [], "extended"),
    ("tokenize", q.TokenizeProcessor, [], "ud"),
    ("mwt", q.MWTProcessor, ["tokenize"], "ud"),
    ("pos", q.POSProcessor, ["tokenize"], "ud"),
    ("lemma", q.LemmaProcessor, ["tokenize"], "ud"),
    ("depparse", q.DepparseProcessor, ["tokenize", "pos", "lemma"], "ud"),
    ("ner", q.NERProcessor, ["tokenize"], "extended"),
    ("sentiment", q.SentimentProcessor, ["tokenize"], "extended"),
    ("constituency", q.ConstituencyProcessor, ["tokenize", "pos"], "extended"),
    ("coref", q.CorefProcessor, ["tokenize"], "coref"),
    ("morphseg", q.MorphSegProcessor, ["tokenize"], "extended"),
]


RUNNING = (  # kinds that run a model
    "tokenize",
    "mwt",
    "pos",
    "lemma",
    "langid",
    "morphseg",
    "ner",
    "sentiment",
    "constituency",
    "depparse",
    "coref",
)
# Model operations of a processor without a bundle, by kind.
NO_BUNDLE = "the '{}' processor has no loaded model bundle"
OPERATIONS = {
    "langid": [lambda p: p.identify("x"), lambda p: p.identify_many(["x"])],
    "tokenize": [lambda p: p.predict_labels("x")], "mwt": [lambda p: p.expand("x")],
    "lemma": [lambda p: p.lemmatize(word="x")], "ner": [lambda p: p.tag(["x"])],
    "sentiment": [lambda p: p.classify(["x"]), lambda p: p.classify_many([["x"]])],
    "constituency": [lambda p: p.uses_xpos, lambda p: p.parse(["x"], ["X"]),
                     lambda p: p.parse_many([["x"]], [["X"]])],
    "coref": [lambda p: p.predicts_singletons, lambda p: p.predicts_zero_anaphora],
    "morphseg": [lambda p: p.segment("x"), lambda p: p.segment_many(["x"])],
}


def test_processor_kinds_and_their_requirements():
    specs = q.processor_specs()
    assert list(specs) == [name for name, *_ in KINDS]
    for name, cls, requires, module in KINDS:
        p = cls()
        table_row = {"requires": requires, "provides": [name], "module": module, "implemented": True}
        assert (specs[name], p.name, p.requires, p.provides, p.module, p.implemented) == (
            table_row, name, requires, [name], module, False), name
        assert (p.bundle_path, repr(p), p.bulk_process([])) == (
            None, f"<{name} processor implemented=False>", []), name
        for operation in OPERATIONS.get(name, []):
            got = outcome(lambda: operation(p))
            assert got == (q.ProcessorNotImplementedError, NO_BUNDLE.format(name)), name
        if requires:  # each kind's requirements are checked against earlier processors only
            message = f"processor '{name}' is missing requirements: {', '.join(requires)}"
            assert outcome(lambda: q.Pipeline("en", [name] + requires)) == (
                q.ProcessorRequirementsError, message), name
    everything = q.Pipeline("en", [name for name, *_ in KINDS])
    assert [type(p) for p in everything.processors] == [cls for _, cls, *_ in KINDS]
    assert outcome(lambda: everything.process("Hi.")) == (q.ProcessorNotImplementedError,
        "the 'langid' processor is registered but native inference is not implemented")
    assert everything.process([]) == everything.bulk_process([]) == everything.process_many([])
    assert everything([]) == []


VOCAB = DEFAULT_VOCAB + "àâçéèêëîïôûùüÀÉ"
TEXT = "Il va au marché du village. Ils achètent du pain!\n\nLe marché ferme à midi."
LEMMA_DICT = {"*": {"va": "aller", "Ils": "il", "achètent": "acheter"}}
# Lemmas of the words the dictionary lacks come from this model; its seed keeps every
# decision on the words of the texts below clear of near-ties.
LEMMA_MODEL = random_model(4, chars=sorted(set(TEXT) - set(" \n.!mQ")), emb_dim=6, hidden_dim=8,
                           max_dec_len=10, batch_size=4, edit=True, copy=True, scale=0.8)
LEMMAS = LemmaReference(LEMMA_DICT, Seq2SeqReference(
    LEMMA_MODEL.tensors, LEMMA_MODEL.config, LEMMA_MODEL.char_vocab))


def write_tree(root, language="fr"):
    language_dir = root / "1.14.0" / language
    weights = hand_set_weights(VOCAB, 8, 8, feature_width(DEFAULT_FEATURES))
    write_tokenizer_bundle(language_dir / "tok", use_mwt=True, vocab=VOCAB,
                           tensor_overrides=weights)
    write_dict_bundle(language_dir / "mwt", {"au": "à le", "du": "de le"})
    write_lemma_bundle(language_dir / "lemma", LEMMA_DICT, LEMMA_MODEL, ensemble_dict=True)
    bw.write_index(root, [("tokenize", "default", "tok"), ("mwt", "default", "mwt"),
                          ("lemma", "default", "lemma")], language=language)
    return root


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    tree = write_tree(tmp_path_factory.mktemp("tree"))
    broken = write_tree(tmp_path_factory.mktemp("broken"))
    bw.truncate_file(broken / "1.14.0" / "fr" / "tok" / "tensors.bin", 10)
    multi = tmp_path_factory.mktemp("multi")
    bw.write_index(multi, [("tokenize", "default", "t"), ("pos", "a", "pos-a"), ("pos", "b", "b")])
    return {"tree": tree, "broken": broken, "multi": multi, "missing": tree / "missing",
            "empty": tmp_path_factory.mktemp("empty")}


# Constructor arguments (model_dir names a tree) -> error class and message, None: built.
CONSTRUCTION = [
    (dict(lang="", processors="nope,nope", package=""), ValueError,
     "a pipeline language is required"),
    (dict(processors="nope,nope", package=""), ValueError, "a pipeline package cannot be empty"),
    (dict(processors="nope,nope", resources_version=""), ValueError,
     "a pipeline resources version cannot be empty"),
    # Duplicates are found before any processor is built or any bundle resolved.
    (dict(processors="nope, tokenize,nope", model_dir="empty"), ValueError,
     "a processor may only appear once in a pipeline: 'nope'"),
    (dict(processors="tokenize", package={"pos": "x", "ner": "y"}), ValueError,
     "package was specified for unrequested processor: 'ner'"),
    (dict(processors="tokenize", package={"tokenize": ""}), ValueError,
     "package for processor 'tokenize' cannot be empty"),
    (dict(package=[("tokenize", "x")]), TypeError,
     "package must be a string or mapping from processor names to package names"),
    (dict(processors="pos", package={"pos": 1}), TypeError,
     "package mapping processor names and package names must be strings"),
    (dict(package="\ud800"), TypeError,
     "package must be a string or mapping from processor names to package names"),
    (dict(package={"tokenize": "\ud800"}), TypeError,
     "package mapping processor names and package names must be strings"),
    # processors: None, a string or a sequence of strings; the argument is named.
    *[(dict(processors=value), TypeError, "processors must be None, a string or a sequence of strings")
      for value in (5, b"tokenize", ["tokenize", 1], "tokenize,\ud800", {"tokenize": 1})],
    # A list is taken as it is; a string is cut at commas and trimmed.
    (dict(processors=["tokenize", " pos"]), ValueError, "unknown processor: ' pos'"),
    # Names as long as a known one, but none of them.
    *[(dict(processors=name), ValueError, f"unknown processor: '{name}'")
      for name in ("POS", "Lemma", "langID", "Tokenize", "Sentiment", "Constituency")],
    (dict(processors="pos, tokenize"), q.ProcessorRequirementsError,
     "processor 'pos' is missing requirements: tokenize"),
    (dict(processors="nope", model_dir="missing"), ValueError, "unknown processor: 'nope'"),
    # Bundles are resolved and loaded in list order, before a later unknown name.
    (dict(lang="fr", processors="tokenize,nope", model_dir="tree"), ValueError,
     "unknown processor: 'nope'"),
    (dict(lang="fr", processors="tokenize,nope", model_dir="broken"), q.ModelBundleError, None),
    (dict(processors="pos", model_dir="empty"), q.ModelBundleError, None),
    (dict(processors="pos", package="c", model_dir="multi"), q.ModelBundleError,
     "no converted bundle for en/pos/c"),
    # A bundle the index lists but that cannot be opened.
    (dict(processors="pos", package={"pos": "a"}, model_dir="multi"), q.ModelBundleError, None),
    (dict(lang="../en", processors="pos", model_dir="multi"), q.ModelBundleError, None),
    (dict(processors="pos", package="../a", model_dir="multi"), q.ModelBundleError, None),
    (dict(lang="fr", processors="tokenize,lemma", package={"lemma": "default"}, model_dir="tree",
          verify_model_checksums=True, langid_lang_subset=["fr"]), None, None),
]


def test_construction_errors_in_check_order(trees):
    for kwargs, error, message in CONSTRUCTION:
        args = dict(dict(lang="en", processors="tokenize"), **kwargs)
        args["model_dir"] = trees.get(args.get("model_dir"))
        got = outcome(lambda: q.Pipeline(**args))
        got = got if isinstance(got, tuple) else (None, None)  # built
        assert got[0] is error and message in (None, got[1]), (kwargs, got)


def test_processor_names_and_packages():
    p = q.Pipeline("de", processors=" tokenize , pos ,, ", package={"tokenize": "x", "pos": "a"})
    assert (p.package, list(p.package)) == ({"pos": "a", "tokenize": "x"}, ["pos", "tokenize"])
    processors = p.processors
    del p
    gc.collect()
    assert [x.name for x in processors] == ["tokenize", "pos"]  # they outlive their pipeline
    default = ["tokenize", "mwt", "pos", "lemma", "depparse"]
    assert [x.name for x in q.Pipeline("en").processors] == default
    assert q.Pipeline("en", None).processors == q.Pipeline("en", processors="").processors == []
    assert q.Pipeline("en", "").process("abc").text == "abc"
    proxy = types.MappingProxyType({"tokenize": "x"})
    assert q.Pipeline("en", processors=("tokenize",), package=proxy).package == {"tokenize": "x"}
    assert q.Pipeline("en", processors="tokenize", package="gsd").package == "gsd"


def test_tokenize_mwt_lemma_one_text_and_bulk(trees):
    pipeline = q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=trees["tree"])
    assert all(p.implemented for p in pipeline.processors)
    assert [p.bundle_path for p in pipeline.processors] == [
        trees["tree"] / "1.14.0" / "fr" / name for name in ("tok", "mwt", "lemma")]
    assert repr(pipeline) == "<Pipeline lang=fr processors=3>"
    texts = [TEXT, "", "   \n\n  ", "du pain.", TEXT * 3, "Élan, à 10 h."]
    single = [pipeline.process(text) for text in texts]
    bulk = pipeline.process(texts)
    assert [(d.text, d.to_conll(), d.to_dict()) for d in bulk] == [
        (text, d.to_conll(), d.to_dict()) for text, d in zip(texts, single)]
    assert [d.to_conll() for d in pipeline.bulk_process([q.Document(t) for t in texts])] == [
        d.to_conll() for d in bulk]
    # A document in: a new document out, the one given left as it was.
    document = q.Document(TEXT)
    assert (pipeline.process(document).to_dict(), document.to_dict()) == (single[0].to_dict(), [])
    assert [[w.text for w in s.words] for s in single[0].sentences] == [
        ["Il", "va", "à", "le", "marché", "de", "le", "village", "."],
        ["Ils", "achètent", "de", "le", "pain", "!"],
        ["Le", "marché", "ferme", "à", "midi", "."]]
    assert "3-4\tau\t" in single[0].to_conll()
    # Every lemma is the reference's: one word at a time, and in one batch in bulk.
    words = [w.text for d in single for w in d.iter_words()]
    expected, margins = LEMMAS.lemmas(words, [None] * len(words))
    batched, batched_margins = LEMMAS.lemmas(words, [None] * len(words), batched=True)
    assert min(margins + batched_margins) > 1e-4
    assert [w.lemma for d in single for w in d.iter_words()] == expected
    assert [w.lemma for d in bulk for w in d.iter_words()] == batched


def test_processing_releases_the_interpreter_lock(trees):
    pipeline = q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=trees["tree"])
    long_text = TEXT * 200
    assert releases_lock(functools.partial(pipeline.process, long_text))
    assert releases_lock(functools.partial(pipeline.process, [long_text, long_text]))
    document = q.Document(long_text)
    assert releases_lock(functools.partial(pipeline.processors[0].process, document))
    # Model loading keeps the lock.
    assert not releases_lock(functools.partial(q.Pipeline, "fr", processors="tokenize,mwt,lemma",
                                                   model_dir=trees["tree"]))


def test_predict_labels_takes_one_paragraph(trees):
    tokenizer = q.Pipeline("fr", processors="tokenize", model_dir=trees["tree"]).processors[0]
    assert len(tokenizer.predict_labels("")) == 0
    assert len(tokenizer.predict_labels("Il va.\nIl va.")) > 0
    with pytest.raises(q.TokenizerModelError,
                       match="^predict_labels expects text containing one tokenizer paragraph$"):
        tokenizer.predict_labels("Il va.\n\nIl va.")
