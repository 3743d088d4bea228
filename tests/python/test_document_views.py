"""Python classes of the document model: Document, Sentence, Token, Word, Span,
the view sequences and their iterators."""

import conllu
import pytest

import _quelbin as q
import _quelbin_testing as t

VIEW_CLASSES = [
    "Document", "Sentence", "Token", "Word", "Span",
    "_SentenceIterator", "SentenceSequence", "_TokenIterator", "TokenSequence",
    "_WordIterator", "WordSequence", "_SpanIterator", "SpanSequence",
    "_TreeIterator", "TreeSequence",
]


@pytest.fixture
def doc():
    # "Ann Lee saw del mar. Hola!": words 1-7 with the multi-word token 4-5
    # ("del" = de + el), empty words 3.1 and 0.1 stored in that order, a PER
    # and a LOC entity; the second sentence has sentiment 2 and speaker B.
    return t.sample_document()


def ids(seq):
    return [w.id for w in seq]


def test_classes_registered_in_order_without_docstrings():
    names = [n for n in vars(q) if n in VIEW_CLASSES]
    assert names == VIEW_CLASSES
    for name in VIEW_CLASSES:
        cls = getattr(q, name)
        assert cls.__module__ == "_quelbin"
        assert cls.__bases__ == (object,)
    # Open to subclassing, no instance dictionary.
    class MyDocument(q.Document):
        pass
    assert MyDocument("x").text == "x"
    with pytest.raises(AttributeError):
        q.Document("x").extra = 1


def test_views_and_sequences_cannot_be_constructed():
    for name in VIEW_CLASSES[1:]:
        with pytest.raises(TypeError):
            getattr(q, name)()


def test_document_basics():
    empty = q.Document()
    assert (empty.text, empty.codepoint_count, empty.lang, len(empty.sentences)) == ("", 0, None, 0)
    assert empty.to_conll() == ""
    assert not empty.sentences

    d = q.Document(text="a\u00e9\u20ac\U0001F600")
    assert d.codepoint_count == 4
    assert [d.byte_offset(i) for i in range(5)] == [0, 1, 3, 6, 10]
    assert d.byte_offset(codepoint_index=2) == 3
    for bad in (5, -1, 2**70 // 2**10):
        with pytest.raises(IndexError, match="^code point index is outside the document$"):
            d.byte_offset(bad)
    d.lang = "fr"
    assert d.lang == "fr"
    d.lang = None
    assert d.lang is None
    for bad_text in (b"bytes", 3, "\ud800"):
        with pytest.raises(TypeError):
            q.Document(bad_text)
    with pytest.raises(TypeError):
        d.lang = 5


def test_document_navigation_and_equality(doc):
    assert doc.num_tokens == 8
    assert doc.num_words == 9
    assert len(doc.iter_tokens()) == 8
    assert [w.text for w in doc.iter_words()] == ["Ann", "Lee", "saw", "de", "el", "mar", ".", "Hola", "!"]
    assert doc.ents[0] == doc.entities[0]
    first = doc.sentences[0]
    assert first.doc == doc
    assert doc == doc.sentences[1].tokens[0].sent.doc
    assert doc != t.sample_document()
    assert doc.coref == []
    with pytest.raises(TypeError):
        doc == first
    with pytest.raises(TypeError):
        doc == 1


def test_format_gives_conll(doc):
    text = doc.to_conll()
    for spec in ("C", "c", "conll", "CoNLL-U"):
        assert format(doc, spec) == text
        assert format(doc.sentences[1], spec) == doc.sentences[1].to_conll()
    assert f"{doc:C}" == text
    assert text.split("\n\n")[1] == doc.sentences[1].to_conll()


def test_sentence_properties(doc):
    s0, s1 = doc.sentences
    assert (s1.index, s1.id, s1.sent_id) == (1, 1, "1")
    assert s0.text == "Ann Lee saw del mar."
    assert (s1.speaker, s1.doc_id, s1.comments, s1.sentiment) == ("B", None, ["# newpar"], 2)
    s1.sentiment = -3
    assert doc.sentences[1].sentiment == -3
    s1.sentiment = None
    assert s1.sentiment is None
    for bad in (1.5, "2", 2**31):
        with pytest.raises(TypeError):
            s1.sentiment = bad
    assert s0.constituency is None
    s0.constituency = None
    assert ids(s0.words) == [1, 2, 3, 4, 5, 6, 7]
    # Empty words by word id, then empty index; all words merged.
    assert ids(s0.empty_words) == [(0, 1), (3, 1)]
    assert ids(s0.all_words) == [(0, 1), 1, 2, 3, (3, 1), 4, 5, 6, 7]
    assert [e.text for e in s0.ents] == ["Ann Lee", "mar"]
    assert s0.ents[1] == s0.entities[1] == doc.ents[1]
    assert len(s1.ents) == 0


def test_dependencies_and_roots(doc):
    s0, s1 = doc.sentences
    deps = s0.dependencies
    assert [(h.text, rel, w.text) for h, rel, w in deps] == [
        ("saw", "nsubj", "Ann"), ("Ann", "flat", "Lee"), ("ROOT", "root", "saw"),
        ("mar", "case", "de"), ("mar", "det", "el"), ("saw", "obl", "mar"), ("saw", "punct", "."),
    ]
    root = deps[2][0]
    assert (root.id, root.text, root.parent, root.head, root.upos) == (0, "ROOT", None, None, None)
    assert root.sent == s0
    assert root not in s0.words and root not in s0.all_words
    assert deps[0][0] == s0.words[2]
    # "!" has a head but no relation.
    assert [(h.text, w.text) for h, _, w in s1.dependencies] == [("ROOT", "Hola")]
    assert [w.text for w in s0.get_roots()] == ["saw"]
    assert t.make_document("", [["a"]]).sentences[0].get_roots() == []

    word = s1.words[1]
    word.deprel = "punct"
    for bad_head in (3, -1, -2):
        word.head = bad_head
        with pytest.raises(IndexError, match="^index is outside the sequence$"):
            s1.dependencies
    word.head = 2
    assert s1.dependencies[-1][0] == word


def test_root_word_is_immutable(doc):
    root = doc.sentences[1].dependencies[0][0]
    for name, value in [("text", "x"), ("text", ""), ("lemma", "x"), ("upos", "X"), ("pos", "X"),
                        ("xpos", None), ("feats", "A=B"), ("head", 1), ("deprel", "dep"),
                        ("deps", "0:root"), ("misc", "X=Y"), ("morphemes", ["a"])]:
        with pytest.raises(RuntimeError, match="^the synthetic ROOT word is immutable$"):
            setattr(root, name, value)
    assert root.text == "ROOT" and root.morphemes == [] and root.coref_chains == []
    # Roots of different sentences differ.
    assert root != doc.sentences[0].dependencies[2][0]


def test_token_properties(doc):
    toks = doc.sentences[0].tokens
    assert [tok.id for tok in toks] == [(1,), (2,), (3,), (4, 5), (6,), (7,)]
    mwt = toks[3]
    assert mwt.is_mwt() and not toks[0].is_mwt()
    assert [w.text for w in mwt.words] == ["de", "el"]
    assert (mwt.start_char, mwt.end_char, mwt.ner) == (12, 15, None)
    assert toks[0].ner == "B-PER"
    assert (toks[0].spaces_before, toks[0].spaces_after) == ("", " ")
    assert toks[-1].spaces_after == " "
    assert mwt.sent == doc.sentences[0]

    tok = toks[0]
    tok.misc = None
    assert tok.misc is None
    tok.misc = ""
    assert tok.misc == ""
    tok.text = "ANN"
    with pytest.raises(ValueError, match="^a token must have non-empty text$"):
        tok.text = ""
    assert doc.iter_tokens()[0].text == "ANN"
    for value in (True, False, None):
        tok.manual_expansion = value
        assert tok.manual_expansion is value
    for bad in (1, 0, "yes"):
        with pytest.raises(TypeError):
            tok.manual_expansion = bad
    with pytest.raises(TypeError):
        tok.multi_ner = "B-PER"
    with pytest.raises(TypeError):
        tok.multi_ner = ["B-PER", 3]
    tok.multi_ner = ("B-PER", "O")
    assert tok.multi_ner == ["B-PER", "O"]
    tok.spaces_after = ""
    tok.spaces_before = "\n"
    assert (toks[0].spaces_before, toks[0].spaces_after) == ("\n", "")
    for name in ("start_char", "end_char", "id", "words", "sent"):
        with pytest.raises(AttributeError):
            setattr(tok, name, None)
    with pytest.raises(TypeError):
        tok.text = b"bytes"
    with pytest.raises(TypeError):
        tok.text = "\ud800"


def test_word_properties(doc):
    s0 = doc.sentences[0]
    word = s0.words[2]
    assert (word.id, word.upos, word.pos, word.head, word.deprel) == (3, "VERB", "VERB", 0, "root")
    assert (word.start_char, word.end_char, word.manual_expansion) == (8, 11, None)
    assert word.parent == s0.tokens[2]
    assert s0.words[3].parent == s0.tokens[3] == s0.words[4].parent
    empty = s0.empty_words[1]
    assert (empty.id, empty.parent, empty.text) == ((3, 1), None, "E")
    assert empty.sent == s0

    word.pos = "AUX"
    assert word.upos == "AUX"
    word.upos = "VERB"
    assert s0.words[2].pos == "VERB"
    word.head = None
    assert word.head is None
    word.head = -2147483648
    assert word.head is None
    for bad in (2**31, -(2**31) - 1, 1.0, "1"):
        with pytest.raises(TypeError):
            word.head = bad
    for name in ("lemma", "xpos", "feats", "deprel", "deps", "misc"):
        setattr(word, name, "v")
        assert getattr(s0.words[2], name) == "v"
        setattr(word, name, None)
        assert getattr(word, name) is None
    with pytest.raises(ValueError, match="^a word must have non-empty text$"):
        word.text = ""
    empty.text = "E2"
    assert s0.empty_words[1].text == "E2"
    word.morphemes = ("s", "aw")
    assert word.morphemes == ["s", "aw"]
    with pytest.raises(TypeError):
        word.morphemes = "saw"
    with pytest.raises(AttributeError):
        word.manual_expansion = True
    assert not hasattr(word, "empty_index")
    assert word.coref_chains == []


def test_span_properties(doc):
    span = doc.ents[0]
    assert (span.text, span.type, span.start_char, span.end_char) == ("Ann Lee", "PER", 0, 7)
    assert span.pretty_print() == "<Span text=Ann Lee;type=PER>"
    assert [tok.text for tok in span.tokens] == ["Ann", "Lee"]
    assert ids(span.words) == [1, 2]
    assert span.sent == doc.sentences[0]
    assert span.doc == doc
    assert doc.ents[1].words[0] == doc.sentences[0].words[5]
    with pytest.raises(AttributeError):
        span.text = "x"
    with pytest.raises(TypeError):
        span == doc.iter_tokens()[0]


def test_changes_and_rebuild_seen_through_every_object(doc):
    tok = doc.iter_tokens()[2]
    tok.ner = "S-ACT"
    assert doc.ents[0].text == "Ann Lee"
    doc.rebuild_entities()
    assert [e.type for e in doc.ents] == ["PER", "ACT", "LOC"]
    assert [e.type for e in doc.sentences[0].ents] == ["PER", "ACT", "LOC"]


# --- sequences and iterators ---

def test_sequence_indexing_and_reprs(doc):
    seqs = [
        (doc.sentences, "SentenceSequence", 2),
        (doc.iter_tokens(), "TokenSequence", 8),
        (doc.iter_words(), "WordSequence", 9),
        (doc.ents, "SpanSequence", 2),
    ]
    for seq, name, length in seqs:
        assert type(seq).__name__ == name
        assert len(seq) == length
        assert repr(seq) == f"<quelbin.{name} length={length}>"
        assert repr(seq[1:1]) == f"<quelbin.{name} length=0>"
        assert seq[-1] == seq[length - 1]
        assert seq[0] == seq[-length]
        # Distinct objects that compare equal.
        assert seq[0] is not seq[0] and seq[0] == seq[0]
        for bad in (length, -length - 1, 2**63 - 1, -(2**63)):
            with pytest.raises(IndexError, match="^index is outside the sequence$"):
                seq[bad]
        with pytest.raises(TypeError):
            seq[0.0]
        with pytest.raises(TypeError):
            seq[2**64]
        with pytest.raises(TypeError):
            seq["0"]
        with pytest.raises(ValueError):
            seq[::0]
        assert seq[True] == seq[1]  # bool is an int


def test_slices_compose_like_lists(doc):
    words = doc.iter_words()
    texts = [w.text for w in words]
    slices = [slice(None, None, -1), slice(1, None, 2), slice(-2, 0, -3), slice(8, 2, -2),
              slice(100, -100, -1), slice(3, 3), slice(-100, 100), slice(None, None, 4)]
    for sl in slices:
        assert [w.text for w in words[sl]] == texts[sl], sl
        for inner in slices:
            assert [w.text for w in words[sl][inner]] == texts[sl][inner], (sl, inner)
    assert [w.text for w in reversed(words[1::2])] == texts[1::2][::-1]
    # Word sequences over a row list slice the list.
    all_words = doc.sentences[0].all_words
    assert ids(all_words[::-2]) == [7, 5, (3, 1), 2, (0, 1)]
    assert ids(all_words[1::3][::-1]) == [6, (3, 1), 1]


def test_iterators(doc):
    seq = doc.sentences
    it = iter(seq)
    assert type(it).__name__ == "_SentenceIterator"
    assert iter(it) is it
    assert [s.index for s in it] == [0, 1]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    rev = reversed(seq)
    assert type(rev).__name__ == "_SentenceIterator"
    assert [s.index for s in rev] == [1, 0]
    assert list(reversed(seq[1:1])) == []
    for seq, name in [(doc.iter_tokens(), "_TokenIterator"), (doc.iter_words(), "_WordIterator"),
                      (doc.ents, "_SpanIterator")]:
        assert type(iter(seq)).__name__ == name
        assert type(reversed(seq)).__name__ == name
        assert list(reversed(seq)) == list(seq)[::-1]


def test_tree_sequence_ranges():
    children = t.tree_children(3)
    assert type(children).__name__ == "TreeSequence"
    assert len(children) == 3
    assert repr(children) == "<quelbin.TreeSequence length=3>"
    assert repr(children[::-2]) == "<quelbin.TreeSequence length=2>"
    assert len(children[5:]) == 0
    assert type(iter(children)).__name__ == "_TreeIterator"
    assert type(reversed(children)).__name__ == "_TreeIterator"
    for bad in (3, -4):
        with pytest.raises(IndexError, match="^tree index is outside the sequence$"):
            children[bad]
    with pytest.raises(TypeError):
        children[1.0]
    with pytest.raises(ValueError):
        children[::0]
    assert list(t.tree_children(0)) == []


def test_contains(doc):
    other = t.sample_document()
    word = doc.iter_words()[0]
    assert word in doc.sentences[0].words
    assert word not in doc.sentences[1].words
    assert other.iter_words()[0] not in doc.iter_words()
    assert word not in doc.iter_words()[1:]
    assert doc.sentences[0].empty_words[0] in doc.sentences[0].all_words
    assert doc.sentences[0].empty_words[0] not in doc.iter_words()
    assert doc.iter_tokens()[3] in doc.iter_tokens()[1::2]
    assert doc.iter_tokens()[3] not in doc.iter_tokens()[::2]
    assert doc.sentences[1] in doc.sentences[::-1]
    assert other.sentences[1] not in doc.sentences
    assert doc.ents[1] in doc.sentences[0].ents
    with pytest.raises(TypeError):
        doc.iter_tokens()[0] in doc.iter_words()
    with pytest.raises(TypeError):
        None in doc.sentences


def test_views_kept_across_replace_refuse_to_read(doc):
    sentence = doc.sentences[1]
    token = doc.iter_tokens()[5]
    word = doc.iter_words()[8]
    span = doc.ents[1]
    empty = doc.sentences[0].empty_words[0]
    words = doc.iter_words()
    tokens = doc.iter_tokens()
    it = iter(tokens)
    t.replace_sentences(doc, [["only", "two"]])

    assert [w.text for w in doc.iter_words()] == ["only", "two"]
    for read, message in [
        (lambda: sentence.text, "invalid sentence view"),
        (lambda: sentence.to_conll(), "invalid sentence view"),
        (lambda: format(sentence, "C"), "invalid sentence view"),
        (lambda: setattr(sentence, "sentiment", 1), "invalid sentence view"),
        (lambda: token.text, "invalid token view"),
        (lambda: setattr(token, "ner", "O"), "invalid token view"),
        (lambda: word.upos, "invalid word view"),
        (lambda: setattr(word, "upos", "X"), "invalid word view"),
        (lambda: empty.id, "invalid word view"),
        (lambda: span.text, "invalid span view"),
        (lambda: words[5], "invalid word view"),
        (lambda: tokens[-1], "invalid token view"),
    ]:
        with pytest.raises(IndexError, match=f"^{message}$"):
            read()
    # Surviving rows read the new tables; a failed fetch is not retried.
    assert words[1].text == "two"
    assert [next(it).text, next(it).text] == ["only", "two"]
    with pytest.raises(IndexError, match="^invalid token view$"):
        next(it)
    with pytest.raises(IndexError):
        next(it)
    assert doc.sentences[0].to_conll().endswith("2\ttwo\t_\t_\t_\t_\t_\t_\t_\t_")


# --- CoNLL-U read back by an independent parser ---

def test_conll_reads_back_with_conllu_package(doc):
    s0 = doc.sentences[0]
    s0.words[5].misc = "SpaceAfter=No"
    s0.words[5].morphemes = ["ma", "r"]
    s0.words[0].morphemes = ["An", "n"]
    s0.tokens[3].misc = "Note=mwt"
    s0.empty_words[1].head = 3
    parsed = conllu.parse(doc.to_conll())
    assert len(parsed) == 2
    for sentence, tokenlist in zip(doc.sentences, parsed):
        expected = []
        for tok in sentence.tokens:
            first, last = tok.id[0], tok.id[-1]
            if tok.is_mwt():
                expected.append(((first, "-", last), tok.text, None, tok.misc))
            for w in tok.words:
                expected.append((w.id, w.text, w.head, w.misc, w.morphemes))
        got_regular = [(tl["id"], tl["form"], tl["head"]) for tl in tokenlist
                       if isinstance(tl["id"], int) or tl["id"][1] == "-"]
        assert got_regular == [(e[0], e[1], e[2]) for e in expected]
        assert tokenlist.metadata["sent_id"] == sentence.sent_id
        assert tokenlist.metadata.get("text", "") == sentence.text
    rows = {tl["id"] if isinstance(tl["id"], int) else tuple(tl["id"]): tl for tl in parsed[0]}
    assert rows[6]["misc"] == {"SpaceAfter": "No", "Morphemes": "ma,r"}
    assert rows[1]["misc"] == {"Morphemes": "An,n"}
    assert rows[2]["misc"] is None
    assert rows[(4, "-", 5)]["misc"] == {"Note": "mwt"}
    assert rows[(3, ".", 1)]["form"] == "E" and rows[(3, ".", 1)]["head"] == 3
    assert rows[(0, ".", 1)]["form"] == "Z"
    # Empty word lines sit after the words they follow.
    order = [tl["id"] if isinstance(tl["id"], int) else tuple(tl["id"]) for tl in parsed[0]]
    # 0.1 is stored after 3.1 and waits for it.
    assert order == [1, 2, 3, (3, ".", 1), (0, ".", 1), (4, "-", 5), 4, 5, 6, 7]
