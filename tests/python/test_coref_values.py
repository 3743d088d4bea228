"""CorefMention, CorefChain and CorefAttachment: construction, conversions,
reprs, refusals, and storing chains in a document."""

import gc

import pytest

import _quelbin as q
import _quelbin_testing as t


class Pair:
    """Has a length but no sequence indexing."""
    def __len__(self):
        return 2


# (start_word argument, value read back)
POSITIONS = [
    (2, 2),
    (True, 1),
    (-1, -1),
    ((3, 1), (3, 1)),
    ([3, 1], (3, 1)),
    ((True, False), (1, 0)),
    (range(4, 6), (4, 5)),
]


@pytest.mark.parametrize("given, read", POSITIONS)
def test_word_positions(given, read):
    m = q.CorefMention(0, given, 4)
    assert m.start_word == read and type(m.start_word) is type(read)
    assert m.end_word == 4


# (sentence, start_word, exception, message)
BAD_MENTIONS = [
    (-1, 0, ValueError, "a coreference mention sentence index cannot be negative"),
    (0, (1, 2, 3), ValueError, "a zero-anaphora word position must contain two integers"),
    (0, [1], ValueError, "a zero-anaphora word position must contain two integers"),
    (0, "ab", RuntimeError, None),
    (0, 1.5, TypeError, None),
    (0, None, TypeError, None),
    (0, Pair(), TypeError, None),
    (0, 2**31, RuntimeError, None),
    (0, (1, 2**31), RuntimeError, None),
    (0, (1.0, 2), RuntimeError, None),
    (2**31, 0, TypeError, None),
    (1.0, 0, TypeError, None),
]


@pytest.mark.parametrize("sentence, start, error, message", BAD_MENTIONS)
def test_mention_refusals(sentence, start, error, message):
    with pytest.raises(error) as info:
        q.CorefMention(sentence, start, 0)
    assert type(info.value) is error
    if message:
        assert str(info.value) == message


def test_mention_and_chain_values():
    m = q.CorefMention(sentence=0, start_word=2, end_word=4)
    assert (m.sentence, m.start_word, m.end_word) == (0, 2, 4)
    assert repr(m) == "<CorefMention sentence=0>"
    chain = q.CorefChain(0, [m], "Ann")
    assert (chain.index, chain.representative_text, chain.representative_index) == (0, "Ann", None)
    assert repr(chain) == "<CorefChain index=0 representative=Ann>"
    assert repr(q.CorefChain(12, (), "a b > c")) == "<CorefChain index=12 representative=a b > c>"
    assert q.CorefChain(1, [m, m], "x", representative_index=1).representative_index == 1
    # Mentions are copied into the chain and read back as a new list each time.
    mentions = chain.mentions
    assert [x.start_word for x in mentions] == [2] and mentions is not chain.mentions
    assert mentions[0] is not m


def test_chain_mentions_keep_the_chain_alive():
    mention = q.CorefChain(3, [q.CorefMention(5, (1, 1), (1, 1))], "z").mentions[0]
    gc.collect()
    assert (mention.sentence, mention.start_word) == (5, (1, 1))


# (arguments, exception, message)
BAD_CHAINS = [
    ((-1, [], "x"), ValueError, "a coreference chain index cannot be negative"),
    ((0, [q.CorefMention(0, 0, 1)], "x", 1), ValueError,
     "the representative coreference mention index is invalid"),
    ((0, [q.CorefMention(0, 0, 1)], "x", -1), ValueError,
     "the representative coreference mention index is invalid"),
    ((0, [], "x", 0), ValueError, "the representative coreference mention index is invalid"),
    ((0, [None], "x"), TypeError, None),
    ((0, [1], "x"), TypeError, None),
    ((0, "ab", "x"), TypeError, None),
    ((0, [], 5), TypeError, None),
    ((2**31, [], "x"), TypeError, None),
    ((0, [], "x", 1.0), TypeError, None),
]


@pytest.mark.parametrize("args, error, message", BAD_CHAINS)
def test_chain_refusals(args, error, message):
    with pytest.raises(error) as info:
        q.CorefChain(*args)
    assert type(info.value) is error
    if message:
        assert str(info.value) == message


def test_attachments():
    chain = q.CorefChain(7, [q.CorefMention(0, 0, 1)], "Ann", 0)
    a = q.CorefAttachment(chain, True, False, False)
    assert (a.is_start, a.is_end, a.is_representative) == (True, False, False)
    assert (a.chain.index, a.chain.representative_text, a.chain.representative_index) == (7, "Ann", 0)
    assert repr(a) == "<CorefAttachment chain=7>"
    assert a.to_json() == {"index": 7, "representative_text": "Ann", "is_start": True}
    kept = q.CorefAttachment(chain=chain, is_start=False, is_end=True, is_representative=True).chain
    del chain
    gc.collect()
    assert kept.representative_text == "Ann"
    for flags in [(1, 0, 0), (True, None, False), (True, False, "x")]:
        with pytest.raises(TypeError):
            q.CorefAttachment(q.CorefChain(0, [], "x"), *flags)
    with pytest.raises(TypeError):
        q.CorefAttachment(None, True, True, True)


def test_values_define_no_equality_of_their_own():
    m = q.CorefMention(0, 0, 1)
    assert m == m and m != q.CorefMention(0, 0, 1)
    assert hash(m) == hash(m)


def test_storing_chains_in_a_document():
    doc = t.sample_document()  # sentence 0 has the empty words 3.1 and 0.1
    chains = [q.CorefChain(0, [q.CorefMention(0, 0, 2), q.CorefMention(0, (3, 1), (3, 1))], "Ann Lee", 0),
              q.CorefChain(1, [q.CorefMention(1, 0, 1)], "Hola")]
    doc.coref = chains
    stored = doc.coref
    assert [(c.index, c.representative_text) for c in stored] == [(0, "Ann Lee"), (1, "Hola")]
    assert [m.start_word for m in stored[0].mentions] == [0, (3, 1)]
    ann = doc.sentences[0].words[0]
    assert [a.to_json() for a in ann.coref_chains] == [
        {"index": 0, "representative_text": "Ann Lee", "is_start": True, "is_representative": True}]
    empty = [w for w in doc.sentences[0].empty_words if w.id == (3, 1)][0]
    assert empty.to_dict()["coref_chains"][0]["index"] == 0
    # Refusals of the document model leave the chains as they were.
    for bad, error, message in [
        ([q.CorefChain(0, [q.CorefMention(2, 0, 1)], "x")], IndexError,
         "a coreference mention has an invalid sentence index"),
        ([q.CorefChain(0, [q.CorefMention(1, 0, 3)], "x")], IndexError,
         "a coreference mention has an invalid word range"),
        ([q.CorefChain(0, [q.CorefMention(0, (3, 1), 4)], "x")], IndexError,
         "a zero coreference mention must name one empty word"),
        ([q.CorefChain(0, [q.CorefMention(0, (2, 1), (2, 1))], "x")], IndexError,
         "a zero coreference mention has no matching empty word"),
    ]:
        with pytest.raises(error, match="^" + message + "$"):
            doc.coref = bad
        assert len(doc.coref) == 2
    for bad in ([None], "ab", [chains[0], 1], None):
        with pytest.raises(TypeError):
            doc.coref = bad
    doc.coref = ()
    assert doc.coref == [] and ann.coref_chains == []
