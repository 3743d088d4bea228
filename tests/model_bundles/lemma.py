"""Lemmatizer test bundles, written with the shared bundle writer.

``write_lemma_bundle(directory, pos_dict, model=None, ...)`` writes a "lemma"
bundle: with ``model`` (a ``model_bundles.seq2seq`` model) its configuration,
vocabularies and tensors plus the lemmatizer's keys; without one a
dictionary-only bundle. ``constant_model`` makes a model whose answer is known
without decoding: every word gets the same edit class and the same text.
"""
from __future__ import annotations

from bundle_writer import write_bundle
from model_bundles.seq2seq import random_model


def lemma_assets(pos_dict: dict, model=None, *, dict_only=None, ensemble_dict=False, pos=None,
                 caseless=None, config_caseless=None) -> dict:
    if model is None:
        assets = {"config": {}}
        dict_only = True if dict_only is None else dict_only
    else:
        assets = model.assets()
        assets["config"] = dict(model.config)
        dict_only = False if dict_only is None else dict_only
    config = assets["config"]
    config["dict_only"] = dict_only
    config["ensemble_dict"] = ensemble_dict
    config["pos"] = (model is not None and bool(model.config["pos"])) if pos is None else pos
    if config_caseless is not None:
        config["caseless"] = config_caseless
    if caseless is not None:
        assets["caseless"] = caseless
    assets["pos_dict"] = pos_dict
    return assets


def write_lemma_bundle(directory, pos_dict: dict, model=None, *, assets=None, processor="lemma",
                       **options):
    bundle_kwargs = {k: options.pop(k) for k in ("edit_manifest",) if k in options}
    if assets is None:
        assets = lemma_assets(pos_dict, model, **options)
    tensors = list(model.tensors.items()) if model is not None else ()
    return write_bundle(directory, processor, tensors=tensors, assets=assets, **bundle_kwargs)


def constant_model(*, edit_class=None, text_unit=None, pos=False, max_dec_len=3):
    """All weights zero. The edit classifier (when ``edit_class`` is given) picks
    that class; the decoder emits ``text_unit`` (a character of the vocabulary
    "abc", or "<UNK>") at every step up to ``max_dec_len``, or "<EOS>" at once
    when ``text_unit`` is None."""
    edit = edit_class is not None
    model = random_model(7, chars=list("abc"), emb_dim=4, hidden_dim=4, num_layers=1,
                         max_dec_len=max_dec_len, pos=pos, edit=edit,
                         edit_classes=max(4, (edit_class or 0) + 1))
    for t in model.tensors.values():
        t.zero_()
    if edit:
        model.tensors["edit_clf.2.bias"][edit_class] = 5.0
    unit = "<EOS>" if text_unit is None else text_unit
    model.tensors["dec2vocab.bias"][model.char_vocab["_unit2id"][unit]] = 5.0
    return model
