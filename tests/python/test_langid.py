"""Language identification through LangIDProcessor and the pipeline: bundle refusals in
check order, codes against the eager reference on random bundles, subsets, empty texts,
and documents."""
import functools
import random

import pytest
import torch

import _quelbin as q
import bundle_writer as bw
from bundle_writer import RawTensor
from conftest import check_refusals, edit, edit_at, outcome, releases_lock
from model_bundles.langid import ALPHABET, random_langid, write_langid_bundle
from reference.langid import LangIDReference

E = q.LangIDModelError


def tags(mapping):
    return edit("assets/tag_to_idx", mapping)


def test_bundle_refusals_in_check_order(tmp_path):
    model = random_langid(1, hidden_dim=4, embedding_dim=3, codes=["en", "de"])
    V = len(model.char_to_idx)
    z = torch.zeros
    rows = [
        (lambda b: b.update(processor="ner", assets=b"{"), E, "expected a langid bundle, got 'ner'"),
        (edit("assets", b"[1"), E, "expected ',' at JSON byte 2"),
        (edit("assets/config"), E, "missing JSON key 'config' at assets"),
        # hidden_dim is read last of the three, after a good num_layers
        (edit_at("config", hidden_dim=0), E, "LangID config value must be positive: hidden_dim"),
        (edit_at("config", num_layers=KeyError, hidden_dim=0), E,
         "missing JSON key 'num_layers' at assets.config"),
        (edit_at("config", num_layers=2.0), E, "expected JSON integer at assets.config"),
        (edit_at("config", embedding_dim=None), E, "expected JSON integer at assets.config"),
        (edit("assets/char_to_idx", []), E, "expected JSON object at assets.char_to_idx"),
        (edit("assets/char_to_idx/a", "1"), E, "expected JSON integer at assets.char_to_idx"),
        (edit("assets/char_to_idx", {"<UNK>": 0, "<PAD>": 1}), E,
         "LangID vocabulary lacks UNK or <PAD>"),
        (edit("assets/char_to_idx", {}), E, "LangID vocabulary lacks UNK or <PAD>"),
        (tags({"de": 0, "en": 2}), E, "LangID tag ids must be contiguous and unique"),
        (tags({"de": 1, "en": 1}), E, "LangID tag ids must be contiguous and unique"),
        (tags({"de": -1, "en": 0}), E, "LangID tag ids must be contiguous and unique"),
        (tags({"de": 0, "en": True}), E, "expected JSON integer at assets.tag_to_idx"),
        # every manifest tensor is viewed, used or not
        (edit("tensors/extra", RawTensor("int32", [1], b"\0" * 4)), E,
         "ATen view does not support LangID bundle dtype: int32"),
        (edit("tensors/extra", RawTensor("bool", [1], b"\0")), E,
         "ATen view does not support LangID bundle dtype: bool"),
        (edit("tensors/hidden_to_tag.weight", z(2, 4)), E,
         "LangID tensor has an unexpected shape: 'hidden_to_tag.weight'"),
        (lambda b: b["tensors"].update({"hidden_to_tag.weight": z(2, 4), "char_embeds.weight": z(V, 4)}),
         E, "LangID tensor has an unexpected shape: 'char_embeds.weight'"),
        (edit("tensors/hidden_to_tag.bias", z(1, 2)), E,
         "LangID tensor has an unexpected shape: 'hidden_to_tag.bias'"),
        (edit("tensors/char_embeds.weight"), E, "missing LangID weight: 'char_embeds.weight'"),
        (edit("tensors/lstm.bias_hh_l1_reverse"), E, "missing LangID weight: 'lstm.bias_hh_l1_reverse'"),
        (edit_at("config", num_layers=2**40), E, "missing LangID weight: 'lstm.weight_ih_l2'"),
        # checks of what the network multiplies, after the ones above
        (edit("tensors/hidden_to_tag.bias", z(2, dtype=torch.float64)), E,
         "LangID tensors must use float32: 'hidden_to_tag.bias'"),
        (edit("tensors/lstm.weight_hh_l1", z(16, 3)), E,
         "LangID tensor has an unexpected shape: 'lstm.weight_hh_l1'"),
        (edit("tensors/lstm.weight_ih_l1_reverse", z(16, 3)), E,
         "LangID tensor has an unexpected shape: 'lstm.weight_ih_l1_reverse'"),
        (edit("assets/char_to_idx/a", V), E, "LangID character ids must lie within the embedding table"),
        (lambda b: (tags({})(b), b["tensors"].update({"hidden_to_tag.weight": z(0, 8),
                                                       "hidden_to_tag.bias": z(0)})),
         E, "LangID tag table is empty"),
        # these load: unused tensors of accepted dtypes are kept, tag ids in any key order
        (edit("tensors/extra", z(3, dtype=torch.int64)), None, None),
        (tags({"de": 1, "en": 0}), None, None),
    ]
    check_refusals(tmp_path, rows, "langid", model.assets(), model.tensors,
                   lambda path: q.LangIDProcessor(path).identify("ab"))
    missing = outcome(lambda: q.LangIDProcessor(tmp_path / "nowhere"))
    assert missing[0] is q.ModelBundleError


def random_text(rng, length):
    return "".join(rng.choice(ALPHABET + ["Q", "ы", "🙂"]) for _ in range(length))


def decided(scores, margin=1e-4):
    """Rows whose best score leads the next by more than `margin`."""
    top = scores.topk(2, dim=1).values if scores.shape[1] > 1 else None
    return [top is None or float(top[i, 0] - top[i, 1]) > margin for i in range(len(scores))]


@pytest.mark.parametrize("seed,hidden,embedding,layers", [
    (2, 8, 6, 1), (3, 37, 11, 2), (4, 64, 32, 3), (5, 16, 5, 2)])
def test_codes_match_the_reference(tmp_path, seed, hidden, embedding, layers):
    model = random_langid(seed, hidden_dim=hidden, embedding_dim=embedding, num_layers=layers)
    path = write_langid_bundle(tmp_path / "m", model).path
    reference = LangIDReference(model.tensors, model.assets())
    rng = random.Random(seed)
    texts = [random_text(rng, rng.choice([1, 2, 3, 5, 8, 13, 40, 90])) for _ in range(150)]
    texts += ["é", "e", "QQQ", "ыы🙂", texts[0]]
    for subset in ([], ["de", "zh", "xx"], ["ru"]):
        processor = q.LangIDProcessor(path, lang_subset=subset)
        scores = reference.scores(texts, set(subset))
        expected = reference.identify_many(texts, set(subset))
        got = processor.identify_many(texts)
        clear = decided(scores)
        assert sum(clear) > len(texts) * 0.9
        assert [g for g, c in zip(got, clear) if c] == [e for e, c in zip(expected, clear) if c]
        assert [processor.identify(t) for t in texts] == got  # each text alone, same code
        if subset == ["ru"]:
            assert set(got) == {"ru"}


def test_texts_and_subsets_refused_or_accepted(tmp_path):
    model = random_langid(6)
    path = write_langid_bundle(tmp_path / "m", model).path
    plain = q.LangIDProcessor(path)
    unknown = q.LangIDProcessor(path, False, ["xx", "EN"])  # codes are compared exactly
    mixed = q.LangIDProcessor(path, lang_subset=("xx", "en", "en"))
    no_subset = "LangID language subset contains no known language"
    empty = "language identification requires non-empty text"
    rows = [
        (lambda: unknown.identify_many([]), []),
        (lambda: unknown.identify("abc"), (E, no_subset)),
        (lambda: unknown.identify_many(["", "abc"]), (E, empty)),  # texts are encoded first
        (lambda: plain.identify_many(["", "abc"]), (E, empty)),
        (lambda: plain.identify(""), (E, empty)),
        (lambda: mixed.identify_many(["abc", "ы", "de"]), ["en", "en", "en"]),
        (lambda: plain.identify_many(123), TypeError),
        (lambda: plain.identify("abc", ["en"]), TypeError),
        (lambda: q.LangIDProcessor(path, lang_subset="en"), TypeError),
        (lambda: plain.identify(text="abc"), TypeError),  # positional only
    ]
    for i, (call, expected) in enumerate(rows):
        got = outcome(call)
        if expected is TypeError:
            assert isinstance(got, tuple) and got[0] is TypeError, i
        else:
            assert got == expected, i
    assert (mixed.lang_subset, plain.lang_subset, plain.bundle_path) == (["xx", "en", "en"], [], path)
    assert releases_lock(functools.partial(plain.identify_many, ["abcdefgh" * 200] * 200))


def test_pipeline_sets_document_languages(tmp_path):
    model = random_langid(7)
    reference = LangIDReference(model.tensors, model.assets())
    write_langid_bundle(tmp_path / "1.14.0" / "en" / "lid", model)
    bw.write_index(tmp_path, [("langid", "default", "lid")])
    texts = ["hello there", "Straße", "中文😀", "x", "bonjour, ça va"]
    pipeline = q.Pipeline("en", processors="langid", model_dir=tmp_path)
    expected = reference.identify_many(texts)
    assert [pipeline.process(t).lang for t in texts] == expected
    assert [d.lang for d in pipeline.process(texts)] == expected
    processor = pipeline.processors[0]
    assert (type(processor), processor.lang_subset, processor.implemented) == (q.LangIDProcessor, [], True)
    fixed = q.Pipeline("en", processors="langid", model_dir=tmp_path, langid_lang_subset=("zh",))
    assert [d.lang for d in fixed.bulk_process(texts)] == ["zh"] * len(texts)
    assert fixed.processors[0].lang_subset == ["zh"]
    # the processor alone, on a document and in bulk; an empty text fails the whole call
    bare = q.Pipeline("en", processors="")
    document = bare.process(texts[0])
    assert processor(document) is not None and document.lang == expected[0]
    docs = bare.process(texts[:2] + [""])
    assert outcome(lambda: processor.bulk_process(docs)) == (
        E, "language identification requires non-empty text")
    assert [d.lang for d in docs] == [None, None, None]
    assert outcome(lambda: q.Pipeline("en", processors="langid", model_dir=tmp_path,
                                      langid_lang_subset="en"))[0] is TypeError
