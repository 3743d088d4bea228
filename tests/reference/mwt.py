"""Eager model of multi-word-token expansion: the split-point classifier (an LSTM and two
linear layers) and the expansion by ``reference.seq2seq.Seq2SeqReference``."""
from __future__ import annotations

import torch

from reference.seq2seq import bilstm


class ClassifierReference:
    def __init__(self, tensors: dict, unit2id: dict, hidden_dim: int, num_layers: int):
        self.t, self.unit2id = tensors, unit2id
        self.lstm = bilstm(tensors, tensors["embedding.weight"].shape[1], hidden_dim, num_layers)

    @torch.no_grad()
    def expand(self, token: str) -> tuple[str, float]:
        """The expansion and the smallest gap between the class scores that decide it."""
        ids = [2] + [self.unit2id.get(ch, 1) for ch in token] + [3]
        out, _ = self.lstm(self.t["embedding.weight"][torch.tensor([ids])])
        hidden = torch.relu(out @ self.t["output_layer.0.weight"].T + self.t["output_layer.0.bias"])
        s = (hidden @ self.t["output_layer.2.weight"].T + self.t["output_layer.2.bias"])[0]
        text, margin = "", float("inf")
        for i, ch in enumerate(token):
            no, yes = float(s[i + 1, 0]), float(s[i + 1, 1])
            margin = min(margin, abs(yes - no))
            text += (" " if yes > no else "") + ch
        return text.strip(" "), margin


def seq2seq_expand(ref, token: str):
    """The expansion by the sequence-to-sequence model (<UNK> suppressed, reserved
    texts removed, the token itself unless there are two words) and its margin."""
    wide = ref.beam_size > 1
    decoded = ref.beam(token, ref.beam_size, None, True) if wide else ref.greedy(token, None, True)
    text = decoded.text
    for symbol in ("<PAD>", "<UNK>", "<SOS>", "<EOS>"):
        text = text.replace(symbol, "")
    return (text if " " in text else token), decoded.margin
