"""POSProcessor: tags against the eager reference on random bundles (one document at a time
and in bulk), write-back rules, all-or-nothing bulk, refused bundles in check order."""
import copy
import functools

import torch

import _quelbin as q
import _quelbin_testing as t
import bundle_writer as bw
from conftest import check_refusals, edit_at, outcome
from model_bundles.pos import random_pos_model, random_sentences, write_pos_bundle
from reference.pos import POSReference

POS = q.POSModelError
VARIANTS = {  # name -> random_pos_model arguments
    "plain": {}, "composite": dict(composite=True, sep=""),
    "eleven components": dict(composite=True, xpos_components=11, sep="-"),
    "gate per unit": dict(attn_rows=9, num_layers=1, xpos_ignore=True, word_lower=True),
    "three layers, small batches": dict(num_layers=3, batch_size=3, batch_maximum_tokens=20),
    "charlm": dict(charlm=True), "charlm transform": dict(charlm=True, charlm_transform_dim=3),
    "no features": dict(feats=0, composite=True, xpos_components=0),
}


def tags(documents):
    return [[(w.upos or "_", w.xpos or "_", w.feats or "_") for w in s.words]
            for d in documents for s in d.sentences]


def agreeing(got, expected):
    """(words compared, words that differ) where the reference's margin exceeds 1e-4."""
    pairs = [(g, e) for gs, es in zip(got, expected, strict=True)
             for g, (e, m) in zip(gs, es, strict=True) if m > 1e-4]
    return len(pairs), [p for p in pairs if p[0] != p[1]]


def test_tags_match_the_reference(tmp_path):
    for seed, (name, options) in enumerate(VARIANTS.items()):
        model = random_pos_model(seed, **options)
        tagger = q.POSProcessor(write_pos_bundle(tmp_path / str(seed), model).path)
        reference = POSReference(model.tensors, model.assets())
        sentences = random_sentences(seed, 60)
        docs = [t.make_document("", sentences[j:j + 6]) for j in range(0, 60, 6)]
        words = [[w.text for w in s.words] for d in docs for s in d.sentences]
        one_at_a_time = tags([tagger.process(d) for d in docs])
        copies = [t.make_document("", sentences[j:j + 6]) for j in range(0, 60, 6)]
        bulk = tags(tagger.bulk_process(copies))
        for got, batched in [(one_at_a_time, False), (bulk, True)]:
            compared, wrong = agreeing(got, reference.tag(words, batched=batched))
            assert compared > 0.95 * sum(map(len, words)) and not wrong, (name, batched, wrong)
        # Bulk over many documents equals one document at a time.
        singles = tags([tagger.bulk_process([t.make_document("", sentences[j:j + 6])])[0]
                        for j in range(0, 60, 6)])
        assert agreeing(singles, reference.tag(words, batched=False))[1] == [], name


def test_write_back(tmp_path):
    model = random_pos_model(5, composite=True, xpos_components=1)
    # Component 0 always predicts id 2 and every feature too: XPOS and feats are "_".
    for name, tensor in model.tensors.items():
        if name.startswith(("xpos_clf.", "ufeats_clf.")) and name.endswith(".bias"):
            tensor.copy_(torch.arange(len(tensor)) == 2).mul_(1e4)
    tagger = q.POSProcessor(write_pos_bundle(tmp_path / "m", model).path)
    doc = q.Document.from_dict([[{"id": 1, "text": "cat", "upos": "X", "xpos": "old", "feats": "A=1"},
                                 {"id": [1, 1], "text": "gap", "upos": "E", "xpos": "e"},
                                 {"id": 2, "text": "sat"}]])
    assert tagger.process(doc) is not None
    words = doc.sentences[0].words
    assert [(w.xpos, w.feats) for w in words] == [(None, None), (None, None)]
    assert all(w.upos in model.vocab["upos"]["_id2unit"] for w in words)
    empty = doc.sentences[0].empty_words[0]
    assert (empty.upos, empty.xpos) == ("E", "e")
    # Documents without sentences, sentences without words, and no documents at all.
    assert tagger.bulk_process([]) == []
    blank = t.make_document("", [[], ["cat"], []])
    assert [len(s) for s in tags(tagger.bulk_process([q.Document(""), blank]))] == [0, 1, 0]
    assert tags([tagger.process(q.Document("x"))]) == []


def test_bulk_writes_nothing_when_a_sentence_fails(tmp_path):
    model = random_pos_model(6)
    # A feature classifier with a class past its values, always chosen.
    weight, bias = model.tensors["ufeats_clf.0.W_bilin.weight"], model.tensors["ufeats_clf.0.W_bilin.bias"]
    model.tensors["ufeats_clf.0.W_bilin.weight"] = torch.cat([weight, weight[:1]])
    model.tensors["ufeats_clf.0.W_bilin.bias"] = torch.cat([bias, torch.tensor([1e4])])
    tagger = q.POSProcessor(write_pos_bundle(tmp_path / "m", model).path)
    docs = [t.make_document("", [["cat", "sat"]]), t.make_document("", [["on"], ["the", "mat"]])]
    before = [d.to_dict() for d in docs]
    assert outcome(lambda: tagger.bulk_process(docs)) == (POS, "feature classifier produced an invalid id")
    assert [d.to_dict() for d in docs] == before


config = functools.partial(edit_at, "config")
xpos = functools.partial(edit_at, "vocab", "xpos")
ARCH = ("unsupported POS architecture; the native profile requires word/pretrain embeddings, one "
        "unidirectional character LSTM, a non-shared HighwayLSTM, and no recurrent dropout")
FEATS = "the native POS profile requires keyed, pipe-separated morphological features"
KEYS_INT, KEYS_CONTIGUOUS = ("composite XPOS component keys must be integers",
                             "composite XPOS component keys must be contiguous")
VOCAB_DIMS = "POS tensor dimensions disagree with bundled vocabularies"


def drop(*names):
    return lambda b: [b["tensors"].pop(name) for name in names]


def grow(name, rows=1, dim=0):
    def edit(b):
        tensor = b["tensors"][name]
        b["tensors"][name] = torch.cat([tensor, tensor.narrow(dim, 0, rows)], dim)
    return edit


def components(keys):
    def edit(b):
        labels = list(b["assets"]["vocab"]["xpos"]["_id2unit"].values())
        b["assets"]["vocab"]["xpos"]["_id2unit"] = dict(zip(keys, labels))
    return edit


REFUSALS = [  # edit of the composite base bundle -> error class and message (None: it loads)
    (lambda b: b.update(processor="depparse", assets="{"), POS, "expected a POS bundle, got 'depparse'"),
    (lambda b: b.update(assets="{"), POS, "expected object key at JSON byte 1"),
    (edit_at(config=KeyError), POS, "missing JSON key 'config' at assets"),
    (config(char=KeyError), POS, ARCH), (config(pretrain=False), POS, ARCH),
    (config(char_bidirectional=True), POS, ARCH), (config(share_hid=True), POS, ARCH),
    (config(char_num_layers=2), POS, ARCH), (config(char_num_layers=KeyError), POS, ARCH),
    (config(char_rec_dropout=0.5), POS, ARCH), (config(rec_dropout=0.1), POS, ARCH),
    (config(hidden_dim=0), POS, ARCH), (config(tag_emb_dim=KeyError), POS, ARCH),
    (config(batch_maximum_tokens=0), POS, ARCH),
    (config(batch_size=250.0), POS, "expected JSON integer at assets.config.batch_size"),
    (config(rec_dropout="0"), POS, "expected JSON number at assets.config.rec_dropout"),
    (config(charlm=1), POS, "expected JSON boolean at assets.config.charlm"),
    (config(batch_size=None, batch_maximum_tokens=None, rec_dropout=0.0), None, None),
    # Any non-null model name asks for transformer features.
    (config(bert_model=False), POS, "missing JSON key 'transformer' at assets"),
    (lambda b: (config(bert_model="")(b), edit_at(transformer={})(b)), POS,
     "missing JSON key 'backend' at assets.transformer"),
    (lambda b: (config(bert_model="")(b), edit_at(transformer={"backend": "onnx"})(b)),
     q.TransformerError, "unsupported transformer runtime backend"),
    (edit_at("vocab", "_key2class", xpos="Vocab"), POS, "unsupported XPOS vocabulary class: Vocab"),
    (xpos(keyed=True), POS, "keyed composite XPOS vocabularies are unsupported"),
    (xpos(sep=KeyError), POS, "missing JSON key 'sep' at assets.vocab.xpos"),
    (components(["0", "2"]), POS, KEYS_CONTIGUOUS), (components(["0", "00"]), POS, KEYS_CONTIGUOUS),
    (components(["0", "a"]), POS, KEYS_INT), (components(["1x", "0"]), POS, KEYS_INT),
    (components(["1", "0"]), None, None),
    (xpos(_id2unit={"0": ["a", 1]}), POS, "expected JSON string at assets.vocab.xpos._id2unit.0[]"),
    (edit_at("vocab", "word", lower="yes"), POS, "expected JSON boolean at assets.vocab.word.lower"),
    (edit_at("vocab", "char", _unit2id={"a": "1"}), POS,
     "expected JSON integer at assets.vocab.char._unit2id.a"),
    (edit_at("vocab", "upos", _id2unit=["A", 2]), POS, "expected JSON string at assets.vocab.upos._id2unit[]"),
    (edit_at(pretrain_vocab=KeyError), POS, "missing JSON key 'pretrain_vocab' at assets"),
    (edit_at("vocab", "feats", sep=","), POS, FEATS), (edit_at("vocab", "feats", keyed=False), POS, FEATS),
    (lambda b: b["tensors"].update(extra=bw.RawTensor("complex64", [1], bytes(8))), POS,
     "ATen view does not support bundle dtype: complex64"),
    (drop("ufeats_clf.1.W_bilin.bias", "upos_emb.weight"), POS, "missing POS tensor: 'upos_emb.weight'"),
    (drop("ufeats_clf.1.W_bilin.bias"), POS, "missing POS tensor: 'ufeats_clf.1.W_bilin.bias'"),
    (drop("taggerlstm.gate.1.bias", "xpos_clf.1.W_bilin.weight"), POS,
     "missing POS tensor: 'xpos_clf.1.W_bilin.weight'"),
    (drop("taggerlstm.gate.1.bias", "trans_char.weight"), POS, "missing POS tensor: 'trans_char.weight'"),
    (drop("taggerlstm.gate.1.bias"), POS, "missing POS tensor: 'taggerlstm.gate.1.bias'"),
    (grow("word_emb.weight"), POS, VOCAB_DIMS), (grow("word_emb.weight", dim=1), POS, VOCAB_DIMS),
    (grow("pretrained_emb.weight"), POS, VOCAB_DIMS), (grow("upos_clf.weight"), POS, VOCAB_DIMS),
    (grow("xpos_clf.1.W_bilin.weight"), POS,
     "composite XPOS tensor dimensions disagree with its vocabulary"),
    (grow("charmodel.char_emb.weight"), POS, "POS character tensor dimensions disagree with its vocabulary"),
    (grow("taggerlstm.lstm.0.lstm.weight_ih_l0", dim=1), POS,
     "POS tagger input size disagrees with its embedding profile"),
    # Shapes the checks above leave open are refused by the kernels, at load.
    (grow("taggerlstm.lstm.1.lstm.weight_ih_l0", dim=1), POS, None),
    (grow("charmodel.char_attn.weight"), POS, None),
]


def test_refused_bundles(tmp_path):
    base = random_pos_model(7, composite=True, feats=2)
    rows = [(edit, error, message) for edit, error, message in REFUSALS if message is not None]
    loads = check_refusals(tmp_path / "a", rows, "pos", base.assets(), base.tensors,
                           lambda path: q.POSProcessor(path, verify_checksums=True))
    bw.flip_byte(loads / "tensors.bin", 0)  # a broken digest is the bundle's own error
    assert outcome(lambda: q.POSProcessor(loads, verify_checksums=True))[0] is q.ModelBundleError
    for edit, error, message in REFUSALS:
        if message is None and error is not None:
            bundle = {"processor": "pos", "assets": copy.deepcopy(base.assets()), "tensors": dict(base.tensors)}
            edit(bundle)
            path = bw.write_bundle(tmp_path / "kernel", "pos", bundle["tensors"], bundle["assets"]).path
            got = outcome(lambda: q.POSProcessor(path))
            assert got[0] is POS and got[1].startswith("POS weights do not fit the native kernels: "), got
    # The plain vocabulary's own checks, and the character LMs' slots.
    plain = random_pos_model(8, xpos_ignore=True)
    charlm = random_pos_model(9, charlm=True, charlm_transform_dim=2)
    swapped = copy.deepcopy(charlm.assets())
    swapped["charlm"]["forward"]["is_forward_lm"] = False
    for model, edit, message in [
        (plain, grow("xpos_clf.W_bilin.weight"), "XPOS tensor dimensions disagree with its vocabulary"),
        (plain, xpos(ignore={}), "expected JSON array at assets.vocab.xpos.ignore"),
        (charlm, lambda b: b.update(assets=swapped), "POS charLM directions disagree with their asset slots"),
        (charlm, drop("charmodel_backward_transform.weight"),
         "missing POS tensor: 'charmodel_backward_transform.weight'"),
        # With character LMs the character model's tensors and settings are not needed.
        (charlm, config(char_num_layers=2, char_rec_dropout=0.5), None),
    ]:
        check_refusals(tmp_path / "b", [(edit, message and POS, message)], "pos", model.assets(),
                       model.tensors, q.POSProcessor)


TEXT = "Il va au marché du village. Ils achètent du pain!\n\nLe marché ferme à midi ??"
FRENCH = ["Il", "va", "à", "le", "marché", "de", "village", ".", "Ils", "pain", "!", "Le", "ferme"]


def test_pipelines_tag_what_they_tokenize(tmp_path):
    from model_bundles.lemma import write_lemma_bundle
    from model_bundles.mwt import write_dict_bundle
    from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width
    from model_bundles.tokenizer import hand_set_weights, write_tokenizer_bundle

    root, vocab = tmp_path / "models", DEFAULT_VOCAB + "àâçéèêëîïôûùüÀÉ"
    language = root / "1.14.0" / "fr"
    write_tokenizer_bundle(language / "tok", use_mwt=True, vocab=vocab,
                           tensor_overrides=hand_set_weights(vocab, 8, 8, feature_width(DEFAULT_FEATURES)))
    write_dict_bundle(language / "mwt", {"au": "à le", "du": "de le"})
    model = random_pos_model(21, words=FRENCH, composite=True)
    write_pos_bundle(language / "pos", model)
    # Lemmas that show the UPOS the lemmatizer received.
    upos = model.vocab["upos"]["_id2unit"]
    write_lemma_bundle(language / "lemma", {tag: {w: f"{w}/{tag}" for w in FRENCH + ["achètent", "midi", "?"]}
                                            for tag in upos}, pos=True)
    bw.write_index(root, [("tokenize", "default", "tok"), ("mwt", "default", "mwt"),
                          ("pos", "default", "pos"), ("lemma", "default", "lemma")], language="fr")
    reference = POSReference(model.tensors, model.assets())
    texts = [TEXT, "", "du pain.", TEXT * 2]
    for processors in ["tokenize,pos", "tokenize,mwt,pos,lemma"]:
        pipeline = q.Pipeline("fr", processors=processors, model_dir=root)
        assert pipeline.processors[-1].implemented and pipeline.processors[-1].bundle_path is not None
        single, bulk = [pipeline.process(text) for text in texts], pipeline.process(texts)
        for docs, batched in [(single, False), (bulk, True)]:
            words = [[w.text for w in s.words] for d in docs for s in d.sentences]
            compared, wrong = agreeing(tags(docs), reference.tag(words, batched=batched))
            assert compared > 0.9 * sum(map(len, words)) and not wrong, (processors, batched)
            if processors.endswith("lemma"):
                assert ["à", "le"] == words[0][2:4]
                assert all(w.lemma == f"{w.text}/{w.upos}" for d in docs for w in d.iter_words())


def test_transformer_features(tmp_path):
    from conftest import BUILD
    from model_bundles.transformer import TINY_VOCAB, compiled_package, tiny_model, wordpiece_section
    from reference.transformer import sliced_run, word_rows

    package = compiled_package("tiny", BUILD / "fixtures" / "aoti_packages")
    section = wordpiece_section(TINY_VOCAB)
    model = random_pos_model(30, transformer=section, words=TINY_VOCAB[4:] + ["unbelievable", "Cats"])
    tagger = q.POSProcessor(write_pos_bundle(tmp_path / "m", model, package=package).path)
    # The eager encoder's word rows over the engine's own subword ids (sentences longer
    # than the model's 16 ids run in windows).
    encoder, eager = q.TransformerEncoder(package, TINY_VOCAB, model_max_length=16), tiny_model()

    @torch.no_grad()
    def rows(words):
        encoding = encoder.tokenize(words)
        run = lambda window: eager(torch.tensor([window]), torch.ones(1, len(window), dtype=torch.int64))[0]
        return word_rows(sliced_run(run, encoding.input_ids, 16), encoding.word_ids, len(words), False)

    reference = POSReference(model.tensors, model.assets(), rows)
    sentences = random_sentences(31, 30, words=TINY_VOCAB[4:] + ["unbelievable", "Cats"])
    for batched in (False, True):
        docs = [t.make_document("", sentences[j:j + 5]) for j in range(0, 30, 5)]
        got = tags(tagger.bulk_process(docs) if batched else [tagger.process(d) for d in docs])
        words = [[w.text for w in s.words] for d in docs for s in d.sentences]
        compared, wrong = agreeing(got, reference.tag(words, batched=batched))
        assert compared > 0.95 * sum(map(len, words)) and not wrong, (batched, wrong)
    # The transformer's width is part of the tagger's input.
    wider = copy.deepcopy(model.assets())
    wider["transformer"]["hidden_size"] += 1
    path = write_pos_bundle(tmp_path / "wider", model, assets=wider, package=package).path
    assert outcome(lambda: q.POSProcessor(path)) == (
        POS, "POS tagger input size disagrees with its embedding profile")
