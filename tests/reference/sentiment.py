"""Eager PyTorch model of the sentence sentiment classifier, written from its equations:
word lookups with fallbacks, embeddings with a learned unknown vector, optional extra
vectors and character-model features, an optional two-layer BiLSTM, conv2d filters with
ReLU and max_pool2d over channel groups, dense layers and arg-max. Batches are built as
the engine builds them: sorted longest first, cut by a word budget, each padded to one
length; the padding takes part in every layer."""
import torch
import torch.nn.functional as F
from torch import nn

from reference.charlm import CharLMReference


def lower(text: str) -> str:
    # Full lower-case mapping (U+0130 gives "i" and U+0307); no sigma in the tests.
    return text.lower()


class SentimentReference:
    def __init__(self, tensors: dict, assets: dict, transformer_rows=None):
        """``transformer_rows(words)``: the transformer's [len(words), H] rows of a sentence."""
        self.transformer_rows = transformer_rows
        config = assets["config"]
        self.t = tensors
        self.vocab = assets["pretrain_vocab"]["_unit2id"]
        self.lower = assets["pretrain_vocab"].get("lower", False)
        self.extra = {}
        for p, word in enumerate(assets.get("extra_vocab") or []):
            self.extra.setdefault(word, p)
        self.method = config["extra_wordvec_method"]
        self.maxpool = config["maxpool_width"]
        self.projection = config.get("charlm_projection") or 0
        self.filters = [(f, None) if isinstance(f, int) else tuple(f) for f in config["filter_sizes"]]
        # The length every batch is padded to at least: the widest of the 1-D heights and
        # 2-D widths, and every filter's height so that each convolution fits.
        self.min_length = max([h if w is None else w for h, w in self.filters] +
                              [h for h, _ in self.filters])
        self.charlms = []
        for key, flag in (("forward", "has_charlm_forward"), ("backward", "has_charlm_backward")):
            if config.get(flag):
                prefix = f"{key}_charlm."
                own = {n[len(prefix):]: v for n, v in tensors.items() if n.startswith(prefix)}
                self.charlms.append((CharLMReference(own, assets["charlm"][key]),
                                     f"charmodel_{key}_projection"))
        self.lstm = None
        if config.get("bilstm"):
            emb_in = tensors["bilstm.weight_ih_l0"].shape[1]
            self.lstm = nn.LSTM(emb_in, config["bilstm_hidden_dim"], 2, batch_first=True,
                                bidirectional=True, dropout=0.2).eval()
            for name, param in self.lstm.named_parameters():
                param.data.copy_(tensors["bilstm." + name])
        self.layers = len(config["fc_shapes"]) + 1

    def word_id(self, word: str) -> int:
        def find(form):
            form = lower(form) if self.lower else form
            return self.vocab.get(form.replace(" ", "\u00a0"))
        for form in (word, word[:-1] if len(word.encode()) >= 2 and word.endswith("'") else None,
                     lower(word)):
            if form is not None and (found := find(form)) is not None:
                return found
        return 1

    @torch.inference_mode()
    def scores(self, batch) -> torch.Tensor:
        T = max([self.min_length] + [len(s) for s in batch])
        ids = torch.zeros(len(batch), T, dtype=torch.long)
        extra = torch.zeros(len(batch), T, dtype=torch.long)
        for b, words in enumerate(batch):
            for t, word in enumerate(words):
                ids[b, t] = self.word_id(word)
                extra[b, t] = self.extra.get(word, 1)
        emb = self.t["embedding.weight"]
        x = F.embedding(ids, emb, padding_idx=0)
        x = torch.where((ids == 1).unsqueeze(2), self.t["unk"].view(1, 1, -1), x)
        features = [x]
        if self.method == "SUM":
            features = [x + F.embedding(extra, self.t["extra_embedding.weight"])]
        elif self.method == "CONCAT":
            features.append(F.embedding(extra, self.t["extra_embedding.weight"]))
        for model, prefix in self.charlms:
            rows = model.encode_many(batch)
            width = self.projection if self.projection >= 1 else rows[0].shape[1]
            out = torch.zeros(len(batch), T, width, dtype=emb.dtype)
            for b, r in enumerate(rows):
                if self.projection >= 1:
                    r = F.linear(r, self.t[prefix + ".weight"], self.t[prefix + ".bias"])
                out[b, :r.shape[0]] = r
            features.append(out)
        if self.transformer_rows is not None:
            rows = [self.transformer_rows(words) if words else None for words in batch]
            width = next((r.shape[1] for r in rows if r is not None), 1)
            out = torch.zeros(len(batch), T, width, dtype=emb.dtype)
            for b, r in enumerate(rows):
                if r is not None:
                    out[b, :r.shape[0]] = r
            features.append(out)
        x = torch.cat(features, 2)
        if self.lstm is not None:
            x = self.lstm(x)[0]
        x = x.unsqueeze(1)
        D = x.shape[3]
        pooled = []
        for i, (height, width) in enumerate(self.filters):
            w = width or D
            y = F.conv2d(x, self.t[f"conv_layers.{i}.weight"], self.t[f"conv_layers.{i}.bias"],
                         stride=(1, w))
            y = y.transpose(2, 3).flatten(1, 2) if width else y.squeeze(3)
            y = F.relu(y)
            y = F.max_pool2d(y, (self.maxpool, y.shape[2]))
            pooled.append(y.squeeze(2))
        x = torch.cat(pooled, 1)
        for k in range(self.layers):
            x = F.linear(x, self.t[f"fc_layers.{k}.weight"], self.t[f"fc_layers.{k}.bias"])
            if k + 1 < self.layers:
                x = F.relu(x)
        return x

    def batches(self, sentences, batch_size):
        """Index lists of the batches, sentences sorted longest first (stable)."""
        order = sorted(range(len(sentences)), key=lambda i: -len(sentences[i]))
        out, start = [], 0
        while start < len(order):
            end, words = start + 1, len(sentences[order[start]])
            if words <= batch_size:
                while end < len(order) and words + len(sentences[order[end]]) <= batch_size:
                    words += len(sentences[order[end]])
                    end += 1
            out.append(order[start:end])
            start = end
        return out

    def classify_many(self, sentences, batch_size=5000, with_scores=False):
        """Classes in input order; with_scores also gives each sentence's score row."""
        classes, rows = [0] * len(sentences), [None] * len(sentences)
        for batch in self.batches(sentences, batch_size):
            s = self.scores([sentences[i] for i in batch])
            for i, row in zip(batch, s):
                classes[i], rows[i] = int(row.argmax()), row
        return (classes, rows) if with_scores else classes
