import gc
import hashlib
import json
import os
import pathlib
import sys

import numpy as np
import pytest

import _quelbin
import bundle_writer as bw
from fixtures import model_bundle as cases


@pytest.fixture
def bundle_dir(tmp_path):
    cases.good(tmp_path / "bundle")
    return tmp_path / "bundle"


@pytest.mark.parametrize("name, build, verify, expected", cases.BUNDLE_CASES,
                         ids=[case[0] for case in cases.BUNDLE_CASES])
def test_bundle_cases_through_the_binding(tmp_path, name, build, verify, expected):
    directory = tmp_path / name
    build(directory)
    if expected is None:
        bundle = _quelbin.ModelBundle(directory, verify)
        assert bundle.checksums_verified is verify
        assert bundle.tensor_names == ["embedding.weight", "lengths", "flag"]
    else:
        with pytest.raises(_quelbin.ModelBundleError) as info:
            _quelbin.ModelBundle(directory, verify)
        assert type(info.value) is _quelbin.ModelBundleError
        assert str(info.value) == expected.replace("{dir}", str(directory))


def test_properties_and_descriptors(bundle_dir):
    bundle = _quelbin.ModelBundle(bundle_dir)
    assert bundle.checksums_verified is True
    assert isinstance(bundle.path, pathlib.Path) and bundle.path == bundle_dir
    assert (bundle.language, bundle.processor, bundle.package) == ("en", "lemma", "default")
    assert (bundle.varnek_version, bundle.resources_version) == ("1.10.0", "1.14.0")
    assert bundle.tensor_file_size == 129
    manifest = json.loads((bundle_dir / "manifest.json").read_text())
    for entry in manifest["tensors"]:
        descriptor = bundle.tensor(entry["name"])
        assert type(descriptor) is _quelbin.TensorDescriptor
        got = {key: getattr(descriptor, key)
               for key in ("name", "dtype", "shape", "offset", "nbytes", "sha256")}
        assert got == entry
    with pytest.raises(_quelbin.ModelBundleError, match=r"^tensor is not present in bundle: 'missing'$"):
        bundle.tensor("missing")
    for attribute in ("path", "processor", "tensor_names", "checksums_verified"):
        with pytest.raises(AttributeError):
            setattr(bundle, attribute, None)
    with pytest.raises(AttributeError):
        bundle.tensor("flag").name = "x"


def test_argument_conversions(bundle_dir):
    unverified = _quelbin.ModelBundle(bundle_dir, False)
    assert unverified.checksums_verified is False
    assert _quelbin.ModelBundle(path=str(bundle_dir), verify_checksums=False).path == bundle_dir
    assert _quelbin.ModelBundle(os.fsencode(str(bundle_dir))).tensor_names == unverified.tensor_names
    for bad in [(None,), (3,), (bundle_dir, 1), (bundle_dir, None)]:
        with pytest.raises(TypeError):
            _quelbin.ModelBundle(*bad)
    with pytest.raises(TypeError):
        unverified.tensor(name="flag")
    with pytest.raises(TypeError):
        unverified.tensor(b"flag")
    with pytest.raises(TypeError):
        _quelbin.TensorDescriptor()


def test_relative_path_is_made_absolute(bundle_dir, monkeypatch):
    monkeypatch.chdir(bundle_dir.parent)
    bundle = _quelbin.ModelBundle("bundle")
    assert bundle.path == bundle_dir and bundle.path.is_absolute()


def test_registration_order_and_no_docstrings():
    names = [name for name in vars(_quelbin) if not name.startswith("_") and not name.endswith("Error")]
    assert names.index("TensorDescriptor") < names.index("ModelBundle")
    classes = [name for name in names if isinstance(getattr(_quelbin, name), type)]
    assert classes[:2] == ["TensorDescriptor", "ModelBundle"]
    for cls in (_quelbin.TensorDescriptor, _quelbin.ModelBundle):
        assert cls.__module__ == "_quelbin"
        assert cls.__bases__ == (object,)
    assert "verify_checksums: bool = True" in _quelbin.ModelBundle.__init__.__doc__
    assert _quelbin.ModelBundle.tensor.__doc__.startswith("tensor(self, arg: str, /)")


def _mapped(path):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(str(path)) for line in maps)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
def test_descriptor_keeps_the_mapping_until_the_last_reference(bundle_dir):
    tensor_file = bundle_dir / "tensors.bin"
    bundle = _quelbin.ModelBundle(bundle_dir, False)
    assert _mapped(tensor_file)
    descriptor = bundle.tensor("lengths")
    del bundle
    gc.collect()
    assert _mapped(tensor_file)
    assert (descriptor.name, descriptor.shape, descriptor.offset) == ("lengths", [5], 64)
    del descriptor
    gc.collect()
    assert not _mapped(tensor_file)


def test_writer_layout_and_digests(tmp_path):
    arrays = [("a", np.arange(5, dtype=np.int16)), ("b", np.ones((2, 2), dtype=">f4")),
              ("c", np.array([1, 2], dtype=np.uint8))]
    info = bw.write_bundle(tmp_path / "w", "pos", arrays, alignment=16, offsets={"c": 40})
    data = info.tensor_file.read_bytes()
    manifest = json.loads((tmp_path / "w" / "manifest.json").read_text())
    assert manifest == info.manifest
    assert [t["offset"] for t in manifest["tensors"]] == [0, 16, 40]
    assert manifest["tensor_file"] == {"path": "tensors.bin", "size": 42,
                                       "sha256": hashlib.sha256(data).hexdigest()}
    for entry, (_, array) in zip(manifest["tensors"], arrays):
        chunk = data[entry["offset"]:entry["offset"] + entry["nbytes"]]
        assert entry["sha256"] == hashlib.sha256(chunk).hexdigest()
        assert np.array_equal(np.frombuffer(chunk, dtype=array.dtype.newbyteorder("<")), array.ravel())
    assert data[10:16] == bytes(6) and data[32:40] == bytes(8)
    assert manifest["tensors"][1]["dtype"] == "float32"
    assert "artifacts" not in manifest
