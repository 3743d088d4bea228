"""Tokenizer bundles for tests: assets, random weights and deliberately broken variants.

``write_tokenizer_bundle(directory, **options)`` writes a bundle with
tests/bundle_writer.py and returns its ``BundleInfo``. Options:

* configuration: ``emb_dim`` (8), ``hidden_dim`` (8), ``feat_funcs`` (the five
  simple and edge features), ``use_mwt`` (False), ``hier_invtemp`` (0.5),
  ``skip_newline`` (False), ``shorthand`` ("en_test"), ``lang`` ("en"),
  ``use_dictionary`` (False), ``num_dict_feat`` (3), ``batch_size`` (omitted);
  ``feat_dim`` defaults to the width the features add up to.
* ``config_edit``: called with the config dict before writing (add, remove or
  change keys freely, e.g. ``conv_res`` or ``charlm_forward_file``).
* ``lexicon``: the word list (written only with ``use_dictionary`` unless
  ``write_lexicon`` is True).
* ``vocab``: a string of characters (ids from 2, after "<PAD>" 0 and "<UNK>" 1)
  or a dict written as ``_unit2id`` verbatim.
* ``seed`` and ``scale``: weights are standard normal times ``scale`` (the
  output heads additionally times ``head_scale``), so that labels vary.
* ``tensor_overrides``: {name: value} replaces generated weights (broadcast to
  their shape), e.g. a large bias to force a label;
* ``drop_tensors``: names left out; ``extra_tensors``: (name, array) pairs
  appended; ``assets_edit``: called with the whole assets dict;
  ``assets_bytes_edit``: maps the serialised assets (bytes) to the bytes
  written, for malformed JSON or invalid UTF-8; any remaining
  keyword arguments go to ``write_bundle`` (``processor``, ``language``,
  ``edit_manifest``...).

``hand_set_weights(vocab, emb_dim, hidden_dim, feat_dim)`` gives weights (for
``tensor_overrides``) of a tokenizer that splits at spaces and punctuation, so
that its output is known in advance.

``tokenizer_weights(...)`` gives the weights as an ordered list of (name,
float32 array) pairs.
"""
from __future__ import annotations

import json
import os
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from bundle_writer import write_bundle  # noqa: E402

DEFAULT_FEATURES = ["space_before", "capitalized", "numeric", "end_of_para", "start_of_para"]
STRUCTURAL = ["labeled_field", "phone_id", "date_pattern", "currency"]
DEFAULT_VOCAB = ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                 " .,;:!?'\"()-@/$%&")


def feature_width(feat_funcs, use_dictionary=False, num_dict_feat=0):
    simple = sum(1 for name in feat_funcs if name in ("space_before", "capitalized", "numeric"))
    edges = ("end_of_para" in feat_funcs) + ("start_of_para" in feat_funcs)
    structural = sum(1 for name in STRUCTURAL if name in feat_funcs)
    return simple + edges + structural + (2 * num_dict_feat if use_dictionary else 0)


def tokenizer_weights(vocab_size, emb_dim, hidden_dim, feat_dim, use_mwt, *, seed=0, scale=1.0,
                      head_scale=1.0):
    rng = np.random.default_rng(seed)

    def normal(*shape, factor=1.0):
        return (rng.standard_normal(shape) * scale * factor).astype(np.float32)

    weights = [("embeddings.weight", normal(vocab_size, emb_dim))]

    def lstm(prefix, input_size):
        out = []
        for suffix in ("", "_reverse"):
            out += [(f"{prefix}.weight_ih_l0{suffix}", normal(4 * hidden_dim, input_size)),
                    (f"{prefix}.weight_hh_l0{suffix}", normal(4 * hidden_dim, hidden_dim)),
                    (f"{prefix}.bias_ih_l0{suffix}", normal(4 * hidden_dim)),
                    (f"{prefix}.bias_hh_l0{suffix}", normal(4 * hidden_dim))]
        return out

    weights += lstm("rnn", emb_dim + feat_dim)
    heads = ["tok_clf", "sent_clf"] + (["mwt_clf"] if use_mwt else [])
    for head in heads:
        weights += [(f"{head}.weight", normal(1, 2 * hidden_dim, factor=head_scale)),
                    (f"{head}.bias", normal(1, factor=head_scale))]
    weights += lstm("rnn2", 2 * hidden_dim)
    for head in heads:
        weights.append((f"{head}2.weight", normal(1, 2 * hidden_dim, factor=head_scale)))
    return weights


def tokenizer_assets(*, emb_dim=8, hidden_dim=8, feat_funcs=None, feat_dim=None, use_mwt=False,
                     hier_invtemp=0.5, skip_newline=False, shorthand="en_test", lang="en",
                     use_dictionary=False, num_dict_feat=3, batch_size=None, lexicon=None,
                     write_lexicon=False, vocab=DEFAULT_VOCAB, config_edit=None, assets_edit=None):
    feat_funcs = list(DEFAULT_FEATURES if feat_funcs is None else feat_funcs)
    if feat_dim is None:
        feat_dim = feature_width(feat_funcs, use_dictionary, num_dict_feat)
    config = {
        "emb_dim": emb_dim, "hidden_dim": hidden_dim, "feat_dim": feat_dim, "rnn_layers": 1,
        "hierarchical": True, "use_mwt": use_mwt, "hier_invtemp": hier_invtemp,
        "skip_newline": skip_newline, "shorthand": shorthand, "lang": lang,
        "feat_funcs": feat_funcs,
    }
    if use_dictionary:
        config["use_dictionary"] = True
        config["num_dict_feat"] = num_dict_feat
    if batch_size is not None:
        config["batch_size"] = batch_size
    if config_edit is not None:
        config_edit(config)
    if isinstance(vocab, dict):
        unit2id = dict(vocab)
    else:
        unit2id = {"<PAD>": 0, "<UNK>": 1}
        for ch in vocab:
            unit2id.setdefault(ch, len(unit2id))
    assets = {"config": config, "vocab": {"_unit2id": unit2id}}
    if use_dictionary or write_lexicon:
        assets["lexicon"] = list(lexicon or [])
    if assets_edit is not None:
        assets_edit(assets)
    return assets


def write_tokenizer_bundle(directory: str | os.PathLike, *, seed=0, scale=1.0, head_scale=1.0,
                           drop_tensors=(), extra_tensors=(), emb_dim=8, hidden_dim=8,
                           feat_funcs=None, feat_dim=None, use_mwt=False, hier_invtemp=0.5,
                           skip_newline=False, shorthand="en_test", lang="en", use_dictionary=False,
                           num_dict_feat=3, batch_size=None, lexicon=None, write_lexicon=False,
                           vocab=DEFAULT_VOCAB, config_edit=None, assets_edit=None,
                           processor="tokenize", assets_bytes_edit=None, tensor_overrides=None,
                           **bundle_options):
    assets = tokenizer_assets(
        emb_dim=emb_dim, hidden_dim=hidden_dim, feat_funcs=feat_funcs, feat_dim=feat_dim,
        use_mwt=use_mwt, hier_invtemp=hier_invtemp, skip_newline=skip_newline,
        shorthand=shorthand, lang=lang, use_dictionary=use_dictionary,
        num_dict_feat=num_dict_feat, batch_size=batch_size, lexicon=lexicon,
        write_lexicon=write_lexicon, vocab=vocab, config_edit=config_edit,
        assets_edit=assets_edit)
    config = assets.get("config", {}) if isinstance(assets.get("config"), dict) else {}
    width = config.get("feat_dim", 0) if isinstance(config.get("feat_dim"), int) else 0
    unit2id = assets.get("vocab", {}).get("_unit2id", {}) if isinstance(assets.get("vocab"), dict) else {}
    ids = [v for v in unit2id.values() if isinstance(v, int)] if isinstance(unit2id, dict) else []
    vocab_size = max(ids, default=1) + 1
    weights = tokenizer_weights(vocab_size, emb_dim, hidden_dim, width, use_mwt, seed=seed,
                                scale=scale, head_scale=head_scale)
    overrides = dict(tensor_overrides or {})
    tensors = [(name, np.broadcast_to(np.asarray(overrides.get(name, value), dtype=np.float32),
                                      value.shape).copy())
               for name, value in weights if name not in set(drop_tensors)]
    tensors += list(extra_tensors)
    written = assets
    if assets_bytes_edit is not None:
        text = json.dumps(assets, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        written = assets_bytes_edit(text.encode("utf-8"))
    return write_bundle(directory, processor, tensors, written, **bundle_options)


PUNCTUATION = ".,;:!?()\"'"
SENTENCE_END = ".!?"
MWT_FINAL = "u"


def hand_set_weights(vocab: str, emb_dim: int, hidden_dim: int, feat_dim: int):
    """Hand-set weights of a tokenizer that ends a token before a space or a
    punctuation mark and after a punctuation mark, ends a sentence after ".",
    "!" or "?", and marks tokens ending in "u" as multi-word tokens.

    The embedding flags each character (space, punctuation, sentence end, "u");
    the backward LSTM of the first level keeps those flags for the current
    character and, through its recurrent weights, the space/punctuation flag of
    the next one; everything else is zero.
    """
    import numpy as np

    H = hidden_dim
    ids = {c: i + 2 for i, c in enumerate(vocab)}
    embedding = np.zeros((len(vocab) + 2, emb_dim), np.float32)
    for c, i in ids.items():
        embedding[i, 0] = c == " "
        embedding[i, 1] = c in PUNCTUATION
        embedding[i, 2] = c in SENTENCE_END
        embedding[i, 3] = c == MWT_FINAL
    zero = {}

    def lstm(prefix, input_size, reverse_ih=None, reverse_hh=None, reverse_bias=None):
        out = {}
        for suffix in ("", "_reverse"):
            reverse = suffix == "_reverse"
            out[f"{prefix}.weight_ih_l0{suffix}"] = (
                reverse_ih if reverse and reverse_ih is not None else np.zeros((4 * H, input_size), np.float32))
            out[f"{prefix}.weight_hh_l0{suffix}"] = (
                reverse_hh if reverse and reverse_hh is not None else np.zeros((4 * H, H), np.float32))
            out[f"{prefix}.bias_ih_l0{suffix}"] = (
                reverse_bias if reverse and reverse_bias is not None else np.zeros(4 * H, np.float32))
            out[f"{prefix}.bias_hh_l0{suffix}"] = np.zeros(4 * H, np.float32)
        return out

    # Gate rows: input [0, H), forget [H, 2H), cell [2H, 3H), output [3H, 4H).
    # Units: 0 space-or-punctuation here, 1 space-or-punctuation next,
    # 2 punctuation here, 3 sentence end here, 4 space here, 5 "u" here.
    ih = np.zeros((4 * H, emb_dim + feat_dim), np.float32)
    hh = np.zeros((4 * H, H), np.float32)
    bias = np.zeros(4 * H, np.float32)
    bias[0:H] = 10.0        # input gates open
    bias[H:2 * H] = -10.0   # forget gates shut: each unit holds only this step
    bias[3 * H:4 * H] = 10.0  # output gates open
    cell = 2 * H
    ih[cell + 0, 0] = ih[cell + 0, 1] = 5.0
    hh[cell + 1, 0] = 5.0
    ih[cell + 2, 1] = 5.0
    ih[cell + 3, 2] = 5.0
    ih[cell + 4, 0] = 5.0
    ih[cell + 5, 3] = 5.0
    weights = {"embeddings.weight": embedding}
    weights.update(lstm("rnn", emb_dim + feat_dim, ih, hh, bias))
    weights.update(lstm("rnn2", 2 * H))

    def head(units_weights, bias_value):
        w = np.zeros((1, 2 * H), np.float32)
        for unit, value in units_weights.items():
            w[0, H + unit] = value
        return w, np.full(1, bias_value, np.float32)

    for name, units, b in [("tok_clf", {1: 10.0, 2: 10.0, 4: -20.0}, -3.0),
                           ("sent_clf", {3: 10.0}, -4.0),
                           ("mwt_clf", {5: 10.0}, -4.0)]:
        weights[f"{name}.weight"], weights[f"{name}.bias"] = head(units, b)
        weights[f"{name}2.weight"] = np.zeros((1, 2 * H), np.float32)
    return weights
