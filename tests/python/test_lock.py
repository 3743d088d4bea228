"""The interpreter lock: exactly the calls that run a model, a subword tokenizer, the
transformer encoder or the pipeline over their input let other Python threads run while
they are inside the engine; constructors (model loading included), property reads,
dictionary-form conversions, representations, sequence access and the module functions
keep it."""
from functools import partial as P
from itertools import repeat
from operator import attrgetter, methodcaller

import pytest

import _quelbin as q
import kind_models
from conftest import BUILD, releases_lock
from model_bundles.charlm import random_charlm, write_charlm_bundle
from model_bundles.transformer import TINY_VOCAB, compiled_package

# Each call runs up to this many times in a row; a release ends the run at once.
TIMES = 20

# The byte-level alphabet: printable bytes stand for themselves, the others for 256 onwards.
PRINTABLE = [b for b in range(256) if 0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or b >= 0xAE]
BYTES = [chr(b) for b in PRINTABLE] + [chr(256 + k) for k in range(256 - len(PRINTABLE))]


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("lock")
    paths = kind_models.write_model_tree(root)
    paths["charlm"] = write_charlm_bundle(root / "charlm", random_charlm(1)).path
    # 16 MB of weights: checking their digests keeps a constructor busy for a while.
    paths["large charlm"] = write_charlm_bundle(root / "large", random_charlm(2, hidden_dim=1024)).path
    for name in ("tiny", "square"):  # square: [1, n, n] of n ids, large outputs for few ids
        paths[name] = compiled_package(name, BUILD / "fixtures" / "aoti_packages")
    return root, paths


def calls(root, paths):
    """(name, call, whether it releases the lock), built on `root` and `paths`: bound
    methods, partials of them, or maps of them, so that no Python frame comes between the
    caller and the engine (see releases_lock)."""
    kinds = {name: getattr(q, name) for name in dir(q) if name.endswith("Processor") and name != "Processor"}
    loaded = {kind: cls(paths[cls().name]) for kind, cls in kinds.items() if cls().name in paths}
    langid, tokenize, mwt, lemma, ner, sentiment, constituency, morphseg = (loaded[k + "Processor"] for k in (
        "LangID", "Tokenize", "MWT", "Lemma", "NER", "Sentiment", "Constituency", "MorphSeg"))
    pipeline = q.Pipeline("en", processors=",".join(kind_models.PIPELINE), model_dir=root)
    text = kind_models.sample_text(1, 300)
    texts = [kind_models.sample_text(seed, 20) for seed in range(12)]
    document = pipeline.process(text)
    sentences = document.to_dict()
    words = [w.text for w in document.iter_words()]
    long_word = "abcdefghijklmnopqrstuvwxyz" * 400
    charlm = q.CharLMPlan(paths["charlm"])
    morphseg_plan = q.MorphSegPlan(paths["morphseg"])
    coref_plan = q.CorefPlan(paths["coref"])
    wordpiece = q.WordPieceTokenizer(["[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able"])
    bpe = q.ByteBPETokenizer(BYTES + ["<unk>", "<s>", "</s>"], [])
    xlmr = q.XLMRobertaTokenizer(["<unk>", "<s>", "</s>"], [0, 0, 0], [0, 0, 0, 0], 0)
    encoder = q.TransformerEncoder(paths["tiny"], TINY_VOCAB, model_max_length=16)
    square = q.TransformerEncoder(paths["square"], TINY_VOCAB)
    distinct = [f"w{k}x{k % 97}" for k in range(60000)]
    fresh = iter(range(1000))  # tokenizers cache words: each row starts with words not seen before

    def unseen(count):
        n = next(fresh)
        return [f"u{n}n{k}" for k in range(count)]

    def documents():  # a new document for every call
        return map(q.Document.from_dict, repeat(sentences), repeat(text))

    tagged = [([w.text for w in s.words], [w.upos for w in s.words]) for s in document.sentences]
    pipeline_calls = [(f"Pipeline.{name}({form})", getattr(pipeline, name), argument)
                      for name in ("process", "__call__", "bulk_process", "process_many")
                      for form, argument in (("text", text), ("document", "doc"),
                                             ("texts", texts), ("documents", "docs"))
                      if name in ("process", "__call__") or form in ("texts", "documents")]
    releasing = [
        ("CharLMPlan.encode", P(charlm.encode, words * 4)),
        ("MorphSegPlan.segment", P(morphseg_plan.segment, long_word)),
        ("CorefPlan.resolve", P(coref_plan.resolve, words, [0] * len(words))),
        ("MorphSegPlan.segment_many", P(morphseg_plan.segment_many, words * 4)),
        ("WordPieceTokenizer.encode", P(wordpiece.encode, unseen(100000))),
        ("ByteBPETokenizer.encode", P(bpe.encode, unseen(100000))),
        ("ByteBPETokenizer.tokenize", P(bpe.tokenize, " ".join(unseen(100000)))),
        ("XLMRobertaTokenizer.encode", P(xlmr.encode, unseen(100000))),
        ("XLMRobertaTokenizer.tokenize", P(xlmr.tokenize, " ".join(unseen(100000)))),
        ("TransformerEncoder.encode", P(encoder.encode, ["the", "cat"] * 400)),
        ("TransformerEncoder.tokenize", P(encoder.tokenize, unseen(60000))),
        ("TransformerEncoder.encode_ids", P(square.encode_ids, [4] * 2000)),
        ("Processor.process", map(constituency.process, documents())),
        ("Processor.__call__", map(lemma, documents())),
        ("Processor.bulk_process", map(ner.bulk_process, map(list, zip(documents(), documents())))),
        ("LangIDProcessor.identify", P(langid.identify, text)),
        ("LangIDProcessor.identify_many", P(langid.identify_many, texts)),
        ("TokenizeProcessor.predict_labels", P(tokenize.predict_labels, text.replace("\n\n", " "))),
        ("MWTProcessor.expand", P(mwt.expand, long_word)),
        ("LemmaProcessor.lemmatize", P(lemma.lemmatize, long_word)),
        ("NERProcessor.tag", P(ner.tag, words)),
        ("SentimentProcessor.classify", P(sentiment.classify, words)),
        ("SentimentProcessor.classify_many", P(sentiment.classify_many, [words[:40]] * 100)),
        ("ConstituencyProcessor.parse", P(constituency.parse, *tagged[0])),
        ("ConstituencyProcessor.parse_many", P(constituency.parse_many, *zip(*tagged))),
        ("MorphSegProcessor.segment", P(morphseg.segment, long_word)),
        ("MorphSegProcessor.segment_many", P(morphseg.segment_many, words * 4)),
    ] + [(name, map(call, documents()) if argument == "doc" else
          map(call, map(list, map(map, repeat(q.Document), repeat(texts)))) if argument == "docs" else
          P(call, argument))
         for name, call, argument in pipeline_calls]
    keeping = [(name, P(cls, paths[cls().name], verify_checksums=True))
               for name, cls in kinds.items() if cls().name in paths] + [
        ("Pipeline()", P(q.Pipeline, "en", processors=",".join(kind_models.PIPELINE), model_dir=root,
                         verify_model_checksums=True)),
        ("ModelBundle()", P(q.ModelBundle, paths["large charlm"])),
        ("CharLMPlan()", P(q.CharLMPlan, paths["large charlm"], True)),
        ("CorefPlan()", P(q.CorefPlan, paths["coref"], True)),
        ("MorphSegPlan()", P(q.MorphSegPlan, paths["morphseg"], True)),
        ("WordPieceTokenizer()", P(q.WordPieceTokenizer, ["[UNK]", "[CLS]", "[SEP]"] + distinct)),
        ("TransformerEncoder()", P(q.TransformerEncoder, paths["tiny"], TINY_VOCAB)),
        ("Document.to_dict", document.to_dict),
        ("Document.from_dict", P(q.Document.from_dict, sentences, text)),
        ("Document.__repr__", P(repr, document)),
        ("Document.to_conll", document.to_conll),
        ("properties and sequences", map(list, map(
            map, repeat(attrgetter("lemma", "upos", "head", "sent.constituency")),
            map(methodcaller("iter_words"), repeat(document))))),
        ("processor_specs", q.processor_specs),
    ]
    return [(name, call, True) for name, call in releasing] + [(name, call, False) for name, call in keeping]


def test_exactly_the_processing_calls_release_the_lock(models):
    rows = calls(*models)
    # 27 methods, and the pipeline's
    # four call forms under process and __call__, its two under bulk_process and process_many.
    assert sum(releases for *_, releases in rows) == 27 + 12
    for name, call, releases in rows:
        assert releases_lock(call, TIMES) is releases, name
