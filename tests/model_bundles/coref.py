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
import functools
import pathlib

import torch

from bundle_writer import write_bundle
from model_bundles.transformer import (TINY_HIDDEN, TINY_VOCAB, bpe_section, compiled_package,
                                       tiny_model, wordpiece_section, xlmr_section)

# Words of random documents: whole vocabulary words, words split into several subwords, words
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


@functools.lru_cache(maxsize=1)
def tiny_features() -> torch.Tensor:
    """The tiny encoder's output rows over its vocabulary. They share a large common part;
    random models centre each layer on these rows through its bias, so that decisions differ
    from word to word rather than being the same for a whole model."""
    ids = torch.tensor([[2] + list(range(4, len(TINY_VOCAB))) + [3]])
    with torch.no_grad():
        return tiny_model()(ids, torch.ones_like(ids))[0, 1:-1]


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
                 special_ids=None, tokenizer_map_ids=None, section=None, rows=None, link_bias=-1.0, rough_scale=0.3, zero_bias=0.0, scale=1.5,
                 dtype=torch.float32) -> CorefModel:
    """A random model over the tiny transformer.

    ``tokenizer``: "wordpiece", "bpe" or "xlmr" (the tokenizer sections of
    model_bundles.transformer); ``special_ids``: (cls, sep, pad, eos) in place of the
    tokenizer's own; ``tokenizer_map_ids``: word -> subword ids that replace the tokenizer's;
    ``link_bias`` is added to the anaphoricity output bias (positive: more antecedent links),
    ``zero_bias`` to the zero predictor's (positive: more zero anaphora), ``rough_scale``
    scales the rough scorer;
    ``start_map_columns``: columns of the start map (default ``rough_k``); ``dtype``: the
    element type of every network tensor."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        # Weights scaled by their fan-in keep every layer's outputs near unit size.
        fan_in = shape[1] * (shape[2] if len(shape) > 2 else 1) if len(shape) > 1 else 4
        return (torch.randn(*shape, generator=gen) * scale / fan_in ** 0.5).to(dtype)

    # Sample word rows: the tiny encoder's when the model reads it, else random ones.
    if rows is None:
        rows = tiny_features() if hidden == TINY_HIDDEN else torch.randn(20, hidden, generator=gen)

    def layer(out, inputs, extra=0.0):
        """A weight and a bias that centres its outputs on the sample `inputs`."""
        weight = w(out, inputs.shape[1])
        bias = w(out) - (inputs @ weight.to(torch.float32).T).mean(0).to(dtype) + extra
        return weight, bias.to(dtype)

    rough = w(hidden, hidden) * rough_scale
    tensors = {"we.attn.weight": w(1, hidden), "we.attn.bias": w(1),
               "rough_scorer.bilinear.weight": rough,
               "rough_scorer.bilinear.bias": -(rows.mean(0) @ rough.to(torch.float32).T).to(dtype),
               "pw.distance_emb.weight": w(9, distance_dim)}
    # Sample pair inputs: every ordered pair of sample rows, with a distance row each.
    a, b = torch.cartesian_prod(torch.arange(len(rows)), torch.arange(len(rows))).T
    pairs = [rows[a], rows[b], rows[a] * rows[b], tensors["pw.distance_emb.weight"].float()[a % 9]]
    if full_pairwise:
        tensors["pw.speaker_emb.weight"] = w(2, speaker_dim)
        pairs.insert(3, tensors["pw.speaker_emb.weight"].float()[b % 2])
    x = torch.cat(pairs, 1)
    for index in range(n_hidden_layers):
        weight, bias = layer(a_hidden, x)
        tensors[f"a_scorer.hidden.{3 * index}.weight"] = weight
        tensors[f"a_scorer.hidden.{3 * index}.bias"] = bias
        x = torch.nn.functional.leaky_relu(x @ weight.float().T + bias.float(), 0.01)
    tensors["a_scorer.out.weight"], tensors["a_scorer.out.bias"] = layer(1, x, link_bias)
    if singletons:
        tensors["a_scorer.start_map.weight"] = w(1, start_map_columns or rough_k)
    s1, s2 = sp_hidden
    c0, c1 = sp_channels
    sp0, sp0_bias = layer(s1, torch.cat([rows, rows.flip(0), torch.zeros(len(rows), sp_embedding_size)], 1))
    zeros0, zeros0_bias = layer(zeros_hidden, rows)
    zeros2, zeros2_bias = layer(1, torch.relu(rows @ zeros0.float().T + zeros0_bias.float()), zero_bias)
    tensors.update({
        "sp.ffnn.0.weight": sp0, "sp.ffnn.0.bias": sp0_bias,
        "sp.ffnn.3.weight": w(s2, s1), "sp.ffnn.3.bias": w(s2),
        "sp.ffnn.6.weight": w(c0, s2), "sp.ffnn.6.bias": w(c0),
        "sp.conv.0.weight": w(c1, c0, 3), "sp.conv.0.bias": w(c1),
        "sp.conv.1.weight": w(2, c1, 3), "sp.conv.1.bias": w(2),
        "sp.emb.weight": w(128, sp_embedding_size),
        "zeros_predictor.0.weight": zeros0, "zeros_predictor.0.bias": zeros0_bias,
        "zeros_predictor.2.weight": zeros2, "zeros_predictor.2.bias": zeros2_bias,
    })
    config = {"hidden_size": hidden, "embedding_size": embedding_size or distance_dim,
              "sp_embedding_size": sp_embedding_size, "a_scoring_batch_size": a_scoring_batch_size,
              "n_hidden_layers": n_hidden_layers, "rough_k": rough_k,
              "bert_window_size": bert_window_size, "singletons": singletons,
              "full_pairwise": full_pairwise, "use_zeros": use_zeros}
    section = copy.deepcopy(section) if section is not None else SECTIONS[tokenizer]()
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
