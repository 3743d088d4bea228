"""The NER tagger: loading and its refusals, tags against the eager reference, repaired tags
and entity spans in documents, bulk against one document at a time, all-or-nothing writes,
and "tokenize,ner" pipelines."""
import copy
import random

import pytest
import torch

import _quelbin as q
import bundle_writer as bw
from conftest import check_refusals, edit_at, outcome
from model_bundles.ner import RESERVED, WORDS, random_ner, write_ner_bundle
from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width, hand_set_weights
from model_bundles.tokenizer import write_tokenizer_bundle
from reference.ner import NERReference

ARCH = ("unsupported NER architecture; the native profile requires static and delta word embeddings, "
        "a bidirectional character LSTM without recurrent dropout, and a standard bidirectional tagger LSTM")
EXTRA = ["Zork", "NEW YORK", "x y", "PARIS", "Éé", "中", "a.b", "İ", "ßSS"]

# Model options covering the profile; each is checked against the reference.
CONFIGS = [
    {},
    dict(charlm=True, char_lowercase=True),
    dict(layers=2, char_layers=2, connect=True, columns=(("PER",), ("LOC", "ORG")), predict_tagset=1,
         input_transform=True),
    dict(lowercase=False, word_lower=True, delta_lower=False, char_lowercase=True, hidden=16),
    dict(connect=False, columns=(("A",), ("B",), ("C", "D")), predict_tagset=2, charlm=True, layers=2),
    dict(columns=(("PER", "LOC", "ORG", "MISC"),), transition_scale=3.0, dtype=torch.float64),
]


def sentences(rng, count):
    return [[rng.choice(WORDS + EXTRA) for _ in range(rng.choice([1, 1, 2, 3, 5, 8, 13]))]
            for _ in range(count)]


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("ner")
    built = []
    for i, options in enumerate(CONFIGS):
        model = random_ner(i, **options)
        built.append((model, write_ner_bundle(root / str(i), model).path))
    return built


def test_tags_match_the_reference(models):
    rng = random.Random(4)
    compared = total = 0
    for model, path in models:
        tagger, reference = q.NERProcessor(path), NERReference(model.tensors, model.assets)
        for words in sentences(rng, 40):
            expected, margin = reference.tag(words)
            got = tagger.tag(words)
            assert len(got) == len(words)
            total += 1
            if margin > 1e-4:
                compared += 1
                assert got == expected, (path, words, margin)
    assert compared > 0.9 * total


def test_tag_edge_cases(models, tmp_path):
    tagger = q.NERProcessor(models[0][1])
    assert tagger.tag([]) == []
    # A lone entity tag is always S-.
    for word in WORDS:
        assert tagger.tag([word])[0][:2] in ("S-", "O")
    assert outcome(lambda: tagger.tag(["a", ""])) == (q.NERModelError, "NER cannot encode an empty token")
    assert outcome(lambda: q.NERProcessor(models[1][1]).tag(["", "a"]))[0] is not q.NERModelError  # LMs read it
    # Reserved ids 0-3 decode as id 4: a column of "O" alone always gives "O"; a column of the
    # four reserved tags cannot decode.
    outside = random_ner(9, columns=((),))
    assert q.NERProcessor(write_ner_bundle(tmp_path / "o", outside).path).tag(["a", "b", "c"]) == ["O"] * 3
    reserved = random_ner(9, columns=((),))
    reserved.assets["vocab"]["tag"]["_id2unit"]["0"] = RESERVED
    for name, shape in (("tag_clfs.0.weight", (4, -1)), ("tag_clfs.0.bias", (4,)), ("crits.0._transitions", (4, 4))):
        reserved.tensors[name] = reserved.tensors[name][tuple(slice(0, n) if n > 0 else slice(None) for n in shape)]
    tagger4 = q.NERProcessor(write_ner_bundle(tmp_path / "r", reserved).path)
    assert outcome(lambda: tagger4.tag(["a"])) == (q.NERModelError, "NER CRF produced an invalid tag id")
    # Weights the loader does not relate fail when tagging, as tensor-library errors.
    mismatched = random_ner(3)
    mismatched.tensors["tag_clfs.0.weight"] = mismatched.tensors["tag_clfs.0.weight"][:, :5]
    broken = q.NERProcessor(write_ner_bundle(tmp_path / "m", mismatched).path)
    assert outcome(lambda: broken.tag(["a"]))[0] is RuntimeError


def expected_spans(document):
    """(text, type, start_char, end_char) of the entities the tokens' tags form."""
    spans = []
    for sentence in document.sentences:
        start = None
        for token in sentence.tokens:
            prefix, kind = token.ner[0], token.ner[2:]
            if prefix == "S":
                spans.append((token.start_char, token.end_char, kind))
            elif prefix == "B":
                start = token.start_char
            elif prefix == "E":
                spans.append((start, token.end_char, kind))
    return [(document.text[s:e], kind, s, e) for s, e, kind in spans]


def as_tuples(document):
    return [(s.text, s.type, s.start_char, s.end_char) for s in document.ents]


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    language = root / "1.14.0" / "en"
    weights = hand_set_weights(DEFAULT_VOCAB, 8, 8, feature_width(DEFAULT_FEATURES))
    write_tokenizer_bundle(language / "tok", vocab=DEFAULT_VOCAB, tensor_overrides=weights)
    model = random_ner(11, columns=(("PER", "LOC"),), scale=1.5)
    write_ner_bundle(language / "ner", model)
    bw.write_index(root, [("tokenize", "default", "tok"), ("ner", "default", "ner")])
    return root, model


TEXTS = ["John Smith visited Paris today. Mr Smith said a new thing!", "", "Berlin.",
         "The paris in Paris, said John. A b c d e f g h i j k. Smith!"]


def test_pipeline_tags_tokens_and_builds_spans(tree):
    root, model = tree
    pipeline = q.Pipeline("en", processors="tokenize,ner", model_dir=root)
    ner = pipeline.processors[1]
    assert (ner.implemented, ner.bundle_path) == (True, root / "1.14.0" / "en" / "ner")
    reference = NERReference(model.tensors, model.assets)
    single = [pipeline.process(text) for text in TEXTS]
    entities = 0
    for document in single:
        for sentence in document.sentences:
            words = [t.text for t in sentence.tokens]
            expected, margin = reference.tag(words)
            if margin > 1e-4:
                assert [t.ner for t in sentence.tokens] == expected
            assert all(t.multi_ner == [t.ner] for t in sentence.tokens)
        assert as_tuples(document) == expected_spans(document)
        entities += len(document.ents)
    assert entities > 0
    bulk = pipeline.process(TEXTS)
    assert [d.to_dict() for d in bulk] == [d.to_dict() for d in single]
    assert [as_tuples(d) for d in bulk] == [as_tuples(d) for d in single]


def test_bulk_equals_one_document_at_a_time(models):
    rng = random.Random(7)
    for model, path in models[:3]:
        tagger = q.NERProcessor(path)
        forms = [[[{"id": k + 1, "text": w, "ner": "S-OLD", "multi_ner": ["x", "y"]} for k, w in enumerate(s)]
                  for s in sentences(rng, rng.randint(0, 6))] for _ in range(12)]
        one = [tagger.process(q.Document.from_dict(form)) for form in forms]
        many = tagger.bulk_process([q.Document.from_dict(form) for form in forms])
        assert [d.to_dict() for d in many] == [d.to_dict() for d in one]
        for document, form in zip(one, forms):
            tags = [tagger.tag([w["text"] for w in s]) for s in form]
            assert [[t.ner for t in s.tokens] for s in document.sentences] == tags
            assert [[t.multi_ner for t in s.tokens] for s in document.sentences] == [[[t] for t in s] for s in tags]
            assert as_tuples(document) == [(s.text, s.type, s.start_char, s.end_char) for s in document.ents]
            assert [s.type for s in document.ents] == [
                t[2:] for s in tags for t in s if t[0] in "SB"]
    assert tagger.bulk_process([]) == []
    empty = tagger.process(q.Document(""))
    assert (empty.text, len(empty.sentences), len(empty.ents)) == ("", 0, 0)


def test_failure_leaves_documents_as_they_were(models, tmp_path):
    # A vocabulary id past its embedding table fails only the sentences that use it.
    model = copy.deepcopy(models[0][0])
    model.assets["vocab"]["char"]["_unit2id"]["q"] = 10 ** 6
    tagger = q.NERProcessor(write_ner_bundle(tmp_path, model).path)
    assert outcome(lambda: tagger.tag(["iraq"]))[0] is RuntimeError
    form = [[{"id": 1, "text": "John", "ner": "B-PER"}, {"id": 2, "text": "Smith", "ner": "E-PER"}],
            [{"id": 1, "text": "Paris", "ner": "S-LOC", "multi_ner": ["S-LOC", "O"]}],
            [{"id": 1, "text": "x"}, {"id": 2, "text": "Iraq"}]]
    good = [[{"id": 1, "text": "Berlin", "ner": "S-LOC"}]]
    for run in (lambda docs: tagger.process(docs[0]), lambda docs: tagger.bulk_process(docs[::-1])):
        documents = [q.Document.from_dict(form), q.Document.from_dict(good)]
        before = [(d.to_dict(), as_tuples(d)) for d in documents]
        assert outcome(lambda: run(documents))[0] is RuntimeError
        assert [(d.to_dict(), as_tuples(d)) for d in documents] == before


def test_processor_without_a_bundle_and_model_errors(models, tmp_path):
    assert outcome(lambda: q.NERProcessor().tag(["a"])) == (
        q.ProcessorNotImplementedError, "the 'ner' processor has no loaded model bundle")
    assert issubclass(q.NERModelError, q.ModelBundleError)
    assert outcome(lambda: q.NERProcessor(tmp_path / "missing"))[0] is q.ModelBundleError
    assert q.NERProcessor(models[0][1], verify_checksums=True).implemented


def drop(*names):
    return lambda b: [b["tensors"].pop(n) for n in names]


def resize(name, *index):
    return lambda b: b["tensors"].update({name: b["tensors"][name][index]})


def set_vocab(path, value):
    def edit(bundle):
        target = bundle["assets"]["vocab"]
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
    return edit


def test_loader_refusals(tmp_path):
    model = random_ner(1, columns=(("PER",), ("LOC",)))
    charlm = random_ner(2, charlm=True)
    config = lambda **c: edit_at("config", **c)  # noqa: E731
    use = lambda m: lambda b: b.update(assets=copy.deepcopy(m.assets), tensors=dict(m.tensors))  # noqa: E731
    rows = [
        (lambda b: b.update(processor="pos"), q.NERModelError, "expected an NER bundle, got 'pos'"),
        (config(scheme=None), None, None),
        (config(scheme=KeyError), None, None),
        (config(scheme="BIOES"), q.NERModelError, "the native NER profile requires BIOES tags"),
        (config(scheme="bio"), q.NERModelError, "the native NER profile requires BIOES tags"),
        (config(char=KeyError), q.NERModelError, ARCH),
        (config(hidden_dim=0), q.NERModelError, ARCH),
        (config(char_rec_dropout=0.0), None, None),
        (config(char_rec_dropout=0.1), q.NERModelError, ARCH),
        (config(num_layers="1"), q.NERModelError, "expected JSON integer at assets.config.num_layers"),
        # Layer counts are bounded by the tensors present, never by the configured number.
        (config(num_layers=2**62), q.NERModelError, "missing NER tensor: 'taggerlstm.lstm.weight_ih_l1'"),
        (config(char_num_layers=2**62), q.NERModelError,
         "missing NER tensor: 'charmodel.charlstm.lstm.weight_ih_l1'"),
        (config(lowercase=1), q.NERModelError, "expected JSON boolean at assets.config.lowercase"),
        (lambda b: b["assets"].pop("config"), q.NERModelError, "missing JSON key 'config' at assets"),
        (config(predict_tagset=2), q.NERModelError, "NER predict_tagset is out of range"),
        (config(predict_tagset=-1), q.NERModelError, "NER predict_tagset is out of range"),
        (config(bert_model=False), q.NERModelError, "missing JSON key 'transformer' at assets"),
        (lambda b: (config(bert_model="x")(b), edit_at(transformer={"backend": "onnx"})(b)),
         q.TransformerError, "unsupported transformer runtime backend"),
        (set_vocab(["_key2class", "delta"], "CharVocab"), q.NERModelError, "unsupported NER vocabulary layout"),
        (set_vocab(["_key2class", "tag"], 1), q.NERModelError, "expected JSON string"),
        (set_vocab(["word", "lower"], None), q.NERModelError, "expected JSON boolean at assets.vocab.word.lower"),
        (set_vocab(["tag", "_id2unit"], {"1": ["a"], "2": ["b"]}), q.NERModelError,
         "NER tag vocabulary columns are not contiguous"),
        (set_vocab(["tag", "_id2unit"], {"0": ["a"], "1a": ["b"]}), q.NERModelError,
         "NER tag vocabulary columns are not contiguous"),
        (set_vocab(["tag", "_id2unit"], {"0": ["a"], "x": ["b"]}), q.NERModelError,
         "NER tag vocabulary column is not numeric: 'x'"),
        (set_vocab(["tag", "_id2unit", "1"], [1]), q.NERModelError,
         "expected JSON string at assets.vocab.tag._id2unit.1[]"),
        (drop("crits.1._transitions"), q.NERModelError, "missing NER tensor: 'crits.1._transitions'"),
        (drop("charmodel.charlstm.lstm.bias_hh_l0_reverse"), q.NERModelError,
         "missing NER tensor: 'charmodel.charlstm.lstm.bias_hh_l0_reverse'"),
        (resize("word_emb.weight", slice(0, -1)), q.NERModelError,
         "NER embedding dimensions disagree with bundled vocabularies"),
        (resize("delta_emb.weight", slice(None), slice(0, -1)), q.NERModelError,
         "NER embedding dimensions disagree with bundled vocabularies"),
        (resize("charmodel.char_emb.weight", slice(0, -1)), q.NERModelError,
         "NER character embedding dimensions disagree with its vocabulary"),
        (resize("taggerlstm.lstm.weight_ih_l0", slice(None), slice(0, -1)), q.NERModelError,
         "NER tagger input size disagrees with its embedding profile"),
        (resize("crits.1._transitions", slice(None), slice(0, -1)), q.NERModelError,
         "NER classifier dimensions disagree with tag vocabulary"),
        (resize("tag_clfs.0.bias", slice(0, -1)), q.NERModelError,
         "NER classifier dimensions disagree with tag vocabulary"),
        (lambda b: b["tensors"].update({"delta_emb.weight": bw.RawTensor("uint16", [1], b"\0\0")}),
         q.NERModelError, "ATen view does not support bundle dtype: uint16"),
        # Character LMs instead of the character LSTM: no character LSTM tensor is needed, the
        # char vocabulary is still read, and the LM directions must match their slots.
        (use(charlm), None, None),
        (lambda b: (use(charlm)(b), set_vocab(["_key2class", "char"], "X")(b)), q.NERModelError,
         "unsupported NER vocabulary layout"),
        (lambda b: (use(charlm)(b), b["assets"]["charlm"]["forward"].update(is_forward_lm=False)),
         q.NERModelError, "NER charLM directions disagree with their asset slots"),
    ]
    check_refusals(tmp_path, rows, "ner", model.assets, model.tensors, lambda p: q.NERProcessor(p))


def test_transformer_features(tmp_path):
    from conftest import BUILD
    from model_bundles.transformer import TINY_VOCAB, compiled_package, tiny_model, wordpiece_section
    from reference.transformer import sliced_run, word_rows

    package = compiled_package("tiny", BUILD / "fixtures" / "aoti_packages")
    words = TINY_VOCAB[4:] + ["unbelievable", "Cats"]
    model = random_ner(40, transformer=wordpiece_section(TINY_VOCAB), words=words, input_transform=True)
    tagger = q.NERProcessor(write_ner_bundle(tmp_path / "m", model, package=package).path)
    encoder, eager = q.TransformerEncoder(package, TINY_VOCAB, model_max_length=16), tiny_model()

    @torch.no_grad()
    def rows(sentence):
        encoding = encoder.tokenize(sentence)
        run = lambda window: eager(torch.tensor([window]), torch.ones(1, len(window), dtype=torch.int64))[0]  # noqa: E731
        return word_rows(sliced_run(run, encoding.input_ids, 16), encoding.word_ids, len(sentence), False)

    reference = NERReference(model.tensors, model.assets, rows)
    rng = random.Random(41)
    batch = [[rng.choice(words) for _ in range(rng.randint(1, 12))] for _ in range(25)]
    compared = 0
    documents = tagger.bulk_process([q.Document.from_dict(
        [[{"id": k + 1, "text": w} for k, w in enumerate(s)]]) for s in batch])
    for sentence, document in zip(batch, documents):
        expected, margin = reference.tag(sentence)
        if margin > 1e-4:
            compared += 1
            assert tagger.tag(sentence) == expected == [t.ner for t in document.iter_tokens()], sentence
    assert compared > 0.9 * len(batch)
    # The transformer's width is part of the tagger's input.
    model.assets["transformer"]["hidden_size"] += 1
    path = write_ner_bundle(tmp_path / "wider", model, package=package).path
    assert outcome(lambda: q.NERProcessor(path)) == (
        q.NERModelError, "NER tagger input size disagrees with its embedding profile")


def test_results_do_not_depend_on_the_thread_count(models):
    rng = random.Random(12)
    forms = [[[{"id": k + 1, "text": w} for k, w in enumerate(s)] for s in sentences(rng, 30)]
             for _ in range(20)]
    before = torch.get_num_threads()
    results = []
    try:
        for threads in (1, 3):
            torch.set_num_threads(threads)
            results.append([[d.to_dict() for d in q.NERProcessor(path).bulk_process(
                [q.Document.from_dict(f) for f in forms])] for _, path in models[:2]])
    finally:
        torch.set_num_threads(before)
    assert results[0] == results[1]
