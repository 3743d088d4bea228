"""The mixed-script text of the subword tokenizer benchmarks: sentences whose
words follow a Zipf law over 60,000 distinct words, with random capitals and
attached punctuation."""
import random

SCRIPTS = {
    "cyrillic": (0x0430, 0x044F), "greek": (0x03B1, 0x03C9), "arabic": (0x0628, 0x064A),
    "devanagari": (0x0915, 0x0939), "hangul": (0xAC00, 0xD7A3), "kana": (0x3041, 0x3096),
    "cjk": (0x4E00, 0x9FFF),
}


def make_sentences(whole, pieces, scripts, size, seed=0):
    """Lists of words of about `size` characters in all. A distinct word is one
    of `whole` (60%), two or three of `pieces` glued (25%), or two to six random
    letters of one of `scripts` (a subset of SCRIPTS' names)."""
    rng = random.Random(seed)
    spans = {name: SCRIPTS[name] for name in scripts}
    distinct = []
    while len(distinct) < 60_000:
        kind = rng.random()
        if kind < 0.6:
            word = rng.choice(whole)
        elif kind < 0.85:
            word = "".join(rng.choice(pieces) for _ in range(rng.randint(2, 3)))
        else:
            low, high = spans[rng.choice(list(spans))]
            word = "".join(chr(rng.randint(low, high)) for _ in range(rng.randint(2, 6)))
        distinct.append(word)
    weights = [1.0 / (rank + 1) ** 1.1 for rank in range(len(distinct))]
    sentences, total = [], 0
    while total < size:
        words = rng.choices(distinct, weights, k=rng.randint(5, 30))
        words = [w.capitalize() if rng.random() < 0.1 else w for w in words]
        words[-1] += rng.choice([".", "!", "?", ".", "."])
        for i in range(len(words) - 1):
            if rng.random() < 0.08:
                words[i] += rng.choice([",", ";", ":", "'s", ")"])
        sentences.append(words)
        total += sum(len(w) + 1 for w in words)
    return sentences
