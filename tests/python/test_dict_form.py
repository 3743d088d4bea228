"""Writing the dictionary form: entry keys and their order, MISC rendering with
token spacing, empty-word placement, and the representations built on it."""

import json

import pytest

import _quelbin as q
import _quelbin_testing as t


def word(id, text, **fields):
    w = t.WordInput()
    w.id, w.text = id, text
    for name, value in fields.items():
        setattr(w, name, value)
    return w


def token(words, text=None, **fields):
    tok = t.TokenInput()
    tok.id_start, tok.id_end = words[0].id, words[-1].id
    tok.text = text if text is not None else words[0].text
    tok.words = words
    for name, value in fields.items():
        setattr(tok, name, value)
    return tok


def sentence(tokens, empty_words=()):
    s = t.SentenceInput()
    s.tokens = list(tokens)
    s.empty_words = list(empty_words)
    return s


def build(*sentences, text=""):
    return t.build_document(text, list(sentences))


def one_token_entry(word_fields=None, **token_fields):
    """The entries of a sentence holding one one-word token 'a'."""
    doc = build(sentence([token([word(1, "a", **(word_fields or {}))], **token_fields)]))
    return doc.sentences[0].to_dict()


# (stored MISC of the word, spaces before, spaces after, rendered "misc" or None)
RENDERED_MISC = [
    (None, "", " ", None),
    (None, "", "", "SpaceAfter=No"),
    (None, "  ", "", "SpaceAfter=No|SpacesBefore=\\s\\s"),
    (None, "", "\n", "SpacesAfter=\\n"),
    ("Translit=x|Gloss=y", "", "", "Gloss=y|SpaceAfter=No|Translit=x"),
    ("B=1||A=2", "", " ", "B=1|A=2"),
    # Every escape of the table, in both spacing keys.
    (None, "\t\r|\\", "\u00a0 ", "SpacesAfter=\\u00A0\\s|SpacesBefore=\\t\\r\\p\\\\"),
    # Other bytes, and multi-byte characters other than U+00A0, are copied.
    (None, "", "x\u00e9\u00a1", "SpacesAfter=x\u00e9\u00a1"),
    # A stored "SpaceAfter=No" and an added one are both kept, sorted.
    ("SpaceAfter=No", "", "", "SpaceAfter=No|SpaceAfter=No"),
    # Byte order: upper case before lower case, a prefix before its extensions.
    ("b=1|B=1|A", "", "", "A|B=1|SpaceAfter=No|b=1"),
    # Nothing added: the stored order stays, bars collapse.
    ("|Z=1|A=1|", "", " ", "Z=1|A=1"),
]


@pytest.mark.parametrize("stored, before, after, rendered", RENDERED_MISC)
def test_render_misc_on_a_one_word_token(stored, before, after, rendered):
    [entry] = one_token_entry({"misc": stored}, spaces_before=before, spaces_after=after)
    assert entry.get("misc") == rendered
    if stored is not None:
        # The stored key keeps its place (after deps, before the offsets).
        assert list(entry) == ["id", "text", "misc"]


def test_word_entry_keys_in_order():
    w = word(2, "saw", lemma="see", upos="VERB", xpos="VBD", feats="Tense=Past", head=0,
             deprel="root", deps="0:root", misc="Gloss=x", start_char=4, end_char=7,
             manual_expansion=False, morphemes=["sa", "w"])
    doc = build(sentence([token([word(1, "I")]), token([w], ner="O", multi_ner=["O", "X"],
                                                         spaces_after="")]))
    [first, entry] = doc.sentences[0].to_dict()
    assert first == {"id": 1, "text": "I"}
    assert list(entry.items()) == [
        ("id", 2), ("text", "saw"), ("lemma", "see"), ("upos", "VERB"), ("xpos", "VBD"),
        ("feats", "Tense=Past"), ("head", 0), ("deprel", "root"), ("deps", "0:root"),
        ("misc", "Gloss=x|SpaceAfter=No"), ("start_char", 4), ("end_char", 7),
        ("manual_expansion", False), ("ner", "O"), ("multi_ner", ["O", "X"]),
        ("morphemes", ["sa", "w"])]
    # Word.to_dict: stored MISC, no NER keys.
    plain = doc.sentences[0].words[1].to_dict()
    assert plain["misc"] == "Gloss=x"
    assert "ner" not in plain and "multi_ner" not in plain
    assert list(plain) == [k for k in entry if k not in ("ner", "multi_ner")]


def test_multi_word_token_entry_and_its_words():
    mwt = token([word(1, "de", misc="SpaceAfter=No"), word(2, "el", start_char=0, end_char=1)],
                text="del", misc="Orig=del", ner="S-LOC", multi_ner=["x"], start_char=0,
                end_char=3, manual_expansion=True, spaces_before=" ", spaces_after="")
    entries = build(sentence([mwt, token([word(3, "mar")])])).sentences[0].to_dict()
    assert [list(e.items()) for e in entries] == [
        [("id", (1, 2)), ("text", "del"), ("misc", "Orig=del|SpaceAfter=No|SpacesBefore=\\s"),
         ("ner", "S-LOC"), ("multi_ner", ["x"]), ("start_char", 0), ("end_char", 3),
         ("manual_expansion", True)],
        # A word inside a multi-word token keeps its stored MISC as it is.
        [("id", 1), ("text", "de"), ("misc", "SpaceAfter=No")],
        [("id", 2), ("text", "el"), ("start_char", 0), ("end_char", 1)],
        [("id", 3), ("text", "mar")],
    ]
    assert type(entries[0]["id"]) is tuple
    tok = build(sentence([mwt])).sentences[0].tokens[0]
    assert tok.to_dict() == entries[:3]
    assert repr(tok) == repr(entries[:3])


def test_rendered_misc_is_added_last_without_stored_misc():
    doc = build(sentence([token([word(1, "a", morphemes=["a"])], spaces_after="")]))
    doc.coref = [q.CorefChain(0, [q.CorefMention(0, 0, 1)], "a", 0)]
    [entry] = doc.sentences[0].to_dict()
    assert list(entry) == ["id", "text", "morphemes", "coref_chains", "misc"]
    assert entry["misc"] == "SpaceAfter=No"
    assert entry["coref_chains"] == [{"index": 0, "representative_text": "a", "is_start": True,
                                      "is_end": True, "is_representative": True}]


@pytest.mark.parametrize("stored", ["", "|", "||"])
def test_stored_misc_without_pieces_stays_when_nothing_is_rendered(stored):
    [entry] = one_token_entry({"misc": stored})
    assert entry["misc"] == stored
    [entry] = one_token_entry({"misc": stored}, spaces_after="")
    assert entry["misc"] == "SpaceAfter=No"


def test_empty_word_placement():
    # Words 1, (2-3), 4; empty words given out of order, including 0.1 and one
    # beyond the last word.
    empties = [word(9, "E9", empty_index=1), word(3, "E32", empty_index=2, misc="SpaceAfter=No"),
               word(0, "E0", empty_index=1), word(3, "E31", empty_index=1), word(1, "E1", empty_index=1)]
    doc = build(sentence([token([word(1, "a")], spaces_after=""),
                          token([word(2, "b"), word(3, "c")], text="bc"),
                          token([word(4, "d")])], empties))
    entries = doc.sentences[0].to_dict()
    assert [e["id"] for e in entries] == [(0, 1), 1, (1, 1), (2, 3), 2, 3, (3, 1), (3, 2), 4, (9, 1)]
    # Empty-word entries are not rendered: a stored MISC stays, none is added.
    assert entries[7] == {"id": (3, 2), "text": "E32", "misc": "SpaceAfter=No"}
    assert entries[1]["misc"] == "SpaceAfter=No" and "misc" not in entries[2]


def test_sentences_with_nothing_or_only_empty_words():
    doc = build(sentence([]), sentence([], [word(0, "Z", empty_index=1)]))
    assert doc.to_dict() == [[], [{"id": (0, 1), "text": "Z"}]]
    assert q.Document().to_dict() == []
    assert repr(q.Document()) == "[]"


def test_document_repr_and_formats():
    doc = build(sentence([token([word(1, "Zoë", lemma="zoë")], spaces_after="")]),
                sentence([token([word(1, "!")])]), text="Zoë!")
    form = doc.to_dict()
    assert form == [[{"id": 1, "text": "Zoë", "lemma": "zoë", "misc": "SpaceAfter=No"}],
                    [{"id": 1, "text": "!"}]]
    assert repr(doc) == json.dumps(form, ensure_ascii=False, indent=2)
    assert str(doc) == repr(doc)
    assert "Zoë" in repr(doc)
    assert format(doc) == format(doc, "json") == json.dumps(form, ensure_ascii=False)
    s0 = doc.sentences[0]
    assert repr(s0) == repr(form[0]) == format(s0, "x")
    assert format(s0, "C") == s0.to_conll()


def test_span_and_attachment_dicts():
    doc = build(sentence([token([word(1, "Ann")], ner="B-PER", start_char=0, end_char=3),
                          token([word(2, "Lee")], ner="E-PER")]))
    doc.rebuild_entities()
    span = doc.ents[0]
    # The span has a start but no end offset: the missing one is None.
    assert list(span.to_dict().items()) == [("text", "Ann Lee"), ("type", "PER"),
                                             ("start_char", 0), ("end_char", None)]
    assert repr(span) == repr(span.to_dict())
    chain = q.CorefChain(4, [q.CorefMention(0, 0, 2)], "Ann Lee")
    assert q.CorefAttachment(chain, False, False, False).to_json() == {
        "index": 4, "representative_text": "Ann Lee"}
    assert list(q.CorefAttachment(chain, False, True, False).to_json()) == [
        "index", "representative_text", "is_end"]


def test_one_word_token_fields_come_from_the_word():
    # The token's own MISC, text and offsets are not written; the word's are.
    tok = token([word(1, "w", start_char=5, end_char=6)], text="T", misc="Tok=1",
                start_char=0, end_char=9, manual_expansion=True)
    [entry] = build(sentence([tok])).sentences[0].to_dict()
    assert entry == {"id": 1, "text": "w", "start_char": 5, "end_char": 6}
    # Without offsets of its own, the word takes the token's.
    [entry] = build(sentence([token([word(1, "w")], start_char=2, end_char=3)])).sentences[0].to_dict()
    assert entry == {"id": 1, "text": "w", "start_char": 2, "end_char": 3}


def test_word_and_root_reprs():
    doc = build(sentence([token([word(1, "a", head=0, deprel="root", upos="X")], ner="S-X")]))
    w = doc.sentences[0].words[0]
    assert w.to_dict() == {"id": 1, "text": "a", "upos": "X", "head": 0, "deprel": "root"}
    assert repr(w) == repr(w.to_dict())
    root = doc.sentences[0].dependencies[0][0]
    assert root.to_dict() == {"id": 0, "text": "ROOT"}
    empty = build(sentence([], [word(2, "e", empty_index=1)])).sentences[0].empty_words[0]
    assert empty.to_dict() == {"id": (2, 1), "text": "e"}
