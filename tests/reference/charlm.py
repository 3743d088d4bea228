"""Eager PyTorch model of the character language model: an nn.Embedding and an nn.LSTM
loaded from unprefixed bundle tensors and the assets object, run in the weights' dtype."""
import torch
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence, pad_sequence


class CharLMReference:
    def __init__(self, tensors: dict, assets: dict):
        config = assets["config"]
        self.forward_lm = assets["is_forward_lm"]
        self.unit2id = assets["vocab"]["_unit2id"]
        self.unknown = self.unit2id.get("<UNK>", 1)
        emb = tensors["char_emb.weight"]
        self.embedding = nn.Embedding.from_pretrained(emb)
        self.lstm = nn.LSTM(emb.shape[1], config["char_hidden_dim"], config["char_num_layers"],
                            batch_first=True).to(emb.dtype)
        for name, param in self.lstm.named_parameters():
            param.data.copy_(tensors["charlstm.lstm." + name])
        self.state = (tensors["charlstm_h_init"], tensors["charlstm_c_init"])

    def ids(self, words):
        """Ids read by the network and the index of each word's closing space."""
        if not self.forward_lm:
            words = [w[::-1] for w in reversed(words)]
        ids, positions = [self.unit2id["\n"]], []
        for word in words:
            ids += [self.unit2id.get(ch, self.unknown) for ch in word] + [self.unit2id[" "]]
            positions.append(len(ids) - 1)
        return ids, positions if self.forward_lm else positions[::-1]

    @torch.inference_mode()
    def encode_many(self, sentences) -> list:
        """Chunks of 64 sentences in input order, each packed."""
        results = []
        for start in range(0, len(sentences), 64):
            prepared = [self.ids(words) for words in sentences[start:start + 64]]
            batch = pad_sequence([torch.tensor(ids) for ids, _ in prepared], batch_first=True)
            packed = pack_padded_sequence(self.embedding(batch), [len(ids) for ids, _ in prepared],
                                          batch_first=True, enforce_sorted=False)
            state = tuple(s.expand(-1, len(prepared), -1).contiguous() for s in self.state)
            padded, _ = pad_packed_sequence(self.lstm(packed, state)[0], batch_first=True)
            results += [padded[row, positions] for row, (_, positions) in enumerate(prepared)]
        return results
