"""Eager PyTorch word-level coreference, written from its equations.

Words become subword ids (an override table first, then the tokenizer), the document's
subwords are cut into transformer windows that end at a sentence start where one fits, every
window is framed by its first and last special ids and encoded on its own, and each word's
subword rows are pooled by a softmax over learned logits. A bilinear rough scorer keeps the
k best earlier words of each word; a feed-forward scorer rates those pairs from both words,
their product and a distance-bucket (and same-speaker) embedding; a constant 1e-7 column
stands for "no antecedent". Linked words form clusters (with singletons, a start-map score
lets an unlinked word form its own). Each clustered head word is widened into a span by a
feed-forward network and two convolutions over its sentence; a small network marks zero
anaphora. Decisions are made in Python; each one's margin is recorded so that callers can
compare only where the outcome is clear.

``write_back`` turns a prediction into the chains and generated empty words a document gets.
"""
from __future__ import annotations

import dataclasses
import math

import torch
import torch.nn.functional as F

NO_ANTECEDENT = 1e-7


class BlankWord(ValueError):
    def __init__(self, index):
        super().__init__(index)
        self.index = index


@dataclasses.dataclass
class CorefResult:
    word_clusters: list
    span_clusters: list
    zero_words: list
    margin: float  # the smallest gap of any decision taken (inf when none was close to a tie)


def bucket(distance: int) -> int:
    distance = max(distance, 1)
    if distance < 5:
        return distance - 1
    return min(int(math.floor(math.log2(distance))), 6) + 2


def top_gap(values) -> float:
    """Gap between the best and the second best finite value (inf with fewer than two)."""
    finite = sorted((v for v in values if math.isfinite(v)), reverse=True)
    return finite[0] - finite[1] if len(finite) >= 2 else math.inf


def first_max(values) -> int:
    best = 0
    for i, v in enumerate(values):
        if v > values[best]:
            best = i
    return best


class CorefReference:
    def __init__(self, tensors: dict, assets: dict, encode_ids, tokenize):
        """``encode_ids(ids)``: the transformer's [len(ids), H] rows of one framed window;
        ``tokenize(word)``: the tokenizer's subword ids of one word."""
        self.t = {name: value.to(torch.float32) for name, value in tensors.items()}
        config = assets["config"]
        self.rough_k = config["rough_k"]
        self.window = config["bert_window_size"]
        self.layers = config["n_hidden_layers"]
        self.singletons = bool(config.get("singletons"))
        self.full_pairwise = bool(config.get("full_pairwise"))
        self.use_zeros = bool(config.get("use_zeros"))
        ids = assets["transformer"]["tokenizer"]
        self.first = ids["cls_id"] if ids["cls_id"] >= 0 else ids["eos_id"]
        self.last = ids["sep_id"] if ids["sep_id"] >= 0 else ids["eos_id"]
        self.overrides = assets["runtime_contract"]["tokenizer_map_ids"]
        self.encode_ids, self.tokenize = encode_ids, tokenize
        self.windows_used = []  # the (start, end) subword windows of the last call

    # -- word features -------------------------------------------------------------------
    def subwords(self, words):
        ids, owner = [], []
        for i, word in enumerate(words):
            word_ids = list(self.overrides[word]) if word in self.overrides else list(self.tokenize(word))
            if not word_ids:
                raise BlankWord(i)
            ids += word_ids
            owner += [i] * len(word_ids)
        return ids, owner

    def cut(self, owner, sentence_ids):
        """Windows of at most window - 2 subwords, ended at the last sentence start inside
        the window when there is one after its first subword."""
        room, windows, start, m = self.window - 2, [], 0, len(owner)
        while start < m:
            end = start + room
            if end >= m:
                end = m
            else:
                sentence, cut = sentence_ids[owner[end]], end
                while cut > start and sentence_ids[owner[cut - 1]] == sentence:
                    cut -= 1
                end = cut if cut > start else end
            windows.append((start, end))
            start = end
        return windows

    def features(self, words, sentence_ids):
        ids, owner = self.subwords(words)
        self.windows_used = self.cut(owner, sentence_ids)
        rows = [self.encode_ids([self.first] + ids[s:e] + [self.last])[1:-1]
                for s, e in self.windows_used]
        sub = torch.cat(rows).to(torch.float32)
        logits = (sub @ self.t["we.attn.weight"].T + self.t["we.attn.bias"])[:, 0]
        owner_t = torch.tensor(owner)
        pooled = []
        for i in range(len(words)):
            rows_i = (owner_t == i).nonzero()[:, 0]
            weights = torch.softmax(logits[rows_i], dim=0)
            pooled.append((weights[:, None] * sub[rows_i]).sum(0))
        return torch.stack(pooled)

    # -- antecedents ---------------------------------------------------------------------
    def clusters(self, feats, speakers, margins):
        t, n = self.t, feats.shape[0]
        k = min(n, self.rough_k)
        rough = (feats @ t["rough_scorer.bilinear.weight"].T + t["rough_scorer.bilinear.bias"]) @ feats.T
        rough = rough.masked_fill(torch.ones(n, n).triu().bool(), -math.inf)
        values, cand = torch.topk(rough, k, dim=1, sorted=False)
        if k < n:  # the k-th and the next rough score of a row should not tie
            ordered = rough.sort(dim=1, descending=True).values
            for i in range(n):
                a, b = ordered[i, k - 1].item(), ordered[i, k].item()
                if math.isfinite(b):
                    margins.append(a - b)
        dist = torch.tensor([[bucket(i - cand[i, j].item()) for j in range(k)] for i in range(n)])
        pair = t["pw.distance_emb.weight"][dist]
        if self.full_pairwise:
            same = torch.tensor([[int(speakers[i] == speakers[cand[i, j].item()]) for j in range(k)]
                                 for i in range(n)])
            pair = torch.cat([t["pw.speaker_emb.weight"][same], pair], dim=-1)
        ana = feats[:, None, :].expand(n, k, feats.shape[1])
        ant = feats[cand]
        x = torch.cat([ana, ant, ana * ant, pair], dim=-1)
        for layer in range(self.layers):
            p = f"a_scorer.hidden.{3 * layer}"
            x = F.leaky_relu(F.linear(x, t[p + ".weight"], t[p + ".bias"]), 0.01)
        fine = F.linear(x, t["a_scorer.out.weight"], t["a_scorer.out.bias"])[..., 0]
        total = fine + values
        start_map = None
        if self.singletons:
            start_map = (fine @ t["a_scorer.start_map.weight"][:, :k].T)[:, 0]

        links = {i: [] for i in range(n)}
        flagged = set()
        for i in range(n):
            row = [NO_ANTECEDENT] + total[i].tolist()
            column = first_max(row)
            margins.append(top_gap(row))
            if column > 0:
                j = cand[i, column - 1].item()
                links[i].append(j)
                links[j].append(i)
            if start_map is not None:
                margins.append(abs(start_map[i].item() - NO_ANTECEDENT))
                if start_map[i].item() >= NO_ANTECEDENT:
                    flagged.add(i)
        # Connected components by union-find; a word with no link is no cluster.
        parent = list(range(n))

        def root(u):
            while parent[u] != u:
                parent[u] = parent[parent[u]]
                u = parent[u]
            return u

        for u in range(n):
            for v in links[u]:
                parent[root(u)] = root(v)
        groups = {}
        for u in range(n):
            if links[u]:
                groups.setdefault(root(u), []).append(u)
        found = list(groups.values())
        found += [[i] for i in sorted(flagged) if not links[i]]
        return sorted(found)

    # -- spans and zeros -----------------------------------------------------------------
    def span(self, feats, sentence_ids, head, margins):
        t = self.t
        members = [i for i in range(len(sentence_ids)) if sentence_ids[i] == sentence_ids[head]]
        rel = torch.tensor([head - i + 63 if -63 <= head - i <= 63 else 127 for i in members])
        x = torch.cat([feats[head].expand(len(members), -1), feats[members], t["sp.emb.weight"][rel]], 1)
        x = F.relu(F.linear(x, t["sp.ffnn.0.weight"], t["sp.ffnn.0.bias"]))
        x = F.relu(F.linear(x, t["sp.ffnn.3.weight"], t["sp.ffnn.3.bias"]))
        x = F.linear(x, t["sp.ffnn.6.weight"], t["sp.ffnn.6.bias"])
        x = x.T[None]
        x = F.conv1d(x, t["sp.conv.0.weight"], t["sp.conv.0.bias"], padding=1)
        x = F.conv1d(x, t["sp.conv.1.weight"], t["sp.conv.1.bias"], padding=1)
        scores = x[0].T.tolist()
        start, end, best_start, best_end = head, head + 1, -math.inf, -math.inf
        for i, (start_score, end_score) in zip(members, scores):
            if i <= head and start_score > best_start:
                start, best_start = i, start_score
            if i >= head and end_score > best_end:
                end, best_end = i + 1, end_score
        margins.append(top_gap([s for i, (s, _) in zip(members, scores) if i <= head]))
        margins.append(top_gap([e for i, (_, e) in zip(members, scores) if i >= head]))
        return start, end

    @torch.no_grad()
    def resolve(self, words, sentence_ids, speakers=()) -> CorefResult:
        if not words:
            return CorefResult([], [], [], math.inf)
        speakers = list(speakers) or ["_"] * len(words)
        margins = []
        feats = self.features(words, sentence_ids)
        clusters = self.clusters(feats, speakers, margins)
        spans = {}
        for cluster in clusters:
            for head in cluster:
                spans.setdefault(head, self.span(feats, sentence_ids, head, margins))
        zeros = [[] for _ in clusters]
        heads = [(c, h) for c, cluster in enumerate(clusters) for h in cluster]
        if self.use_zeros and heads:
            t = self.t
            x = F.relu(F.linear(feats[[h for _, h in heads]], t["zeros_predictor.0.weight"],
                                t["zeros_predictor.0.bias"]))
            scores = F.linear(x, t["zeros_predictor.2.weight"], t["zeros_predictor.2.bias"])[:, 0]
            for (c, h), score in zip(heads, scores.tolist()):
                margins.append(abs(score))
                if score > 0.0:
                    zeros[c].append(h)
        return CorefResult(clusters, [[spans[h] for h in cluster] for cluster in clusters], zeros,
                           min(margins, default=math.inf))


# -- writing a prediction into a document ------------------------------------------------
@dataclasses.dataclass
class Sentence:
    words: list  # regular word texts
    upos: list  # per word: a tag or None
    empties: list  # (id, empty index) of the empty words the sentence brings


def write_back(sentences: list, prediction: CorefResult):
    """The chains [(index, [(sentence, start_word, end_word)], text, representative index)]
    and the generated empty words {sentence: [(id, empty index)]} that a document of
    `sentences` gets from `prediction` (word positions as the Python mentions give them),
    and how many empty words took the next free index because the count was taken."""
    first, sentence_of, texts, upos = [], [], [], []
    for s, sentence in enumerate(sentences):
        first.append(len(texts))
        texts += sentence.words
        upos += sentence.upos
        sentence_of += [s] * len(sentence.words)
    empties = {s: list(sentence.empties) for s, sentence in enumerate(sentences)}
    generated, chains, moved = {}, [], 0
    for c, (heads, spans) in enumerate(zip(prediction.word_clusters, prediction.span_clusters)):
        zeros = set(prediction.zero_words[c])
        mentions, best, best_key = [], None, (0, -1)
        for (start, end), head in sorted(zip(spans, heads), key=lambda pair: pair[0]):
            s = sentence_of[start]
            assert start < end and sentence_of[end - 1] == s
            f = first[s]
            if head in zeros:
                held = empties[s]
                index = len(held) + 1
                if (head - f, index) in held:
                    index, moved = max(e for _, e in held) + 1, moved + 1
                held.append((head - f, index))
                generated.setdefault(s, []).append((head - f, index))
                mentions.append((s, (head - f, index), (head - f, index)))
                continue
            mentions.append((s, start - f, end - f))
            key = (end - start, sum(upos[w] == "PROPN" for w in range(start, end)))
            if key > best_key:
                best, best_key = (len(mentions) - 1, start, end), key
        if best is None:
            chains.append((c, mentions, "_", None))
        else:
            chains.append((c, mentions, " ".join(texts[best[1]:best[2]]), best[0]))
    return chains, generated, moved
