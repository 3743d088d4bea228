"""Language identification test bundles, written with the shared bundle writer."""
import dataclasses

import torch

from bundle_writer import write_bundle

# Characters of random vocabularies: letters, a space, punctuation and wider code points.
ALPHABET = list("abcdefghijklmnopqrstuvwxyz ABC.,'-\néßж€中😀")
CODES = ["en", "de", "fr", "ru", "zh", "it", "nl"]


@dataclasses.dataclass
class LangIDModel:
    config: dict
    char_to_idx: dict
    tag_to_idx: dict
    tensors: dict

    def assets(self) -> dict:
        return {"config": self.config, "char_to_idx": self.char_to_idx, "tag_to_idx": self.tag_to_idx}


def random_langid(seed: int, *, chars=ALPHABET, codes=CODES, embedding_dim=6, hidden_dim=8,
                  num_layers=2, scale=0.5) -> LangIDModel:
    """Vocabulary "<PAD>", "UNK", then ``chars`` (ids shuffled); tags ``codes`` in a shuffled
    id order."""
    gen = torch.Generator().manual_seed(seed)

    def w(*shape):
        return torch.randn(*shape, generator=gen) * scale

    keys = ["<PAD>", "UNK"] + list(chars)
    ids = torch.randperm(len(keys), generator=gen).tolist()
    tag_ids = torch.randperm(len(codes), generator=gen).tolist()
    E, H = embedding_dim, hidden_dim
    tensors = {"char_embeds.weight": w(len(keys), E)}
    for k in range(num_layers):
        for suffix in ("", "_reverse"):
            tensors[f"lstm.weight_ih_l{k}{suffix}"] = w(4 * H, E if k == 0 else 2 * H)
            tensors[f"lstm.weight_hh_l{k}{suffix}"] = w(4 * H, H)
            tensors[f"lstm.bias_ih_l{k}{suffix}"] = w(4 * H)
            tensors[f"lstm.bias_hh_l{k}{suffix}"] = w(4 * H)
    tensors["hidden_to_tag.weight"] = w(len(codes), 2 * H)
    tensors["hidden_to_tag.bias"] = w(len(codes))
    config = {"num_layers": num_layers, "embedding_dim": E, "hidden_dim": H}
    return LangIDModel(config, dict(zip(keys, ids)), dict(zip(codes, tag_ids)), tensors)


def write_langid_bundle(directory, model: LangIDModel, **kwargs):
    return write_bundle(directory, "langid", tensors=model.tensors, assets=model.assets(), **kwargs)
