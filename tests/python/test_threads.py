"""Results do not depend on ATen's thread count: a tokenize, mwt, lemma
pipeline over one long text and in bulk, predict_labels, and beam-search
lemmas give identical documents, labels and texts at 1 and 2 threads."""
import random

import pytest

import _quelbin as q
import bundle_writer as bw
from model_bundles.lemma import write_lemma_bundle
from model_bundles.mwt import write_mwt_bundle
from model_bundles.seq2seq import random_model
from model_bundles.tokenizer import write_tokenizer_bundle

torch = pytest.importorskip("torch")

CHARS = list("abcdefghijklmnopqrstuvwxyz")


def sample_text(rng: random.Random, sentences: int) -> str:
    """Paragraphs of short lowercase sentences; enough text for many tasks."""
    paragraphs = []
    while sentences > 0:
        count = min(sentences, rng.randint(1, 12))
        sentences -= count
        paragraphs.append(" ".join(
            " ".join("".join(rng.choice(CHARS) for _ in range(rng.randint(1, 9)))
                     for _ in range(rng.randint(3, 14))) + rng.choice(".!?")
            for _ in range(count)))
    return "\n\n".join(paragraphs)


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("models")
    language_dir = root / "1.14.0" / "en"
    write_tokenizer_bundle(language_dir / "tok", use_mwt=True, seed=3, scale=1.5, head_scale=3.0)
    write_mwt_bundle(language_dir / "mwt", random_model(5, chars=CHARS, max_dec_len=6))
    write_lemma_bundle(language_dir / "lemma", {}, random_model(6, chars=CHARS, max_dec_len=6))
    write_lemma_bundle(root / "beam_lemma", {}, random_model(7, chars=CHARS, max_dec_len=4, beam_size=2))
    bw.write_index(root, [("tokenize", "default", "tok"), ("mwt", "default", "mwt"),
                          ("lemma", "default", "lemma")], language="en")
    return root


def at_threads(threads, work):
    previous = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        return work()
    finally:
        torch.set_num_threads(previous)


def test_results_are_identical_at_one_and_two_threads(models):
    rng = random.Random(11)
    long_text = sample_text(rng, 350)
    texts = [sample_text(rng, rng.randint(1, 12)) for _ in range(50)]
    paragraph = sample_text(rng, 150).replace("\n\n", " ")
    pipeline = q.Pipeline("en", processors="tokenize,mwt,lemma", model_dir=models)
    tokenizer = pipeline.processors[0]
    beam_lemma = q.LemmaProcessor(models / "beam_lemma")
    tokenized = [d.to_dict() for d in tokenizer.bulk_process([q.Document(t) for t in texts])]

    calls = {
        "process": lambda: pipeline.process(long_text).to_dict(),
        "bulk_process": lambda: [d.to_dict() for d in pipeline.bulk_process(texts)],
        "predict_labels": lambda: tokenizer.predict_labels(paragraph),
        "beam-search lemmas": lambda: [d.to_dict() for d in
                                       beam_lemma.bulk_process([q.Document.from_dict(d) for d in tokenized[:8]])],
    }
    one = {name: at_threads(1, call) for name, call in calls.items()}
    two = {name: at_threads(2, call) for name, call in calls.items()}
    for name in calls:
        assert one[name] == two[name], name

    # The inputs make several tasks on every path (a task holds 8192 units, or
    # 128 words for the lemmatizer, or 50 for beam search), with several
    # windows, expanded tokens and model lemmas.
    assert len(long_text) > 2 * 8192 and sum(map(len, texts)) > 2 * 8192 and len(paragraph) > 3000
    words = [w for s in one["process"] for w in s]
    assert len(words) > 2 * 128
    assert sum(len(s) for d in one["beam-search lemmas"] for s in d) > 2 * 50
    assert any(isinstance(w["id"], tuple) for s in one["process"] for w in s)
    assert sum(1 for w in words if "lemma" in w and w["lemma"] != w["text"]) > len(words) // 2
