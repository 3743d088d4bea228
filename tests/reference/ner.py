"""Eager PyTorch model of the NER tagger, from its equations: summed word and delta embeddings,
a per-word character nn.LSTM (or the two character LMs of reference.charlm), the tagger nn.LSTM,
the classifier chain, a Python Viterbi and the BIOES repair. Also the decision margin of a
decoding and a brute-force best path for small inputs."""
import itertools

import torch
from torch import nn

from reference.charlm import CharLMReference


def _lstm(tensors, prefix, inputs, hidden, layers, dtype):
    lstm = nn.LSTM(inputs, hidden, layers, bidirectional=True, batch_first=True).to(dtype)
    for name, param in lstm.named_parameters():
        param.data.copy_(tensors[prefix + name])
    return lstm


def viterbi(emissions, transitions):
    """Best path (lowest index on ties) of a list of score rows."""
    T = len(transitions)
    score = list(emissions[0])
    back = []
    for row in emissions[1:]:
        new, pointers = [], []
        for j in range(T):
            best, best_k = score[0] + transitions[0][j], 0
            for k in range(1, T):
                candidate = score[k] + transitions[k][j]
                if candidate > best:
                    best, best_k = candidate, k
            new.append(best + row[j])
            pointers.append(best_k)
        back.append(pointers)
        score = new
    path = [max(range(T), key=lambda j: (score[j], -j))]
    for pointers in reversed(back):
        path.append(pointers[path[-1]])
    return path[::-1]


def path_score(emissions, transitions, path):
    return sum(emissions[i][t] for i, t in enumerate(path)) + sum(
        transitions[a][b] for a, b in zip(path, path[1:]))


def brute_force(emissions, transitions):
    """Every path's score; the best path, lowest in lexicographic order among equals."""
    T = len(transitions)
    paths = itertools.product(range(T), repeat=len(emissions))
    return max(paths, key=lambda p: (path_score(emissions, transitions, p), tuple(-t for t in p)))


def margin(emissions, transitions):
    """Best path score minus the best score of any other path (max-marginals), in float64."""
    e = torch.as_tensor(emissions, dtype=torch.float64)
    m = torch.as_tensor(transitions, dtype=torch.float64)
    n = e.shape[0]
    alpha, beta = [e[0]], [torch.zeros(e.shape[1], dtype=torch.float64)]
    for i in range(1, n):
        alpha.append((alpha[-1][:, None] + m).max(0).values + e[i])
    for i in range(n - 2, -1, -1):
        beta.insert(0, (m + e[i + 1][None, :] + beta[0][None, :]).max(1).values)
    best = alpha[-1].max().item()
    gap = float("inf")
    for i in range(n):
        through = (alpha[i] + beta[i]).sort(descending=True).values
        if through.numel() > 1:
            gap = min(gap, best - through[1].item())
    return gap


def repair(tags):
    tags = list(tags)
    n = len(tags)

    def split(tag):
        return (tag[0], tag[2:]) if len(tag) >= 2 and tag[1] == "-" and tag[0] in "BIES" else (None, None)

    for i in range(n):
        prefix, kind = split(tags[i])
        if prefix == "I":
            if i == n - 1 or tags[i + 1] not in (f"I-{kind}", f"E-{kind}"):
                tags[i] = f"E-{kind}"
            if i == 0 or tags[i - 1] not in (f"B-{kind}", f"I-{kind}"):
                tags[i] = f"B-{kind}"
    for i in range(n):
        prefix, kind = split(tags[i])
        if prefix == "B" and (i == n - 1 or tags[i + 1] not in (f"I-{kind}", f"E-{kind}")):
            tags[i] = f"S-{kind}"
        elif prefix == "E" and (i == 0 or tags[i - 1] not in (f"B-{kind}", f"I-{kind}")):
            tags[i] = f"S-{kind}"
    return tags


class NERReference:
    def __init__(self, tensors: dict, assets: dict, transformer_rows=None):
        """``transformer_rows(words)``: the transformer's [n, hidden] word rows."""
        self.transformer_rows = transformer_rows
        self.t, c, v = tensors, assets["config"], assets["vocab"]
        self.c = c
        self.word_ids, self.delta_ids = v["word"]["_unit2id"], v["delta"]["_unit2id"]
        self.char_ids = v["char"]["_unit2id"]
        self.word_lower, self.delta_lower = v["word"].get("lower", False), v["delta"].get("lower", False)
        self.columns = [v["tag"]["_id2unit"][str(k)] for k in range(len(v["tag"]["_id2unit"]))]
        dtype = tensors["word_emb.weight"].dtype
        self.charlms = None
        if c.get("charlm"):
            self.charlms = [CharLMReference({k[len(p):]: x for k, x in tensors.items() if k.startswith(p)},
                                            assets["charlm"][d])
                            for d, p in (("forward", "charmodel_forward."), ("backward", "charmodel_backward."))]
        else:
            self.char_lstm = _lstm(tensors, "charmodel.charlstm.lstm.", c["char_emb_dim"], c["char_hidden_dim"],
                                   c["char_num_layers"], dtype)
        width = tensors["taggerlstm.lstm.weight_ih_l0"].shape[1]
        hidden = tensors["taggerlstm.lstm.weight_hh_l0"].shape[1]
        self.tagger = _lstm(tensors, "taggerlstm.lstm.", width, hidden, c["num_layers"], dtype)

    def features(self, words, charlm_rows=None):
        t, c = self.t, self.c
        lower = c.get("lowercase", True)
        rows = []
        for word in words:
            key = word.lower() if lower else word
            wkey = (key.lower() if self.word_lower else key).replace(" ", "\u00a0")
            dkey = key.lower() if self.delta_lower else key
            wid, did = self.word_ids.get(wkey, 1), self.delta_ids.get(dkey, 1)
            if wid != 1 and did == 1:
                did = 0
            rows.append(t["word_emb.weight"][wid] + t["delta_emb.weight"][did])
        parts = [torch.stack(rows)]
        if c.get("bert_model") is not None:
            parts.append(self.transformer_rows(words).to(parts[0].dtype))
        cased = [w.lower() for w in words] if c.get("char_lowercase") else list(words)
        if self.charlms:
            parts += charlm_rows or [lm.encode_many([cased])[0] for lm in self.charlms]
        else:
            chars = []
            for word in cased:
                if not word:
                    raise ValueError("empty word")
                ids = torch.tensor([[self.char_ids.get(ch, 1) for ch in word]])
                emb = nn.functional.embedding(ids, t["charmodel.char_emb.weight"])
                _, (h, _) = self.char_lstm(emb, (t["charmodel.charlstm_h_init"], t["charmodel.charlstm_c_init"]))
                chars.append(torch.cat([h[-2, 0], h[-1, 0]]))
            parts.append(torch.stack(chars))
        x = torch.cat(parts, 1)
        if c.get("input_transform"):
            x = nn.functional.linear(x, t["input_transform.weight"], t["input_transform.bias"])
        return x

    @torch.inference_mode()
    def scores(self, words, charlm_rows=None):
        """Emission and transition matrices of the decoded column, as lists of floats."""
        t, p = self.t, self.c.get("predict_tagset", 0)
        out, _ = self.tagger(self.features(words, charlm_rows)[None], (t["taggerlstm_h_init"], t["taggerlstm_c_init"]))
        f = out[0]
        previous = None
        for k in range(p + 1):
            inputs = torch.cat([f, previous], 1) if self.c.get("connect_output_layers") and k else f
            previous = nn.functional.linear(inputs, t[f"tag_clfs.{k}.weight"], t[f"tag_clfs.{k}.bias"])
        return previous.float().tolist(), t[f"crits.{p}._transitions"].float().tolist()

    def decode(self, emissions, transitions):
        column = self.columns[self.c.get("predict_tagset", 0)]
        return repair([column[max(i, 4)] for i in viterbi(emissions, transitions)])

    def tag(self, words):
        """Repaired tags and the decision margin."""
        emissions, transitions = self.scores(words)
        return self.decode(emissions, transitions), margin(emissions, transitions)


    @torch.inference_mode()
    def tag_many(self, sentences):
        """Repaired tags of many sentences: the character LMs run in their batched form, the rest
        one sentence at a time."""
        rows = [[None] * len(sentences)] * 2
        if self.charlms:
            cased = [[w.lower() for w in s] if self.c.get("char_lowercase") else s for s in sentences]
            rows = [lm.encode_many(cased) for lm in self.charlms]
        return [self.decode(*self.scores(words, [rows[0][i], rows[1][i]] if self.charlms else None))
                if words else [] for i, words in enumerate(sentences)]
