"""Eager model of the lemmatizer's rules over ``reference.seq2seq.Seq2SeqReference``.

Dictionary first or not at all as the flags say, then the model's text or edit
class, with the "<UNK>" and empty-lemma fallbacks. It shares no code with the
engine. ``lemmas`` returns the lemmas and, per word, the margin of the model's
decision (infinite for dictionary answers) so that tests can skip near-ties.
"""
from __future__ import annotations

import math


class LemmaReference:
    def __init__(self, pos_dict: dict, *, dict_only=False, ensemble_dict=False, caseless=False,
                 seq2seq=None):
        self.pos_dict = {tag: {w: l for w, l in entries.items() if l is not None}
                         for tag, entries in pos_dict.items()}
        self.dict_only = dict_only
        self.ensemble_dict = ensemble_dict
        self.caseless = caseless
        self.seq2seq = seq2seq

    def _lookup(self, w, tag):
        for key in (tag, "*"):
            if w in self.pos_dict.get(key, {}):
                return self.pos_dict[key][w]
        return None

    def _settled(self, w, tag):
        if not (self.dict_only or self.ensemble_dict):
            return None
        found = self._lookup(w, tag)
        if found is not None:
            return found or "_"
        if self.dict_only:
            return w or "_"
        return None

    @staticmethod
    def _from_model(text, edit, w):
        if edit in (None, 0):
            lemma = text
        elif edit == 1:
            lemma = w
        elif edit == 2:
            lemma = w.lower()
        else:
            raise ValueError("unknown edit class")
        if not lemma or "<UNK>" in lemma:
            lemma = w
        return lemma or "_"

    def lemmas(self, words, tags, batched=False):
        out, margins, queued = [], [], []
        for i, (word, tag) in enumerate(zip(words, tags)):
            w = word.lower() if self.caseless else word
            tag = tag if tag is not None else "_"
            settled = self._settled(w, tag)
            out.append(settled)
            margins.append(math.inf)
            if settled is None:
                queued.append((i, w, tag))
        if queued:
            qw = [w for _, w, _ in queued]
            qt = [t for _, _, t in queued]
            if batched:
                decoded = self.seq2seq.greedy_many(qw, qt, False)
            elif self.seq2seq.beam_size == 1:
                decoded = [self.seq2seq.greedy(w, t, False) for w, t in zip(qw, qt)]
            else:
                decoded = [self.seq2seq.beam(w, self.seq2seq.beam_size, t, False)
                           for w, t in zip(qw, qt)]
            for (i, w, _), d in zip(queued, decoded):
                out[i] = self._from_model(d.text, d.edit, w)
                margins[i] = d.margin
        return out, margins
