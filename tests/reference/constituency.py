"""Eager PyTorch model of the in-order constituency parser: hand-written LSTM cells, the
word encoder, both stack LSTMs and the scorer, with transitions chosen in Python. Parses
give the tree text (or the error message) and the smallest decision margin."""
import math

import torch

from reference.charlm import CharLMReference


def lstm_cell(x, h, c, w_ih, w_hh, b_ih, b_hh):
    i, f, g, o = (w_ih @ x + b_ih + w_hh @ h + b_hh).chunk(4)
    c = torch.sigmoid(f) * c + torch.sigmoid(i) * torch.tanh(g)
    return torch.sigmoid(o) * torch.tanh(c), c


class ParseFailure(Exception):
    pass


class Tree:
    def __init__(self, label, children=()):
        self.label, self.children = label, list(children)

    def __str__(self):  # without recursion: random models build deep trees
        parts, todo = [], [self]
        while todo:
            node = todo.pop()
            if isinstance(node, str):
                parts.append(node)
            elif not node.children:
                parts.append(node.label)
            else:
                parts.append("(" + node.label)
                todo.append(")")
                for child in reversed(node.children):
                    todo += [child, " "]
        return "".join(parts)


class ConstituencyReference:
    def __init__(self, tensors: dict, assets: dict, transformer_rows=None):
        """``transformer_rows(words, keep_endpoints)``: the transformer's word rows."""
        self.t, self.a, c = tensors, assets, assets["config"]
        self.transformer_rows = transformer_rows
        self.c = c
        self.H, self.TH, self.L = c["hidden_size"], c["transition_hidden_size"], c["num_lstm_layers"]
        self.boundary = c["sentence_boundary_vectors"] == "EVERYTHING"
        self.pretrain = assets["pretrain_vocab"]["_unit2id"]
        self.lower = assets["pretrain_vocab"].get("lower", False)
        self.delta = {}
        for i, word in enumerate(assets["delta_words"]):
            self.delta.setdefault(word, i + 2)
        self.tags = {}
        for i, tag in enumerate(assets["tags"]):
            self.tags.setdefault(tag, i + 2)
        self.table = assets["transitions"]
        self.roots = set(assets["root_labels"])
        self.unary_limit = assets["unary_limit"]
        self.charlms = []
        for direction in ("forward", "backward"):
            prefix = direction + "_charlm."
            if prefix + "char_emb.weight" in tensors:
                self.charlms.append(CharLMReference(
                    {k[len(prefix):]: v for k, v in tensors.items() if k.startswith(prefix)},
                    assets["charlm"][direction]))

    # ----- network
    def key(self, word, lower):
        return (word.lower() if lower else word).replace(" ", "\u00a0")

    def pretrain_id(self, word):
        found = self.pretrain.get(self.key(word, self.lower))
        if found is not None and found != 1:
            return found
        return self.pretrain.get(self.key(word.lower(), False), 1)

    def layer(self, prefix, k, sfx=""):
        return [self.t[f"{prefix}{n}_l{k}{sfx}"] for n in ("weight_ih", "weight_hh", "bias_ih", "bias_hh")]

    def word_vectors(self, words, tags):
        t = self.t
        rows = [t["embedding.weight"][[self.pretrain_id(w) for w in words]],
                t["delta_embedding.weight"][[self.delta.get(w, 1) for w in words]]]
        if self.c["tag_embedding_dim"] >= 1:
            rows.append(t["tag_embedding.weight"][[self.tags.get(x, 1) for x in tags]])
        rows += [lm.encode_many([words])[0] for lm in self.charlms]
        x = torch.cat(rows, 1)
        if self.boundary:
            x = torch.cat([t["word_start_embedding"][None], x, t["word_end_embedding"][None]])
        if self.transformer_rows is not None:
            x = torch.cat([x, self.transformer_rows(words, self.boundary)], 1)
        seq = list(x)
        for k in range(self.L):
            outs = []
            for sfx, order in (("", range(len(seq))), ("_reverse", reversed(range(len(seq))))):
                h = c = torch.zeros(self.H)
                out = [None] * len(seq)
                for r in order:
                    h, c = lstm_cell(seq[r], h, c, *self.layer("word_lstm.", k, sfx))
                    out[r] = h
                outs.append(out)
            seq = [torch.cat([a, b]) for a, b in zip(*outs)]
        vectors = [torch.relu(t["word_to_constituent.weight"] @ v + t["word_to_constituent.bias"]) for v in seq]
        if not self.boundary:
            vectors = [torch.zeros(self.H)] + vectors + [torch.zeros(self.H)]
        return vectors

    def push(self, prefix, state, x):
        """state: per-layer (h, c) lists; returns (new state, top output)."""
        new = []
        for k, (h, c) in enumerate(state):
            h, c = lstm_cell(x, h, c, *self.layer(prefix, k))
            new.append((h, c))
            x = h
        return new, x

    def start(self, prefix, size, embedding):
        state = [(torch.zeros(size), torch.zeros(size)) for _ in range(self.L)]
        if not self.boundary:
            return state, torch.zeros(size)
        return self.push(prefix, state, self.t[embedding])

    def scores(self, x):
        for k in range(self.c["num_output_layers"]):
            x = self.t[f"output_layers.{k}.weight"] @ torch.relu(x) + self.t[f"output_layers.{k}.bias"]
        return x

    # ----- transition system
    def unary_over(self, tree):
        count = 0
        while len(tree.children) == 1:
            count, tree = count + 1, tree.children[0]
        return count > self.unary_limit

    def legal(self, row, s):
        n, shifted, opens, stack, trans = s["n"], s["shifted"], s["opens"], s["stack"], s["trans"]
        C = len(stack)
        prev_open = len(trans) > 1 and self.table[trans[-1]["index"]]["kind"] == "open"
        blocked = lambda e: e["tree"] is not None and self.unary_over(e["tree"])  # noqa: E731
        if row["kind"] == "shift":
            return shifted < n and (opens > 0 or C == 1)
        if row["kind"] == "open":
            if opens > n + 10 or C <= 1 or prev_open:
                return False
            if row["labels"][0] in self.roots:
                return opens == 0 and shifted == n
            if opens == 0 and shifted < n:
                return True
            return not blocked(stack[-1])
        if opens < 1:
            return False
        if not prev_open or opens > 1 or shifted == n:
            return True
        return C >= 3 and not blocked(stack[-2])

    def push_item(self, s, tree, vector, labels=None):
        state, out = self.push("constituent_stack.lstm.", s["stack"][-1]["state"], vector)
        s["stack"].append({"tree": tree, "vector": vector, "labels": labels, "state": state, "out": out})

    @torch.inference_mode()
    def parse(self, words, tags):
        """(tree text or error message, smallest margin between the chosen transition's
        score and the best other legal one)."""
        margin = math.inf
        try:
            if not words:
                raise ParseFailure("constituency parser cannot parse an empty sentence")
            n = len(words)
            vectors = self.word_vectors(words, tags)
            trans_state, trans_out = self.start("transition_stack.lstm.", self.TH, "transition_stack.start_embedding")
            cons_state, cons_out = self.start("constituent_stack.lstm.", self.H, "constituent_stack.start_embedding")
            s = {"n": n, "shifted": 0, "opens": 0, "steps": 0,
                 "trans": [{"index": None, "state": trans_state, "out": trans_out}],
                 "stack": [{"tree": None, "state": cons_state, "out": cons_out, "labels": None}]}
            while True:
                top = s["stack"][-1]
                if s["shifted"] == n and len(s["stack"]) == 2 and top["tree"] is not None \
                        and top["tree"].label in self.roots:
                    return str(top["tree"]), margin
                scores = self.scores(torch.cat([vectors[s["shifted"] + 1], s["trans"][-1]["out"], top["out"]]))
                values = scores.tolist()
                legal = [i for i in sorted(range(len(self.table)), key=lambda i: -values[i])
                         if self.legal(self.table[i], s)]
                if not legal:
                    raise ParseFailure("constituency parser could not find a legal transition")
                if s["steps"] >= 20 * (n + 2):
                    raise ParseFailure("constituency parser exceeded its transition limit")
                index = legal[0]
                if len(legal) > 1:
                    margin = min(margin, values[index] - values[legal[1]])
                self.apply(self.table[index], s, vectors, words, tags)
                state, out = self.push("transition_stack.lstm.", s["trans"][-1]["state"],
                                       self.t["transition_embedding.weight"][index])
                s["trans"].append({"index": index, "state": state, "out": out})
                s["steps"] += 1
        except ParseFailure as failure:
            return str(failure), margin

    def apply(self, row, s, vectors, words, tags):
        if row["kind"] == "shift":
            i = s["shifted"]
            s["shifted"] += 1
            self.push_item(s, Tree(tags[i], [Tree(words[i])]), vectors[i + 1])
        elif row["kind"] == "open":
            self.push_item(s, None, self.t["dummy_embedding.weight"][row["open_index"]], row["labels"])
            s["opens"] += 1
        else:
            children = []
            while s["stack"][-1]["labels"] is None:
                children.insert(0, s["stack"].pop())
            labels = s["stack"].pop()["labels"]
            children.insert(0, s["stack"].pop())
            pooled = torch.stack([c["vector"] for c in children]).max(0).values
            vector = torch.relu(self.t["reduce_linear.weight"] @ pooled + self.t["reduce_linear.bias"])
            tree = Tree(labels[-1], [c["tree"] for c in children])
            for label in reversed(labels[:-1]):
                tree = Tree(label, [tree])
            self.push_item(s, tree, vector)
            s["opens"] -= 1
