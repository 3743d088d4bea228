"""Lemmatizer test bundles: a dictionary, and optionally a ``model_bundles.seq2seq`` model."""
from __future__ import annotations

from bundle_writer import write_bundle
from model_bundles.seq2seq import random_model


def write_lemma_bundle(directory, pos_dict: dict, model=None, *, ensemble_dict=False, pos=False,
                       caseless=None, config_caseless=None, **kwargs):
    """A "lemma" bundle, dictionary-only without a model. ``caseless`` is the top-level
    key, ``config_caseless`` the configuration's."""
    assets = model.assets() if model is not None else {}
    config = assets["config"] = dict(model.config) if model is not None else {}
    config.update(dict_only=model is None, ensemble_dict=ensemble_dict,
                  pos=pos or bool(model is not None and model.config["pos"]))
    if config_caseless is not None:
        config["caseless"] = config_caseless
    if caseless is not None:
        assets["caseless"] = caseless
    assets["pos_dict"] = pos_dict
    tensors = list(model.tensors.items()) if model is not None else ()
    return write_bundle(directory, "lemma", tensors, assets, **kwargs)


def constant_model(*, edit_class=None, text_unit=None, pos=False):
    """All weights zero: the edit classifier (when ``edit_class`` is given) picks that
    class, the decoder emits ``text_unit`` (a character of "abc", or "<UNK>") at every
    step, or "<EOS>" at once when it is None."""
    model = random_model(7, chars=list("abc"), emb_dim=4, hidden_dim=4, max_dec_len=3, pos=pos,
                         edit=edit_class is not None, edit_classes=max(4, (edit_class or 0) + 1))
    for t in model.tensors.values():
        t.zero_()
    if edit_class is not None:
        model.tensors["edit_clf.2.bias"][edit_class] = 5.0
    unit = "<EOS>" if text_unit is None else text_unit
    model.tensors["dec2vocab.bias"][model.char_vocab["_unit2id"][unit]] = 5.0
    return model
