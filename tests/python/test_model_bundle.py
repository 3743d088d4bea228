import gc
import json
import os
import pathlib

import pytest

import _quelbin as q
from fixtures import model_bundle as cases


@pytest.fixture
def bundle_dir(tmp_path):
    cases.good(tmp_path / "bundle")
    return tmp_path / "bundle"


def test_properties_and_descriptors(bundle_dir):
    bundle = q.ModelBundle(bundle_dir)
    assert isinstance(bundle.path, pathlib.Path) and bundle.path == bundle_dir
    identity = (bundle.language, bundle.processor, bundle.package, bundle.varnek_version,
                bundle.resources_version, bundle.checksums_verified, bundle.tensor_file_size)
    assert identity == ("en", "lemma", "default", "1.10.0", "1.14.0", True, 129)
    manifest = json.loads((bundle_dir / "manifest.json").read_text())
    assert bundle.tensor_names == [entry["name"] for entry in manifest["tensors"]]
    for entry in manifest["tensors"]:
        assert {key: getattr(bundle.tensor(entry["name"]), key) for key in entry} == entry
    with pytest.raises(q.ModelBundleError, match=r"^tensor is not present in bundle: 'x'$"):
        bundle.tensor("x")
    with pytest.raises(AttributeError):
        bundle.language = "fr"
    with pytest.raises(AttributeError):
        bundle.tensor("flag").name = "x"


def test_arguments(bundle_dir):
    assert q.ModelBundle(path=str(bundle_dir), verify_checksums=False).checksums_verified is False
    assert q.ModelBundle(os.fsencode(bundle_dir)).path == bundle_dir
    for arguments in [(None,), (3,), (bundle_dir, 1), (bundle_dir, None)]:
        with pytest.raises(TypeError):
            q.ModelBundle(*arguments)
    with pytest.raises(q.ModelBundleError) as info:
        q.ModelBundle(bundle_dir / "manifest.json")
    assert type(info.value) is q.ModelBundleError
    assert str(info.value) == f"model bundle is not a directory: {bundle_dir / 'manifest.json'}"


def mapped(path):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(" " + str(path)) for line in maps)


def test_a_descriptor_keeps_its_bundle_and_mapping(bundle_dir):
    bundle = q.ModelBundle(bundle_dir, False)
    descriptor = bundle.tensor("lengths")
    del bundle
    gc.collect()
    assert mapped(bundle_dir / "tensors.bin")
    assert (descriptor.name, descriptor.shape, descriptor.offset) == ("lengths", [5], 64)
    del descriptor
    gc.collect()
    assert not mapped(bundle_dir / "tensors.bin")
