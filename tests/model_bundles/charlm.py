"""Character language model test bundles, written with the shared bundle writer."""
import dataclasses

import torch

from bundle_writer import write_bundle

# Characters of random vocabularies: letters, punctuation and wider code points.
ALPHABET = list("abcdefghijklmnopqrstuvwxyzABCDEFGHIJ.,'-éßж€中😀")


@dataclasses.dataclass
class CharLMModel:
    config: dict
    is_forward: bool
    unit2id: dict
    tensors: dict  # unprefixed name -> tensor

    def assets(self) -> dict:
        return {"config": self.config, "is_forward_lm": self.is_forward,
                "vocab": {"_unit2id": self.unit2id}}


def random_charlm(seed: int, *, forward=True, chars=ALPHABET, emb_dim=6, hidden_dim=8,
                  num_layers=1, unk=True, scale=0.5, dtype=torch.float32) -> CharLMModel:
    """Vocabulary "<PAD>", "<UNK>" (unless not ``unk``), line feed, space, then ``chars``."""
    gen = torch.Generator().manual_seed(seed)

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


def write_charlm_bundle(directory, model: CharLMModel):
    processor = "forward_charlm" if model.is_forward else "backward_charlm"
    return write_bundle(directory, processor, tensors=model.tensors, assets=model.assets())
