"""Coreference test bundles: random word-level coreference models over the tiny AOTInductor
transformer package, written with the shared bundle writer.

``random_coref(seed, ...)`` returns a ``CorefModel`` (assets and tensors by bundle name);
``write_coref_bundle(directory, model, package)`` writes the whole bundle directory with the
compiled transformer as its artifact; ``coref_package(cache_dir)`` is that package (the tiny
encoder of model_bundles.transformer, compiled once and cached).
"""
from __future__ import annotations

import copy
import dataclasses
import pathlib

import torch

from bundle_writer import write_bundle
from model_bundles.transformer import (TINY_HIDDEN, TINY_VOCAB, bpe_section, compiled_package,
                                       wordpiece_section, xlmr_section)

# Words of random documents: whole vocabulary words, words split into several pieces, words
# the tokenizer only knows as unknown, upper case and accents that the tokenizer folds.
WORDS = TINY_VOCAB[4:] + ["unbelievable", "running", "cats", "Dog", "HOUSE", "zzz", "xx", "éé",
                          "runs", "unbelieved"]

# (special ids cls, sep, pad, eos) of the three tokenizer kinds the tiny package serves.
SPECIAL_IDS = {"wordpiece": (2, 3, 0, 3), "bpe": (1, 2, 1, 2), "xlmr": (0, 2, 1, 2)}
SECTIONS = {"wordpiece": lambda: wordpiece_section(TINY_VOCAB, model_max_length=64),
            "bpe": lambda: dict(bpe_section(), model_max_length=64),
            "xlmr": lambda: dict(xlmr_section(), model_max_length=64)}

# The tiny package has 64 positions: a window holds at most 64 ids.
MAX_WINDOW = 64


def coref_package(cache_dir) -> pathlib.Path:
    """The tiny transformer package (hidden 12) the coreference bundles carry."""
    return compiled_package("tiny", cache_dir)


@dataclasses.dataclass
class CorefModel:
    config: dict
    transformer: dict  # the assets' "transformer" section, special ids included
    tokenizer_map_ids: dict
    tensors: dict  # bundle name -> tensor

    def assets(self) -> dict:
        return {"config": copy.deepcopy(self.config), "transformer": copy.deepcopy(self.transformer),
                "runtime_contract": {"tokenizer_map_ids": copy.deepcopy(self.tokenizer_map_ids)}}


def random_coref(seed: int, *, hidden=TINY_HIDDEN, singletons=False, use_zeros=False,
                 full_pairwise=False, n_hidden_layers=1, a_hidden=10, rough_k=5,
                 a_scoring_batch_size=4, bert_window_size=16, distance_dim=4, speaker_dim=3,
                 embedding_size=None, sp_embedding_size=5, sp_hidden=(9, 7), sp_channels=(6, 5),
                 zeros_hidden=6, start_map_columns=None, tokenizer="wordpiece",
                 special_ids=None, tokenizer_map_ids=None, link_bias=0.0, scale=0.5,
                 dtype=torch.float32) -> CorefModel:
    """A random model over the tiny transformer.

    ``tokenizer``: "wordpiece", "bpe" or "xlmr" (the tokenizer sections of
    model_bundles.transformer); ``special_ids``: (cls, sep, pad, eos) in place of the
    tokenizer's own; ``tokenizer_map_ids``: word -> subword ids that replace the tokenizer's;
    ``link_bias`` is added to the anaphoricity output bias (positive: more antecedent links);
    ``start_map_columns``: columns of the start map (default ``rough_k``); ``dtype``: the
    element type of every network tensor."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).to(dtype)

    tensors = {"we.attn.weight": w(1, hidden), "we.attn.bias": w(1),
               "rough_scorer.bilinear.weight": w(hidden, hidden),
               "rough_scorer.bilinear.bias": w(hidden),
               "pw.distance_emb.weight": w(9, distance_dim)}
    width = 3 * hidden + distance_dim
    if full_pairwise:
        tensors["pw.speaker_emb.weight"] = w(2, speaker_dim)
        width += speaker_dim
    for layer in range(n_hidden_layers):
        tensors[f"a_scorer.hidden.{3 * layer}.weight"] = w(a_hidden, width)
        tensors[f"a_scorer.hidden.{3 * layer}.bias"] = w(a_hidden)
        width = a_hidden
    tensors["a_scorer.out.weight"] = w(1, width)
    tensors["a_scorer.out.bias"] = (w(1) + link_bias).to(dtype)
    if singletons:
        tensors["a_scorer.start_map.weight"] = w(1, start_map_columns or rough_k)
    s1, s2 = sp_hidden
    c0, c1 = sp_channels
    tensors.update({
        "sp.ffnn.0.weight": w(s1, 2 * hidden + sp_embedding_size), "sp.ffnn.0.bias": w(s1),
        "sp.ffnn.3.weight": w(s2, s1), "sp.ffnn.3.bias": w(s2),
        "sp.ffnn.6.weight": w(c0, s2), "sp.ffnn.6.bias": w(c0),
        "sp.conv.0.weight": w(c1, c0, 3), "sp.conv.0.bias": w(c1),
        "sp.conv.1.weight": w(2, c1, 3), "sp.conv.1.bias": w(2),
        "sp.emb.weight": w(128, sp_embedding_size),
        "zeros_predictor.0.weight": w(zeros_hidden, hidden), "zeros_predictor.0.bias": w(zeros_hidden),
        "zeros_predictor.2.weight": w(1, zeros_hidden), "zeros_predictor.2.bias": w(1),
    })
    config = {"hidden_size": hidden, "embedding_size": embedding_size or distance_dim,
              "sp_embedding_size": sp_embedding_size, "a_scoring_batch_size": a_scoring_batch_size,
              "n_hidden_layers": n_hidden_layers, "rough_k": rough_k,
              "bert_window_size": bert_window_size, "singletons": singletons,
              "full_pairwise": full_pairwise, "use_zeros": use_zeros}
    section = SECTIONS[tokenizer]()
    section["hidden_size"] = hidden
    ids = special_ids if special_ids is not None else SPECIAL_IDS[tokenizer]
    section["tokenizer"].update(dict(zip(("cls_id", "sep_id", "pad_id", "eos_id"), ids)))
    return CorefModel(config, section, dict(tokenizer_map_ids or {}), tensors)


def write_coref_bundle(directory, model: CorefModel, package, *, processor="coref", assets=None,
                       **kwargs):
    """The bundle directory of `model` with `package` as the transformer artifact; ``assets``
    replaces the model's assets (a dict, or str/bytes written verbatim)."""
    artifact = model.transformer["artifact"]
    return write_bundle(directory, processor, tensors=model.tensors,
                        assets=model.assets() if assets is None else assets,
                        artifacts={artifact: pathlib.Path(package).read_bytes()}, **kwargs)
