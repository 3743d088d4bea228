"""Sequence-to-sequence test models with random weights, by bundle tensor name."""
from __future__ import annotations

import dataclasses
import random

import torch

from bundle_writer import write_bundle

SPECIALS = ["<PAD>", "<UNK>", "<SOS>", "<EOS>"]
ALPHABET = list("abcdefghijklmnopqrstuvwxyz") + list("éßøжüç€中") + ["😀"]


@dataclasses.dataclass
class Seq2SeqModel:
    config: dict
    char_vocab: dict
    pos_vocab: dict | None
    tensors: dict  # bundle name -> float32 tensor, in manifest order

    def assets(self) -> dict:
        vocab = {"char": self.char_vocab}
        if self.pos_vocab is not None:
            vocab["pos"] = self.pos_vocab
        return {"config": self.config, "vocab": vocab}


def make_vocab(units) -> dict:
    id2unit = SPECIALS + list(units)
    return {"_id2unit": id2unit, "_unit2id": {u: i for i, u in enumerate(id2unit)}}


def encoder_tensors(w, num_layers: int, input_dim: int, hidden_dim: int) -> dict:
    """The bidirectional encoder LSTM's weights, drawn with ``w(*shape)``."""
    H, tensors = hidden_dim, {}
    for k in range(num_layers):
        for sfx in ("", "_reverse"):
            tensors[f"encoder.weight_ih_l{k}{sfx}"] = w(2 * H, input_dim if k == 0 else H)
            tensors[f"encoder.weight_hh_l{k}{sfx}"] = w(2 * H, H // 2)
            tensors[f"encoder.bias_ih_l{k}{sfx}"] = w(2 * H)
            tensors[f"encoder.bias_hh_l{k}{sfx}"] = w(2 * H)
    return tensors


def random_model(seed: int, *, chars=None, emb_dim=8, hidden_dim=10, num_layers=1,
                 max_dec_len=8, beam_size=1, batch_size=50, pos=False, edit=False,
                 copy=False, edit_classes=3, pos_tags=("NOUN", "VERB", "ADJ"),
                 scale=0.5) -> Seq2SeqModel:
    gen = torch.Generator().manual_seed(seed)
    rng = random.Random(seed)
    chars = chars if chars is not None else rng.sample(ALPHABET, rng.randint(4, 14))
    char_vocab = make_vocab(chars)
    pos_vocab = make_vocab(pos_tags) if pos else None
    V, H, E = len(char_vocab["_id2unit"]), hidden_dim, emb_dim

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).float()

    tensors = {"embedding.weight": w(V, E)}
    tensors["embedding.weight"][0].zero_()
    if pos:
        tensors["pos_embedding.weight"] = w(len(pos_vocab["_id2unit"]), E)
    tensors.update(encoder_tensors(w, num_layers, E, H))
    for name, shape in [("weight_ih", (4 * H, E)), ("weight_hh", (4 * H, H)),
                        ("bias_ih", (4 * H,)), ("bias_hh", (4 * H,))]:
        tensors[f"decoder.lstm_cell.{name}"] = w(*shape)
    tensors["decoder.attention_layer.linear_in.weight"] = w(H, H)
    tensors["decoder.attention_layer.linear_out.weight"] = w(H, 2 * H)
    tensors.update({"dec2vocab.weight": w(V, H) * 3, "dec2vocab.bias": w(V)})
    if copy:
        tensors.update({"copy_gate.weight": w(1, H), "copy_gate.bias": w(1)})
    if edit:
        tensors.update({"edit_clf.0.weight": w(H, H), "edit_clf.0.bias": w(H),
                        "edit_clf.2.weight": w(edit_classes, H),
                        "edit_clf.2.bias": w(edit_classes)})
    config = {"vocab_size": V, "emb_dim": E, "hidden_dim": H, "num_layers": num_layers,
              "max_dec_len": max_dec_len, "beam_size": beam_size, "batch_size": batch_size,
              "pos": pos, "pos_dim": E if pos else 0, "edit": edit, "copy": copy,
              "attn_type": "soft"}
    return Seq2SeqModel(config, char_vocab, pos_vocab, tensors)


def write_seq2seq_bundle(directory, model: Seq2SeqModel, processor: str = "lemma", *,
                         assets=None, tensors=None, **kwargs):
    tensors = model.tensors if tensors is None else tensors
    return write_bundle(directory, processor, list(tensors.items()),
                        model.assets() if assets is None else assets, **kwargs)
