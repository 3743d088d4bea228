"""Independent tree decoder for the dependency parser, in numpy: single-root
Chu-Liu-Edmonds (root penalty, Tarjan cycles, contraction, ties to the lowest index)
and the head-constraint repair of object and subject groups."""
import numpy as np

NEG = -np.inf
CLASSES = {"obj": "obj", "nsubj": "subj", "csubj": "subj", "nsubj:pass": "subj",
           "csubj:pass": "subj", "nsubj:outer": "subj_outer", "csubj:outer": "subj_outer"}


def _cycles(heads):
    """Strongly connected components of two or more nodes, in the order Tarjan's search
    over head -> dependent edges emits them."""
    n = len(heads)
    children = [[] for _ in range(n)]
    for w in range(n):
        if w != heads[w]:
            children[heads[w]].append(w)
        else:
            children[w].append(w)
    index, low, on_stack, stack, out, counter = {}, {}, set(), [], [], [0]

    def strongconnect(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in children[v]:
            if w not in index:
                strongconnect(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                out.append(sorted(component))

    for v in range(n):
        if v not in index:
            strongconnect(v)
    return out


def chu_liu_edmonds(scores):
    s = np.array(scores, dtype=np.float64)
    n = s.shape[0]
    np.fill_diagonal(s, NEG)
    s[0, :] = NEG
    s[0, 0] = 0.0
    best = np.argmax(s, axis=1)  # the first maximum: lowest index
    cycles = _cycles(list(best))
    if not cycles:
        return [int(h) for h in best]
    cycle = cycles[-1]
    rest = [v for v in range(n) if v not in cycle]
    cycle_scores = np.array([s[c, best[c]] for c in cycle])
    total = 0.0
    for value in cycle_scores:
        total += value
    entering = total + (s[np.ix_(cycle, rest)] - cycle_scores[:, None])  # [c, r]
    leaving = s[np.ix_(rest, cycle)]  # [r, c]
    enter, leave = np.argmax(entering, axis=0), np.argmax(leaving, axis=1)
    r = len(rest)
    contracted = np.zeros((r + 1, r + 1))
    contracted[:r, :r] = s[np.ix_(rest, rest)]
    contracted[:r, r] = leaving[np.arange(r), leave]
    contracted[r, :r] = entering[enter, np.arange(r)]
    sub = chu_liu_edmonds(contracted)
    heads = [-1] * n
    for t, v in enumerate(rest):
        heads[v] = rest[sub[t]] if sub[t] < r else cycle[leave[t]]
    for c in cycle:
        heads[c] = int(best[c])
    h = sub[r]
    heads[cycle[enter[h]]] = rest[h]
    return heads


def single_root(scores):
    s = np.array(scores, dtype=np.float64)
    finite = s[np.isfinite(s)]
    if finite.size == 0:
        raise ValueError("dependency scores contain no finite value")
    s[:, 0] = finite.min() * s.shape[0] + s[:, 0]
    heads = chu_liu_edmonds(s)
    if sum(1 for h in heads[1:] if h == 0) != 1:
        raise ValueError("single-root dependency decoding did not produce one root")
    return heads


def decode(arcs, labels, relations):
    """(heads, relation names) of one sentence: arcs [n, n] and labels [n, n, L] as
    log-probabilities, relations[k] the name of classifier output k."""
    arcs, labels = np.asarray(arcs, dtype=np.float64), np.asarray(labels, dtype=np.float64)
    n = arcs.shape[0]
    classes = [CLASSES.get(name) for name in relations]
    bans = {}

    def allowed(d, h, excluded=None):
        best, index = NEG, 0
        for k, score in enumerate(labels[d, h]):
            c = classes[k]
            if c is not None and (c in bans.get((d, h), ()) or c == excluded):
                continue
            if score > best:
                best, index = score, k
        if not np.isfinite(best):
            raise ValueError("head constraints excluded every dependency relation")
        return index, best

    def label_all(heads):
        return [allowed(w, heads[w])[0] for w in range(1, n)]

    heads = single_root(arcs)
    rels = label_all(heads)
    for _ in range(5):
        groups = {}
        for w in range(1, n):
            c = classes[rels[w - 1]]
            if c is not None:
                groups.setdefault((heads[w], c), []).append(w)
        groups = [(key, members) for key, members in groups.items() if len(members) > 1]
        if not groups:
            break
        (head, cls), members = groups[0]  # dicts keep insertion order: by first dependent
        chosen = None
        for anchor in members:
            m = arcs.copy()
            for d in members:
                if d != anchor:
                    for h in range(n):
                        m[d, h] = arcs[d, h] + allowed(d, h, cls if h == head else None)[1]
            cand = single_root(m)
            cand_rels = label_all(cand)
            for d in members:
                if d != anchor and cand[d] == head:
                    cand_rels[d - 1] = allowed(d, head, cls)[0]
            total = 0.0
            for w in range(1, n):
                total += arcs[w, cand[w]] + labels[w, cand[w], cand_rels[w - 1]]
            if chosen is None or total > chosen[0]:
                chosen = (total, anchor, cand, cand_rels)
        _, anchor, heads, rels = chosen
        for d in members:
            if d != anchor:
                bans.setdefault((d, head), set()).add(cls)
    return heads[1:], [relations[k] for k in rels]
