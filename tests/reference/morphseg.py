"""Eager PyTorch model of the morphological segmenter: NFKC, case folding and NFC with
Python's unicodedata, nn.Embedding, a two-layer bidirectional nn.LSTM from the stored
initial states, nn.Linear with exact GELU, the action classifier, argmax, and the
action rules written out."""
import unicodedata

import torch
from torch import nn


def normalise(word: str) -> str:
    return unicodedata.normalize("NFC", unicodedata.normalize("NFKC", word).casefold())


def apply_actions(characters, actions) -> list:
    rebuilt = ""
    for ch, action in zip(characters, actions):
        if action == "DELETE":
            continue
        rebuilt += "".join(ch if piece == "COPY" else piece for piece in action.split("+"))
    return rebuilt.split(" @@")


class MorphSegReference:
    def __init__(self, tensors: dict, assets: dict):
        config = assets["config"]
        self.source = {s: i for i, s in enumerate(assets["source_vocabulary"])}
        self.target = assets["target_vocabulary"]
        E, H = config["embedding_size"], config["hidden_size"]
        self.embedding = nn.Embedding.from_pretrained(tensors["embedding.weight"], padding_idx=0)
        self.lstm = nn.LSTM(E, H, 2, bidirectional=True, batch_first=True)
        for name, param in self.lstm.named_parameters():
            param.data.copy_(tensors["encoder.lstm." + name])
        self.state = (tensors["encoder.h_0"], tensors["encoder.c_0"])
        self.reduce = nn.Linear(2 * H, H)
        self.reduce.weight.data.copy_(tensors["encoder.reduce_dim.weight"])
        self.reduce.bias.data.copy_(tensors["encoder.reduce_dim.bias"])
        self.classifier = nn.Linear(H, len(self.target))
        self.classifier.weight.data.copy_(tensors["classifier.1.weight"])
        self.classifier.bias.data.copy_(tensors["classifier.1.bias"])

    @torch.inference_mode()
    def logits(self, words) -> list:
        """Per word its normalised characters and [len, T] action scores, words of one
        length run together."""
        prepared = [list(normalise(w)) for w in words]
        out = [(chars, torch.empty(0, len(self.target))) for chars in prepared]
        groups = {}
        for i, chars in enumerate(prepared):
            if chars:
                groups.setdefault(len(chars), []).append(i)
        for length in sorted(groups):
            rows = groups[length]
            ids = torch.tensor([[self.source.get(c, 1) for c in prepared[i]] for i in rows])
            state = tuple(s.repeat(1, len(rows), 1) for s in self.state)
            hidden = self.lstm(self.embedding(ids), state)[0]
            scores = self.classifier(nn.functional.gelu(self.reduce(hidden)))
            for j, i in enumerate(rows):
                out[i] = (prepared[i], scores[j])
        return out

    def segment_many(self, words) -> list:
        results = []
        for chars, scores in self.logits(words):
            if not chars:
                results.append([])
                continue
            results.append(apply_actions(chars, [self.target[a] for a in scores.argmax(1).tolist()]))
        return results
