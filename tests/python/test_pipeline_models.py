"""Pipelines over writer-made model trees: tokenize alone and tokenize, mwt,
lemma; bundle resolution; the interpreter lock around processing."""
import gc
import sys
import threading

import pytest

import _quelbin as q
import bundle_writer as bw
from model_bundles.lemma import write_lemma_bundle
from model_bundles.mwt import write_dict_bundle
from model_bundles.tokenizer import (DEFAULT_FEATURES, DEFAULT_VOCAB, feature_width, hand_set_weights,
                                     write_tokenizer_bundle)

VOCAB = DEFAULT_VOCAB + "àâçéèêëîïôûùüÀÉ"
TEXT = "Il va au marché du village. Ils achètent du pain!\n\nLe marché ferme à midi."


def write_tree(root, *, random_tokenizer_seed=None, language="fr"):
    language_dir = root / "1.14.0" / language
    if random_tokenizer_seed is None:
        weights = hand_set_weights(VOCAB, 8, 8, feature_width(DEFAULT_FEATURES))
        write_tokenizer_bundle(language_dir / "tok", use_mwt=True, vocab=VOCAB, tensor_overrides=weights)
    else:
        write_tokenizer_bundle(language_dir / "tok", use_mwt=True, vocab=VOCAB, seed=random_tokenizer_seed,
                               scale=1.5, head_scale=3.0)
    write_dict_bundle(language_dir / "mwt", {"au": "à le", "du": "de le"})
    write_lemma_bundle(language_dir / "lemma", {"*": {"va": "aller", "Ils": "il", "achètent": "acheter"}})
    bw.write_index(root, [("tokenize", "default", "tok"), ("mwt", "default", "mwt"),
                          ("lemma", "default", "lemma")], language=language)
    return root


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    return write_tree(tmp_path_factory.mktemp("models"))


def words_of(document):
    return [[(w.text, w.lemma) for w in s.words] for s in document.sentences]


def test_tokenize_mwt_lemma_end_to_end(tree):
    pipeline = q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=tree)
    assert [type(p) for p in pipeline.processors] == [q.TokenizeProcessor, q.MWTProcessor, q.LemmaProcessor]
    assert all(p.implemented for p in pipeline.processors)
    assert pipeline.processors[0].bundle_path == tree / "1.14.0" / "fr" / "tok"
    document = pipeline.process(TEXT)
    assert document.text == TEXT
    assert words_of(document) == [
        [("Il", "Il"), ("va", "aller"), ("à", "à"), ("le", "le"), ("marché", "marché"), ("de", "de"),
         ("le", "le"), ("village", "village"), (".", ".")],
        [("Ils", "il"), ("achètent", "acheter"), ("de", "de"), ("le", "le"), ("pain", "pain"), ("!", "!")],
        [("Le", "Le"), ("marché", "marché"), ("ferme", "ferme"), ("à", "à"), ("midi", "midi"), (".", ".")],
    ]
    assert [t.text for t in document.sentences[0].tokens][:4] == ["Il", "va", "au", "marché"]
    conll = document.to_conll()
    assert "3-4\tau\t" in conll and "\n3\tà\tà\t" in conll


@pytest.mark.parametrize("seed", [None, 1, 2])
def test_bulk_and_single_give_identical_documents(tmp_path, seed):
    root = write_tree(tmp_path, random_tokenizer_seed=seed)
    pipeline = q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=root)
    texts = [TEXT, "", "   \n\n  ", "du pain.", TEXT * 3, "Élan, à 10 h."]
    one_by_one = [pipeline.process(text) for text in texts]
    bulk = pipeline.process(texts)
    assert len(bulk) == len(texts)
    for single, batched, text in zip(one_by_one, bulk, texts):
        assert batched.text == text
        assert batched.to_conll() == single.to_conll()
        assert batched.to_dict() == single.to_dict()
    assert [d.to_conll() for d in pipeline.bulk_process(texts)] == [d.to_conll() for d in bulk]
    # Documents go through the same way as texts.
    again = pipeline.process([q.Document(t) for t in texts])
    assert [d.to_conll() for d in again] == [d.to_conll() for d in bulk]


def test_tokenize_pipeline_edge_texts(tree):
    pipeline = q.Pipeline("fr", processors="tokenize", model_dir=tree)
    for text in ["", "\n\n\n", "   ", "a", "x" * 20000]:
        document = pipeline(text)
        assert document.text == text
    assert len(pipeline("").sentences) == 0
    assert len(pipeline("\n \n").sentences) == 0
    # A str that is not valid Unicode never reaches the engine.
    with pytest.raises(TypeError):
        pipeline.process("\ud800")


def test_processors_keep_their_plans_after_the_pipeline_is_gone(tree):
    pipeline = q.Pipeline("fr", processors="tokenize,mwt", model_dir=tree)
    tokenizer, expander = pipeline.processors
    del pipeline
    gc.collect()
    assert tokenizer.implemented and expander.implemented
    assert expander.expand("au") == "à le"
    labels = tokenizer.predict_labels("du pain.")
    assert len(labels) == len("du pain.")
    document = tokenizer.process(q.Document("du pain."))
    assert [t.text for t in document.iter_tokens()] == ["du", "pain", "."]
    assert tokenizer.predict_labels("") == []
    with pytest.raises(q.TokenizerModelError, match="^predict_labels expects text containing one tokenizer paragraph$"):
        tokenizer.predict_labels("a.\n\nb.")


def test_standalone_processors_load_bundles(tree):
    tokenizer = q.TokenizeProcessor(tree / "1.14.0" / "fr" / "tok")
    assert repr(tokenizer) == "<tokenize processor implemented=True>"
    assert tokenizer.bundle_path == tree / "1.14.0" / "fr" / "tok"
    with pytest.raises(q.TokenizerModelError):
        q.TokenizeProcessor(tree / "1.14.0" / "fr" / "mwt")
    with pytest.raises(q.ModelBundleError):
        q.TokenizeProcessor(tree / "missing")


def test_unknown_name_reported_after_earlier_bundles_load(tree, tmp_path):
    with pytest.raises(ValueError, match="^unknown processor: 'nope'$"):
        q.Pipeline("fr", processors="tokenize,nope", model_dir=tree)
    # A broken tokenizer bundle is reported first when it comes first.
    broken = write_tree(tmp_path)
    bw.truncate_file(broken / "1.14.0" / "fr" / "tok" / "tensors.bin", 10)
    with pytest.raises(q.ModelBundleError):
        q.Pipeline("fr", processors="tokenize,nope", model_dir=broken)


def _releases_lock(call):
    """True when `call` lets another Python thread run while it is inside the
    engine. With a huge switch interval a thread that holds the lock only gives
    it up where it blocks or releases it, so the waiting thread can read
    `inside` as True only if `call` released the lock."""
    inside = False
    seen = []
    go = threading.Event()

    def observer():
        go.wait()
        seen.append(inside)

    def worker():
        nonlocal inside
        inside = True
        go.set()
        call()
        inside = False

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        watcher = threading.Thread(target=observer)
        watcher.start()
        runner = threading.Thread(target=worker)
        runner.start()
        runner.join()
        watcher.join()
    finally:
        sys.setswitchinterval(old)
    return seen == [True]


def test_processing_releases_the_interpreter_lock(tree):
    pipeline = q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=tree)
    long_text = TEXT * 400
    assert _releases_lock(lambda: pipeline.process(long_text))
    assert _releases_lock(lambda: pipeline.process([long_text, long_text]))
    tokenizer = pipeline.processors[0]
    document = q.Document(long_text)
    assert _releases_lock(lambda: tokenizer.process(document))
    # Model loading keeps the lock.
    assert not _releases_lock(lambda: q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=tree))


def test_two_pipelines_run_in_two_threads(tree):
    first = q.Pipeline("fr", processors="tokenize,mwt,lemma", model_dir=tree)
    second = q.Pipeline("fr", processors="tokenize", model_dir=tree)
    long_text = TEXT * 400
    results = {}
    # The second pipeline's thread starts its run only once the first is
    # inside the engine; both finish with complete results.
    assert _releases_lock(lambda: results.setdefault("first", first.process(long_text)))
    both = []
    threads = [threading.Thread(target=lambda p=p: both.append(p.process(long_text).num_tokens))
               for p in (first, second)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(both) == sorted([first.process(long_text).num_tokens, second.process(long_text).num_tokens])
    assert results["first"].text == long_text
