"""Morphological segmentation test bundles, written with the shared bundle writer."""
import dataclasses

import torch

from bundle_writer import write_bundle

SOURCE = list("abcdefghijklmnopqrstuvwxyzéßж中😀-")
# Actions the decoder treats specially, literal ones and joined ones.
TARGET = ["COPY", "DELETE", "COPY+ @@", " @@+COPY", "x+COPY+y", "COPY+", "e", "COPY+COPY", "@@"]


@dataclasses.dataclass
class MorphSegModel:
    config: dict
    source_vocabulary: list
    target_vocabulary: list
    tensors: dict

    def assets(self) -> dict:
        return {"config": self.config, "source_vocabulary": self.source_vocabulary,
                "target_vocabulary": self.target_vocabulary}


def random_morphseg(seed: int, *, source=SOURCE, target=TARGET, embedding_size=6, hidden_size=8,
                    batch_size=4, scale=0.5, pad_bias=-1e4) -> MorphSegModel:
    """Vocabularies "<PAD>", "<UNK>", then ``source`` and ``target``; the classifier's bias
    of "<PAD>" is ``pad_bias``, so that random weights never pick it."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return torch.randn(*shape, generator=gen) * scale

    src, tgt = ["<PAD>", "<UNK>"] + list(source), ["<PAD>", "<UNK>"] + list(target)
    E, H, N = embedding_size, hidden_size, 2
    tensors = {"embedding.weight": w(len(src), E), "encoder.h_0": w(2 * N, 1, H),
               "encoder.c_0": w(2 * N, 1, H)}
    for k in range(N):
        for suffix in ("", "_reverse"):
            tensors[f"encoder.lstm.weight_ih_l{k}{suffix}"] = w(4 * H, E if k == 0 else 2 * H)
            tensors[f"encoder.lstm.weight_hh_l{k}{suffix}"] = w(4 * H, H)
            tensors[f"encoder.lstm.bias_ih_l{k}{suffix}"] = w(4 * H)
            tensors[f"encoder.lstm.bias_hh_l{k}{suffix}"] = w(4 * H)
    tensors["encoder.reduce_dim.weight"] = w(H, 2 * H)
    tensors["encoder.reduce_dim.bias"] = w(H)
    tensors["classifier.1.weight"] = w(len(tgt), H)
    bias = w(len(tgt))
    bias[0] = pad_bias
    tensors["classifier.1.bias"] = bias
    config = {"embedding_size": E, "hidden_size": H, "num_layers": N, "batch_size": batch_size, "tau": 1,
              "use_crf": False, "use_features": False}
    return MorphSegModel(config, src, tgt, tensors)


def write_morphseg_bundle(directory, model: MorphSegModel, **kwargs):
    return write_bundle(directory, "morphseg", tensors=model.tensors, assets=model.assets(), **kwargs)
