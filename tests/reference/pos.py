"""Eager PyTorch model of the POS tagger, written from its equations: word, pretrained and
character features, a highway BiLSTM (nn.LSTM over packed sequences), a UPOS classifier and
bilinear XPOS and feature classifiers conditioned on the predicted UPOS embedding."""
import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence, pad_sequence

from reference.charlm import CharLMReference

QUESTION = {"?", "\uff1f", "\ufe16", "\ufe56", "\u2047"}
EXCLAMATION = {"!", "\uff01", "\ufe15", "\ufe57", "\u203c"}


def word_form(word: str) -> str:
    marks = QUESTION | EXCLAMATION
    if len(word) >= 2 and all(ch in marks for ch in word):
        return "?" if word[0] in QUESTION else "!"
    return word


def margin(logits):
    """Predicted ids and the gap between the two best scores, per row."""
    top = logits.topk(min(2, logits.shape[1]), dim=1)
    gap = top.values[:, 0] - top.values[:, 1] if logits.shape[1] > 1 else torch.full(
        (logits.shape[0],), float("inf"))
    return top.indices[:, 0], gap


def batches(lengths, batch_size, max_tokens):
    """Index lists of sentences (longest first, stable) cut under both budgets."""
    order = sorted((i for i, n in enumerate(lengths) if n > 0), key=lambda i: -lengths[i])
    out, s = [], 0
    while s < len(order):
        longest, m = lengths[order[s]], 0
        while m < len(order) - s and m + 1 <= batch_size and (m + 1) * longest <= max_tokens:
            m += 1
        m = max(m, 1)
        out.append(order[s:s + m])
        s += m
    return out


class POSReference:
    """``transformer(words)``: the transformer's [n, hidden] word rows of one sentence, for
    a model that uses them."""

    def __init__(self, tensors: dict, assets: dict, transformer=None):
        self.transformer = transformer
        self.t = tensors
        self.config = c = assets["config"]
        vocab = assets["vocab"]
        self.word_vocab = vocab["word"]["_unit2id"]
        self.lower = vocab["word"].get("lower", False)
        self.char_vocab = vocab["char"]["_unit2id"]
        self.pretrain_vocab = assets["pretrain_vocab"]["_unit2id"]
        self.upos = vocab["upos"]["_id2unit"]
        self.composite = vocab["_key2class"]["xpos"] == "XPOSVocab"
        if self.composite:
            items = vocab["xpos"]["_id2unit"]
            self.components = [items[k] for k in sorted(items, key=int)]
            self.sep = vocab["xpos"]["sep"]
        else:
            self.xpos = vocab["xpos"]["_id2unit"]
            self.ignore = bool(vocab["xpos"].get("ignore"))
        self.feats = sorted(vocab["feats"]["_id2unit"].items(), key=lambda kv: kv[0].encode())
        self.batch_size = c.get("batch_size") or 250
        self.max_tokens = c.get("batch_maximum_tokens") or 5000
        H, L = c["hidden_dim"], c["num_layers"]
        self.layers = []
        for k in range(L):
            w_ih = tensors[f"taggerlstm.lstm.{k}.lstm.weight_ih_l0"]
            lstm = nn.LSTM(w_ih.shape[1], H, bidirectional=True, batch_first=True)
            for name, param in lstm.named_parameters():
                param.data.copy_(tensors[f"taggerlstm.lstm.{k}.lstm.{name}"])
            state = (tensors["taggerlstm_h_init"][2 * k:2 * k + 2],
                     tensors["taggerlstm_c_init"][2 * k:2 * k + 2])
            self.layers.append((lstm, state, k))
        self.charlms = None
        if c.get("charlm"):
            self.charlms = [CharLMReference(
                {k[len(p):]: v for k, v in tensors.items() if k.startswith(p)}, assets["charlm"][d])
                for p, d in (("charmodel_forward.", "forward"), ("charmodel_backward.", "backward"))]
        else:
            C = c["char_hidden_dim"]
            self.char_lstm = nn.LSTM(c["char_emb_dim"], C, batch_first=True)
            for name, param in self.char_lstm.named_parameters():
                param.data.copy_(tensors[f"charmodel.charlstm.lstm.{name}"])

    def char_features(self, forms):
        """[n, C]: per word, sum over its characters of h_t * sigmoid(attn h_t), packed."""
        if any(len(f) == 0 for f in forms):
            raise ValueError("POS cannot encode an empty word")
        ids = [torch.tensor([self.char_vocab.get(ch, 1) for ch in f]) for f in forms]
        emb = F.embedding(pad_sequence(ids, batch_first=True), self.t["charmodel.char_emb.weight"])
        packed = pack_padded_sequence(emb, [len(f) for f in forms], batch_first=True,
                                      enforce_sorted=False)
        state = tuple(self.t[f"charmodel.charlstm_{x}_init"].expand(-1, len(forms), -1).contiguous()
                      for x in "hc")
        out, _ = pad_packed_sequence(self.char_lstm(packed, state)[0], batch_first=True)
        gates = torch.sigmoid(out @ self.t["charmodel.char_attn.weight"].T)
        return (out * gates).sum(1)  # padding rows are zero

    def inputs(self, sentences):
        """One [n, D] input tensor per sentence."""
        forms = [[word_form(wd) for wd in s] for s in sentences]
        flat = [f for s in forms for f in s]
        word_ids = torch.tensor([self.word_vocab.get(f.lower() if self.lower else f, 1) for f in flat])
        pre_ids = torch.tensor([self.pretrain_vocab.get(f.lower().replace(" ", "\u00a0"), 1)
                                for f in flat])
        blocks = [F.embedding(word_ids, self.t["word_emb.weight"]),
                  F.embedding(pre_ids, self.t["pretrained_emb.weight"]) @ self.t["trans_pretrained.weight"].T]
        if self.charlms is None:
            blocks.append(self.char_features(flat) @ self.t["trans_char.weight"].T)
        else:
            for lm, direction in zip(self.charlms, ("forward", "backward")):
                rows = torch.cat(lm.encode_many([s for s in sentences if s]))
                if self.config.get("charlm_transform_dim", 0) >= 1:
                    rows = rows @ self.t[f"charmodel_{direction}_transform.weight"].T
                blocks.append(rows)
        if self.config.get("bert_model") is not None:
            blocks.append(torch.cat([self.transformer(s) for s in sentences]))
        rows = torch.cat(blocks, 1)
        return list(rows.split([len(s) for s in sentences]))

    def encode(self, xs):
        """Highway BiLSTM over a list of [n_i, D] inputs run as one packed batch."""
        lengths = [x.shape[0] for x in xs]
        x = pad_sequence(xs, batch_first=True)
        for lstm, (h0, c0), k in self.layers:
            state = (h0.expand(-1, len(xs), -1).contiguous(), c0.expand(-1, len(xs), -1).contiguous())
            packed = pack_padded_sequence(x, lengths, batch_first=True, enforce_sorted=False)
            out, _ = pad_packed_sequence(lstm(packed, state)[0], batch_first=True,
                                         total_length=x.shape[1])
            t = torch.tanh(F.linear(x, self.t[f"taggerlstm.highway.{k}.weight"],
                                    self.t[f"taggerlstm.highway.{k}.bias"]))
            g = torch.sigmoid(F.linear(x, self.t[f"taggerlstm.gate.{k}.weight"],
                                       self.t[f"taggerlstm.gate.{k}.bias"]))
            x = out + g * t
        return torch.cat([x[i, :n] for i, n in enumerate(lengths)])

    def bilinear(self, hidden, cond, prefix):
        ones = torch.ones(hidden.shape[0], 1)
        return F.bilinear(torch.cat([hidden, ones], 1), torch.cat([cond, ones], 1),
                          self.t[prefix + ".weight"], self.t[prefix + ".bias"])

    def classify(self, x):
        """Per row: (upos, xpos, feats) and the smallest decision margin."""
        t = self.t
        u, gap = margin(F.linear(F.relu(F.linear(x, t["upos_hid.weight"], t["upos_hid.bias"])),
                                 t["upos_clf.weight"], t["upos_clf.bias"]))
        cond = F.embedding(u, t["upos_emb.weight"])
        hx = F.relu(F.linear(x, t["xpos_hid.weight"], t["xpos_hid.bias"]))
        hf = F.relu(F.linear(x, t["ufeats_hid.weight"], t["ufeats_hid.bias"]))
        gaps = [gap]
        if self.composite:
            comps = []
            for k in range(len(self.components)):
                ids, g = margin(self.bilinear(hx, cond, f"xpos_clf.{k}.W_bilin"))
                comps.append(ids)
                gaps.append(g)
        else:
            xid, g = margin(self.bilinear(hx, cond, "xpos_clf.W_bilin"))
            gaps.append(g)
        feat_ids = []
        for k in range(len(self.feats)):
            ids, g = margin(self.bilinear(hf, cond, f"ufeats_clf.{k}.W_bilin"))
            feat_ids.append(ids)
            gaps.append(g)
        out = []
        for i in range(x.shape[0]):
            if self.composite:
                parts = [self.components[k][int(c[i])] for k, c in enumerate(comps) if int(c[i]) != 2]
                xpos = self.sep.join(parts) or "_"
            else:
                v = int(xid[i])
                xpos = "_" if v == 2 and self.ignore else self.xpos[v]
            feats = "|".join(f"{name}={values[int(f[i])]}" for (name, values), f in
                             zip(self.feats, feat_ids) if int(f[i]) != 2) or "_"
            out.append(((self.upos[int(u[i])], xpos, feats), min(float(g[i]) for g in gaps)))
        return out

    @torch.inference_mode()
    def tag(self, sentences, batched=False):
        """Per sentence, a list of ((upos, xpos, feats), margin); one sentence at a time, or in
        the engine's length-sorted batches."""
        groups = (batches([len(s) for s in sentences], self.batch_size, self.max_tokens) if batched
                  else [[i] for i, s in enumerate(sentences) if s])
        result = [[] for _ in sentences]
        for group in groups:
            xs = self.inputs([sentences[i] for i in group])
            rows = self.classify(self.encode(xs))
            for i in group:
                result[i], rows = rows[:len(sentences[i])], rows[len(sentences[i]):]
        return result
