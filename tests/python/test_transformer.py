"""TransformerEncoder from Python: overloads and conversions, errors, the interpreter lock,
and word features against the eager reference, on a tiny random model and on a real trained
MiniLM encoder, over inputs longer than model_max_length too."""
import functools
import os
import pathlib
import random
import threading

import pytest
import torch

import _quelbin as q
from conftest import BUILD, releases_lock
from model_bundles.transformer import (BPE_MERGES, BPE_VOCAB, TINY_VOCAB, XLMR_SCORES, XLMR_VOCAB,
                                       compiled_package, minilm_model, minilm_package,
                                       minilm_vocabulary, tiny_model)
from reference.transformer import sliced_run, word_rows

CACHE = BUILD / "fixtures" / "aoti_packages"


@pytest.fixture(scope="module")
def tiny():
    return compiled_package("tiny", CACHE)


def reference_rows(model, encoding, words, max_length, keep_endpoints):
    """The eager model's word rows for the engine's own subword ids."""
    @torch.no_grad()
    def run(window):
        ids = torch.tensor([window])
        return model(ids, torch.ones_like(ids))[0]

    hidden = sliced_run(run, encoding.input_ids, max_length)
    return word_rows(hidden, encoding.word_ids, len(words), keep_endpoints)


def test_overloads_arguments_and_errors(tiny):
    wordpiece = q.TransformerEncoder(tiny, TINY_VOCAB)
    assert wordpiece.model_path == tiny and isinstance(wordpiece.model_path, pathlib.Path)
    assert wordpiece.tokenize(("The", "cats")).input_ids == [2, 4, 5, 14, 3]
    bpe = q.TransformerEncoder(str(tiny), BPE_VOCAB, BPE_MERGES, False)  # pairs given as lists
    assert bpe.tokenize(["abc"], add_special_tokens=False).input_ids == [BPE_VOCAB.index("abc")]
    xlmr = q.TransformerEncoder(os.fsencode(tiny), XLMR_VOCAB, XLMR_SCORES, [0, 0, 0, 0], 3,
                                cls_token="<s>")
    assert xlmr.tokenize(["ab"]).word_ids == [-1, 0, -1]
    assert q.TransformerEncoder.runtime_version() == "2.13.0" == xlmr.runtime_version()

    # The encoder's own checks are tested in C++; here: overload choice, conversions, and the
    # Python classes of the errors.
    E, T = q.TransformerError, TypeError
    rows = [
        (lambda: q.TransformerEncoder(tiny, TINY_VOCAB, intra_op_threads=torch.get_num_threads()),
         None),
        (lambda: q.TransformerEncoder(tiny, BPE_VOCAB, BPE_MERGES), T),  # add_prefix_space needed
        (lambda: q.TransformerEncoder(tiny, ["a"], [], [], 0), q.SubwordError,
         "XLM-R vocabulary and score arrays must be nonempty and equal"),
        (lambda: q.TransformerEncoder(tiny, ["[UNK]"]), q.WordPieceError,
         "WordPiece vocabulary is missing required token: [CLS]"),
        (lambda: q.TransformerEncoder(tiny, TINY_VOCAB, model_max_length=4), E,
         "transformer model_max_length must be at least 5"),
        (lambda: q.TransformerEncoder(tiny, TINY_VOCAB, model_max_length=-1), T),
        (lambda: q.TransformerEncoder(tiny, TINY_VOCAB, lowercase=1), T),
        (lambda: q.TransformerEncoder(None, TINY_VOCAB), T),
        (lambda: q.TransformerEncoder(tiny, XLMR_VOCAB, XLMR_SCORES, [256], 3), T),
        (lambda: q.TransformerEncoder(tiny, BPE_VOCAB, [("a", "b", "c")], True), T),
        (lambda: q.TransformerEncoder(tiny, BPE_VOCAB, ["ab"], True), T),
        (lambda: wordpiece.encode("the"), T),
        (lambda: wordpiece.encode_ids([5, 6, 7], [1, 1]), E,
         "transformer attention mask length does not match input ids"),
        (lambda: bpe.encode(["ab", ""]), E, "transformer tokenizer produced no subword for word 1"),
        (lambda: xlmr.encode(["ab", " "], True), E,
         "transformer tokenizer produced no subword for word 1"),
    ]
    for call, error, *message in rows:
        if error is None:
            call()
            continue
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value).startswith(*message) if message else True, caught.value
    # Still usable after the failures.
    assert len(bpe.encode(["ab"])) == 1


def test_empty_inputs_and_id_features(tiny):
    """Windows are checked in C++ and on MiniLM below; here the edges of the Python calls."""
    model, rng = tiny_model(), random.Random(4)
    encoder = q.TransformerEncoder(tiny, TINY_VOCAB, model_max_length=10)
    assert encoder.encode([]) == [] and len(encoder.encode([], keep_endpoints=True)) == 2
    assert encoder.encode_ids([]) == [] == encoder.encode_ids([], [1, 1])
    words = ["The", "unbelievable", "cats", "run"]
    got = torch.tensor(encoder.encode(words, keep_endpoints=True))
    torch.testing.assert_close(got, reference_rows(model, encoder.tokenize(words), words, 10, True),
                               atol=1e-5, rtol=0)
    ids = [rng.randrange(32) for _ in range(40)]  # more than model_max_length: still one run
    with torch.no_grad():
        want = model(torch.tensor([ids]), torch.ones(1, 40, dtype=torch.int64))[0]
        masked = model(torch.tensor([ids[:5]]), torch.tensor([[1, 0, 1, 1, 0]]))[0]
    torch.testing.assert_close(torch.tensor(encoder.encode_ids(ids)), want, atol=1e-5, rtol=0)
    assert encoder.encode_ids(ids[:3]) == encoder.encode_ids(ids[:3], [1, 1, 1])
    torch.testing.assert_close(torch.tensor(encoder.encode_ids(ids[:5], [1, 0, 1, 1, 0])), masked,
                               atol=1e-5, rtol=0)


def test_lock_release_and_threads(tiny):
    encoder = q.TransformerEncoder(tiny, TINY_VOCAB, model_max_length=16)
    # Calls long enough for the main thread to wake while they run: the [1, n, n] package
    # gives 4 million floats for 2000 ids; thousands of distinct words miss the word cache.
    square = q.TransformerEncoder(compiled_package("square", CACHE), TINY_VOCAB)
    words = ["unbelievable", "cats"] * 200
    distinct = ["x" * (i % 50 + 1) + "y" * (i // 50 + 1) for i in range(5000)]
    assert releases_lock(functools.partial(encoder.encode, words))
    assert releases_lock(functools.partial(square.encode_ids, [4] * 2000))
    assert releases_lock(functools.partial(encoder.tokenize, distinct))
    inputs = [["the", "cat"] * k for k in range(1, 9)]
    expected = [encoder.encode(words) for words in inputs]
    results = [None] * len(inputs)

    def work(i):
        for _ in range(3):
            results[i] = encoder.encode(inputs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


def minilm_sentences(vocabulary, count, rng):
    """Sentences of 1 to 60 words from the vocabulary's whole words, some glued together
    (split again into pieces), capitalised, accented or punctuated; a few of 150 to 250 words,
    longer than model_max_length 128."""
    whole = [w for w in vocabulary[1000:] if w.isalpha() and not w.startswith("##")]
    sentences = []
    for i in range(count):
        length = rng.randint(150, 250) if i % 25 == 0 else rng.randint(1, 60)
        words = []
        for _ in range(length):
            word = rng.choice(whole)
            roll = rng.random()
            if roll < 0.15:
                word += rng.choice(whole)
            elif roll < 0.25:
                word = word.capitalize()
            elif roll < 0.3:
                word = word.replace("e", "é")
            elif roll < 0.35:
                word = rng.choice([",", ".", "!", "(", "3.5", "don't"])
            words.append(word)
        sentences.append(words)
    return sentences


def test_minilm_words_match_eager_pytorch():
    """A real trained encoder: the engine's word features within 1e-4 of the eager model's
    over the same subword ids and windows (model_max_length 128: windows every 108 ids)."""
    vocabulary = minilm_vocabulary()
    package = minilm_package(CACHE)
    encoder = q.TransformerEncoder(package, vocabulary, model_max_length=128)
    model, rng = minilm_model(), random.Random(12)
    sentences = minilm_sentences(vocabulary, 300, rng)
    long = 0
    for i, words in enumerate(sentences):
        encoding = encoder.tokenize(words)
        long += len(encoding.input_ids) > 128
        got = torch.tensor(encoder.encode(words, keep_endpoints=i % 3 == 0))
        want = reference_rows(model, encoding, words, 128, i % 3 == 0)
        torch.testing.assert_close(got, want, atol=1e-4, rtol=0)
    assert long >= 10
