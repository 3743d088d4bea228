"""Eager PyTorch model of the dependency parser's network, written from its equations:
input rows (embeddings, the character LSTM with gated pooling or two character LMs),
the highway BiLSTM (nn.LSTM per layer), and the deep biaffine arc and relation scores
(einsum, rows = dependents, columns = heads) with optional linearization and distance."""
import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

from reference.charlm import CharLMReference

QUESTION = {"?", "\uff1f", "\ufe16", "\ufe56", "\u2047"}
EXCLAMATION = {"!", "\uff01", "\ufe15", "\ufe57", "\u203c"}


def fold(text: str) -> str:
    if len(text) >= 2 and all(c in QUESTION or c in EXCLAMATION for c in text):
        return "?" if text[0] in QUESTION else "!"
    return text


def _lstm(weights: dict, prefix: str, bidirectional: bool) -> nn.LSTM:
    ih = weights[prefix + "weight_ih_l0"]
    lstm = nn.LSTM(ih.shape[1], ih.shape[0] // 4, batch_first=True, bidirectional=bidirectional)
    for name, param in lstm.named_parameters():
        param.data.copy_(weights[prefix + name])
    return lstm.eval()


class DepparseReference:
    """``transformer_rows(texts)``: the transformer's word rows with both endpoints,
    [n + 2, H], for a bundle with transformer features."""

    def __init__(self, tensors: dict, assets: dict, transformer_rows=None):
        self.t = tensors
        self.transformer_rows = transformer_rows
        config, vocab = assets["config"], assets["vocab"]
        self.config = config
        self.layers = config["num_layers"]
        self.charlm = bool(config.get("charlm"))
        self.linearization = bool(config.get("linearization"))
        self.distance = bool(config.get("distance"))
        self.batch_size = config.get("batch_size") or 5000
        self.vocab = vocab
        self.pretrain = assets["pretrain_vocab"]["_unit2id"]
        self.composite = vocab["_key2class"]["xpos"] == "XPOSVocab"
        xpos = vocab["xpos"]
        if self.composite:
            self.sep = xpos["sep"]
            self.components = [xpos["_unit2id"][k] for k in sorted(xpos["_unit2id"], key=int)]
        else:
            self.ignore = bool(xpos.get("ignore"))
        if self.charlm:
            self.charlms = [CharLMReference({k[len(f"charmodel_{d}."):]: v for k, v in tensors.items()
                                             if k.startswith(f"charmodel_{d}.")}, assets["charlm"][d])
                            for d in ("forward", "backward")]
        else:
            self.char_lstm = _lstm(tensors, "charmodel.charlstm.lstm.", False)
        self.highway = [_lstm(tensors, f"parserlstm.lstm.{k}.lstm.", True) for k in range(self.layers)]

    @staticmethod
    def _id(units: dict, key: str) -> int:
        return units.get(key, 1)

    def _char_vector(self, ids):
        e = self.t["charmodel.char_emb.weight"][torch.tensor(ids)].unsqueeze(0)
        state = (self.t["charmodel.charlstm_h_init"], self.t["charmodel.charlstm_c_init"])
        out, _ = self.char_lstm(e, state)
        gate = torch.sigmoid(out @ self.t["charmodel.char_attn.weight"].T)
        return (out * gate).sum(1)[0]

    @torch.inference_mode()
    def features(self, words, charlm_rows=None):
        """[n + 1, D] for word dicts; charlm_rows: (forward, backward) rows or None."""
        v, lower = self.vocab, lambda s, flag: s.lower() if flag else s
        ids = {k: [3] for k in ("word", "lemma", "upos", "xpos", "pretrain")}
        comps = [[3] for _ in (self.components if self.composite else [])]
        chars = [self._char_vector([3])] if not self.charlm else None
        for word in words:
            folded = fold(word["text"])
            ids["word"].append(self._id(v["word"]["_unit2id"], lower(folded, v["word"].get("lower"))))
            lemma = word.get("lemma", "_")
            ids["lemma"].append(self._id(v["lemma"]["_unit2id"], lower(lemma, v["lemma"].get("lower"))))
            ids["upos"].append(self._id(v["upos"]["_unit2id"], word.get("upos", "_")))
            tag = word.get("xpos", "_")
            if self.composite:
                parts = [] if tag == "_" else (list(tag) if self.sep == "" else tag.split(self.sep))
                for k, units in enumerate(self.components):
                    comps[k].append(self._id(units, parts[k]) if k < len(parts) else 2)
            else:
                ids["xpos"].append(2 if tag == "_" and self.ignore else self._id(v["xpos"]["_unit2id"], tag))
            ids["pretrain"].append(self._id(self.pretrain, folded.lower().replace(" ", "\u00a0")))
            if chars is not None:
                chars.append(self._char_vector([self._id(v["char"]["_unit2id"], c) for c in folded]))
        emb = {k: torch.tensor(x) for k, x in ids.items()}
        t = self.t
        pos = t["upos_emb.weight"][emb["upos"]]
        if self.composite:
            for k, c in enumerate(comps):
                pos = pos + t[f"xpos_emb.{k}.weight"][torch.tensor(c)]
        else:
            pos = pos + t["xpos_emb.weight"][emb["xpos"]]
        blocks = [t["pretrained_emb.weight"][emb["pretrain"]] @ t["trans_pretrained.weight"].T,
                  t["word_emb.weight"][emb["word"]], t["lemma_emb.weight"][emb["lemma"]], pos, pos]
        if chars is not None:
            blocks.append(torch.stack(chars) @ t["trans_char.weight"].T)
        else:
            if charlm_rows is None:
                texts = [["\n"] + [w["text"] for w in words]]
                charlm_rows = [m.encode_many(texts)[0] for m in self.charlms]
            blocks += list(charlm_rows)
        if self.transformer_rows is not None:
            blocks.append(self.transformer_rows([w["text"] for w in words])[:-1])
        return torch.cat(blocks, 1)

    @torch.inference_mode()
    def encode(self, padded, lengths):
        """Highway BiLSTM over [B, L, D] padded rows with their lengths (longest first)."""
        x = padded
        for k, lstm in enumerate(self.highway):
            B = x.shape[0]
            state = tuple(self.t[f"parserlstm_{s}_init"][2 * k:2 * k + 2].expand(-1, B, -1).contiguous()
                          for s in ("h", "c"))
            packed = pack_padded_sequence(x, lengths, batch_first=True)
            r, _ = pad_packed_sequence(lstm(packed, state)[0], batch_first=True, total_length=x.shape[1])
            gate = torch.sigmoid(F.linear(x, self.t[f"parserlstm.gate.{k}.weight"], self.t[f"parserlstm.gate.{k}.bias"]))
            high = torch.tanh(F.linear(x, self.t[f"parserlstm.highway.{k}.weight"],
                                       self.t[f"parserlstm.highway.{k}.bias"]))
            x = r + gate * high
        return x

    def biaffine(self, x, name):
        t = self.t
        h1 = torch.relu(F.linear(x, t[f"{name}.W1.weight"], t[f"{name}.W1.bias"]))
        h2 = torch.relu(F.linear(x, t[f"{name}.W2.weight"], t[f"{name}.W2.bias"]))
        one = torch.ones(*x.shape[:2], 1)
        h1, h2 = torch.cat([h1, one], 2), torch.cat([h2, one], 2)
        return torch.einsum("bip,pqo,bjq->bijo", h1, t[f"{name}.scorer.W_bilin.weight"], h2) \
            + t[f"{name}.scorer.W_bilin.bias"]

    @torch.inference_mode()
    def score(self, x, mask=None):
        n = x.shape[1]
        arc = self.biaffine(x, "unlabeled")[..., 0]
        label = self.biaffine(x, "deprel")
        head, dep = torch.meshgrid(torch.arange(n), torch.arange(n), indexing="xy")
        offset = (head - dep).float()  # [i][j] = j - i
        if self.linearization:
            arc = arc + F.logsigmoid(self.biaffine(x, "linearization")[..., 0] * torch.sign(offset))
        if self.distance:
            predicted = 1 + F.softplus(self.biaffine(x, "distance")[..., 0])
            arc = arc - torch.log((offset.abs() - predicted) ** 2 / 2 + 1)
        arc = arc.masked_fill(torch.eye(n, dtype=torch.bool), float("-inf"))
        if mask is not None:
            arc = arc.masked_fill(~mask[:, None, :], float("-inf"))
        return F.log_softmax(arc, 2), F.log_softmax(label, 3)

    def scores_one(self, words):
        """(arc [n+1, n+1], label [n+1, n+1, L]) of one sentence on its own."""
        x = self.features(words)
        arc, label = self.score(self.encode(x.unsqueeze(0), [x.shape[0]]))
        return arc[0], label[0]

    def scores_batched(self, sentences):
        """Per sentence its cut (arc, label), from longest-first padded batches of at most
        batch_size rows (at least one sentence); None for a sentence without words."""
        out = [None] * len(sentences)
        for batch in self.batched_scores(sentences):
            for i, arc, label in batch:
                out[i] = (arc, label)
        return out

    def batched_scores(self, sentences):
        """The batches of scores_batched one at a time, each a list of (sentence index, arc,
        label), so a caller can decode a batch and drop its scores before the next."""
        rows = None
        if self.charlm:
            texts = [["\n"] + [w["text"] for w in s] for s in sentences]
            rows = list(zip(*(m.encode_many(texts) for m in self.charlms)))
        inputs = [self.features(s, rows[i] if rows else None) if s else None
                  for i, s in enumerate(sentences)]
        order = sorted((i for i, s in enumerate(sentences) if s), key=lambda i: -len(sentences[i]))
        start = 0
        while start < len(order):
            longest = len(sentences[order[start]]) + 1
            k = max(1, min(len(order) - start, self.batch_size // longest))
            batch = order[start:start + k]
            lengths = [len(sentences[i]) + 1 for i in batch]
            padded = torch.zeros(k, longest, inputs[batch[0]].shape[1])
            mask = torch.zeros(k, longest, dtype=torch.bool)
            for m, i in enumerate(batch):
                padded[m, :lengths[m]] = inputs[i]
                mask[m, :lengths[m]] = True
            encoded = self.encode(padded, lengths)
            # The scorer reads padding rows as zeros.
            encoded = encoded * mask[..., None]
            arc, label = self.score(encoded, mask)
            yield [(i, arc[m, :lengths[m], :lengths[m]], label[m, :lengths[m], :lengths[m]])
                   for m, i in enumerate(batch)]
            start += k
