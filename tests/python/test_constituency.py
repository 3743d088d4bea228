"""ConstituencyProcessor: trees against the eager reference on random bundles, legality
forced through bias-only scorers, write-back, all-or-nothing documents, pipelines, and
refused bundles in check order."""
import copy

import torch

import _quelbin as q
import _quelbin_testing as t
import bundle_writer as bw
from conftest import check_refusals, edit_at, outcome
from model_bundles.constituency import (random_constituency_model, random_sentences, transition_table,
                                        write_constituency_bundle)
from reference.constituency import ConstituencyReference

CON = q.ConstituencyModelError
VARIANTS = {  # name -> random_constituency_model arguments
    "plain": {}, "boundary, two layers": dict(boundary=True, layers=2),
    "no tag embedding, one output layer": dict(tag_dim=0, output_layers=1),
    "charlms, lower-cased pretrain": dict(charlm=("forward", "backward"), lower=True),
    "forward charlm only": dict(charlm=("forward",), boundary=True, unary_limit=0),
    "three output layers, wide": dict(output_layers=3, hidden=16, transition_hidden=12, unary_limit=1),
}


def test_trees_match_the_reference(tmp_path):
    for seed, (name, options) in enumerate(VARIANTS.items()):
        model = random_constituency_model(seed, **options)
        parser = q.ConstituencyProcessor(write_constituency_bundle(tmp_path / str(seed), model).path)
        reference = ConstituencyReference(model.tensors, model.assets())
        pairs = random_sentences(seed, 24, max_length=8)
        expected = [reference.parse(words, tags) for words, tags in pairs]
        got = parser.parse_many([p[0] for p in pairs], [p[1] for p in pairs])
        compared = [(str(g), e) for g, (e, margin) in zip(got, expected, strict=True) if margin > 1e-4]
        assert len(compared) > 14 and all(g == e for g, e in compared), (name, compared)
        one = next(i for i, (_, m) in enumerate(expected) if m > 1e-4)
        assert str(parser.parse(*pairs[one])) == expected[one][0]
        assert parser.uses_xpos


def bias_only(tmp_path, name, scores, *, opens, roots=("ROOT",), unary_limit=0, order=("shift", "close", "open")):
    """A parser whose one output layer ignores its input: the scores are `scores`."""
    model = random_constituency_model(1, opens=opens, root_labels=roots, unary_limit=unary_limit,
                                      output_layers=1)
    model.extra["transitions"] = transition_table(opens, order)
    model.tensors["transition_embedding.weight"] = torch.zeros(len(scores), 5)
    model.tensors["output_layers.0.weight"] = torch.zeros(len(scores), 2 * 8 + 6)
    model.tensors["output_layers.0.bias"] = torch.tensor(scores, dtype=torch.float32)
    path = write_constituency_bundle(tmp_path / name, model).path
    return q.ConstituencyProcessor(path), ConstituencyReference(model.tensors, model.assets())


def test_legality_with_fixed_scores(tmp_path):
    rows = [  # (name, scores in table order, opens, roots, unary limit, order, words, tags, expected)
        ("one word", [0, 3, 1], [["ROOT"]], ("ROOT",), 0, None, ["w"], ["NN"], "(ROOT (NN w))"),
        ("tag is a root label", [0, 3, 1], [["ROOT"]], ("ROOT", "NN"), 0, None, ["w"], ["NN"], "(NN w)"),
        # Equal scores go in table order: Shift, then NP wherever it is legal, ROOT last.
        ("ties in table order", [0, 0, 0, 0], [["NP"], ["ROOT"]], ("ROOT",), 1, None, ["a", "b"], ["DT", "NN"],
         "(ROOT (NP (NP (NP (DT a) (NN b)))))"),
        ("ties, close first", [0, 0, 0, 0], [["NP"], ["ROOT"]], ("ROOT",), 0, ("close", "open", "shift"),
         ["a", "b"], ["DT", "NN"], "(ROOT (NP (NP (DT a) (NN b))))"),
        # The best transition is illegal (Close with nothing open): the next legal one runs.
        ("chain label", [0, 5, 1, 2], [["S", "VP"], ["ROOT"]], ("ROOT",), 0, None, ["go", "now"],
         ["VB", "RB"], "(ROOT (S (VP (VB go) (RB now))))"),
        # With limit 0 a non-root Open over a preterminal is illegal once something is open.
        ("unary limit", [1, 0, 3, 2], [["NP"], ["ROOT"]], ("ROOT",), 0, None, ["a", "b", "c"],
         ["DT", "NN", "VB"], "(ROOT (NP (NP (DT a) (NN b) (VB c))))"),
        # With limit 1 NP may open over a preterminal, and a unary NP over one may not grow.
        ("unary limit 1", [1, 0, 3, 2], [["NP"], ["ROOT"]], ("ROOT",), 1, None, ["a", "b", "c"],
         ["DT", "NN", "VB"], "(ROOT (NP (NP (NP (DT a) (NP (NP (NP (NN b) (NP (VB c)))))))))"),
        ("no root Open", [0, 0, 1], [["NP"]], ("ROOT",), 0, None, ["a"], ["DT"],
         "constituency parser could not find a legal transition"),
        ("endless unary chains", [0, 1, 2], [["NP"]], ("ROOT",), 10 ** 6, None, ["a"], ["DT"],
         "constituency parser exceeded its transition limit"),
    ]
    for name, scores, opens, roots, limit, order, words, tags, expected in rows:
        parser, reference = bias_only(tmp_path, name.replace(" ", "_"), scores, opens=opens, roots=roots,
                                      unary_limit=limit, order=order or ("shift", "close", "open"))
        got = outcome(lambda: str(parser.parse(words, tags)))
        assert got == expected or got == (CON, expected), (name, got)
        assert reference.parse(words, tags)[0] == expected, name


def test_documents(tmp_path):
    model = random_constituency_model(3, unary_limit=3)
    parser = q.ConstituencyProcessor(write_constituency_bundle(tmp_path / "x", model).path)
    upos_model = random_constituency_model(3, unary_limit=3, tag_source="upos")
    upos_parser = q.ConstituencyProcessor(write_constituency_bundle(tmp_path / "u", upos_model).path)
    reference = ConstituencyReference(model.tensors, model.assets())
    assert not upos_parser.uses_xpos

    def doc(*sentences):
        return q.Document.from_dict([[{"id": i + 1, "text": w, **tags} for i, (w, tags) in enumerate(s)]
                                     for s in sentences])

    both = {"upos": "NOUN", "xpos": "NN"}
    d = doc([("cat", both), ("sat", {"upos": "VERB", "xpos": ""})], [("dog", both)])
    assert parser.process(d) is not None
    trees = [s.constituency for s in d.sentences]
    assert [str(x) for x in trees] == [reference.parse(["cat", "sat"], ["NN", ""])[0],
                                       reference.parse(["dog"], ["NN"])[0]]
    assert trees[0].leaf_labels() == ["cat", "sat"]
    assert str(upos_parser.process(doc([("dog", both)])).sentences[0].constituency) == \
        str(upos_parser.parse(["dog"], ["NOUN"]))
    # Processing again replaces the trees with new ones.
    parser.process(d)
    assert not d.sentences[0].constituency == trees[0] and str(d.sentences[0].constituency) == str(trees[0])
    # Failures store no tree in any sentence of the document.
    for bad, message in [
        (doc([("a", both)], [("b", {"upos": "X"})]), "constituency requires XPOS on every word"),
        (t.make_document("", [["a"], []]), "constituency requires XPOS on every word"),
    ]:
        assert outcome(lambda: parser.process(bad)) == (CON, message)
        assert all(s.constituency is None for s in bad.sentences)
    upos_missing = doc([("a", {"xpos": "NN"})])
    assert outcome(lambda: upos_parser.process(upos_missing)) == (CON, "constituency requires UPOS on every word")
    empty = doc([("a", both)], [])
    assert outcome(lambda: parser.process(empty)) == (CON, "constituency parser cannot parse an empty sentence")
    assert empty.sentences[0].constituency is None
    # Bulk: documents before the failing one keep their trees.
    good, blank = doc([("a", both)]), q.Document("")
    assert outcome(lambda: parser.bulk_process([good, blank, empty])) == \
        (CON, "constituency parser cannot parse an empty sentence")
    assert good.sentences[0].constituency is not None
    assert parser.bulk_process([]) == [] and len(parser.process(blank).sentences) == 0
    for call, message in [
        (lambda: parser.parse_many([["a"]], [["NN"], ["NN"]]), "constituency sentence and tag batches have different lengths"),
        (lambda: parser.parse(["a", "b"], ["NN"]), "constituency words and tags have different lengths"),
        (lambda: parser.parse([], []), "constituency parser cannot parse an empty sentence"),
    ]:
        assert outcome(call) == (CON, message)
    assert parser.parse_many([], []) == []
    # A long sentence parses or stops at the transition limit, never crashes.
    long_words = ["cat", "x y"] * 150
    got = outcome(lambda: parser.parse(long_words, ["NN"] * 300).leaf_labels())
    assert got == long_words or got == (CON, "constituency parser exceeded its transition limit"), got


def test_bundle_less_processor():
    bare = q.ConstituencyProcessor()
    assert not bare.implemented and bare.bundle_path is None
    for call in (lambda: bare.uses_xpos, lambda: bare.parse(["a"], ["b"]), lambda: bare.parse_many([], [])):
        assert outcome(call) == (q.ProcessorNotImplementedError,
                                 "the 'constituency' processor has no loaded model bundle")


def config(**changes):
    return edit_at("config", **changes)


def drop(name):
    return lambda b: b["tensors"].pop(name)


def grow(name):
    return lambda b: b["tensors"].update({name: torch.zeros(b["tensors"][name].shape[0] + 1,
                                                            *b["tensors"][name].shape[1:])})


ARCH = ("unsupported constituency architecture; the native profile requires IN_ORDER/MAX/LSTM with ReLU, one "
        "tree layer, ordinary output layers, and no parser attention or PEFT")
VOCAB, HIDDEN = "constituency vocabularies disagree with embedding rows", "constituency hidden dimensions disagree"
REFUSALS = [  # in the loader's check order
    (lambda b: b.update(processor="pos"), CON, "expected a constituency bundle, got 'pos'"),
    (lambda b: b["assets"].pop("config"), CON, "missing JSON key 'config' at assets"),
    (config(transition_scheme="TOP_DOWN"), CON, ARCH),
    (config(transition_scheme=KeyError), CON, "missing JSON key 'transition_scheme' at assets.config"),
    (config(nonlinearity=3), CON, "expected JSON string at assets.config.nonlinearity"),
    (config(constituency_composition="BILSTM"), CON, ARCH),
    (config(num_tree_lstm_layers=KeyError), CON, ARCH),
    (config(maxout_k=2), CON, ARCH),
    (config(use_peft=True), CON, ARCH),
    (config(use_rattn="no"), CON, "expected JSON boolean at assets.config.use_rattn"),
    (config(sentence_boundary_vectors="none"), CON, "unsupported constituency sentence boundary profile: 'none'"),
    (config(delta_embedding_dim=0), CON, "constituency model dimensions must be positive"),
    (config(hidden_size=None), CON, "constituency model dimensions must be positive"),
    (config(tag_embedding_dim=-1), CON, "constituency model dimensions must be positive"),
    (edit_at("runtime_contract", tag_source="XPOS"), CON, "unsupported constituency tag source: 'XPOS'"),
    (edit_at(unary_limit=-1), CON, "constituency unary limit cannot be negative"),
    (edit_at(unary_limit=KeyError), CON, "missing JSON key 'unary_limit' at assets"),
    (edit_at(root_labels=[]), CON, "constituency model has no root labels"),
    (edit_at(transitions=[{"kind": "shift"}, {"kind": "open", "labels": [], "open_index": 0}]), CON,
     "constituency Open transition is incomplete"),
    (edit_at(transitions=[{"kind": "shift"}, {"kind": "open", "labels": ["X"], "open_index": -1}]), CON,
     "constituency Open transition is incomplete"),
    (edit_at(transitions=[{"kind": "Shift"}]), CON, "unknown constituency transition kind: 'Shift'"),
    (edit_at(transitions=[{"kind": "shift"}, {"kind": "open", "labels": ["X"], "open_index": 0}]), CON,
     "constituency transition table is incomplete"),
    (edit_at(transitions=[{"kind": "close", "labels": 5}]), CON, "constituency transition table is incomplete"),
    (edit_at(delta_words=["a", 1]), CON, "expected JSON string at assets.delta_words[]"),
    (edit_at(tags=None), CON, "expected JSON array at assets.tags"),
    (edit_at("pretrain_vocab", _unit2id={"<PAD>": 1, "<UNK>": 0}), CON,
     "constituency pretrain vocabulary has invalid PAD/UNK ids"),
    (lambda b: b["tensors"].update({"extra": torch.zeros(2, dtype=torch.uint16)}), CON,
     "ATen view does not support bundle dtype: uint16"),
    (lambda b: b["tensors"].update({"forward_charlm.char_emb.weight": torch.zeros(2, 2)}), CON,
     "constituency charLM tensors have no assets"),
    (drop("reduce_linear.bias"), CON, "missing constituency tensor: 'reduce_linear.bias'"),
    (drop("word_lstm.bias_hh_l0_reverse"), CON, "missing constituency tensor: 'word_lstm.bias_hh_l0_reverse'"),
    (drop("output_layers.1.weight"), CON, "missing constituency tensor: 'output_layers.1.weight'"),
    (grow("embedding.weight"), CON, VOCAB),
    (grow("delta_embedding.weight"), CON, VOCAB),
    (grow("tag_embedding.weight"), CON, VOCAB),
    (grow("transition_embedding.weight"), CON, VOCAB),
    (lambda b: b["tensors"].update({"dummy_embedding.weight": torch.zeros(3, 9)}), CON, HIDDEN),
    (grow("word_to_constituent.weight"), CON, HIDDEN),
    (grow("reduce_linear.weight"), CON, HIDDEN),
    (config(transition_hidden_size=2**62), CON, HIDDEN),
    # Loads: a scheme-free extra key, unary limit 0, bert_model null, no Open rows.
    (config(something_else=1), None, None),
    (edit_at(unary_limit=0), None, None),
    (edit_at(transitions=[{"kind": "shift"}, {"kind": "close"}]), None, None),
]


def test_refused_bundles(tmp_path):
    full = random_constituency_model(4)
    loads = check_refusals(tmp_path / "a", REFUSALS[:-1], "constituency", full.assets(), full.tensors,
                           lambda path: q.ConstituencyProcessor(path, verify_checksums=True))
    # The two-row table (last row) needs a two-row transition embedding.
    base = random_constituency_model(4)
    base.tensors["transition_embedding.weight"] = base.tensors["transition_embedding.weight"][:2].clone()
    check_refusals(tmp_path / "b", REFUSALS[-1:], "constituency", base.assets(), base.tensors,
                   q.ConstituencyProcessor)
    bw.flip_byte(loads / "tensors.bin", 0)  # a broken digest is the bundle's own error
    assert outcome(lambda: q.ConstituencyProcessor(loads, verify_checksums=True))[0] is q.ModelBundleError
    # Without a tag embedding its tensor is not needed.
    no_tags = random_constituency_model(5, tag_dim=0)
    check_refusals(tmp_path / "c", [(lambda b: None, None, None)], "constituency", no_tags.assets(),
                   no_tags.tensors, q.ConstituencyProcessor)
    # Character LMs: a forward model alone loads; directions are checked per slot.
    forward = random_constituency_model(6, charlm=("forward",))
    backward = random_constituency_model(7, charlm=("backward",))
    swapped = copy.deepcopy(backward.assets())
    swapped["charlm"]["backward"]["is_forward_lm"] = True
    flipped = copy.deepcopy(forward.assets())
    flipped["charlm"]["forward"]["is_forward_lm"] = False
    boundary = random_constituency_model(8, boundary=True)
    for model, edit, message in [
        (forward, lambda b: None, None),
        (forward, lambda b: b.update(assets=flipped), "constituency forward charLM has the wrong direction"),
        (backward, lambda b: b.update(assets=swapped), "constituency backward charLM has the wrong direction"),
        (backward, lambda b: b["assets"]["charlm"].pop("backward"), "missing JSON key 'backward' at assets.charlm"),
        (boundary, drop("constituent_stack.start_embedding"),
         "missing constituency tensor: 'constituent_stack.start_embedding'"),
        # Duplicate vocabulary entries are refused even when the rows fit the distinct entries.
        (full, lambda b: (b["assets"]["delta_words"].append(b["assets"]["delta_words"][0]),
                          b["tensors"].update({"delta_embedding.weight": torch.zeros(
                              len(b["assets"]["delta_words"]) + 1, 3)})), VOCAB),
        (full, lambda b: (b["assets"]["tags"].append(b["assets"]["tags"][0]),
                          b["tensors"].update({"tag_embedding.weight": torch.zeros(
                              len(b["assets"]["tags"]) + 1, 4)})), VOCAB),
        (full, config(bert_model="bert"), "missing JSON key 'transformer' at assets"),
    ]:
        check_refusals(tmp_path / "d", [(edit, message and CON, message)], "constituency", model.assets(),
                       model.tensors, q.ConstituencyProcessor)


def test_transformer_features(tmp_path):
    from conftest import BUILD
    from model_bundles.transformer import TINY_VOCAB, compiled_package, tiny_model, wordpiece_section
    from reference.transformer import sliced_run, word_rows

    package = compiled_package("tiny", BUILD / "fixtures" / "aoti_packages")
    encoder, eager = q.TransformerEncoder(package, TINY_VOCAB, model_max_length=16), tiny_model()

    @torch.no_grad()
    def rows(words, keep_endpoints):
        encoding = encoder.tokenize(words)
        run = lambda window: eager(torch.tensor([window]), torch.ones(1, len(window), dtype=torch.int64))[0]
        return word_rows(sliced_run(run, encoding.input_ids, 16), encoding.word_ids, len(words), keep_endpoints)

    vocab = TINY_VOCAB[4:] + ["unbelievable", "Cats"]
    for boundary in (False, True):
        model = random_constituency_model(40 + boundary, boundary=boundary, words=vocab,
                                          transformer=wordpiece_section(TINY_VOCAB))
        parser = q.ConstituencyProcessor(write_constituency_bundle(tmp_path / str(boundary), model,
                                                                   package=package).path)
        reference = ConstituencyReference(model.tensors, model.assets(), rows)
        pairs = random_sentences(41, 12, words=vocab, max_length=12)
        got = parser.parse_many([p[0] for p in pairs], [p[1] for p in pairs])
        compared = [(str(g), e) for g, (e, m) in zip(got, map(lambda p: reference.parse(*p), pairs)) if m > 1e-4]
        assert len(compared) > 6 and all(g == e for g, e in compared), (boundary, compared)


def test_pipelines_parse_what_they_tag(tmp_path):
    from model_bundles.pos import random_pos_model, write_pos_bundle
    from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width
    from model_bundles.tokenizer import hand_set_weights, write_tokenizer_bundle

    root = tmp_path / "models"
    language = root / "1.14.0" / "en"
    write_tokenizer_bundle(language / "tok", vocab=DEFAULT_VOCAB,
                           tensor_overrides=hand_set_weights(DEFAULT_VOCAB, 8, 8, feature_width(DEFAULT_FEATURES)))
    write_pos_bundle(language / "pos", random_pos_model(50))
    model = random_constituency_model(51, tag_source="upos", unary_limit=1)
    write_constituency_bundle(language / "con", model)
    bw.write_index(root, [("tokenize", "default", "tok"), ("pos", "default", "pos"),
                          ("constituency", "default", "con")], language="en")
    reference = ConstituencyReference(model.tensors, model.assets())
    pipeline = q.Pipeline("en", processors="tokenize,pos,constituency", model_dir=root)
    assert pipeline.processors[-1].implemented and pipeline.processors[-1].bundle_path is not None
    texts = ["The cat sat on the mat. A dog ran!", "", "It is big."]
    for docs in ([pipeline.process(text) for text in texts], pipeline.process(texts)):
        sentences = [s for d in docs for s in d.sentences]
        assert len(sentences) >= 3
        for s in sentences:
            words, tags = [w.text for w in s.words], [w.upos for w in s.words]
            expected, margin = reference.parse(words, tags)
            assert s.constituency.leaf_labels() == words
            assert margin <= 1e-4 or str(s.constituency) == expected
