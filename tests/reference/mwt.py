"""Eager model of multi-word-token expansion, written from its rules.

The split-point classifier is a torch.nn.LSTM with two linear layers; the
sequence-to-sequence fallback is ``reference.seq2seq.Seq2SeqReference``. It
shares no code with the engine.
"""
from __future__ import annotations

import torch
from torch import nn

from reference.seq2seq import Seq2SeqReference

SPECIAL_TEXTS = ["<PAD>", "<UNK>", "<SOS>", "<EOS>"]


class ClassifierReference(nn.Module):
    def __init__(self, tensors: dict, unit2id: dict, hidden_dim: int, num_layers: int):
        super().__init__()
        self.t = tensors
        self.unit2id = unit2id
        emb = tensors["embedding.weight"]
        self.lstm = nn.LSTM(emb.shape[1], hidden_dim // 2, num_layers, bidirectional=True,
                            batch_first=True)
        self.lstm.load_state_dict({
            f"{kind}_l{k}{sfx}": tensors[f"encoder.{kind}_l{k}{sfx}"]
            for k in range(num_layers) for sfx in ("", "_reverse")
            for kind in ("weight_ih", "weight_hh", "bias_ih", "bias_hh")})
        self.eval()

    @torch.no_grad()
    def scores(self, token: str) -> torch.Tensor:
        ids = [2] + [self.unit2id.get(ch, 1) for ch in token] + [3]
        x = self.t["embedding.weight"][torch.tensor([ids])]
        out, _ = self.lstm(x)
        hidden = torch.relu(out @ self.t["output_layer.0.weight"].T + self.t["output_layer.0.bias"])
        return (hidden @ self.t["output_layer.2.weight"].T + self.t["output_layer.2.bias"])[0]

    def pieces(self, token: str) -> tuple[str, float]:
        """The expansion and the smallest gap between the two class scores of
        the positions that decide it."""
        s = self.scores(token)
        out, margin = "", float("inf")
        for i, ch in enumerate(token):
            no, yes = float(s[i + 1, 0]), float(s[i + 1, 1])
            margin = min(margin, abs(yes - no))
            if yes > no:
                out += " "
            out += ch
        return out.strip(" "), margin


def lookup_expansion(expansion_dict: dict, token: str):
    if token in expansion_dict:
        return expansion_dict[token]
    if token.isupper() and token.lower() in expansion_dict:
        return expansion_dict[token.lower()].upper()
    if token and token[0].isupper() and token[1:].islower() and token.lower() in expansion_dict:
        found = expansion_dict[token.lower()]
        return found[:1].upper() + found[1:]
    return None


def strip_specials(text: str) -> str:
    for symbol in SPECIAL_TEXTS:
        at = text.find(symbol)
        while at != -1:
            text = text[:at] + text[at + len(symbol):]
            at = text.find(symbol, at)
    return text


def seq2seq_expand(ref: Seq2SeqReference, token: str):
    """The expansion by the sequence-to-sequence model and its decision margin."""
    decoded = ref.greedy(token, None, True) if ref.beam_size == 1 else ref.beam(token, ref.beam_size, None, True)
    text = strip_specials(decoded.text)
    if not text or " " not in text:
        return token, decoded.margin
    return text, decoded.margin
