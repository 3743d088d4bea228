"""Eager model of an ensemble lemmatizer over ``reference.seq2seq.Seq2SeqReference``: the
dictionary first, then the model's text or edit class with the "<UNK>" and empty-lemma
fallbacks. ``lemmas`` also gives each word's decision margin so tests skip near-ties."""
from __future__ import annotations

import math


class LemmaReference:
    def __init__(self, pos_dict: dict, seq2seq):
        self.pos_dict, self.seq2seq = pos_dict, seq2seq

    def lemmas(self, words, tags, batched=False):
        tags = ["_" if t is None else t for t in tags]
        out = [next((self.pos_dict[k][w] or "_" for k in (t, "*") if w in self.pos_dict.get(k, {})),
                    None) for w, t in zip(words, tags)]
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
            lemma = {None: d.text, 0: d.text, 1: w, 2: w.lower()}[d.edit]
            out[i] = (w if not lemma or "<UNK>" in lemma else lemma) or "_"
            margins[i] = d.margin
        return out, margins
