"""The one writer of model bundles and model indexes for tests (Python + numpy).

Every test that needs a model bundle, C++ or Python, gets it from here: Python
tests call it directly (``tmp_path``), C++ tests through fixture writers in
tests/fixtures/*.py. Kind-specific builders (tests/model_bundles/<kind>.py)
assemble assets and tensors and call ``write_bundle``.

Bundle layout written by ``write_bundle(directory, ...)``::

    directory/manifest.json    format "quelbin-model-bundle", version 1
    directory/assets.json      the assets (a dict is dumped as JSON)
    directory/tensors.bin      raw little-endian tensor bytes, aligned
    directory/<artifact>       optional artifact files

API
---
``write_bundle(directory, processor, tensors=(), assets=None, *, language="en",
package="default", varnek_version="1.10.0", resources_version="1.14.0",
alignment=64, artifacts=None, offsets=None, assets_path="assets.json",
tensor_file_path="tensors.bin", edit_manifest=None) -> BundleInfo``

* ``tensors``: a mapping name -> array, or a sequence of (name, array) pairs,
  written in that order. An array is a numpy array (its dtype gives the bundle
  dtype: bool, int8/16/32/64, uint8/16/32/64, float16/32/64, complex64/128), a
  torch tensor (``torch.bfloat16`` included), or a ``RawTensor(dtype, shape,
  data)`` for any dtype name and any bytes (also deliberately wrong ones).
  Arrays are written C-contiguous and little-endian. A generator is consumed
  one pair at a time, so large bundles need memory for one array only.
* ``assets``: a dict (dumped as compact JSON with sorted keys), a str, or bytes
  (written verbatim, so malformed assets are possible). None writes ``{}``.
* ``alignment``: ``tensor_alignment`` of the manifest; each tensor starts at the
  next multiple of it (zero padding in between).
* ``offsets``: {name: byte offset} places those tensors at exactly that offset
  (may be misaligned, may overlap or go backwards; the gap is zero-filled, a
  backwards offset overwrites earlier bytes). Others follow the previous end.
* ``artifacts``: a mapping relative path -> bytes, or -> an existing file path
  to copy; listed in the manifest with size and digest in that order. None
  leaves the ``artifacts`` key out; ``{}`` writes an empty list.
* ``edit_manifest``: called with the manifest dict before it is written; it may
  change it in place, or return a new dict, or return a str/bytes written
  verbatim as manifest.json. Use it for wrong sizes, digests, dtypes, shapes,
  formats, paths, missing keys and the like.

``BundleInfo`` has ``path`` (the directory), ``manifest`` (the dict as first
built, before ``edit_manifest``), ``tensor_file`` and ``assets_file`` paths,
and ``offsets`` {name: offset}.

Breaking a written bundle afterwards:

* ``rewrite_manifest(directory, edit)``: load manifest.json, apply ``edit`` as
  above, write it back.
* ``truncate_file(path, size)``: cut (or zero-extend) a file to ``size`` bytes.
* ``flip_byte(path, offset)``: xor one byte with 0xFF (digest mismatch, same size).

Model indexes:

``write_index(model_root, entries, *, resources_version="1.14.0",
language="en", edit_index=None) -> pathlib.Path`` writes
<model_root>/<resources_version>/<language>/index.json (format
"quelbin-model-index", version 1). ``entries`` is a sequence of
(processor, package, relative path) triples or of dicts written as they are
(so an entry may lack keys). ``edit_index`` works like ``edit_manifest``.
Returns the language directory; bundle paths in the index are relative to it.

``install_bundle(model_root, processor, package="default", *,
resources_version="1.14.0", language="en", relative_path=None, **kwargs)``
writes a bundle under the language directory (default relative path
"<processor>-<package>") with ``write_bundle`` and returns its BundleInfo; it
does not write the index.

``sha256_hex(data)`` is the lowercase hexadecimal digest used everywhere.
"""
from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import pathlib
import shutil
from typing import Any, Callable, Iterable, Mapping, Sequence

import numpy as np

BUNDLE_FORMAT = "quelbin-model-bundle"
INDEX_FORMAT = "quelbin-model-index"

# numpy dtype -> bundle dtype name.
_NUMPY_DTYPES = {
    np.dtype(np.bool_): "bool",
    np.dtype(np.int8): "int8",
    np.dtype(np.uint8): "uint8",
    np.dtype(np.int16): "int16",
    np.dtype(np.uint16): "uint16",
    np.dtype(np.int32): "int32",
    np.dtype(np.uint32): "uint32",
    np.dtype(np.int64): "int64",
    np.dtype(np.uint64): "uint64",
    np.dtype(np.float16): "float16",
    np.dtype(np.float32): "float32",
    np.dtype(np.float64): "float64",
    np.dtype(np.complex64): "complex64",
    np.dtype(np.complex128): "complex128",
}

ELEMENT_SIZES = {
    "bool": 1, "int8": 1, "uint8": 1,
    "int16": 2, "uint16": 2, "float16": 2, "bfloat16": 2,
    "int32": 4, "uint32": 4, "float32": 4,
    "int64": 8, "uint64": 8, "float64": 8, "complex64": 8,
    "complex128": 16,
}


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
    if hasattr(value, "detach") and hasattr(value, "dtype"):  # a torch tensor
        tensor = value.detach().cpu().contiguous()
        dtype = str(tensor.dtype).replace("torch.", "")
        if dtype == "bfloat16":
            import torch  # only needed for this dtype
            raw = tensor.view(torch.int16).numpy()
            return RawTensor("bfloat16", list(tensor.shape), raw.astype("<i2").tobytes())
        value = tensor.numpy()
    array = np.asarray(value)
    name = _NUMPY_DTYPES.get(array.dtype.newbyteorder("="))
    if name is None:
        raise TypeError(f"no bundle dtype for numpy dtype {array.dtype}")
    little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return RawTensor(name, list(array.shape), little.tobytes())


def _pairs(tensors: Mapping[str, Any] | Iterable[tuple[str, Any]]) -> Iterable[tuple[str, Any]]:
    # Lazy, so that a generator of large arrays is written one array at a time.
    if isinstance(tensors, Mapping):
        return iter(tensors.items())
    return iter(tensors)


def _apply_edit(document: dict, edit: Callable | None) -> bytes:
    if edit is not None:
        result = edit(document)
        if result is not None:
            document = result
    if isinstance(document, bytes):
        return document
    if isinstance(document, str):
        return document.encode("utf-8")
    return (json.dumps(document, indent=1) + "\n").encode("utf-8")


def _assets_bytes(assets: Any) -> bytes:
    if assets is None:
        assets = {}
    if isinstance(assets, bytes):
        return assets
    if isinstance(assets, str):
        return assets.encode("utf-8")
    return json.dumps(assets, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False).encode("utf-8")


def _align_up(value: int, alignment: int) -> int:
    if alignment <= 1:
        return value
    return (value + alignment - 1) // alignment * alignment


def write_bundle(directory: str | os.PathLike, processor: str,
                 tensors: Mapping[str, Any] | Iterable[tuple[str, Any]] = (),
                 assets: Any = None, *, language: str = "en", package: str = "default",
                 varnek_version: str = "1.10.0", resources_version: str = "1.14.0",
                 alignment: int = 64, artifacts: Mapping[str, Any] | None = None,
                 offsets: Mapping[str, int] | None = None,
                 assets_path: str = "assets.json", tensor_file_path: str = "tensors.bin",
                 edit_manifest: Callable | None = None) -> BundleInfo:
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    offsets = dict(offsets or {})

    assets_data = _assets_bytes(assets)
    assets_file = directory / assets_path
    assets_file.parent.mkdir(parents=True, exist_ok=True)
    assets_file.write_bytes(assets_data)

    # Tensors are streamed one at a time so that large bundles need no more
    # memory than their largest tensor.
    tensor_file = directory / tensor_file_path
    tensor_file.parent.mkdir(parents=True, exist_ok=True)
    entries = []
    placed = {}
    end = 0
    with open(tensor_file, "w+b") as out:
        for name, value in _pairs(tensors):
            raw = _as_raw(value)
            offset = offsets.get(name, _align_up(end, alignment))
            out.seek(offset)
            out.write(raw.data)
            placed[name] = offset
            entries.append({
                "name": name,
                "dtype": raw.dtype,
                "shape": [int(d) for d in raw.shape],
                "offset": offset,
                "nbytes": len(raw.data),
                "sha256": sha256_hex(raw.data),
            })
            end = max(end, offset + len(raw.data))
        out.truncate(end)
        out.seek(0)
        whole = hashlib.sha256()
        for chunk in iter(lambda: out.read(1 << 24), b""):
            whole.update(chunk)
    tensor_digest = whole.hexdigest()

    artifact_entries = None
    if artifacts is not None:
        artifact_entries = []
        for relative, content in artifacts.items():
            target = directory / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, (bytes, bytearray)):
                target.write_bytes(bytes(content))
            else:
                shutil.copyfile(content, target)
            data = target.read_bytes()
            artifact_entries.append({"path": relative, "size": len(data),
                                     "sha256": sha256_hex(data)})

    manifest = {
        "format": BUNDLE_FORMAT,
        "format_version": 1,
        "byte_order": "little",
        "language": language,
        "processor": processor,
        "package": package,
        "varnek_version": varnek_version,
        "resources_version": resources_version,
        "tensor_alignment": alignment,
        "assets": {"path": assets_path, "sha256": sha256_hex(assets_data)},
        "tensor_file": {"path": tensor_file_path, "size": end, "sha256": tensor_digest},
        "tensors": entries,
    }
    if artifact_entries is not None:
        manifest["artifacts"] = artifact_entries
    snapshot = json.loads(json.dumps(manifest))
    (directory / "manifest.json").write_bytes(_apply_edit(manifest, edit_manifest))
    return BundleInfo(directory, snapshot, tensor_file, assets_file, placed)


def rewrite_manifest(directory: str | os.PathLike, edit: Callable) -> None:
    path = pathlib.Path(directory) / "manifest.json"
    manifest = json.loads(path.read_text())
    path.write_bytes(_apply_edit(manifest, edit))


def truncate_file(path: str | os.PathLike, size: int) -> None:
    os.truncate(path, size)


def flip_byte(path: str | os.PathLike, offset: int) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        if len(byte) != 1:
            raise ValueError(f"offset {offset} is outside {path}")
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def write_index(model_root: str | os.PathLike,
                entries: Iterable[tuple[str, str, str] | dict], *,
                resources_version: str = "1.14.0", language: str = "en",
                edit_index: Callable | None = None) -> pathlib.Path:
    directory = pathlib.Path(model_root) / resources_version / language
    directory.mkdir(parents=True, exist_ok=True)
    bundles = []
    for entry in entries:
        if isinstance(entry, dict):
            bundles.append(dict(entry))
        else:
            processor, package, path = entry
            bundles.append({"processor": processor, "package": package, "path": path})
    index = {
        "format": INDEX_FORMAT,
        "format_version": 1,
        "resources_version": resources_version,
        "language": language,
        "bundles": bundles,
    }
    (directory / "index.json").write_bytes(_apply_edit(index, edit_index))
    return directory


def install_bundle(model_root: str | os.PathLike, processor: str, package: str = "default", *,
                   resources_version: str = "1.14.0", language: str = "en",
                   relative_path: str | None = None, **kwargs) -> BundleInfo:
    directory = pathlib.Path(model_root) / resources_version / language
    relative = relative_path or f"{processor}-{package}"
    return write_bundle(directory / relative, processor, language=language, package=package,
                        resources_version=resources_version, **kwargs)
