"""An independent eager-PyTorch tokenizer from the model's equations (torch.nn.LSTM and
plain tensor operations); it reads a bundle with json and numpy only. ``paragraphs(text)``:
lists of (char, index), whitespace runs as one " "; ``features(paragraph)``: [units,
feat_dim]; ``label_paragraph(paragraph)``: labels and margins, a margin being the gap
between the two best log-probabilities; ``tokenize(text)``: sentences of [text, start,
end, mwt]. ``mixed_english_text(size, seed)``: English-like text for tests and benchmarks.
"""
import json
import pathlib
import random
import re
import unicodedata

import numpy as np
import torch

WINDOW = 1000
WHITESPACE = {*range(0x09, 0x0E), *range(0x1C, 0x21), *range(0x80, 0xA1), 0x1680, 0x2028, 0x2029,
              0x202F, 0x205F, 0x3000, *range(0x2000, 0x200B)}
TRAILING = WHITESPACE - set(range(0x80, 0xA0)) | {0x85}
BREAK = re.compile("\n[" + re.escape("".join(map(chr, sorted(WHITESPACE)))) + "]*\n")
STRUCTURAL = {name: re.compile(pattern) for name, pattern in (
    ("labeled_field", rb"\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:"),
    ("phone_id", rb"(?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|"
                 rb"(?:\bx[0-9]{3,5}\b)"),
    ("date_pattern", rb"(?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|"
                     rb"March|April|May|June|July|August|September|October|November|December)"
                     rb"\s+[0-9]{1,2},?\s+[0-9]{4}\b)"),
    ("currency", rb"\$\s?[0-9][0-9,]*(?:\.[0-9]+)?"))}
EMAIL_URL = re.compile(
    rb"""(?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b"""
    rb"""\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?"""
    rb""":[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9"""
    rb"""])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|"""
    rb"""[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0"""
    rb"""c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]"""
    rb"""\.[^\s"]{2,}|www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?"""
    rb"""!www))[a-zA-Z0-9]+\.[^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|e"""
    rb"""du|net|com|co)(?:\.[^\s"]{2,}))""")


def marks(chars, pattern):
    """1.0 for every unit that a match of the byte pattern covers, else 0.0."""
    unit_of_byte = [unit for unit, ch in enumerate(chars) for _ in ch.encode()] + [len(chars)]
    mask = [0.0] * len(chars)
    for match in pattern.finditer("".join(chars).encode()):
        for unit in range(unit_of_byte[match.start()], unit_of_byte[match.end()]):
            mask[unit] = 1.0
    return mask


class ReferenceTokenizer:
    def __init__(self, bundle_dir):
        bundle_dir = pathlib.Path(bundle_dir)
        manifest = json.loads((bundle_dir / "manifest.json").read_text())
        assets = json.loads((bundle_dir / manifest["assets"]["path"]).read_bytes())
        raw = (bundle_dir / manifest["tensor_file"]["path"]).read_bytes()
        weights = {e["name"]: torch.tensor(np.frombuffer(raw, "<f4", e["nbytes"] // 4, e["offset"])
                                           .reshape(e["shape"])) for e in manifest["tensors"]}
        self.language = manifest["language"]
        self.config = config = assets["config"]
        self.unit2id = assets["vocab"]["_unit2id"]
        self.window = config["num_dict_feat"] if config.get("use_dictionary") else 0
        self.words = {word for word in assets.get("lexicon", []) if len(word) >= 2}
        hidden = config["hidden_dim"]
        self.embedding = weights["embeddings.weight"]
        self.rnn = torch.nn.LSTM(self.embedding.shape[1] + config["feat_dim"], hidden,
                                 bidirectional=True, batch_first=True)
        self.rnn2 = torch.nn.LSTM(2 * hidden, hidden, bidirectional=True, batch_first=True)
        for prefix, lstm in (("rnn", self.rnn), ("rnn2", self.rnn2)):
            lstm.load_state_dict({name: weights[f"{prefix}.{name}"] for name in lstm.state_dict()})
        self.heads = ["tok", "sent"] + (["mwt"] if config["use_mwt"] else [])
        self.first = {h: (weights[f"{h}_clf.weight"], weights[f"{h}_clf.bias"]) for h in self.heads}
        self.second = {h: weights[f"{h}_clf2.weight"] for h in self.heads}

    def paragraphs(self, text):
        # A newline and a whitespace run holding another newline end a paragraph.
        breaks = [x for match in BREAK.finditer(text) for x in match.span()]
        result = []
        for a, b in zip([0] + breaks[1::2], breaks[::2] + [len(text)]):
            while b > a and ord(text[b - 1]) in TRAILING:
                b -= 1
            paragraph = []
            for i in range(a, b):
                if self.config["skip_newline"] and text[i] == "\n":
                    continue
                if ord(text[i]) not in WHITESPACE:
                    paragraph.append((text[i], i))
                elif not paragraph or paragraph[-1][0] != " ":
                    paragraph.append((" ", i))
            if paragraph:
                result.append(paragraph)
        return result

    def features(self, paragraph):
        chars = [ch for ch, _ in paragraph]
        n, names = len(chars), self.config["feat_funcs"]
        simple = {"space_before": lambda ch: ch == " ", "capitalized": str.isupper,
                  "numeric": lambda ch: unicodedata.category(ch) == "Nd"}
        columns = [[float(simple[name](ch)) for ch in chars] for name in names if name in simple]
        if "end_of_para" in names:
            columns.append([float(i == n - 1) for i in range(n)])
        if "start_of_para" in names:
            columns.append([float(i == 0) for i in range(n)])
        columns += [marks(chars, pattern) for name, pattern in STRUCTURAL.items() if name in names]
        out = torch.tensor(columns, dtype=torch.float32).reshape(len(columns), n).T
        return torch.cat([out, self._lexicon_features(chars)], dim=1)

    def _lexicon_features(self, chars):
        # Lexicon words: the unit and its lower-cased successors, or predecessors and the unit.
        n, window = len(chars), self.window
        values = torch.zeros(n, 2 * window)
        for i in range(n):
            for w in range(1, window + 1):
                after = chars[i] + "".join(ch.lower() for ch in chars[i + 1:i + w + 1])
                before = "".join(ch.lower() for ch in chars[i - w:i]) + chars[i]
                values[i, w - 1] = float(i + w < n and after in self.words)
                values[i, window + w - 1] = float(w <= i and before in self.words)
        return values

    @torch.no_grad()
    def scores(self, ids, features):
        """Log-probabilities of the labels, [units, 3 or 5], of one window."""
        x = torch.cat([self.embedding[ids], features], dim=-1).unsqueeze(0)
        h1 = self.rnn(x)[0]
        first = {h: torch.nn.functional.linear(h1, *self.first[h]) for h in self.heads}
        if self.config["hier_invtemp"] > 0:
            h1 = h1 * (1 - torch.sigmoid(-first["tok"] * self.config["hier_invtemp"]))
        h2 = self.rnn2(h1)[0]
        total = {h: first[h] + h2 @ self.second[h].T for h in self.heads}
        yes = {h: torch.nn.functional.logsigmoid(total[h]) for h in self.heads}
        no = {h: torch.nn.functional.logsigmoid(-total[h]) for h in self.heads}
        token = [yes["tok"] + no["sent"], yes["tok"] + yes["sent"]]
        if "mwt" in self.heads:
            token = [t + no["mwt"] for t in token] + [t + yes["mwt"] for t in token]
        return torch.cat([no["tok"]] + token, dim=-1)[0]

    def label_paragraph(self, paragraph):
        """Labels after the last-unit and e-mail/URL rules, and their margins."""
        n, features = len(paragraph), self.features(paragraph)
        ids = torch.tensor([self.unit2id.get(ch, self.unit2id["<UNK>"]) for ch, _ in paragraph])
        labels, margins, start = [], [], 0
        while start < n:
            window = min(n - start, WINDOW)
            logp = self.scores(ids[start:start + window], features[start:start + window])
            best = logp.topk(2, dim=-1).values
            window_labels = logp.argmax(dim=-1).tolist()
            ends = [k + 1 for k, label in enumerate(window_labels) if label in (2, 4)]
            keep = ends[-1] if ends and start + window < n else window
            labels += window_labels[:keep]
            margins += (best[:keep, 0] - best[:keep, 1]).tolist()
            start += keep
        labels[-1] = {0: 2, 1: 2, 3: 4}.get(labels[-1], labels[-1])
        # A run of units that e-mail addresses and URLs cover is one token.
        marked = marks([ch for ch, _ in paragraph], EMAIL_URL) + [0.0]
        for i in range(n):
            if marked[i]:
                labels[i] = 0 if marked[i + 1] else labels[i] or 1
        return labels, margins

    def tokenize(self, text):
        drop_spaces = self.config["lang"][:2] in ("zh", "ja", "ko")
        sentences = []
        for paragraph in self.paragraphs(text):
            labels, _ = self.label_paragraph(paragraph)
            sentence, buffer = [], []
            for i, (ch, _) in enumerate(paragraph):
                buffer.append(i)
                label = 2 if self.config["shorthand"] == "la_ittb" and ch in ":;" else labels[i]
                if label < 1:
                    continue
                units = [k for k in buffer if paragraph[k][0] != " "]
                token = "".join(paragraph[k][0] for k in buffer).lstrip(" ")
                buffer = []
                if not units:
                    continue
                token = token.replace(" ", "") if drop_spaces else token
                token = "<UNK>" if i - units[0] >= WINDOW else token
                sentence.append([token, paragraph[units[0]][1], paragraph[units[-1]][1] + 1,
                                 label in (3, 4)])
                if label in (2, 4):
                    sentences.append(sentence)
                    sentence = []
            if sentence:
                sentences.append(sentence)
        return sentences


SENTENCES = [
    "Mr. Smith of Acme Inc. paid $1,250.00 on 12/05/2020, not $3", "Call (555) 123-4567 or x1234",
    "Mail john.doe@example.com or see http://www.example.com/path?q=1 and www.wikipedia.org",
    "Name: Value; Phone Number: 555-1234", "Zoë said “quoted” things in 東京 😀 (e.g. 3.14)",
    "The company said that people in the city would not go", "It's 20% of 1,000 on January 5, 2021",
    "A.B.C. and U.S. results were reported by García", "the market and the report of the year"]


def mixed_english_text(size, seed=0, paragraph_sentences=(1, 12)):
    """About `size` characters of English-like text: names, numbers, dates, e-mail
    addresses, URLs, abbreviations, some non-ASCII, paragraph breaks and odd spacing."""
    rng, text = random.Random(seed), ""
    while len(text) < size:
        sentences = [rng.choice(SENTENCES) + rng.choice([".", "!", "?", "...", '."'])
                     for _ in range(rng.randint(*paragraph_sentences))]
        text += rng.choice([" ", "  ", "\n", " \t"]).join(sentences)
        text += rng.choice(["\n\n", "\n \n", "\r\n\r\n", "\n\n\n"])
    return text[:size]
