"""POS tagger test bundles with random weights: plain or composite XPOS, the character
model or two character LMs, any number of highway layers."""
from __future__ import annotations

import dataclasses
import random

import torch

from bundle_writer import write_with_transformer
from model_bundles.charlm import random_charlm

SPECIALS = ["<PAD>", "<UNK>", "<EMPTY>"]  # id 2: "no value" in XPOS components and features
ALPHABET = list("abcdefghijklmnopqrstuvwxyzABCDEFG.,!?'-éßж€中") + ["😀", "？"]
WORDS = ["the", "a", "cat", "sat", "on", "mat", "New York", "?", "!", "Ёлка", "é", "ß", "中文",
         "dog", "ran", "to", "big", "red", "house", "and", "is", "was", "of", "in", "it"]
UPOS = ["NOUN", "VERB", "ADJ", "DET", "ADP", "PUNCT", "PRON", "PROPN"]


@dataclasses.dataclass
class POSModel:
    config: dict
    vocab: dict          # assets.vocab
    pretrain_vocab: dict
    tensors: dict        # bundle name -> tensor, in manifest order
    charlms: dict | None = None  # "forward"/"backward" -> model_bundles.charlm.CharLMModel
    transformer: dict | None = None  # the assets' "transformer" section

    def assets(self) -> dict:
        assets = {"config": self.config, "vocab": self.vocab, "pretrain_vocab": self.pretrain_vocab}
        if self.charlms is not None:
            assets["charlm"] = {k: m.assets() for k, m in self.charlms.items()}
        if self.transformer is not None:
            assets["transformer"] = self.transformer
        return assets


def unit2id(units) -> dict:
    return {"_unit2id": {u: i for i, u in enumerate(dict.fromkeys(SPECIALS[:2] + list(units)))}}


def random_pos_model(seed: int, *, composite=False, xpos_components=2, charlm=False,
                     charlm_transform_dim=0, num_layers=2, word_emb_dim=6, pretrain_dim=5,
                     transformed_dim=7, char_emb_dim=5, char_hidden_dim=9, hidden_dim=8,
                     tag_emb_dim=4, deep_dim=10, feats=3, upos=UPOS, xpos_count=9, attn_rows=1,
                     word_lower=False, xpos_ignore=False, sep="+", words=WORDS, scale=0.6,
                     batch_size=None, batch_maximum_tokens=None, pretrain_words=None,
                     feat_names=None, feat_values=None, feats_deep_dim=None,
                     transformer=None) -> POSModel:
    """``pretrain_words``: the pretrained vocabulary (else some of ``words``); ``feat_names``:
    the features (else ``feats`` of seven), each with ``feat_values`` values (else 1 to 3);
    ``feats_deep_dim``: the feature hidden layer's width (else ``deep_dim``); ``transformer``:
    an assets "transformer" section (model_bundles.transformer) whose features join the
    input, the bundle then needs its package (``write_pos_bundle(package=...)``)."""
    gen = torch.Generator().manual_seed(seed)
    rng = random.Random(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).float()

    vocab = {"_key2class": {"xpos": "XPOSVocab" if composite else "WordVocab"},
             "word": dict(unit2id(rng.sample(words, len(words) * 3 // 4)), lower=word_lower),
             "char": unit2id(rng.sample(ALPHABET, len(ALPHABET) * 3 // 4)),
             "upos": {"_id2unit": list(upos)}}
    if composite:
        vocab["xpos"] = {"keyed": False, "sep": sep, "_id2unit": {
            str(k): SPECIALS + [f"c{k}v{j}" for j in range(rng.randint(1, 4))]
            for k in range(xpos_components)}}
        components = [vocab["xpos"]["_id2unit"][str(k)] for k in range(xpos_components)]
    else:
        vocab["xpos"] = {"_id2unit": SPECIALS + [f"X{j}" for j in range(xpos_count - 3)]}
        if xpos_ignore:
            vocab["xpos"]["ignore"] = ["_"]
    names = sorted(feat_names or rng.sample(["Case", "Gender", "Number", "Person", "Tense", "Mood",
                                             "Voice"], feats))
    vocab["feats"] = {"keyed": True, "sep": "|", "_id2unit": {
        name: SPECIALS + [f"{name[:2]}{j}" for j in range(feat_values or rng.randint(1, 3))]
        for name in names}}
    pretrain_vocab = unit2id([wd.lower().replace(" ", "\u00a0") for wd in
                              (pretrain_words or rng.sample(words, len(words) * 3 // 5))])
    F = feats_deep_dim or deep_dim

    H, T = hidden_dim, tag_emb_dim
    tensors = {"word_emb.weight": w(len(vocab["word"]["_unit2id"]), word_emb_dim),
               "pretrained_emb.weight": w(len(pretrain_vocab["_unit2id"]), pretrain_dim),
               "trans_pretrained.weight": w(transformed_dim, pretrain_dim),
               "taggerlstm_h_init": w(2 * num_layers, 1, H), "taggerlstm_c_init": w(2 * num_layers, 1, H),
               "upos_hid.weight": w(deep_dim, 2 * H), "upos_hid.bias": w(deep_dim),
               "upos_clf.weight": w(len(upos), deep_dim), "upos_clf.bias": w(len(upos)),
               "upos_emb.weight": w(len(upos), T),
               "xpos_hid.weight": w(deep_dim, 2 * H), "xpos_hid.bias": w(deep_dim),
               "ufeats_hid.weight": w(F, 2 * H), "ufeats_hid.bias": w(F)}
    if composite:
        for k, labels in enumerate(components):
            tensors[f"xpos_clf.{k}.W_bilin.weight"] = w(len(labels), deep_dim + 1, T + 1)
            tensors[f"xpos_clf.{k}.W_bilin.bias"] = w(len(labels))
    else:
        tensors["xpos_clf.W_bilin.weight"] = w(xpos_count, deep_dim + 1, T + 1)
        tensors["xpos_clf.W_bilin.bias"] = w(xpos_count)
    charlms = None
    if charlm:
        charlms = {"forward": random_charlm(seed + 1, emb_dim=4, hidden_dim=6),
                   "backward": random_charlm(seed + 2, forward=False, emb_dim=3, hidden_dim=5)}
        for direction, model in charlms.items():
            tensors.update({f"charmodel_{direction}.{k}": t for k, t in model.tensors.items()})
        if charlm_transform_dim >= 1:
            tensors["charmodel_forward_transform.weight"] = w(charlm_transform_dim, 6)
            tensors["charmodel_backward_transform.weight"] = w(charlm_transform_dim, 5)
            char_part = 2 * charlm_transform_dim
        else:
            char_part = 6 + 5
    else:
        C = char_hidden_dim
        tensors.update({"charmodel.char_emb.weight": w(len(vocab["char"]["_unit2id"]), char_emb_dim),
                        "charmodel.char_attn.weight": w(attn_rows, C),
                        "charmodel.charlstm_h_init": w(1, 1, C), "charmodel.charlstm_c_init": w(1, 1, C),
                        "charmodel.charlstm.lstm.weight_ih_l0": w(4 * C, char_emb_dim),
                        "charmodel.charlstm.lstm.weight_hh_l0": w(4 * C, C),
                        "charmodel.charlstm.lstm.bias_ih_l0": w(4 * C),
                        "charmodel.charlstm.lstm.bias_hh_l0": w(4 * C),
                        "trans_char.weight": w(transformed_dim, C)})
        char_part = transformed_dim
    width = word_emb_dim + transformed_dim + char_part + (transformer["hidden_size"] if transformer else 0)
    for k in range(num_layers):
        source = width if k == 0 else 2 * H
        for sfx in ("", "_reverse"):
            tensors[f"taggerlstm.lstm.{k}.lstm.weight_ih_l0{sfx}"] = w(4 * H, source)
            tensors[f"taggerlstm.lstm.{k}.lstm.weight_hh_l0{sfx}"] = w(4 * H, H)
            tensors[f"taggerlstm.lstm.{k}.lstm.bias_ih_l0{sfx}"] = w(4 * H)
            tensors[f"taggerlstm.lstm.{k}.lstm.bias_hh_l0{sfx}"] = w(4 * H)
        for part in ("highway", "gate"):
            tensors[f"taggerlstm.{part}.{k}.weight"] = w(2 * H, source)
            tensors[f"taggerlstm.{part}.{k}.bias"] = w(2 * H)
    for k, name in enumerate(names):
        count = len(vocab["feats"]["_id2unit"][name])
        tensors[f"ufeats_clf.{k}.W_bilin.weight"] = w(count, F + 1, T + 1)
        tensors[f"ufeats_clf.{k}.W_bilin.bias"] = w(count)
    config = {"word_emb_dim": word_emb_dim, "transformed_dim": transformed_dim,
              "char_emb_dim": char_emb_dim, "char_hidden_dim": char_hidden_dim,
              "hidden_dim": H, "num_layers": num_layers, "tag_emb_dim": T, "char": True,
              "pretrain": True, "char_bidirectional": False, "share_hid": False,
              "char_num_layers": 1, "char_rec_dropout": 0, "rec_dropout": 0, "charlm": charlm,
              "charlm_transform_dim": charlm_transform_dim,
              "bert_model": "tiny" if transformer else None}
    if batch_size is not None:
        config["batch_size"] = batch_size
    if batch_maximum_tokens is not None:
        config["batch_maximum_tokens"] = batch_maximum_tokens
    return POSModel(config, vocab, pretrain_vocab, tensors, charlms, transformer)


def write_pos_bundle(directory, model: POSModel, *, assets=None, tensors=None, package=None,
                     **kwargs):
    """``package``: the compiled transformer, stored as the section's artifact."""
    tensors = model.tensors if tensors is None else tensors
    return write_with_transformer(directory, "pos", list(tensors.items()), model.assets() if assets is None else assets,
                                  model.transformer, package, **kwargs)


def random_sentences(seed: int, count: int, *, words=WORDS, max_length=12, empty=True):
    """Word lists from the model's words, unknown words, marks and runs of marks."""
    rng = random.Random(seed)
    extra = ["??", "?!", "！！", "‼‼", "¿?", "a?", "zzz", "Cat", "THE", "İx", "Ωmega", "x y"]
    return [[rng.choice(words + extra) for _ in range(rng.randint(0 if empty else 1, max_length))]
            for _ in range(count)]
