"""Eager model of the lemmatizer's rules over ``reference.seq2seq.Seq2SeqReference``:
the dictionary first or not at all as the flags say, then the model's text or edit
class, with the "<UNK>" and empty-lemma fallbacks. ``lemmas`` also gives each word's
decision margin (infinite for dictionary answers) so tests can skip near-ties."""
from __future__ import annotations

import math


class LemmaReference:
    def __init__(self, pos_dict: dict, *, dict_only=False, ensemble_dict=False, caseless=False,
                 seq2seq=None):
        self.pos_dict = {tag: {w: l for w, l in entries.items() if l is not None}
                         for tag, entries in pos_dict.items()}
        self.dict_only, self.ensemble_dict, self.caseless = dict_only, ensemble_dict, caseless
        self.seq2seq = seq2seq

    def _settled(self, w, tag):
        if not (self.dict_only or self.ensemble_dict):
            return None
        for key in (tag, "*"):
            if w in self.pos_dict.get(key, {}):
                return self.pos_dict[key][w] or "_"
        return (w or "_") if self.dict_only else None

    def lemmas(self, words, tags, batched=False):
        words = [w.lower() if self.caseless else w for w in words]
        tags = ["_" if t is None else t for t in tags]
        out = [self._settled(w, t) for w, t in zip(words, tags)]
        margins = [math.inf] * len(words)
        queued = [i for i, lemma in enumerate(out) if lemma is None]
        model = self.seq2seq
        if batched:
            decoded = model.greedy_many([words[i] for i in queued], [tags[i] for i in queued])
        else:
            decoded = [model.greedy(words[i], tags[i]) if model.beam_size == 1
                       else model.beam(words[i], model.beam_size, tags[i]) for i in queued]
        for i, d in zip(queued, decoded):
            w = words[i]
            if d.edit not in (None, 0, 1, 2):
                raise ValueError("unknown edit class")
            lemma = {None: d.text, 0: d.text, 1: w, 2: w.lower()}[d.edit]
            out[i] = (w if not lemma or "<UNK>" in lemma else lemma) or "_"
            margins[i] = d.margin
        return out, margins
