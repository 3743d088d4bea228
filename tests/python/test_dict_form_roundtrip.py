"""Round trips of the dictionary form over a generated corpus: documents built
from input records -> to_dict -> from_dict -> to_dict give identical lists."""

import json
import random

import pytest

import _quelbin as q
import _quelbin_testing as t

# Values that read back as themselves: no "_" (read as absent), no MISC made
# only of bars, no MISC holding spacing pieces (those move into the spacing).
TEXTS = ["a", "Zoë", "東京", "x|y", "_", "\\s", "N\u00a0B", "😀", "'\"", "a b"]
OPTIONAL = [None, None, "", "Sing", "É|x", "=", "a\\b"]
MISC = [None, None, None, "Gloss=x", "B=2|A=1", "Z=1||Y=2", "|Lead=1", "Tr=é\u00a0", "x"]
SPACES = ["", " ", " ", " ", "  ", "\n", "\t", "\r\n", "\u00a0", "|", "\\", "\\s", "a\\qb", "No",
          " \u00a0 "]
TAGS = [None, None, "O", "B-PER", "E-PER", "S-LOC"]


def maybe(rng, value, chance=0.5):
    return value if rng.random() < chance else None


def gen_word(rng, id, empty_index=None):
    w = t.WordInput()
    w.id, w.empty_index, w.text = id, empty_index, rng.choice(TEXTS)
    for name in ("lemma", "upos", "xpos", "feats", "deprel", "deps"):
        setattr(w, name, rng.choice(OPTIONAL))
    w.head = maybe(rng, rng.choice([0, 1, id + 1, -3, 2**31 - 1]))
    w.misc = rng.choice(MISC + ["SpaceAfter=No"] * (empty_index is not None))
    if rng.random() < 0.4:
        w.start_char = rng.randrange(0, 2**32 - 1)
        w.end_char = rng.choice([w.start_char, 2**32 - 2, rng.randrange(0, 1000)])
    w.manual_expansion = rng.choice([None, True, False])
    w.morphemes = rng.sample(TEXTS, rng.randrange(0, 3))
    return w


def gen_sentence(rng):
    s = t.SentenceInput()
    tokens, next_id = [], 1
    for _ in range(rng.randrange(0, 7)):
        width = 1 if rng.random() < 0.7 else rng.randrange(2, 4)
        tok = t.TokenInput()
        tok.id_start, tok.id_end = next_id, next_id + width - 1
        words = [gen_word(rng, next_id + k) for k in range(width)]
        if width > 1:
            # A word inside a multi-word token keeps even spacing pieces.
            words[0].misc = rng.choice(MISC + ["SpaceAfter=No"])
        tok.words = words
        tok.text = rng.choice(TEXTS)
        tok.misc = rng.choice(MISC)
        tok.ner = rng.choice(TAGS)
        tok.multi_ner = rng.sample(["a", "b", "_", ""], rng.randrange(0, 3))
        if rng.random() < 0.5:
            tok.start_char = rng.randrange(0, 500)
            tok.end_char = tok.start_char + rng.randrange(0, 5)
        tok.manual_expansion = rng.choice([None, True, False])
        tok.spaces_before = rng.choice([""] * 4 + SPACES)
        tok.spaces_after = rng.choice(SPACES)
        tokens.append(tok)
        next_id += width
    s.tokens = tokens
    # Empty words k.n with 1 <= n <= k (so that they read back as empty words),
    # given in any order, some beyond the last word.
    slots = {(k, n) for k in range(1, next_id + 2) for n in range(1, min(k, 3) + 1)}
    chosen = rng.sample(sorted(slots), min(len(slots), rng.choice([0, 0, 1, 2, 4])))
    s.empty_words = [gen_word(rng, k, n) for k, n in chosen]
    return s


def gen_document(rng):
    return t.build_document("", [gen_sentence(rng) for _ in range(rng.randrange(0, 5))])


def add_coref(rng, doc):
    chains = []
    for s in doc.sentences:
        n = len(s.words)
        if n and rng.random() < 0.5:
            start = rng.randrange(0, n)
            mention = q.CorefMention(s.index, start, rng.randrange(start, n) + 1)
            chains.append(q.CorefChain(len(chains), [mention], "rep", rng.choice([None, 0])))
    doc.coref = chains


def without_coref(form):
    return [[{k: v for k, v in e.items() if k != "coref_chains"} for e in s] for s in form]


@pytest.mark.parametrize("seed", range(40))
def test_generated_corpus_round_trips(seed):
    rng = random.Random(seed)
    for _ in range(10):
        doc = gen_document(rng)
        add_coref(rng, doc)
        first = doc.to_dict()
        # Coreference is written per word but not read back.
        second = q.Document.from_dict(first).to_dict()
        assert second == without_coref(first)
        assert q.Document.from_dict(second).to_dict() == second
        # The form also survives JSON, where tuples become lists.
        assert q.Document.from_dict(json.loads(json.dumps(second))).to_dict() == second


def test_round_trip_keeps_tokens_words_and_spacing():
    rng = random.Random(1234)
    for _ in range(30):
        doc = gen_document(rng)
        back = q.Document.from_dict(doc.to_dict())
        assert len(back.sentences) == len(doc.sentences)
        for a, b in zip(doc.sentences, back.sentences):
            assert [tok.id for tok in a.tokens] == [tok.id for tok in b.tokens]
            assert [(tok.spaces_before, tok.spaces_after) for tok in a.tokens] == \
                [(tok.spaces_before, tok.spaces_after) for tok in b.tokens]
            assert [tok.ner for tok in a.tokens] == [tok.ner for tok in b.tokens]
            assert [w.id for w in a.all_words] == [w.id for w in b.all_words]
            for x, y in zip(a.all_words, b.all_words):
                assert (x.text, x.lemma, x.head, x.feats, x.morphemes, x.manual_expansion) == \
                    (y.text, y.lemma, y.head, y.feats, y.morphemes, y.manual_expansion)


def consistent_document(rng):
    """Records whose offsets and spacing agree with the text they are built over."""
    text, sentences, position = "", [], 0
    lead = rng.choice(["", " ", "\n"])
    text += lead
    position += len(lead)
    for _ in range(rng.randrange(1, 4)):
        s = t.SentenceInput()
        tokens = []
        for k in range(rng.randrange(1, 6)):
            tok = t.TokenInput()
            tok.id_start = tok.id_end = k + 1
            tok.text = rng.choice(TEXTS[:4] + ["Hola", "!"])
            tok.start_char, tok.end_char = position, position + len(tok.text)
            tok.spaces_after = rng.choice(["", " ", "  ", "\n"])
            tok.spaces_before = lead if not sentences and k == 0 else ""
            w = t.WordInput()
            w.id, w.text = tok.id_start, tok.text
            tok.words = [w]
            tokens.append(tok)
            text += tok.text + tok.spaces_after
            position += len(tok.text) + len(tok.spaces_after)
        s.tokens = tokens
        sentences.append(s)
    return text, t.build_document(text, sentences)


def test_round_trip_over_the_text():
    rng = random.Random(99)
    for _ in range(50):
        text, doc = consistent_document(rng)
        first = doc.to_dict()
        back = q.Document.from_dict(first, text)
        assert back.text == text
        assert back.to_dict() == first
        assert [(tok.spaces_before, tok.spaces_after) for tok in back.iter_tokens()] == \
            [(tok.spaces_before, tok.spaces_after) for tok in doc.iter_tokens()]


# Round trips from the examples: (stored word MISC, spaces before, spaces
# after) of a one-word token, and what the token reads back as.
EXAMPLES = [
    (None, "", " ", None, "", " "),
    (None, "", "", None, "", ""),
    (None, "  ", "", None, "  ", ""),
    (None, "", "\n", None, "", "\n"),
    ("Translit=x|Gloss=y", "", "", "Gloss=y|Translit=x", "", ""),
    ("B=1||A=2", "", " ", "B=1|A=2", "", " "),
]


@pytest.mark.parametrize("stored, before, after, misc, before_back, after_back", EXAMPLES)
def test_examples_read_back(stored, before, after, misc, before_back, after_back):
    w = t.WordInput()
    w.id, w.text, w.misc = 1, "a", stored
    tok = t.TokenInput()
    tok.id_start = tok.id_end = 1
    tok.text, tok.spaces_before, tok.spaces_after, tok.words = "a", before, after, [w]
    s = t.SentenceInput()
    s.tokens = [tok]
    form = t.build_document("", [s]).to_dict()
    back = q.Document.from_dict(form)
    token = back.iter_tokens()[0]
    assert (token.misc, token.words[0].misc, token.spaces_before, token.spaces_after) == (
        misc, misc, before_back, after_back)
    assert back.to_dict() == form
