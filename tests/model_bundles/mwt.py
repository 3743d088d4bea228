"""Multi-word-token test bundles, written with the shared bundle writer.

Three kinds, as an "mwt" bundle configures them:

* dictionary only: ``write_dict_bundle(directory, expansion_dict)``;
* the split-point classifier: ``random_classifier`` draws weights,
  ``write_classifier_bundle`` writes them;
* the sequence-to-sequence model: ``write_seq2seq_mwt_bundle`` writes a
  ``model_bundles.seq2seq`` model with the expander's own configuration keys.
"""
from __future__ import annotations

import dataclasses

import torch

from bundle_writer import write_bundle
from model_bundles.seq2seq import encoder_tensors


def mwt_config(*, dict_only=False, ensemble_dict=False, force_exact_pieces=None,
               vocab_size=0, hidden_dim=0, num_layers=0) -> dict:
    return {"dict_only": dict_only, "ensemble_dict": ensemble_dict,
            "force_exact_pieces": force_exact_pieces, "vocab_size": vocab_size,
            "hidden_dim": hidden_dim, "num_layers": num_layers}


def unit_ids(chars) -> dict:
    """Character ids after the four reserved ones."""
    return {c: i + 4 for i, c in enumerate(chars)}


def write_dict_bundle(directory, expansion_dict: dict, *, ensemble_dict=False, **kwargs):
    assets = {"config": mwt_config(dict_only=True, ensemble_dict=ensemble_dict),
              "expansion_dict": expansion_dict, "vocab": {"_unit2id": {}}}
    return write_bundle(directory, "mwt", assets=assets, **kwargs)


@dataclasses.dataclass
class ClassifierModel:
    chars: list
    hidden_dim: int
    num_layers: int
    tensors: dict  # bundle name -> float32 tensor, in manifest order

    def assets(self, expansion_dict=None, ensemble_dict=False) -> dict:
        return {"config": mwt_config(ensemble_dict=ensemble_dict, force_exact_pieces=True,
                                     vocab_size=len(self.chars) + 4, hidden_dim=self.hidden_dim,
                                     num_layers=self.num_layers),
                "expansion_dict": expansion_dict or {},
                "vocab": {"_unit2id": unit_ids(self.chars)}}


def random_classifier(seed: int, chars, *, emb_dim=6, hidden_dim=8, num_layers=1,
                      scale=0.6) -> ClassifierModel:
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).float()

    H = hidden_dim
    tensors = {"embedding.weight": w(len(chars) + 4, emb_dim)}
    tensors.update(encoder_tensors(w, num_layers, emb_dim, H))
    tensors["output_layer.0.weight"] = w(H, H)
    tensors["output_layer.0.bias"] = w(H)
    tensors["output_layer.2.weight"] = w(2, H)
    tensors["output_layer.2.bias"] = w(2)
    return ClassifierModel(list(chars), hidden_dim, num_layers, tensors)


def constant_classifier(chars, boundary_bias: float) -> ClassifierModel:
    """All weights zero: every position scores (0, boundary_bias)."""
    model = random_classifier(0, chars)
    for t in model.tensors.values():
        t.zero_()
    model.tensors["output_layer.2.bias"][1] = boundary_bias
    return model


def write_classifier_bundle(directory, model: ClassifierModel, *, assets=None, tensors=None,
                            **kwargs):
    return write_bundle(directory, "mwt",
                        tensors=list((tensors if tensors is not None else model.tensors).items()),
                        assets=assets if assets is not None else model.assets(), **kwargs)


def seq2seq_mwt_assets(model, *, expansion_dict=None, dict_only=False, ensemble_dict=False,
                       force_exact_pieces=None) -> dict:
    """The assets of a seq2seq model (``model_bundles.seq2seq``) as an expander's."""
    assets = model.assets()
    config = dict(model.config)
    config.update(dict_only=dict_only, ensemble_dict=ensemble_dict,
                  force_exact_pieces=force_exact_pieces)
    assets["config"] = config
    assets["vocab"]["_unit2id"] = model.char_vocab["_unit2id"]
    assets["expansion_dict"] = expansion_dict or {}
    return assets


def write_seq2seq_mwt_bundle(directory, model, **kwargs):
    from model_bundles.seq2seq import write_seq2seq_bundle

    options = {k: kwargs.pop(k) for k in ("expansion_dict", "dict_only", "ensemble_dict",
                                          "force_exact_pieces") if k in kwargs}
    return write_seq2seq_bundle(directory, model, "mwt", assets=seq2seq_mwt_assets(model, **options),
                                **kwargs)
