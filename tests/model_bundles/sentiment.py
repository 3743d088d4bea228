"""Sentiment classifier test bundles: random CNN models written with the shared bundle writer."""
from __future__ import annotations

import dataclasses

import torch

from bundle_writer import write_with_transformer
from model_bundles.charlm import random_charlm

# Words of random vocabularies, with forms that the lookup fallbacks reach.
WORDS = ["the", "a", "good", "bad", "movie", "film", "Paris", "new york", "great", "awful", "not",
         "very", "plot", "actor", "ending", "é", "straße", "jamais", "ok", "fun"]


@dataclasses.dataclass
class SentimentModel:
    config: dict
    labels: list
    unit2id: dict
    lower: bool | None
    extra_vocab: list | None
    charlm: dict  # "forward"/"backward" -> CharLMModel
    tensors: dict  # full bundle names -> tensor
    transformer: dict | None = None  # the assets' "transformer" section

    def assets(self) -> dict:
        assets = {"config": self.config, "labels": self.labels,
                  "pretrain_vocab": {"_unit2id": self.unit2id}}
        if self.lower is not None:
            assets["pretrain_vocab"]["lower"] = self.lower
        if self.extra_vocab is not None:
            assets["extra_vocab"] = self.extra_vocab
        if self.charlm:
            assets["charlm"] = {k: m.assets() for k, m in self.charlm.items()}
        if self.transformer is not None:
            assets["transformer"] = self.transformer
        return assets


def random_sentiment(seed: int, *, words=WORDS, emb_dim=6, method="NONE", extra_words=None,
                     extra_dim=4, bilstm=False, hidden=5, filters=(2, 3), channels=4,
                     maxpool_width=1, fc_shapes=(), classes=3, charlm=(), projection=0,
                     lower=None, transformer=None, scale=0.5) -> SentimentModel:
    """Vocabulary "<PAD>", "<UNK>", then ``words``; ``charlm`` names the character models
    ("forward", "backward"), each projected to ``projection`` columns when it is at least 1;
    ``transformer``: an assets "transformer" section whose features join after them."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return torch.randn(*shape, generator=gen) * scale

    units = ["<PAD>", "<UNK>"] + list(words)
    tensors = {"embedding.weight": w(len(units), emb_dim), "unk": w(emb_dim)}
    width = emb_dim
    extra = None
    if method != "NONE":
        extra = list(extra_words if extra_words is not None else ["<PAD>", "<UNK>"] + list(words[:8]))
        x = emb_dim if method == "SUM" else extra_dim
        tensors["extra_embedding.weight"] = w(len(extra), x)
        width += x if method == "CONCAT" else 0
    models = {}
    for k, direction in enumerate(charlm):
        model = random_charlm(seed * 7 + k, forward=direction == "forward", emb_dim=5, hidden_dim=6)
        models[direction] = model
        tensors.update({f"{direction}_charlm.{n}": t for n, t in model.tensors.items()})
        if projection >= 1:
            tensors[f"charmodel_{direction}_projection.weight"] = w(projection, 6)
            tensors[f"charmodel_{direction}_projection.bias"] = w(projection)
        width += projection if projection >= 1 else 6
    if transformer is not None:
        width += transformer["hidden_size"]
    if bilstm:
        for layer in (0, 1):
            for suffix in ("", "_reverse"):
                inp = width if layer == 0 else 2 * hidden
                tensors[f"bilstm.weight_ih_l{layer}{suffix}"] = w(4 * hidden, inp)
                tensors[f"bilstm.weight_hh_l{layer}{suffix}"] = w(4 * hidden, hidden)
                tensors[f"bilstm.bias_ih_l{layer}{suffix}"] = w(4 * hidden)
                tensors[f"bilstm.bias_hh_l{layer}{suffix}"] = w(4 * hidden)
        width = 2 * hidden
    pooled = 0
    for i, f in enumerate(filters):
        height, tile = (f, width) if isinstance(f, int) else f
        tensors[f"conv_layers.{i}.weight"] = w(channels, 1, height, tile)
        tensors[f"conv_layers.{i}.bias"] = w(channels)
        pooled += channels * (width // tile) // maxpool_width
    sizes = [pooled] + list(fc_shapes) + [classes]
    for i in range(len(sizes) - 1):
        tensors[f"fc_layers.{i}.weight"] = w(sizes[i + 1], sizes[i])
        tensors[f"fc_layers.{i}.bias"] = w(sizes[i + 1])
    config = {"model_type": "CNN", "extra_wordvec_method": method, "bilstm": bilstm,
              "bilstm_hidden_dim": hidden if bilstm else 0, "maxpool_width": maxpool_width,
              "num_classes": classes, "charlm_projection": projection,
              "has_charlm_forward": "forward" in charlm, "has_charlm_backward": "backward" in charlm,
              "filter_sizes": [f if isinstance(f, int) else list(f) for f in filters],
              "fc_shapes": list(fc_shapes), "use_elmo": False, "use_peft": False,
              "bert_model": None if transformer is None else "bert", "extra_wordvec_max_norm": None}
    return SentimentModel(config, [f"class{c}" for c in range(classes)],
                          {u: i for i, u in enumerate(units)}, lower, extra, models, tensors, transformer)


def write_sentiment_bundle(directory, model: SentimentModel, *, package=None, **kwargs):
    """``package``: the compiled transformer, stored as the section's artifact."""
    return write_with_transformer(directory, "sentiment", model.tensors, model.assets(), model.transformer, package,
                                  **kwargs)
