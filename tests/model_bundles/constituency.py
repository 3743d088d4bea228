"""Constituency parser test bundles with random weights: a transition table of Shift, Close
and Opens (single labels and chains), optional boundary vectors, tag embedding and
character LMs, any number of LSTM and output layers."""
from __future__ import annotations

import dataclasses
import random

import torch

from bundle_writer import write_with_transformer
from model_bundles.charlm import random_charlm

WORDS = ["the", "a", "cat", "sat", "on", "mat", "New York", "dog", "ran", "to", "big", "red",
         "house", "and", "is", "was", "of", "in", "it", "Ёлка", "é", "中文", "Dog"]
TAGS = ["DT", "NN", "VBD", "IN", "JJ", "CC", "PRP", "NNP"]
OPENS = [["ROOT"], ["S"], ["NP"], ["VP"], ["PP"], ["S", "VP"], ["ADJP"]]


@dataclasses.dataclass
class ConstituencyModel:
    config: dict
    extra: dict          # the assets besides config and charlm
    tensors: dict        # bundle name -> tensor, in manifest order
    charlms: dict | None = None  # "forward"/"backward" -> model_bundles.charlm.CharLMModel
    transformer: dict | None = None  # the assets' "transformer" section

    def assets(self) -> dict:
        assets = {"config": self.config, **self.extra}
        if self.charlms:
            assets["charlm"] = {k: m.assets() for k, m in self.charlms.items()}
        if self.transformer is not None:
            assets["transformer"] = self.transformer
        return assets


def transition_table(opens=OPENS, order=("shift", "close", "open")) -> list:
    rows = []
    for kind in order:
        if kind == "open":
            rows += [{"kind": "open", "labels": labels, "open_index": i} for i, labels in enumerate(opens)]
        else:
            rows.append({"kind": kind})
    return rows


def random_constituency_model(seed: int, *, hidden=8, transition_hidden=6, word_dim=5, delta_dim=3,
                              tag_dim=4, transition_dim=5, layers=1, output_layers=2, output_hidden=7,
                              boundary=False, charlm=(), opens=OPENS, root_labels=("ROOT",),
                              unary_limit=2, tag_source="xpos", lower=False, words=WORDS, tags=TAGS,
                              scale=0.6, transformer=None) -> ConstituencyModel:
    """``charlm``: the directions of character LMs, e.g. ("forward", "backward");
    ``transformer``: an assets "transformer" section (model_bundles.transformer) whose rows
    join the word LSTM's input, the bundle then needs its package."""
    gen = torch.Generator().manual_seed(seed)
    rng = random.Random(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).float()

    pretrain = ["<PAD>", "<UNK>"] + list(dict.fromkeys(
        (x.lower() if lower else x).replace(" ", "\u00a0") for x in rng.sample(words, len(words) * 2 // 3)))
    delta = rng.sample(words, len(words) // 2)
    tag_list = rng.sample(tags, len(tags) - 1)
    transitions = transition_table(opens)
    H, TH = hidden, transition_hidden
    tensors = {"embedding.weight": w(len(pretrain), word_dim),
               "delta_embedding.weight": w(len(delta) + 2, delta_dim)}
    if tag_dim:
        tensors["tag_embedding.weight"] = w(len(tag_list) + 2, tag_dim)
    tensors.update({"word_to_constituent.weight": w(H, 2 * H), "word_to_constituent.bias": w(H),
                    "transition_embedding.weight": w(len(transitions), transition_dim),
                    "dummy_embedding.weight": w(len(opens), H),
                    "reduce_linear.weight": w(H, H), "reduce_linear.bias": w(H)})
    charlms = {}
    width = word_dim + delta_dim + tag_dim
    for k, direction in enumerate(charlm):
        model = random_charlm(seed + 1 + k, forward=direction == "forward", emb_dim=3, hidden_dim=4 + k)
        charlms[direction] = model
        tensors.update({f"{direction}_charlm.{name}": t for name, t in model.tensors.items()})
        width += 4 + k
    if boundary:
        tensors.update({"word_start_embedding": w(width), "word_end_embedding": w(width),
                        "transition_stack.start_embedding": w(transition_dim),
                        "constituent_stack.start_embedding": w(H)})

    def lstm(prefix, inputs, size, reverse):
        for k in range(layers):
            for sfx in ("", "_reverse") if reverse else ("",):
                source = inputs if k == 0 else (2 * size if reverse else size)
                tensors[f"{prefix}weight_ih_l{k}{sfx}"] = w(4 * size, source)
                tensors[f"{prefix}weight_hh_l{k}{sfx}"] = w(4 * size, size)
                tensors[f"{prefix}bias_ih_l{k}{sfx}"] = w(4 * size)
                tensors[f"{prefix}bias_hh_l{k}{sfx}"] = w(4 * size)

    lstm("word_lstm.", width + (transformer["hidden_size"] if transformer else 0), H, True)
    lstm("transition_stack.lstm.", transition_dim, TH, False)
    lstm("constituent_stack.lstm.", H, H, False)
    source = 2 * H + TH
    for k in range(output_layers):
        out = len(transitions) if k == output_layers - 1 else output_hidden
        tensors[f"output_layers.{k}.weight"] = w(out, source)
        tensors[f"output_layers.{k}.bias"] = w(out)
        source = out
    config = {"transition_scheme": "IN_ORDER", "constituency_composition": "MAX",
              "transition_stack": "LSTM", "constituent_stack": "LSTM", "nonlinearity": "relu",
              "num_tree_lstm_layers": 1, "maxout_k": None, "pattn_num_layers": 0, "use_rattn": False,
              "use_peft": False, "sentence_boundary_vectors": "EVERYTHING" if boundary else "NONE",
              "hidden_size": H, "transition_hidden_size": TH, "tag_embedding_dim": tag_dim,
              "transition_embedding_dim": transition_dim, "delta_embedding_dim": delta_dim,
              "num_lstm_layers": layers, "num_output_layers": output_layers,
              "bert_model": "tiny" if transformer else None}
    extra = {"runtime_contract": {"tag_source": tag_source}, "unary_limit": unary_limit,
             "root_labels": list(root_labels), "transitions": transitions, "delta_words": delta,
             "tags": tag_list, "pretrain_vocab": {"_unit2id": {u: i for i, u in enumerate(pretrain)},
                                                  "lower": lower}}
    return ConstituencyModel(config, extra, tensors, charlms or None, transformer)


def write_constituency_bundle(directory, model: ConstituencyModel, *, assets=None, tensors=None, package=None,
                              **kwargs):
    """``package``: the compiled transformer, stored as the section's artifact."""
    tensors = model.tensors if tensors is None else tensors
    return write_with_transformer(directory, "constituency", list(tensors.items()),
                                  model.assets() if assets is None else assets, model.transformer, package, **kwargs)


def random_sentences(seed: int, count: int, *, words=WORDS, tags=TAGS, max_length=10):
    """(words, tags) pairs of 1 to ``max_length`` words, unknown words and tags included."""
    rng = random.Random(seed)
    extra_words, extra_tags = ["zzz", "CAT", "The", "x y", "ÉTÉ"], ["XX", ""]
    out = []
    for _ in range(count):
        n = rng.randint(1, max_length)
        out.append(([rng.choice(words + extra_words) for _ in range(n)],
                    [rng.choice(tags + extra_tags) for _ in range(n)]))
    return out
