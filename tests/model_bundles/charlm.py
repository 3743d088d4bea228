"""Character language model test bundles, written with the shared bundle writer.

`random_charlm` draws a model (assets object, tensors by unprefixed name);
`write_charlm_bundle` writes one as a "forward_charlm"/"backward_charlm" bundle
of its own; `charlm_section` gives a forward/backward pair as the "charlm"
assets member and prefixed tensors of another kind's bundle (prefixes
"charmodel_forward."/"charmodel_backward." or "forward_charlm."/"backward_charlm.").
"""
from __future__ import annotations

import copy
import dataclasses

import torch

from bundle_writer import write_bundle

# Characters of random vocabularies: letters, punctuation and wider code points.
ALPHABET = list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJ.,'-") + ["é", "ß", "ж", "€", "中", "😀"]


@dataclasses.dataclass
class CharLMModel:
    config: dict
    is_forward: bool
    unit2id: dict
    tensors: dict  # unprefixed name -> tensor, in manifest order

    def assets(self) -> dict:
        return copy.deepcopy({"config": self.config, "is_forward_lm": self.is_forward,
                              "vocab": {"_unit2id": self.unit2id}})

    def prefixed(self, prefix: str) -> list:
        return [(prefix + name, t) for name, t in self.tensors.items()]


def random_charlm(seed: int, *, forward=True, chars=ALPHABET, emb_dim=6, hidden_dim=8,
                  num_layers=1, unk=True, scale=0.5, dtype=torch.float32,
                  generator=None) -> CharLMModel:
    """Vocabulary "<PAD>", "<UNK>" (unless ``unk`` is false), line feed, space, then
    ``chars``; random weights and initial states."""
    gen = generator or torch.Generator().manual_seed(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).to(dtype)

    units = ["<PAD>"] + (["<UNK>"] if unk else []) + ["\n", " "] + list(chars)
    H, N = hidden_dim, num_layers
    tensors = {"char_emb.weight": w(len(units), emb_dim),
               "charlstm_h_init": w(N, 1, H), "charlstm_c_init": w(N, 1, H)}
    for k in range(N):
        tensors[f"charlstm.lstm.weight_ih_l{k}"] = w(4 * H, emb_dim if k == 0 else H)
        tensors[f"charlstm.lstm.weight_hh_l{k}"] = w(4 * H, H)
        tensors[f"charlstm.lstm.bias_ih_l{k}"] = w(4 * H)
        tensors[f"charlstm.lstm.bias_hh_l{k}"] = w(4 * H)
    config = {"char_hidden_dim": H, "char_num_layers": N, "char_rec_dropout": 0}
    return CharLMModel(config, forward, {u: i for i, u in enumerate(units)}, tensors)


def write_charlm_bundle(directory, model: CharLMModel, *, processor=None, assets=None,
                        tensors=None, **kwargs):
    """``assets`` and ``tensors`` (name -> array, or pairs) replace the model's own."""
    if processor is None:
        processor = "forward_charlm" if model.is_forward else "backward_charlm"
    if tensors is None:
        tensors = model.tensors
    return write_bundle(directory, processor, tensors=tensors,
                        assets=model.assets() if assets is None else assets, **kwargs)


def charlm_section(forward: CharLMModel, backward: CharLMModel,
                   prefixes=("charmodel_forward.", "charmodel_backward.")):
    """The pair as another bundle holds it: ({"forward": ..., "backward": ...} for
    the assets' "charlm" member, prefixed tensor pairs)."""
    assets = {"forward": forward.assets(), "backward": backward.assets()}
    return assets, forward.prefixed(prefixes[0]) + backward.prefixed(prefixes[1])
