"""Values stored on documents: CorefMention, CorefChain, CorefAttachment and
ConstituencyTree."""

import gc

import pytest

import _quelbin as q
import _quelbin_testing as t

T = q.ConstituencyTree


class Pair:
    """Has a length but no sequence indexing."""
    def __len__(self):
        return 2


@pytest.mark.parametrize("given, read", [(2, 2), (True, 1), ((3, 1), (3, 1)), ([3, 1], (3, 1)),
                                         ((True, False), (1, 0)), (range(4, 6), (4, 5))])
def test_word_positions(given, read):
    m = q.CorefMention(0, given, 4)
    assert (m.start_word, type(m.start_word), m.end_word) == (read, type(read), 4)


# (constructor, arguments, exception, message or None)
REFUSALS = [
    (q.CorefMention, (-1, 0, 0), ValueError, "a coreference mention sentence index cannot be negative"),
    (q.CorefMention, (0, (1, 2, 3), 0), ValueError,
     "a zero-anaphora word position must contain two integers"),
    (q.CorefMention, (0, [1], 0), ValueError, "a zero-anaphora word position must contain two integers"),
    (q.CorefMention, (0, Pair(), 0), TypeError, None),
    (q.CorefMention, (0, (1, 2**31), 0), RuntimeError, None),
    (q.CorefChain, (-1, [], "x", 7), ValueError, "a coreference chain index cannot be negative"),
    (q.CorefChain, (0, [q.CorefMention(0, 0, 1)], "x", 1), ValueError,
     "the representative coreference mention index is invalid"),
    (q.CorefChain, (0, [q.CorefMention(0, 0, 1)], "x", -1), ValueError,
     "the representative coreference mention index is invalid"),
    (q.CorefChain, (0, [None], "x"), TypeError, None),
    (q.CorefAttachment, (q.CorefChain(0, [], "x"), 1, False, False), TypeError, None),
    (T, ("S", [T("a"), "b"]), TypeError, None),
]


@pytest.mark.parametrize("make, args, error, message", REFUSALS)
def test_refusals(make, args, error, message):
    with pytest.raises(error) as info:
        make(*args)
    assert type(info.value) is error and (message is None or str(info.value) == message)


def test_chains_and_attachments():
    m = q.CorefMention(sentence=0, start_word=2, end_word=4)
    assert (m.sentence, m.end_word, repr(m), m == m, m != q.CorefMention(0, 2, 4)) == (
        0, 4, "<CorefMention sentence=0>", True, True)
    chain = q.CorefChain(12, [m, m], "a b > c", representative_index=1)
    assert (chain.index, chain.representative_text, chain.representative_index, repr(chain)) == (
        12, "a b > c", 1, "<CorefChain index=12 representative=a b > c>")
    # Mentions read from a chain are new objects that keep the chain alive.
    mention = q.CorefChain(3, [q.CorefMention(5, (1, 1), (1, 1))], "z").mentions[0]
    gc.collect()
    assert (mention.sentence, mention.start_word, chain.mentions[0] is m) == (5, (1, 1), False)
    a = q.CorefAttachment(chain=chain, is_start=True, is_end=False, is_representative=False)
    assert (a.is_start, a.is_end, a.is_representative, repr(a)) == (
        True, False, False, "<CorefAttachment chain=12>")
    assert a.to_json() == {"index": 12, "representative_text": "a b > c", "is_start": True}
    assert list(q.CorefAttachment(chain, False, True, True).to_json()) == [
        "index", "representative_text", "is_end", "is_representative"]
    kept = a.chain
    del chain, a
    gc.collect()
    assert (kept.index, kept.representative_index, len(kept.mentions)) == (12, 1, 2)


def test_chains_stored_in_a_document():
    doc = t.sample_document()  # sentence 0 has the empty words 3.1 and 0.1
    doc.coref = [q.CorefChain(0, [q.CorefMention(0, 0, 2), q.CorefMention(0, (3, 1), (3, 1))],
                              "Ann Lee", 0), q.CorefChain(1, [q.CorefMention(1, 0, 1)], "Hola")]
    assert [(c.index, [m.start_word for m in c.mentions]) for c in doc.coref] == [
        (0, [0, (3, 1)]), (1, [0])]
    ann = doc.sentences[0].words[0]
    assert [a.to_json() for a in ann.coref_chains] == [
        {"index": 0, "representative_text": "Ann Lee", "is_start": True, "is_representative": True}]
    assert doc.sentences[0].empty_words[1].coref_chains[0].chain.index == 0
    with pytest.raises(IndexError, match="^a coreference mention has an invalid word range$"):
        doc.coref = [q.CorefChain(0, [q.CorefMention(1, 0, 3)], "x")]
    with pytest.raises(TypeError):
        doc.coref = [None]
    doc.coref = ()
    assert doc.coref == [] and ann.coref_chains == []


def test_trees():
    tree = T("NP", [T("DT", [T("the")]), T("NN", [T("dog")])])
    assert (str(tree), repr(tree), tree.leaf_labels(), len(tree), tree.label) == (
        "(NP (DT the) (NN dog))", "(NP (DT the) (NN dog))", ["the", "dog"], 2, "NP")
    assert [(c.label, c.is_preterminal(), c.is_leaf()) for c in tree.children] == [
        ("DT", True, False), ("NN", True, False)]
    assert (tree.is_preterminal(), tree.is_leaf(), T("x").is_leaf(), T("x").is_preterminal()) == (
        False, False, True, False)
    # Labels are not escaped; a leaf's text is its label.
    odd = T("A (B)", children=(T("x y"), T("C", [T("D", [T("e")]), T(label="")])))
    assert (str(odd), len(odd), odd.children[1].is_preterminal()) == (
        "(A (B) x y (C (D e) ))", 3, False)
    # Trees compare and hash by node: children are shared, never copied.
    first = tree.children[0]
    assert first == tree.children[0] and hash(first) == hash(tree.children[0]) and first in tree.children
    assert T("x") != T("x") and T("DT", [T("the")]) not in tree.children
    assert len({first, T("S", [first, first]).children[1], tree}) == 2
    with pytest.raises(TypeError):
        tree == "(NP)"
    # Subtrees outlive their parents; the dictionary form carries no tree.
    doc = t.sample_document()
    doc.sentences[0].constituency = T("S", [T("a"), T("b", [T("c")])]).children[1]
    gc.collect()
    assert (str(doc.sentences[0].constituency), doc.sentences[1].constituency) == ("(b c)", None)
    assert "(b" not in repr(doc)
    doc.sentences[0].constituency = None
    assert doc.sentences[0].constituency is None
    assert T.__init__.__doc__.startswith("__init__(self, label: str, children: collections.abc")
