"""The one writer of model bundles and model indexes for tests. Assets given as a dict
are dumped as sorted JSON, str or bytes verbatim; ``edit_manifest`` may change or
replace the manifest (a str or bytes is written verbatim)."""
from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import pathlib
from collections.abc import Mapping
from typing import Any, Callable, Sequence

import numpy as np

BUNDLE_FORMAT, INDEX_FORMAT = "quelbin-model-bundle", "quelbin-model-index"


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
    tensor_file: pathlib.Path


def _as_raw(value: Any) -> RawTensor:
    if isinstance(value, RawTensor):
        return value
    if hasattr(value, "detach"):  # a torch tensor
        value = value.detach().contiguous().numpy()
    array = np.asarray(value)
    name = array.dtype.newbyteorder("=").name
    little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return RawTensor(name, list(array.shape), little.tobytes())


def _encoded(document: Any, edit: Callable | None = None) -> bytes:
    result = edit(document) if edit is not None else None
    document = document if result is None else result
    if isinstance(document, (str, bytes)):
        return document.encode() if isinstance(document, str) else document
    return (json.dumps(document, indent=1) + "\n").encode()


def _write(path: pathlib.Path, data: bytes) -> bytes:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return data


def write_bundle(directory, processor: str, tensors=(), assets: Any = None, *, language="en",
                 package="default", varnek_version="1.10.0", resources_version="1.14.0",
                 alignment=64, artifacts=None, offsets=None, assets_path="assets.json",
                 tensor_file_path="tensors.bin", edit_manifest: Callable | None = None
                 ) -> BundleInfo:
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    if not isinstance(assets, (str, bytes)):
        assets = json.dumps({} if assets is None else assets, sort_keys=True, separators=(",", ":"),
                            ensure_ascii=False)
    assets = assets.encode() if isinstance(assets, str) else assets
    assets_data = _write(directory / assets_path, assets)
    tensor_file = directory / tensor_file_path
    tensor_file.parent.mkdir(parents=True, exist_ok=True)
    offsets, entries, end, step = offsets or {}, [], 0, max(alignment, 1)
    with open(tensor_file, "w+b") as out:
        for name, value in tensors.items() if isinstance(tensors, Mapping) else tensors:
            raw = _as_raw(value)
            offset = offsets.get(name, (end + step - 1) // step * step)
            out.seek(offset)
            out.write(raw.data)
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
        "format": BUNDLE_FORMAT, "format_version": 1, "byte_order": "little", "language": language,
        "processor": processor, "package": package, "varnek_version": varnek_version,
        "resources_version": resources_version, "tensor_alignment": alignment,
        "assets": {"path": assets_path, "sha256": sha256_hex(assets_data)},
        "tensor_file": {"path": tensor_file_path, "size": end, "sha256": whole.hexdigest()},
        "tensors": entries,
    }
    if artifacts is not None:
        manifest["artifacts"] = []
        for relative, content in artifacts.items():
            if not isinstance(content, (bytes, bytearray)):
                content = pathlib.Path(content).read_bytes()
            data = _write(directory / relative, bytes(content))
            manifest["artifacts"].append({"path": relative, "size": len(data),
                                          "sha256": sha256_hex(data)})
    (directory / "manifest.json").write_bytes(_encoded(manifest, edit_manifest))
    return BundleInfo(directory, tensor_file)


def write_with_transformer(directory, processor: str, tensors, assets, transformer: dict | None,
                           compiled=None, **kwargs) -> BundleInfo:
    """`write_bundle`, with the `compiled` transformer package (a path, when given) stored as the
    artifact that the assets' `transformer` section names."""
    if compiled is not None:
        kwargs["artifacts"] = {transformer["artifact"]: pathlib.Path(compiled).read_bytes()}
    return write_bundle(directory, processor, tensors, assets, **kwargs)


def rewrite_manifest(directory, edit: Callable) -> None:
    path = pathlib.Path(directory) / "manifest.json"
    path.write_bytes(_encoded(json.loads(path.read_text()), edit))


def truncate_file(path, size: int) -> None:
    os.truncate(path, size)


def flip_byte(path, offset: int) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def write_index(model_root, entries, *, resources_version="1.14.0", language="en",
                edit_index: Callable | None = None) -> pathlib.Path:
    directory = pathlib.Path(model_root) / resources_version / language
    bundles = [dict(e) if isinstance(e, dict) else dict(zip(("processor", "package", "path"), e))
               for e in entries]
    index = {"format": INDEX_FORMAT, "format_version": 1, "resources_version": resources_version,
             "language": language, "bundles": bundles}
    _write(directory / "index.json", _encoded(index, edit_index))
    return directory


def install_bundle(model_root, processor: str, package="default", *, resources_version="1.14.0",
                   language="en", relative_path=None, **kwargs) -> BundleInfo:
    directory = pathlib.Path(model_root) / resources_version / language
    return write_bundle(directory / (relative_path or f"{processor}-{package}"), processor,
                        language=language, package=package, resources_version=resources_version,
                        **kwargs)
