"""The dictionary form: to_dict, Document.from_dict, and round trips."""

import collections
import decimal
import json
import random

import pytest

import _quelbin as q
import _quelbin_testing as t
from conftest import outcome


def record(kind, **fields):
    r = kind()
    for name, value in fields.items():
        setattr(r, name, value)
    return r


def word(id, text, **fields):
    return record(t.WordInput, id=id, text=text, **fields)


def token(words, text=None, **fields):
    return record(t.TokenInput, id_start=words[0].id, id_end=words[-1].id, words=words,
                  text=words[0].text if text is None else text, **fields)


def build(sentences):
    """A document of sentences given as (tokens, empty words)."""
    return t.build_document("", [record(t.SentenceInput, tokens=tokens, empty_words=empty)
                                 for tokens, empty in sentences])


def test_written_entries():
    # A one-word token is written from its word's fields with the token's
    # spacing; empty words go out of order, one beyond the last word.
    spaced = [(None, "", " "), (None, "  ", ""), ("Translit=x|Gloss=y", "", "\n"),
              (None, "\t\r|\\", "\u00a0 x\u00e9"), ("b=1|B=1|A", "", ""), ("|Z=1|A=1|", "", " "),
              ("||", "", " ")]
    first = [token([word(k + 1, "a", misc=m, start_char=k)], text="T", misc="Tok=1", start_char=9,
                   spaces_before=b, spaces_after=a) for k, (m, b, a) in enumerate(spaced)]
    w = word(1, "saw", lemma="see", upos="VERB", xpos="VBD", feats="Tense=Past", head=0,
             deprel="root", deps="0:root", misc="Gloss=x", start_char=4, end_char=7,
             manual_expansion=False, morphemes=["sa", "w"])
    mwt = token([word(2, "de", misc="SpaceAfter=No"), word(3, "el", start_char=0)], text="del",
                misc="Orig=del", ner="S-LOC", multi_ner=["x"], start_char=0,
                manual_expansion=True, spaces_before=" ", spaces_after="")
    empties = [word(9, "E9", empty_index=1), word(2, "E22", empty_index=2, misc="SpaceAfter=No"),
               word(0, "E0", empty_index=1), word(2, "E21", empty_index=1)]
    second = [token([w], ner="O", multi_ner=["O", "X"], spaces_after=""), mwt,
              token([word(4, "I", morphemes=["I"])], spaces_after="")]
    doc = build([(first, []), (second, empties)])
    doc.coref = [q.CorefChain(0, [q.CorefMention(1, 3, 4)], "I", 0)]
    form = doc.to_dict()
    assert repr(form) == repr([[
        {"id": 1, "text": "a", "start_char": 0},
        # A MISC made only of spacing comes last.
        {"id": 2, "text": "a", "start_char": 1, "misc": "SpaceAfter=No|SpacesBefore=\\s\\s"},
        {"id": 3, "text": "a", "misc": "Gloss=y|SpacesAfter=\\n|Translit=x", "start_char": 2},
        {"id": 4, "text": "a", "start_char": 3,
         "misc": "SpacesAfter=\\u00A0\\sx\u00e9|SpacesBefore=\\t\\r\\p\\\\"},
        # Byte order: upper case before lower case, a prefix before its extensions.
        {"id": 5, "text": "a", "misc": "A|B=1|SpaceAfter=No|b=1", "start_char": 4},
        # Nothing added: the stored order stays, bars collapse, an empty MISC stays.
        {"id": 6, "text": "a", "misc": "Z=1|A=1", "start_char": 5},
        {"id": 7, "text": "a", "misc": "||", "start_char": 6}], [
        {"id": (0, 1), "text": "E0"},
        {"id": 1, "text": "saw", "lemma": "see", "upos": "VERB", "xpos": "VBD",
         "feats": "Tense=Past", "head": 0, "deprel": "root", "deps": "0:root",
         "misc": "Gloss=x|SpaceAfter=No", "start_char": 4, "end_char": 7,
         "manual_expansion": False, "ner": "O", "multi_ner": ["O", "X"], "morphemes": ["sa", "w"]},
        {"id": (2, 3), "text": "del", "misc": "Orig=del|SpaceAfter=No|SpacesBefore=\\s",
         "ner": "S-LOC", "multi_ner": ["x"], "start_char": 0, "manual_expansion": True},
        # Words of a multi-word token keep their stored MISC and take no offsets.
        {"id": 2, "text": "de", "misc": "SpaceAfter=No"}, {"id": 3, "text": "el", "start_char": 0},
        # Empty words are not rendered.
        {"id": (2, 1), "text": "E21"}, {"id": (2, 2), "text": "E22", "misc": "SpaceAfter=No"},
        {"id": 4, "text": "I", "morphemes": ["I"], "coref_chains": [
            {"index": 0, "representative_text": "I", "is_start": True, "is_end": True,
             "is_representative": True}], "misc": "SpaceAfter=No"},
        {"id": (9, 1), "text": "E9"}]])
    s1 = doc.sentences[1]
    assert (s1.tokens[1].to_dict(), repr(s1.tokens[1])) == (form[1][2:5], repr(form[1][2:5]))
    assert s1.empty_words[1].to_dict() == form[1][5] and repr(s1.words[0]) == repr(
        s1.words[0].to_dict())
    # Word.to_dict: the stored MISC and no NER keys.
    assert repr(s1.words[0].to_dict()) == repr({k: "Gloss=x" if k == "misc" else v
                                                for k, v in form[1][1].items() if "ner" not in k})
    assert repr(doc) == str(doc) == json.dumps(form, ensure_ascii=False, indent=2)
    assert format(doc) == format(doc, "json") == json.dumps(form, ensure_ascii=False)
    assert repr(s1) == repr(form[1]) == format(s1, "x")
    # A span with a start but no end offset.
    assert repr(s1.ents[0]) == repr(s1.ents[0].to_dict()) == repr(
        {"text": "del", "type": "LOC", "start_char": 0, "end_char": None})
    # A multi-word token without NER tags writes no "multi_ner" key.
    bare = [[{"id": (1, 2), "text": "del"}, {"id": 1, "text": "de"}, {"id": 2, "text": "el"}]]
    assert q.Document.from_dict(bare).to_dict() == bare


W = {"id": 1, "text": "a"}
EMPTY_WORD = ("an empty word requires a nonnegative ID, positive empty index, and non-empty text; "
              "got id=2, empty_index=2, text_size=0")


def entry(**fields):
    return [[{**W, **fields}]]


# (sentences argument, text argument, exception, message or None for the library's own)
REFUSALS = [
    (["abc"], None, ValueError, "each document sentence must be a sequence"),
    ([[W], 5], None, ValueError, "each document sentence must be a sequence"),
    ([[W, collections.UserDict(W)]], None, ValueError, "each sentence entry must be a dictionary"),
    ([[{"text": "a"}]], None, ValueError, "every token entry must contain an id"),
    (entry(id=[]), None, ValueError, "an id must be an int or a one/two-element sequence"),
    (entry(id=1.0), None, TypeError, None),
    (entry(id={1: 2, 3: 4}), None, TypeError, None),  # a length but no indexing
    (entry(id=2**31), None, TypeError, "sentence entry 'id' must be an integer within 32 bits"),
    (entry(id=["x"]), None, TypeError, "sentence entry 'id' must be an integer"),  # int() fails
    # Offsets: negative, and (refused rather than cut to 32 bits) 2^32 - 1 and up.
    ([[{"id": (1, 2), "text": "ab", "end_char": -1}]], None, ValueError,
     "end_char cannot be negative"),
    (entry(start_char=-2**70), None, ValueError, "start_char cannot be negative"),
    (entry(start_char=2**32 - 1), None, ValueError, "start_char must be below 4294967295"),
    ([[{"id": (1, 2), "text": "ab", "end_char": 2**64}]], None, ValueError,
     "end_char must be below 4294967295"),
    # A value of the wrong type is the caller's TypeError, naming the key or argument.
    (entry(text="\ud800"), None, TypeError, "sentence entry 'text' must be a string without lone surrogates"),
    (entry(lemma=3), None, TypeError, "sentence entry 'lemma' must be a string"),
    (entry(head=2.0), None, TypeError, "sentence entry 'head' must be an integer"),
    (entry(head=-2**40), None, TypeError, "sentence entry 'head' must be an integer within 32 bits"),
    (entry(start_char="x"), None, TypeError, "sentence entry 'start_char' must be an integer"),
    (entry(manual_expansion=1), None, TypeError, "sentence entry 'manual_expansion' must be True or False"),
    (entry(multi_ner=[1]), None, TypeError,
     "sentence entry 'multi_ner' must be a string or a sequence of strings"),
    (entry(morphemes=5), None, TypeError, "sentence entry 'morphemes' must be a string or a sequence of strings"),
    ([[W]], b"a", TypeError, "from_dict text must be a string"),
    # Records the document refuses.
    ([[{"id": (0, 1), "text": "a"}]], None, ValueError, "a token has an invalid ID range"),
    ([[{"id": 1}]], None, ValueError, "a token must have non-empty text"),
    ([[{"id": (1, 2), "text": "ab"}, {"id": 1}]], None, ValueError,
     "a word must have a positive ID and non-empty text"),
    ([[{"id": (2, 2)}]], None, ValueError, EMPTY_WORD),
]


@pytest.mark.parametrize("sentences, text, error, message", REFUSALS)
def test_from_dict_refusals(sentences, text, error, message):
    with pytest.raises(error) as info:
        q.Document.from_dict(sentences, text)
    assert type(info.value) is error and (message is None or str(info.value) == message)


def read(*entries, text=None):
    return q.Document.from_dict([list(entries)], text).sentences[0]


def test_entry_classification():
    for entries, tokens, empty in [
        # An id given as [5] is the word 5; [3, 3] is the empty word 3.3.
        ([{"id": [5], "text": "w"}, {"id": [3, 3], "text": "e"}], [((5,), "w", [5])], [(3, 3)]),
        # A multi-word token 1-2 with its words, then 3; without word 2, 3 is still its own.
        ([{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"}, {"id": 2, "text": "b"},
          {"id": 3, "text": "c"}], [((1, 2), "ab", [1, 2]), ((3,), "c", [3])], []),
        ([{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"}, {"id": 3, "text": "c"}],
         [((1, 2), "ab", [1]), ((3,), "c", [3])], []),
        # An empty word between the words of a multi-word token leaves it open.
        ([{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"}, {"id": [1, 1], "text": "e"},
          {"id": 2, "text": "b"}], [((1, 2), "ab", [1, 2])], [(1, 1)]),
        # A second multi-word token replaces an open one; ids below the open
        # token's first id still join it.
        ([{"id": (2, 3), "text": "bc"}, {"id": (4, 5), "text": "de"}, {"id": 1, "text": "x"},
          {"id": 5, "text": "e"}, {"id": 6, "text": "f"}],
         [((2, 3), "bc", []), ((4, 5), "de", [1, 5]), ((6,), "f", [6])], []),
        # Ids through the interpreter's integer conversion.
        ([{"id": True, "text": "t"}, {"id": "3", "text": "s"},
          {"id": [decimal.Decimal(7)], "text": "i"}],
         [((1,), "t", [1]), ((3,), "s", [3]), ((7,), "i", [7])], []),
    ]:
        s = read(*entries)
        assert [(k.id, k.text, [w.id for w in k.words]) for k in s.tokens] == tokens, entries
        assert [w.id for w in s.empty_words] == empty, entries


def test_text_ids_are_one_integer():
    # A str or bytes id is read whole, as "head" is: never as a sequence of characters.
    NOT_INT = (TypeError, "sentence entry 'id' must be an integer")
    for given, expected in [
        ("12", [12]), (b"12", [12]), (bytearray(b" 7 "), [7]), (["1", b"3"], []),
        ("ab", NOT_INT), ("1.5", NOT_INT), ("", NOT_INT),
    ]:
        got = outcome(lambda: [w.id for w in read({"id": given, "text": "ab"}).words])
        assert got == expected, given


def test_spacing_from_misc():
    for fields, misc, before, after in [
        ({"misc": "SpaceAfter=No|Gloss=x"}, "Gloss=x", "", ""),
        ({"misc": "Gloss=y|SpaceAfter=No~|Translit=x"}, "Gloss=y|Translit=x", "", ""),
        ({"misc": "SpacesBefore=\\s\\s|SpaceAfter=\\n"}, None, "  ", "\n"),
        ({"misc": "SpacesAfter=\\s\\t\\r\\n\\p\\\\\\u00A0\\u00a0\\q\\"}, None, "",
         " \t\r\n|\\\u00a0\\u00a0\\q\\"),
        ({"misc": "SpaceAfter=No|SpaceAfter=Yes|SpacesAfter=x=y"}, None, "", "x=y"),
        # MISC wins over the keys; without MISC the keys hold; "_" is absent.
        ({"misc": "SpaceAfter=Yes", "spaces_after": "", "spaces_before": "\t"}, None, "\t", " "),
        ({"spaces_after": "", "spaces_before": "  "}, None, "  ", ""),
        ({"spaces_after": "_", "spaces_before": "_", "misc": "_"}, None, "", " "),
        # Pieces that merely resemble spacing are kept; empty pieces go.
        ({"misc": "SpaceAfter|spaceafter=No||SpacesBeforeX=1"},
         "SpaceAfter|spaceafter=No|SpacesBeforeX=1", "", " "),
        ({"misc": "||"}, None, "", " "),
    ]:
        tok = read({**W, **fields}).tokens[0]
        assert (tok.misc, tok.words[0].misc, tok.spaces_before, tok.spaces_after) == (
            misc, misc, before, after), fields
    # Inside a multi-word token the token takes the spacing; its words' MISC is kept.
    s = read({"id": (1, 2), "text": "ab", "misc": "SpacesAfter=\\n|K=v"},
             {"id": 1, "text": "a", "misc": "SpaceAfter=No"}, {"id": 2, "text": "b", "misc": ""})
    assert (s.tokens[0].spaces_after, s.tokens[0].misc, [w.misc for w in s.words]) == (
        "\n", "K=v", ["SpaceAfter=No", ""])


def test_field_readers():
    w1, w2 = read(
        {**W, "lemma": "_", "upos": "", "text": "_", "multi_ner": "_", "head": "_",
         "end_char": None, "morphemes": "m", "coref_chains": [{}], "unknown": 0},
        {"id": 2, "text": "b", "head": "3", "multi_ner": ("x", "y"), "start_char": True,
         "ner": "_", "deps": "3:x"}).words
    assert (w1.text, w1.lemma, w1.upos, w1.head, w1.end_char, w1.morphemes, w1.coref_chains) == (
        "_", None, "", None, None, ["m"], [])
    assert (w2.head, w2.start_char, w2.deps, w1.parent.multi_ner, w2.parent.multi_ner,
            w2.parent.ner) == (3, 1, "3:x", ["_"], ["x", "y"], None)
    assert read({**W, "start_char": 4294967294}).words[0].start_char == 4294967294
    # The text places the tokens, whose spacing then comes from it.
    s = read({"id": 1, "text": "Hi", "start_char": 0, "end_char": 2}, text="Hi  ")
    assert (s.doc.text, s.tokens[0].spaces_after) == ("Hi  ", "  ")
    # Any sequence of sequences; dict and list subclasses are accepted.
    subclasses = (collections.UserList([type("D", (dict,), {})(W)]),)
    doc = q.Document.from_dict(sentences=subclasses, text="a")
    assert (doc.text, doc.iter_words()[0].text, q.Document.from_dict("").to_dict()) == (
        "a", "a", [])


# Values that read back as themselves: no "_" (read as absent), no MISC made
# only of bars, no MISC holding spacing pieces (those move into the spacing).
TEXTS = ["a", "Zoë", "東京", "x|y", "_", "\\s", "N\u00a0B", "😀", "'\"", "a b"]
OPTIONAL = [None, None, "", "Sing", "É|x", "=", "a\\b"]
MISC = [None, None, None, "Gloss=x", "B=2|A=1", "Z=1||Y=2", "|Lead=1", "Tr=é\u00a0", "x"]
SPACES = ["", " ", " ", " ", "  ", "\n", "\t", "\r\n", "\u00a0", "|", "\\", "\\s", "a\\qb", "No",
          " \u00a0 "]


def gen_word(rng, id, empty_index=None):
    w = word(id, rng.choice(TEXTS), empty_index=empty_index, misc=rng.choice(MISC),
             manual_expansion=rng.choice([None, True, False]),
             morphemes=rng.sample(TEXTS, rng.randrange(3)),
             head=rng.choice([None, None, 0, 1, id + 1, -3, 2**31 - 1]),
             **{f: rng.choice(OPTIONAL) for f in ("lemma", "upos", "xpos", "feats", "deprel",
                                                  "deps")})
    if rng.random() < 0.4:
        w.start_char = rng.randrange(0, 2**32 - 1)
        w.end_char = rng.choice([w.start_char, 2**32 - 2, rng.randrange(0, 1000)])
    return w


def gen_sentence(rng):
    tokens, next_id = [], 1
    for _ in range(rng.randrange(0, 7)):
        width = 1 if rng.random() < 0.7 else rng.randrange(2, 4)
        words = [gen_word(rng, next_id + k) for k in range(width)]
        if width > 1:
            # A word inside a multi-word token keeps even spacing pieces.
            words[0].misc = rng.choice(MISC + ["SpaceAfter=No"])
        tok = token(words, rng.choice(TEXTS), misc=rng.choice(MISC),
                    ner=rng.choice([None, None, "O", "B-PER", "E-PER", "S-LOC"]),
                    multi_ner=rng.sample(["a", "b", "_", ""], rng.randrange(0, 3)),
                    manual_expansion=rng.choice([None, True, False]),
                    spaces_before=rng.choice([""] * 4 + SPACES), spaces_after=rng.choice(SPACES))
        if rng.random() < 0.5:
            tok.start_char = rng.randrange(0, 500)
            tok.end_char = tok.start_char + rng.randrange(0, 5)
        tokens.append(tok)
        next_id += width
    # Empty words k.n with 1 <= n <= k (so that they read back as empty words),
    # given in any order, some beyond the last word.
    slots = sorted((k, n) for k in range(1, next_id + 2) for n in range(1, min(k, 3) + 1))
    chosen = rng.sample(slots, min(len(slots), rng.choice([0, 0, 1, 2, 4])))
    return tokens, [gen_word(rng, k, n) for k, n in chosen]


TOKEN_FIELDS = ("text", "misc", "ner", "multi_ner", "start_char", "end_char", "manual_expansion",
                "spaces_before", "spaces_after")
WORD_FIELDS = ("text", "lemma", "upos", "xpos", "feats", "head", "deprel", "deps", "misc",
               "manual_expansion", "morphemes")


@pytest.mark.parametrize("seed", range(40))
def test_generated_documents_round_trip(seed):
    rng = random.Random(seed)
    for _ in range(10):
        sentences = [gen_sentence(rng) for _ in range(rng.randrange(0, 5))]
        doc = build(sentences)
        # Every property reads back the record it was built from.
        records = [(tok, tok.words) for tokens, _ in sentences for tok in tokens]
        assert [[getattr(k, f) for f in TOKEN_FIELDS] for k in doc.iter_tokens()] == [
            [getattr(k, f) for f in TOKEN_FIELDS] for k, _ in records]
        assert [[getattr(w, f) for f in WORD_FIELDS] for w in doc.iter_words()] == [
            [getattr(w, f) for f in WORD_FIELDS] for _, words in records for w in words]
        first = doc.to_dict()
        second = q.Document.from_dict(first).to_dict()
        assert second == first
        # The form also survives JSON, where tuples become lists.
        back = q.Document.from_dict(json.loads(json.dumps(second)))
        assert back.to_dict() == second
        assert [(k.spaces_before, k.spaces_after) for k in back.iter_tokens()] == [
            (k.spaces_before, k.spaces_after) for k in doc.iter_tokens()]
        # Empty words were added in another order: all_words orders them alike.
        assert [[w.id for w in s.all_words] for s in back.sentences] == [
            [w.id for w in s.all_words] for s in doc.sentences]
