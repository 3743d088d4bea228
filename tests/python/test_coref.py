"""Coreference: loader refusals, CorefPlan.resolve against the eager reference on random
bundles and documents (several transformer windows included), argument refusals, documents
written all or nothing by CorefProcessor, and a tokenize + coref pipeline."""
import copy
import functools
import random
from concurrent.futures import ThreadPoolExecutor

import pytest
import torch

import _quelbin as q
import bundle_writer as bw
from bundle_writer import RawTensor
from conftest import BUILD, check_refusals, edit, outcome, releases_lock
from model_bundles.coref import WORDS, coref_package, random_coref, write_coref_bundle
from model_bundles.tokenizer import DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width, hand_set_weights
from model_bundles.tokenizer import write_tokenizer_bundle
from model_bundles.transformer import (BPE_MERGES, BPE_VOCAB, TINY_VOCAB, XLMR_SCORES, XLMR_VOCAB,
                                       tiny_model)
from reference.coref import BlankWord, CorefReference, Sentence, write_back

E = q.CorefModelError
PACKAGE = coref_package(BUILD / "fixtures" / "aoti_packages")
EAGER = tiny_model()
CLEAR = 1e-4  # decisions closer than this to a tie are not compared
TOKENIZERS = {"wordpiece": lambda: q.WordPieceTokenizer(TINY_VOCAB),
              "bpe": lambda: q.ByteBPETokenizer(BPE_VOCAB, BPE_MERGES),
              "xlmr": lambda: q.XLMRobertaTokenizer(XLMR_VOCAB, XLMR_SCORES, [0] * 4, 3)}


@torch.no_grad()
def eager_rows(ids):
    return EAGER(torch.tensor([ids]), torch.ones(1, len(ids), dtype=torch.int64))[0]


def reference(model, tokenizer="wordpiece"):
    tok = TOKENIZERS[tokenizer]()
    return CorefReference(model.tensors, model.assets(), eager_rows,
                          lambda word: tok.encode([word], add_special_tokens=False).input_ids)


def bundle(directory, model, **kwargs):
    return write_coref_bundle(directory, model, PACKAGE, **kwargs).path


def result(prediction):
    return prediction.word_clusters, prediction.span_clusters, prediction.zero_words


def flat(sentences):
    words = [w for s in sentences for w in s]
    return words, [i for i, s in enumerate(sentences) for _ in s]


def random_sentences(rng, count, longest=10, words=WORDS):
    return [[rng.choice(words) for _ in range(rng.randint(1, longest))] for _ in range(count)]


# -- loading ----------------------------------------------------------------------------
BASE = random_coref(1, singletons=True, full_pairwise=True, use_zeros=True, n_hidden_layers=2)
DIMS = "coref config dimensions are invalid"
DISAGREE = "coref tensor dimensions disagree"
PREDICTOR = "coref span or zero predictor has an unsupported shape or dtype"
NEGATIVE = "coref tokenizer ids must not be negative"
R = RuntimeError  # the JSON reader's errors and the tensor library's reach Python as RuntimeError


def config(key, value):
    return edit(f"assets/config/{key}", value)


def tensor(name, value=None):
    return edit(f"tensors/{name}", value)


def ids(**values):
    return lambda b: b["assets"]["transformer"]["tokenizer"].update(values)


def overrides(value):
    return lambda b: b["assets"]["runtime_contract"].update(tokenizer_map_ids=value)


def removed(*path):
    return lambda b: edit("/".join(path))(b)


REFUSALS = [  # bundle edit -> error class, message (None: it loads)
    (lambda b: None, None, None),
    (lambda b: b.update(processor="ner"), E, "expected a coref bundle, got 'ner'"),
    (config("hidden_size", 0), E, DIMS),
    (config("embedding_size", 0), E, DIMS),
    (config("sp_embedding_size", 0), E, DIMS),
    (config("a_scoring_batch_size", 0), E, DIMS),
    (config("rough_k", 0), E, DIMS),
    (config("n_hidden_layers", -1), E, DIMS),
    (config("bert_window_size", 4), E, DIMS),
    (config("bert_window_size", 5), None, None),
    (config("n_hidden_layers", 0), None, None),
    (config("rough_k", None), R, "missing JSON key 'rough_k' at assets.config"),
    (config("rough_k", 5.0), R, "expected JSON integer at assets.config.rough_k"),
    (lambda b: b["assets"]["config"].update(hidden_size=None), R,
     "expected JSON integer at assets.config.hidden_size"),
    (lambda b: b["assets"]["config"].update(use_zeros=None), None, None),
    (config("full_pairwise", "yes"), R, "expected JSON boolean at assets.config.full_pairwise"),
    (removed("assets", "config"), R, "missing JSON key 'config' at assets"),
    (tensor("extra", torch.zeros(2, dtype=torch.float64)), None, None),
    (tensor("extra", torch.zeros(2, dtype=torch.int32)), E,
     "ATen view does not support coref bundle dtype: int32"),
    (tensor("extra", RawTensor("bool", [1], b"\x01")), E, "ATen view does not support coref bundle dtype: bool"),
    (lambda b: b["assets"]["transformer"].update(backend="onnx"), q.TransformerError,
     "unsupported transformer runtime backend"),
    (config("hidden_size", 10), E, "coref transformer hidden size disagrees with config"),
    (removed("assets", "transformer", "tokenizer", "cls_id"), R,
     "missing JSON key 'cls_id' at assets.transformer.tokenizer"),
    (ids(eos_id="3"), R, "expected JSON integer at assets.transformer.tokenizer.eos_id"),
    (removed("assets", "transformer", "tokenizer", "pad_id"), R,
     "missing JSON key 'pad_id' at assets.transformer.tokenizer"),
    (removed("assets", "runtime_contract"), R, "missing JSON key 'runtime_contract' at assets"),
    (overrides([]), R, "expected JSON object at assets.runtime_contract.tokenizer_map_ids"),
    (overrides({"cat": 5}), R, "expected JSON array at assets.runtime_contract.tokenizer_map_ids.cat"),
    (overrides({"cat": [5, "6"]}), R, "expected JSON integer"),
    (overrides({"cat": [], "dog": [7, 8]}), None, None),
    (ids(cls_id=-1, sep_id=-1), None, None),  # both frame ids come from eos_id
    (ids(cls_id=-1, eos_id=-1), E, NEGATIVE),
    (ids(sep_id=-2, eos_id=-1), E, NEGATIVE),
    (overrides({"cat": [5, -1]}), E, NEGATIVE),
    (ids(pad_id=-1), None, None),  # the padding id is never used
    (tensor("sp.emb.weight"), E, "missing coref tensor: 'sp.emb.weight'"),
    (tensor("zeros_predictor.2.bias"), E, "missing coref tensor: 'zeros_predictor.2.bias'"),
    (tensor("a_scorer.hidden.3.bias"), E, "missing coref tensor: 'a_scorer.hidden.3.bias'"),
    (tensor("a_scorer.start_map.weight"), E, "missing coref tensor: 'a_scorer.start_map.weight'"),
    (tensor("pw.speaker_emb.weight"), E, "missing coref tensor: 'pw.speaker_emb.weight'"),
    (lambda b: (config("singletons", False)(b), config("full_pairwise", False)(b),
                tensor("a_scorer.start_map.weight")(b), tensor("pw.speaker_emb.weight")(b)), None, None),
    (tensor("we.attn.weight", torch.zeros(1, 11)), E, DISAGREE),
    (tensor("rough_scorer.bilinear.weight", torch.zeros(12, 12, 1)), E, DISAGREE),
    (tensor("rough_scorer.bilinear.weight", torch.zeros(12, 11)), E, DISAGREE),
    (tensor("pw.distance_emb.weight", torch.zeros(10, 4)), E, DISAGREE),
    (tensor("sp.conv.0.weight", torch.zeros(5, 6, 2)), E, PREDICTOR),
    (tensor("sp.conv.1.weight", torch.zeros(2, 5, 5)), E, PREDICTOR),
    (tensor("sp.conv.1.weight", torch.zeros(3, 5, 3)), E, PREDICTOR),
    (tensor("zeros_predictor.2.weight", torch.zeros(2, 6)), E, PREDICTOR),
    (tensor("sp.ffnn.3.weight", BASE.tensors["sp.ffnn.3.weight"].double()), E, PREDICTOR),
    (tensor("zeros_predictor.0.bias", BASE.tensors["zeros_predictor.0.bias"].half()), E, PREDICTOR),
    (tensor("sp.emb.weight", RawTensor("bfloat16", [128, 5], torch.zeros(128, 5, dtype=torch.int16).numpy().tobytes())),
     E, PREDICTOR),
]


def with_package(path):
    """The transformer package copied into a bundle written without it and listed in its manifest."""
    data = PACKAGE.read_bytes()
    (path / "model.pt2").write_bytes(data)
    bw.rewrite_manifest(path, lambda m: m.update(artifacts=[{"path": "model.pt2", "size": len(data),
                                                             "sha256": bw.sha256_hex(data)}]))
    return path


def test_loader_refusals(tmp_path):
    check_refusals(tmp_path, REFUSALS, "coref", BASE.assets(), BASE.tensors,
                   lambda path: q.CorefPlan(with_package(path)))
    # A malformed assets file stays the JSON reader's error; bundle problems are ModelBundleError.
    bad = bundle(tmp_path / "json", BASE, assets="{")
    assert outcome(lambda: q.CorefPlan(bad))[0] is RuntimeError
    short = write_coref_bundle(tmp_path / "short", BASE, PACKAGE)
    bw.truncate_file(short.tensor_file, 8)
    assert outcome(lambda: q.CorefPlan(short.path))[0] is q.ModelBundleError
    bw.flip_byte(write_coref_bundle(tmp_path / "flip", BASE, PACKAGE).tensor_file, 3)
    assert outcome(lambda: q.CorefPlan(tmp_path / "flip", verify_checksums=True))[0] is q.ModelBundleError
    assert isinstance(q.CorefPlan(tmp_path / "flip"), q.CorefPlan)  # no verification by default
    assert issubclass(E, q.ModelBundleError)
    # A one-dimensional attention weight fails in the tensor library, not with a coref message.
    flat_attention = copy.copy(BASE)
    flat_attention.tensors = dict(BASE.tensors, **{"we.attn.weight": torch.zeros(12)})
    got = outcome(lambda: q.CorefPlan(bundle(tmp_path / "flat", flat_attention)))
    assert got == (RuntimeError, "Dimension out of range (expected to be in range of [-1, 0], but got 1)")


# -- the plan from Python ---------------------------------------------------------------
def test_plan_properties_and_argument_refusals(tmp_path):
    path = bundle(tmp_path / "a", random_coref(2, use_zeros=True))
    plan = q.CorefPlan(path)
    other = q.CorefPlan(str(bundle(tmp_path / "b", random_coref(2, singletons=True))).encode())
    assert (plan.predicts_singletons, plan.predicts_zero_anaphora) == (False, True)
    assert (other.predicts_singletons, other.predicts_zero_anaphora) == (True, False)
    assert plan.bundle.processor == "coref"
    assert result(plan.resolve([], [])) == ([], [], [])
    assert outcome(lambda: q.CorefPrediction())[0] is TypeError
    # Byte-level BPE gives no subword for an empty word, the unigram tokenizer none for a space.
    bpe = q.CorefPlan(bundle(tmp_path / "bpe", random_coref(2, tokenizer="bpe")))
    xlmr = q.CorefPlan(bundle(tmp_path / "xlmr", random_coref(2, tokenizer="xlmr")))
    words = ["the", "cat", "sat", ".", "a", "dog"]
    rows = [  # call -> error class and message (None: the class alone)
        (lambda: plan.resolve(words, [0] * 5), ValueError, "coref words and sentence ids must have equal lengths"),
        (lambda: plan.resolve(["a", "b"], [0], ["x"]), ValueError,
         "coref words and sentence ids must have equal lengths"),
        (lambda: plan.resolve(words, [0] * 6, ["x"]), ValueError, "coref words and speakers must have equal lengths"),
        (lambda: plan.resolve([], [], ["x"]), ValueError, "coref words and speakers must have equal lengths"),
        (lambda: plan.resolve(["a", "b"], [0, 2]), ValueError, "coref sentence id is outside the document"),
        (lambda: plan.resolve(["a"], [1]), ValueError, "coref sentence id is outside the document"),
        (lambda: plan.resolve("the", [0, 0, 0]), TypeError, None),
        (lambda: plan.resolve(["a"], [-1]), TypeError, None),
        (lambda: plan.resolve(["a"], [0.0]), TypeError, None),
        (lambda: plan.resolve(["a"], [0], "x"), TypeError, None),
        (lambda: plan.resolve([b"a"], [0]), TypeError, None),
        (lambda: bpe.resolve(["a", "", "b"], [0, 0, 0]), E, "coref tokenizer produced a blank word at index 1"),
        (lambda: xlmr.resolve(["a", "b", " "], [0, 0, 0]), E, "coref tokenizer produced a blank word at index 2"),
        (lambda: q.CorefPlan(path, verify_checksums=1), TypeError, None),
        (lambda: q.CorefPlan(path, True, 1), TypeError, None),
    ]
    for i, (call, error, message) in enumerate(rows):
        got = outcome(call)
        assert isinstance(got, tuple) and got[0] is error and message in (None, got[1]), (i, got)
    # Ids need not start at 0; tuples are sequences; no speakers means "_" for every word.
    assert result(plan.resolve(("a", "b"), (1, 1))) == result(plan.resolve(["a", "b"], [0, 0], ["_", "_"]))
    prediction = plan.resolve(words, [0, 0, 0, 0, 1, 1])
    assert prediction.span_clusters == prediction.span_clusters
    assert prediction.span_clusters is not prediction.span_clusters
    with pytest.raises(AttributeError):
        prediction.word_clusters = []
    assert releases_lock(functools.partial(plan.resolve, WORDS * 20, [i // 7 for i in range(len(WORDS) * 20)]))
    # Calls on one plan from several threads give what serial calls give.
    docs = [flat(random_sentences(random.Random(i), 8)) for i in range(6)]
    serial = [result(plan.resolve(*d)) for d in docs]
    with ThreadPoolExecutor(3) as pool:
        assert list(pool.map(lambda d: result(plan.resolve(*d)), docs * 2)) == serial * 2


def test_blank_override_and_override_ids(tmp_path):
    # An override replaces the tokenizer for that exact word: "cat" becomes three subwords and
    # "Cat" goes through the tokenizer; an empty override makes the word blank.
    model = random_coref(3, tokenizer_map_ids={"cat": [24, 25, 12], "the": [], "Cat": [9]})
    plan = q.CorefPlan(bundle(tmp_path, model))
    words = ["a", "big", "dog", "the", "cat"]
    assert outcome(lambda: plan.resolve(words, [0] * 5)) == (
        E, "coref tokenizer produced a blank word at index 3")
    ref = reference(model)
    with pytest.raises(BlankWord):
        ref.resolve(words, [0] * 5)
    rng = random.Random(3)
    for sentences in [random_sentences(rng, 6, words=["cat", "Cat", "CAT", "dog", "a", "big"]) for _ in range(4)]:
        words, sentence_ids = flat(sentences)
        expected = ref.resolve(words, sentence_ids)
        if expected.margin > CLEAR:
            assert result(plan.resolve(words, sentence_ids)) == result(expected)


# -- resolve against the reference --------------------------------------------------------
FIXED = [  # options of random_coref that each reach a distinct path
    dict(),
    dict(singletons=True),
    dict(use_zeros=True, full_pairwise=True),
    dict(n_hidden_layers=0, rough_k=1),
    dict(n_hidden_layers=2, rough_k=200, a_scoring_batch_size=1, singletons=True, start_map_columns=260),
    dict(bert_window_size=5, use_zeros=True),
    dict(bert_window_size=64, singletons=True, use_zeros=True, full_pairwise=True),
    dict(tokenizer="bpe", bert_window_size=9),
    dict(tokenizer="xlmr", use_zeros=True),
    dict(special_ids=(-1, -1, 0, 3), singletons=True),
    dict(tokenizer_map_ids={"cat": [24, 25, 26, 27, 28, 29, 24, 25], "dog": [3]}, bert_window_size=7),
]


def random_options(rng):
    return dict(singletons=rng.random() < 0.4, use_zeros=rng.random() < 0.5, full_pairwise=rng.random() < 0.4,
                n_hidden_layers=rng.randint(0, 2), rough_k=rng.choice([1, 3, 8, 50]),
                a_scoring_batch_size=rng.choice([1, 5, 64]), bert_window_size=rng.choice([5, 8, 13, 30, 64]),
                tokenizer=rng.choice(["wordpiece", "wordpiece", "bpe", "xlmr"]),
                link_bias=rng.uniform(-2.5, 0.5), zero_bias=rng.uniform(-1, 1))


def test_resolve_matches_the_reference(tmp_path):
    rng = random.Random(7)
    cases = [(seed, options) for seed, options in enumerate(FIXED)]
    cases += [(100 + seed, random_options(rng)) for seed in range(14)]
    compared = windows = clusters = zeros = singles = 0
    for seed, options in cases:
        model = random_coref(seed, **options)
        plan = q.CorefPlan(bundle(tmp_path / str(seed), model))
        ref = reference(model, options.get("tokenizer", "wordpiece"))
        words = WORDS + list(model.tokenizer_map_ids)
        documents = [random_sentences(rng, n, longest=longest, words=words)
                     for n, longest in ((1, 1), (1, 4), (3, 8), (12, 12), (30, 9))]
        for sentences in documents:
            words_, sentence_ids = flat(sentences)
            speakers = [rng.choice(["_", "A", "B", ""]) for _ in sentences] if rng.random() < 0.5 else []
            by_word = [speakers[s] for s in sentence_ids] if speakers else []
            expected = ref.resolve(words_, sentence_ids, by_word)
            got = plan.resolve(words_, sentence_ids, by_word)
            if expected.margin <= CLEAR:
                continue
            assert result(got) == result(expected), (seed, options, sentences)
            compared += 1
            windows += len(ref.windows_used) > 1
            clusters += len(expected.word_clusters)
            zeros += sum(map(len, expected.zero_words))
            singles += sum(len(c) == 1 for c in expected.word_clusters)
    # Most documents are compared, many of them over several windows, with every kind of outcome.
    assert compared >= 0.6 * len(cases) * 5 and windows >= 30, (compared, windows)
    assert clusters >= 200 and zeros >= 200 and singles >= 100, (clusters, zeros, singles)


def test_speakers_and_window_cuts(tmp_path):
    # With pairwise features, speakers change the result only through same-speaker pairs.
    model = random_coref(12, full_pairwise=True, link_bias=-0.5, bert_window_size=6)
    plan, ref = q.CorefPlan(bundle(tmp_path, model)), reference(model)
    rng = random.Random(12)
    changed = 0
    for _ in range(8):
        words, sentence_ids = flat(random_sentences(rng, 6, longest=6))
        speakers = [["A", "B"][s % 2] for s in sentence_ids]
        same = plan.resolve(words, sentence_ids)
        assert result(same) == result(plan.resolve(words, sentence_ids, ["x"] * len(words)))
        mixed, expected = plan.resolve(words, sentence_ids, speakers), ref.resolve(words, sentence_ids, speakers)
        if expected.margin > CLEAR:
            assert result(mixed) == result(expected)
            changed += result(mixed) != result(same)
    assert changed >= 1
    # Window cuts: back to a sentence start when one lies inside the window, else a full window.
    ref.resolve(["a", "b", "c", "x", "y", "z"], [0, 0, 0, 1, 1, 1])
    assert ref.windows_used == [(0, 3), (3, 6)]
    ref.resolve(["a", "b", "c", "x", "y", "z"], [0] * 6)
    assert ref.windows_used == [(0, 4), (4, 6)]
    ref.resolve(["a", "b", "x", "y"], [0, 1, 0, 0])  # ids compared for equality only
    assert ref.windows_used == [(0, 4)]


def test_window_wider_than_the_text(tmp_path):
    # A configured window far wider than the text is one window, as is one just wide enough.
    rng = random.Random(5)
    words, sentence_ids = flat(random_sentences(rng, 3, longest=6))
    got = [result(q.CorefPlan(bundle(tmp_path / str(w), random_coref(3, bert_window_size=w))).resolve(
        words, sentence_ids)) for w in (64, 2**40)]
    assert got[0] == got[1]


def test_forward_pass_errors(tmp_path):
    # The transformer's width disagrees with assets that agree among themselves.
    narrow = random_coref(4, hidden=10, link_bias=3.0)
    plan = q.CorefPlan(bundle(tmp_path / "narrow", narrow))
    assert outcome(lambda: plan.resolve(["a", "cat"], [0, 0])) == (
        q.TransformerError, "AOTInductor transformer output hidden size disagrees with assets")
    # Layers that do not chain fail in the tensor library once a cluster needs a span.
    broken = random_coref(4, link_bias=5.0)
    broken.tensors["sp.ffnn.3.weight"] = torch.zeros(7, 8)
    plan = q.CorefPlan(bundle(tmp_path / "broken", broken))
    assert outcome(lambda: plan.resolve(["a", "cat", "sat"], [0, 0, 0]))[0] is RuntimeError
    assert result(plan.resolve(["a"], [0])) == ([], [], [])  # no cluster, no span predictor


def hand_set(favoured=(), same_speaker=0.0, bias=-5.0, zero=0.0, start_map=0.0):
    """Edits of HAND's tensors: rough scores 0 for every earlier word; a fine score of
    10 for a candidate in a favoured distance bucket, plus `same_speaker` for one of the
    same speaker, plus `bias`; start and end scores all equal; every zero score `zero`;
    every start-map weight `start_map`."""
    def apply(tensors):
        t = {name: value.clone() for name, value in tensors.items()}
        for name in ("rough_scorer.bilinear.weight", "rough_scorer.bilinear.bias", "pw.distance_emb.weight",
                     "pw.speaker_emb.weight", "a_scorer.out.weight", "sp.conv.1.weight", "sp.conv.1.bias",
                     "zeros_predictor.2.weight"):
            t[name].zero_()
        for b in favoured:
            t["pw.distance_emb.weight"][b, 0] = 1.0
        t["pw.speaker_emb.weight"][1, 0] = 1.0
        # Pair input: anaphor, antecedent, product (12 each), speaker (3), distance (4).
        t["a_scorer.out.weight"][0, 36], t["a_scorer.out.weight"][0, 39] = same_speaker, 10.0
        t["a_scorer.out.bias"].fill_(bias)
        t["zeros_predictor.2.bias"].fill_(zero)
        t["a_scorer.start_map.weight"].fill_(start_map)
        return t
    return apply


HAND = random_coref(80, n_hidden_layers=0, full_pairwise=True, use_zeros=True, singletons=True, rough_k=50)
SIX = [(0, 1), (0, 2), (0, 3), (3, 4), (3, 5), (3, 6)]  # spans when every start and end score ties
HAND_ROWS = [  # edits, speakers -> word clusters, zero words (sentences 0 0 0 1 1 1)
    (hand_set(favoured=[0]), [], [[0, 1, 2, 3, 4, 5]], [[]]),
    (hand_set(favoured=[1], zero=1.0), [], [[0, 2, 4], [1, 3, 5]], [[0, 2, 4], [1, 3, 5]]),
    (hand_set(favoured=[0], same_speaker=10.0, bias=-15.0), list("AABBAA"), [[0, 1], [2, 3], [4, 5]],
     [[], [], []]),
    (hand_set(favoured=[0], same_speaker=10.0, bias=-15.0), list("ABABAB"), [], []),
    (hand_set(favoured=[2]), [], [[0, 3], [1, 4], [2, 5]], [[], [], []]),  # 3 words back
    (hand_set(favoured=[4]), [], [[0, 5]], [[]]),  # 5 to 7 words back
    (hand_set(favoured=[3]), [], [[0, 4], [1, 5]], [[], []]),  # 4 words back
    (hand_set(bias=-5.0, start_map=-1.0), [], [[0], [1], [2], [3], [4], [5]], [[]] * 6),
    (hand_set(bias=-5.0, start_map=1.0), [], [], []),
]


def test_hand_set_decisions(tmp_path):
    words, sentence_ids = ["a", "cat", "sat", "the", "dog", "ran"], [0, 0, 0, 1, 1, 1]
    for i, (edits, speakers, clusters, zeros) in enumerate(HAND_ROWS):
        model = copy.copy(HAND)
        model.tensors = edits(HAND.tensors)
        plan = q.CorefPlan(bundle(tmp_path / str(i), model))
        spans = [[SIX[h] for h in cluster] for cluster in clusters]
        assert result(plan.resolve(words, sentence_ids, speakers)) == (clusters, spans, zeros), i


# -- documents ----------------------------------------------------------------------------
def document(sentences, upos=None, empties=None):
    entries = []
    for s, words in enumerate(sentences):
        sentence = [dict({"id": i + 1, "text": w}, **({"upos": upos[s][i]} if upos and upos[s][i] else {}))
                    for i, w in enumerate(words)]
        sentence += [{"id": e, "text": "e"} for e in (empties or {}).get(s, [])]
        entries.append(sentence)
    return q.Document.from_dict(entries)


def chains_of(doc):
    return [(c.index, [(m.sentence, m.start_word, m.end_word) for m in c.mentions], c.representative_text,
             c.representative_index) for c in doc.coref]


def empties_of(doc):
    return [[w.id for w in s.empty_words] for s in doc.sentences]


def expected_state(sentences, upos, empties, prediction):
    chains, generated, moved = write_back([Sentence(w, u, list(empties.get(s, [])))
                                           for s, (w, u) in enumerate(zip(sentences, upos))], prediction)
    held = [sorted(list(empties.get(s, [])) + generated.get(s, [])) for s in range(len(sentences))]
    return chains, held, moved


def test_documents_get_chains_and_zero_words(tmp_path):
    rng = random.Random(21)
    checked = mended = 0
    # Zero words, singletons, representatives among many long mentions, every word a zero.
    for seed, options in enumerate([dict(use_zeros=True, zero_bias=0.5), dict(use_zeros=True, singletons=True),
                                    dict(link_bias=4.0), dict(use_zeros=True, link_bias=3.0, zero_bias=2.0)]):
        model = random_coref(40 + seed, **options)
        processor = q.CorefProcessor(bundle(tmp_path / str(seed), model))
        ref = reference(model)
        for _ in range(5):
            sentences = random_sentences(rng, rng.randint(1, 7), longest=6)
            sentences.insert(rng.randint(0, len(sentences)), [])  # a sentence without words
            upos = [[rng.choice(["PROPN", "NOUN", None]) for _ in s] for s in sentences]
            empties = {s: [(2, 2)] if len(w) >= 2 and rng.random() < 0.5 else [] for s, w in enumerate(sentences)}
            doc = document(sentences, upos, empties)
            doc.coref = [q.CorefChain(0, [q.CorefMention(len(sentences) - 1, 0, 0)], "old")]
            words, sentence_ids = flat(sentences)
            compact = [sorted(set(sentence_ids)).index(i) for i in sentence_ids]
            prediction = ref.resolve(words, compact)
            processor.process(doc)
            if prediction.margin <= CLEAR:
                continue
            chains, held, moved = expected_state(sentences, upos, empties, prediction)
            assert (chains_of(doc), empties_of(doc)) == (chains, held), (seed, sentences)
            # A second run removes the empty words of the first and writes the same again.
            processor.process(doc)
            assert (chains_of(doc), empties_of(doc)) == (chains, held)
            checked += 1
            mended += moved
    assert checked >= 14 and mended >= 1, (checked, mended)


def test_failures_leave_documents_unchanged(tmp_path):
    model = random_coref(60, use_zeros=True, link_bias=3.0, zero_bias=2.0)
    good = q.CorefProcessor(bundle(tmp_path / "good", model))
    model.tokenizer_map_ids["dog"] = []
    blank = q.CorefProcessor(bundle(tmp_path / "blank", model))
    docs = [document([["the", "cat"], ["a", "big", "cat"]]), document([["a", "dog"], ["the", "cat"]]),
            document([["the", "house"]])]
    for doc in docs:
        good.process(doc)
    before = [(chains_of(d), empties_of(d), d.to_dict()) for d in docs]
    assert sum(map(len, before[1][1])) >= 1  # the failing document holds generated empty words
    assert outcome(lambda: blank.process(docs[1])) == (E, "coref tokenizer produced a blank word at index 1")
    assert [(chains_of(d), empties_of(d), d.to_dict()) for d in docs] == before
    # In bulk the documents before the failing one are written, those after it untouched.
    fresh = [document([["the", "cat", "sat"]]), docs[1], document([["a", "cat"]])]
    assert outcome(lambda: blank.bulk_process(fresh))[0] is E
    assert chains_of(fresh[0]) != [] and chains_of(fresh[2]) == [] and chains_of(docs[1]) == before[1][0]
    assert blank.bulk_process([]) == []


def test_tokenize_and_coref_pipeline(tmp_path):
    language_dir = tmp_path / "1.14.0" / "en"
    weights = hand_set_weights(DEFAULT_VOCAB, 8, 8, feature_width(DEFAULT_FEATURES))
    write_tokenizer_bundle(language_dir / "tok", vocab=DEFAULT_VOCAB, tensor_overrides=weights)
    model = random_coref(70, use_zeros=True, link_bias=1.0)
    bundle(language_dir / "coref", model)
    bw.write_index(tmp_path, [("tokenize", "default", "tok"), ("coref", "default", "coref")])
    pipeline = q.Pipeline("en", "tokenize,coref", model_dir=tmp_path)
    assert [p.implemented for p in pipeline.processors] == [True, True]
    assert pipeline.processors[1].predicts_zero_anaphora is True
    ref = reference(model)
    texts = ["The cat sat on the mat. A dog sat on the cat!", "The big house. The house, the dog.", ""]
    docs = pipeline.bulk_process(texts)
    compared = 0
    for doc in docs + [pipeline.process(texts[0])]:
        sentences = [[w.text for w in s.words] for s in doc.sentences]
        prediction = ref.resolve(*flat(sentences))
        upos = [[None] * len(s) for s in sentences]
        if prediction.margin <= CLEAR:
            continue
        compared += 1
        chains, held, _ = expected_state(sentences, upos, {}, prediction)
        assert (chains_of(doc), empties_of(doc)) == (chains, held)
        # Every mention's first word carries its chain, marked as the start, in the dictionary form.
        form = doc.to_dict()
        for index, mentions, text, _ in chains:
            for s, start, _ in mentions:
                wanted = start if isinstance(start, tuple) else start + 1
                entry = next(e for e in form[s] if e["id"] == wanted)
                assert (index, text, True) in [(a["index"], a["representative_text"], a.get("is_start"))
                                               for a in entry["coref_chains"]]
    assert compared >= 3 and sum(len(chains_of(d)) for d in docs) >= 2
