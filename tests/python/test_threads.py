"""Results do not depend on threads: a tokenize, mwt, lemma pipeline over one
long text and in bulk, predict_labels, and beam-search lemmas give identical
documents, labels and texts at 1 and 2 ATen threads; every processor kind that
runs a model annotates from eight Python threads at once as from one."""
import random
import threading

import pytest

import _quelbin as q
import bundle_writer as bw
import kind_models
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


# Plans are read-only after loading: one pipeline's processors used from eight
# Python threads at once, each on its own copies of the documents, annotate
# exactly as one thread does.
THREADS = 8


@pytest.fixture(scope="module")
def stages(tmp_path_factory):
    """Per kind that runs a model: its processor in one pipeline of every kind, and the
    documents it gets there."""
    root = tmp_path_factory.mktemp("every_kind")
    kind_models.write_model_tree(root)
    pipeline = q.Pipeline(kind_models.LANGUAGE, processors=",".join(kind_models.PIPELINE), model_dir=root)
    return kind_models.stage_inputs(pipeline, [kind_models.sample_text(seed, 1 + seed % 8)
                                               for seed in range(24)])


def annotate(processor, inputs):
    """Fresh copies of the inputs, half processed one at a time, half in bulk."""
    documents = kind_models.copies(inputs)
    half = len(documents) // 2
    done = [processor(d) for d in documents[:half]] + processor.bulk_process(documents[half:])
    return [kind_models.annotations(d) for d in done]


@pytest.mark.parametrize("kind", kind_models.PIPELINE)
def test_eight_threads_annotate_as_one(stages, kind):
    processor, inputs = stages[kind]
    before = [kind_models.annotations(d) for d in kind_models.copies(inputs)]
    alone = annotate(processor, inputs)
    assert alone != before and processor.implemented

    barrier, results = threading.Barrier(THREADS), [None] * THREADS

    def work(slot):
        barrier.wait()
        results[slot] = [annotate(processor, inputs) for _ in range(3)]

    workers = [threading.Thread(target=work, args=(slot,)) for slot in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for slot, rounds in enumerate(results):
        assert rounds == [alone] * 3, (kind, slot)
