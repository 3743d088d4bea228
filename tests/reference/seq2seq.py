"""Eager PyTorch model of the character encoder-decoder, written from its equations.

It checks the engine and shares no code with it: the encoder is a torch.nn.LSTM, the
decoder an nn.LSTMCell, everything else plain tensor operations. Weights come as a
name-to-tensor dictionary (the names of a model bundle) and a configuration dictionary.
Everything runs on the CPU in the dtype of the weights (float32 in the tests).
"""
from __future__ import annotations

import dataclasses
import math

import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

PAD, UNK, SOS, EOS = 0, 1, 2, 3
SPECIALS = ["<PAD>", "<UNK>", "<SOS>", "<EOS>"]
MASKED = -1e12


def encode_word(unit2id: dict, n_units: int, word: str):
    """Ids of a word (SOS, one per code point, EOS) and its unknown code points.

    Unknown code points get ids after the vocabulary, one per distinct code point.
    """
    ids, oov = [SOS], []
    for ch in word:
        if ch in unit2id:
            ids.append(unit2id[ch])
            continue
        if ch not in oov:
            oov.append(ch)
        ids.append(n_units + oov.index(ch))
    ids.append(EOS)
    return ids, oov


def form_text(tokens, id2unit, oov) -> str:
    out = []
    for t in tokens:
        if 0 <= t < len(id2unit):
            out.append(id2unit[t])
        elif 0 <= t - len(id2unit) < len(oov):
            out.append(oov[t - len(id2unit)])
        else:
            out.append("<UNK>")
    return "".join(out)


@dataclasses.dataclass
class Decoded:
    tokens: list          # emitted ids, without EOS
    text: str
    edit: int | None
    score: float = 0.0    # sum of the chosen log-probabilities (beam: the best hypothesis)
    steps: list = dataclasses.field(default_factory=list)  # greedy: log-probability rows
    margin: float = math.inf  # smallest gap between competing choices over all steps


class Seq2SeqReference(nn.Module):
    def __init__(self, tensors: dict, config: dict, char_vocab: dict, pos_vocab: dict | None = None):
        super().__init__()
        self.t = tensors
        self.vocab_size = config["vocab_size"]
        self.emb_dim = config["emb_dim"]
        self.hidden = config["hidden_dim"]
        self.layers = config["num_layers"]
        self.max_dec_len = config["max_dec_len"]
        self.beam_size = config.get("beam_size") or 1
        self.batch_size = config.get("batch_size") or 50
        self.use_pos = bool(config.get("pos"))
        self.use_edit = bool(config.get("edit"))
        self.use_copy = bool(config.get("copy"))
        self.id2unit = char_vocab["_id2unit"]
        self.unit2id = char_vocab["_unit2id"]
        self.pos_unit2id = pos_vocab["_unit2id"] if pos_vocab else None

        dtype = tensors["embedding.weight"].dtype
        self.encoder = nn.LSTM(self.emb_dim, self.hidden // 2, self.layers,
                               bidirectional=True, batch_first=True).to(dtype)
        state = {}
        for k in range(self.layers):
            for sfx in ("", "_reverse"):
                for kind in ("weight_ih", "weight_hh", "bias_ih", "bias_hh"):
                    state[f"{kind}_l{k}{sfx}"] = tensors[f"encoder.{kind}_l{k}{sfx}"]
        self.encoder.load_state_dict(state)
        self.cell = nn.LSTMCell(self.emb_dim, self.hidden).to(dtype)
        self.cell.load_state_dict({k: tensors[f"decoder.lstm_cell.{k}"]
                                   for k in ("weight_ih", "weight_hh", "bias_ih", "bias_hh")})
        self.eval()

    # -- encoding -------------------------------------------------------------------

    def _embed(self, ids):
        ids = torch.where(ids >= self.vocab_size, torch.full_like(ids, UNK), ids)
        return F.embedding(ids, self.t["embedding.weight"], padding_idx=PAD)

    def _pos_id(self, tag):
        if tag is None:
            raise ValueError("this seq2seq bundle requires a POS tag")
        return self.pos_unit2id.get(tag, UNK)

    def encode(self, rows, tags):
        """Encodes a batch of id lists, longest first; returns memory, (h, c), mask."""
        B, W = len(rows), len(rows[0])
        src = torch.zeros(B, W, dtype=torch.long)
        for b, r in enumerate(rows):
            src[b, :len(r)] = torch.tensor(r)
        x = self._embed(src)
        lengths = torch.tensor([len(r) for r in rows])
        if self.use_pos:
            p = torch.tensor([self._pos_id(t) for t in tags])
            x = torch.cat([F.embedding(p, self.t["pos_embedding.weight"]).unsqueeze(1), x], 1)
            lengths = lengths + 1
        T = x.shape[1]
        packed = pack_padded_sequence(x, lengths, batch_first=True)
        out, (hn, cn) = self.encoder(packed)
        memory, _ = pad_packed_sequence(out, batch_first=True, total_length=T)
        h = torch.cat([hn[-1], hn[-2]], 1)
        c = torch.cat([cn[-1], cn[-2]], 1)
        mask = torch.arange(T)[None, :] >= lengths[:, None]
        return memory, (h, c), src, mask

    def edit_class(self, h):
        x = F.relu(F.linear(h, self.t["edit_clf.0.weight"], self.t["edit_clf.0.bias"]))
        return F.linear(x, self.t["edit_clf.2.weight"], self.t["edit_clf.2.bias"]).argmax(1)

    # -- one decoder step -----------------------------------------------------------

    def step(self, inp, h, c, memory, src, V, suppress_unk, mask=None, limit=None):
        t = self.t
        h, c = self.cell(self._embed(inp), (h, c))
        q = F.linear(h, t["decoder.attention_layer.linear_in.weight"])
        scores = torch.einsum("bth,bh->bt", memory, q)
        if mask is not None:
            scores = scores.masked_fill(mask, MASKED)
        attn = torch.softmax(scores, 1)
        context = torch.einsum("bt,bth->bh", attn, memory)
        ht = torch.tanh(F.linear(torch.cat([context, h], 1),
                                 t["decoder.attention_layer.linear_out.weight"]))
        lp = torch.log_softmax(F.linear(ht, t["dec2vocab.weight"], t["dec2vocab.bias"]), 1)
        if self.use_copy:
            B = lp.shape[0]
            gate = F.linear(ht, t["copy_gate.weight"], t["copy_gate.bias"])
            # The POS position is attended but never copied: renormalise over characters.
            src_scores = scores[:, 1:] if self.use_pos else scores
            lc = F.logsigmoid(gate) + torch.log_softmax(src_scores, 1)
            top = lc.max(1, keepdim=True).values
            mass = torch.zeros(B, V, dtype=lp.dtype).scatter_add(1, src, torch.exp(lc - top))
            empty = mass == 0
            copy_lp = (torch.log(mass.masked_fill(empty, 1.0)) + top).masked_fill(empty, MASKED)
            if V > self.vocab_size:
                lp = torch.cat([lp, lp[:, 1:2].expand(B, V - self.vocab_size)], 1)
            lp = torch.logaddexp(copy_lp, lp + F.logsigmoid(-gate))
            if limit is not None:
                lp = lp.masked_fill(torch.arange(V)[None, :] >= limit[:, None], MASKED)
        if suppress_unk:
            lp = lp.clone()
            lp[:, UNK] = -math.inf
        return lp, h, c

    # -- one word ---------------------------------------------------------------------

    def _prepare(self, word, tag):
        ids, oov = encode_word(self.unit2id, len(self.id2unit), word)
        memory, (h, c), src, _ = self.encode([ids], [tag])
        V = max(self.vocab_size, max(ids) + 1) if self.use_copy else self.vocab_size
        edit = int(self.edit_class(h)[0]) if self.use_edit else None
        return ids, oov, memory, h, c, src, V, edit

    @torch.no_grad()
    def greedy(self, word, tag=None, suppress_unk=False) -> Decoded:
        ids, oov, memory, h, c, src, V, edit = self._prepare(word, tag)
        tokens, steps, score, margin = [], [], 0.0, math.inf
        cur = SOS
        for _ in range(self.max_dec_len):
            lp, h, c = self.step(torch.tensor([cur]), h, c, memory, src, V, suppress_unk)
            steps.append(lp[0].tolist())
            best2 = lp[0].topk(min(2, lp.shape[1])).values.tolist()
            if len(best2) == 2 and math.isfinite(best2[1]):
                margin = min(margin, best2[0] - best2[1])
            nxt = int(lp[0].argmax())
            score += float(lp[0, nxt])
            if nxt == EOS:
                break
            tokens.append(nxt)
            cur = nxt
        return Decoded(tokens, form_text(tokens, self.id2unit, oov), edit, score, steps, margin)

    @torch.no_grad()
    def beam(self, word, k, tag=None, suppress_unk=False) -> Decoded:
        """Beam search of width k; hypotheses are (score, tokens, h, c, last)."""
        ids, oov, memory, h, c, src, V, edit = self._prepare(word, tag)
        beam = [(0.0, [], h, c, SOS)]
        margin = math.inf
        for _ in range(self.max_dec_len):
            K = len(beam)
            inp = torch.tensor([hyp[4] for hyp in beam])
            hs = torch.cat([hyp[2] for hyp in beam])
            cs = torch.cat([hyp[3] for hyp in beam])
            lp, h2, c2 = self.step(inp, hs, cs, memory.repeat(K, 1, 1), src.repeat(K, 1), V,
                                   suppress_unk)
            Vp = lp.shape[1]
            totals = (lp + torch.tensor([[hyp[0]] for hyp in beam], dtype=lp.dtype)).reshape(-1)
            take = min(k, K * Vp)
            # Margins that decide the result: best against second, and the last kept
            # candidate against the first dropped one.
            ranked = totals.topk(min(take + 1, K * Vp)).values.tolist()
            finite = [v for v in ranked if math.isfinite(v)]
            if len(finite) >= 2:
                margin = min(margin, finite[0] - finite[1])
            if len(ranked) > take and math.isfinite(ranked[take]):
                margin = min(margin, ranked[take - 1] - ranked[take])
            vals, idx = totals.topk(take)
            new = []
            for v, x in zip(vals.tolist(), idx.tolist()):
                r, tok = divmod(x, Vp)
                new.append((v, beam[r][1] + [tok], h2[r:r + 1], c2[r:r + 1], tok))
            beam = new
            if beam[0][4] == EOS:
                break
        best = beam[0][1]
        tokens = best[:best.index(EOS)] if EOS in best else best
        return Decoded(tokens, form_text(tokens, self.id2unit, oov), edit, beam[0][0], [], margin)

    # -- many words, greedy, in batches --------------------------------------------------

    @torch.no_grad()
    def greedy_many(self, words, tags=None, suppress_unk=False, batch_size=None):
        """Batched greedy decoding: sorted longest first, cut into batches, one packed
        encoder call and one decoder step per batch and step. Returns Decoded per word
        (tokens, text, edit, margin), in input order."""
        tags = tags if tags is not None else [None] * len(words)
        batch_size = batch_size or self.batch_size
        encoded = [encode_word(self.unit2id, len(self.id2unit), w) for w in words]
        order = sorted(range(len(words)), key=lambda i: -len(encoded[i][0]))
        results = [None] * len(words)
        for s in range(0, len(order), batch_size):
            idx = order[s:s + batch_size]
            rows = [encoded[i][0] for i in idx]
            memory, (h, c), src, mask = self.encode(rows, [tags[i] for i in idx])
            if self.use_copy:
                limit = torch.tensor([max(self.vocab_size, max(r) + 1) for r in rows])
            else:
                limit = torch.full((len(rows),), self.vocab_size)
            V = int(limit.max())
            edits = self.edit_class(h).tolist() if self.use_edit else [None] * len(rows)
            B = len(rows)
            inp = torch.full((B,), SOS, dtype=torch.long)
            outs = [[] for _ in range(B)]
            done = [False] * B
            margins = [math.inf] * B
            for _ in range(self.max_dec_len):
                lp, h, c = self.step(inp, h, c, memory, src, V, suppress_unk, mask, limit)
                top2 = lp.topk(min(2, lp.shape[1]), 1).values
                inp = lp.argmax(1)
                for b, tok in enumerate(inp.tolist()):
                    if done[b]:
                        continue
                    if top2.shape[1] == 2 and math.isfinite(top2[b, 1]):
                        margins[b] = min(margins[b], float(top2[b, 0] - top2[b, 1]))
                    if tok == EOS:
                        done[b] = True
                    else:
                        outs[b].append(tok)
                if all(done):
                    break
            for b, i in enumerate(idx):
                oov = encoded[i][1]
                results[i] = Decoded(outs[b], form_text(outs[b], self.id2unit, oov), edits[b],
                                     0.0, [], margins[b])
        return results
