"""Sentence sentiment: loader refusals, SentimentProcessor's operations against the eager
reference, documents written all or nothing, and a tokenize + sentiment pipeline."""
import functools

import numpy as np
import pytest
import torch

import _quelbin as q
import bundle_writer as bw
from bundle_writer import RawTensor
from conftest import check_refusals, outcome, releases_lock
from model_bundles.sentiment import WORDS, random_sentiment, write_sentiment_bundle
from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width, hand_set_weights
from model_bundles.tokenizer import write_tokenizer_bundle
from reference.sentiment import SentimentReference

E = q.SentimentModelError
ARCH = ("unsupported sentiment architecture; the native profile requires Varnek's CNN classifier "
        "without ELMo or PEFT")
# Base of the refusal rows: extra vectors, a projected forward character model, a BiLSTM
# (D = 10), a 1-D and a 2-D filter and two dense layers.
BASE = random_sentiment(3, method="CONCAT", charlm=("forward",), projection=2, bilstm=True,
                        filters=(3, (2, 2)), fc_shapes=(4,))


def config(**changes):
    def edit(bundle):
        for key, value in changes.items():
            bundle["assets"]["config"].pop(key) if value is KeyError else \
                bundle["assets"]["config"].update({key: value})
    return edit


def assets(**changes):
    def edit(bundle):
        bundle["assets"].update(changes)
    return edit


def tensor(name, value):
    def edit(bundle):
        bundle["tensors"].pop(name) if value is KeyError else bundle["tensors"].update({name: value})
    return edit


def both(*edits):
    def edit(bundle):
        for e in edits:
            e(bundle)
    return edit


def charlm_direction(bundle):
    bundle["assets"]["charlm"]["forward"]["is_forward_lm"] = False


def pretrain(**changes):
    def edit(bundle):
        bundle["assets"]["pretrain_vocab"].update(changes)
    return edit


def unk_id(bundle):
    bundle["assets"]["pretrain_vocab"]["_unit2id"]["<UNK>"] = 7


REFUSALS = [  # bundle edit -> error class, message (None: it loads)
    (lambda b: None, None, None),
    (lambda b: b.update(processor="pos"), E, "expected a sentiment bundle, got 'pos'"),
    (config(model_type="cnn"), E, ARCH),
    (config(use_elmo=True), E, ARCH),
    (config(use_peft=True), E, ARCH),
    (config(model_type=KeyError), E, "missing JSON key 'model_type' at assets.config"),
    (config(extra_wordvec_method=KeyError), E, "missing JSON key 'extra_wordvec_method' at assets.config"),
    (config(extra_wordvec_max_norm=1.0), E,
     "sentiment extra-embedding max-norm constraints are not supported by the native profile"),
    (config(extra_wordvec_method="concat"), E, "unsupported sentiment extra word-vector method: 'concat'"),
    (config(bilstm="yes"), E, "expected JSON boolean at assets.config.bilstm"),
    (config(maxpool_width=0), E, "sentiment dimensions and maxpool width must be positive"),
    (config(num_classes=None), E, "sentiment dimensions and maxpool width must be positive"),
    (config(bilstm_hidden_dim=0), E, "sentiment dimensions and maxpool width must be positive"),
    (config(filter_sizes=[]), E, "sentiment classifier has no convolution filters"),
    (config(filter_sizes=[3, [2, 3, 4]]), E, "sentiment 2D filter must have two dimensions"),
    (config(filter_sizes=[0]), E, "sentiment convolution dimensions must be positive"),
    (config(filter_sizes=[3, [2, 0]]), E, "sentiment convolution dimensions must be positive"),
    (config(filter_sizes=[2.5]), E, "expected JSON array at assets.config.filter_sizes[0]"),
    (config(fc_shapes=[4.5]), E, "expected JSON integer at assets.config.fc_shapes[]"),
    (assets(labels=["a", "b"]), E, "sentiment labels disagree with num_classes"),
    (unk_id, E, "sentiment pretrain vocabulary has invalid PAD/UNK ids"),
    (pretrain(lower=None), E, "expected JSON boolean at assets.pretrain_vocab.lower"),
    (assets(extra_vocab=None), E, "sentiment extra vocabulary disagrees with its method"),
    (both(config(extra_wordvec_method="NONE")), E, "sentiment extra vocabulary disagrees with its method"),
    # A repeated extra word would give the last word an id past the table's rows.
    (lambda b: b["assets"]["extra_vocab"].__setitem__(3, b["assets"]["extra_vocab"][2]), E,
     "sentiment extra embedding dimensions disagree with its vocabulary"),
    (tensor("unk", KeyError), E, "missing sentiment tensor: 'unk'"),
    (tensor("unk", torch.zeros(5)), E, "sentiment pretrain embedding dimensions disagree with its vocabulary"),
    (tensor("extra_embedding.weight", torch.zeros(3, 4)), E,
     "sentiment extra embedding dimensions disagree with its vocabulary"),
    (config(extra_wordvec_method="SUM"), E, "summed sentiment embeddings have different widths"),
    (charlm_direction, E, "sentiment forward charLM has the wrong direction"),
    (assets(charlm={}), E, "missing JSON key 'forward' at assets.charlm"),
    (tensor("charmodel_forward_projection.weight", torch.zeros(2, 5)), E,
     "sentiment forward charLM projection has an invalid input width"),
    (tensor("charmodel_forward_projection.weight", torch.zeros(3, 6)), E,
     "sentiment forward charLM projection has an invalid output width"),
    (config(charlm_projection=0), E, "sentiment BiLSTM input width disagrees with its embedding profile"),
    (tensor("bilstm.bias_hh_l1_reverse", KeyError), E, "missing sentiment tensor: 'bilstm.bias_hh_l1_reverse'"),
    (tensor("bilstm.weight_hh_l1", torch.zeros(20, 4)), E,
     "sentiment BiLSTM tensors disagree with bilstm_hidden_dim"),
    (tensor("conv_layers.0.weight", torch.zeros(4, 1, 2, 10)), E,
     "sentiment convolution tensor disagrees with its configured filter"),
    (tensor("conv_layers.0.weight", torch.zeros(4, 1, 3, 9)), E,
     "sentiment full-width convolution has the wrong input width"),
    (tensor("conv_layers.1.bias", torch.zeros(5)), E,
     "sentiment convolution tensor disagrees with its configured filter"),
    (both(config(filter_sizes=[3, [2, 3]]), tensor("conv_layers.1.weight", torch.zeros(4, 1, 2, 3))), E,
     "sentiment 2D filter does not tile its input width"),
    (tensor("fc_layers.1.weight", torch.zeros(3, 5)), E,
     "sentiment fully connected layer dimensions disagree with the configured architecture"),
    (tensor("fc_layers.2.weight", torch.zeros(1)), None, None),  # only the layers fc_shapes asks for
    (config(maxpool_width=9), E, "sentiment maxpool width exceeds the rows of a convolution filter"),
    (config(bert_model="bert"), E, "missing JSON key 'transformer' at assets"),
    (tensor("fc_layers.0.bias", torch.zeros(4, dtype=torch.float64)), E,
     "sentiment network tensors must be float32"),
    (tensor("fc_layers.0.bias", RawTensor("uint16", [4], bytes(8))), E,
     "ATen view does not support bundle dtype: uint16"),
]


def test_loader_refusals(tmp_path):
    check_refusals(tmp_path, REFUSALS, "sentiment", BASE.assets(), BASE.tensors,
                   lambda path: q.SentimentProcessor(path))
    bad = bw.write_bundle(tmp_path / "json", "sentiment", BASE.tensors, "{").path
    assert outcome(lambda: q.SentimentProcessor(bad))[0] is E
    bw.truncate_file(bw.write_bundle(tmp_path / "short", "sentiment", BASE.tensors, BASE.assets()).tensor_file, 8)
    assert outcome(lambda: q.SentimentProcessor(tmp_path / "short"))[0] is q.ModelBundleError


SENTENCES = [["good", "film"], [], ["Paris'", "not", "bad", "The"], ["zzz"] * 12, ["new york"],
             ["awful"], ["straße", "é", "ok", "fun", "plot", "actor"]]


@pytest.mark.parametrize("options", [dict(), dict(filters=((3, 1), 2), bilstm=True, maxpool_width=2),
                                     dict(method="SUM", charlm=("backward",))])
def test_classify_matches_the_reference(tmp_path, options):
    model = random_sentiment(11, **options)
    processor = q.SentimentProcessor(write_sentiment_bundle(tmp_path, model).path)
    reference = SentimentReference(model.tensors, model.assets())
    for budget in (5000, 4, 1):
        assert processor.classify_many(SENTENCES, budget) == reference.classify_many(SENTENCES, budget)
    assert processor.classify_many(SENTENCES) == reference.classify_many(SENTENCES)
    assert [processor.classify(s) for s in SENTENCES] == [reference.classify_many([s])[0] for s in SENTENCES]
    assert releases_lock(functools.partial(processor.classify_many, SENTENCES * 200))


def test_batch_size_and_empty_input(tmp_path):
    processor = q.SentimentProcessor(write_sentiment_bundle(tmp_path, random_sentiment(1)).path)
    for sentences in ([], [["good"]]):
        assert outcome(lambda: processor.classify_many(sentences, 0)) == (
            ValueError, "sentiment batch_size must be positive")
    assert outcome(lambda: processor.classify_many([["good"]], -1))[0] is TypeError
    assert processor.classify_many([]) == []
    assert processor.classify([]) in range(3)


def document(sentences):
    return q.Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(s)] for s in sentences])


def test_documents_get_every_sentence_class(tmp_path):
    model = random_sentiment(5, filters=(2, (3, 2)))
    processor = q.SentimentProcessor(write_sentiment_bundle(tmp_path, model).path)
    reference = SentimentReference(model.tensors, model.assets())
    texts = [SENTENCES[:3], [], SENTENCES[3:]]
    docs = [document(t) for t in texts]
    assert processor.bulk_process(docs) == docs
    # One classification over all sentences of all documents, in document order.
    flat = reference.classify_many([s for t in texts for s in t])
    assert [s.sentiment for d in docs for s in d.sentences] == flat
    single = document(SENTENCES[3:])
    assert processor.process(single) == single
    assert [s.sentiment for s in single.sentences] == reference.classify_many(SENTENCES[3:])
    empty = document([])
    assert processor(empty).to_dict() == []


def test_a_failing_sentence_leaves_every_document_unchanged(tmp_path):
    model = random_sentiment(2)
    model.unit2id["broken"] = 99  # past the embedding table's rows
    del model.unit2id[WORDS[-1]]
    processor = q.SentimentProcessor(write_sentiment_bundle(tmp_path, model).path)
    docs = [document([["good"], ["film"]]), document([["a", "broken"]])]
    assert outcome(lambda: processor.bulk_process(docs)) == (IndexError, "index out of range in self")
    assert outcome(lambda: processor.process(docs[1]))[0] is IndexError
    assert [s.sentiment for d in docs for s in d.sentences] == [None, None, None]
    processor.process(docs[0])
    assert None not in [s.sentiment for s in docs[0].sentences]


def test_tokenize_and_sentiment_pipeline(tmp_path):
    language_dir = tmp_path / "1.14.0" / "en"
    weights = hand_set_weights(DEFAULT_VOCAB, 8, 8, feature_width(DEFAULT_FEATURES))
    write_tokenizer_bundle(language_dir / "tok", vocab=DEFAULT_VOCAB, tensor_overrides=weights)
    model = random_sentiment(8, words=["good", "bad", "film", "the", ".", "!"], bilstm=True)
    write_sentiment_bundle(language_dir / "sent", model)
    bw.write_index(tmp_path, [("tokenize", "default", "tok"), ("sentiment", "default", "sent")])
    pipeline = q.Pipeline("en", "tokenize,sentiment", model_dir=tmp_path)
    assert [p.implemented for p in pipeline.processors] == [True, True]
    reference = SentimentReference(model.tensors, model.assets())
    texts = ["The film was good. The end was bad!", "good good.", ""]
    docs = pipeline.bulk_process(texts)
    tokens = [[t.text for t in s.tokens] for d in docs for s in d.sentences]
    assert len(tokens) >= 3
    assert [s.sentiment for d in docs for s in d.sentences] == reference.classify_many(tokens)
    one = pipeline.process(texts[0])
    own = [[t.text for t in s.tokens] for s in one.sentences]
    assert [s.sentiment for s in one.sentences] == reference.classify_many(own)


def test_random_bundles_match_the_reference(tmp_path):
    rng = __import__("random").Random(30)
    for seed in range(10):
        method = rng.choice(["NONE", "SUM", "CONCAT"])
        charlm = rng.choice([(), ("forward",), ("backward",), ("forward", "backward")])
        projection = rng.choice([0, 2]) if charlm else 0
        bilstm = rng.random() < 0.5
        width = 2 * 4 if bilstm else 6 + 4 * (method == "CONCAT") + len(charlm) * (projection or 6)
        divisors = [d for d in range(1, width + 1) if width % d == 0]
        filters = [rng.choice([1, 2, 3, 5]) if rng.random() < 0.5 else (rng.randint(1, 6), rng.choice(divisors))
                   for _ in range(rng.randint(1, 3))]
        model = random_sentiment(100 + seed, method=method, charlm=charlm, projection=projection,
                                 bilstm=bilstm, hidden=4, filters=filters, channels=rng.randint(3, 5),
                                 maxpool_width=rng.choice([1, 2, 3]), fc_shapes=rng.choice([(), (5,), (4, 3)]),
                                 classes=rng.randint(1, 4))
        processor = q.SentimentProcessor(write_sentiment_bundle(tmp_path / str(seed), model).path)
        reference = SentimentReference(model.tensors, model.assets())
        sentences = [[rng.choice(WORDS + ["Good", "x'", "?"]) for _ in range(rng.choice([0, 1, 3, 8, 15]))]
                     for _ in range(40)]
        budget = rng.choice([1, 10, 5000])
        expected, rows = reference.classify_many(sentences, budget, with_scores=True)
        got = processor.classify_many(sentences, budget)
        for i, row in enumerate(rows):
            top = row.sort(descending=True).values
            if len(top) == 1 or top[0] - top[1] > 1e-4:
                assert got[i] == expected[i], (seed, i)


def test_transformer_features(tmp_path):
    from conftest import BUILD
    from model_bundles.transformer import TINY_VOCAB, compiled_package, tiny_model, wordpiece_section
    from reference.transformer import sliced_run, word_rows

    package = compiled_package("tiny", BUILD / "fixtures" / "aoti_packages")
    words = TINY_VOCAB[4:] + ["unbelievable", "Cats"]
    model = random_sentiment(40, words=words, transformer=wordpiece_section(TINY_VOCAB), filters=(2, (3, 2)),
                             charlm=("forward",))
    processor = q.SentimentProcessor(write_sentiment_bundle(tmp_path / "m", model, package=package).path)
    encoder, eager = q.TransformerEncoder(package, TINY_VOCAB, model_max_length=16), tiny_model()

    @torch.no_grad()
    def rows(sentence):
        encoding = encoder.tokenize(sentence)
        run = lambda window: eager(torch.tensor([window]), torch.ones(1, len(window), dtype=torch.int64))[0]
        return word_rows(sliced_run(run, encoding.input_ids, 16), encoding.word_ids, len(sentence), False)

    reference = SentimentReference(model.tensors, model.assets(), rows)
    rng = __import__("random").Random(41)
    sentences = [[rng.choice(words) for _ in range(rng.choice([0, 1, 4, 9, 20]))] for _ in range(30)]
    for budget in (5000, 12):
        expected, scores = reference.classify_many(sentences, budget, with_scores=True)
        got = processor.classify_many(sentences, budget)
        clear = [i for i, r in enumerate(scores) if r.topk(2).values[0] - r.topk(2).values[1] > 1e-4]
        assert len(clear) > 25 and all(got[i] == expected[i] for i in clear), budget
