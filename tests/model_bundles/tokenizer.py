"""Tokenizer bundles for tests, the example and the benchmark.

``write_tokenizer_bundle(directory, **options)`` writes one with the shared writer. Config
keys among the options replace the defaults (``feat_dim``: what the features add up to);
``vocab``: characters with ids from 2; ``lexicon``: written with ``use_dictionary``;
``tensor_overrides`` {name: value} replaces weights, broadcast to their shape;
``edit(assets, tensors)`` may change both, and bytes it returns are written as the assets.
"""
import numpy as np

from bundle_writer import write_bundle

DEFAULT_FEATURES = ["space_before", "capitalized", "numeric", "end_of_para", "start_of_para"]
STRUCTURAL = ["labeled_field", "phone_id", "date_pattern", "currency"]
DEFAULT_VOCAB = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:!?'\"()-@/$%&"


def feature_width(feat_funcs, use_dictionary=False, num_dict_feat=0):
    # A column per mention of a simple feature, one for each other feature.
    simple = sum(name in ("space_before", "capitalized", "numeric") for name in feat_funcs)
    others = len(set(feat_funcs) & {"end_of_para", "start_of_para", *STRUCTURAL})
    return simple + others + (2 * num_dict_feat if use_dictionary else 0)


def tokenizer_weights(vocab_size, emb_dim, hidden_dim, feat_dim, use_mwt, seed=0, scale=1.0,
                      head_scale=1.0):
    """Every weight, in bundle order: standard normal times scale (heads also head_scale)."""
    rng, H = np.random.default_rng(seed), hidden_dim
    heads = ["tok_clf", "sent_clf"] + (["mwt_clf"] if use_mwt else [])

    def lstm(prefix, width):
        return {f"{prefix}.{kind}_l0{suffix}": shape for suffix in ("", "_reverse") for kind, shape
                in (("weight_ih", (4 * H, width)), ("weight_hh", (4 * H, H)), ("bias_ih", (4 * H,)),
                    ("bias_hh", (4 * H,)))}

    shapes = {"embeddings.weight": (vocab_size, emb_dim), **lstm("rnn", emb_dim + feat_dim)}
    for head in heads:
        shapes.update({f"{head}.weight": (1, 2 * H), f"{head}.bias": (1,)})
    shapes.update({**lstm("rnn2", 2 * H), **{f"{head}2.weight": (1, 2 * H) for head in heads}})
    return {name: (rng.standard_normal(shape) * scale * (head_scale if "_clf" in name else 1))
            .astype(np.float32) for name, shape in shapes.items()}


def write_tokenizer_bundle(directory, *, seed=0, scale=1.0, head_scale=1.0, vocab=DEFAULT_VOCAB,
                           lexicon=(), tensor_overrides=None, edit=None, language="en",
                           processor="tokenize", **options):
    config = {"emb_dim": 8, "hidden_dim": 8, "rnn_layers": 1, "hierarchical": True,
              "use_mwt": False, "hier_invtemp": 0.5, "skip_newline": False,
              "shorthand": "en_test", "lang": "en", "feat_funcs": DEFAULT_FEATURES, **options}
    dictionary = config.get("use_dictionary")
    if dictionary:
        config.setdefault("num_dict_feat", 3)
    config.setdefault("feat_dim", feature_width(config["feat_funcs"], dictionary,
                                                config.get("num_dict_feat")))
    unit2id = {"<PAD>": 0, "<UNK>": 1}
    for ch in vocab:
        unit2id.setdefault(ch, len(unit2id))
    assets = {"config": config, "vocab": {"_unit2id": unit2id}}
    if dictionary:
        assets["lexicon"] = list(lexicon)
    tensors = tokenizer_weights(len(unit2id), config["emb_dim"], config["hidden_dim"],
                                config["feat_dim"], config["use_mwt"], seed, scale, head_scale)
    for name, value in (tensor_overrides or {}).items():
        if name in tensors:
            tensors[name] = np.broadcast_to(value, tensors[name].shape).astype(np.float32)
    written = edit(assets, tensors) if edit else None
    return write_bundle(directory, processor, list(tensors.items()),
                        written if isinstance(written, bytes) else assets, language=language)


def hand_set_weights(vocab, emb_dim, hidden_dim, feat_dim):
    """Weights (for tensor_overrides) that end tokens before spaces and punctuation and after
    punctuation, sentences after ".!?", and mark tokens ending in "u" as multi-word: the first
    level's backward LSTM holds flags of this character and the next; the rest is zero."""
    H = hidden_dim
    weights = tokenizer_weights(len(vocab) + 2, emb_dim, H, feat_dim, True, scale=0.0)
    for i, c in enumerate(vocab):
        flags = [c == " ", c in ".,;:!?()\"'", c in ".!?", c == "u"]
        weights["embeddings.weight"][i + 2, :4] = flags
    ih, hh, bias = (weights[f"rnn.{k}_l0_reverse"] for k in ("weight_ih", "weight_hh", "bias_ih"))
    # Gate rows: input [0, H), forget [H, 2H), cell [2H, 3H), output [3H, 4H). The forget
    # gates are shut, so each unit holds only this step. Cell units: 0 space or punctuation,
    # 1 the same at the next character, 2 punctuation, 3 sentence end, 4 space, 5 "u".
    bias[:H], bias[H:2 * H], bias[3 * H:] = 10.0, -10.0, 10.0
    for unit, flag in ((0, 0), (0, 1), (2, 1), (3, 2), (4, 0), (5, 3)):
        ih[2 * H + unit, flag] = 5.0
    hh[2 * H + 1, 0] = 5.0
    for head, units, head_bias in (("tok_clf", {1: 10.0, 2: 10.0, 4: -20.0}, -3.0),
                                   ("sent_clf", {3: 10.0}, -4.0), ("mwt_clf", {5: 10.0}, -4.0)):
        for unit, value in units.items():
            weights[f"{head}.weight"][0, H + unit] = value
        weights[f"{head}.bias"][:] = head_bias
    return weights
