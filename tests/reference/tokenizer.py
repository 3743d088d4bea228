"""An independent eager-PyTorch tokenizer: paragraphs, features and the two-level
character BiLSTM, written from the model's equations with torch.nn.LSTM and plain
tensor operations. It reads a bundle directory with json and numpy only.

``ReferenceTokenizer(bundle_dir)``:

* ``paragraphs(text)``: list of paragraphs, each a list of (char, index) pairs
  (whitespace runs normalised to one " ").
* ``features(paragraph)``: float32 tensor [units, feat_dim].
* ``scores(ids, features, lengths=None)``: log-probabilities [B, T, 3 or 5].
* ``label_paragraph(paragraph)``: (labels, margins): final labels (after the
  last-label rule and the e-mail/URL rule) and, per unit, the gap between the
  two best log-probabilities of the window that produced its label.
* ``predict(text)``: [(labels, margins)] per paragraph.
* ``tokenize(text)``: sentences as lists of (text, start_char, end_char, mwt).
"""
from __future__ import annotations

import json
import pathlib
import re
import unicodedata

import numpy as np
import torch

WINDOW = 1000

_WHITESPACE = set(range(0x09, 0x0E)) | set(range(0x1C, 0x21)) | set(range(0x80, 0xA1)) | {
    0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000} | set(range(0x2000, 0x200B))
_TRAILING = (_WHITESPACE - set(range(0x80, 0xA0))) | {0x85}

_STRUCTURAL = {
    "labeled_field": rb"\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:",
    "phone_id": rb"(?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|(?:\bx[0-9]{3,5}\b)",
    "date_pattern": rb"(?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|April|May|June|July|August|September|October|November|December)\s+[0-9]{1,2},?\s+[0-9]{4}\b)",
    "currency": rb"\$\s?[0-9][0-9,]*(?:\.[0-9]+)?",
}
_STRUCTURAL_ORDER = ["labeled_field", "phone_id", "date_pattern", "currency"]
_EMAIL_URL = (
    rb"""(?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9]+\.[^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:\.[^\s"]{2,}))""")

STRUCTURAL_PATTERNS = {name: re.compile(pattern) for name, pattern in _STRUCTURAL.items()}
EMAIL_URL_PATTERN = re.compile(_EMAIL_URL)


def load_bundle(bundle_dir):
    """(manifest, assets, {name: float32 tensor}) read with json and numpy."""
    bundle_dir = pathlib.Path(bundle_dir)
    manifest = json.loads((bundle_dir / "manifest.json").read_text())
    assets = json.loads((bundle_dir / manifest["assets"]["path"]).read_bytes())
    raw = np.fromfile(bundle_dir / manifest["tensor_file"]["path"], dtype=np.uint8)
    tensors = {}
    for entry in manifest["tensors"]:
        assert entry["dtype"] == "float32", entry
        data = raw[entry["offset"]:entry["offset"] + entry["nbytes"]].view("<f4")
        tensors[entry["name"]] = torch.from_numpy(data.reshape(entry["shape"]).copy())
    return manifest, assets, tensors


def mark(text_bytes, pattern, unit_of_byte, count):
    mask = [0.0] * count
    for match in pattern.finditer(text_bytes):
        for unit in range(unit_of_byte[match.start()], unit_of_byte[match.end()]):
            mask[unit] = 1.0
    return mask


def byte_map(chars):
    unit_of_byte = []
    for unit, ch in enumerate(chars):
        unit_of_byte += [unit] * len(ch.encode("utf-8"))
    unit_of_byte.append(len(chars))
    return unit_of_byte


class ReferenceTokenizer(torch.nn.Module):
    def __init__(self, bundle_dir):
        super().__init__()
        manifest, assets, tensors = load_bundle(bundle_dir)
        config = assets["config"]
        self.config = config
        self.language = manifest["language"]
        self.unit2id = assets["vocab"]["_unit2id"]
        self.pad_id = self.unit2id["<PAD>"]
        self.unk_id = self.unit2id["<UNK>"]
        self.feat_funcs = list(config["feat_funcs"])
        self.use_mwt = config["use_mwt"]
        self.invtemp = float(config["hier_invtemp"])
        self.skip_newline = config["skip_newline"]
        self.use_dictionary = bool(config.get("use_dictionary") or False)
        self.dict_window = config["num_dict_feat"] if self.use_dictionary else 0
        self.words, self.prefixes, self.suffixes = set(), set(), set()
        if self.use_dictionary:
            for word in assets["lexicon"]:
                if len(word) < 2:
                    continue
                self.words.add(word)
                for k in range(1, len(word)):
                    self.prefixes.add(word[:k])
                    self.suffixes.add(word[-k:])

        hidden = config["hidden_dim"]
        embeddings = tensors["embeddings.weight"]
        self.embedding = torch.nn.Embedding(embeddings.shape[0], embeddings.shape[1],
                                            padding_idx=self.pad_id)
        self.embedding.weight.data.copy_(embeddings)
        self.rnn = self._lstm(tensors, "rnn", embeddings.shape[1] + config["feat_dim"], hidden)
        self.rnn2 = self._lstm(tensors, "rnn2", 2 * hidden, hidden)
        heads = ["tok", "sent"] + (["mwt"] if self.use_mwt else [])
        self.first = torch.nn.ModuleDict()
        self.second = torch.nn.ModuleDict()
        for head in heads:
            first = torch.nn.Linear(2 * hidden, 1)
            first.weight.data.copy_(tensors[f"{head}_clf.weight"])
            first.bias.data.copy_(tensors[f"{head}_clf.bias"])
            second = torch.nn.Linear(2 * hidden, 1, bias=False)
            second.weight.data.copy_(tensors[f"{head}_clf2.weight"])
            self.first[head] = first
            self.second[head] = second
        self.eval()

    @staticmethod
    def _lstm(tensors, prefix, input_size, hidden):
        lstm = torch.nn.LSTM(input_size, hidden, num_layers=1, bidirectional=True, batch_first=True)
        lstm.load_state_dict({name: tensors[f"{prefix}.{name}"] for name in lstm.state_dict()})
        return lstm

    # -- text -------------------------------------------------------------------------------
    def paragraphs(self, text):
        n = len(text)
        ranges = []
        start = pos = 0
        while pos < n:
            f = text.find("\n", pos)
            if f < 0:
                break
            last = None
            k = f + 1
            while k < n and ord(text[k]) in _WHITESPACE:
                if text[k] == "\n":
                    last = k
                k += 1
            if last is not None:
                ranges.append((start, f))
                start = pos = last + 1
            else:
                pos = f + 1
        ranges.append((start, n))
        result = []
        for a, b in ranges:
            while b > a and ord(text[b - 1]) in _TRAILING:
                b -= 1
            paragraph = []
            for i in range(a, b):
                ch = text[i]
                if self.skip_newline and ch == "\n":
                    continue
                if ord(ch) in _WHITESPACE:
                    if not paragraph or paragraph[-1][0] != " ":
                        paragraph.append((" ", i))
                    continue
                paragraph.append((ch, i))
            if paragraph:
                result.append(paragraph)
        return result

    def features(self, paragraph):
        chars = [ch for ch, _ in paragraph]
        n = len(chars)
        columns = []
        for name in self.feat_funcs:
            if name == "space_before":
                columns.append([1.0 if ch == " " else 0.0 for ch in chars])
            elif name == "capitalized":
                columns.append([1.0 if ch.isupper() else 0.0 for ch in chars])
            elif name == "numeric":
                columns.append([1.0 if unicodedata.category(ch) == "Nd" else 0.0 for ch in chars])
        if "end_of_para" in self.feat_funcs:
            columns.append([1.0 if i == n - 1 else 0.0 for i in range(n)])
        if "start_of_para" in self.feat_funcs:
            columns.append([1.0 if i == 0 else 0.0 for i in range(n)])
        structural = [name for name in _STRUCTURAL_ORDER if name in self.feat_funcs]
        if structural:
            text_bytes = "".join(chars).encode("utf-8")
            unit_of_byte = byte_map(chars)
            for name in structural:
                columns.append(mark(text_bytes, STRUCTURAL_PATTERNS[name], unit_of_byte, n))
        out = torch.tensor(columns, dtype=torch.float32).T.reshape(n, len(columns))
        if self.dict_window:
            out = torch.cat([out, self._lexicon_features(chars)], dim=1)
        assert out.shape[1] == self.config["feat_dim"], (out.shape, self.config["feat_dim"])
        return out

    def _lexicon_features(self, chars):
        n, window = len(chars), self.dict_window
        values = torch.zeros(n, 2 * window)
        for i in range(n):
            forward = backward = chars[i]
            open_forward = open_backward = True
            for w in range(1, window + 1):
                if open_forward and i + w < n:
                    forward = forward + chars[i + w].lower()
                    if forward in self.words:
                        values[i, w - 1] = 1.0
                    open_forward = forward in self.prefixes
                if open_backward and w <= i:
                    backward = chars[i - w].lower() + backward
                    if backward in self.words:
                        values[i, window + w - 1] = 1.0
                    open_backward = backward in self.suffixes
                if not open_forward and not open_backward:
                    break
        return values

    def ids(self, paragraph):
        return torch.tensor([self.unit2id.get(ch, self.unk_id) for ch, _ in paragraph],
                            dtype=torch.long)

    # -- network ----------------------------------------------------------------------------
    def _run_lstm(self, lstm, x, lengths):
        if lengths is None:
            return lstm(x)[0]
        packed = torch.nn.utils.rnn.pack_padded_sequence(x, lengths, batch_first=True)
        out = lstm(packed)[0]
        return torch.nn.utils.rnn.pad_packed_sequence(out, batch_first=True,
                                                      total_length=x.shape[1])[0]

    @torch.no_grad()
    def scores(self, ids, features, lengths=None):
        x = torch.cat([self.embedding(ids), features], dim=-1)
        h1 = self._run_lstm(self.rnn, x, lengths)
        first = {head: layer(h1) for head, layer in self.first.items()}
        if self.invtemp > 0:
            gate = 1 - torch.sigmoid(-first["tok"] * self.invtemp)
            h2_in = h1 * gate
        else:
            h2_in = h1
        h2 = self._run_lstm(self.rnn2, h2_in, lengths)
        total = {head: first[head] + self.second[head](h2) for head in first}
        ls = torch.nn.functional.logsigmoid
        nt, t = ls(-total["tok"]), ls(total["tok"])
        ns, s = ls(-total["sent"]), ls(total["sent"])
        if not self.use_mwt:
            return torch.cat([nt, t + ns, t + s], dim=-1)
        nm, m = ls(-total["mwt"]), ls(total["mwt"])
        return torch.cat([nt, t + ns + nm, t + s + nm, t + ns + m, t + s + m], dim=-1)

    # -- labels -----------------------------------------------------------------------------
    def label_paragraph(self, paragraph):
        n = len(paragraph)
        if n == 0:
            return [], []
        features = self.features(paragraph)
        ids = self.ids(paragraph)
        labels, margins = [], []
        start = 0
        while start < n:
            window = min(n - start, WINDOW)
            logp = self.scores(ids[start:start + window].unsqueeze(0),
                               features[start:start + window].unsqueeze(0))[0]
            best = logp.topk(2, dim=-1).values
            window_labels = logp.argmax(dim=-1).tolist()
            window_margins = (best[:, 0] - best[:, 1]).tolist()
            keep = window
            if start + window < n:
                ends = [k for k, label in enumerate(window_labels) if label in (2, 4)]
                if ends:
                    keep = ends[-1] + 1
            labels += window_labels[:keep]
            margins += window_margins[:keep]
            start += keep
        if labels[-1] in (0, 1):
            labels[-1] = 2
        elif labels[-1] == 3:
            labels[-1] = 4
        self.mask_emails_and_urls(paragraph, labels)
        return labels, margins

    @staticmethod
    def mask_emails_and_urls(paragraph, labels):
        chars = [ch for ch, _ in paragraph]
        text = "".join(chars)
        if "@" not in text and "." not in text:
            return
        marked = mark(text.encode("utf-8"), EMAIL_URL_PATTERN, byte_map(chars), len(chars))
        i = 0
        while i < len(chars):
            if not marked[i]:
                i += 1
                continue
            b = i
            while b + 1 < len(chars) and marked[b + 1]:
                b += 1
            for k in range(i, b):
                labels[k] = 0
            if labels[b] == 0:
                labels[b] = 1
            i = b + 1

    def predict(self, text):
        return [self.label_paragraph(paragraph) for paragraph in self.paragraphs(text)]

    def tokenize(self, text):
        lang = self.config["lang"]
        drop_spaces = len(lang) >= 2 and lang[:2] in ("zh", "ja", "ko")
        sentences = []
        for paragraph in self.paragraphs(text):
            labels, _ = self.label_paragraph(paragraph)
            sentence, buffer = [], []
            for i, (ch, _) in enumerate(paragraph):
                buffer.append(i)
                label = labels[i]
                if self.config["shorthand"] == "la_ittb" and ch in ":;":
                    label = 2
                if label < 1:
                    continue
                units = [k for k in buffer if paragraph[k][0] != " "]
                if not units:
                    buffer = []
                    continue
                first, last = units[0], units[-1]
                token = "".join(paragraph[k][0] for k in buffer).lstrip(" ")
                if drop_spaces:
                    token = token.replace(" ", "")
                if i - first >= WINDOW:
                    token = "<UNK>"
                sentence.append((token, paragraph[first][1], paragraph[last][1] + 1, label in (3, 4)))
                buffer = []
                if label in (2, 4):
                    sentences.append(sentence)
                    sentence = []
            if sentence:
                sentences.append(sentence)
        return sentences


# -- test and benchmark text ------------------------------------------------------------------
_WORDS = ("the of and to in is was for that with as on by at from his her they this which "
          "government company market people world report city year police school water "
          "president research system council economy study history season music "
          "announced said would could include between against during without around").split()
_NAMES = ["John", "Mary", "Smith", "London", "Paris", "Dr.", "Mr.", "Mrs.", "Prof.", "U.S.",
          "Inc.", "St.", "Washington", "Microsoft", "Amazon", "García", "Zoë", "Müller"]
_EXTRAS = ["$1,250.00", "$3", "12/05/2020", "3/4/99", "January 5, 2021", "(555) 123-4567",
           "555-867-5309", "x1234", "john.doe@example.com", "info@mail.example.org",
           "http://www.example.com/path?q=1", "https://docs.python.org/3/library",
           "www.wikipedia.org", "example.co.uk", "e.g.", "i.e.", "etc.", "3.14", "1,000",
           "don't", "can't", "it's", "“quoted”", "naïve", "café", "東京", "😀", "Name: Value",
           "Phone Number: 555-1234", "20%", "#hashtag", "@user", "A.B.C.", "--", "...", "¿Qué?"]


def mixed_english_text(size, seed=0, paragraph_sentences=(1, 12)):
    """About `size` characters of English-like text with numbers, dates, URLs,
    e-mails, abbreviations, some non-ASCII, paragraph breaks and odd spacing."""
    import random

    rng = random.Random(seed)
    parts = []
    length = 0
    while length < size:
        sentences = []
        for _ in range(rng.randint(*paragraph_sentences)):
            words = []
            for k in range(rng.randint(3, 25)):
                roll = rng.random()
                if roll < 0.08:
                    word = rng.choice(_NAMES)
                elif roll < 0.14:
                    word = rng.choice(_EXTRAS)
                else:
                    word = rng.choice(_WORDS)
                    if k == 0:
                        word = word.capitalize()
                if rng.random() < 0.07:
                    word += rng.choice([",", ";", ":", ")"])
                words.append(word)
            sentence = " ".join(words) + rng.choice([".", ".", ".", "!", "?", "...", "\""])
            sentences.append(sentence)
        separator = rng.choice([" ", " ", " ", "  ", "\n", " \t"])
        paragraph = separator.join(sentences)
        parts.append(paragraph)
        parts.append(rng.choice(["\n\n", "\n\n", "\n \n", "\r\n\r\n", "\n\n\n"]))
        length += len(paragraph) + 2
    return "".join(parts)[:size]
