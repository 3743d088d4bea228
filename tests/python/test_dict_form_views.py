"""Hashes of the view classes agree with their identity equality, so equal
views (two fetches of one row) collapse in sets and dict keys."""

import pytest

import _quelbin as q
import _quelbin_testing as t


@pytest.fixture
def doc():
    return t.sample_document()


# (name, fetch a view, fetch another view of the same document)
VIEWS = [
    ("Document", lambda d: d.sentences[0].doc, lambda d: q.Document(d.text)),
    ("Sentence", lambda d: d.sentences[1], lambda d: d.sentences[0]),
    ("Token", lambda d: d.iter_tokens()[3], lambda d: d.iter_tokens()[4]),
    ("Word", lambda d: d.sentences[0].words[2], lambda d: d.sentences[0].words[3]),
    ("EmptyWord", lambda d: d.sentences[0].empty_words[1], lambda d: d.sentences[0].empty_words[0]),
    ("Span", lambda d: d.ents[1], lambda d: d.ents[0]),
    ("ParentToken", lambda d: d.iter_words()[4].parent, lambda d: d.iter_words()[5].parent),
]


@pytest.mark.parametrize("name, fetch, other", VIEWS, ids=[v[0] for v in VIEWS])
def test_equal_views_hash_alike(doc, name, fetch, other):
    a, b = (fetch(doc), fetch(doc)) if name != "Document" else (doc, fetch(doc))
    assert a is not b and a == b
    assert hash(a) == hash(b)
    assert len({a, b}) == 1 and {a: 1}[b] == 1
    c = other(doc)
    assert a != c and len({a, b, c}) == 2
    # The same row of another document is another view.
    twin = fetch(t.sample_document())
    assert twin != a and len({a, twin}) == 2


def test_root_words_of_two_sentences_differ(doc):
    def root(s):
        return [head for head, _, _ in doc.sentences[s].dependencies if head.text == "ROOT"][0]
    root0, root0_again, root1 = root(0), root(0), root(1)
    assert root0.id == root1.id == 0
    assert root0 == root0_again and hash(root0) == hash(root0_again)
    assert root0 != root1 and len({root0, root0_again, root1}) == 2
    # A word from a sequence carries no sentence row: it is not the same view
    # as the same word reached with one.
    assert len(set(doc.iter_words()) | set(doc.sentences[0].words)) == len(doc.iter_words())


def test_sets_of_views_from_sequences(doc):
    tokens = set(doc.iter_tokens()) | set(doc.sentences[0].tokens) | set(doc.iter_tokens()[::-1])
    assert len(tokens) == doc.num_tokens
    words = {w: w.text for w in doc.iter_words()}
    assert words[doc.sentences[1].words[0]] == "Hola"


def test_views_of_different_classes_mix_in_one_set(doc):
    # Row 0 of every table: equal hashes would make the set call __eq__ across
    # classes, which raises TypeError.
    mixed = [doc, doc.sentences[0], doc.iter_tokens()[0], doc.iter_words()[0], doc.ents[0],
             doc.sentences[0].empty_words[0]]
    assert len(set(mixed)) == len(mixed)
    assert len({hash(v) for v in mixed}) == len(mixed)
