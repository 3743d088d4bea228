"""Morphological segmentation through MorphSegPlan and MorphSegProcessor: bundle refusals
in check order, morphemes against the eager reference on random bundles, the decoder's
special cases, and documents one by one and in bulk."""
import functools
import random

import pytest
import torch

import _quelbin as q
from bundle_writer import RawTensor
from conftest import check_refusals, edit, edit_at, outcome, releases_lock
from model_bundles.charlm import random_charlm, write_charlm_bundle
from model_bundles.morphseg import SOURCE, random_morphseg, write_morphseg_bundle
from reference.morphseg import MorphSegReference

E = q.MorphSegModelError
ARCH = ("unsupported MorphSeg architecture; the native profile requires a two-layer BiLSTM, tau=1, "
        "argmax decoding, and no auxiliary features")


def test_bundle_refusals_in_check_order(tmp_path):
    model = random_morphseg(1, embedding_size=3, hidden_size=4)
    z, C = torch.zeros, "assets.config"
    rows = [
        (lambda b: b.update(processor="lemma", assets=b"{"), E, "expected a morphseg bundle, got 'lemma'"),
        (edit("assets", b"{"), E, "expected object key at JSON byte 1"),
        (edit("assets/config"), E, "missing JSON key 'config' at assets"),
        (edit_at("config", num_layers=0, tau=2), E, "MorphSeg config value must be positive: num_layers"),
        (edit_at("config", num_layers=3), E, ARCH),
        (edit_at("config", tau=2), E, ARCH),
        (edit_at("config", use_crf=True), E, ARCH),
        (edit_at("config", use_features=True), E, ARCH),
        # all seven values are read before the architecture is judged
        (edit_at("config", num_layers=3, use_features=KeyError), E, f"missing JSON key 'use_features' at {C}"),
        (edit_at("config", batch_size=2.0), E, f"expected JSON integer at {C}"),
        (edit_at("config", hidden_size=KeyError), E, f"missing JSON key 'hidden_size' at {C}"),
        (edit_at("config", use_crf=0), E, f"expected JSON boolean at {C}.use_crf"),
        (edit_at("config", use_crf=KeyError), E, f"missing JSON key 'use_crf' at {C}"),
        (edit("assets/source_vocabulary", "ab"), E, "expected JSON array at assets.source_vocabulary"),
        (edit("assets/target_vocabulary", ["<PAD>", "<UNK>", 3]), E,
         "expected JSON string at assets.target_vocabulary[2]"),
        (edit("assets/source_vocabulary", ["<PAD>"]), E, "MorphSeg vocabularies must begin with <PAD>, <UNK>"),
        (edit("assets/target_vocabulary", ["<UNK>", "<PAD>"] + model.target_vocabulary[2:]), E,
         "MorphSeg vocabularies must begin with <PAD>, <UNK>"),
        (edit("assets/source_vocabulary", model.source_vocabulary[:-1] + ["a"]), E,
         "MorphSeg source vocabulary contains duplicates"),
        (edit("tensors/unused", z(2, dtype=torch.float16)), E, "MorphSeg tensors must use float32: 'unused'"),
        (edit("tensors/unused", RawTensor("uint16", [1], b"\0\0")), E, "MorphSeg tensors must use float32: 'unused'"),
        (edit("tensors/embedding.weight"), E, "missing MorphSeg tensor: 'embedding.weight'"),
        (edit("tensors/encoder.h_0", z(4, 4)), E, "MorphSeg tensor has an unexpected shape: 'encoder.h_0'"),
        (edit("tensors/encoder.lstm.weight_ih_l1", z(16, 3)), E,
         "MorphSeg tensor has an unexpected shape: 'encoder.lstm.weight_ih_l1'"),
        (edit("tensors/encoder.lstm.bias_hh_l1_reverse"), E,
         "missing MorphSeg tensor: 'encoder.lstm.bias_hh_l1_reverse'"),
        (edit("tensors/classifier.1.bias", z(3)), E, "MorphSeg tensor has an unexpected shape: 'classifier.1.bias'"),
        # these load: a repeated action, an extra float32 tensor, unknown keys
        (edit("assets/target_vocabulary", model.target_vocabulary[:-1] + ["COPY"]), None, None),
        (edit("tensors/unused", z(2)), None, None),
        (edit_at("config", dropout=0.5), None, None),
    ]
    check_refusals(tmp_path, rows, "morphseg", model.assets(), model.tensors,
                   lambda path: q.MorphSegPlan(path).segment("ab"))
    charlm = write_charlm_bundle(tmp_path / "lm", random_charlm(1)).path
    assert outcome(lambda: q.MorphSegPlan(charlm)) == (E, "expected a morphseg bundle, got 'forward_charlm'")
    assert outcome(lambda: q.MorphSegProcessor(tmp_path / "nowhere"))[0] is q.ModelBundleError


def clear_margin(scores, margin=1e-4):
    if len(scores) == 0:
        return True
    top = scores.topk(2, dim=1).values
    return bool((top[:, 0] - top[:, 1] > margin).all())


@pytest.mark.parametrize("seed,hidden,embedding,batch", [(2, 8, 6, 4), (3, 37, 11, 1000), (4, 64, 32, 7)])
def test_morphemes_match_the_reference(tmp_path, seed, hidden, embedding, batch):
    model = random_morphseg(seed, hidden_size=hidden, embedding_size=embedding, batch_size=batch)
    path = write_morphseg_bundle(tmp_path / "m", model).path
    reference = MorphSegReference(model.tensors, model.assets())
    rng = random.Random(seed)
    letters = SOURCE + list("QЖ🙂ÉA")
    words = ["".join(rng.choice(letters) for _ in range(rng.choice([0, 1, 2, 3, 5, 9, 17])))
             for _ in range(300)]
    words += ["ＡＢＣ", "abc", "Straße", "strasse", "ﬁx", ""]
    plan = q.MorphSegPlan(path)
    got = plan.segment_many(words)
    clear = [clear_margin(scores) for _, scores in reference.logits(words)]
    expected = reference.segment_many(words)
    assert sum(clear) > 0.8 * len(words)
    assert [g for g, c in zip(got, clear) if c] == [e for e, c in zip(expected, clear) if c]
    assert [plan.segment(w) for w in words[:60]] == got[:60]
    assert got[-6] == got[-5] and got[-1] == []  # fullwidth capitals fold to plain lower case
    processor = q.MorphSegProcessor(path)
    assert processor.segment_many(words=tuple(words)) == got and processor.segment(word=words[3]) == got[3]


def constant_action(tmp_path, action, target=None):
    """A bundle whose classifier picks `action` (an index) for every character."""
    model = random_morphseg(5, target=target) if target else random_morphseg(5)
    model.tensors["classifier.1.weight"] = torch.zeros_like(model.tensors["classifier.1.weight"])
    bias = torch.zeros(len(model.target_vocabulary))
    bias[action] = 1.0
    model.tensors["classifier.1.bias"] = bias
    return q.MorphSegPlan(write_morphseg_bundle(tmp_path / f"c{action}", model).path)


def test_a_failing_segmentation_writes_nothing(tmp_path):
    path = constant_action(tmp_path, 0).bundle.path
    doc = q.Document.from_dict([[{"id": 1, "text": "ab"}, {"id": 2, "text": "c"}]])
    doc.sentences[0].words[0].morphemes = ["kept"]
    failed = outcome(lambda: q.MorphSegProcessor(path).process(doc))
    assert failed == (E, "MorphSeg classifier predicted a padding or out-of-range action")
    assert [w.morphemes for w in doc.sentences[0].words] == [["kept"], []]


def test_decoder_cases_from_constant_actions(tmp_path):
    # target: <PAD> <UNK> COPY DELETE "COPY+ @@" " @@+COPY" "x+COPY+y" "COPY+" e "COPY+COPY" "@@"
    rows = [  # action id, word -> morphemes
        (3, "abc", [""]),               # everything deleted: one empty morpheme
        (3, "", []),                    # no characters: no morphemes
        (4, "ab", ["a", "b", ""]),
        (5, "ab", ["", "a", "b"]),
        (6, "ab", ["xayxby"]),
        (7, "Ab", ["ab"]),              # copies the folded character
        (1, "ab", ["<UNK><UNK>"]),      # the unknown action is emitted as it is
        (9, "a", ["aa"]),
        (10, "ab", ["@@@@"]),
    ]
    for action, word, expected in rows:
        assert constant_action(tmp_path, action).segment(word) == expected, (action, word)
    padding = constant_action(tmp_path, 0)
    assert outcome(lambda: padding.segment_many(["", "a"])) == (
        E, "MorphSeg classifier predicted a padding or out-of-range action")
    assert padding.segment_many(["", ""]) == [[], []]
    assert outcome(lambda: padding.segment_many("ab"))[0] is TypeError
    assert outcome(lambda: padding.segment(["ab"]))[0] is TypeError


def test_documents_one_by_one_and_in_bulk(tmp_path):
    model = random_morphseg(6, hidden_size=16)
    path = write_morphseg_bundle(tmp_path / "m", model).path
    reference = MorphSegReference(model.tensors, model.assets())
    processor = q.MorphSegProcessor(path, verify_checksums=True)
    assert (processor.implemented, processor.bundle_path, q.MorphSegPlan(path, True).bundle.path) == (
        True, path, path)

    def document(*sentences):
        return q.Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(s)] for s in sentences])

    docs = [document(["Haus", "türen"], ["ab"]), document(["x"]), document(["straße", "ab", "a"])]
    words = ["Haus", "türen", "ab", "x", "straße", "ab", "a"]
    expected = reference.segment_many(words)
    out = processor.bulk_process(docs)
    assert [w.morphemes for d in docs for s in d.sentences for w in s.words] == expected
    assert [w.morphemes for d in out for s in d.sentences for w in s.words] == expected
    single = document(["Haus", "türen"])
    assert processor(single) is not None and [w.morphemes for w in single.sentences[0].words] == expected[:2]
    assert processor.bulk_process([]) == []
    assert releases_lock(functools.partial(processor.segment_many, ["abcdefgh" * 20] * 3000))
