"""The one writer of model bundles and model indexes for tests (Python + numpy).

``write_bundle(directory, processor, tensors, assets, ...)`` writes manifest.json,
the assets (a dict is dumped as compact sorted JSON; str or bytes are written
verbatim) and tensors.bin. ``tensors`` is a mapping or a sequence (or generator)
of (name, array) pairs, written in order one at a time; an array is a numpy
array, a torch tensor (bfloat16 included) or a ``RawTensor`` holding any dtype
name and bytes. Each tensor starts at the next multiple of ``alignment`` unless
``offsets`` places it (misaligned, overlapping or backwards on purpose).
``artifacts`` maps relative paths to bytes or to a file to copy (None leaves the
key out). ``edit_manifest`` gets the manifest dict before it is written and may
change it, return a new dict, or return str/bytes written verbatim.
``BundleInfo.manifest`` is the manifest as first built.

``rewrite_manifest``, ``truncate_file`` and ``flip_byte`` break a written bundle.
``write_index(model_root, entries, ...)`` writes
<root>/<resources_version>/<language>/index.json from (processor, package, path)
triples or dicts and returns that directory; ``install_bundle`` writes a bundle
below it (default path "<processor>-<package>").
"""
from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import pathlib
import shutil
from collections.abc import Mapping
from typing import Any, Callable, Sequence

import numpy as np

BUNDLE_FORMAT = "quelbin-model-bundle"
INDEX_FORMAT = "quelbin-model-index"
_DTYPE_NAMES = {np.dtype(name): name for name in (
    "bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
    "float16", "float32", "float64", "complex64", "complex128")}


def sha256_hex(data: bytes | memoryview) -> str:
    return hashlib.sha256(data).hexdigest()


@dataclasses.dataclass
class RawTensor:
    """A tensor given as its bundle dtype name, shape and raw bytes."""
    dtype: str
    shape: Sequence[int]
    data: bytes


@dataclasses.dataclass
class BundleInfo:
    path: pathlib.Path
    manifest: dict
    tensor_file: pathlib.Path
    assets_file: pathlib.Path
    offsets: dict


def _as_raw(value: Any) -> RawTensor:
    if isinstance(value, RawTensor):
        return value
    if hasattr(value, "detach"):  # a torch tensor
        tensor = value.detach().cpu().contiguous()
        if str(tensor.dtype) == "torch.bfloat16":
            import torch
            raw = tensor.view(torch.int16).numpy().astype("<i2")
            return RawTensor("bfloat16", list(tensor.shape), raw.tobytes())
        value = tensor.numpy()
    array = np.asarray(value)
    name = _DTYPE_NAMES.get(array.dtype.newbyteorder("="))
    if name is None:
        raise TypeError(f"no bundle dtype for numpy dtype {array.dtype}")
    little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return RawTensor(name, list(array.shape), little.tobytes())


def _encoded(document: Any, edit: Callable | None = None) -> bytes:
    if edit is not None:
        result = edit(document)
        document = document if result is None else result
    if isinstance(document, str):
        return document.encode("utf-8")
    return document if isinstance(document, bytes) else (json.dumps(document, indent=1) + "\n").encode()


def write_bundle(directory, processor: str, tensors=(), assets: Any = None, *,
                 language: str = "en", package: str = "default", varnek_version: str = "1.10.0",
                 resources_version: str = "1.14.0", alignment: int = 64, artifacts=None,
                 offsets=None, assets_path: str = "assets.json",
                 tensor_file_path: str = "tensors.bin", edit_manifest: Callable | None = None
                 ) -> BundleInfo:
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    if not isinstance(assets, (str, bytes)):
        assets = json.dumps({} if assets is None else assets, sort_keys=True, separators=(",", ":"),
                            ensure_ascii=False)
    assets_data = assets.encode("utf-8") if isinstance(assets, str) else assets
    assets_file = directory / assets_path
    assets_file.parent.mkdir(parents=True, exist_ok=True)
    assets_file.write_bytes(assets_data)

    tensor_file = directory / tensor_file_path
    tensor_file.parent.mkdir(parents=True, exist_ok=True)
    offsets, entries, placed, end = dict(offsets or {}), [], {}, 0
    pairs = tensors.items() if isinstance(tensors, Mapping) else tensors
    with open(tensor_file, "w+b") as out:
        for name, value in pairs:  # one array in memory at a time
            raw = _as_raw(value)
            step = max(alignment, 1)
            offset = offsets.get(name, (end + step - 1) // step * step)
            out.seek(offset)
            out.write(raw.data)
            placed[name] = offset
            entries.append({"name": name, "dtype": raw.dtype, "shape": [int(d) for d in raw.shape],
                            "offset": offset, "nbytes": len(raw.data),
                            "sha256": sha256_hex(raw.data)})
            end = max(end, offset + len(raw.data))
        out.truncate(end)
        out.seek(0)
        whole = hashlib.sha256()
        for chunk in iter(lambda: out.read(1 << 24), b""):
            whole.update(chunk)

    manifest = {
        "format": BUNDLE_FORMAT, "format_version": 1, "byte_order": "little",
        "language": language, "processor": processor, "package": package,
        "varnek_version": varnek_version, "resources_version": resources_version,
        "tensor_alignment": alignment,
        "assets": {"path": assets_path, "sha256": sha256_hex(assets_data)},
        "tensor_file": {"path": tensor_file_path, "size": end, "sha256": whole.hexdigest()},
        "tensors": entries,
    }
    if artifacts is not None:
        manifest["artifacts"] = []
        for relative, content in artifacts.items():
            target = directory / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, (bytes, bytearray)):
                target.write_bytes(bytes(content))
            else:
                shutil.copyfile(content, target)
            data = target.read_bytes()
            manifest["artifacts"].append({"path": relative, "size": len(data),
                                          "sha256": sha256_hex(data)})
    snapshot = json.loads(json.dumps(manifest))
    (directory / "manifest.json").write_bytes(_encoded(manifest, edit_manifest))
    return BundleInfo(directory, snapshot, tensor_file, assets_file, placed)


def rewrite_manifest(directory, edit: Callable) -> None:
    path = pathlib.Path(directory) / "manifest.json"
    path.write_bytes(_encoded(json.loads(path.read_text()), edit))


def truncate_file(path, size: int) -> None:
    os.truncate(path, size)


def flip_byte(path, offset: int) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        if len(byte) != 1:
            raise ValueError(f"offset {offset} is outside {path}")
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def write_index(model_root, entries, *, resources_version: str = "1.14.0", language: str = "en",
                edit_index: Callable | None = None) -> pathlib.Path:
    directory = pathlib.Path(model_root) / resources_version / language
    directory.mkdir(parents=True, exist_ok=True)
    bundles = [dict(e) if isinstance(e, dict) else dict(zip(("processor", "package", "path"), e))
               for e in entries]
    index = {"format": INDEX_FORMAT, "format_version": 1, "resources_version": resources_version,
             "language": language, "bundles": bundles}
    (directory / "index.json").write_bytes(_encoded(index, edit_index))
    return directory


def install_bundle(model_root, processor: str, package: str = "default", *,
                   resources_version: str = "1.14.0", language: str = "en",
                   relative_path: str | None = None, **kwargs) -> BundleInfo:
    directory = pathlib.Path(model_root) / resources_version / language
    return write_bundle(directory / (relative_path or f"{processor}-{package}"), processor,
                        language=language, package=package, resources_version=resources_version,
                        **kwargs)
