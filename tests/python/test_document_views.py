"""Document, Sentence, Token, Word, Span, their sequences, and CoNLL-U output."""

import conllu
import pytest

import _quelbin as q
import _quelbin_testing as t


@pytest.fixture
def doc():
    # "Ann Lee saw del mar. Hola!": multi-word token 4-5, empty words 3.1 and
    # 0.1 stored in that order, a PER and a LOC entity; "!" has no relation.
    return t.sample_document()


def ids(seq):
    return [w.id for w in seq]


def test_reads(doc):
    d = q.Document(text="a\u00e9\u20ac\U0001F600")
    assert (d.codepoint_count, [d.byte_offset(i) for i in range(5)]) == (4, [0, 1, 3, 6, 10])
    for bad in (5, -1):
        with pytest.raises(IndexError, match="^code point index is outside the document$"):
            d.byte_offset(codepoint_index=bad)
    s0, s1 = doc.sentences
    assert (doc.num_tokens, doc.num_words, s1.index, s1.sentiment, s1.comments) == (
        8, 9, 1, 2, ["# newpar"])
    assert (s1.id, s1.sent_id, s1.speaker, s1.doc_id) == (1, "1", "B", None)
    # Empty words by word id, then empty index; all words merged.
    assert (ids(s0.empty_words), ids(s0.all_words)) == (
        [(0, 1), (3, 1)], [(0, 1), 1, 2, 3, (3, 1), 4, 5, 6, 7])
    mwt, empty = s0.tokens[3], s0.empty_words[1]
    assert (mwt.id, mwt.is_mwt(), ids(mwt.words), s0.tokens[2].is_mwt(), mwt.sent) == (
        (4, 5), True, [4, 5], False, s0)
    assert (s0.words[4].parent, empty.parent, empty.sent, s0.words[2].end_char) == (
        mwt, None, s0, 11)
    span = doc.entities[0]
    assert (span.text, span.type, span.start_char, span.end_char, span.sent, ids(span.words)) == (
        "Ann Lee", "PER", 0, 7, s0, [1, 2])
    assert span.doc == doc and doc.ents[1].start_char == 16
    assert ([k.text for k in span.tokens], span.pretty_print()) == (
        ["Ann", "Lee"], "<Span text=Ann Lee;type=PER>")
    assert doc.ents[1].words[0] == s0.words[5] and doc.ents[1] == s0.entities[1]


def test_writes_are_seen_through_every_view(doc):
    s0, s1 = doc.sentences
    for view, again, values in [
        (s1, lambda: doc.sentences[1], [("sentiment", -3), ("sentiment", None)]),
        (doc, lambda: s0.doc, [("lang", "fr"), ("lang", None)]),
        (s0.tokens[0], lambda: doc.iter_tokens()[0],
         [("text", "ANN"), ("misc", None), ("ner", "S-X"), ("multi_ner", ["O"]),
          ("manual_expansion", True), ("manual_expansion", None), ("spaces_before", "\n"),
          ("spaces_after", "\t")]),
        (s0.words[2], lambda: doc.iter_words()[2],
         [("text", "SAW"), ("upos", "AUX"), ("pos", "VERB"), ("lemma", None), ("head", 1),
          ("head", None), ("head", -2**31), ("morphemes", ["s", "aw"]), ("deps", "0:root"),
          ("deps", None)]),
        (s0.empty_words[1], lambda: doc.sentences[0].empty_words[1], [("text", "E2")]),
    ]:
        for name, value in values:
            setattr(view, name, value)
            got = getattr(again(), name)
            # INT32_MIN is the stored mark of an absent head.
            expected = None if value == -2**31 else value
            assert (got, type(got)) == (expected, type(expected)), name
    assert doc.iter_words()[2].upos == "VERB"  # "pos" is "upos"
    doc.rebuild_entities()
    assert [e.type for e in doc.ents] == ["X", "PER", "LOC"]


ROOT = "the synthetic ROOT word is immutable"


@pytest.mark.parametrize("view, name, value, error, message", [
    ("token", "text", "", ValueError, "a token must have non-empty text"),
    ("token", "manual_expansion", 1, TypeError, None),
    ("word", "text", "", ValueError, "a word must have non-empty text"),
    ("word", "manual_expansion", True, AttributeError, None),
    ("root", "text", "x", RuntimeError, ROOT),
    ("root", "lemma", "x", RuntimeError, ROOT),
    ("root", "head", 1, RuntimeError, ROOT),
    ("root", "morphemes", [], RuntimeError, ROOT),
])
def test_refused_writes(doc, view, name, value, error, message):
    target = {"token": doc.iter_tokens()[0], "word": doc.iter_words()[2],
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
    assert (root.id, root.parent, root.head, root.sent, root.to_dict()) == (
        0, None, None, s0, {"id": 0, "text": "ROOT"})
    assert root not in s0.all_words and deps[0][0] == s0.words[2]
    assert [w.text for w in s0.get_roots()] == ["saw"]
    assert t.make_document("", [["a"]]).sentences[0].get_roots() == []
    s1.words[1].deprel = "punct"
    for bad_head in (3, -1):
        s1.words[1].head = bad_head
        with pytest.raises(IndexError, match="^index is outside the sequence$"):
            s1.dependencies


@pytest.mark.parametrize("tags, spans", [
    ([["B-X", "I-X", "I-X", "E-X", "E-X", "O"]], "X:0 1 2 3|X:4"),
    ([["B-X", "I-X"], ["I-X"]], "X:0 1|X:0"),
    ([["B-P", "B-P", "S-P", "B-P", "I-Q"]], "P:0|P:1|P:2|P:3|Q:4"),
    ([["B-O", "L-O", "I-O", "U-O", "b-o", "i-o"]], "O:0 1|O:2|O:3|o:4|o:5"),
    ([["B-P", None, "B-P", "I-", "B-P", "I-PS", "E-P"]], "P:0|P:2|P:4|PS:5|P:6"),
    ([["O", None, "B-", "BXP", "", "O-P"]], ""),
])
def test_entities_from_tags(tags, spans):
    doc = q.Document.from_dict([[{"id": k + 1, "text": str(k), "ner": tag}
                                 for k, tag in enumerate(s)] for s in tags])
    assert "|".join(e.type + ":" + e.text for e in doc.ents) == spans


def test_sequences(doc):
    for seq, name in [(doc.sentences, "Sentence"), (doc.iter_tokens(), "Token"),
                      (doc.iter_words(), "Word"), (doc.ents, "Span"), (t.tree_children(3), "Tree")]:
        n, kind = len(seq), name + "Sequence"
        assert (type(seq).__name__, repr(seq), repr(seq[1:1])) == (
            kind, f"<quelbin.{kind} length={n}>", f"<quelbin.{kind} length=0>")
        assert seq[-1] == seq[n - 1] and seq[0] == seq[-n] and seq[0] is not seq[0]
        for bad in (n, -n - 1, -(2**63)):
            message = ("tree " if name == "Tree" else "") + "index is outside the sequence"
            with pytest.raises(IndexError, match=f"^{message}$"):
                seq[bad]
        it = iter(seq)
        assert type(it).__name__ == type(reversed(seq)).__name__ == f"_{name}Iterator"
        assert iter(it) is it and list(it) == [seq[k] for k in range(n)] and next(it, None) is None
        assert list(reversed(seq)) == [seq[k] for k in range(n - 1, -1, -1)]


def test_slices_and_contains(doc):
    words = doc.iter_words()
    texts = [w.text for w in words]
    slices = [slice(None, None, -1), slice(1, None, 2), slice(-2, 0, -3), slice(8, 2, -2),
              slice(100, -100, -1), slice(3, 3), slice(-100, 100)]
    for outer in slices:
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
    assert other.iter_tokens()[3] not in tokens and tokens[3] not in tokens[3:3]
    assert doc.ents[1] in s0.ents and doc.ents[1] not in doc.ents[:1] and doc.ents[0] not in s1.ents
    assert other.ents[0] not in doc.ents
    # Trees are found by node, never by an equal-looking tree.
    trees = t.tree_children(3)
    assert trees[1] in trees and trees[1] not in trees[::2] and trees[0] not in trees[3:]
    assert q.ConstituencyTree("leaf0") not in trees
    with pytest.raises(TypeError):
        words[0] in doc.sentences


# (name, a view, another view of the same document)
VIEWS = [
    ("Sentence", lambda d: d.sentences[1], lambda d: d.sentences[0]),
    ("Token", lambda d: d.iter_tokens()[3], lambda d: d.iter_tokens()[4]),
    ("Word", lambda d: d.sentences[0].words[2], lambda d: d.sentences[0].words[3]),
    ("EmptyWord", lambda d: d.sentences[0].empty_words[1], lambda d: d.sentences[0].empty_words[0]),
    ("Span", lambda d: d.ents[1], lambda d: d.ents[0]),
    ("Root", lambda d: d.sentences[0].dependencies[2][0],
     lambda d: d.sentences[1].dependencies[0][0]),
    ("Document", lambda d: d.sentences[0].doc, lambda d: q.Document(d.text)),
]


@pytest.mark.parametrize("name, fetch, other", VIEWS, ids=[v[0] for v in VIEWS])
def test_equal_views_hash_alike(doc, name, fetch, other):
    a, b, c = fetch(doc), fetch(doc), other(doc)
    assert a is not b and a == b and hash(a) == hash(b) and a != c and len({a, b, c}) == 2
    assert fetch(t.sample_document()) != a  # the same row of another document
    # Row 0 of every table: equal hashes would make a set compare views of two
    # classes, which raises TypeError.
    mixed = [doc, doc.sentences[0], doc.iter_tokens()[0], doc.iter_words()[0], doc.ents[0], a]
    assert len({hash(v) for v in mixed}) == len(set(mixed)) == len(mixed) - (name == "Document")
    with pytest.raises(TypeError):
        doc == doc.sentences[0]


def test_views_kept_across_replace_refuse_to_read(doc):
    sentence, root = doc.sentences[1], doc.sentences[1].dependencies[0][0]
    token, span, words = doc.iter_tokens()[5], doc.ents[1], doc.iter_words()
    word = words[8]
    it = iter(doc.iter_tokens())
    t.replace_sentences(doc, [["only", "two"]])
    for read, view in [(lambda: format(sentence, "C"), "sentence"), (lambda: token.text, "token"),
                       (lambda: setattr(word, "upos", "X"), "word"), (lambda: root.text, "word"),
                       (lambda: span.text, "span"), (lambda: words[5], "word")]:
        with pytest.raises(IndexError, match=f"^invalid {view} view$"):
            read()
    # Surviving rows read the new tables; a failed fetch is not retried.
    assert (words[1].text, next(it).text, next(it).text) == ("two", "only", "two")
    for _ in range(6):
        with pytest.raises(IndexError, match="^invalid token view$"):
            next(it)
    assert next(it, None) is None
def test_conll_reads_back_with_an_independent_parser(doc):
    s0 = doc.sentences[0]
    s0.words[5].misc, s0.words[5].morphemes, s0.words[0].morphemes = "Sp=No", ["ma", "r"], ["A"]
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
        ((0, ".", 1), None, None), ((4, "-", 5), None, {"Note": "mwt"}), (4, 6, None),
        (5, 6, None), (6, 3, {"Sp": "No", "Morphemes": "ma,r"}), (7, 3, None)]
    # The parser reads "|Morphemes=A" as "Morphemes=A": compare MISC as written.
    assert [line.split("\t")[9] for line in text.split("\n\n")[0].split("\n")[2:]] == [
        "Morphemes=A", "_", "_", "_", "_", "Note=mwt", "_", "_", "Sp=No|Morphemes=ma,r", "_"]
    assert [(r["form"], r["head"], r["deprel"]) for r in parsed[1]] == [
        ("Hola", 0, "root"), ("!", 1, "_")]
    # Empty words after the last token; a sentence without tokens.
    form = [[], [{"id": 1, "text": "a"}, {"id": (1, 1), "text": "e"}]]
    body = "\n".join("\t".join([i, w] + ["_"] * 8) for i, w in [("1", "a"), ("1.1", "e")])
    assert q.Document.from_dict(form).to_conll() == (
        "# sent_id = 0\n\n\n# sent_id = 1\n# text = a \n" + body)


def test_conll_text_comment_of_wrapped_text_is_one_line():
    text = "Il va\r\nau\rmarché\nici."
    spans = [(0, 2), (3, 5), (7, 9), (10, 16), (17, 20), (20, 21)]
    doc = q.Document.from_dict([[{"id": i + 1, "text": text[a:b], "start_char": a, "end_char": b}
                                 for i, (a, b) in enumerate(spans)]], text=text)
    header = doc.to_conll().split("\n")[:3]
    assert header == ["# sent_id = 0", "# text = Il va au marché ici.", "1\tIl\t_\t_\t_\t_\t_\t_\t_\t_"]
    assert doc.sentences[0].text == text  # the stored text keeps its line breaks
