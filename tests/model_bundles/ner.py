"""NER test bundles (BiLSTM-CRF with BIOES tags), written with the shared bundle writer.

``random_ner`` returns a model as (assets, tensors) with random weights; every option of the
loader's profile can be set. Tag columns start with four reserved tags, then "O" and the BIOES
tags of each entity type.
"""
import dataclasses

import torch

from bundle_writer import write_with_transformer
from model_bundles.charlm import random_charlm

WORDS = ["the", "a", "paris", "Paris", "new york", "john", "smith", "visited", "in", ".", ",", "é",
         "ß", "中国", "berlin", "said", "mr", "today"]
CHARS = list("abcdefghijklmnopqrstuvwxyzPJSN .,é中国")
RESERVED = ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>"]


def bioes_column(types):
    return RESERVED + ["O"] + [f"{p}-{t}" for t in types for p in "BIES"]


@dataclasses.dataclass
class NERModel:
    assets: dict
    tensors: dict


def random_ner(seed, *, word_dim=6, char_dim=5, char_hidden=4, char_layers=1, hidden=7, layers=1,
               columns=(("PER", "LOC"),), predict_tagset=0, charlm=False, charlm_hidden=(5, 3),
               input_transform=False, connect=False, lowercase=True, char_lowercase=False,
               word_lower=None, delta_lower=None, words=WORDS, delta_words=None, chars=CHARS,
               scale=0.8, transition_scale=1.0, transformer=None, dtype=torch.float32) -> NERModel:
    """``transformer``: an assets "transformer" section (model_bundles.transformer) whose
    features join the word features."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape, s=scale):
        return (torch.randn(*shape, generator=gen) * s).to(dtype)

    word_units = ["<PAD>", "<UNK>"] + [x.replace(" ", "\u00a0") for x in words]
    delta_units = ["<PAD>", "<UNK>"] + list(delta_words if delta_words is not None else words[::2])
    char_units = ["<PAD>", "<UNK>"] + list(chars)
    tag_columns = [bioes_column(types) for types in columns]
    tensors = {"word_emb.weight": w(len(word_units), word_dim),
               "delta_emb.weight": w(len(delta_units), word_dim)}
    assets = {}
    if charlm:
        lm_chars = [ch for ch in chars if ch not in " \n"]  # the LMs have their own space and newline
        lms = [random_charlm(seed * 7 + 1, hidden_dim=charlm_hidden[0], chars=lm_chars),
               random_charlm(seed * 7 + 2, forward=False, hidden_dim=charlm_hidden[1], chars=lm_chars)]
        assets["charlm"] = {"forward": lms[0].assets(), "backward": lms[1].assets()}
        for direction, lm in zip(("forward", "backward"), lms):
            tensors.update({f"charmodel_{direction}.{k}": v.to(dtype) for k, v in lm.tensors.items()})
        width = word_dim + sum(charlm_hidden)
    else:
        tensors["charmodel.char_emb.weight"] = w(len(char_units), char_dim)
        tensors["charmodel.charlstm_h_init"] = w(2 * char_layers, 1, char_hidden)
        tensors["charmodel.charlstm_c_init"] = w(2 * char_layers, 1, char_hidden)
        for l in range(char_layers):
            for suffix in ("", "_reverse"):
                inputs = char_dim if l == 0 else 2 * char_hidden
                tensors[f"charmodel.charlstm.lstm.weight_ih_l{l}{suffix}"] = w(4 * char_hidden, inputs)
                tensors[f"charmodel.charlstm.lstm.weight_hh_l{l}{suffix}"] = w(4 * char_hidden, char_hidden)
                tensors[f"charmodel.charlstm.lstm.bias_ih_l{l}{suffix}"] = w(4 * char_hidden)
                tensors[f"charmodel.charlstm.lstm.bias_hh_l{l}{suffix}"] = w(4 * char_hidden)
        width = word_dim + 2 * char_hidden
    if transformer is not None:
        assets["transformer"] = transformer
        width += transformer["hidden_size"]
    if input_transform:
        tensors["input_transform.weight"] = w(width, width, s=scale / width ** 0.5)
        tensors["input_transform.bias"] = w(width)
    tensors["taggerlstm_h_init"] = w(2 * layers, 1, hidden)
    tensors["taggerlstm_c_init"] = w(2 * layers, 1, hidden)
    for l in range(layers):
        for suffix in ("", "_reverse"):
            tensors[f"taggerlstm.lstm.weight_ih_l{l}{suffix}"] = w(4 * hidden, width if l == 0 else 2 * hidden)
            tensors[f"taggerlstm.lstm.weight_hh_l{l}{suffix}"] = w(4 * hidden, hidden)
            tensors[f"taggerlstm.lstm.bias_ih_l{l}{suffix}"] = w(4 * hidden)
            tensors[f"taggerlstm.lstm.bias_hh_l{l}{suffix}"] = w(4 * hidden)
    previous = 0
    for k, column in enumerate(tag_columns):
        inputs = 2 * hidden + (previous if connect and k > 0 else 0)
        tensors[f"tag_clfs.{k}.weight"] = w(len(column), inputs)
        tensors[f"tag_clfs.{k}.bias"] = w(len(column))
        tensors[f"crits.{k}._transitions"] = w(len(column), len(column), s=transition_scale)
        previous = len(column)
    config = {"word_emb_dim": word_dim, "char_emb_dim": char_dim, "char_hidden_dim": char_hidden,
              "char_num_layers": char_layers, "hidden_dim": hidden, "num_layers": layers,
              "predict_tagset": predict_tagset, "lowercase": lowercase,
              "char_lowercase": char_lowercase, "input_transform": input_transform,
              "connect_output_layers": connect, "charlm": charlm, "char": True,
              "char_rec_dropout": 0, "scheme": "bioes",
              "bert_model": "tiny" if transformer is not None else None}
    vocab = {"_key2class": {"char": "CharVocab", "word": "PretrainedWordVocab", "delta": "WordVocab",
                            "tag": "CompositeVocab"},
             "word": {"_unit2id": {u: i for i, u in enumerate(word_units)}},
             "delta": {"_unit2id": {u: i for i, u in enumerate(delta_units)}},
             "char": {"_unit2id": {u: i for i, u in enumerate(char_units)}},
             "tag": {"_id2unit": {str(k): column for k, column in enumerate(tag_columns)}}}
    if word_lower is not None:
        vocab["word"]["lower"] = word_lower
    if delta_lower is not None:
        vocab["delta"]["lower"] = delta_lower
    assets.update({"config": config, "vocab": vocab})
    return NERModel(assets, tensors)


def write_ner_bundle(directory, model: NERModel, *, package=None, **kwargs):
    """``package``: the compiled transformer, stored as the section's artifact."""
    return write_with_transformer(directory, "ner", model.tensors, model.assets, model.assets.get("transformer"),
                                  package, **kwargs)
