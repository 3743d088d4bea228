"""ConstituencyTree: construction from label and children, text form, leaves,
identity equality and hashing, and trees stored on sentences."""

import gc

import pytest

import _quelbin as q
import _quelbin_testing as t

T = q.ConstituencyTree


def np_tree():
    return T("NP", [T("DT", [T("the")]), T("NN", [T("dog")])])


def test_leaf():
    leaf = T("dog")
    assert leaf.is_leaf() and not leaf.is_preterminal()
    assert (len(leaf), leaf.leaf_labels(), str(leaf), repr(leaf)) == (1, ["dog"], "dog", "dog")
    assert len(leaf.children) == 0 and list(leaf.children) == []
    empty = T("")
    assert (str(empty), len(empty), empty.label) == ("", 1, "")


def test_tree_shape_and_text():
    tree = np_tree()
    assert str(tree) == repr(tree) == "(NP (DT the) (NN dog))"
    assert tree.leaf_labels() == ["the", "dog"] and len(tree) == 2
    assert not tree.is_preterminal() and not tree.is_leaf()
    assert [c.is_preterminal() for c in tree.children] == [True, True]
    assert [c.label for c in tree.children] == ["DT", "NN"]
    # Labels are not escaped; an inner node without leaves below counts none.
    odd = T("A (B)", [T("x y"), T("C", [T("D", [T("e")]), T("f")])])
    assert str(odd) == "(A (B) x y (C (D e) f))"
    assert odd.leaf_labels() == ["x y", "e", "f"] and len(odd) == 3
    assert not odd.children[1].is_preterminal()
    assert str(T("S", (T("a"),))) == "(S a)"


def test_children_are_shared_and_compare_by_node():
    tree = np_tree()
    first = tree.children[0]
    assert first == tree.children[0] and hash(first) == hash(tree.children[0])
    assert first in tree.children
    assert T("DT", [T("the")]) not in tree.children
    assert T("x") != T("x") and tree != np_tree()
    # A tree built from children holds their nodes, not copies.
    parent = T("S", [first, first])
    assert parent.children[0] == first and parent.children[1] == first
    assert len({first, tree.children[0], parent.children[1], tree}) == 2
    with pytest.raises(TypeError):
        tree == "(NP)"
    with pytest.raises(TypeError):
        tree == 1


def test_subtrees_outlive_their_parents():
    child = np_tree().children[1]
    seq = T("S", [T("a"), T("b", [T("c")])]).children
    gc.collect()
    assert str(child) == "(NN dog)" and str(seq[1]) == "(b c)"


@pytest.mark.parametrize("label, children", [
    ("S", "ab"),
    ("S", b"ab"),
    ("S", [T("a"), "b"]),
    ("S", [None]),
    ("S", T("a")),
    (5, []),
    (None, []),
])
def test_refusals(label, children):
    with pytest.raises(TypeError):
        T(label, children)


def test_arguments_by_keyword_and_signature():
    assert str(T(label="S", children=[T(label="x")])) == "(S x)"
    assert T.__init__.__doc__.startswith("__init__(self, label: str, children: collections.abc.Sequence[")
    assert "= []" in T.__init__.__doc__


def test_sentence_constituency():
    doc = t.sample_document()
    s0 = doc.sentences[0]
    tree = np_tree()
    s0.constituency = tree
    assert s0.constituency == tree and doc.sentences[0].constituency == tree
    assert doc.sentences[1].constituency is None
    # The dictionary form carries no tree.
    assert "NP" not in repr(doc)
    s0.constituency = None
    assert s0.constituency is None
    with pytest.raises(TypeError):
        s0.constituency = "(S x)"


def test_deep_tree():
    tree = T("leaf")
    for _ in range(100000):
        tree = T("X", [tree])
    assert len(tree) == 1 and tree.is_leaf() is False
    assert str(tree) == "(X " * 100000 + "leaf" + ")" * 100000
    del tree
    gc.collect()
