"""Eager PyTorch model of the character language model, written from its equations.

It checks the engine and shares no code with it: an nn.Embedding and an nn.LSTM
loaded from a name-to-tensor dictionary (unprefixed bundle names) and the assets
object, run in the dtype of the weights.
"""
from __future__ import annotations

import torch
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

CHUNK = 64


class CharLMReference:
    def __init__(self, tensors: dict, assets: dict):
        config = assets["config"]
        self.hidden = config["char_hidden_dim"]
        layers = config["char_num_layers"]
        self.forward_lm = assets["is_forward_lm"]
        self.unit2id = assets["vocab"]["_unit2id"]
        self.unknown = self.unit2id.get("<UNK>", 1)
        emb = tensors["char_emb.weight"]
        self.dtype = emb.dtype
        self.embedding = nn.Embedding(emb.shape[0], emb.shape[1]).to(self.dtype)
        self.embedding.weight.data.copy_(emb)
        self.lstm = nn.LSTM(emb.shape[1], self.hidden, layers, batch_first=True).to(self.dtype)
        for name, _ in self.lstm.named_parameters():
            getattr(self.lstm, name).data.copy_(tensors["charlstm.lstm." + name])
        self.h0 = tensors["charlstm_h_init"]
        self.c0 = tensors["charlstm_c_init"]

    def ids(self, words):
        """Ids read by the network and the index of each word's closing space."""
        if not self.forward_lm:
            words = [w[::-1] for w in reversed(words)]
        ids, positions = [self.unit2id["\n"]], []
        for word in words:
            ids += [self.unit2id.get(ch, self.unknown) for ch in word]
            ids.append(self.unit2id[" "])
            positions.append(len(ids) - 1)
        if not self.forward_lm:
            positions.reverse()
        return ids, positions

    @torch.inference_mode()
    def encode(self, words) -> torch.Tensor:
        ids, positions = self.ids(words)
        if not words:
            return torch.empty(0, self.hidden, dtype=self.dtype)
        out, _ = self.lstm(self.embedding(torch.tensor([ids])), (self.h0, self.c0))
        return out[0, positions]

    @torch.inference_mode()
    def encode_many(self, sentences) -> list:
        """Chunks of 64 in input order, each sorted longest first and packed."""
        results = [None] * len(sentences)
        for start in range(0, len(sentences), CHUNK):
            chunk = list(range(start, min(start + CHUNK, len(sentences))))
            prepared = {s: self.ids(sentences[s]) for s in chunk}
            chunk.sort(key=lambda s: -len(prepared[s][0]))
            lengths = [len(prepared[s][0]) for s in chunk]
            batch = torch.full((len(chunk), lengths[0]), self.unit2id["\n"], dtype=torch.long)
            for row, s in enumerate(chunk):
                batch[row, :lengths[row]] = torch.tensor(prepared[s][0])
            packed = pack_padded_sequence(self.embedding(batch), torch.tensor(lengths), batch_first=True)
            state = (self.h0.expand(-1, len(chunk), -1).contiguous(),
                     self.c0.expand(-1, len(chunk), -1).contiguous())
            out, _ = self.lstm(packed, state)
            padded, _ = pad_packed_sequence(out, batch_first=True, total_length=lengths[0])
            for row, s in enumerate(chunk):
                positions = prepared[s][1]
                results[s] = (padded[row, positions] if positions
                              else torch.empty(0, self.hidden, dtype=self.dtype))
        return results
