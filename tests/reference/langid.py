"""Eager PyTorch model of the language identifier: nn.Embedding, a bidirectional nn.LSTM
and nn.Linear over each group of equally long texts, tag scores summed over every
position, the subset mask added, the best tag taken."""
import torch
from torch import nn


class LangIDReference:
    def __init__(self, tensors: dict, assets: dict):
        config = assets["config"]
        self.char_to_idx = assets["char_to_idx"]
        self.tags = [code for code, _ in sorted(assets["tag_to_idx"].items(), key=lambda kv: kv[1])]
        emb = tensors["char_embeds.weight"]
        self.embedding = nn.Embedding.from_pretrained(emb, padding_idx=self.char_to_idx["<PAD>"])
        self.lstm = nn.LSTM(config["embedding_dim"], config["hidden_dim"], config["num_layers"],
                            bidirectional=True, batch_first=True)
        for name, param in self.lstm.named_parameters():
            param.data.copy_(tensors["lstm." + name])
        self.linear = nn.Linear(2 * config["hidden_dim"], len(self.tags))
        self.linear.weight.data.copy_(tensors["hidden_to_tag.weight"])
        self.linear.bias.data.copy_(tensors["hidden_to_tag.bias"])

    def ids(self, text: str) -> list:
        unk = self.char_to_idx["UNK"]
        return [self.char_to_idx.get(ch, unk) for ch in text]

    def mask(self, subset=()) -> torch.Tensor:
        if not subset:
            return torch.zeros(len(self.tags))
        return torch.tensor([0.0 if code in subset else float("-inf") for code in self.tags])

    @torch.inference_mode()
    def scores(self, texts, subset=()) -> torch.Tensor:
        """[len(texts), T]: summed scores plus mask, one network run per distinct length."""
        out = torch.empty(len(texts), len(self.tags))
        groups = {}
        for i, text in enumerate(texts):
            groups.setdefault(len(text), []).append(i)
        mask = self.mask(subset)
        for length in sorted(groups):
            rows = groups[length]
            ids = torch.tensor([self.ids(texts[i]) for i in rows], dtype=torch.long)
            hidden = self.lstm(self.embedding(ids))[0]
            out[rows] = self.linear(hidden).sum(1) + mask
        return out

    def identify_many(self, texts, subset=()) -> list:
        return [self.tags[i] for i in self.scores(texts, subset).argmax(1).tolist()]
