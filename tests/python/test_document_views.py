"""Python classes of the document model: Document, Sentence, Token, Word, Span,
entities, sequences and iterators, equality and hashing, and CoNLL-U output."""

import conllu
import pytest

import _quelbin as q
import _quelbin_testing as t


@pytest.fixture
def doc():
    # "Ann Lee saw del mar. Hola!": words 1-7 with the multi-word token 4-5
    # ("del" = de + el), empty words 3.1 and 0.1 stored in that order, a PER
    # and a LOC entity; the second sentence has sentiment 2, speaker B and the
    # comment "# newpar"; "!" has a head but no relation.
    return t.sample_document()


def ids(seq):
    return [w.id for w in seq]


def test_reads(doc):
    d = q.Document(text="a\u00e9\u20ac\U0001F600")
    assert (d.codepoint_count, [d.byte_offset(i) for i in range(5)], d.lang) == (
        4, [0, 1, 3, 6, 10], None)
    for bad in (5, -1, 2**60):
        with pytest.raises(IndexError, match="^code point index is outside the document$"):
            d.byte_offset(codepoint_index=bad)
    s0, s1 = doc.sentences
    assert (doc.num_tokens, doc.num_words, len(doc.iter_tokens()), len(s1.ents), doc.coref) == (
        8, 9, 8, 0, [])
    assert (s1.index, s1.id, s1.sent_id, s1.speaker, s1.doc_id, s1.comments, s1.sentiment) == (
        1, 1, "1", "B", None, ["# newpar"], 2)
    # Empty words by word id, then empty index; all words merged.
    assert (s0.text, ids(s0.words), ids(s0.empty_words), ids(s0.all_words)) == (
        "Ann Lee saw del mar.", [1, 2, 3, 4, 5, 6, 7], [(0, 1), (3, 1)],
        [(0, 1), 1, 2, 3, (3, 1), 4, 5, 6, 7])
    saw, mwt, empty = s0.words[2], s0.tokens[3], s0.empty_words[1]
    assert (mwt.id, mwt.is_mwt(), ids(mwt.words), mwt.sent, s0.tokens[2].is_mwt()) == (
        (4, 5), True, [4, 5], s0, False)
    assert (saw.parent, saw.sent, saw.pos, saw.start_char, saw.end_char, s1.doc) == (
        s0.tokens[2], s0, "VERB", 8, 11, doc)
    assert s0.words[3].parent == mwt == s0.words[4].parent
    assert (empty.id, empty.parent, empty.text, empty.sent) == ((3, 1), None, "E", s0)
    span = doc.entities[0]
    assert (span.text, span.type, span.start_char, span.end_char, span.sent, span.doc) == (
        "Ann Lee", "PER", 0, 7, s0, doc)
    assert (ids(span.words), [k.text for k in span.tokens], span.pretty_print()) == (
        [1, 2], ["Ann", "Lee"], "<Span text=Ann Lee;type=PER>")
    assert doc.ents[1].words[0] == s0.words[5] and doc.ents[1] == s0.entities[1]


def test_writes_are_seen_through_every_view(doc):
    s0, s1 = doc.sentences
    for view, again, values in [
        (s1, lambda: doc.sentences[1], [("sentiment", -3), ("sentiment", None)]),
        (doc, lambda: s0.doc, [("lang", "fr"), ("lang", None)]),
        (s0.tokens[0], lambda: doc.iter_tokens()[0],
         [("text", "ANN"), ("misc", ""), ("misc", None), ("ner", "S-X"), ("multi_ner", ["O", "X"]),
          ("manual_expansion", True), ("manual_expansion", None), ("spaces_before", "\n"),
          ("spaces_after", "")]),
        (s0.words[2], lambda: doc.iter_words()[2],
         [("text", "SAW"), ("lemma", "see"), ("upos", "AUX"), ("pos", "VERB"), ("xpos", "V"),
          ("feats", "A=B"), ("head", 1), ("deprel", "dep"), ("deps", "0:root"), ("misc", "M=1"),
          ("lemma", None), ("head", None), ("head", -2**31), ("morphemes", ["s", "aw"])]),
        (s0.empty_words[1], lambda: doc.sentences[0].empty_words[1], [("text", "E2")]),
    ]:
        for name, value in values:
            setattr(view, name, value)
            got = getattr(again(), name)
            # INT32_MIN is the stored mark of an absent head.
            expected = None if value == -2**31 else value
            assert (got, type(got)) == (expected, type(expected)), name
    assert doc.iter_words()[2].upos == "VERB"  # "pos" is "upos"


# (view, attribute, value, exception, message or None)
REFUSED_WRITES = [
    ("token", "text", "", ValueError, "a token must have non-empty text"),
    ("token", "manual_expansion", 1, TypeError, None),
    ("token", "start_char", 1, AttributeError, None),
    ("word", "text", "", ValueError, "a word must have non-empty text"),
    ("word", "head", 2**31, TypeError, None),
    ("word", "manual_expansion", True, AttributeError, None),
    ("span", "text", "x", AttributeError, None),
] + [("root", name, value, RuntimeError, "the synthetic ROOT word is immutable")
     for name, value in [("text", "x"), ("lemma", "x"), ("upos", "X"), ("pos", "X"), ("xpos", None),
                         ("feats", "A"), ("head", 1), ("deprel", "d"), ("deps", "0:root"),
                         ("misc", "X=Y"), ("morphemes", [])]]


@pytest.mark.parametrize("view, name, value, error, message", REFUSED_WRITES)
def test_refused_writes(doc, view, name, value, error, message):
    target = {"token": doc.iter_tokens()[0], "word": doc.iter_words()[2], "span": doc.ents[0],
              "root": doc.sentences[1].dependencies[0][0]}[view]
    before = target.to_dict()
    with pytest.raises(error) as info:
        setattr(target, name, value)
    assert type(info.value) is error and (message is None or str(info.value) == message)
    assert target.to_dict() == before


def test_dependencies_and_roots(doc):
    s0, s1 = doc.sentences
    deps = s0.dependencies
    assert [(h.text, rel, w.text) for h, rel, w in deps] == [
        ("saw", "nsubj", "Ann"), ("Ann", "flat", "Lee"), ("ROOT", "root", "saw"),
        ("mar", "case", "de"), ("mar", "det", "el"), ("saw", "obl", "mar"), ("saw", "punct", ".")]
    root = deps[2][0]
    assert (root.id, root.parent, root.head, root.morphemes, root.sent, root.to_dict()) == (
        0, None, None, [], s0, {"id": 0, "text": "ROOT"})
    assert root not in s0.words and root not in s0.all_words and deps[0][0] == s0.words[2]
    assert [(h.text, w.text) for h, _, w in s1.dependencies] == [("ROOT", "Hola")]
    assert [w.text for w in s0.get_roots()] == ["saw"]
    assert t.make_document("", [["a"]]).sentences[0].get_roots() == []
    s1.words[1].deprel = "punct"
    for bad_head in (3, -1):
        s1.words[1].head = bad_head
        with pytest.raises(IndexError, match="^index is outside the sequence$"):
            s1.dependencies
    s1.words[1].head = 2
    assert s1.dependencies[-1][0] == s1.words[1]


# (NER tags of the tokens of each sentence, spans as type:token texts)
ENTITIES = [
    ([["B-X", "I-X", "I-X", "E-X", "E-X", "O"]], "X:0123 X:4"),
    ([["B-X", "I-X"], ["I-X"]], "X:01 X:0"),
    ([["B-P", "B-P", "S-P", "B-P", "I-Q"]], "P:0 P:1 P:2 P:3 Q:4"),
    ([["B-O", "L-O", "I-O", "U-O", "b-o", "i-o"]], "O:01 O:2 O:3 o:4 o:5"),
    ([["B-P", None, "B-P", "I-", "B-P", "I-PS", "E-P"]], "P:0 P:2 P:4 PS:5 P:6"),
    ([["O", None, "B-", "BXP", "", "O-P"]], ""),
]


@pytest.mark.parametrize("tags, spans", ENTITIES)
def test_entities_from_tags(tags, spans):
    doc = q.Document.from_dict([[{"id": k + 1, "text": str(k), "ner": tag} for k, tag in enumerate(s)]
                                for s in tags])
    assert " ".join(e.type + ":" + "".join(k.text for k in e.tokens) for e in doc.ents) == spans


def test_entity_text_words_and_rebuild():
    # With offsets, a slice of the text; without, the tokens joined by their spacing.
    doc = q.Document.from_dict([[
        {"id": 1, "text": "ab", "ner": "B-L", "start_char": 0, "end_char": 2},
        {"id": 2, "text": "cd", "ner": "E-L", "start_char": 4, "end_char": 6},
        {"id": 3, "text": "t3", "ner": "B-O", "misc": "SpaceAfter=No"},
        {"id": 4, "text": "t4", "ner": "I-O", "misc": "SpacesBefore=_|SpacesAfter=\\s\\s"},
        {"id": (5, 6), "text": "t5", "ner": "E-O", "misc": "SpacesBefore=-"},
        {"id": 5, "text": "a"}, {"id": 6, "text": "b"}]], "ab  cd")
    assert [(e.text, e.start_char, e.end_char, ids(e.words)) for e in doc.ents] == [
        ("ab  cd", 0, 6, [1, 2]), ("t3_t4  t5", None, None, [3, 4, 5, 6])]
    doc.iter_tokens()[1].ner = "S-Y"
    assert [e.type for e in doc.ents] == ["L", "O"]
    doc.rebuild_entities()
    assert [e.text for e in doc.sentences[0].ents] == ["ab", "cd", "t3_t4  t5"]


def test_sequences(doc):
    for seq, name, length in [(doc.sentences, "SentenceSequence", 2),
                              (doc.iter_tokens(), "TokenSequence", 8),
                              (doc.iter_words(), "WordSequence", 9), (doc.ents, "SpanSequence", 2),
                              (t.tree_children(3), "TreeSequence", 3)]:
        assert (type(seq).__name__, len(seq), repr(seq), repr(seq[1:1])) == (
            name, length, f"<quelbin.{name} length={length}>", f"<quelbin.{name} length=0>")
        assert seq[-1] == seq[length - 1] and seq[True] == seq[1]
        assert seq[0] is not seq[0] and seq[0] == seq[-length]
        message = "tree index" if name == "TreeSequence" else "index"
        for bad in (length, -length - 1, 2**63 - 1, -(2**63)):
            with pytest.raises(IndexError, match=f"^{message} is outside the sequence$"):
                seq[bad]
        with pytest.raises(TypeError):
            seq[2**64]
        with pytest.raises(ValueError):
            seq[::0]
        it = iter(seq)
        iterator = "_" + name.replace("Sequence", "Iterator")
        assert type(it).__name__ == type(reversed(seq)).__name__ == iterator
        assert iter(it) is it and list(it) == [seq[k] for k in range(length)]
        with pytest.raises(StopIteration):
            next(it)
        assert list(reversed(seq)) == [seq[k] for k in range(length - 1, -1, -1)]


def test_slices_and_contains(doc):
    words = doc.iter_words()
    texts = [w.text for w in words]
    slices = [slice(None, None, -1), slice(1, None, 2), slice(-2, 0, -3), slice(8, 2, -2),
              slice(100, -100, -1), slice(3, 3), slice(-100, 100), slice(None, None, 4)]
    for outer in slices:
        assert [w.text for w in words[outer]] == texts[outer], outer
        for inner in slices:
            assert [w.text for w in words[outer][inner]] == texts[outer][inner], (outer, inner)
    # Word sequences over a row list slice the list.
    s0, s1 = doc.sentences
    assert ids(s0.all_words[::-2]) == [7, 5, (3, 1), 2, (0, 1)]
    assert ids(reversed(s0.all_words[1::3])) == [6, (3, 1), 1]
    other, tokens = t.sample_document(), doc.iter_tokens()
    assert words[0] in s0.words and words[0] not in s1.words and words[0] not in words[1:]
    assert other.iter_words()[0] not in words and other.sentences[1] not in doc.sentences
    assert s0.empty_words[0] in s0.all_words and s0.empty_words[0] not in words
    assert tokens[3] in tokens[1::2] and tokens[3] not in tokens[::2] and s1 in doc.sentences[::-1]
    assert doc.ents[1] in s0.ents and doc.ents[1] not in doc.ents[:1]
    with pytest.raises(TypeError):
        words[0] in doc.sentences


# (name, a view, another view of the same document)
VIEWS = [
    ("Sentence", lambda d: d.sentences[1], lambda d: d.sentences[0]),
    ("Token", lambda d: d.iter_tokens()[3], lambda d: d.iter_tokens()[4]),
    ("Word", lambda d: d.sentences[0].words[2], lambda d: d.sentences[0].words[3]),
    ("EmptyWord", lambda d: d.sentences[0].empty_words[1], lambda d: d.sentences[0].empty_words[0]),
    ("Span", lambda d: d.ents[1], lambda d: d.ents[0]),
    ("Root", lambda d: d.sentences[0].dependencies[2][0], lambda d: d.sentences[1].dependencies[0][0]),
    ("Document", lambda d: d.sentences[0].doc, lambda d: q.Document(d.text)),
]


@pytest.mark.parametrize("name, fetch, other", VIEWS, ids=[v[0] for v in VIEWS])
def test_equal_views_hash_alike(doc, name, fetch, other):
    a, b, c = fetch(doc), fetch(doc), other(doc)
    assert a is not b and a == b and hash(a) == hash(b) and {a: 1}[b] == 1
    assert a != c and len({a, b, c}) == 2
    assert fetch(t.sample_document()) != a  # the same row of another document
    # Row 0 of every table: equal hashes would make a set compare views of two
    # classes, which raises TypeError.
    mixed = [doc, doc.sentences[0], doc.iter_tokens()[0], doc.iter_words()[0], doc.ents[0], a]
    assert len({hash(v) for v in mixed}) == len(set(mixed)) == len(mixed) - (name == "Document")
    with pytest.raises(TypeError):
        doc == doc.sentences[0]


def test_views_kept_across_replace_refuse_to_read(doc):
    sentence, root = doc.sentences[1], doc.sentences[1].dependencies[0][0]
    token, word, span = doc.iter_tokens()[5], doc.iter_words()[8], doc.ents[1]
    empty, words, tokens = doc.sentences[0].empty_words[0], doc.iter_words(), doc.iter_tokens()
    it = iter(tokens)
    t.replace_sentences(doc, [["only", "two"]])
    for read, message in [
        (lambda: sentence.text, "invalid sentence view"),
        (lambda: format(sentence, "C"), "invalid sentence view"),
        (lambda: setattr(sentence, "sentiment", 1), "invalid sentence view"),
        (lambda: token.text, "invalid token view"),
        (lambda: setattr(token, "ner", "O"), "invalid token view"),
        (lambda: word.upos, "invalid word view"),
        (lambda: setattr(word, "upos", "X"), "invalid word view"),
        (lambda: root.text, "invalid word view"),
        (lambda: empty.id, "invalid word view"),
        (lambda: span.text, "invalid span view"),
        (lambda: words[5], "invalid word view"),
    ]:
        with pytest.raises(IndexError, match=f"^{message}$"):
            read()
    # Surviving rows read the new tables; a failed fetch is not retried.
    assert (words[1].text, next(it).text, next(it).text) == ("two", "only", "two")
    for _ in range(6):
        with pytest.raises(IndexError, match="^invalid token view$"):
            next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_conll_reads_back_with_an_independent_parser(doc):
    s0 = doc.sentences[0]
    s0.words[5].misc, s0.words[5].morphemes, s0.words[0].morphemes = "SpaceAfter=No", ["ma", "r"], ["A"]
    s0.words[0].lemma, s0.words[1].feats, s0.words[1].xpos = "", "A=1|B=2", "NNP"
    s0.tokens[3].misc, s0.empty_words[1].head = "Note=mwt", 3
    text = doc.to_conll()
    assert [format(doc, spec) for spec in ("C", "c", "CoNLL-U")] == [text] * 3
    assert text.split("\n\n") == [s.to_conll() for s in doc.sentences] == [
        format(s, "c") for s in doc.sentences]
    parsed = conllu.parse(text)
    assert [(p.metadata["sent_id"], p.metadata.get("text", "")) for p in parsed] == [
        (s.sent_id, s.text) for s in doc.sentences]
    assert [[r[k] for k in ("lemma", "upos", "xpos", "feats")] for r in parsed[0][:3]] == [
        ["_", "_", None, None], ["_", "_", "NNP", {"A": "1", "B": "2"}], ["_", "VERB", None, None]]
    # Empty word lines follow the words they come after, in stored order.
    assert [(r["id"] if isinstance(r["id"], int) else tuple(r["id"]), r["head"], r["misc"])
            for r in parsed[0]] == [
        (1, 3, {"Morphemes": "A"}), (2, 1, None), (3, 0, None), ((3, ".", 1), 3, None),
        ((0, ".", 1), None, None), ((4, "-", 5), None, {"Note": "mwt"}), (4, 6, None), (5, 6, None),
        (6, 3, {"SpaceAfter": "No", "Morphemes": "ma,r"}), (7, 3, None)]
    assert [(r["form"], r["head"], r["deprel"]) for r in parsed[1]] == [("Hola", 0, "root"), ("!", 1, "_")]
    # Empty words after the last token; a sentence without tokens.
    row = "\t".join(["1.1", "e"] + ["_"] * 8)
    assert q.Document.from_dict([[], [{"id": 1, "text": "a"}, {"id": (1, 1), "text": "e"}]]).to_conll() \
        .endswith("\n\n# sent_id = 1\n# text = a \n" + row.replace("1.1\te", "1\ta") + "\n" + row)
