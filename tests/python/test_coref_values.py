"""CorefMention, CorefChain, CorefAttachment and ConstituencyTree."""

import gc

import pytest

import _quelbin as q
import _quelbin_testing as t

T = q.ConstituencyTree


class LengthOnly:
    def __len__(self):
        return 2

TWO = "a zero-anaphora word position must contain two integers"
REPRESENTATIVE = "the representative coreference mention index is invalid"


@pytest.mark.parametrize("make, args, error, message", [
    (q.CorefMention, lambda: (-1, 0, 0), ValueError,
     "a coreference mention sentence index cannot be negative"),
    (q.CorefMention, lambda: (0, [1], 0), ValueError, TWO),
    (q.CorefMention, lambda: (0, (1, 2, 3), 0), ValueError, TWO),
    (q.CorefMention, lambda: (0, 1.5, 0), TypeError, "object of type 'float' has no len()"),
    (q.CorefMention, lambda: (0, 0, LengthOnly()), TypeError,
     "'LengthOnly' object does not support indexing"),
    (q.CorefMention, lambda: (0, (1, 2**31), 0), TypeError, "start_word must be an integer within 32 bits"),
    (q.CorefMention, lambda: (0, 0, (1, "x")), TypeError, "end_word must be an integer"),
    # A str or bytes is one integer, never a pair of characters.
    (q.CorefMention, lambda: (0, "ab", 0), TypeError, "start_word must be an integer"),
    (q.CorefMention, lambda: (0, 0, b""), TypeError, "end_word must be an integer"),
    (q.CorefChain, lambda: (-1, [], "x", 7), ValueError, "a coreference chain index cannot be negative"),
    (q.CorefChain, lambda: (0, [q.CorefMention(0, 0, 1)], "x", 1), ValueError, REPRESENTATIVE),
    (q.CorefChain, lambda: (0, [q.CorefMention(0, 0, 1)], "x", -1), ValueError, REPRESENTATIVE),
    (q.CorefAttachment, lambda: (q.CorefChain(0, [], "x"), 1, False, False), TypeError, None),
    (T, lambda: ("S", [T("a"), "b"]), TypeError, None),
])
def test_refusals(make, args, error, message):
    # Arguments are made inside the test: values held by the parameter table
    # would outlive the module at interpreter exit.
    with pytest.raises(error) as info:
        make(*args())
    assert type(info.value) is error and (message is None or str(info.value) == message)


def test_chains_and_attachments():
    # Word positions: an int, a bool, a str or bytes holding one, or a pair for an empty word.
    positions = [q.CorefMention(0, given, 4).start_word
                 for given in (2, True, "12", b"7", [3, 1], range(4, 6), ("3", "2"))]
    assert [(p, type(p)) for p in positions] == [(2, int), (1, int), (12, int), (7, int),
                                                 ((3, 1), tuple), ((4, 5), tuple), ((3, 2), tuple)]
    m = q.CorefMention(sentence=0, start_word=2, end_word=4)
    chain = q.CorefChain(12, [m, m], "a b > c", representative_index=1)
    assert (repr(m), repr(chain), chain.representative_index, m.end_word) == (
        "<CorefMention sentence=0>", "<CorefChain index=12 representative=a b > c>", 1, 4)
    assert (chain.representative_text, q.CorefChain(0, [], "").representative_text) == (
        "a b > c", "")
    # Mentions read from a chain are new objects that keep the chain alive.
    mention = q.CorefChain(3, [q.CorefMention(5, (1, 1), (1, 1))], "z").mentions[0]
    gc.collect()
    assert (mention.sentence, mention.start_word, chain.mentions[0] is m) == (5, (1, 1), False)
    a = q.CorefAttachment(chain=chain, is_start=True, is_end=False, is_representative=False)
    assert (a.is_start, a.is_end, a.is_representative, repr(a), a.chain.index) == (
        True, False, False, "<CorefAttachment chain=12>", 12)
    assert list(q.CorefAttachment(chain, False, True, True).to_json().items()) == [
        ("index", 12), ("representative_text", "a b > c"), ("is_end", True),
        ("is_representative", True)]


def test_chains_stored_in_a_document():
    doc = t.sample_document()  # sentence 0 has the empty words 0.1 and 3.1
    doc.coref = [q.CorefChain(0, [q.CorefMention(0, 2, 2), q.CorefMention(0, 0, 2),
                                  q.CorefMention(0, (3, 1), (3, 1))], "Ann Lee", 1),
                 q.CorefChain(1, [q.CorefMention(0, 1, 3), q.CorefMention(1, 0, 2)], "Hola")]
    assert [(c.index, [m.start_word for m in c.mentions]) for c in doc.coref] == [
        (0, [2, 0, (3, 1)]), (1, [1, 0])]
    # [2, 2) attaches nothing; zero mentions are never representative.
    assert [[(a.chain.index, a.is_start, a.is_end, a.is_representative) for a in w.coref_chains]
            for w in doc.sentences[0].all_words][:5] == [
        [], [(0, True, False, True)], [(0, False, True, True), (1, True, False, False)],
        [(1, False, True, False)], [(0, True, True, False)]]
    doc.coref = ()
    assert doc.coref == [] and doc.iter_words()[0].coref_chains == []


def test_trees():
    tree = T("NP", [T("DT", [T("the")]), T("NN", [T("dog")])])
    assert (repr(tree), tree.leaf_labels(), len(tree), tree.label) == (
        "(NP (DT the) (NN dog))", ["the", "dog"], 2, "NP")
    assert (tree.is_preterminal(), tree.children[0].is_preterminal(), T("x").is_leaf(),
            T("x").is_preterminal()) == (False, True, True, False)
    # Labels are not escaped.
    odd = T("A (B)", children=(T("x y"), T("C", [T("D", [T("e")]), T(label="")])))
    assert (str(odd), odd.children[1].is_preterminal()) == ("(A (B) x y (C (D e) ))", False)
    # Trees compare and hash by node: children are shared, never copied.
    first = tree.children[0]
    assert first == tree.children[0] and hash(first) == hash(tree.children[0])
    assert T("x") != T("x") and len({first, T("S", [first, first]).children[1], tree}) == 2
    # Subtrees outlive their parents; the dictionary form carries no tree.
    doc = t.sample_document()
    doc.sentences[0].constituency = T("S", [T("a"), T("b", [T("c")])]).children[1]
    gc.collect()
    assert (str(doc.sentences[0].constituency), doc.sentences[1].constituency) == ("(b c)", None)
    assert "(b" not in repr(doc)
    doc.sentences[0].constituency = None
    assert doc.sentences[0].constituency is None
