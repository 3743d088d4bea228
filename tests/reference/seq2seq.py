"""Eager PyTorch model of the character encoder-decoder, written from its equations and
sharing no code with the engine: an nn.LSTM encoder, an nn.LSTMCell decoder, the rest
plain tensor operations over weights given by bundle name."""
from __future__ import annotations

import dataclasses
import math

import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

PAD, UNK, SOS, EOS = 0, 1, 2, 3
MASKED = -1e12


def encode_word(unit2id: dict, n_units: int, word: str):
    """SOS, an id per code point (unknown ones numbered after the vocabulary), EOS."""
    ids, oov = [SOS], []
    for ch in word:
        if ch not in unit2id and ch not in oov:
            oov.append(ch)
        ids.append(unit2id[ch] if ch in unit2id else n_units + oov.index(ch))
    return ids + [EOS], oov


def bilstm(tensors: dict, input_dim: int, hidden_dim: int, layers: int) -> nn.LSTM:
    """The encoder: a bidirectional LSTM of hidden_dim // 2 per direction."""
    lstm = nn.LSTM(input_dim, hidden_dim // 2, layers, bidirectional=True, batch_first=True)
    lstm.load_state_dict({f"{kind}_l{k}{sfx}": tensors[f"encoder.{kind}_l{k}{sfx}"]
                          for k in range(layers) for sfx in ("", "_reverse")
                          for kind in ("weight_ih", "weight_hh", "bias_ih", "bias_hh")})
    return lstm


@dataclasses.dataclass
class Decoded:
    tokens: list  # emitted ids, without EOS
    text: str
    edit: int | None
    steps: list = dataclasses.field(default_factory=list)  # log-probability rows, if kept
    margin: float = math.inf  # the smallest gap between competing choices


class Seq2SeqReference:
    def __init__(self, tensors: dict, config: dict, char_vocab: dict, pos_vocab=None):
        self.t = tensors
        self.vocab_size, self.max_dec_len = config["vocab_size"], config["max_dec_len"]
        self.beam_size = config.get("beam_size") or 1
        self.batch_size = config.get("batch_size") or 50
        self.use_pos, self.use_edit, self.use_copy = (bool(config.get(k))
                                                      for k in ("pos", "edit", "copy"))
        self.id2unit, self.unit2id = char_vocab["_id2unit"], char_vocab["_unit2id"]
        self.pos_unit2id = pos_vocab["_unit2id"] if pos_vocab else None
        E, H = config["emb_dim"], config["hidden_dim"]
        self.encoder = bilstm(tensors, E, H, config["num_layers"])
        self.cell = nn.LSTMCell(E, H)
        self.cell.load_state_dict({k: tensors[f"decoder.lstm_cell.{k}"]
                                   for k in ("weight_ih", "weight_hh", "bias_ih", "bias_hh")})

    def _embed(self, ids):
        ids = torch.where(ids >= self.vocab_size, torch.full_like(ids, UNK), ids)
        return F.embedding(ids, self.t["embedding.weight"], padding_idx=PAD)

    def _text(self, tokens, oov):
        units = self.id2unit + oov
        return "".join(units[t] if 0 <= t < len(units) else "<UNK>" for t in tokens)

    def _encode(self, rows, tags):
        """A batch of id lists, longest first: memory, h, c, source ids, padding mask, edits."""
        src = torch.zeros(len(rows), len(rows[0]), dtype=torch.long)
        for b, r in enumerate(rows):
            src[b, :len(r)] = torch.tensor(r)
        x, lengths = self._embed(src), torch.tensor([len(r) for r in rows])
        if self.use_pos:
            if None in tags:
                raise ValueError("this seq2seq bundle requires a POS tag")
            p = torch.tensor([self.pos_unit2id.get(tag, UNK) for tag in tags])
            x = torch.cat([F.embedding(p, self.t["pos_embedding.weight"]).unsqueeze(1), x], 1)
            lengths = lengths + 1
        out, (hn, cn) = self.encoder(pack_padded_sequence(x, lengths, batch_first=True))
        memory = pad_packed_sequence(out, batch_first=True, total_length=x.shape[1])[0]
        h, c = torch.cat([hn[-1], hn[-2]], 1), torch.cat([cn[-1], cn[-2]], 1)
        edits = [None] * len(rows)
        if self.use_edit:
            hidden = F.relu(F.linear(h, self.t["edit_clf.0.weight"], self.t["edit_clf.0.bias"]))
            scores = F.linear(hidden, self.t["edit_clf.2.weight"], self.t["edit_clf.2.bias"])
            edits = scores.argmax(1).tolist()
        mask = torch.arange(x.shape[1])[None, :] >= lengths[:, None]
        return memory, h, c, src, mask, edits

    def _limits(self, rows):
        return torch.tensor([max(self.vocab_size, max(r) + 1) if self.use_copy else self.vocab_size
                             for r in rows])

    def step(self, inp, h, c, memory, src, V, suppress_unk, mask=None, limit=None):
        """One decoder step: log-probabilities over V columns and the new state."""
        t = self.t
        h, c = self.cell(self._embed(inp), (h, c))
        q = F.linear(h, t["decoder.attention_layer.linear_in.weight"])
        scores = torch.einsum("bth,bh->bt", memory, q)
        if mask is not None:
            scores = scores.masked_fill(mask, MASKED)
        context = torch.einsum("bt,bth->bh", torch.softmax(scores, 1), memory)
        ht = torch.tanh(F.linear(torch.cat([context, h], 1),
                                 t["decoder.attention_layer.linear_out.weight"]))
        lp = torch.log_softmax(F.linear(ht, t["dec2vocab.weight"], t["dec2vocab.bias"]), 1)
        if self.use_copy:
            B = lp.shape[0]
            gate = F.linear(ht, t["copy_gate.weight"], t["copy_gate.bias"])
            # The POS position is attended but never copied: renormalise over characters.
            lc = F.logsigmoid(gate) + torch.log_softmax(scores[:, int(self.use_pos):], 1)
            top = lc.max(1, keepdim=True).values
            mass = torch.zeros(B, V, dtype=lp.dtype).scatter_add(1, src, torch.exp(lc - top))
            empty = mass == 0
            copy_lp = (torch.log(mass.masked_fill(empty, 1.0)) + top).masked_fill(empty, MASKED)
            # Columns of unknown characters generate with <UNK>'s score.
            lp = torch.cat([lp, lp[:, UNK:UNK + 1].expand(B, V - self.vocab_size)], 1)
            lp = torch.logaddexp(copy_lp, lp + F.logsigmoid(-gate))
            if limit is not None:
                lp = lp.masked_fill(torch.arange(V)[None, :] >= limit[:, None], MASKED)
        if suppress_unk:
            lp[:, UNK] = -math.inf
        return lp, h, c

    @torch.no_grad()
    def greedy_many(self, words, tags=None, suppress_unk=False, keep_steps=False):
        """Greedy decoding in batches of words sorted longest first; results in input order."""
        tags = tags if tags is not None else [None] * len(words)
        encoded = [encode_word(self.unit2id, len(self.id2unit), w) for w in words]
        order = sorted(range(len(words)), key=lambda i: -len(encoded[i][0]))
        results = [None] * len(words)
        for s in range(0, len(order), self.batch_size):
            idx = order[s:s + self.batch_size]
            rows = [encoded[i][0] for i in idx]
            memory, h, c, src, mask, edits = self._encode(rows, [tags[i] for i in idx])
            limit = self._limits(rows)
            out = [Decoded([], "", e) for e in edits]
            inp, done = torch.full((len(rows),), SOS, dtype=torch.long), [False] * len(rows)
            for _ in range(self.max_dec_len):
                lp, h, c = self.step(inp, h, c, memory, src, int(limit.max()), suppress_unk, mask,
                                     limit)
                top2 = lp.topk(min(2, lp.shape[1]), 1).values
                inp = lp.argmax(1)
                for b, tok in enumerate(inp.tolist()):
                    if done[b]:
                        continue
                    if keep_steps:
                        out[b].steps.append(lp[b, :int(limit[b])].tolist())
                    if top2.shape[1] == 2 and math.isfinite(top2[b, 1]):
                        out[b].margin = min(out[b].margin, float(top2[b, 0] - top2[b, 1]))
                    done[b] = tok == EOS
                    if not done[b]:
                        out[b].tokens.append(tok)
                if all(done):
                    break
            for b, i in enumerate(idx):
                out[b].text = self._text(out[b].tokens, encoded[i][1])
                results[i] = out[b]
        return results

    def greedy(self, word, tag=None, suppress_unk=False) -> Decoded:
        return self.greedy_many([word], [tag], suppress_unk, keep_steps=True)[0]

    @torch.no_grad()
    def beam(self, word, k, tag=None, suppress_unk=False) -> Decoded:
        """Beam search of width k over hypotheses (score, tokens, h, c)."""
        ids, oov = encode_word(self.unit2id, len(self.id2unit), word)
        memory, h, c, src, _, edits = self._encode([ids], [tag])
        V = int(self._limits([ids])[0])
        beam, margin = [(0.0, [SOS], h, c)], math.inf
        for _ in range(self.max_dec_len):
            K = len(beam)
            lp, h2, c2 = self.step(torch.tensor([b[1][-1] for b in beam]),
                                   torch.cat([b[2] for b in beam]), torch.cat([b[3] for b in beam]),
                                   memory.repeat(K, 1, 1), src.repeat(K, 1), V, suppress_unk)
            totals = (lp + torch.tensor([[b[0]] for b in beam], dtype=lp.dtype)).reshape(-1)
            take = min(k, K * V)
            # The margins that decide the result: best against second, and the last
            # kept candidate against the first dropped one.
            ranked = totals.topk(min(take + 1, K * V)).values.tolist()
            finite = [v for v in ranked if math.isfinite(v)]
            if len(finite) >= 2:
                margin = min(margin, finite[0] - finite[1])
            if len(ranked) > take and math.isfinite(ranked[take]):
                margin = min(margin, ranked[take - 1] - ranked[take])
            vals, idx = totals.topk(take)
            beam = [(v, beam[x // V][1] + [x % V], h2[x // V:x // V + 1], c2[x // V:x // V + 1])
                    for v, x in zip(vals.tolist(), idx.tolist())]
            if beam[0][1][-1] == EOS:
                break
        tokens = beam[0][1][1:]
        tokens = tokens[:tokens.index(EOS)] if EOS in tokens else tokens
        return Decoded(tokens, self._text(tokens, oov), edits[0], [], margin)
