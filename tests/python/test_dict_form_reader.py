"""Reading documents from the dictionary form: entry classification, spacing
taken out of MISC, field readers, and every refusal with its message."""

import re

import pytest

import _quelbin as q
import _quelbin_testing


def read(*sentences, text=None):
    return q.Document.from_dict(list(sentences), text)


def tokens_of(doc, s=0):
    return [(tok.id, tok.text, [w.id for w in tok.words]) for tok in doc.sentences[s].tokens]


class Index:
    """Has a length but no sequence indexing."""
    def __len__(self):
        return 2


class IntLike:
    def __int__(self):
        return 7


W = {"id": 1, "text": "a"}


def entry(**fields):
    return {**W, **fields}


# (sentences argument, text argument, exception, message or None for the
# library's own text)
REFUSALS = [
    # The sentences argument fails the sequence check.
    ({}, None, TypeError, None),
    (5, None, TypeError, None),
    (None, None, TypeError, None),
    # A sentence that is a str, a mapping or no sequence at all.
    (["abc"], None, ValueError, "each document sentence must be a sequence"),
    ("abc", None, ValueError, "each document sentence must be a sequence"),
    ([{"id": 1}], None, ValueError, "each document sentence must be a sequence"),
    ([5], None, ValueError, "each document sentence must be a sequence"),
    ([[W], None], None, ValueError, "each document sentence must be a sequence"),
    # Entries that are not dicts.
    ([[[1, "a"]]], None, ValueError, "each sentence entry must be a dictionary"),
    ([["a"]], None, ValueError, "each sentence entry must be a dictionary"),
    ([[W, None]], None, ValueError, "each sentence entry must be a dictionary"),
    ([b"ab"], None, ValueError, "each sentence entry must be a dictionary"),
    # Ids.
    ([[{"text": "a"}]], None, ValueError, "every token entry must contain an id"),
    ([[entry(id=None)]], None, ValueError, "every token entry must contain an id"),
    ([[entry(id=[])]], None, ValueError, "an id must be an int or a one/two-element sequence"),
    ([[entry(id=(1, 2, 3))]], None, ValueError, "an id must be an int or a one/two-element sequence"),
    ([[entry(id="123")]], None, ValueError, "an id must be an int or a one/two-element sequence"),
    ([[entry(id=1.0)]], None, TypeError, None),
    ([[entry(id=object())]], None, TypeError, None),
    ([[entry(id=Index())]], None, TypeError, None),
    ([[entry(id=2**31)]], None, RuntimeError, None),
    ([[entry(id=[1.0])]], None, RuntimeError, None),
    ([[entry(id=["x"])]], None, RuntimeError, None),
    # Offsets: negative, and (refused rather than cut to 32 bits) 2^32 - 1 and up.
    ([[entry(start_char=-1)]], None, ValueError, "start_char cannot be negative"),
    ([[entry(end_char=-5)]], None, ValueError, "end_char cannot be negative"),
    ([[{"id": (1, 2), "text": "ab", "end_char": -1}]], None, ValueError, "end_char cannot be negative"),
    ([[entry(start_char=2**32 - 1)]], None, ValueError, "start_char must be below 4294967295"),
    ([[entry(end_char=2**32 + 3)]], None, ValueError, "end_char must be below 4294967295"),
    ([[{"id": (1, 2), "text": "ab", "start_char": 2**40}]], None, ValueError,
     "start_char must be below 4294967295"),
    ([[entry(start_char=2**64)]], None, ValueError, "start_char must be below 4294967295"),
    ([[entry(end_char=-2**70)]], None, ValueError, "end_char cannot be negative"),
    ([[entry(end_char="4294967296")]], None, ValueError, "end_char must be below 4294967295"),
    ([[entry(start_char=0.0)]], None, RuntimeError, None),
    # Values of the wrong type.
    ([[entry(text=5)]], None, RuntimeError, None),
    ([[entry(text=b"a")]], None, RuntimeError, None),
    ([[entry(text="\ud800")]], None, RuntimeError, None),
    ([[entry(lemma=3)]], None, RuntimeError, None),
    ([[entry(misc=["x"])]], None, RuntimeError, None),
    ([[entry(ner=1)]], None, RuntimeError, None),
    ([[entry(spaces_after=0)]], None, RuntimeError, None),
    ([[entry(head=2.0)]], None, RuntimeError, None),
    ([[entry(head="x")]], None, RuntimeError, None),
    ([[entry(head=2**31)]], None, RuntimeError, None),
    ([[entry(manual_expansion=1)]], None, RuntimeError, None),
    ([[entry(manual_expansion="True")]], None, RuntimeError, None),
    ([[entry(multi_ner=[1])]], None, RuntimeError, None),
    ([[entry(multi_ner={"a": 1})]], None, RuntimeError, None),
    ([[entry(morphemes=5)]], None, RuntimeError, None),
    ([[W]], 5, RuntimeError, None),
    ([[W]], b"a", RuntimeError, None),
    # Records the document model refuses.
    ([[{"id": 0, "text": "a"}]], None, ValueError, "a token has an invalid ID range"),
    ([[{"id": (0, 1), "text": "a"}]], None, ValueError, "a token has an invalid ID range"),
    ([[{"id": 1}]], None, ValueError, "a token must have non-empty text"),
    ([[{"id": (1, 2), "text": "ab"}, {"id": 1}]], None, ValueError,
     "a word must have a positive ID and non-empty text"),
    ([[{"id": (2, 2)}]], None, ValueError,
     "an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
     "got id=2, empty_index=2, text_size=0"),
    ([[{"id": (2, 0), "text": "e"}]], None, ValueError,
     "an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
     "got id=2, empty_index=0, text_size=1"),
    ([[{"id": (2, 1), "text": "e"}, {"id": (2, 1), "text": "f"}]], None, ValueError,
     "an empty word ID is duplicated within a sentence"),
]


@pytest.mark.parametrize("sentences, text, error, message", REFUSALS)
def test_refusals(sentences, text, error, message):
    with pytest.raises(error) as info:
        q.Document.from_dict(sentences, text)
    # The exact class, not a subclass (a ValueError must not pass for a TypeError).
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_signature_and_arguments():
    assert q.Document.from_dict.__doc__.startswith(
        "from_dict(sentences: collections.abc.Sequence, text: object = None) -> ")
    doc = q.Document.from_dict(sentences=((W,),), text="a")
    assert doc.text == "a" and tokens_of(doc) == [((1,), "a", [1])]
    empty = q.Document.from_dict([])
    assert (empty.text, len(empty.sentences)) == ("", 0)
    # Any sequence: a tuple of tuples, a generator-free custom sequence.
    assert q.Document.from_dict(([],)).to_dict() == [[]]
    assert q.Document.from_dict("").to_dict() == []


def test_entry_classification():
    cases = [
        # An id given as [5] is the word 5; [3, 3] is the empty word 3.3.
        ([{"id": [5], "text": "w"}], [((5,), "w", [5])], [(5, "w")], []),
        ([{"id": [3, 3], "text": "e"}], [], [], [((3, 3), "e")]),
        # A multi-word token (1, 2) with words 1, 2 and then 3.
        ([{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"}, {"id": 2, "text": "b"},
          {"id": 3, "text": "c"}],
         [((1, 2), "ab", [1, 2]), ((3,), "c", [3])], [(1, "a"), (2, "b"), (3, "c")], []),
        # With words 1 and 3 only: 3 is a one-word token.
        ([{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"}, {"id": 3, "text": "c"}],
         [((1, 2), "ab", [1]), ((3,), "c", [3])], [(1, "a"), (3, "c")], []),
        # An empty word between the words of a multi-word token leaves it open.
        ([{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"}, {"id": [1, 1], "text": "e"},
          {"id": 2, "text": "b"}],
         [((1, 2), "ab", [1, 2])], [(1, "a"), (2, "b")], [((1, 1), "e")]),
        # A second multi-word token replaces an open one; ids below the open
        # token's first id still join it.
        ([{"id": (2, 3), "text": "bc"}, {"id": (4, 5), "text": "de"}, {"id": 1, "text": "x"},
          {"id": 5, "text": "e"}, {"id": 6, "text": "f"}],
         [((2, 3), "bc", []), ((4, 5), "de", [1, 5]), ((6,), "f", [6])],
         [(1, "x"), (5, "e"), (6, "f")], []),
        # Ids through the interpreter's integer conversion; "3" has length 1.
        ([{"id": True, "text": "t"}, {"id": "3", "text": "s"}, {"id": [IntLike()], "text": "i"}],
         [((1,), "t", [1]), ((3,), "s", [3]), ((7,), "i", [7])],
         [(1, "t"), (3, "s"), (7, "i")], []),
    ]
    for entries, tokens, words, empty in cases:
        doc = read(entries)
        assert tokens_of(doc) == tokens, entries
        assert [(w.id, w.text) for w in doc.sentences[0].words] == words
        assert [(w.id, w.text) for w in doc.sentences[0].empty_words] == empty


def test_empty_word_ids_follow_the_range_convention():
    # A pair (a, b) with b > a is a multi-word token range. The writer gives
    # the empty word 0.1 the pair (0, 1), so it does not read back as an empty
    # word: stored forms rely on this convention, so it is kept.
    doc = _quelbin_testing.sample_document()
    form = doc.to_dict()
    assert form[0][0] == {"id": (0, 1), "text": "Z"}
    with pytest.raises(ValueError, match="^a token has an invalid ID range$"):
        q.Document.from_dict(form)
    # Without 0.1 the same document reads back, its empty word 3.1 included.
    form[0].pop(0)
    back = q.Document.from_dict(form)
    assert back.to_dict() == form
    assert [w.id for w in back.sentences[0].empty_words] == [(3, 1)]
    # Likewise an empty word 1.2 comes back as the token range 1-2.
    doc = read([{"id": (1, 2), "text": "e"}, {"id": 1, "text": "a"}, {"id": 2, "text": "b"}])
    assert tokens_of(doc) == [((1, 2), "e", [1, 2])] and len(doc.sentences[0].empty_words) == 0


def test_spacing_from_misc():
    cases = [
        # (entry fields, token misc, word misc, spaces before, spaces after)
        ({"misc": "SpaceAfter=No|Gloss=x"}, "Gloss=x", "Gloss=x", "", ""),
        ({"misc": "SpaceAfter=No"}, None, None, "", ""),
        ({"misc": "SpaceAfter=No~"}, None, None, "", ""),
        ({"misc": "Gloss=y|SpaceAfter=No|Translit=x"}, "Gloss=y|Translit=x", "Gloss=y|Translit=x", "", ""),
        ({"misc": "SpacesBefore=\\s\\s"}, None, None, "  ", " "),
        ({"misc": "SpacesAfter=a\\qb"}, None, None, "", "a\\qb"),
        ({"misc": "SpacesAfter=\\s\\t\\r\\n\\p\\\\\\u00A0\\u00a0\\"}, None, None, "",
         " \t\r\n|\\\u00a0\\u00a0\\"),
        ({"misc": "SpaceAfter=\\n"}, None, None, "", "\n"),
        ({"misc": "SpaceAfter=No|SpaceAfter=Yes"}, None, None, "", " "),
        ({"misc": "SpacesAfter=x=y"}, None, None, "", "x=y"),
        # MISC wins over the keys; without MISC the keys hold.
        ({"misc": "SpacesAfter=\\n", "spaces_after": " ", "spaces_before": "\t"}, None, None, "\t", "\n"),
        ({"spaces_after": "", "spaces_before": "  "}, None, None, "  ", ""),
        ({"spaces_after": "_", "spaces_before": "_"}, None, None, "", " "),
        # Pieces that merely resemble spacing are kept.
        ({"misc": "SpaceAfter|spaceafter=No|SpacesBeforeX=1"}, "SpaceAfter|spaceafter=No|SpacesBeforeX=1",
         "SpaceAfter|spaceafter=No|SpacesBeforeX=1", "", " "),
        # No piece left: absent MISC; "_" is absent.
        ({"misc": ""}, None, None, "", " "),
        ({"misc": "||"}, None, None, "", " "),
        ({"misc": "_"}, None, None, "", " "),
        ({"misc": "B=1||A=2"}, "B=1|A=2", "B=1|A=2", "", " "),
    ]
    for fields, token_misc, word_misc, before, after in cases:
        doc = read([entry(**fields)])
        tok = doc.sentences[0].tokens[0]
        assert (tok.misc, tok.words[0].misc, tok.spaces_before, tok.spaces_after) == (
            token_misc, word_misc, before, after), fields


def test_multi_word_token_spacing_and_word_misc():
    doc = read([{"id": (1, 2), "text": "ab", "spaces_after": " ", "misc": "SpacesAfter=\\n|K=v"},
                {"id": 1, "text": "a", "misc": "SpaceAfter=No"}, {"id": 2, "text": "b", "misc": ""}])
    tok = doc.sentences[0].tokens[0]
    assert (tok.spaces_after, tok.misc) == ("\n", "K=v")
    # A word's MISC inside a multi-word token is taken unchanged.
    assert [w.misc for w in tok.words] == ["SpaceAfter=No", ""]


def test_field_readers():
    doc = read([entry(lemma="_", upos="", text="_", multi_ner="_", head="_", end_char=None,
                      manual_expansion=False, morphemes="m", feats=None, deprel="_")],
               [entry(id=2, head="3", multi_ner=("x", "y"), start_char=True, morphemes=["p", "q"],
                      manual_expansion=True, ner="_", xpos="X", deps="3:x")])
    w1, w2 = doc.iter_words()
    t1, t2 = doc.iter_tokens()
    assert (w1.text, w1.lemma, w1.upos, w1.head, w1.end_char, w1.feats, w1.deprel) == (
        "_", None, "", None, None, None, None)
    assert (w1.manual_expansion, t1.manual_expansion, w1.morphemes, t1.multi_ner) == (
        False, False, ["m"], ["_"])
    assert (w2.head, t2.multi_ner, w2.start_char, t2.start_char, w2.morphemes) == (
        3, ["x", "y"], 1, 1, ["p", "q"])
    assert (w2.manual_expansion, t2.ner, w2.xpos, w2.deps) == (True, None, "X", "3:x")
    # Unknown keys are ignored; "coref_chains" is not read.
    doc = read([entry(coref_chains=[{"index": 0}], foo=object())])
    assert doc.coref == [] and doc.sentences[0].words[0].coref_chains == []
    # A missing text is the empty string, which an empty word refuses.
    assert read([{"id": 1, "text": "a", "start_char": 4294967294}]).iter_words()[0].start_char == 4294967294


def test_text_argument():
    form = [[{"id": 1, "text": "Hi", "start_char": 0, "end_char": 2}]]
    doc = q.Document.from_dict(form, "Hi  ")
    assert doc.text == "Hi  "
    # Spacing comes from the text where the offsets place the token in it.
    assert doc.iter_tokens()[0].spaces_after == "  "
    assert q.Document.from_dict(form).text == ""
    assert q.Document.from_dict(form).iter_tokens()[0].spaces_after == " "
    with pytest.raises(RuntimeError):
        q.Document.from_dict(form, ["Hi"])


def test_subclasses_of_dict_and_list_are_accepted_but_other_mappings_are_not():
    import collections
    class D(dict):
        pass
    doc = q.Document.from_dict([collections.UserList([D(W)])])
    assert doc.iter_words()[0].text == "a"
    with pytest.raises(ValueError, match="^each sentence entry must be a dictionary$"):
        q.Document.from_dict([[collections.OrderedDict(W), collections.UserDict(W)]])
    class S(str):
        pass
    with pytest.raises(ValueError, match=re.escape("each document sentence must be a sequence")):
        q.Document.from_dict([S("ab")])
