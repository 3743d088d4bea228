"""Eager PyTorch BERT-style encoder written from its equations: token, position and
segment-0 embeddings with layer norm, then per layer multi-head self-attention with the
attention mask, a residual layer norm, a GELU feed-forward block and another residual
layer norm. It reads a flat name -> tensor dict in the usual checkpoint naming, so the
same module runs random test weights and the weights of a real trained encoder."""
import math

import torch
from torch import nn


class BertReference(nn.Module):
    """forward(input_ids [1, n] int64, attention_mask [1, n] int64) -> [1, n, hidden]."""

    def __init__(self, weights: dict, *, heads: int, layers: int, eps: float = 1e-12):
        super().__init__()
        self.heads, self.layers, self.eps = heads, layers, eps
        names = ["embeddings.word_embeddings.weight", "embeddings.position_embeddings.weight",
                 "embeddings.token_type_embeddings.weight", "embeddings.LayerNorm.weight",
                 "embeddings.LayerNorm.bias"]
        for layer in range(layers):
            p = f"encoder.layer.{layer}."
            for part in ("attention.self.query", "attention.self.key", "attention.self.value",
                         "attention.output.dense", "intermediate.dense", "output.dense",
                         "attention.output.LayerNorm", "output.LayerNorm"):
                names += [p + part + ".weight", p + part + ".bias"]
        self.names = names
        for i, name in enumerate(names):
            self.register_buffer(f"w{i}", weights[name].detach().to(torch.float32).contiguous())

    def w(self, name):
        return getattr(self, f"w{self.names.index(name)}")

    def norm(self, x, prefix):
        mean = x.mean(-1, keepdim=True)
        var = ((x - mean) ** 2).mean(-1, keepdim=True)
        return (x - mean) / torch.sqrt(var + self.eps) * self.w(prefix + ".weight") + self.w(
            prefix + ".bias")

    def dense(self, x, prefix):
        return x @ self.w(prefix + ".weight").t() + self.w(prefix + ".bias")

    def forward(self, input_ids, attention_mask):
        n = input_ids.shape[1]
        # Indexing (rather than slicing) keeps a bounds check on the positions in a compiled
        # package run over more ids than the model has positions.
        positions = torch.arange(n, device=input_ids.device).unsqueeze(0)
        x = (self.w("embeddings.word_embeddings.weight")[input_ids]
             + self.w("embeddings.position_embeddings.weight")[positions]
             + self.w("embeddings.token_type_embeddings.weight")[0])
        x = self.norm(x, "embeddings.LayerNorm")
        hidden = x.shape[-1]
        d = hidden // self.heads
        # Masked keys get the most negative float added before the softmax.
        bias = (1.0 - attention_mask.to(torch.float32)) * torch.finfo(torch.float32).min
        bias = bias[:, None, None, :]
        for layer in range(self.layers):
            p = f"encoder.layer.{layer}."

            def split(t):
                return t.view(1, n, self.heads, d).transpose(1, 2)

            q = split(self.dense(x, p + "attention.self.query"))
            k = split(self.dense(x, p + "attention.self.key"))
            v = split(self.dense(x, p + "attention.self.value"))
            scores = q @ k.transpose(-1, -2) / math.sqrt(d) + bias
            context = (torch.softmax(scores, dim=-1) @ v).transpose(1, 2).reshape(1, n, hidden)
            x = self.norm(x + self.dense(context, p + "attention.output.dense"),
                          p + "attention.output.LayerNorm")
            inner = self.dense(x, p + "intermediate.dense")
            inner = 0.5 * inner * (1.0 + torch.erf(inner / math.sqrt(2.0)))
            x = self.norm(x + self.dense(inner, p + "output.dense"), p + "output.LayerNorm")
        return x


def random_bert_weights(seed: int, *, vocab: int, hidden: int, layers: int, intermediate: int,
                        positions: int, scale: float = 0.3) -> dict:
    """Random weights under the checkpoint names BertReference reads."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return torch.randn(*shape, generator=gen) * scale

    weights = {"embeddings.word_embeddings.weight": w(vocab, hidden),
               "embeddings.position_embeddings.weight": w(positions, hidden),
               "embeddings.token_type_embeddings.weight": w(2, hidden),
               "embeddings.LayerNorm.weight": 1 + w(hidden), "embeddings.LayerNorm.bias": w(hidden)}
    for layer in range(layers):
        p = f"encoder.layer.{layer}."
        for part in ("attention.self.query", "attention.self.key", "attention.self.value",
                     "attention.output.dense"):
            weights[p + part + ".weight"], weights[p + part + ".bias"] = w(hidden, hidden), w(hidden)
        weights[p + "intermediate.dense.weight"] = w(intermediate, hidden)
        weights[p + "intermediate.dense.bias"] = w(intermediate)
        weights[p + "output.dense.weight"] = w(hidden, intermediate)
        weights[p + "output.dense.bias"] = w(hidden)
        for part in ("attention.output.LayerNorm", "output.LayerNorm"):
            weights[p + part + ".weight"], weights[p + part + ".bias"] = 1 + w(hidden), w(hidden)
    return weights


def sliced_run(run, ids: list, max_length: int) -> torch.Tensor:
    """Subword rows [N, H] of `ids` for a model that takes at most `max_length` ids: windows
    of max_length ids every `stride` ids; each position keeps the row of the first window
    that holds it. `run(window)` returns [len(window), H]."""
    n = len(ids)
    if n <= max_length:
        return run(ids)
    stride = max(max_length - 20 if max_length >= 20 else 0, max_length // 2)
    rows, start = [], 0
    while True:
        end = min(start + max_length, n)
        out = run(ids[start:end])
        covered = sum(len(r) for r in rows)
        rows.append(out[covered - start:])
        if end == n:
            return torch.cat(rows)
        start += stride


def word_rows(hidden: torch.Tensor, word_ids: list, words: int, keep_endpoints: bool):
    """Each word's row is its last subword's; endpoints are the first and last rows."""
    last = {w: i for i, w in enumerate(word_ids) if w >= 0}
    rows = ([0] if keep_endpoints else []) + [last[w] for w in range(words)]
    rows += [len(word_ids) - 1] if keep_endpoints else []
    return hidden[rows]
