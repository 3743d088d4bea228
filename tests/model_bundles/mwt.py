"""Multi-word-token test bundles: dictionary-only, the split-point classifier and
sequence-to-sequence models."""
from __future__ import annotations

import dataclasses

import torch

from bundle_writer import write_bundle
from model_bundles.seq2seq import encoder_tensors


def mwt_assets(expansion_dict=None, unit2id=None, **config) -> dict:
    config = dict(dict(dict_only=False, ensemble_dict=False, force_exact_pieces=None,
                       vocab_size=0, hidden_dim=0, num_layers=0), **config)
    return {"config": config, "expansion_dict": expansion_dict or {},
            "vocab": {"_unit2id": unit2id or {}}}


def write_dict_bundle(directory, expansion_dict: dict, *, ensemble_dict=False, **kwargs):
    assets = mwt_assets(expansion_dict, dict_only=True, ensemble_dict=ensemble_dict)
    return write_bundle(directory, "mwt", assets=assets, **kwargs)


@dataclasses.dataclass
class ClassifierModel:
    unit2id: dict
    hidden_dim: int
    num_layers: int
    tensors: dict  # bundle name -> float32 tensor, in manifest order

    def assets(self, **config) -> dict:
        return mwt_assets(None, self.unit2id, force_exact_pieces=True, hidden_dim=self.hidden_dim,
                          vocab_size=len(self.unit2id) + 4, num_layers=self.num_layers, **config)


def random_classifier(seed: int, chars, *, emb_dim=6, hidden_dim=8, num_layers=1, scale=0.6):
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).float()

    H = hidden_dim
    tensors = {"embedding.weight": w(len(chars) + 4, emb_dim)}
    tensors.update(encoder_tensors(w, num_layers, emb_dim, H))
    tensors.update({"output_layer.0.weight": w(H, H), "output_layer.0.bias": w(H),
                    "output_layer.2.weight": w(2, H), "output_layer.2.bias": w(2)})
    return ClassifierModel({c: i + 4 for i, c in enumerate(chars)}, hidden_dim, num_layers, tensors)


def seq2seq_mwt_assets(model, expansion_dict=None, **config) -> dict:
    unit2id = model.char_vocab["_unit2id"]
    assets = mwt_assets(expansion_dict, unit2id, **dict(model.config, **config))
    assets["vocab"]["char"] = model.char_vocab
    return assets


def write_mwt_bundle(directory, model, *, assets=None, **kwargs):
    if assets is None:
        classifier = isinstance(model, ClassifierModel)
        assets = model.assets() if classifier else seq2seq_mwt_assets(model)
    return write_bundle(directory, "mwt", list(model.tensors.items()), assets, **kwargs)
