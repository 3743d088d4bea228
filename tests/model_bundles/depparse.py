"""Dependency-parser test bundles with random weights: plain or composite XPOS, the
parser's own character model or two character LMs, optional linearization and distance
scorers, any number of highway layers; random tagged sentences for them."""
from __future__ import annotations

import dataclasses
import random

import torch

from bundle_writer import write_with_transformer
from model_bundles.charlm import random_charlm

SPECIALS = ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>"]  # 1: unknown, 2: no XPOS component, 3: root
ALPHABET = list("abcdefghijklmnopqrstuvwxyzABCDEFG.,!?'-éßж€中") + ["😀", "？"]
WORDS = ["the", "a", "cat", "sat", "on", "mat", "New York", "?", "!", "Ёлка", "é", "ß", "中文",
         "dog", "ran", "to", "big", "red", "house", "and", "is", "was", "of", "in", "it"]
LEMMAS = ["the", "a", "cat", "sit", "on", "mat", "be", "run", "dog", "Big", "house", "ёлка"]
UPOS = ["NOUN", "VERB", "ADJ", "DET", "ADP", "PUNCT", "PRON", "PROPN"]
DEPRELS = ["nsubj", "obj", "root", "det", "case", "amod", "punct", "obl", "conj", "cc", "_"]


@dataclasses.dataclass
class DepparseModel:
    config: dict
    vocab: dict          # assets.vocab
    pretrain_vocab: dict
    tensors: dict        # bundle name -> tensor, in manifest order
    charlms: dict | None = None  # "forward"/"backward" -> model_bundles.charlm.CharLMModel
    transformer: dict | None = None

    def assets(self) -> dict:
        assets = {"config": self.config, "vocab": self.vocab, "pretrain_vocab": self.pretrain_vocab,
                  "runtime_contract": {"depparse_ufeats_input": "duplicated_pos_emb"}}
        if self.charlms is not None:
            assets["charlm"] = {k: m.assets() for k, m in self.charlms.items()}
        if self.transformer is not None:
            assets["transformer"] = self.transformer
        return assets


def unit2id(units, lower=None) -> dict:
    vocab = {"_unit2id": {u: i for i, u in enumerate(dict.fromkeys(SPECIALS + list(units)))}}
    if lower is not None:
        vocab["lower"] = lower
    return vocab


def xpos_tags(model: DepparseModel) -> list:
    """Tags the XPOS vocabulary knows, with a few it does not."""
    xpos = model.vocab["xpos"]
    if model.vocab["_key2class"]["xpos"] == "WordVocab":
        return list(xpos["_unit2id"])[4:] + ["_", "Xnew"]
    parts = [list(xpos["_unit2id"][str(k)])[4:] for k in range(len(xpos["_unit2id"]))]
    sep, rng = xpos["sep"], random.Random(len(parts))
    tags = [sep.join(rng.choice(p) for p in parts[:rng.randint(min(1, len(parts)), len(parts))]) for _ in range(8)]
    return [t for t in tags if t] + ["_", sep.join(["q"] * 3) or "q", "z" + sep + sep + "y"]


def random_depparse_model(seed: int, *, composite=False, xpos_components=2, sep="+", charlm=False,
                          linearization=False, distance=False, num_layers=2, word_emb_dim=6,
                          pretrain_dim=5, transformed_dim=7, char_emb_dim=5, char_hidden_dim=9,
                          hidden_dim=8, tag_emb_dim=4, deep_dim=10, deprels=DEPRELS, feats=3,
                          attn_rows=1, word_lower=None, lemma_lower=None, xpos_ignore=False,
                          transformer=None, batch_size=None, words=WORDS, scale=0.4
                          ) -> DepparseModel:
    """``transformer``: an assets "transformer" section (model_bundles.transformer) whose
    features join the input after the character features."""
    gen = torch.Generator().manual_seed(seed)
    rng = random.Random(seed)

    def w(*shape):
        return (torch.randn(*shape, generator=gen) * scale).float()

    vocab = {"_key2class": {"xpos": "XPOSVocab" if composite else "WordVocab"},
             "word": unit2id(rng.sample(words, len(words) * 3 // 4), word_lower),
             "lemma": unit2id(rng.sample(LEMMAS, len(LEMMAS) * 3 // 4), lemma_lower),
             "char": unit2id(rng.sample(ALPHABET, len(ALPHABET) * 3 // 4)),
             "upos": unit2id(rng.sample(UPOS, 6)),
             "deprel": {"_id2unit": SPECIALS + list(deprels)}}
    if composite:
        vocab["xpos"] = {"keyed": False, "sep": sep, "_unit2id": {
            str(k): unit2id([f"c{k}v{j}" for j in range(rng.randint(1, 4))] + ["q"])["_unit2id"]
            for k in range(xpos_components)}}
    else:
        vocab["xpos"] = unit2id([f"X{j}" for j in range(6)] + ["_"])
        if xpos_ignore:
            vocab["xpos"]["ignore"] = ["_"]
    names = sorted(rng.sample(["Case", "Gender", "Number", "Person", "Tense", "Mood"], feats))
    vocab["feats"] = {"keyed": True, "sep": "|",
                      "_id2unit": {name: SPECIALS[:3] + [f"{name[:2]}{j}" for j in range(2)]
                                   for name in names}}
    pretrain_vocab = unit2id([wd.lower().replace(" ", "\u00a0")
                              for wd in rng.sample(words, len(words) * 3 // 5)])

    H, T, D = hidden_dim, tag_emb_dim, deep_dim
    tensors = {"word_emb.weight": w(len(vocab["word"]["_unit2id"]), word_emb_dim),
               "lemma_emb.weight": w(len(vocab["lemma"]["_unit2id"]), word_emb_dim),
               "upos_emb.weight": w(len(vocab["upos"]["_unit2id"]), T),
               "pretrained_emb.weight": w(len(pretrain_vocab["_unit2id"]), pretrain_dim),
               "trans_pretrained.weight": w(transformed_dim, pretrain_dim),
               "parserlstm_h_init": w(2 * num_layers, 1, H), "parserlstm_c_init": w(2 * num_layers, 1, H)}
    if composite:
        for k in range(xpos_components):
            tensors[f"xpos_emb.{k}.weight"] = w(len(vocab["xpos"]["_unit2id"][str(k)]), T)
    else:
        tensors["xpos_emb.weight"] = w(len(vocab["xpos"]["_unit2id"]), T)
    charlms = None
    if charlm:
        charlms = {"forward": random_charlm(seed + 1, emb_dim=4, hidden_dim=6),
                   "backward": random_charlm(seed + 2, forward=False, emb_dim=3, hidden_dim=5)}
        for direction, model in charlms.items():
            tensors.update({f"charmodel_{direction}.{k}": t for k, t in model.tensors.items()})
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
    width = char_part + transformed_dim + 2 * word_emb_dim + 2 * T
    width += transformer["hidden_size"] if transformer else 0
    for k in range(num_layers):
        source = width if k == 0 else 2 * H
        for sfx in ("", "_reverse"):
            tensors[f"parserlstm.lstm.{k}.lstm.weight_ih_l0{sfx}"] = w(4 * H, source)
            tensors[f"parserlstm.lstm.{k}.lstm.weight_hh_l0{sfx}"] = w(4 * H, H)
            tensors[f"parserlstm.lstm.{k}.lstm.bias_ih_l0{sfx}"] = w(4 * H)
            tensors[f"parserlstm.lstm.{k}.lstm.bias_hh_l0{sfx}"] = w(4 * H)
        for part in ("highway", "gate"):
            tensors[f"parserlstm.{part}.{k}.weight"] = w(2 * H, source)
            tensors[f"parserlstm.{part}.{k}.bias"] = w(2 * H)
    heads = {"unlabeled": 1, "deprel": len(deprels)}
    if linearization:
        heads["linearization"] = 1
    if distance:
        heads["distance"] = 1
    for name, outputs in heads.items():
        tensors.update({f"{name}.W1.weight": w(D, 2 * H), f"{name}.W1.bias": w(D),
                        f"{name}.W2.weight": w(D, 2 * H), f"{name}.W2.bias": w(D),
                        f"{name}.scorer.W_bilin.weight": w(D + 1, D + 1, outputs),
                        f"{name}.scorer.W_bilin.bias": w(outputs)})
    for i, name in enumerate(names):
        tensors[f"ufeats_emb.{i}.weight"] = w(len(vocab["feats"]["_id2unit"][name]), T)
    config = {"word_emb_dim": word_emb_dim, "tag_emb_dim": T, "transformed_dim": transformed_dim,
              "char_emb_dim": char_emb_dim, "char_hidden_dim": char_hidden_dim, "hidden_dim": H,
              "num_layers": num_layers, "deep_biaff_hidden_dim": D, "linearization": linearization,
              "distance": distance, "charlm": charlm, "char": True, "pretrain": True,
              "char_bidirectional": False, "use_arc_embedding": False, "reversed": False,
              "use_upos": True, "use_xpos": True, "use_ufeats": True, "char_num_layers": 1,
              "char_rec_dropout": 0, "rec_dropout": 0.0,
              "bert_model": "tiny" if transformer else None}
    if batch_size is not None:
        config["batch_size"] = batch_size
    return DepparseModel(config, vocab, pretrain_vocab, tensors, charlms, transformer)


def write_depparse_bundle(directory, model: DepparseModel, *, assets=None, tensors=None, package=None,
                          **kwargs):
    """``package``: the compiled transformer, stored as the section's artifact."""
    tensors = model.tensors if tensors is None else tensors
    return write_with_transformer(directory, "depparse", list(tensors.items()),
                                  model.assets() if assets is None else assets, model.transformer, package, **kwargs)


EXTRA = ["??", "?!", "！！", "‼‼", "¿?", "a?", "zzz", "Cat", "THE", "İx", "x y", "NEW YORK"]


def random_sentences(seed: int, count: int, model: DepparseModel, *, max_length=12, empty=True,
                     words=WORDS, extra=EXTRA):
    """Tagged sentences as lists of word dicts ("text", and "lemma", "upos", "xpos",
    "feats" when present): known and unknown words, runs of marks, missing fields."""
    rng = random.Random(seed)
    extra = list(extra)
    upos = list(model.vocab["upos"]["_unit2id"])[4:] + ["_", "SYM"]
    lemmas = LEMMAS + ["unknown", "CAT", "_"]
    tags = xpos_tags(model)

    def word():
        record = {"text": rng.choice(words + extra)}
        for key, choices in (("lemma", lemmas), ("upos", upos), ("xpos", tags),
                             ("feats", ["Case=Nom", "Number=Sing|Case=Acc"])):
            if rng.random() < 0.8:
                record[key] = rng.choice(choices)
        return record

    return [[word() for _ in range(rng.randint(0 if empty else 1, max_length))] for _ in range(count)]
