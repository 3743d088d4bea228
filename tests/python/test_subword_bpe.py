"""ByteBPETokenizer and XLMRobertaTokenizer from Python: argument conversions and
errors, and ids checked against the public `tokenizers` (GPT-2's vocabulary and
merges) and `sentencepiece` (a unigram model trained here) on generated text."""
import functools
import random
import sys
import threading
from collections.abc import Sequence

import pytest
import sentencepiece as spm
import tokenizers

import _quelbin as q
from conftest import BUILD, releases_lock
from subword_peers import WORDS, gpt2_data, mixed_texts, sentencepiece_model, unigram_arguments

PRINTABLE = [b for b in range(256) if 0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or b >= 0xAE]
BYTE_SYMBOLS = {b: chr(b) for b in PRINTABLE}
BYTE_SYMBOLS.update({b: chr(256 + k) for k, b in enumerate(sorted(set(range(256)) - set(PRINTABLE)))})


def small_bpe(extra=(), merges=(), **kwargs):
    vocab = [BYTE_SYMBOLS[b] for b in range(256)] + ["<unk>", "<s>", "</s>", *extra]
    return vocab, q.ByteBPETokenizer(vocab, list(merges), **kwargs)


def test_byte_bpe_arguments_and_results():
    vocab, tok = small_bpe(["ab"], [("a", "b")], add_prefix_space=True)
    enc = tok.encode(["ab", "b"])
    assert enc.input_ids == [257, 32, 259, 32, 98, 258]
    assert enc.word_ids == [-1, 0, 0, 1, 1, -1]
    assert tok.encode(("ab",), add_special_tokens=False).input_ids == [32, 259]
    assert tok.tokenize(text="ab ab") == [32, 259, 32, 259]
    assert (tok.vocabulary_size, tok.cache_size) == (260, 3)
    assert q.ByteBPETokenizer.highway_enabled is True and tok.highway_enabled is True
    # Merges may be any two-item sequences; the defaults name <unk>, <s> and </s>.
    assert q.ByteBPETokenizer(vocab, [["a", "b"]]).tokenize("ab") == [259]
    refused = [
        lambda: tok.encode("ab"),
        lambda: tok.encode([b"ab"]),
        lambda: tok.tokenize(["ab"]),
        lambda: q.ByteBPETokenizer(vocab, [("a", "b", "c")]),
        # A merge given as one string is not read as its characters.
        lambda: q.ByteBPETokenizer(vocab, ["ab"]),
        lambda: q.ByteBPETokenizer(vocab, [b"ab"]),
        lambda: q.ByteBPETokenizer(vocab, [], add_prefix_space=1),
        lambda: q.ByteBPETokenizer(vocab, "ab"),
    ]
    for call in refused:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(q.SubwordError, match="^byte-level BPE vocabulary is missing token: ab$"):
        q.ByteBPETokenizer(vocab[:-1], [("a", "b")])
    # A lone surrogate cannot be encoded as UTF-8: refused before the engine.
    with pytest.raises(TypeError):
        tok.tokenize("a\ud800")


def test_xlmr_arguments_and_results():
    pieces = ["<unk>", "<s>", "</s>", "\u2581", "\u2581a", "b"]
    tok = q.XLMRobertaTokenizer(pieces, [0, 0, 0, -1.0, -1, -1], [0, 0, 0, 0], 0)
    assert tok.encode(["a", "ab b"]).input_ids == [1, 4, 4, 5, 3, 5, 2]
    assert tok.tokenize("  ") == []
    assert (tok.vocabulary_size, tok.cache_size) == (6, 3)
    assert q.XLMRobertaTokenizer.highway_enabled is True

    class Half:
        def __float__(self):
            return 0.5

    # Scores take any numeric value; bytes come as integers, in any sequence.
    other = q.XLMRobertaTokenizer(pieces, [0, 0, 0, Half(), 1, 0.1], (0, 0, 0, 0), unknown_id=5,
                                  cls_token="b", sep_token="\u2581")
    assert other.encode(["ab"]).input_ids == [5, 4, 5, 3]
    refused = [
        lambda: q.XLMRobertaTokenizer(pieces, [0] * 6, [0, 0, 0, 256], 0),
        lambda: q.XLMRobertaTokenizer(pieces, [0] * 6, [0, 0, 0, -1], 0),
        lambda: q.XLMRobertaTokenizer(pieces, [0] * 6, b"\0\0\0\0", 0),
        lambda: q.XLMRobertaTokenizer(pieces, ["0"] * 6, [0, 0, 0, 0], 0),
        lambda: q.XLMRobertaTokenizer(pieces, [0] * 6, [0, 0, 0, 0], 1.5),
        lambda: q.XLMRobertaTokenizer(pieces, [0] * 6, [0, 0, 0, 0]),
    ]
    for call in refused:
        with pytest.raises(TypeError):
            call()
    rows = [
        (([], [], [0, 0, 0, 0], 0), "XLM-R vocabulary and score arrays must be nonempty and equal"),
        ((pieces, [0] * 6, [0, 0, 0, 0], 6), "XLM-R unknown id is out of range"),
        ((pieces[:1], [0], [0, 0, 0, 0], 0), "XLM-R vocabulary is missing token: <s>"),
        ((pieces, [0] * 6, [], 0), "XLM-R precompiled charsmap is truncated"),
        ((pieces, [0] * 6, [0xFC, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4], 0),
         "XLM-R precompiled charsmap has invalid trie"),
    ]
    for args, message in rows:
        with pytest.raises(q.SubwordError) as error:
            q.XLMRobertaTokenizer(*args)
        assert str(error.value) == message and isinstance(error.value, RuntimeError)


def test_encode_and_tokenize_release_the_lock():
    _, bpe = small_bpe()
    xlmr = q.XLMRobertaTokenizer(["<unk>", "<s>", "</s>"], [0, 0, 0], [0, 0, 0, 0], 0)
    # Long texts not seen before: each call spends its time in the engine.
    texts = [f"lorem ipsum {k} " * 50000 for k in range(4)]
    for call in (functools.partial(bpe.tokenize, texts[0]), functools.partial(bpe.encode, [texts[1]]),
                 functools.partial(xlmr.tokenize, texts[2]), functools.partial(xlmr.encode, [texts[3]])):
        assert releases_lock(call)


def test_threads_share_one_tokenizer(gpt2, unigram):
    # Words repeat across threads so that hits, misses and stores of one slot interleave.
    rng = random.Random(3)
    lists = [mixed_texts(rng, 200, separators=[" "]) for _ in range(8)]
    for serial, make in ((gpt2[2], gpt2[3]), (unigram[0], unigram[2])):
        want = [[serial.tokenize(t) for t in texts] for texts in lists]
        shared, results = make(), [None] * len(lists)

        def work(k):
            results[k] = [shared.encode([t], False).input_ids for t in lists[k]]

        threads = [threading.Thread(target=work, args=(k,)) for k in range(len(lists))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == want


# --- GPT-2's byte-level BPE against the `tokenizers` package -------------------------------

@pytest.fixture(scope="module")
def gpt2():
    encoder, merges = gpt2_data(BUILD / "peer-data")
    vocab = [None] * len(encoder)
    for token, i in encoder.items():
        vocab[i] = token
    end = "<|endoftext|>"
    peer = tokenizers.Tokenizer(tokenizers.models.BPE(encoder, merges))
    peer.pre_tokenizer = tokenizers.pre_tokenizers.ByteLevel(add_prefix_space=False)

    def prefixed():
        return q.ByteBPETokenizer(vocab, merges, end, end, end, add_prefix_space=True)

    return q.ByteBPETokenizer(vocab, merges, end, end, end), peer, prefixed(), prefixed


def test_gpt2_ids_match_the_peer(gpt2):
    ours, peer, prefixed, _ = gpt2
    texts = mixed_texts(random.Random(20), 3000, separators=[" "] * 8 + ["", "\n", "\t", "\u00a0"])
    expected = [e.ids for e in peer.encode_batch(texts)]
    mismatched = [t for t, want in zip(texts, expected) if ours.tokenize(t) != want]
    assert not mismatched, mismatched[:5]
    # Word lists with a prefix space: each word as the peer sees it after a space.
    for words in (t.split() for t in texts[:300]):
        enc = prefixed.encode(words, add_special_tokens=False)
        assert enc.input_ids == [i for w in words for i in peer.encode(" " + w).ids], words


def test_gpt2_whitespace_runs_stay_one_piece(gpt2):
    # Where this tokenizer keeps a whitespace run whole before a word and the peer
    # carries its last space onto the word, the ids are the peer's for the pieces.
    ours, peer, _, _ = gpt2
    rows = [
        ("a  b", ["a", "  ", "b"]),
        ("x\n y", ["x", "\n ", "y"]),
        ("one   two  three", ["one", "   ", "two", "  ", "three"]),
        ("end.\n\nNext", ["end", ".", "\n\n", "Next"]),
    ]
    for text, pieces in rows:
        want = [i for p in pieces for i in peer.encode(p).ids]
        assert ours.tokenize(text) == want, text
        assert peer.encode(text).ids != want, text


# --- unigram model trained with `sentencepiece` -------------------------------------------

@pytest.fixture(scope="module")
def unigram():
    model = sentencepiece_model()
    peer = spm.SentencePieceProcessor(model_proto=model)
    vocab, scores, charsmap, unknown = unigram_arguments(peer, model)
    assert len(charsmap) > 100_000  # the compiled NFKC map, not an empty one

    def make():
        return q.XLMRobertaTokenizer(vocab, scores, charsmap, unknown)

    return make(), peer, make


def test_unigram_ids_match_sentencepiece(unigram):
    ours, peer, _ = unigram
    texts = mixed_texts(random.Random(21), 3000, separators=[" "] * 6 + ["", "  ", "\n", "\t", " \u3000"])
    expected = peer.encode(texts)
    mismatched = [t for t, want in zip(texts, expected) if ours.tokenize(t) != want]
    assert not mismatched, mismatched[:5]
    assert ours.tokenize("\uff21\uff42\uff43 \u2460") == peer.encode("\uff21\uff42\uff43 \u2460")
    enc = ours.encode(texts[0].split(), add_special_tokens=True)
    assert enc.input_ids == [1, *peer.encode(texts[0]), 2]


class Words(Sequence):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, k):
        return self.items[k]


def test_word_lists_of_every_length_and_kind(unigram):
    # Short lists are held inline and long ones on the heap; ASCII words are read
    # in place and others through their UTF-8 form.
    ours, _, make = unigram
    rng = random.Random(9)
    fresh = make()
    for n in (0, 1, 63, 64, 65, 300):
        words = [rng.choice(WORDS) for _ in range(n)]
        want_ids = [i for w in words for i in ours.tokenize(w)]
        want_word_ids = [k for k, w in enumerate(words) for _ in ours.tokenize(w)]
        for kind in (list, tuple, Words):
            enc = fresh.encode(kind(words), False)
            assert (enc.input_ids, enc.word_ids) == (want_ids, want_word_ids), (n, kind)
    # A word without a UTF-8 form refuses the list, and the references taken to
    # the words before it are given back.
    word = "".join(["refcount", "-probe"])
    before = sys.getrefcount(word)
    for n in (3, 100):
        with pytest.raises(TypeError):
            fresh.encode([word] * n + ["a\ud800"])
        assert sys.getrefcount(word) == before


def test_unigram_drops_a_mark_after_a_mapped_base(unigram):
    # The cluster of U+FB01 (ligature fi, mapped to "fi") and a combining acute is
    # looked up whole: the ligature's rule decides and the mark goes with it.
    ours, peer, _ = unigram
    assert ours.tokenize("\ufb01\u0301x") == peer.encode("fix")
    assert peer.encode("\ufb01\u0301x") != peer.encode("fix")
